#include "IconFile.h"

#include <algorithm>
#include <optional>
#include <cstring>

#include "ErrorHandling.h"
#include "InputFile.h"
#include "LittleEndian.h"

namespace {

constexpr std::size_t kHeaderSize = 6;       // ICONDIR: reserved, type, count
constexpr std::size_t kFileEntrySize = 16;   // ICONDIRENTRY
constexpr std::size_t kGroupEntrySize = 14;  // GRPICONDIRENTRY: the same with a 16-bit id for the offset
constexpr std::uint16_t kIconType = 1;
constexpr std::uint64_t kLargestIconFile = 16 * 1024 * 1024;
constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t kBitmapHeaderSize = 40;  // BITMAPINFOHEADER

[[noreturn]] void refuse(const tstring& path, const tstrings::MessageBuilder& reason) {
    LD_THROW(tstrings::MessageBuilder() << path << " is not an icon file: " << reason);
}

constexpr std::uint32_t kLargestSide = 256;  // Windows' icons go up to 256 x 256

std::uint32_t readBigEndian32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | static_cast<std::uint32_t>(at[3]);
}

// Why the image data cannot be an icon's image, or an empty string when it can: PNG data whose
// header gives its size, or a bitmap whose header asks for no more bytes than it has.
tstring imageDataProblem(const std::uint8_t* image, std::size_t size) {
    if (size >= sizeof(kPngSignature) && std::memcmp(image, kPngSignature, sizeof(kPngSignature)) == 0) {
        // The signature, then the IHDR chunk: length, type, width, height (big-endian).
        constexpr std::size_t kHeaderEnd = sizeof(kPngSignature) + 16;
        if (size < kHeaderEnd || std::memcmp(image + sizeof(kPngSignature) + 4, "IHDR", 4) != 0) {
            return L"it is PNG data without its IHDR header";
        }
        const std::uint32_t width = readBigEndian32(image + sizeof(kPngSignature) + 8);
        const std::uint32_t height = readBigEndian32(image + sizeof(kPngSignature) + 12);
        if (width == 0 || height == 0 || width > kLargestSide || height > kLargestSide) {
            return (tstrings::MessageBuilder() << "it is a PNG image of " << width << " x " << height
                                               << " pixels; an icon has 1 to 256 on each side")
                .tstr();
        }
        return tstring();
    }
    std::vector<std::uint8_t> header(image, image + std::min<std::size_t>(size, kBitmapHeaderSize));
    if (header.size() < kBitmapHeaderSize || littleEndian::read32(header.data()) != kBitmapHeaderSize) {
        return L"it is neither PNG nor bitmap data";
    }
    const auto width = static_cast<std::int32_t>(littleEndian::read32(header.data() + 4));
    // The image, then its mask.
    const auto doubleHeight = static_cast<std::int32_t>(littleEndian::read32(header.data() + 8));
    const std::uint16_t bitsPerPixel = littleEndian::read16(header.data() + 14);
    const std::uint32_t compression = littleEndian::read32(header.data() + 16);
    const std::uint32_t coloursUsed = littleEndian::read32(header.data() + 32);
    const std::int32_t height = doubleHeight / 2;
    if (width <= 0 || height <= 0 || static_cast<std::uint32_t>(width) > kLargestSide ||
        static_cast<std::uint32_t>(height) > kLargestSide) {
        return (tstrings::MessageBuilder() << "it is a bitmap of " << width << " x " << height
                                           << " pixels; an icon has 1 to 256 on each side")
            .tstr();
    }
    if (compression != 0 || (bitsPerPixel != 1 && bitsPerPixel != 4 && bitsPerPixel != 8 && bitsPerPixel != 16 &&
                             bitsPerPixel != 24 && bitsPerPixel != 32)) {
        return L"it is a bitmap of a kind icons do not use (compressed, or an unusual colour depth)";
    }
    // Rows are padded to 32 bits: the colour image, then the one-bit transparency mask.
    const auto rowBytes = [](std::uint64_t pixels, std::uint64_t bits) { return (pixels * bits + 31) / 32 * 4; };
    const std::uint64_t palette = bitsPerPixel <= 8 ? 4 * (coloursUsed != 0 ? coloursUsed : 1u << bitsPerPixel) : 0;
    const std::uint64_t needed = kBitmapHeaderSize + palette +
                                 rowBytes(static_cast<std::uint64_t>(width), bitsPerPixel) * static_cast<std::uint64_t>(height) +
                                 rowBytes(static_cast<std::uint64_t>(width), 1) * static_cast<std::uint64_t>(height);
    if (needed > size) {
        return (tstrings::MessageBuilder() << "its bitmap header asks for " << needed << " bytes of " << width << " x "
                                           << height << " pixels at " << bitsPerPixel << " bits, but it holds "
                                           << size)
            .tstr();
    }
    return tstring();
}

}  // namespace

IconResources parseIconFile(const std::vector<std::uint8_t>& file, const tstring& path) {
    if (file.size() < kHeaderSize) {
        refuse(path, tstrings::MessageBuilder() << "it is " << file.size() << " bytes long");
    }
    const std::uint16_t count = littleEndian::read16(file.data() + 4);
    if (littleEndian::read16(file.data()) != 0 || littleEndian::read16(file.data() + 2) != kIconType) {
        refuse(path, tstrings::MessageBuilder() << "it does not start with an icon header");
    }
    if (count == 0) {
        refuse(path, tstrings::MessageBuilder() << "it holds no image");
    }
    const std::size_t entriesEnd = kHeaderSize + kFileEntrySize * count;
    if (file.size() < entriesEnd) {
        refuse(path, tstrings::MessageBuilder() << "it lists " << count << " images but ends inside the list");
    }

    IconResources icon;
    icon.group.assign(file.data(), file.data() + kHeaderSize);
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::size_t entry = kHeaderSize + kFileEntrySize * i;
        const std::uint32_t size = littleEndian::read32(file.data() + entry + 8);
        const std::uint32_t offset = littleEndian::read32(file.data() + entry + 12);
        if (size == 0 || offset < entriesEnd || offset > file.size() || size > file.size() - offset) {
            refuse(path, tstrings::MessageBuilder() << "image " << i + 1 << " lies outside the file");
        }
        const tstring problem = imageDataProblem(file.data() + offset, size);
        if (!problem.empty()) {
            refuse(path, tstrings::MessageBuilder() << "image " << i + 1 << ": " << problem);
        }
        const std::uint8_t* image = file.data() + offset;
        icon.images.emplace_back(image, image + size);
        // The group entry is the file's entry with the resource id in place of the offset.
        LittleEndianWriter(icon.group).putBytes(file.data() + entry, 12).put16(static_cast<std::uint16_t>(i + 1));
    }
    static_assert(kGroupEntrySize == 12 + 2);
    return icon;
}

IconResources readIconFile(const tstring& path) {
    std::optional<InputFile> file;
    try {
        file.emplace(path);
    } catch (const LdErrorBase& e) {
        refuse(path, tstrings::MessageBuilder() << "it cannot be opened (" << std::string(e.rawMessage()) << ")");
    }
    if (file->size() > kLargestIconFile) {
        refuse(path, tstrings::MessageBuilder() << "it is larger than " << kLargestIconFile << " bytes");
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file->size()));
    if (file->read(bytes.data(), bytes.size()) != bytes.size()) {
        refuse(path, tstrings::MessageBuilder() << "it cannot be read");
    }
    return parseIconFile(bytes, path);
}
