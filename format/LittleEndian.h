// Little-endian fields, written and read the same way on every platform, whatever the host's
// byte order and wide characters: the launcher's records (its payload index, its facts) and the
// parts of the PE format lodestar-pack reads and writes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ErrorHandling.h"
#include "tstrings.h"

namespace littleEndian {

// The `Bytes`-byte field at `at`, which the caller knows to hold it.
template <std::size_t Bytes>
std::uint64_t read(const std::uint8_t* at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < Bytes; ++i) {
        value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
    }
    return value;
}

inline std::uint16_t read16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(read<2>(at));
}
inline std::uint32_t read32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(read<4>(at));
}

}  // namespace littleEndian

// Writes fields in order into a buffer: appended at its end, or from an offset on, over what is
// there and past the end, the buffer growing (with zeros) as needed.
class LittleEndianWriter {
public:
    explicit LittleEndianWriter(std::vector<std::uint8_t>& bytes) : LittleEndianWriter(bytes, bytes.size()) {}
    LittleEndianWriter(std::vector<std::uint8_t>& bytes, std::size_t offset) : bytes_(bytes), position_(offset) {}

    LittleEndianWriter& put16(std::uint16_t value) { return put(value, 2); }
    LittleEndianWriter& put32(std::uint32_t value) { return put(value, 4); }
    LittleEndianWriter& put64(std::uint64_t value) { return put(value, 8); }
    LittleEndianWriter& putUnits(const std::u16string& text) {
        for (const char16_t unit : text) {
            put16(static_cast<std::uint16_t>(unit));
        }
        return *this;
    }
    LittleEndianWriter& putBytes(const void* data, std::size_t size) {
        if (bytes_.size() < position_ + size) {
            bytes_.resize(position_ + size);
        }
        const auto* first = static_cast<const std::uint8_t*>(data);
        std::copy(first, first + size, bytes_.begin() + static_cast<std::ptrdiff_t>(position_));
        position_ += size;
        return *this;
    }

private:
    LittleEndianWriter& put(std::uint64_t value, int bytes) {
        std::uint8_t field[8];
        for (int i = 0; i < bytes; ++i) {
            field[i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
        return putBytes(field, static_cast<std::size_t>(bytes));
    }

    std::vector<std::uint8_t>& bytes_;
    std::size_t position_;
};

// Reads fields in order; a read past the end raises `Error(cutShort)` (located): the bytes are
// never trusted to be as long as they say.
template <typename Error>
class LittleEndianReader {
public:
    LittleEndianReader(const std::uint8_t* data, std::size_t size, const char* cutShort)
        : data_(data), size_(size), cutShort_(cutShort) {}
    std::uint8_t get8() { return static_cast<std::uint8_t>(get<1>()); }
    std::uint16_t get16() { return static_cast<std::uint16_t>(get<2>()); }
    std::uint32_t get32() { return static_cast<std::uint32_t>(get<4>()); }
    std::uint64_t get64() { return get<8>(); }
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
    std::size_t position() const { return position_; }
    // Past `count` bytes the reader does not know the meaning of.
    void skip(std::uint64_t count) {
        if (count > size_ - position_) {
            LD_THROW(Error(cutShort_));
        }
        position_ += static_cast<std::size_t>(count);
    }

private:
    template <std::size_t Bytes>
    std::uint64_t get() {
        if (size_ - position_ < Bytes) {
            LD_THROW(Error(cutShort_));
        }
        const std::uint64_t value = littleEndian::read<Bytes>(data_ + position_);
        position_ += Bytes;
        return value;
    }
    const std::uint8_t* data_;
    std::size_t size_;
    const char* cutShort_;
    std::size_t position_ = 0;
};
