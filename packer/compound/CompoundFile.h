// The streams of a compound file (the container Windows Installer keeps packages, patches and
// transforms in), read as data: the header, the sector tables, the directory and any stream of the
// root storage, whatever the host. Nothing in the file is trusted: every sector number, chain and
// size is checked against the file before it is followed, so that a damaged or crafted file is
// refused with CompoundFileError and never read out of bounds, in a loop or into memory it does
// not fill.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ByteSource.h"

// A file that is no compound file, or one whose structures contradict themselves.
class CompoundFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CompoundFile {
public:
    using ClassId = std::array<std::uint8_t, 16>;  // as stored

    // Reads the header, the sector table and the directory of `file` (not owned; it must outlive
    // this object). Throws CompoundFileError (located).
    explicit CompoundFile(ByteSource& file);

    const ClassId& rootClass() const { return rootClass_; }
    // The names of the root storage's streams, as stored (UTF-16).
    std::vector<std::u16string> rootStreamNames() const;
    // The bytes of the root storage's stream `name`; none when it has no such stream. Throws
    // CompoundFileError for a stream whose sectors cannot be followed to its size.
    std::optional<std::vector<std::uint8_t>> rootStream(const std::u16string& name) const;

private:
    struct Entry {
        std::u16string name;
        std::uint8_t type = 0;
        std::uint32_t left = 0;
        std::uint32_t right = 0;
        std::uint32_t child = 0;
        std::uint32_t start = 0;
        std::uint64_t size = 0;
    };

    [[noreturn]] void refuse(const char* reason) const;
    std::vector<std::uint8_t> readSector(std::uint32_t sector) const;
    void readSectorTable(const std::vector<std::uint8_t>& header);
    void readDirectory(std::uint32_t firstSector);
    void readMiniStream(const std::vector<std::uint8_t>& header);
    // The sectors of the chain from `start` in `table`, at most `limit` of them.
    std::vector<std::uint32_t> chain(const std::vector<std::uint32_t>& table, std::uint32_t start,
                                     std::size_t limit) const;
    std::vector<std::uint8_t> readStream(const Entry& entry) const;
    void collectRootStreams();

    ByteSource& file_;
    std::uint32_t sectorSize_ = 512;
    std::uint64_t sectorCount_ = 0;  // sectors the file holds after its header
    std::vector<std::uint32_t> sectorTable_;
    std::vector<std::uint32_t> miniSectorTable_;
    std::vector<std::uint8_t> miniStream_;
    std::uint32_t miniStreamCutoff_ = 4096;
    std::vector<Entry> entries_;
    ClassId rootClass_{};
    std::map<std::u16string, std::size_t> rootStreams_;  // name -> entry
};
