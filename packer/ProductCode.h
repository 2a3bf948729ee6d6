// Product codes as text, without the system's GUID functions (the packer runs on Linux too): the
// canonical form a launcher carries is 38 characters, braced, with upper-case hex digits.
#pragma once

#include <optional>

#include "tstrings.h"

// The canonical form of "{8-4-4-4-12}", of the same without braces, or of 32 bare hex digits, in
// either case; none for anything else.
std::optional<tstring> canonicalProductCode(const tstring& text);

// The canonical form of a braced 38-character code only: the one form a package's ProductCode
// property may take.
std::optional<tstring> canonicalBracedProductCode(const tstring& text);
