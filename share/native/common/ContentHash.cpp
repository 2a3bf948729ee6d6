#include "ContentHash.h"

#include <cstring>

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;
constexpr std::size_t kStripe = 32;

std::uint64_t rotateLeft(std::uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

std::uint64_t read64(const unsigned char* bytes) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof(value));  // little-endian, as on every Windows machine
    return value;
}

std::uint32_t read32(const unsigned char* bytes) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

std::uint64_t round(std::uint64_t lane, std::uint64_t input) {
    lane += input * kPrime2;
    return rotateLeft(lane, 31) * kPrime1;
}

std::uint64_t mergeLane(std::uint64_t hash, std::uint64_t lane) {
    hash ^= round(0, lane);
    return hash * kPrime1 + kPrime4;
}

}  // namespace

ContentHash::ContentHash() : lanes_{kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1}, pending_{} {}

void ContentHash::consumeStripe(const unsigned char* stripe) {
    for (int lane = 0; lane < 4; ++lane) {
        lanes_[lane] = round(lanes_[lane], read64(stripe + 8 * lane));
    }
}

ContentHash& ContentHash::update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    totalSize_ += size;
    if (pendingSize_ > 0) {
        const std::size_t taken = size < kStripe - pendingSize_ ? size : kStripe - pendingSize_;
        std::memcpy(pending_ + pendingSize_, bytes, taken);
        pendingSize_ += taken;
        bytes += taken;
        size -= taken;
        if (pendingSize_ < kStripe) {
            return *this;
        }
        consumeStripe(pending_);
        pendingSize_ = 0;
    }
    for (; size >= kStripe; bytes += kStripe, size -= kStripe) {
        consumeStripe(bytes);
    }
    std::memcpy(pending_, bytes, size);
    pendingSize_ = size;
    return *this;
}

std::uint64_t ContentHash::digest() const {
    std::uint64_t hash = 0;
    if (totalSize_ >= kStripe) {
        hash =
            rotateLeft(lanes_[0], 1) + rotateLeft(lanes_[1], 7) + rotateLeft(lanes_[2], 12) + rotateLeft(lanes_[3], 18);
        for (const std::uint64_t lane : lanes_) {
            hash = mergeLane(hash, lane);
        }
    } else {
        hash = kPrime5;
    }
    hash += totalSize_;

    const unsigned char* rest = pending_;
    std::size_t size = pendingSize_;
    for (; size >= 8; rest += 8, size -= 8) {
        hash ^= round(0, read64(rest));
        hash = rotateLeft(hash, 27) * kPrime1 + kPrime4;
    }
    if (size >= 4) {
        hash ^= static_cast<std::uint64_t>(read32(rest)) * kPrime1;
        hash = rotateLeft(hash, 23) * kPrime2 + kPrime3;
        rest += 4;
        size -= 4;
    }
    for (; size > 0; ++rest, --size) {
        hash ^= *rest * kPrime5;
        hash = rotateLeft(hash, 11) * kPrime1;
    }
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    hash ^= hash >> 32;
    return hash;
}
