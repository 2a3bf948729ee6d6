#include "InputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ErrorHandling.h"
#include "HostPaths.h"
#include "InputFileNative.h"
#include "Posix.h"

namespace {

using Reason = InputFileError::Reason;
using posix::Descriptor;
using posix::errorText;
using posix::narrow;

[[noreturn]] void refuse(const tstrings::MessageBuilder& message, Reason reason, const tstring& path) {
    LD_THROW(InputFileError(message.str(), reason, path));
}

// Opened without blocking: a FIFO or a device at the path would otherwise hold the open until some
// other process writes to it. Only a regular file is read (InputFile::adopt).
constexpr int kFileFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr int kFolderFlags = O_RDONLY | O_CLOEXEC | O_DIRECTORY;

struct DirectoryClose {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

tstring_array components(const tstring& windowsName) {
    tstring_array parts;
    tstring part;
    for (const wchar_t c : windowsName + L"\\") {
        if (c == L'\\' || c == L'/') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += c;
        }
    }
    return parts;
}

}  // namespace

void InputFile::NativeRelease::operator()(Native* native) const noexcept {
    delete native;
}

InputFile::NativeOwner InputFile::openNative(const tstring& path) {
    NativeOwner native(new Native);
    native->fd = Descriptor(::open(narrow(path).c_str(), kFileFlags));
    if (!native->fd.valid()) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            refuse(tstrings::MessageBuilder() << "there is no file at " << path, Reason::Missing, path);
        }
        refuse(tstrings::MessageBuilder() << path << " cannot be opened: " << errorText(error), Reason::Unreadable,
               path);
    }
    return native;
}

void InputFile::adopt() {
    const int fd = native_->fd.get();
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        refuse(tstrings::MessageBuilder() << "the size of " << path_ << " cannot be read: " << errorText(error),
               Reason::Unreadable, path_);
    }
    if (S_ISDIR(status.st_mode)) {
        refuse(tstrings::MessageBuilder() << path_ << " is a directory", Reason::Unreadable, path_);
    }
    if (!S_ISREG(status.st_mode)) {
        refuse(tstrings::MessageBuilder() << path_ << " is not a regular file", Reason::Unreadable, path_);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    size_ = static_cast<std::uint64_t>(status.st_size);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

std::size_t InputFile::readSome(void* buffer, std::size_t size) {
    const ssize_t got = posix::retryOnInterrupt([&] { return ::read(native_->fd.get(), buffer, size); });
    LD_THROW_LAST_ERROR_IF(got < 0, ::read, "read(" << path_ << ") failed");
    return static_cast<std::size_t>(got);
}

void InputFile::seek(std::uint64_t offset) {
    LD_THROW_LAST_ERROR_IF(::lseek(native_->fd.get(), static_cast<off_t>(offset), SEEK_SET) < 0, ::lseek,
                           "lseek(" << path_ << ") failed");
}

// Each folder is listed once, however many files the package names in it: its entries by the key
// Windows compares names by (a package may name tens of thousands of files in one folder).
struct FilesBelow::Native {
    Descriptor root;
    tstring rootPath;
    bool followLinks = false;
    std::map<std::pair<dev_t, ino_t>, std::map<tstring, tstring_array>> listings;

    const std::map<tstring, tstring_array>& listingOf(int folder, const tstring& path) {
        struct stat status {};
        LD_THROW_LAST_ERROR_IF(::fstat(folder, &status) != 0, ::fstat, "fstat(" << path << ") failed");
        const auto key = std::make_pair(status.st_dev, status.st_ino);
        if (const auto known = listings.find(key); known != listings.end()) {
            return known->second;
        }
        Descriptor copy(::openat(folder, ".", kFolderFlags));
        LD_THROW_LAST_ERROR_IF(copy.get() < 0, ::openat, "openat(" << path << ") failed");
        const std::unique_ptr<DIR, DirectoryClose> listing(::fdopendir(copy.get()));
        LD_THROW_LAST_ERROR_IF(!listing, ::fdopendir, "fdopendir(" << path << ") failed");
        copy.release();  // the listing owns it now
        std::map<tstring, tstring_array>& entries = listings[key];
        while (const dirent* entry = ::readdir(listing.get())) {
            const tstring name = tstrings::fromUtf8(entry->d_name);
            if (name != L"." && name != L"..") {
                entries[host::caseKey(name)].push_back(name);
            }
        }
        return entries;
    }

    // The entry of `folder` that `name` means for Windows: the one that matches it without regard
    // to case, or `name` as written when none does (opening it then says it is missing). Two that
    // match are one name for Windows: which one it would take is not ours to guess, even when one
    // of them matches exactly.
    tstring entryFor(int folder, const tstring& folderPath, const tstring& name) {
        const auto& listing = listingOf(folder, folderPath);
        const auto found = listing.find(host::caseKey(name));
        if (found == listing.end()) {
            return name;
        }
        if (found->second.size() > 1) {
            tstrings::MessageBuilder both;
            for (const tstring& match : found->second) {
                both << " '" << match << "'";
            }
            LD_THROW(
                host::AmbiguousName((tstrings::MessageBuilder()
                                     << "'" << name << "' in " << folderPath
                                     << " is more than one file for Windows, which does not tell case apart:" << both)
                                        .str()));
        }
        return found->second.front();
    }

    // `entry` of `folder` opened with `flags`, not through a link unless links are followed. A
    // failure leaves the descriptor empty, with errno's value in `error` and whether `entry` is a
    // link that was not followed in `link`.
    Descriptor openEntry(int folder, const tstring& entry, int flags, int& error, bool& link) const {
        const std::string name = narrow(entry);
        Descriptor opened(::openat(folder, name.c_str(), flags | (followLinks ? 0 : O_NOFOLLOW)));
        error = opened.valid() ? 0 : errno;
        struct stat status {};
        link = error != 0 && !followLinks && ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISLNK(status.st_mode);
        return opened;
    }
};

FilesBelow::FilesBelow(const tstring& directory, bool followLinks) : native_(std::make_unique<Native>()) {
    native_->rootPath = directory;
    native_->followLinks = followLinks;
    // The folder as given resolves as usual: only what lies below it is held to the rule.
    native_->root = Descriptor(::open(narrow(directory).c_str(), kFolderFlags));
    if (!native_->root.valid()) {
        const int error = errno;
        refuse(tstrings::MessageBuilder() << directory << " cannot be opened: " << errorText(error),
               error == ENOENT || error == ENOTDIR ? Reason::Missing : Reason::Unreadable, directory);
    }
}

FilesBelow::~FilesBelow() = default;

InputFile FilesBelow::open(const tstring& name) {
    const tstring_array parts = components(name);
    if (parts.empty()) {
        refuse(tstrings::MessageBuilder() << "'" << name << "' names no file", Reason::Missing, native_->rootPath);
    }
    Descriptor held;  // the folder below the root reached so far; the root is held by this object
    int folder = native_->root.get();
    tstring path = native_->rootPath;
    // Ends at the last part, which returns the file or refuses it.
    for (std::size_t i = 0;; ++i) {
        const bool last = i + 1 == parts.size();
        const tstring entry = native_->entryFor(folder, path, parts[i]);
        path = host::join(path, entry);
        int error = 0;
        bool link = false;
        Descriptor opened = native_->openEntry(folder, entry, last ? kFileFlags : kFolderFlags, error, link);
        if (error != 0) {
            tstring asked = path;  // the file, as far as it was found and as written from there on
            for (std::size_t rest = i + 1; rest < parts.size(); ++rest) {
                asked = host::join(asked, parts[rest]);
            }
            if (link) {
                refuse(tstrings::MessageBuilder() << path << " is a link", Reason::Link, asked);
            }
            if (error == ENOENT || error == ENOTDIR) {
                refuse(tstrings::MessageBuilder() << "there is no file at " << asked, Reason::Missing, asked);
            }
            refuse(tstrings::MessageBuilder() << path << " cannot be opened: " << errorText(error), Reason::Unreadable,
                   asked);
        }
        if (last) {
            InputFile::NativeOwner file(new InputFile::Native);
            file->fd = std::move(opened);
            return InputFile(path, std::move(file));
        }
        held = std::move(opened);
        folder = held.get();
    }
}
