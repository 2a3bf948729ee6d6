// SHA-256 of a byte stream fed in pieces of any size: the digest deployment tools compare a
// download with (winget's InstallerSha256, sha256sum). The hashing itself is the platform's
// (Sha256Win.cpp: Windows' CNG through bcrypt.dll, bound at run time).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "tstrings.h"

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    // Throws a located error when the platform cannot hash.
    Sha256();
    ~Sha256();
    Sha256(Sha256&& other) noexcept;
    Sha256& operator=(Sha256&& other) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    Sha256& update(const void* data, std::size_t size);
    // The digest of everything fed; afterwards the object takes nothing more.
    Sha256Digest finish();

private:
    struct Native;
    std::unique_ptr<Native> native_;
};

// The 64 lower-case hex digits sha256sum and winget write.
tstring toHex(const Sha256Digest& digest);
