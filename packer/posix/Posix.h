// What lodestar-pack's POSIX files share: descriptors with one owner, calls retried when a signal
// interrupts them, and the conversions between the system's types and the packer's (UTF-8 paths,
// errno values as the error texts take them).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "ErrorHandling.h"
#include "tstrings.h"

namespace posix {

// An open descriptor, closed by its one owner.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset() noexcept {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_;
};

// `call` again for as long as a signal interrupts it before it has done anything (EINTR).
template <typename Call>
auto retryOnInterrupt(Call call) {
    for (;;) {
        const auto result = call();
        if (!(result < 0 && errno == EINTR)) {
            return result;
        }
    }
}

// Paths and names as the system takes them.
inline std::string narrow(const tstring& text) {
    return tstrings::toUtf8(text);
}

// An errno value as the error texts and LD_THROW_SYSTEM_ERROR take it.
inline unsigned long errorCode(int error) {
    return static_cast<unsigned long>(error);
}

inline tstring errorText(int error) {
    return describeSystemError(errorCode(error), nullptr);
}

// The path through which the open `fd` itself is reached by name, whatever its own name is by now
// (or whether it has one): /proc/self/fd/N, where /proc is mounted.
inline std::string descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace posix
