#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <future>
#include <random>
#include <string>
#include <system_error>

#include "ErrorHandling.h"
#include "Log.h"

namespace {

constexpr int kNameAttempts = 100;

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file systems that keep no unnamed files (overlayfs before Linux 6.6, some network file
// systems) answer O_TMPFILE with one of these. The environment variable is the tests' way to take
// the named path on any file system.
bool namedFileWanted() {
    return std::getenv("LODESTAR_PACK_NAMED_OUTPUT") != nullptr;
}

bool unnamedFilesRefused(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

std::string uniqueName(const std::string& directory, std::random_device& random) {
    return directory + "/.lodestar-pack-" + std::to_string(random()) + ".partial";
}

}  // namespace

// Written bytes are handed to the disk in steps of this size while the packer goes on, so that
// the final fsync has little left to wait for and the kernel never holds a whole launcher dirty.
constexpr std::uint64_t kWritebackStep = 32 * 1024 * 1024;

struct OutputFile::Native {
    int fd = -1;
    std::uint64_t writebackStarted = 0;  // bytes from the start handed to the disk
    std::string directory;
    std::string namedPath;  // empty while the file has no name
    bool published = false;
    std::future<int> sync;  // startSync's fsync: 0, or its errno
};

OutputFile::OutputFile(const tstring& destination) : destination_(destination), native_(std::make_unique<Native>()) {
    native_->directory = parentOf(tstrings::toUtf8(destination));
    if (!namedFileWanted()) {
        native_->fd = ::open(native_->directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (native_->fd < 0 && !unnamedFilesRefused(errno)) {
            LD_THROW_LAST_ERROR_IF(true, ::open, "open(" << native_->directory << ", O_TMPFILE) failed");
        }
    }
    std::random_device random;
    for (int attempt = 0; native_->fd < 0 && attempt < kNameAttempts; ++attempt) {
        native_->namedPath = uniqueName(native_->directory, random);
        native_->fd = ::open(native_->namedPath.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        LD_THROW_LAST_ERROR_IF(native_->fd < 0 && errno != EEXIST, ::open,
                               "open(" << native_->namedPath << ", O_EXCL) failed");
    }
    if (native_->fd < 0) {
        LD_THROW(tstrings::MessageBuilder() << "No new file could be made in " << native_->directory);
    }
}

OutputFile::~OutputFile() {
    if (native_->sync.valid()) {
        native_->sync.wait();  // it uses the descriptor
    }
    if (native_->fd >= 0) {
        ::close(native_->fd);
    }
    if (!native_->published && !native_->namedPath.empty()) {
        ::unlink(native_->namedPath.c_str());
    }
}

void OutputFile::write(const void* data, std::size_t size) {
    writeAt(size_, data, size);
}

void OutputFile::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::pwrite(native_->fd, next, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written == 0) {
            errno = ENOSPC;  // nothing written and no error: no room, as far as the caller can tell
        }
        LD_THROW_LAST_ERROR_IF(written <= 0, ::pwrite, "pwrite(" << destination_ << ") failed");
        next += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
        size_ = std::max(size_, offset);
    }
    if (size_ - native_->writebackStarted >= kWritebackStep) {
        // Only a start: the data is not durable until publish() syncs it. A file system that
        // cannot do this just waits for fsync.
        ::sync_file_range(native_->fd, static_cast<off_t>(native_->writebackStarted),
                          static_cast<off_t>(size_ - native_->writebackStarted), SYNC_FILE_RANGE_WRITE);
        native_->writebackStarted = size_;
    }
}

std::size_t OutputFile::readAt(std::uint64_t offset, void* buffer, std::size_t size) const {
    auto* next = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(native_->fd, next + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        LD_THROW_LAST_ERROR_IF(got < 0, ::pread, "pread(" << destination_ << ") failed");
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// The disk's part of the work (most of a large launcher's time) goes on while the launcher is read
// back from the page cache.
void OutputFile::startSync() {
    const int fd = native_->fd;
    try {
        native_->sync = std::async(std::launch::async, [fd] { return ::fsync(fd) == 0 ? 0 : errno; });
    } catch (const std::system_error&) {
        // No thread to be had: publish() syncs, as it would have without this head start.
    }
}

void OutputFile::publish(bool replace) {
    const std::string destination = tstrings::toUtf8(destination_);
    int syncError = 0;
    if (native_->sync.valid()) {
        syncError = native_->sync.get();
    } else if (::fsync(native_->fd) != 0) {
        syncError = errno;
    }
    if (syncError != 0) {
        LD_THROW_SYSTEM_ERROR(::fsync, static_cast<unsigned long>(syncError), "fsync(" << destination_ << ") failed");
    }
    if (native_->namedPath.empty()) {
        // An unnamed file gets its name by a link; link() never replaces, so a replacement is
        // linked under a name of its own first and then renamed over the destination.
        const std::string self = "/proc/self/fd/" + std::to_string(native_->fd);
        if (!replace) {
            LD_THROW_LAST_ERROR_IF(
                ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, destination.c_str(), AT_SYMLINK_FOLLOW) != 0, ::linkat,
                "linkat(" << destination_ << ") failed");
        } else {
            std::random_device random;
            for (int attempt = 0; native_->namedPath.empty(); ++attempt) {
                const std::string name = uniqueName(native_->directory, random);
                if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                    native_->namedPath = name;
                }
                LD_THROW_LAST_ERROR_IF(native_->namedPath.empty() && (errno != EEXIST || attempt >= kNameAttempts),
                                       ::linkat, "linkat(" << native_->directory << ") failed");
            }
        }
    }
    if (!native_->namedPath.empty()) {
        if (replace) {
            LD_THROW_LAST_ERROR_IF(::rename(native_->namedPath.c_str(), destination.c_str()) != 0, ::rename,
                                   "rename(" << native_->namedPath << ", " << destination_ << ") failed");
        } else {
            // link() fails where the destination exists: it is never replaced unasked.
            LD_THROW_LAST_ERROR_IF(::link(native_->namedPath.c_str(), destination.c_str()) != 0, ::link,
                                   "link(" << native_->namedPath << ", " << destination_ << ") failed");
            ::unlink(native_->namedPath.c_str());
        }
    }
    native_->published = true;
    // The new name is durable once its directory is.
    const int directory = ::open(native_->directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    LOG_TRACE("Created [" << destination_ << "] file");
}
