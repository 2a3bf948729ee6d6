#include "Sha256.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "WinApi.h"
#include "WinDll.h"

#include <bcrypt.h>
#include <immintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
// MSVC compiles any intrinsic as it is; GCC and clang (clang-cl too) only in a function that
// declares the instruction set.
#if defined(_MSC_VER) && !defined(__clang__)
#define LODESTAR_SHA_TARGET
#else
#define LODESTAR_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#endif

namespace bench {
namespace {

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline std::uint32_t rotateRight(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void compressPortable(std::uint32_t state[8], const std::uint8_t* block, std::size_t count) {
    for (; count > 0; --count, block += 64) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t) {
            w[t] = std::uint32_t{block[4 * t]} << 24 | std::uint32_t{block[4 * t + 1]} << 16 |
                   std::uint32_t{block[4 * t + 2]} << 8 | block[4 * t + 3];
        }
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 = rotateRight(w[t - 15], 7) ^ rotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = rotateRight(w[t - 2], 17) ^ rotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t t1 = h + (rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25)) +
                                     ((e & f) ^ (~e & g)) + kRound[t] + w[t];
            const std::uint32_t t2 =
                (rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a, state[1] += b, state[2] += c, state[3] += d;
        state[4] += e, state[5] += f, state[6] += g, state[7] += h;
    }
}

// The SHA extensions keep the state as ABEF and CDGH and do two rounds an instruction; the message
// schedule runs four words ahead in a ring of four vectors.
LODESTAR_SHA_TARGET void compressWithExtensions(std::uint32_t state[8], const std::uint8_t* block, std::size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    dcba = _mm_shuffle_epi32(dcba, 0xB1);              // CDAB
    hgfe = _mm_shuffle_epi32(hgfe, 0x1B);              // EFGH
    __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);     // ABEF
    __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);  // CDGH
    for (; count > 0; --count, block += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i words[4];
        for (int i = 0; i < 4; ++i) {
            words[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), byteSwap);
        }
        for (int group = 0; group < 16; ++group) {
            if (group >= 4) {
                // W[t] = W[t-16] + s0(W[t-15]) + W[t-7] + s1(W[t-2]), four at a time.
                const __m128i older = _mm_sha256msg1_epu32(words[group & 3], words[(group + 1) & 3]);
                const __m128i middle = _mm_alignr_epi8(words[(group + 3) & 3], words[(group + 2) & 3], 4);
                words[group & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(older, middle), words[(group + 3) & 3]);
            }
            __m128i scheduled =
                _mm_add_epi32(words[group & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, scheduled);
            scheduled = _mm_shuffle_epi32(scheduled, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, scheduled);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// The platform's provider, opened once for the process and never closed (the process ends with it);
// null when the system has none. bcrypt.dll is loaded from the system directory on first use, as
// the library loads every DLL but kernel32: no static import, no copy planted beside the program.
BCRYPT_ALG_HANDLE platformProvider() {
    static const BCRYPT_ALG_HANDLE provider = []() -> BCRYPT_ALG_HANDLE {
        BCRYPT_ALG_HANDLE opened = nullptr;
        try {
            const NTSTATUS status =
                LD_SYSTEM_FUNCTION(bcrypt, BCryptOpenAlgorithmProvider)(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
            return BCRYPT_SUCCESS(status) ? opened : nullptr;
        } catch (const std::exception&) {
            return nullptr;  // no bcrypt.dll, or no such export: the platform's way fails its self-test
        }
    }();
    return provider;
}

std::string hex(const Sha256Digest& digest) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

}  // namespace

Sha256::Sha256(Way way) : way_(way) {
    std::memcpy(state_, kInitial, sizeof(state_));
    if (way_ == Way::Platform) {
        BCRYPT_HASH_HANDLE hash = nullptr;
        if (platformProvider() != nullptr && BCRYPT_SUCCESS(LD_SYSTEM_FUNCTION(bcrypt, BCryptCreateHash)(
                                                 platformProvider(), &hash, nullptr, 0, nullptr, 0, 0))) {
            platformHash_ = hash;
        }
    }
}

Sha256::~Sha256() {
    if (platformHash_ != nullptr) {
        LD_SYSTEM_FUNCTION(bcrypt, BCryptDestroyHash)(platformHash_);
    }
}

bool Sha256::cpuHasExtensions() {
    // Leaf 1 ECX: SSSE3 (bit 9) and SSE4.1 (bit 19); leaf 7 EBX: SHA (bit 29), asked only of a
    // CPU that has leaf 7 (a higher leaf than the highest answers with the highest's data).
    constexpr unsigned kSsse3AndSse41 = (1u << 9) | (1u << 19);
#if defined(_MSC_VER)
    int leaf0[4] = {};
    int leaf1[4] = {};
    int leaf7[4] = {};
    __cpuid(leaf0, 0);
    if (leaf0[0] < 7) {
        return false;
    }
    __cpuid(leaf1, 1);
    __cpuidex(leaf7, 7, 0);
    return (static_cast<unsigned>(leaf1[2]) & kSsse3AndSse41) == kSsse3AndSse41 &&
           (static_cast<unsigned>(leaf7[1]) & (1u << 29)) != 0;
#else
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & kSsse3AndSse41) != kSsse3AndSse41) {
        return false;
    }
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29)) != 0;
#endif
}

void Sha256::compress(const std::uint8_t* blocks, std::size_t count) {
    if (way_ == Way::CpuExtensions) {
        compressWithExtensions(state_, blocks, count);
    } else {
        compressPortable(state_, blocks, count);
    }
}

void Sha256::update(const void* data, std::size_t size) {
    if (way_ == Way::Platform) {
        // CNG takes a ULONG a call.
        for (auto* at = static_cast<const std::uint8_t*>(data); size > 0;) {
            const auto piece = static_cast<ULONG>(size < 0x40000000 ? size : 0x40000000);
            // A failure drops the hash: finish() then gives a digest of nothing, never equal.
            if (platformHash_ != nullptr && !BCRYPT_SUCCESS(LD_SYSTEM_FUNCTION(bcrypt, BCryptHashData)(
                                                platformHash_, const_cast<PUCHAR>(at), piece, 0))) {
                LD_SYSTEM_FUNCTION(bcrypt, BCryptDestroyHash)(platformHash_);
                platformHash_ = nullptr;
            }
            at += piece;
            size -= piece;
        }
        return;
    }
    auto* at = static_cast<const std::uint8_t*>(data);
    total_ += size;
    if (pendingSize_ > 0) {
        const std::size_t taken = size < 64 - pendingSize_ ? size : 64 - pendingSize_;
        std::memcpy(pending_ + pendingSize_, at, taken);
        pendingSize_ += taken;
        at += taken;
        size -= taken;
        if (pendingSize_ < 64) {
            return;
        }
        compress(pending_, 1);
        pendingSize_ = 0;
    }
    compress(at, size / 64);
    std::memcpy(pending_, at + size / 64 * 64, size % 64);
    pendingSize_ = size % 64;
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest{};
    if (way_ == Way::Platform) {
        if (platformHash_ == nullptr || !BCRYPT_SUCCESS(LD_SYSTEM_FUNCTION(bcrypt, BCryptFinishHash)(
                                            platformHash_, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
            digest.fill(0);  // never a digest of anything: the comparison fails
        }
        return digest;
    }
    const std::uint64_t bits = total_ * 8;
    std::uint8_t tail[128] = {};
    std::memcpy(tail, pending_, pendingSize_);
    tail[pendingSize_] = 0x80;
    const std::size_t tailSize = pendingSize_ < 56 ? 64 : 128;
    for (std::size_t i = 0; i < 8; ++i) {
        tail[tailSize - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    compress(tail, tailSize / 64);
    for (std::size_t i = 0; i < 8; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
        }
    }
    return digest;
}

std::string Sha256::selfTest() {
    struct Known {
        std::string input;
        const char* digest;
    };
    const Known known[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the last block, the padding takes a second one.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    std::vector<Way> ways = {Way::Platform, Way::Portable};
    if (cpuHasExtensions()) {
        ways.push_back(Way::CpuExtensions);
    }
    // 1,000,003 bytes fed in pieces of 1, 63, 64, 65, ... so that every path through update runs.
    std::string odd(1000003, '\0');
    for (std::size_t i = 0; i < odd.size(); ++i) {
        odd[i] = static_cast<char>(i * 2654435761u >> 13);
    }
    std::string oddDigest;
    for (const Way way : ways) {
        const std::string name = way == Way::Platform ? "platform" : way == Way::Portable ? "portable" : "extensions";
        for (const Known& k : known) {
            Sha256 hash(way);
            hash.update(k.input.data(), k.input.size());
            const std::string got = hex(hash.finish());
            if (got != k.digest) {
                return name + ": expected " + k.digest + ", got " + got;
            }
        }
        Sha256 hash(way);
        const std::size_t pieces[] = {1, 63, 64, 65, 127, 4096, 100003};
        for (std::size_t at = 0, i = 0; at < odd.size(); ++i) {
            const std::size_t piece = std::min(pieces[i % 7], odd.size() - at);
            hash.update(odd.data() + at, piece);
            at += piece;
        }
        const std::string got = hex(hash.finish());
        if (oddDigest.empty()) {
            oddDigest = got;
        } else if (got != oddDigest) {
            return name + ": the odd buffer gave " + got + ", the platform's " + oddDigest;
        }
    }
    return std::string();
}

}  // namespace bench
