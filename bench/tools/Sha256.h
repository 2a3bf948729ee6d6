// SHA-256 three ways, for the benchmark's question whether a launcher could check what it writes
// against a digest instead of its own mapped bytes: the platform's (CNG, BCryptHash), one with the
// CPU's SHA extensions, and a portable one for CPUs without them. Each is checked against the
// others and a known answer before anything is timed (bench::Sha256::selfTest).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    enum class Way { Platform, CpuExtensions, Portable };

    explicit Sha256(Way way);
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    // The digest of everything given to update(); once, after which the object is spent.
    Sha256Digest finish();

    // Whether this CPU has the SHA extensions (CPUID leaf 7, EBX bit 29) and SSE4.1.
    static bool cpuHasExtensions();
    // Empty when every way available gives the known digests of "abc", of 56 bytes (whose padding
    // takes a block of its own) and of a million "a"s, and
    // the same digest for one odd-sized buffer fed in odd pieces; else what went wrong.
    static std::string selfTest();

private:
    void compress(const std::uint8_t* blocks, std::size_t count);

    Way way_;
    void* platformHash_ = nullptr;  // BCRYPT_HASH_HANDLE, owned
    std::uint32_t state_[8];
    std::uint8_t pending_[64];
    std::size_t pendingSize_ = 0;
    std::uint64_t total_ = 0;
};

}  // namespace bench
