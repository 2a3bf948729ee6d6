// The smallest x64 image lodestar-pack's launcher reader takes, around a resource section built
// by the packer's own ResourceSection: what the fuzz seeds and the benchmark's crafted launchers
// are made of.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "ResourceSection.h"

namespace minimal_image {

using Bytes = std::vector<std::uint8_t>;

inline void put(Bytes& bytes, std::size_t at, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// The smallest x64 image the launcher reader takes: headers, then one section that is the
// resource section, at RVA 0x1000 and file offset 0x200.
inline Bytes imageWith(const ResourceSection& resources) {
    const Bytes section = resources.layout(0x1000).head;
    const std::size_t rawSize = (section.size() + 0x1FF) & ~std::size_t{0x1FF};
    Bytes image(0x200 + rawSize, 0);
    put(image, 0, 0x5A4D, 2);
    put(image, 0x3C, 0x40, 4);
    put(image, 0x40, 0x00004550, 4);
    const std::size_t file = 0x44;
    put(image, file + 0, 0x8664, 2);
    put(image, file + 2, 1, 2);
    put(image, file + 16, 240, 2);
    put(image, file + 18, 0x22, 2);
    const std::size_t optional = file + 20;
    put(image, optional + 0, 0x20B, 2);
    put(image, optional + 32, 0x1000, 4);
    put(image, optional + 36, 0x200, 4);
    put(image, optional + 56, 0x1000 + ((section.size() + 0xFFF) & ~std::size_t{0xFFF}), 4);
    put(image, optional + 60, 0x200, 4);
    put(image, optional + 108, 16, 4);
    put(image, optional + 112 + 2 * 8, 0x1000, 4);
    put(image, optional + 112 + 2 * 8 + 4, section.size(), 4);
    const std::size_t header = optional + 240;
    std::copy_n(".rsrc", 5, image.begin() + static_cast<std::ptrdiff_t>(header));
    put(image, header + 8, section.size(), 4);
    put(image, header + 12, 0x1000, 4);
    put(image, header + 16, rawSize, 4);
    put(image, header + 20, 0x200, 4);
    put(image, header + 36, 0x40000040, 4);
    std::copy(section.begin(), section.end(), image.begin() + 0x200);
    return image;
}

}  // namespace minimal_image
