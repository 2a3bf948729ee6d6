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

namespace {

using Reason = InputFileError::Reason;

[[noreturn]] void refuse(const tstrings::MessageBuilder& message, Reason reason, const tstring& path) {
    LD_THROW(InputFileError(message.str(), reason, path));
}

tstring systemErrorText(int error) {
    return describeSystemError(static_cast<unsigned long>(error), nullptr);
}

// Opened without blocking: a FIFO or a device at the path would otherwise hold the open until some
// other process writes to it. Only a regular file is read (InputFile::adopt).
constexpr int kFileFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr int kFolderFlags = O_RDONLY | O_CLOEXEC | O_DIRECTORY;

class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

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

// POSIX has no share modes: another process can still write to a file open here. What the packer
// carries is checked by the hashes it takes while it reads, and by reading the launcher back.
struct InputFile::Native {
    Descriptor fd;
};

InputFile::InputFile(const tstring& path) : path_(path), native_(std::make_unique<Native>()) {
    native_->fd = Descriptor(::open(tstrings::toUtf8(path_).c_str(), kFileFlags));
    if (native_->fd.get() < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            refuse(tstrings::MessageBuilder() << "there is no file at " << path_, Reason::Missing, path_);
        }
        refuse(tstrings::MessageBuilder() << path_ << " cannot be opened: " << systemErrorText(error),
               Reason::Unreadable, path_);
    }
    adopt();
}

InputFile::InputFile(const tstring& path, std::unique_ptr<Native> native) : path_(path), native_(std::move(native)) {
    adopt();
}

void InputFile::adopt() {
    const int fd = native_->fd.get();
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        refuse(tstrings::MessageBuilder() << "the size of " << path_ << " cannot be read: " << systemErrorText(error),
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

tstring InputFile::reopenablePath() const {
    const std::string descriptorPath = "/proc/self/fd/" + std::to_string(native_->fd.get());
    return ::access(descriptorPath.c_str(), R_OK) == 0 ? tstrings::fromUtf8(descriptorPath) : path_;
}

InputFile::~InputFile() = default;
InputFile::InputFile(InputFile&& other) noexcept = default;
InputFile& InputFile::operator=(InputFile&& other) noexcept = default;

std::size_t InputFile::read(void* buffer, std::size_t size) {
    auto* next = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(native_->fd.get(), next + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        LD_THROW_LAST_ERROR_IF(got < 0, ::read, "read(" << path_ << ") failed");
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
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
        const std::string narrow = tstrings::toUtf8(entry);
        Descriptor opened(::openat(folder, narrow.c_str(), flags | (followLinks ? 0 : O_NOFOLLOW)));
        error = opened.get() < 0 ? errno : 0;
        struct stat status {};
        link = error != 0 && !followLinks && ::fstatat(folder, narrow.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISLNK(status.st_mode);
        return opened;
    }
};

FilesBelow::FilesBelow(const tstring& directory, bool followLinks) : native_(std::make_unique<Native>()) {
    native_->rootPath = directory;
    native_->followLinks = followLinks;
    // The folder as given resolves as usual: only what lies below it is held to the rule.
    native_->root = Descriptor(::open(tstrings::toUtf8(directory).c_str(), kFolderFlags));
    if (native_->root.get() < 0) {
        const int error = errno;
        refuse(tstrings::MessageBuilder() << directory << " cannot be opened: " << systemErrorText(error),
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
            refuse(tstrings::MessageBuilder() << path << " cannot be opened: " << systemErrorText(error),
                   Reason::Unreadable, asked);
        }
        if (last) {
            auto file = std::make_unique<InputFile::Native>();
            file->fd = std::move(opened);
            return InputFile(path, std::move(file));
        }
        held = std::move(opened);
        folder = held.get();
    }
}
