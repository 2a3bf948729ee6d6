#include "IconFile.h"

#include <cstring>

#include "ErrorHandling.h"
#include "UniqueResource.h"

namespace {

constexpr std::size_t kHeaderSize = 6;       // ICONDIR: reserved, type, count
constexpr std::size_t kFileEntrySize = 16;   // ICONDIRENTRY
constexpr std::size_t kGroupEntrySize = 14;  // GRPICONDIRENTRY: the same with a 16-bit id for the offset
constexpr std::uint16_t kIconType = 1;
constexpr std::uint64_t kLargestIconFile = 16 * 1024 * 1024;
constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t kBitmapHeaderSize = 40;  // BITMAPINFOHEADER

std::uint16_t read16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint16_t value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof(value));
    return value;
}

std::uint32_t read32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof(value));
    return value;
}

[[noreturn]] void refuse(const tstring& path, const tstrings::MessageBuilder& reason) {
    LD_THROW(tstrings::MessageBuilder() << path << " is not an icon file: " << reason);
}

bool isImageData(const std::uint8_t* image, std::size_t size) {
    const bool png = size >= sizeof(kPngSignature) && std::memcmp(image, kPngSignature, sizeof(kPngSignature)) == 0;
    std::uint32_t headerSize = 0;
    if (size >= sizeof(headerSize)) {
        std::memcpy(&headerSize, image, sizeof(headerSize));
    }
    return png || (size > kBitmapHeaderSize && headerSize == kBitmapHeaderSize);
}

}  // namespace

IconResources parseIconFile(const std::vector<std::uint8_t>& file, const tstring& path) {
    if (file.size() < kHeaderSize) {
        refuse(path, tstrings::MessageBuilder() << "it is " << file.size() << " bytes long");
    }
    const std::uint16_t count = read16(file, 4);
    if (read16(file, 0) != 0 || read16(file, 2) != kIconType) {
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
        const std::uint32_t size = read32(file, entry + 8);
        const std::uint32_t offset = read32(file, entry + 12);
        if (size == 0 || offset < entriesEnd || offset > file.size() || size > file.size() - offset) {
            refuse(path, tstrings::MessageBuilder() << "image " << i + 1 << " lies outside the file");
        }
        if (!isImageData(file.data() + offset, size)) {
            refuse(path, tstrings::MessageBuilder() << "image " << i + 1 << " is neither PNG nor bitmap data");
        }
        const std::uint8_t* image = file.data() + offset;
        icon.images.emplace_back(image, image + size);
        // The group entry is the file's entry with the resource id in place of the offset.
        const std::uint8_t* fields = file.data() + entry;
        icon.group.insert(icon.group.end(), fields, fields + 12);
        const auto id = static_cast<std::uint16_t>(i + 1);
        icon.group.push_back(static_cast<std::uint8_t>(id & 0xFF));
        icon.group.push_back(static_cast<std::uint8_t>(id >> 8));
    }
    static_assert(kGroupEntrySize == 12 + 2);
    return icon;
}

IconResources readIconFile(const tstring& path) {
    const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        const DWORD error = GetLastError();
        refuse(path, tstrings::MessageBuilder()
                         << "it cannot be opened (" << describeSystemError(error, nullptr) << ")");
    }
    if (static_cast<std::uint64_t>(size.QuadPart) > kLargestIconFile) {
        refuse(path, tstrings::MessageBuilder() << "it is larger than " << kLargestIconFile << " bytes");
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() && (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                           read != bytes.size())) {
        refuse(path, tstrings::MessageBuilder() << "it cannot be read");
    }
    return parseIconFile(bytes, path);
}
