#include "ContentHash.h"

#include <algorithm>
#include <cstring>

#if !defined(__GNUC__) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

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

// How far ahead of the comparison the compared bytes are asked for: they come from memory, not
// the cache, and the processor's own prefetching alone leaves the loop waiting for them.
constexpr std::size_t kPrefetchDistance = 4096;

inline void prefetch(const std::uint8_t* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#elif defined(_M_X64) || defined(_M_IX86)
    _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0);
#else
    (void)address;
#endif
}

// The whole stripes of `bytes` into `lanes`; with `expected`, also the bits in which they differ
// from the bytes there (0 when every byte is the same). The lanes stay in locals through the loop:
// stored back each stripe, they would be reloaded for every stripe, as the bytes may alias them.
template <bool kCompare>
std::uint64_t consumeStripes(std::uint64_t (&lanes)[4], const unsigned char* bytes, const unsigned char* expected,
                             std::size_t stripes) {
    std::uint64_t lane0 = lanes[0];
    std::uint64_t lane1 = lanes[1];
    std::uint64_t lane2 = lanes[2];
    std::uint64_t lane3 = lanes[3];
    std::uint64_t difference = 0;
    const auto consume = [&](const unsigned char* stripe, const unsigned char* other) {
        const std::uint64_t word0 = read64(stripe);
        const std::uint64_t word1 = read64(stripe + 8);
        const std::uint64_t word2 = read64(stripe + 16);
        const std::uint64_t word3 = read64(stripe + 24);
        if constexpr (kCompare) {
            difference |= (word0 ^ read64(other)) | (word1 ^ read64(other + 8)) | (word2 ^ read64(other + 16)) |
                          (word3 ^ read64(other + 24));
        }
        lane0 = round(lane0, word0);
        lane1 = round(lane1, word1);
        lane2 = round(lane2, word2);
        lane3 = round(lane3, word3);
    };
    if constexpr (kCompare) {
        // Two stripes, one cache line, a turn, the compared bytes asked for well ahead.
        for (; stripes >= 2; stripes -= 2, bytes += 2 * kStripe, expected += 2 * kStripe) {
            prefetch(expected + kPrefetchDistance);
            consume(bytes, expected);
            consume(bytes + kStripe, expected + kStripe);
        }
    }
    for (; stripes > 0; --stripes, bytes += kStripe, expected += kCompare ? kStripe : 0) {
        consume(bytes, expected);
    }
    lanes[0] = lane0;
    lanes[1] = lane1;
    lanes[2] = lane2;
    lanes[3] = lane3;
    return difference;
}

}  // namespace

ContentHash::ContentHash() : lanes_{kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1}, pending_{} {}

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
        consumeStripes<false>(lanes_, pending_, nullptr, 1);
        pendingSize_ = 0;
    }
    consumeStripes<false>(lanes_, bytes, nullptr, size / kStripe);
    bytes += size - size % kStripe;
    size %= kStripe;
    std::memcpy(pending_, bytes, size);
    pendingSize_ = size;
    return *this;
}

bool ContentHash::updateComparing(const void* data, const void* expected, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    const auto* other = static_cast<const unsigned char*>(expected);
    bool same = true;
    // Up to the next whole stripe, and the rest after the last one, as update() takes them.
    const std::size_t head = pendingSize_ > 0 ? std::min(size, kStripe - pendingSize_) : 0;
    if (head > 0) {
        same = std::memcmp(bytes, other, head) == 0;
        update(bytes, head);
        bytes += head;
        other += head;
        size -= head;
    }
    const std::size_t whole = size - size % kStripe;
    same = consumeStripes<true>(lanes_, bytes, other, whole / kStripe) == 0 && same;
    totalSize_ += whole;
    const std::size_t tail = size - whole;
    same = std::memcmp(bytes + whole, other + whole, tail) == 0 && same;
    update(bytes + whole, tail);
    return same;
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
