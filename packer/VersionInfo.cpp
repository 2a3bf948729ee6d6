#include "VersionInfo.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint16_t kBinary = 0;
constexpr std::uint16_t kText = 1;
constexpr const wchar_t* kEnglishUnicodeTable = L"040904B0";  // US English, code page 1200
constexpr std::uint32_t kEnglishUnicode = 0x04B00409;         // the same, as the Translation value

void append(std::vector<std::uint8_t>& bytes, const void* data, std::size_t size) {
    const std::size_t end = bytes.size();
    bytes.resize(end + size);
    std::memcpy(bytes.data() + end, data, size);
}

// Text as a Windows executable stores it: UTF-16 little-endian, with its terminator.
std::vector<std::uint8_t> utf16WithTerminator(const tstring& text) {
    std::vector<std::uint8_t> bytes;
    for (const char16_t unit : tstrings::toUtf16(text) + u'\0') {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

void put32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void padTo32Bits(std::vector<std::uint8_t>& bytes) {
    bytes.resize((bytes.size() + 3) / 4 * 4);
}

// One block of the version resource: length, value length, type, key, value, children, each
// child starting on a 32-bit boundary. The length counts everything but trailing padding.
std::vector<std::uint8_t> block(const tstring& key, std::uint16_t type, const void* value, std::size_t valueBytes,
                                std::uint16_t valueLength, const std::vector<std::vector<std::uint8_t>>& children) {
    std::vector<std::uint8_t> bytes(6);
    const std::vector<std::uint8_t> keyText = utf16WithTerminator(key);
    append(bytes, keyText.data(), keyText.size());
    if (valueBytes > 0) {
        padTo32Bits(bytes);
        append(bytes, value, valueBytes);
    }
    for (const auto& child : children) {
        padTo32Bits(bytes);
        append(bytes, child.data(), child.size());
    }
    const auto length = static_cast<std::uint16_t>(bytes.size());
    for (const auto& [at, field] : {std::pair{0, length}, std::pair{2, valueLength}, std::pair{4, type}}) {
        bytes[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(field & 0xFF);
        bytes[static_cast<std::size_t>(at) + 1] = static_cast<std::uint8_t>(field >> 8);
    }
    return bytes;
}

std::vector<std::uint8_t> stringBlock(const tstring& key, const tstring& value) {
    // The value length of a string counts UTF-16 units, terminator included.
    const std::vector<std::uint8_t> text = utf16WithTerminator(value);
    return block(key, kText, text.data(), text.size(), static_cast<std::uint16_t>(text.size() / 2), {});
}

}  // namespace

VersionNumber parseVersion(const tstring& version) {
    VersionNumber number;
    size_t part = 0;
    unsigned long value = 0;
    for (size_t i = 0; part < 4; ++i) {
        const wchar_t c = i < version.size() ? version[i] : L'\0';
        if (c >= L'0' && c <= L'9') {
            value = std::min<unsigned long>(value * 10 + static_cast<unsigned long>(c - L'0'), 65536);
            continue;
        }
        number.parts[part++] = static_cast<std::uint16_t>(value <= 65535 ? value : 0);
        value = 0;
        if (c != L'.') {
            break;  // the end, or text that is no longer a version
        }
    }
    return number;
}

std::vector<std::uint8_t> buildVersionInfo(const tstring& version, const VersionStrings& strings) {
    const VersionNumber number = parseVersion(version);
    // VS_FIXEDFILEINFO: signature, structure version, file and product versions, the flags mask
    // and flags, VOS_NT_WINDOWS32, VFT_APP, no subtype, no date.
    const std::uint32_t versionMs = static_cast<std::uint32_t>(number.parts[0]) << 16 | number.parts[1];
    const std::uint32_t versionLs = static_cast<std::uint32_t>(number.parts[2]) << 16 | number.parts[3];
    std::vector<std::uint8_t> fixed;
    for (const std::uint32_t field :
         {0xFEEF04BDu, 0x00010000u, versionMs, versionLs, versionMs, versionLs, 0x3Fu, 0u, 0x00040004u, 1u, 0u, 0u, 0u}) {
        put32(fixed, field);
    }

    std::vector<std::vector<std::uint8_t>> texts;
    for (const auto& [key, value] : strings) {
        if (!value.empty()) {
            texts.push_back(stringBlock(key, value));
        }
    }
    const auto table = block(kEnglishUnicodeTable, kText, nullptr, 0, 0, texts);
    const auto stringInfo = block(L"StringFileInfo", kText, nullptr, 0, 0, {table});
    std::vector<std::uint8_t> translationValue;
    put32(translationValue, kEnglishUnicode);
    const auto translation =
        block(L"Translation", kBinary, translationValue.data(), translationValue.size(), 4, {});
    const auto varInfo = block(L"VarFileInfo", kText, nullptr, 0, 0, {translation});
    return block(L"VS_VERSION_INFO", kBinary, fixed.data(), fixed.size(), static_cast<std::uint16_t>(fixed.size()),
                 {stringInfo, varInfo});
}
