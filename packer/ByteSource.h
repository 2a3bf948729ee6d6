// Bytes lodestar-pack reads from front to back, or from places it chooses: a file it was given
// (InputFile), or the launcher it has just written, read back through the file it wrote
// (OutputFile::reader). What reads launchers as data (LauncherImage, LauncherContents) reads
// either.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tstrings.h"

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // The path messages name it by.
    virtual const tstring& path() const = 0;
    virtual std::uint64_t size() const = 0;
    // Up to `size` bytes from the current position into `buffer`; fewer only at the end, none
    // after it.
    virtual std::size_t read(void* buffer, std::size_t size) = 0;
    // To the byte at `offset`, where the next read starts; at or after the end, reads give none.
    virtual void seek(std::uint64_t offset) = 0;
};
