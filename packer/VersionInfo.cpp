#include "VersionInfo.h"

#include <algorithm>
#include <cstring>

#include "WinApi.h"

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

void padTo32Bits(std::vector<std::uint8_t>& bytes) {
    bytes.resize((bytes.size() + 3) / 4 * 4);
}

// One block of the version resource: length, value length, type, key, value, children, each
// child starting on a 32-bit boundary. The length counts everything but trailing padding.
std::vector<std::uint8_t> block(const tstring& key, std::uint16_t type, const void* value, std::size_t valueBytes,
                                std::uint16_t valueLength, const std::vector<std::vector<std::uint8_t>>& children) {
    std::vector<std::uint8_t> bytes(6);
    append(bytes, key.c_str(), 2 * (key.size() + 1));
    if (valueBytes > 0) {
        padTo32Bits(bytes);
        append(bytes, value, valueBytes);
    }
    for (const auto& child : children) {
        padTo32Bits(bytes);
        append(bytes, child.data(), child.size());
    }
    const auto length = static_cast<std::uint16_t>(bytes.size());
    std::memcpy(bytes.data(), &length, 2);
    std::memcpy(bytes.data() + 2, &valueLength, 2);
    std::memcpy(bytes.data() + 4, &type, 2);
    return bytes;
}

std::vector<std::uint8_t> stringBlock(const tstring& key, const tstring& value) {
    // The value length of a string counts UTF-16 units, terminator included.
    return block(key, kText, value.c_str(), 2 * (value.size() + 1), static_cast<std::uint16_t>(value.size() + 1), {});
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
    VS_FIXEDFILEINFO fixed{};
    fixed.dwSignature = VS_FFI_SIGNATURE;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    fixed.dwFileVersionMS = static_cast<DWORD>(number.parts[0]) << 16 | number.parts[1];
    fixed.dwFileVersionLS = static_cast<DWORD>(number.parts[2]) << 16 | number.parts[3];
    fixed.dwProductVersionMS = fixed.dwFileVersionMS;
    fixed.dwProductVersionLS = fixed.dwFileVersionLS;
    fixed.dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
    fixed.dwFileOS = VOS_NT_WINDOWS32;
    fixed.dwFileType = VFT_APP;

    std::vector<std::vector<std::uint8_t>> texts;
    for (const auto& [key, value] : strings) {
        if (!value.empty()) {
            texts.push_back(stringBlock(key, value));
        }
    }
    const auto table = block(kEnglishUnicodeTable, kText, nullptr, 0, 0, texts);
    const auto stringInfo = block(L"StringFileInfo", kText, nullptr, 0, 0, {table});
    const auto translation =
        block(L"Translation", kBinary, &kEnglishUnicode, sizeof(kEnglishUnicode), sizeof(kEnglishUnicode), {});
    const auto varInfo = block(L"VarFileInfo", kText, nullptr, 0, 0, {translation});
    return block(L"VS_VERSION_INFO", kBinary, &fixed, sizeof(fixed), sizeof(fixed), {stringInfo, varInfo});
}
