// Located errors: every failure is an exception that carries where it was raised and a message
// composed by fixed rules (located text for the log, raw text for the user).
#pragma once

#include <cerrno>
#include <concepts>
#include <exception>
#include <stdexcept>
#include <string>

#include "SourceLocation.h"
#include "tstrings.h"

class LdErrorBase {
public:
    // The wrapped error's message exactly as it was constructed, without location.
    virtual const char* rawMessage() const noexcept = 0;

protected:
    ~LdErrorBase() = default;
};

std::string formatLocatedMessage(const std::exception& error, const SourceLocation& location);

template <typename T>
class LdError : public LdErrorBase, public T {
public:
    LdError(const T& error, const SourceLocation& location)
        : T(error), locatedMessage_(formatLocatedMessage(error, location)) {}

    const char* what() const noexcept override { return locatedMessage_.c_str(); }
    const char* rawMessage() const noexcept override { return T::what(); }

private:
    std::string locatedMessage_;
};

// Defined in windows/native/common/WinErrorHandling.cpp, where the system's message tables are
// (and for the native Linux build in linux/native/common/LinuxErrorHandling.cpp, with the C
// library's error texts): SysError's constructor, makeMessage, describeSystemError,
// lookupMessageText, describeComError, crtErrorText and showDebugBreakPrompt. The rest is defined
// in ErrorHandling.cpp.

// A failed operating-system call; the code lives on only inside the message text.
class SysError : public std::runtime_error {
public:
    SysError(const tstrings::MessageBuilder& message, const void* failedApi, unsigned long code, const char* label);
};

// clang-format off
template <typename T>
    requires std::derived_from<T, std::runtime_error>
LdError<T> makeLocatedError(const T& error, const SourceLocation& location) {
    return LdError<T>(error, location);
}
// clang-format on
LdError<std::runtime_error> makeLocatedError(const std::string& message, const SourceLocation& location);
LdError<std::runtime_error> makeLocatedError(const char* message, const SourceLocation& location);
LdError<std::runtime_error> makeLocatedError(const tstrings::MessageBuilder& message, const SourceLocation& location);
LdError<std::runtime_error> makeLocatedError(const tstring& message, const SourceLocation& location);

std::string joinMessages(const std::string& first, const std::string& second);

// The text of a SysError: message, then label, code and the system's description of the code
// (looked up in the module that holds failedApi, else in the system table).
std::string makeMessage(const std::string& message, const char* label, const void* failedApi, unsigned long code);

tstring describeSystemError(unsigned long code, void* module);
tstring lookupMessageText(unsigned long code, void* module);
tstring describeComError(long hr);

void logCaughtException(const SourceLocation& location, const std::exception& error);
void logCaughtUnknown(const SourceLocation& location);

std::string crtErrorText();

// Holds the thread in a task-modal box, so that a developer can attach a debugger, when the
// environment variable `variableName` is "*" or contains `key`. Never executes a break instruction itself.
void showDebugBreakPrompt(const SourceLocation& location, const tstring& variableName, const tstring& key);

namespace ld::detail {
// The located text of the debug break prompt when the environment variable `variableName` asks for
// one ("*", or a value holding `key`); empty when it does not. Each platform shows it its own way.
tstring debugBreakPromptText(const SourceLocation& location, const tstring& variableName, const tstring& key);
}  // namespace ld::detail

template <typename Fn>
const void* apiAddress(Fn* function) {
    return reinterpret_cast<const void*>(function);
}

// throw LD_THROW(...) is spelled LD_THROW(...): raises a located error built from an error
// object, a narrow message or a MessageBuilder.
#define LD_THROW(error) throw makeLocatedError((error), LD_SOURCE_LOCATION)

// Raises the SysError of a failed system call. Capture the code with GetLastError() right after
// the call and pass it here; `message` is a MessageBuilder insertion chain naming the call, `api`
// the function that failed (or a pointer to it).
#define LD_THROW_SYSTEM_ERROR(api, code, message) \
    LD_THROW(SysError(tstrings::MessageBuilder() << message, ::apiAddress(api), (code), "System error"))

// Raises the SysError of the system call `api` when `failed` holds, with the thread's last error
// read before anything else can change it:
//     LD_THROW_LAST_ERROR_IF(!CreateDirectoryW(path.c_str(), nullptr), CreateDirectoryW,
//                            "CreateDirectory(" << path << ") failed");
#define LD_THROW_LAST_ERROR_IF(failed, api, message)                                     \
    do {                                                                                 \
        if (failed) {                                                                    \
            const unsigned long ldLastError = static_cast<unsigned long>(LD_LAST_ERROR()); \
            LD_THROW_SYSTEM_ERROR(api, ldLastError, message);                            \
        }                                                                                \
    } while (false)

// The thread's last error: GetLastError() on Windows, errno elsewhere.
#ifdef _WIN32
#define LD_LAST_ERROR() ::GetLastError()
#else
#define LD_LAST_ERROR() errno
#endif

// Raises `Error(MessageBuilder() << message, code)` when `call` returns a code other than 0
// (ERROR_SUCCESS): for calls that report failure by their result rather than the last error, as
// the installer's do. `message` is a MessageBuilder insertion chain naming the call:
//     LD_THROW_IF_ERROR_CODE(service().MsiViewModify(view, mode, record), msi::Error,
//                            "MsiViewModify(mode=" << mode << ") failed");
#define LD_THROW_IF_ERROR_CODE(call, Error, message)                            \
    do {                                                                        \
        const auto ldCode = (call);                                             \
        if (ldCode != 0) {                                                      \
            LD_THROW(Error(tstrings::MessageBuilder() << message, ldCode));     \
        }                                                                       \
    } while (false)

// The end of every try block that must not let anything out: an exception of `Family` (a
// standard exception class) is logged with its message, anything else as unknown, both located
// at the site.
//     try { ... } LD_CATCH_AND_LOG(std::runtime_error)
#define LD_CATCH_AND_LOG(Family)                          \
    catch (const Family& ldCaught) {                      \
        logCaughtException(LD_SOURCE_LOCATION, ldCaught); \
    }                                                     \
    catch (...) {                                         \
        logCaughtUnknown(LD_SOURCE_LOCATION);             \
    }
