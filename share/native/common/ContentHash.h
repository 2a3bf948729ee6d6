// A fast 64-bit hash of a byte stream (the XXH64 algorithm), fed in pieces of any size: it tells
// whether bytes written somewhere came back unchanged. Not meant to resist a forger.
#pragma once

#include <cstddef>
#include <cstdint>

class ContentHash {
public:
    ContentHash();

    ContentHash& update(const void* data, std::size_t size);
    // update(data, size), and whether those bytes are exactly the `size` bytes at `expected`: a
    // comparison of every byte, not of hashes, done in the same pass while the bytes are at hand.
    bool updateComparing(const void* data, const void* expected, std::size_t size);
    std::uint64_t digest() const;

private:
    std::uint64_t lanes_[4];
    unsigned char pending_[32];
    std::size_t pendingSize_ = 0;
    std::uint64_t totalSize_ = 0;
};
