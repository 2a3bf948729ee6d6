#include "ProductCode.h"

namespace {

constexpr std::size_t kBracedLength = 38;  // "{" 8-4-4-4-12 "}"
constexpr std::size_t kHexDigits = 32;
constexpr std::size_t kGroupEnds[] = {8, 12, 16, 20};  // the dashes follow these hex digits

bool isHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

wchar_t upper(wchar_t c) {
    return c >= L'a' && c <= L'f' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// The hex digits of 8-4-4-4-12 (dashes where they belong) or of 32 in a row.
std::optional<tstring> hexDigitsOf(const tstring& text) {
    const bool dashed = text.find(L'-') != tstring::npos;
    tstring digits;
    std::size_t group = 0;
    for (const wchar_t c : text) {
        if (c == L'-') {
            if (!dashed || group >= std::size(kGroupEnds) || digits.size() != kGroupEnds[group]) {
                return std::nullopt;
            }
            ++group;
            continue;
        }
        if (!isHexDigit(c)) {
            return std::nullopt;
        }
        digits.push_back(upper(c));
    }
    if (digits.size() != kHexDigits || (dashed && group != std::size(kGroupEnds))) {
        return std::nullopt;
    }
    return digits;
}

tstring braced(const tstring& digits) {
    return L"{" + digits.substr(0, 8) + L"-" + digits.substr(8, 4) + L"-" + digits.substr(12, 4) + L"-" +
           digits.substr(16, 4) + L"-" + digits.substr(20) + L"}";
}

}  // namespace

std::optional<tstring> canonicalProductCode(const tstring& text) {
    const bool hasBraces = text.size() >= 2 && text.front() == L'{' && text.back() == L'}';
    const std::optional<tstring> digits = hexDigitsOf(hasBraces ? text.substr(1, text.size() - 2) : text);
    if (!digits) {
        return std::nullopt;
    }
    return braced(*digits);
}

std::optional<tstring> canonicalBracedProductCode(const tstring& text) {
    if (text.size() != kBracedLength || text.front() != L'{' || text.back() != L'}') {
        return std::nullopt;
    }
    return canonicalProductCode(text);
}
