#include "OutputFile.h"

#include <random>
#include <vector>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "ScopeExit.h"
#include "UniqueResource.h"
#include "WinApi.h"
#include "WinFileUtils.h"

namespace {

constexpr int kNameAttempts = 100;

// Deleted when its last handle closes, however the process ends, unless `deleted` is false.
bool setDeleteDisposition(HANDLE file, bool deleted) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = deleted ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

}  // namespace

// Held as itself, never what a link there points to, and with deletion denied: nobody can rename
// it away and put a link in its place while files are made in it.
struct OutputFolder::Native {
    UniqueHandle handle;
};

namespace {

DWORD attributesOf(HANDLE handle, const tstring& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    LD_THROW_LAST_ERROR_IF(!GetFileInformationByHandle(handle, &info), GetFileInformationByHandle,
                           "GetFileInformationByHandle(" << path << ") failed");
    return info.dwFileAttributes;
}

// Listing is data access for a folder: only with it does the share mode keep other Windows
// programs from renaming or deleting the folder. Wine opens a Linux symbolic link to a folder as
// the folder and marks the link only in the path's attributes, so both are asked.
UniqueHandle holdFolder(const tstring& path, bool followLinks) {
    UniqueHandle folder(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                                    nullptr));
    LD_THROW_LAST_ERROR_IF(!folder, CreateFileW, "CreateFile(" << path << ") failed");
    const DWORD attributes = attributesOf(folder.get(), path);
    const DWORD pathAttributes = GetFileAttributesW(path.c_str());
    const bool pathIsLink =
        pathAttributes != INVALID_FILE_ATTRIBUTES && (pathAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!followLinks && (pathIsLink || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        LD_THROW(FileUtils::linkBelowTargetRefusal(path));
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        LD_THROW(tstrings::MessageBuilder() << path << " is a file, not a folder");
    }
    return folder;
}

}  // namespace

OutputFolder::OutputFolder(const tstring& path, std::unique_ptr<Native> native)
    : path_(path), native_(std::move(native)) {}

OutputFolder::OutputFolder(const tstring& path, tstring_array& made)
    : path_(path), native_(std::make_unique<Native>()) {
    FileUtils::createDirectory(path, &made);
    // The folder as given resolves as usual, links and all.
    native_->handle = holdFolder(path, true);
}

OutputFolder::~OutputFolder() = default;
OutputFolder::OutputFolder(OutputFolder&& other) noexcept = default;
OutputFolder& OutputFolder::operator=(OutputFolder&& other) noexcept = default;

tstring OutputFolder::pathOf(const tstring& name) const {
    return FileUtils::PathBuilder() << path_ << name;
}

OutputFolder::Entry OutputFolder::entry(const tstring& name) const {
    const DWORD attributes = GetFileAttributesW(pathOf(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return Entry::None;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return Entry::Link;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Entry::Folder : Entry::File;
}

OutputFolder OutputFolder::child(const tstring& name, tstring_array& made) const {
    const tstring path = pathOf(name);
    if (CreateDirectoryW(path.c_str(), nullptr)) {
        made.push_back(path);
    } else {
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            LD_THROW_SYSTEM_ERROR(CreateDirectoryW, error, "CreateDirectory(" << path << ") failed");
        }
    }
    auto native = std::make_unique<Native>();
    native->handle = holdFolder(path, false);
    return OutputFolder(path, std::move(native));
}

struct OutputFile::Native {
    UniqueHandle file;
    tstring temporaryPath;
    bool replace = false;
    bool deleteByName = false;  // where the file system keeps no delete disposition
    bool published = false;
};

// Windows renames without replacing wherever it renames at all: nothing to find out first.
OutputFile::OutputFile(const OutputFolder& folder, const tstring& name, bool replace)
    : destination_(folder.pathOf(name)), native_(std::make_unique<Native>()) {
    native_->replace = replace;
    const tstring& directory = folder.path();
    std::random_device random;
    for (int attempt = 0; attempt < kNameAttempts && !native_->file; ++attempt) {
        native_->temporaryPath = FileUtils::PathBuilder()
                                 << directory << L"lodestar-pack-" + std::to_wstring(random()) + L".partial";
        // Nobody else may open it: it is not the launcher until it is complete and in place.
        native_->file.reset(CreateFileW(native_->temporaryPath.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!native_->file && GetLastError() != ERROR_FILE_EXISTS) {
            const DWORD error = GetLastError();
            LD_THROW_SYSTEM_ERROR(CreateFileW, error, "CreateFile(" << native_->temporaryPath << ") failed");
        }
    }
    if (!native_->file) {
        LD_THROW(tstrings::MessageBuilder() << "No new file could be made in " << directory);
    }
    LOG_TRACE("Created [" << native_->temporaryPath << "] file");
    native_->deleteByName = !setDeleteDisposition(native_->file.get(), true);
}

OutputFile::~OutputFile() {
    if (native_->published) {
        return;
    }
    native_->file.reset();
    if (native_->deleteByName) {
        DeleteFileW(native_->temporaryPath.c_str());
    }
}

void OutputFile::write(const void* data, std::size_t size) {
    writeAt(size_, data, size);
}

void OutputFile::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size, 64 * 1024 * 1024));
        OVERLAPPED position = at(offset);
        DWORD written = 0;
        LD_THROW_LAST_ERROR_IF(!WriteFile(native_->file.get(), next, chunk, &written, &position), WriteFile,
                               "WriteFile(" << native_->temporaryPath << ") failed");
        if (written == 0) {
            LD_THROW(tstrings::MessageBuilder()
                     << "WriteFile(" << native_->temporaryPath << ") wrote none of " << chunk << " bytes");
        }
        next += written;
        size -= written;
        offset += written;
        size_ = std::max(size_, offset);
    }
}

std::size_t OutputFile::readAt(std::uint64_t offset, void* buffer, std::size_t size) const {
    return readUntilFullOrEnd(buffer, size, [&](void* into, std::size_t done, std::size_t left) -> std::size_t {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(left, 64 * 1024 * 1024));
        OVERLAPPED position = at(offset + done);
        DWORD read = 0;
        if (!ReadFile(native_->file.get(), into, chunk, &read, &position)) {
            const DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF) {
                return 0;
            }
            LD_THROW_SYSTEM_ERROR(ReadFile, error, "ReadFile(" << native_->temporaryPath << ") failed");
        }
        return read;
    });
}

void OutputFile::publish() {
    const bool replace = native_->replace;
    HANDLE file = native_->file.get();
    LD_THROW_LAST_ERROR_IF(!FlushFileBuffers(file), FlushFileBuffers,
                           "FlushFileBuffers(" << native_->temporaryPath << ") failed");
    if (!native_->deleteByName) {
        LD_THROW_LAST_ERROR_IF(!setDeleteDisposition(file, false), SetFileInformationByHandle,
                               "SetFileInformationByHandle(" << native_->temporaryPath << ", keep) failed");
    }
    // Renamed through its handle: what was checked is what lands at the destination.
    auto deleteOnFailure = ld::scopeExit([&] {
        if (!native_->deleteByName) {
            setDeleteDisposition(file, true);
        }
    });
    FileUtils::renameHeldFile(file, native_->temporaryPath, destination_,
                              replace ? FileUtils::Existing::Replaced : FileUtils::Existing::Kept);
    deleteOnFailure.release();
    native_->published = true;
    native_->file.reset();
}
