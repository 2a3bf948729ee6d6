#include "tstrings.h"

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <iterator>
#include <stdexcept>

#include "ErrorHandling.h"

namespace tstrings {

std::string toUtf8(const tstring& text) {
    return toMultiByte(text, kUtf8CodePage);
}
std::string toUtf8(const std::string& ansiText) {
    return toUtf8(fromACP(ansiText));
}
tstring fromUtf8(const std::string& text) {
    return fromMultiByte(text, kUtf8CodePage);
}

std::u16string toUtf16(const tstring& text) {
    std::u16string units;
    units.reserve(text.size());
    for (const wchar_t c : text) {
        const auto codePoint = static_cast<std::uint32_t>(c);
        if constexpr (sizeof(wchar_t) > 2) {
            if (codePoint > 0xFFFF) {
                const std::uint32_t offset = codePoint - 0x10000;
                units.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
                units.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
                continue;
            }
        }
        units.push_back(static_cast<char16_t>(codePoint));
    }
    return units;
}

tstring fromUtf16(const std::u16string& units) {
    tstring text;
    text.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        if constexpr (sizeof(wchar_t) > 2) {
            const bool high = unit >= 0xD800 && unit <= 0xDBFF;
            if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
                const std::uint32_t low = units[++i];
                text.push_back(static_cast<wchar_t>(0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) +
                                                    (low - 0xDC00)));
                continue;
            }
        }
        text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
}

tstring fromUtf8OrBytes(const char* text) {
    const std::string narrow(text != nullptr ? text : "");
    const tstring decoded = fromUtf8(narrow);
    if (!decoded.empty() || narrow.empty()) {
        return decoded;
    }
    tstring widened;
    for (const char c : narrow) {
        widened += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return widened;
}
std::string toACP(const tstring& text) {
    return toMultiByte(text, kActiveCodePage);
}
tstring fromACP(const std::string& text) {
    return fromMultiByte(text, kActiveCodePage);
}

bool equals(const tstring& a, const tstring& b, CompareMode mode) {
    if (mode == IgnoreCase) {
        return toLower(a) == toLower(b);
    }
    return a == b;
}

bool startsWith(const tstring& s, const tstring& prefix, CompareMode mode) {
    if (s.size() < prefix.size()) {
        return false;
    }
    return equals(s.substr(0, prefix.size()), prefix, mode);
}

bool endsWith(const tstring& s, const tstring& suffix, CompareMode mode) {
    if (s.size() < suffix.size()) {
        return false;
    }
    return equals(s.substr(s.size() - suffix.size()), suffix, mode);
}

tstring_array split(const tstring& s, const tstring& delimiter, bool skipEmpty) {
    tstring_array pieces;
    if (s.empty() || delimiter.empty()) {
        return pieces;
    }
    size_t pos = 0;
    for (size_t found = s.find(delimiter); found != tstring::npos; found = s.find(delimiter, pos)) {
        if (!skipEmpty || found > pos) {
            pieces.push_back(s.substr(pos, found - pos));
        }
        pos = found + delimiter.size();
    }
    if (!skipEmpty || pos < s.size()) {
        pieces.push_back(s.substr(pos));
    }
    return pieces;
}

tstring trim(const tstring& s, const tstring& characters) {
    const size_t first = s.find_first_not_of(characters);
    if (first == tstring::npos) {
        return tstring();
    }
    const size_t last = s.find_last_not_of(characters);
    return s.substr(first, last - first + 1);
}

tstring toLower(const tstring& s) {
    tstring lower(s);
    // Only 'A'..'Z': the C runtime's tolower in the default locale, not a Unicode case mapping.
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 0x20) : c; });
    return lower;
}

tstring printable(const tstring& text) {
    static const wchar_t digits[] = L"0123456789abcdef";
    tstring shown;
    shown.reserve(text.size());
    for (const wchar_t c : text) {
        const auto code = static_cast<std::uint32_t>(c);
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
            shown += L"\\x";
            shown += digits[code >> 4];
            shown += digits[code & 0xF];
        } else {
            shown += c;
        }
    }
    return shown;
}

tstring replace(const tstring& s, const tstring& search, const tstring& replacement) {
    if (search.empty()) {
        return s;
    }
    tstring result(s);
    for (size_t pos = result.find(search); pos != tstring::npos; pos = result.find(search, pos + replacement.size())) {
        result.replace(pos, search.size(), replacement);
    }
    return result;
}

namespace {

template <typename String>
String escapeNulIn(const String& text) {
    using Char = typename String::value_type;
    if (text.find(Char(0)) == String::npos) {
        return text;
    }
    String escaped;
    escaped.reserve(text.size() + 8);
    for (const Char c : text) {
        if (c == Char(0)) {
            escaped.push_back(Char('\\'));
            escaped.push_back(Char('0'));
        } else {
            escaped.push_back(c);
        }
    }
    return escaped;
}

}  // namespace

tstring escapeNul(const tstring& text) {
    return escapeNulIn(text);
}

std::string escapeNul(const std::string& text) {
    return escapeNulIn(text);
}

MessageBuilder& MessageBuilder::operator<<(const char* text) {
    if (text == nullptr) {
        text_ += L"NULL";
        return *this;
    }
    for (; *text != '\0'; ++text) {
        text_ += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    }
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const wchar_t* text) {
    text_ += text != nullptr ? text : L"NULL";
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const tstring& text) {
    text_ += escapeNul(text);
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const std::string& utf8Text) {
    text_ += escapeNul(fromUtf8(utf8Text));
    return *this;
}

MessageBuilder& MessageBuilder::appendPointer(const void* pointer) {
    const auto value = reinterpret_cast<std::uintptr_t>(pointer);
    if (value == 0) {
        text_ += L'0';
        return *this;
    }
    text_ += formatPrintf(L"0x%llx", static_cast<unsigned long long>(value));
    return *this;
}

MessageBuilder& MessageBuilder::appendFloatingPoint(double value) {
    text_ += formatPrintf(L"%g", value);
    return *this;
}

namespace detail {

tstring decimal(unsigned long long value) {
    wchar_t digits[20];  // 18446744073709551615, the largest
    std::size_t first = std::size(digits);
    do {
        digits[--first] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return tstring(digits + first, std::size(digits) - first);
}

tstring decimal(long long value) {
    if (value >= 0) {
        return decimal(static_cast<unsigned long long>(value));
    }
    // The magnitude in unsigned arithmetic, where the most negative number has one too.
    return L'-' + decimal(0ULL - static_cast<unsigned long long>(value));
}

}  // namespace detail
}  // namespace tstrings
