#include "InputFile.h"

#include <algorithm>
#include <vector>

#include "ErrorHandling.h"
#include "UniqueResource.h"
#include "WinApi.h"
#include "WinFileUtils.h"

struct InputFile::Native {
    UniqueHandle handle;
};

void InputFile::NativeRelease::operator()(Native* native) const noexcept {
    delete native;
}

namespace {

using Reason = InputFileError::Reason;

[[noreturn]] void refuse(const tstrings::MessageBuilder& message, Reason reason, const tstring& path) {
    LD_THROW(InputFileError(message.str(), reason, path));
}

// `asked` is the file the caller wants, `path` what could not be opened on the way to it.
[[noreturn]] void refuseUnopened(const tstring& path, DWORD error, const tstring& asked) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        refuse(tstrings::MessageBuilder() << "there is no file at " << asked, Reason::Missing, asked);
    }
    refuse(tstrings::MessageBuilder() << path << " cannot be opened: " << describeSystemError(error, nullptr),
           Reason::Unreadable, asked);
}

// Opened as what is at the path, never what a link there points to (unless links are followed),
// and held: a folder cannot be renamed away, nor replaced by a link, while a handle denies
// deletion.
UniqueHandle openItself(const tstring& path, DWORD access, DWORD share, DWORD flags, bool followLinks) {
    return UniqueHandle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                    flags | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr));
}

DWORD attributesOf(HANDLE handle, const tstring& path, const tstring& asked) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        const DWORD error = GetLastError();
        refuse(tstrings::MessageBuilder() << path << " cannot be read: " << describeSystemError(error, nullptr),
               Reason::Unreadable, asked);
    }
    return info.dwFileAttributes;
}

// What was opened is a junction, a symbolic link or another reparse point: not followed. The
// handle tells on Windows, where the open itself does not follow the link. Wine opens a Linux
// symbolic link as what it points to, marks a link to a folder only in the path's attributes, and
// a link to a file nowhere: under Wine only links to folders can be refused, and the native
// packer is the one to pack a tree others can write on Linux.
void refuseLink(HANDLE handle, const tstring& path, bool followLinks, const tstring& asked) {
    if (followLinks) {
        return;
    }
    const DWORD pathAttributes = GetFileAttributesW(path.c_str());
    const bool pathIsLink =
        pathAttributes != INVALID_FILE_ATTRIBUTES && (pathAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (pathIsLink || (attributesOf(handle, path, asked) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        refuse(tstrings::MessageBuilder() << path << " is a link", Reason::Link, asked);
    }
}

}  // namespace

InputFile::NativeOwner InputFile::openNative(const tstring& path) {
    if (FileUtils::isDirectory(path)) {
        refuse(tstrings::MessageBuilder() << path << " is a directory", Reason::Unreadable, path);
    }
    // Read sharing only: nobody can change the file while it is checked and carried.
    NativeOwner native(new Native);
    native->handle.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!native->handle) {
        refuseUnopened(path, GetLastError(), path);
    }
    return native;
}

void InputFile::adopt() {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(native_->handle.get(), &size)) {
        const DWORD error = GetLastError();
        refuse(tstrings::MessageBuilder()
                   << "the size of " << path_ << " cannot be read: " << describeSystemError(error, nullptr),
               Reason::Unreadable, path_);
    }
    size_ = static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t InputFile::readSome(void* buffer, std::size_t size) {
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size, 64 * 1024 * 1024));
    DWORD read = 0;
    LD_THROW_LAST_ERROR_IF(!ReadFile(native_->handle.get(), buffer, chunk, &read, nullptr), ReadFile,
                           "ReadFile(" << path_ << ") failed");
    return read;
}

void InputFile::seek(std::uint64_t offset) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(std::min<std::uint64_t>(offset, size_));
    LD_THROW_LAST_ERROR_IF(!SetFilePointerEx(native_->handle.get(), position, nullptr, FILE_BEGIN), SetFilePointerEx,
                           "SetFilePointerEx(" << path_ << ", " << offset << ") failed");
}

struct FilesBelow::Native {
    tstring root;
    bool followLinks = false;
};

FilesBelow::FilesBelow(const tstring& directory, bool followLinks) : native_(std::make_unique<Native>()) {
    native_->root = directory;
    native_->followLinks = followLinks;
}

FilesBelow::~FilesBelow() = default;

// Windows finds names without regard to case itself; what is checked here is that no folder on
// the way and not the file itself is a link, each folder held from the moment it was checked until
// the file is open.
InputFile FilesBelow::open(const tstring& name) {
    const tstring asked = FileUtils::PathBuilder() << native_->root << name;
    const tstring_array parts = tstrings::split(tstrings::replace(name, L"/", L"\\"), L"\\");
    std::vector<UniqueHandle> held;
    tstring path = native_->root;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].empty()) {
            continue;
        }
        path = FileUtils::PathBuilder() << path << parts[i];
        if (i + 1 == parts.size()) {
            break;
        }
        // Listing is data access for a folder: only with it does the share mode keep others from
        // renaming or deleting it.
        UniqueHandle folder =
            openItself(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_BACKUP_SEMANTICS, native_->followLinks);
        if (!folder) {
            refuseUnopened(path, GetLastError(), asked);
        }
        refuseLink(folder.get(), path, native_->followLinks, asked);
        held.push_back(std::move(folder));
    }
    InputFile::NativeOwner file(new InputFile::Native);
    file->handle = openItself(path, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN, native_->followLinks);
    if (!file->handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED && FileUtils::isDirectory(path)) {
            refuse(tstrings::MessageBuilder() << path << " is a directory", Reason::Unreadable, asked);
        }
        refuseUnopened(path, error, asked);
    }
    refuseLink(file->handle.get(), path, native_->followLinks, asked);
    return InputFile(path, std::move(file));
}
