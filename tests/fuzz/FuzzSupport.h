// What the fuzz targets share: bytes in memory read as lodestar-pack reads a file, records sealed
// as their writers seal them (so that the fuzzer's changes reach the reader behind the seal), and
// bytes taken as UTF-16 text, the form the names and codes come in.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ByteSource.h"
#include "ContentHash.h"
#include "tstrings.h"

class MemorySource : public ByteSource {
public:
    MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    const tstring& path() const override { return path_; }
    std::uint64_t size() const override { return size_; }
    std::size_t read(void* buffer, std::size_t size) override {
        const std::size_t count = position_ >= size_ ? 0 : std::min(size, static_cast<std::size_t>(size_ - position_));
        if (count != 0) {
            std::memcpy(buffer, data_ + position_, count);
        }
        position_ += count;
        return count;
    }
    void seek(std::uint64_t offset) override { position_ = offset; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::uint64_t position_ = 0;
    tstring path_ = L"fuzzed.exe";
};

// `body` followed by its 64-bit ContentHash, as the index and the facts end.
inline std::vector<std::uint8_t> sealed(const std::uint8_t* body, std::size_t size) {
    std::vector<std::uint8_t> bytes(body, body + size);
    std::uint64_t seal = ContentHash().update(body, size).digest();
    for (int i = 0; i < 8; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(seal >> (8 * i)));
    }
    return bytes;
}

// The bytes as UTF-16 units, little-endian (an odd last byte is left out).
inline tstring utf16Text(const std::uint8_t* data, std::size_t size) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
    return tstrings::fromUtf16(units);
}
