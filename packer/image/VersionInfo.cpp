#include "VersionInfo.h"

#include <algorithm>
#include <optional>

#include "LittleEndian.h"

namespace {

constexpr std::uint16_t kBinary = 0;
constexpr std::uint16_t kText = 1;
constexpr const wchar_t* kEnglishUnicodeTable = L"040904B0";  // US English, code page 1200
constexpr std::uint32_t kEnglishUnicode = 0x04B00409;         // the same, as the Translation value
constexpr const wchar_t* kRootKey = L"VS_VERSION_INFO";
constexpr const wchar_t* kStringsKey = L"StringFileInfo";
constexpr std::size_t kBlockHeaderSize = 6;  // length, value length, type

constexpr std::size_t kFixedInfoSize = 52;                 // VS_FIXEDFILEINFO
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;  // VS_FFI_SIGNATURE
constexpr std::uint32_t kFixedInfoVersion = 0x00010000;    // VS_FFI_STRUCVERSION
constexpr std::uint32_t kAllFlags = 0x3F;                  // VS_FFI_FILEFLAGSMASK
constexpr std::uint32_t kWindowsNt = 0x00040004;           // VOS_NT_WINDOWS32
constexpr std::uint32_t kApplication = 1;                  // VFT_APP

std::size_t alignTo32Bits(std::size_t offset) {
    return (offset + 3) / 4 * 4;
}

// The text as UTF-16 units with its terminator, as every key and string value is stored.
std::vector<std::uint8_t> terminatedUtf16(const tstring& text) {
    std::vector<std::uint8_t> bytes;
    LittleEndianWriter(bytes).putUnits(tstrings::toUtf16(text)).put16(0);
    return bytes;
}

// One block of the version resource: length, value length, type, key, value, children, each
// child starting on a 32-bit boundary. The length counts everything but trailing padding.
std::vector<std::uint8_t> block(const tstring& key, std::uint16_t type, const std::vector<std::uint8_t>& value,
                                std::uint16_t valueLength, const std::vector<std::vector<std::uint8_t>>& children) {
    std::vector<std::uint8_t> bytes(kBlockHeaderSize);
    LittleEndianWriter(bytes).putUnits(tstrings::toUtf16(key)).put16(0);
    if (!value.empty()) {
        bytes.resize(alignTo32Bits(bytes.size()));
        LittleEndianWriter(bytes).putBytes(value.data(), value.size());
    }
    for (const auto& child : children) {
        bytes.resize(alignTo32Bits(bytes.size()));
        LittleEndianWriter(bytes).putBytes(child.data(), child.size());
    }
    LittleEndianWriter(bytes, 0).put16(static_cast<std::uint16_t>(bytes.size())).put16(valueLength).put16(type);
    return bytes;
}

std::vector<std::uint8_t> stringBlock(const tstring& key, const tstring& value) {
    // The value length of a string counts UTF-16 units, terminator included.
    const std::vector<std::uint8_t> text = terminatedUtf16(value);
    return block(key, kText, text, static_cast<std::uint16_t>(text.size() / 2), {});
}

// VS_FIXEDFILEINFO: thirteen 32-bit fields, those not written here 0.
std::vector<std::uint8_t> fixedInfo(const VersionNumber& number) {
    const auto high = [](std::uint16_t a, std::uint16_t b) { return static_cast<std::uint32_t>(a) << 16 | b; };
    const std::uint32_t versionHigh = high(number.parts[0], number.parts[1]);
    const std::uint32_t versionLow = high(number.parts[2], number.parts[3]);
    std::vector<std::uint8_t> fixed;
    LittleEndianWriter(fixed)
        .put32(kFixedInfoSignature)
        .put32(kFixedInfoVersion)
        .put32(versionHigh)  // the file's version
        .put32(versionLow)
        .put32(versionHigh)  // the product's version
        .put32(versionLow)
        .put32(kAllFlags)  // the flags that are valid
        .put32(0)          // the flags: none
        .put32(kWindowsNt)
        .put32(kApplication)
        .put32(0)   // subtype
        .put32(0)   // date, high
        .put32(0);  // date, low
    return fixed;
}

// A block as read: where its key, value and children lie within the resource.
struct Block {
    tstring key;
    std::uint16_t valueLength = 0;
    std::uint16_t type = 0;
    std::size_t valueStart = 0;
    std::size_t end = 0;
};

// The block at `offset`, which must end by `limit`; none when its header or key runs past it.
std::optional<Block> blockAt(const std::uint8_t* data, std::size_t offset, std::size_t limit) {
    if (offset > limit || limit - offset < kBlockHeaderSize) {
        return std::nullopt;
    }
    const std::size_t length = littleEndian::read16(data + offset);
    if (length < kBlockHeaderSize || length > limit - offset) {
        return std::nullopt;
    }
    Block found;
    found.valueLength = littleEndian::read16(data + offset + 2);
    found.type = littleEndian::read16(data + offset + 4);
    found.end = offset + length;
    std::u16string key;
    std::size_t at = offset + kBlockHeaderSize;
    for (; at + 2 <= found.end && littleEndian::read16(data + at) != 0; at += 2) {
        key += static_cast<char16_t>(littleEndian::read16(data + at));
    }
    if (at + 2 > found.end) {
        return std::nullopt;  // no terminator
    }
    found.key = tstrings::fromUtf16(key);
    found.valueStart = std::min(alignTo32Bits(at + 2), found.end);
    return found;
}

// The children of `parent`, which start after its value.
std::vector<Block> childrenOf(const std::uint8_t* data, const Block& parent) {
    const std::size_t valueBytes = parent.type == kText ? 2 * std::size_t{parent.valueLength} : parent.valueLength;
    std::vector<Block> children;
    for (std::size_t at = alignTo32Bits(parent.valueStart + valueBytes); at < parent.end;) {
        const std::optional<Block> child = blockAt(data, at, parent.end);
        if (!child) {
            break;
        }
        children.push_back(*child);
        at = alignTo32Bits(child->end);
    }
    return children;
}

// A string's value: its text up to the terminator. Resource compilers disagree on what the value
// length counts, so the block's end bounds the text, not the value length.
tstring stringValue(const std::uint8_t* data, const Block& string) {
    std::u16string value;
    for (std::size_t at = string.valueStart; at + 2 <= string.end && littleEndian::read16(data + at) != 0; at += 2) {
        value += static_cast<char16_t>(littleEndian::read16(data + at));
    }
    return tstrings::fromUtf16(value);
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
    std::vector<std::vector<std::uint8_t>> texts;
    for (const auto& [key, value] : strings) {
        if (!value.empty()) {
            texts.push_back(stringBlock(key, value));
        }
    }
    const auto table = block(kEnglishUnicodeTable, kText, {}, 0, texts);
    const auto stringInfo = block(kStringsKey, kText, {}, 0, {table});
    std::vector<std::uint8_t> translation;
    LittleEndianWriter(translation).put32(kEnglishUnicode);
    const auto translationBlock = block(L"Translation", kBinary, translation, 4, {});
    const auto varInfo = block(L"VarFileInfo", kText, {}, 0, {translationBlock});
    return block(kRootKey, kBinary, fixedInfo(parseVersion(version)), kFixedInfoSize, {stringInfo, varInfo});
}

VersionStrings readVersionStrings(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::optional<Block> root = blockAt(bytes, 0, size);
    if (!root || root->key != kRootKey) {
        return {};
    }
    VersionStrings strings;
    for (const Block& info : childrenOf(bytes, *root)) {
        if (info.key != kStringsKey) {
            continue;
        }
        const std::vector<Block> tables = childrenOf(bytes, info);
        if (tables.empty()) {
            continue;
        }
        for (const Block& string : childrenOf(bytes, tables.front())) {
            strings.emplace_back(string.key, stringValue(bytes, string));
        }
        break;
    }
    return strings;
}
