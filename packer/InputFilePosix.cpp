#include "InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "ErrorHandling.h"

namespace {

[[noreturn]] void refuse(const tstrings::MessageBuilder& message, bool missing) {
    LD_THROW(InputFileError(message.str(), missing));
}

}  // namespace

// POSIX has no share modes: another process can still write to a file open here. What the packer
// carries is checked by the hashes it takes while it reads, and by reading the launcher back.
struct InputFile::Native {
    int fd = -1;
    ~Native() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

InputFile::InputFile(const tstring& path) : path_(path), native_(std::make_unique<Native>()) {
    // Without blocking: a FIFO or a device at the path would otherwise hold the open until some
    // other process writes to it. Only a regular file is read.
    native_->fd = ::open(tstrings::toUtf8(path_).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (native_->fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            refuse(tstrings::MessageBuilder() << "there is no file at " << path_, true);
        }
        refuse(tstrings::MessageBuilder()
                   << path_ << " cannot be opened: " << describeSystemError(static_cast<unsigned long>(error), nullptr),
               false);
    }
    struct stat status {};
    if (::fstat(native_->fd, &status) != 0) {
        const int error = errno;
        refuse(tstrings::MessageBuilder() << "the size of " << path_ << " cannot be read: "
                                          << describeSystemError(static_cast<unsigned long>(error), nullptr),
               false);
    }
    if (S_ISDIR(status.st_mode)) {
        refuse(tstrings::MessageBuilder() << path_ << " is a directory", false);
    }
    if (!S_ISREG(status.st_mode)) {
        refuse(tstrings::MessageBuilder() << path_ << " is not a regular file", false);
    }
    ::fcntl(native_->fd, F_SETFL, ::fcntl(native_->fd, F_GETFL) & ~O_NONBLOCK);
    size_ = static_cast<std::uint64_t>(status.st_size);
    ::posix_fadvise(native_->fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

tstring InputFile::reopenablePath() const {
    const std::string descriptorPath = "/proc/self/fd/" + std::to_string(native_->fd);
    return ::access(descriptorPath.c_str(), R_OK) == 0 ? tstrings::fromUtf8(descriptorPath) : path_;
}

InputFile::~InputFile() = default;
InputFile::InputFile(InputFile&& other) noexcept = default;
InputFile& InputFile::operator=(InputFile&& other) noexcept = default;

std::size_t InputFile::read(void* buffer, std::size_t size) {
    auto* next = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(native_->fd, next + done, size - done);
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
    LD_THROW_LAST_ERROR_IF(::lseek(native_->fd, static_cast<off_t>(offset), SEEK_SET) < 0, ::lseek,
                           "lseek(" << path_ << ") failed");
}
