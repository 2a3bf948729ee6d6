// Wide text: the library's string type, its conversions at the narrow borders, the message
// builder every error and log text is composed with, printf-style formatting and small helpers.
// The code-page conversions and the printf-style formatting are the platform's (toMultiByte,
// fromMultiByte and detail::formatPrintfList: windows/native/common/WinStrings.cpp with
// WideCharToMultiByte, MultiByteToWideChar and _vsnwprintf_s; linux/native/common/LinuxStrings.cpp);
// everything else is standard C++.
//
// tstring is the standard wide string: 16-bit UTF-16 code units on Windows. In the native Linux
// build (the packer and the portable part of the library) a wide character is 32 bits and a
// tstring holds Unicode code points; whatever must be UTF-16 (text stored in a Windows
// executable) goes through toUtf16.
#pragma once

#include <iosfwd>
#include <string>
#include <type_traits>
#include <vector>

typedef std::wstring tstring;
typedef std::vector<tstring> tstring_array;

namespace tstrings {

enum CompareMode : int { CaseSensitive = 0, IgnoreCase = 1 };

// Code pages of toMultiByte and fromMultiByte.
inline constexpr unsigned kActiveCodePage = 0;  // CP_ACP; UTF-8 on Linux
inline constexpr unsigned kUtf8CodePage = 65001;  // CP_UTF8

std::string toMultiByte(const tstring& text, unsigned codePage);
tstring fromMultiByte(const std::string& text, unsigned codePage);

std::string toUtf8(const tstring& text);
// Narrow text in the active ANSI code page, re-encoded as UTF-8.
std::string toUtf8(const std::string& ansiText);
tstring fromUtf8(const std::string& text);
// Narrow text of unknown origin (an exception's message, say): decoded as UTF-8 where it is valid,
// else widened byte by byte, so that it is never lost. A null pointer gives the empty text.
tstring fromUtf8OrBytes(const char* text);
inline tstring fromUtf8(const tstring& text) {
    return text;
}
std::string toACP(const tstring& text);
tstring fromACP(const std::string& text);
inline tstring fromACP(const tstring& text) {
    return text;
}

// The text as UTF-16 code units, and back: the form of every text a Windows executable stores
// (resource names, version strings). Where a wide character has 16 bits (Windows) these copy the
// units as they are; where it has 32 (Linux) code points beyond U+FFFF become surrogate pairs and
// back, and an unpaired surrogate stays the unit it was.
std::u16string toUtf16(const tstring& text);
tstring fromUtf16(const std::u16string& text);

bool equals(const tstring& a, const tstring& b, CompareMode mode = CaseSensitive);
bool startsWith(const tstring& s, const tstring& prefix, CompareMode mode = CaseSensitive);
bool endsWith(const tstring& s, const tstring& suffix, CompareMode mode = CaseSensitive);
tstring_array split(const tstring& s, const tstring& delimiter, bool skipEmpty = false);
tstring trim(const tstring& s, const tstring& characters = L" \t");
tstring toLower(const tstring& s);
tstring replace(const tstring& s, const tstring& search, const tstring& replacement);

namespace detail {
// A whole number in decimal, with a minus sign when negative: std::to_wstring's text, written
// without the C runtime's formatted printing, which std::to_wstring goes through and which would
// otherwise come along into every launcher.
tstring decimal(long long value);
tstring decimal(unsigned long long value);
}  // namespace detail

// Every NUL written as the two characters \0: messages end up as C strings, which a NUL would
// cut short, hiding the rest of the text (often the very part that explains the failure).
tstring escapeNul(const tstring& text);
std::string escapeNul(const std::string& text);

// The text with every control character (U+0000-U+001F, U+007F-U+009F) written as \xNN: text
// from a file someone else made, shown this way, cannot move a terminal's cursor, retitle its
// window or clear its screen. What a message shows of such a file goes through here.
tstring printable(const tstring& text);

// Wide text composed by insertion, read back as tstring or UTF-8. Values are written as the
// standard wide stream writes them with its default settings; the builder is not a stream, so
// that a program that uses it carries none of the streams' locale machinery.
class MessageBuilder {
public:
    MessageBuilder() = default;
    explicit MessageBuilder(const tstring& initial) { *this << initial; }

    // Each byte widened on its own: for ASCII literals, not decoded as UTF-8.
    MessageBuilder& operator<<(const char* text);
    MessageBuilder& operator<<(char* text) { return *this << static_cast<const char*>(text); }
    MessageBuilder& operator<<(const wchar_t* text);  // null inserts "NULL"
    MessageBuilder& operator<<(wchar_t* text) { return *this << static_cast<const wchar_t*>(text); }
    // Strings keep their whole text: a NUL inside is written as \0 (escapeNul).
    MessageBuilder& operator<<(const tstring& text);
    MessageBuilder& operator<<(const std::string& utf8Text);  // decoded as UTF-8
    MessageBuilder& operator<<(const MessageBuilder& other) { return *this << other.tstr(); }

    // Numbers in decimal (bool as 1 or 0), floating point as %g, single characters as themselves,
    // pointers as 0x and lower-case hex digits (0 for null), enumerations as their numbers.
    // clang-format off
    template <typename T>
        requires(std::is_arithmetic_v<T> || std::is_pointer_v<T> || std::is_enum_v<T>)
    MessageBuilder& operator<<(T value) {
        // clang-format on
        if constexpr (std::is_enum_v<T>) {
            return *this << static_cast<std::underlying_type_t<T>>(value);
        } else if constexpr (std::is_pointer_v<T>) {
            return appendPointer(static_cast<const void*>(value));
        } else if constexpr (std::is_same_v<T, bool>) {
            text_ += value ? L'1' : L'0';
        } else if constexpr (std::is_same_v<T, char>) {
            text_ += static_cast<wchar_t>(static_cast<unsigned char>(value));
        } else if constexpr (std::is_same_v<T, wchar_t>) {
            text_ += value;
        } else if constexpr (std::is_floating_point_v<T>) {
            return appendFloatingPoint(static_cast<double>(value));
        } else if constexpr (std::is_signed_v<T>) {
            text_ += detail::decimal(static_cast<long long>(value));
        } else {
            text_ += detail::decimal(static_cast<unsigned long long>(value));
        }
        return *this;
    }

    tstring tstr() const { return text_; }
    std::string str() const { return toUtf8(text_); }

private:
    MessageBuilder& appendPointer(const void* pointer);
    MessageBuilder& appendFloatingPoint(double value);

    tstring text_;
};

std::ostream& operator<<(std::ostream& out, const MessageBuilder& message);

namespace detail {
tstring formatPrintfList(const wchar_t* format, ...);

template <typename T>
const T& printfArg(const T& value) {
    return value;
}
inline const wchar_t* printfArg(const tstring& value) {
    return value.c_str();
}
}  // namespace detail

// printf-style formatting with the platform's wide rules; a tstring argument passes as its text.
template <typename... Args>
tstring formatPrintf(const wchar_t* format, const Args&... args) {
    return detail::formatPrintfList(format, detail::printfArg(args)...);
}

}  // namespace tstrings
