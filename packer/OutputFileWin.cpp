#include "OutputFile.h"

#include <random>
#include <vector>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "UniqueResource.h"
#include "WinApi.h"

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

struct OutputFile::Native {
    UniqueHandle file;
    tstring temporaryPath;
    bool deleteByName = false;  // where the file system keeps no delete disposition
    bool published = false;
};

OutputFile::OutputFile(const tstring& destination) : destination_(destination), native_(std::make_unique<Native>()) {
    const tstring directory = FileUtils::dirname(destination);
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
    auto* next = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 64 * 1024 * 1024));
        OVERLAPPED position = at(offset + done);
        DWORD read = 0;
        if (!ReadFile(native_->file.get(), next + done, chunk, &read, &position)) {
            const DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF) {
                break;
            }
            LD_THROW_SYSTEM_ERROR(ReadFile, error, "ReadFile(" << native_->temporaryPath << ") failed");
        }
        if (read == 0) {
            break;
        }
        done += read;
    }
    return done;
}

void OutputFile::startSync() {}

void OutputFile::publish(bool replace) {
    HANDLE file = native_->file.get();
    LD_THROW_LAST_ERROR_IF(!FlushFileBuffers(file), FlushFileBuffers,
                           "FlushFileBuffers(" << native_->temporaryPath << ") failed");
    // Renamed through its handle: what was checked is what lands at the destination.
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + destination_.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(destination_.size() * sizeof(wchar_t));
    destination_.copy(rename->FileName, destination_.size());
    if (!native_->deleteByName) {
        LD_THROW_LAST_ERROR_IF(!setDeleteDisposition(file, false), SetFileInformationByHandle,
                               "SetFileInformationByHandle(" << native_->temporaryPath << ", keep) failed");
    }
    if (!SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
        const DWORD error = GetLastError();
        if (!native_->deleteByName) {
            setDeleteDisposition(file, true);
        }
        LD_THROW_SYSTEM_ERROR(SetFileInformationByHandle, error,
                              "Renaming " << native_->temporaryPath << " to " << destination_ << " failed");
    }
    LOG_TRACE("Moved '" << native_->temporaryPath << "' file to '" << destination_ << "'");
    native_->published = true;
    native_->file.reset();
}
