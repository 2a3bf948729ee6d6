// The launcher stub: a PE32+ executable of this project's own build with no resources, whose
// image the packer writes out again with one more section at its end, the resources. File
// alignment equals section alignment in the stub and in the new section, so that Windows and
// Wine map a large package instead of reading it. Portable: bytes in, bytes out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

#include "ByteSink.h"
#include "ResourceSection.h"

// An executable Windows would not load: its image (what the loader maps) would be `imageSize`
// bytes, over pe::kLargestImage, or, when `atLeast`, more than that many.
class ImageTooLarge : public std::runtime_error {
public:
    ImageTooLarge(std::uint64_t imageSize, bool atLeast);
    std::uint64_t imageSize() const { return imageSize_; }
    bool atLeast() const { return atLeast_; }

private:
    std::uint64_t imageSize_;
    bool atLeast_;
};

class StubImage {
public:
    // Checks that the image can take one more section: x64, no resources or signature yet, room
    // in the section table, nothing after the last section. The bytes must outlive the object.
    StubImage(const void* data, std::size_t size);

    // Called with the bytes of the resource files written so far and their total.
    // `done` of `total` carried bytes written, while the file `reading` is read.
    using Progress = std::function<void(std::uint64_t done, std::uint64_t total, const tstring& reading)>;

    struct Written {
        std::uint64_t size = 0;                 // of the whole executable
        std::vector<std::uint64_t> fileHashes;  // ContentHash of each file resource as it was read
    };

    // The resources laid out as the stub's last section, and the image size (SizeOfImage, what
    // the loader maps) of the executable that carries them. Nothing is read.
    struct Placed {
        ResourceSection::Layout layout;
        std::uint64_t imageSize = 0;
    };
    // Decided from the sizes alone: an executable Windows would not load is refused here with
    // ImageTooLarge (located), the one place the limit is held against, before a byte is read
    // or written. Carried bytes past the limit are refused before the section is laid out, as
    // its headers could not describe more than 4 GiB.
    Placed place(const ResourceSection& resources) const;

    // Writes the stub with the placed resources as its last section and a correct checksum to `out`.
    Written write(const Placed& placed, ByteSink& out, const Progress& progress) const;
    // place(), then write().
    Written writeWith(const ResourceSection& resources, ByteSink& out, const Progress& progress) const {
        return write(place(resources), out, progress);
    }

private:
    std::uint64_t sectionOffset() const;

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t ntHeadersOffset_ = 0;
    std::size_t sectionTableOffset_ = 0;
    std::uint16_t sections_ = 0;
    std::uint32_t sizeOfHeaders_ = 0;
    std::uint32_t alignment_ = 0;   // file and section alignment alike
    std::uint32_t endOfImage_ = 0;  // first address after the last section
};

// The PE checksum (as CheckSumMappedFile computes it) of bytes fed in order, the checksum field
// itself given as zeros.
class PeChecksum {
public:
    void update(const void* data, std::size_t size);
    std::uint32_t value() const;

private:
    std::uint64_t sum_ = 0;
    std::uint64_t length_ = 0;
    int pendingByte_ = -1;  // the first half of a 16-bit word split between two updates
};
