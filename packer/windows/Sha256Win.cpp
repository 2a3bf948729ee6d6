#include "Sha256.h"

#include <algorithm>
#include <stdexcept>

#include "ErrorHandling.h"
#include "UniqueResource.h"
#include "WinApi.h"
#include "WinDll.h"

#include <bcrypt.h>

namespace {

tstring hexStatus(unsigned long status) {
    tstring digits;
    for (int shift = 28; shift >= 0; shift -= 4) {
        digits += L"0123456789ABCDEF"[(status >> shift) & 0xF];
    }
    return digits;
}

// A failed CNG call. Its status is an NTSTATUS, which the system's table of Win32 messages does
// not describe: the message carries the number.
class CngError : public std::runtime_error {
public:
    CngError(const tstrings::MessageBuilder& message, NTSTATUS status)
        : std::runtime_error((tstrings::MessageBuilder(message.tstr())
                              << " with status 0x" << hexStatus(static_cast<unsigned long>(status)))
                                 .str()) {}
};

struct AlgorithmTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static constexpr const char* kRelease = "BCryptCloseAlgorithmProvider";
    static Type empty() noexcept { return nullptr; }
    static bool isValid(Type value) noexcept { return value != nullptr; }
    static bool release(Type value) noexcept {
        return LD_SYSTEM_FUNCTION(bcrypt, BCryptCloseAlgorithmProvider)(value, 0) == 0;
    }
};

struct HashTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static constexpr const char* kRelease = "BCryptDestroyHash";
    static Type empty() noexcept { return nullptr; }
    static bool isValid(Type value) noexcept { return value != nullptr; }
    static bool release(Type value) noexcept { return LD_SYSTEM_FUNCTION(bcrypt, BCryptDestroyHash)(value) == 0; }
};

// Opened once, on first use, and kept for the life of the process: opening a provider is costly,
// and every hash of the run comes from the one.
BCRYPT_ALG_HANDLE sha256Provider() {
    static const UniqueResource<AlgorithmTraits> provider = [] {
        UniqueResource<AlgorithmTraits> opened;
        LD_THROW_IF_ERROR_CODE(LD_SYSTEM_FUNCTION(bcrypt, BCryptOpenAlgorithmProvider)(
                                   opened.receive(), BCRYPT_SHA256_ALGORITHM, nullptr, 0),
                               CngError, "BCryptOpenAlgorithmProvider(SHA256) failed");
        return opened;
    }();
    return provider.get();
}

}  // namespace

struct Sha256::Native {
    UniqueResource<HashTraits> hash;
};

Sha256::Sha256() : native_(std::make_unique<Native>()) {
    LD_THROW_IF_ERROR_CODE(LD_SYSTEM_FUNCTION(bcrypt, BCryptCreateHash)(sha256Provider(), native_->hash.receive(),
                                                                        nullptr, 0, nullptr, 0, 0),
                           CngError, "BCryptCreateHash(SHA256) failed");
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&& other) noexcept = default;
Sha256& Sha256::operator=(Sha256&& other) noexcept = default;

Sha256& Sha256::update(const void* data, std::size_t size) {
    // CNG takes a pointer to changeable bytes but only reads them.
    auto* next = static_cast<PUCHAR>(const_cast<void*>(data));
    while (size > 0) {
        const auto chunk = static_cast<ULONG>(std::min<std::size_t>(size, std::size_t{1} << 30));
        LD_THROW_IF_ERROR_CODE(LD_SYSTEM_FUNCTION(bcrypt, BCryptHashData)(native_->hash.get(), next, chunk, 0),
                               CngError, "BCryptHashData failed");
        next += chunk;
        size -= chunk;
    }
    return *this;
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest{};
    LD_THROW_IF_ERROR_CODE(LD_SYSTEM_FUNCTION(bcrypt, BCryptFinishHash)(native_->hash.get(), digest.data(),
                                                                        static_cast<ULONG>(digest.size()), 0),
                           CngError, "BCryptFinishHash failed");
    native_->hash.reset();
    return digest;
}
