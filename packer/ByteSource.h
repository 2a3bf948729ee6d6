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

// Fills `buffer` with `size` bytes, or as many as there are: `readSome(at, done, left)` reads some
// of the `left` bytes still wanted into `at` (`done` are in already) and returns how many, none at
// the end.
template <typename ReadSome>
std::size_t readUntilFullOrEnd(void* buffer, std::size_t size, ReadSome readSome) {
    auto* next = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const std::size_t got = readSome(next + done, done, size - done);
        if (got == 0) {
            break;
        }
        done += got;
    }
    return done;
}
