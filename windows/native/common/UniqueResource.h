// The one owner of a system resource: a kernel handle, a module reference, a directory search, a
// block from LocalAlloc. Each kind is a traits type that names the type, its empty value, what
// counts as a valid value, and the call that releases it:
//
//     struct FindTraits {
//         using Type = HANDLE;
//         static constexpr const char* kRelease = "FindClose";
//         static Type empty() noexcept { return INVALID_HANDLE_VALUE; }
//         static bool isValid(Type value) noexcept { return value != INVALID_HANDLE_VALUE; }
//         static bool release(Type value) noexcept { return FindClose(value) != FALSE; }
//     };
//     using FindHandle = UniqueResource<FindTraits>;
//
// Releasing keeps the thread's last-error value (it happens on the way out of failures too) and a
// release that fails is only logged: destructors never throw.
#pragma once

#include <utility>

#include "WinApi.h"

namespace ld::detail {
// Logs "<release>(<value>) failed: <description of error>" at WARNING; never throws.
void reportFailedRelease(const char* release, const void* value, unsigned long error) noexcept;
}  // namespace ld::detail

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    // Takes `value` as it comes from the creating call: an empty or invalid one owns nothing.
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type get() const noexcept { return value_; }
    bool valid() const noexcept { return Traits::isValid(value_); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the value up without releasing it.
    Type release() noexcept { return std::exchange(value_, Traits::empty()); }

    // Releases the held value and takes `value` instead.
    void reset(Type value = Traits::empty()) noexcept {
        if (value == value_) {
            return;
        }
        if (valid()) {
            const DWORD savedError = GetLastError();
            if (!Traits::release(value_)) {
                ld::detail::reportFailedRelease(Traits::kRelease, reinterpret_cast<const void*>(value_),
                                                GetLastError());
            }
            SetLastError(savedError);
        }
        value_ = value;
    }

    // For calls that return the value through an out-parameter: releases what is held and gives
    // the place to write the new value to.
    Type* receive() noexcept {
        reset();
        return &value_;
    }

private:
    Type value_ = Traits::empty();
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static constexpr const char* kRelease = "CloseHandle";
    static Type empty() noexcept { return nullptr; }
    // Creating calls fail with either: CreateFile with INVALID_HANDLE_VALUE, most others with null.
    static bool isValid(Type value) noexcept { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    static bool release(Type value) noexcept { return CloseHandle(value) != FALSE; }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

struct ModuleTraits {
    using Type = HMODULE;
    static constexpr const char* kRelease = "FreeLibrary";
    static Type empty() noexcept { return nullptr; }
    static bool isValid(Type value) noexcept { return value != nullptr; }
    static bool release(Type value) noexcept { return FreeLibrary(value) != FALSE; }
};
using ModuleHandle = UniqueResource<ModuleTraits>;

struct FindTraits {
    using Type = HANDLE;
    static constexpr const char* kRelease = "FindClose";
    static Type empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(Type value) noexcept { return value != INVALID_HANDLE_VALUE; }
    static bool release(Type value) noexcept { return FindClose(value) != FALSE; }
};
using FindHandle = UniqueResource<FindTraits>;

// A block the system allocated with LocalAlloc for the caller (FormatMessage's text,
// CommandLineToArgvW's array), seen as a `T`.
template <typename T>
struct LocalMemoryTraits {
    using Type = T;
    static constexpr const char* kRelease = "LocalFree";
    static Type empty() noexcept { return nullptr; }
    static bool isValid(Type value) noexcept { return value != nullptr; }
    static bool release(Type value) noexcept { return LocalFree(value) == nullptr; }
};
template <typename T>
using LocalMemory = UniqueResource<LocalMemoryTraits<T>>;
