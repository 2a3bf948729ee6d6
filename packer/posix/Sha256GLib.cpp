// SHA-256 in the native Linux build: GLib's checksums (GLib comes with libmsi).
#include <glib.h>

#include <algorithm>

#include "ErrorHandling.h"
#include "Sha256.h"

struct Sha256::Native {
    ~Native() {
        if (checksum != nullptr) {
            g_checksum_free(checksum);
        }
    }
    GChecksum* checksum = g_checksum_new(G_CHECKSUM_SHA256);
};

Sha256::Sha256() : native_(std::make_unique<Native>()) {
    if (native_->checksum == nullptr) {
        LD_THROW("g_checksum_new(SHA256) failed");
    }
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&& other) noexcept = default;
Sha256& Sha256::operator=(Sha256&& other) noexcept = default;

Sha256& Sha256::update(const void* data, std::size_t size) {
    const auto* next = static_cast<const guchar*>(data);
    while (size > 0) {
        const auto chunk = std::min<std::size_t>(size, std::size_t{1} << 30);
        g_checksum_update(native_->checksum, next, static_cast<gssize>(chunk));
        next += chunk;
        size -= chunk;
    }
    return *this;
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest{};
    gsize length = digest.size();
    g_checksum_get_digest(native_->checksum, digest.data(), &length);
    if (length != digest.size()) {
        LD_THROW("g_checksum_get_digest(SHA256) gave no 32 bytes");
    }
    return digest;
}
