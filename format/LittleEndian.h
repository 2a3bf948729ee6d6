// Little-endian fields of the formats a launcher carries (its payload index, its facts), written
// and read the same way on every platform, whatever the host's byte order and wide characters,
// and sealed by a trailing hash of everything before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ContentHash.h"
#include "ErrorHandling.h"
#include "tstrings.h"

class LittleEndianWriter {
public:
    explicit LittleEndianWriter(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    void put16(std::uint16_t value) { put(value, 2); }
    void put32(std::uint32_t value) { put(value, 4); }
    void put64(std::uint64_t value) { put(value, 8); }
    void putUnits(const std::u16string& text) {
        for (const char16_t unit : text) {
            put16(static_cast<std::uint16_t>(unit));
        }
    }

private:
    void put(std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    std::vector<std::uint8_t>& bytes_;
};

// Reads fields in order; a read past the end raises `Error(cutShort)` (located): the bytes are
// never trusted to be as long as they say.
template <typename Error>
class LittleEndianReader {
public:
    LittleEndianReader(const std::uint8_t* data, std::size_t size, const char* cutShort)
        : data_(data), size_(size), cutShort_(cutShort) {}
    std::uint16_t get16() { return static_cast<std::uint16_t>(get(2)); }
    std::uint32_t get32() { return static_cast<std::uint32_t>(get(4)); }
    std::uint64_t get64() { return get(8); }
    // `units` UTF-16 units; the count is checked against what is left before anything is allocated.
    tstring getText(std::size_t units) {
        if ((size_ - position_) / 2 < units) {
            LD_THROW(Error(cutShort_));
        }
        std::u16string text(units, u'\0');
        for (char16_t& unit : text) {
            unit = static_cast<char16_t>(get16());
        }
        return tstrings::fromUtf16(text);
    }
    bool atEnd() const { return position_ == size_; }

private:
    std::uint64_t get(int bytes) {
        if (size_ - position_ < static_cast<std::size_t>(bytes)) {
            LD_THROW(Error(cutShort_));
        }
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= static_cast<std::uint64_t>(data_[position_++]) << (8 * i);
        }
        return value;
    }
    const std::uint8_t* data_;
    std::size_t size_;
    const char* cutShort_;
    std::size_t position_ = 0;
};

constexpr std::size_t kSealSize = 8;

// Appends the seal: the 64-bit content hash of every byte written so far.
inline void appendSeal(std::vector<std::uint8_t>& bytes) {
    const std::uint64_t seal = ContentHash().update(bytes.data(), bytes.size()).digest();
    LittleEndianWriter(bytes).put64(seal);
}

// A reader over the sealed record's body once its seal holds; `Error(mismatch)` when it does not.
// The seal is checked first, so nothing of a damaged record is read, not even its counts.
template <typename Error>
LittleEndianReader<Error> openSealed(const void* data, std::size_t size, std::size_t smallestBody, const char* cutShort,
                                     const char* mismatch) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (size < smallestBody + kSealSize) {
        LD_THROW(Error(cutShort));
    }
    const std::size_t body = size - kSealSize;
    if (LittleEndianReader<Error>(bytes + body, kSealSize, cutShort).get64() !=
        ContentHash().update(bytes, body).digest()) {
        LD_THROW(Error(mismatch));
    }
    return LittleEndianReader<Error>(bytes, body, cutShort);
}
