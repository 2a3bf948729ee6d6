// An executable read as data, never loaded or run: its PE headers, its sections, where its
// resources lie in the file (found as the loader finds them: by type, then by name or number,
// then the first language; a name is asked for in upper case, whatever case it is given in, and
// compared with the stored name as it is, which resource compilers store in upper case), and
// whether it carries an Authenticode signature. lodestar-pack reads launchers this way, so that the one reader works
// the same for a signed launcher, a damaged one and any other file, on any platform. The file is read in small pieces,
// through a ByteSource (a file given, or the launcher just written): nothing here holds a
// carried package in memory.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

#include "InputFile.h"
#include "ResourceSection.h"
#include "tstrings.h"

// A file that is not what a launcher must be, or a launcher whose bytes are not what was packed.
// The message names the file and what is wrong with it.
class LauncherError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where the bytes of one resource lie in the file.
struct ResourceLocation {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
};

class LauncherImage {
public:
    // Reads the headers, the section table and the root of the resource directory of `file` (not
    // owned). Throws LauncherError (located) for anything that is no 64-bit Windows executable with
    // resources, and for a file cut short before the end its headers give.
    explicit LauncherImage(ByteSource& file);

    // The resource of `type` and `name` (a ResourceId holds a name in upper case); none when the
    // file has no such resource. Throws
    // LauncherError for a resource directory that points outside itself or outside the file.
    std::optional<ResourceLocation> find(const ResourceId& type, const ResourceId& name);

    // The bytes of a resource small enough to be held (a description, not a carried file).
    std::vector<std::uint8_t> read(const ResourceLocation& where);

    // Whether the security directory points at a signature (Authenticode): present and not empty.
    // Whether that signature is valid is for the tools that check signatures.
    bool carriesSignature() const { return signatureSize_ != 0; }

private:
    struct Section {
        std::uint32_t virtualAddress;
        std::uint32_t mappedSize;  // the part of the section the file holds
        std::uint32_t fileOffset;
    };
    // Where one entry of a resource directory table leads: the offset (within the resource
    // directory) of a table or of a data entry.
    struct Target {
        std::uint32_t offset;
        bool table;
    };
    // A table of the resource directory, as the loader searches it.
    struct Table {
        std::vector<std::pair<tstring, Target>> named;  // names as stored
        std::map<std::uint16_t, Target> numbered;       // the first entry of each number
    };

    [[noreturn]] void refuse(const tstrings::MessageBuilder& reason) const;
    [[noreturn]] void refuseCutShort(std::uint64_t end) const;
    const std::uint8_t* bytesAt(std::uint64_t offset, std::size_t size);
    void readHeaders();
    void readSections(std::uint64_t tableOffset, std::uint16_t count);
    std::optional<std::uint64_t> fileOffsetOf(std::uint32_t rva, std::uint32_t size) const;
    const Table& tableAt(std::uint32_t offset);
    tstring nameAt(std::uint32_t offset);
    static std::optional<Target> lookUp(const Table& table, const ResourceId& key);

    ByteSource& file_;
    std::vector<Section> sections_;
    std::uint64_t resourceOffset_ = 0;  // of the resource directory, in the file
    std::uint32_t resourceSize_ = 0;
    std::uint32_t signatureSize_ = 0;
    std::map<std::uint32_t, Table> tables_;  // read so far, by offset
    // The piece of the file read last: the directory's tables, names and data entries lie close
    // together, and most lookups are served from it.
    std::uint64_t windowStart_ = 0;
    std::vector<std::uint8_t> window_;
};
