#include "Guid.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include <objbase.h>

#include "ErrorHandling.h"
#include "WinDll.h"

namespace {

const size_t kCanonicalLength = 38;  // "{" 8-4-4-4-12 "}"
const size_t kHexDigitCount = 32;
const size_t kDashPositions[] = {9, 14, 19, 24};  // in the braced form

void initGuid(const tstring& text, GUID& out) {
    // The parser reads a C string: it would take "{...}\0junk" for the text before the NUL.
    const bool holdsNul = text.find(L'\0') != tstring::npos;
    if (holdsNul || LD_SYSTEM_FUNCTION(ole32, IIDFromString)(text.c_str(), &out) != S_OK) {
        LD_THROW(tstrings::MessageBuilder() << "IIDFromString(" << text << ") failed");
    }
}

// Brings the forms without braces or dashes to the braced one; anything else goes to the parser
// as it came, so that the error names the text the caller gave.
tstring toBracedForm(const tstring& text) {
    if (text.size() == kCanonicalLength && text.front() == L'{' && text.back() == L'}') {
        return text;
    }
    if (text.size() < kHexDigitCount) {
        return text;
    }
    tstring braced = text;
    if (text.front() != L'{' && text.back() != L'}') {
        braced = L"{" + text + L"}";
    }
    if (text.find(L'-') == tstring::npos) {
        for (const size_t position : kDashPositions) {
            braced.insert(std::min(position, braced.size()), 1, L'-');
        }
    }
    if (braced.size() != kCanonicalLength) {
        return text;
    }
    return braced;
}

tstring widenBytes(const std::string& text) {
    tstring wide;
    wide.reserve(text.size());
    for (const char c : text) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

}  // namespace

Guid::Guid() : value_() {}

Guid::Guid(const GUID& value) : value_(value) {}

Guid::Guid(const tstring& text) : value_() {
    initGuid(toBracedForm(text), value_);
}

Guid::Guid(const std::string& text) : Guid(widenBytes(text)) {}

Guid Guid::generate() {
    GUID value = {};
    if (LD_SYSTEM_FUNCTION(ole32, CoCreateGuid)(&value) != S_OK) {
        LD_THROW("CoCreateGuid() failed");
    }
    return Guid(value);
}

tstring Guid::toString(int flags) const {
    wchar_t buffer[128] = {};
    if (LD_SYSTEM_FUNCTION(ole32, StringFromGUID2)(value_, buffer, static_cast<int>(std::size(buffer))) < 3) {
        LD_THROW("StringFromGUID2() failed");
    }
    tstring text(buffer);
    if ((flags & StripBraces) != 0) {
        text = text.substr(1, text.size() - 2);
    }
    if ((flags & StripDashes) != 0) {
        text.erase(std::remove(text.begin(), text.end(), L'-'), text.end());
    }
    if ((flags & LowerCase) != 0) {
        text = tstrings::toLower(text);
    }
    return text;
}

bool Guid::operator==(const Guid& other) const {
    return std::memcmp(&value_, &other.value_, sizeof(value_)) == 0;
}

bool Guid::operator<(const Guid& other) const {
    return toString() < other.toString();
}
