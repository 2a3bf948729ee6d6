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
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "tstrings.h"

namespace payload {

// The name a launcher gives its working copy of the package: no carried file may take it.
inline constexpr const wchar_t* kInstallersCopyName = L"main.msi";

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

// The index as the launcher and lodestar-pack take it: parsed (parseIndex), no more files beside
// the package than a launcher carries, and names a sound packer writes (indexNameProblem). Throws
// IndexError (located): parseIndex's, or one starting "its index" for a count or a name.
Index readIndex(const void* data, std::size_t size);

// Why `name` cannot stand for a file below a folder (one component empty, "." or "..", a drive,
// a colon, a leading separator, a character no Windows file name may hold), or an empty string
// when it can. Both separators count.
tstring relativeNameProblem(const tstring& name);

// Why `name` cannot stand for a file carried beside the package: relativeNameProblem's reasons,
// and a part of it named kInstallersCopyName (in any case), which the launcher's own copy of the
// package takes. An empty string when it can.
tstring carriedNameProblem(const tstring& name);

// A name of an index that cannot be written below a folder beside the others, and why.
struct NameProblem {
    tstring name;
    tstring problem;
};

// What a sound packer writes: the package's own name a file name, every other name below the
// folder and no part of it kInstallersCopyName, no name twice (in any case, with either
// separator), no file where another needs a folder. The first problem found, or nothing. Work and
// memory grow in step with the index's size: no folder's name is copied.
std::optional<NameProblem> indexNameProblem(const Index& index);

// Two carried names of which Windows could hold only one: the first, a file, is a folder on the
// way to the second ("data" and "data\x.txt"). Positions in `keys`, the names as the caller
// compares them (folded to one case, no name twice); either separator counts. One pass over the
// keys: no folder's name is copied.
std::optional<std::pair<std::size_t, std::size_t>> fileWhereFolderIs(const tstring_array& keys);

}  // namespace payload
