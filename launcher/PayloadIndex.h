// The payload index a launcher carries: every file it carries, the package first, with its
// relative name, size and content hash (ContentHash, XXH64), so that the launcher can tell a
// damaged setup from a sound one before anything is installed. Written by lodestar-pack, read by
// the launcher and by lodestar-pack --info; portable code, no system calls.
//
// Layout, little-endian:
//   u32 magic "LPIX", u16 format version, u16 0, u32 number of entries
//   per entry: u64 size, u64 content hash, u16 length of the name in UTF-16 units, the name
//   u64 ContentHash of every byte before it
// The name of entry 0 is the package's own file name; the others are paths relative to the
// package's folder, components separated by '\'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "tstrings.h"

namespace payload {

// The version this build writes; it reads this one and every older one.
inline constexpr std::uint16_t kIndexVersion = 1;

struct IndexEntry {
    tstring name;
    std::uint64_t size = 0;
    std::uint64_t hash = 0;
};

struct Index {
    std::uint16_t version = kIndexVersion;
    std::vector<IndexEntry> entries;  // entries[0] is the package
};

// An index whose bytes are not what was written: cut short, changed, or of a later version.
class IndexError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::vector<std::uint8_t> serializeIndex(const Index& index);
// The size serializeIndex gives, known before the hashes are.
std::size_t serializedIndexSize(const Index& index);
// Checks the trailing hash first, then the layout; throws IndexError (located) when either is off.
Index parseIndex(const void* data, std::size_t size);

// Why `name` cannot stand for a file below a folder (one component empty, "." or "..", a drive,
// a colon, a leading separator, a character no Windows file name may hold), or an empty string
// when it can. Both separators count.
tstring relativeNameProblem(const tstring& name);

}  // namespace payload
