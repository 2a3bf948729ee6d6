// The string conversions and printf-style formatting of tstrings in the native Linux build, where
// a wide character is a 32-bit code point and the narrow side is UTF-8 for every code page.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cwchar>
#include <stdexcept>

#include "tstrings.h"

namespace tstrings {
namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

bool isSurrogate(std::uint32_t codePoint) {
    return codePoint >= 0xD800 && codePoint <= 0xDFFF;
}

void appendUtf8(std::string& out, std::uint32_t codePoint) {
    // What cannot be a character becomes U+FFFD, as WideCharToMultiByte does with a lone surrogate.
    if (isSurrogate(codePoint) || codePoint > 0x10FFFF) {
        codePoint = kReplacement;
    }
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | codePoint >> 6));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | codePoint >> 12));
        out.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | codePoint >> 18));
        out.push_back(static_cast<char>(0x80 | (codePoint >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// One code point from `text` at `pos` (advanced past it); false for a sequence that is not UTF-8:
// truncated, overlong, a surrogate or beyond U+10FFFF.
bool nextCodePoint(const std::string& text, std::size_t& pos, std::uint32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    int continuation = 0;
    std::uint32_t smallest = 0;
    if (lead < 0x80) {
        codePoint = lead;
        ++pos;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        continuation = 1;
        codePoint = lead & 0x1F;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        continuation = 2;
        codePoint = lead & 0x0F;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        continuation = 3;
        codePoint = lead & 0x07;
        smallest = 0x10000;
    } else {
        return false;
    }
    if (text.size() - pos <= static_cast<std::size_t>(continuation)) {
        return false;
    }
    for (int i = 1; i <= continuation; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + static_cast<std::size_t>(i)]);
        if ((next & 0xC0) != 0x80) {
            return false;
        }
        codePoint = codePoint << 6 | (next & 0x3F);
    }
    pos += static_cast<std::size_t>(continuation) + 1;
    return codePoint >= smallest && codePoint <= 0x10FFFF && !isSurrogate(codePoint);
}

// The format as the C library reads it: on Windows %s and %c of a wide printf take wide text,
// here they take narrow text unless marked %ls and %lc.
std::wstring posixFormat(const wchar_t* format) {
    std::wstring out;
    for (const wchar_t* c = format; *c != L'\0'; ++c) {
        out.push_back(*c);
        if (*c != L'%') {
            continue;
        }
        ++c;
        while (*c != L'\0' && std::wcschr(L"-+ #0123456789.*", *c) != nullptr) {
            out.push_back(*c++);
        }
        const bool sized = *c != L'\0' && std::wcschr(L"hlLqjzt", *c) != nullptr;
        if (!sized && (*c == L's' || *c == L'c')) {
            out.push_back(L'l');
        }
        if (*c == L'\0') {
            break;
        }
        out.push_back(*c);
    }
    return out;
}

}  // namespace

std::string toMultiByte(const tstring& text, unsigned) {
    std::string result;
    result.reserve(text.size());
    for (const wchar_t c : text) {
        appendUtf8(result, static_cast<std::uint32_t>(c));
    }
    return result;
}

tstring fromMultiByte(const std::string& text, unsigned) {
    tstring result;
    result.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        std::uint32_t codePoint = 0;
        if (!nextCodePoint(text, pos, codePoint)) {
            return tstring();  // invalid input gives nothing, as on Windows
        }
        result.push_back(static_cast<wchar_t>(codePoint));
    }
    return result;
}

namespace detail {

tstring formatPrintfList(const wchar_t* format, ...) {
    if (format == nullptr) {
        throw std::invalid_argument("Destination buffer can't be NULL");
    }
    const std::wstring posix = posixFormat(format);
    constexpr std::size_t kFirstSize = 256;
    constexpr std::size_t kLargest = 64 * 1024 * 1024;
    // The error number belongs to whatever failed before this call (the launch frame reports it).
    const int savedErrno = errno;
    tstring result;
    for (;;) {
        // The C library does not say how much it needs: the buffer doubles until the text fits.
        result.resize(result.empty() ? kFirstSize : 2 * result.size());
        va_list args;
        va_start(args, format);
        const int written = std::vswprintf(result.data(), result.size(), posix.c_str(), args);
        va_end(args);
        if (written >= 0) {
            result.resize(static_cast<std::size_t>(written));
            break;
        }
        // -1 means too short, or a format the C library refuses: growing ends it either way.
        if (result.size() > kLargest) {
            errno = savedErrno;
            throw std::invalid_argument("Invalid format string");
        }
    }
    errno = savedErrno;
    return result;
}

}  // namespace detail
}  // namespace tstrings
