// The owner of one kernel handle.
#pragma once

#include "WinApi.h"

// The one owner of a kernel handle. Null and INVALID_HANDLE_VALUE both count as empty, so the
// result of any creating call can be wrapped as it comes.
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the handle up without closing it.
    HANDLE release() noexcept {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

    // Closes the held handle (keeping the thread's last-error value) and takes `handle` instead.
    void reset(HANDLE handle = nullptr) noexcept;

private:
    HANDLE handle_ = nullptr;
};
