// A 128-bit identifier: parsed tolerantly from text (braces and dashes may be left out) and
// written in the system's canonical form or a trimmed one.
#pragma once

#include <string>

#include "WinApi.h"
#include "tstrings.h"

class Guid {
public:
    // toString flags; they combine.
    enum StringFlags { StripBraces = 1, StripDashes = 2, LowerCase = 4 };

    Guid();
    Guid(const GUID& value);
    // Accepts "{8-4-4-4-12}", the same without braces, and 32 bare hex digits, in either case.
    explicit Guid(const tstring& text);
    // GUID text is ASCII: each byte becomes one code unit, with no code-page conversion.
    explicit Guid(const std::string& text);

    static Guid generate();

    // flags 0: 38 characters, braced, upper-case hex digits.
    tstring toString(int flags = 0) const;

    const GUID& value() const { return value_; }

    // Equal exactly when the 16 bytes are.
    bool operator==(const Guid& other) const;
    // Orders by canonical text, so sorted lists read in the order people expect.
    bool operator<(const Guid& other) const;

private:
    GUID value_;
};
