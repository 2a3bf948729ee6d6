// The version resource (VS_VERSIONINFO) that Explorer's Properties page and GetFileVersionInfo
// read: a fixed part with the numeric version and a table of English (Unicode) strings. Written
// by lodestar-pack into every launcher, and read back from launchers that carry no recorded
// facts. Portable: bytes in, bytes out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "tstrings.h"

using VersionStrings = std::vector<std::pair<tstring, tstring>>;

// `version` is dotted numbers ("1.2.3" or "1.2.3.4"); anything after the fourth part, or that is
// not a number, counts as 0. Strings with an empty value are left out.
std::vector<std::uint8_t> buildVersionInfo(const tstring& version, const VersionStrings& strings);

// The strings of the block's first string table, in the order they are stored; none when the
// block has no table or cannot be read as a version block (nothing here is guessed).
VersionStrings readVersionStrings(const void* data, std::size_t size);

// The four parts of a dotted version, each at most 65535.
struct VersionNumber {
    std::uint16_t parts[4] = {0, 0, 0, 0};
};
VersionNumber parseVersion(const tstring& version);
