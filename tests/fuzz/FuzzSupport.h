// What the fuzz targets share: bytes in memory read as lodestar-pack reads a file (MemorySource), records sealed
// as their writers seal them (so that the fuzzer's changes reach the reader behind the seal), and
// bytes taken as UTF-16 text, the form the names and codes come in.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "MemorySource.h"
#include "ContentHash.h"
#include "tstrings.h"

// `body` followed by its 64-bit ContentHash, as the index and the facts end.
inline std::vector<std::uint8_t> sealed(const std::uint8_t* body, std::size_t size) {
    std::vector<std::uint8_t> bytes(body, body + size);
    std::uint64_t seal = ContentHash().update(body, size).digest();
    for (int i = 0; i < 8; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(seal >> (8 * i)));
    }
    return bytes;
}

// Reads the input sealed with `read`: a refusal (any exception) is the expected end of most inputs.
template <typename Read>
int readSealed(const std::uint8_t* data, std::size_t size, Read read) {
    const std::vector<std::uint8_t> bytes = sealed(data, size);
    try {
        read(bytes.data(), bytes.size());
    } catch (const std::exception&) {
    }
    return 0;
}

// The bytes as UTF-16 units, little-endian (an odd last byte is left out).
inline tstring utf16Text(const std::uint8_t* data, std::size_t size) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
    return tstrings::fromUtf16(units);
}
