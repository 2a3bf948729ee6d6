// The string conversions and the printf-style formatting of tstrings on Windows: the system's
// code-page conversions and the C runtime's wide printf.
#include <cerrno>
#include <cstdarg>
#include <stdexcept>

#include "ErrorHandling.h"
#include "WinApi.h"
#include "tstrings.h"

namespace tstrings {

std::string toMultiByte(const tstring& text, unsigned codePage) {
    std::string result;
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size < 0) {
        LD_THROW("Unexpected reply from WideCharToMultiByte()");
    }
    if (size == 0) {
        return result;
    }
    result.resize(static_cast<size_t>(size));
    if (size != WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), size, nullptr, nullptr)) {
        LD_THROW("Unexpected reply from WideCharToMultiByte()");
    }
    return result;
}

tstring fromMultiByte(const std::string& text, unsigned codePage) {
    tstring result;
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (size < 0) {
        LD_THROW("Unexpected reply from MultiByteToWideChar()");
    }
    if (size == 0) {
        return result;
    }
    result.resize(static_cast<size_t>(size));
    if (size != MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, result.data(), size)) {
        LD_THROW("Unexpected reply from MultiByteToWideChar()");
    }
    return result;
}

namespace detail {

tstring formatPrintfList(const wchar_t* format, ...) {
    if (format == nullptr) {
        throw std::invalid_argument("Destination buffer can't be NULL");
    }
    constexpr size_t kGrowth = 256;
    // The error number belongs to whatever failed before this call (the launch frame reports it).
    const int savedErrno = errno;
    tstring result;
    int written = -1;
    do {
        result.resize(result.size() + kGrowth);
        va_list args;
        va_start(args, format);
        errno = 0;
        written = _vsnwprintf_s(result.data(), result.size(), _TRUNCATE, format, args);
        const int formatErrno = errno;
        va_end(args);
        // -1 also reports a malformed format; growing the buffer would never end then.
        if (written == -1 && formatErrno == EINVAL) {
            errno = savedErrno;
            throw std::invalid_argument("Invalid format string");
        }
    } while (written == -1);
    result.resize(static_cast<size_t>(written));
    errno = savedErrno;
    return result;
}

}  // namespace detail
}  // namespace tstrings
