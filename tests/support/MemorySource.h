// Bytes in memory, read as lodestar-pack reads a file: for the fuzz targets and the programs that
// count the readers' work.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "ByteSource.h"

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
