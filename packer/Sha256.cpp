#include "Sha256.h"

tstring toHex(const Sha256Digest& digest) {
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    tstring text;
    text.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}
