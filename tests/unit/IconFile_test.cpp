// Icon files: every way one can be malformed, and the sample icon's images.
#include "IconFile.h"

#include <gtest/gtest.h>

#include <cstring>

#include "PackerTestFiles.h"
#include "TestSupport.h"

TEST(IconFile, RefusesWhatIsNoWellFormedIcon) {
    const auto header = [](std::uint16_t reserved, std::uint16_t type, std::uint16_t count) {
        std::vector<std::uint8_t> bytes(6);
        std::memcpy(bytes.data(), &reserved, 2);
        std::memcpy(bytes.data() + 2, &type, 2);
        std::memcpy(bytes.data() + 4, &count, 2);
        return bytes;
    };
    const auto withEntry = [](std::vector<std::uint8_t> bytes, std::uint32_t size, std::uint32_t offset) {
        std::uint8_t entry[16] = {16, 16, 0, 0, 1, 0, 32, 0};
        std::memcpy(entry + 8, &size, 4);
        std::memcpy(entry + 12, &offset, 4);
        bytes.insert(bytes.end(), entry, entry + 16);
        return bytes;
    };
    std::vector<std::uint8_t> notAnImage = withEntry(header(0, 1, 1), 50, 22);
    notAnImage.resize(72, 'x');
    const std::vector<std::pair<std::vector<std::uint8_t>, std::string>> cases = {
        {{}, "it is 0 bytes long"},
        {header(0, 2, 1), "it does not start with an icon header"},
        {header(0, 1, 0), "it holds no image"},
        {header(0, 1, 2), "it lists 2 images but ends inside the list"},
        {withEntry(header(0, 1, 1), 100, 22), "image 1 lies outside the file"},
        {withEntry(header(0, 1, 1), 0, 22), "image 1 lies outside the file"},
        {notAnImage, "image 1: it is neither PNG nor bitmap data"},
    };
    for (const auto& refusal : cases) {
        EXPECT_EQ(rawMessageOf([&] { parseIconFile(refusal.first, L"x.ico"); }),
                  "x.ico is not an icon file: " + refusal.second);
    }
    const IconResources icon = readIconFile(packertest::kIcon);
    EXPECT_EQ(icon.images.size(), 3u);
    EXPECT_TRUE(rawMessageOf([] {
                    readIconFile(L"Z:\\no such icon.ico");
                }).starts_with("Z:\\no such icon.ico is not an icon file: it cannot be opened"));
}

// The images inside: a PNG image by the size its IHDR header gives, a bitmap by the bytes its
// header asks for (colours, padded rows, mask) and its size.
namespace {

using Bytes = std::vector<std::uint8_t>;

// An icon file holding `image` as its one image.
Bytes iconOf(const Bytes& image) {
    Bytes file(6 + 16 + image.size());
    const std::uint8_t header[14] = {0, 0, 1, 0, 1, 0, 32, 32, 0, 0, 1, 0, 32, 0};  // one 32 x 32 icon
    const std::uint32_t size = static_cast<std::uint32_t>(image.size());
    const std::uint32_t offset = 6 + 16;
    std::memcpy(file.data(), header, sizeof(header));
    std::memcpy(file.data() + 14, &size, 4);
    std::memcpy(file.data() + 18, &offset, 4);
    std::memcpy(file.data() + offset, image.data(), image.size());
    return file;
}

void putBigEndian(Bytes& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// PNG data: the signature, an IHDR chunk of `width` x `height`, then `padding` more bytes; only the
// first `cut` bytes of it when that is given.
Bytes png(std::uint32_t width, std::uint32_t height, std::size_t padding = 0, std::size_t cut = 0) {
    Bytes bytes = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    putBigEndian(bytes, 13);
    bytes.insert(bytes.end(), {'I', 'H', 'D', 'R'});
    putBigEndian(bytes, width);
    putBigEndian(bytes, height);
    bytes.insert(bytes.end(), {8, 6, 0, 0, 0, 0, 0, 0, 0});  // depth, colour type, methods, CRC
    bytes.resize(cut != 0 ? cut : bytes.size() + padding);
    return bytes;
}

// A BITMAPINFOHEADER of an icon image (the height counts the image and its mask) followed by
// `size` - 40 bytes of data.
Bytes bitmap(std::int32_t width, std::int32_t height, std::uint16_t bitsPerPixel, std::size_t size,
             std::uint32_t coloursUsed = 0, std::uint32_t compression = 0) {
    Bytes bytes(40);
    const std::uint32_t header = 40;
    const std::int32_t doubleHeight = 2 * height;
    const std::uint16_t planes = 1;
    std::memcpy(bytes.data(), &header, 4);
    std::memcpy(bytes.data() + 4, &width, 4);
    std::memcpy(bytes.data() + 8, &doubleHeight, 4);
    std::memcpy(bytes.data() + 12, &planes, 2);
    std::memcpy(bytes.data() + 14, &bitsPerPixel, 2);
    std::memcpy(bytes.data() + 16, &compression, 4);
    std::memcpy(bytes.data() + 32, &coloursUsed, 4);
    bytes.resize(size);
    return bytes;
}

}  // namespace

TEST(IconFile, TakesImagesThatHoldWhatTheirHeadersClaimUpTo256Pixels) {
    const std::string side = "; an icon has 1 to 256 on each side";
    const struct {
        const char* what;
        Bytes image;
        std::string problem;  // empty: taken
    } cases[] = {
        {"a PNG of 256 x 256", png(256, 256), ""},
        {"a PNG of 1 x 1", png(1, 1), ""},
        {"a PNG claiming 65536 x 65536 in 1 KiB", png(65536, 65536, 1024),
         "it is a PNG image of 65536 x 65536 pixels" + side},
        {"a PNG of 257 x 1", png(257, 1), "it is a PNG image of 257 x 1 pixels" + side},
        {"a PNG of 1 x 257", png(1, 257), "it is a PNG image of 1 x 257 pixels" + side},
        {"a PNG of 0 x 16", png(0, 16), "it is a PNG image of 0 x 16 pixels" + side},
        {"a PNG cut inside its IHDR", png(16, 16, 0, 23), "it is PNG data without its IHDR header"},
        // 32 bits: 40 + 32 rows of 128 bytes + 32 mask rows of 4 bytes.
        {"a 32-bit bitmap of 32 x 32, whole", bitmap(32, 32, 32, 4264), ""},
        {"a 32-bit bitmap of 32 x 32, one byte short", bitmap(32, 32, 32, 4263),
         "its bitmap header asks for 4264 bytes of 32 x 32 pixels at 32 bits, but it holds 4263"},
        // 8 bits: 256 colours of 4 bytes unless fewer are used; rows of 16 bytes, mask rows of 4.
        {"an 8-bit bitmap of 16 x 16 with every colour", bitmap(16, 16, 8, 1384), ""},
        {"an 8-bit bitmap of 16 x 16 without its palette", bitmap(16, 16, 8, 1383),
         "its bitmap header asks for 1384 bytes of 16 x 16 pixels at 8 bits, but it holds 1383"},
        {"an 8-bit bitmap of 16 x 16 with two colours", bitmap(16, 16, 8, 368, 2), ""},
        // 1 bit, 3 pixels wide: every row padded to 4 bytes.
        {"a 1-bit bitmap of 3 x 3", bitmap(3, 3, 1, 72), ""},
        {"a 1-bit bitmap of 3 x 3 with unpadded rows", bitmap(3, 3, 1, 71),
         "its bitmap header asks for 72 bytes of 3 x 3 pixels at 1 bits, but it holds 71"},
        {"a bitmap claiming 256 x 256 at 32 bits in 1 KiB", bitmap(256, 256, 32, 1024),
         "its bitmap header asks for 270376 bytes of 256 x 256 pixels at 32 bits, but it holds 1024"},
        {"a bitmap of 257 x 1", bitmap(257, 1, 32, 2000), "it is a bitmap of 257 x 1 pixels" + side},
        {"a bitmap of 1 x 257", bitmap(1, 257, 32, 4000), "it is a bitmap of 1 x 257 pixels" + side},
        {"a bitmap of -16 x 16", bitmap(-16, 16, 32, 2000), "it is a bitmap of -16 x 16 pixels" + side},
        {"a bitmap compressed", bitmap(16, 16, 8, 1384, 0, 1),
         "it is a bitmap of a kind icons do not use (compressed, or an unusual colour depth)"},
        {"a bitmap of 2 bits a pixel", bitmap(16, 16, 2, 1384),
         "it is a bitmap of a kind icons do not use (compressed, or an unusual colour depth)"},
    };
    for (const auto& c : cases) {
        const Bytes file = iconOf(c.image);
        if (c.problem.empty()) {
            const IconResources icon = parseIconFile(file, L"x.ico");
            ASSERT_EQ(icon.images.size(), 1u) << c.what;
            EXPECT_TRUE(icon.images[0] == c.image) << c.what;
        } else {
            EXPECT_EQ(rawMessageOf([&] { parseIconFile(file, L"x.ico"); }),
                      "x.ico is not an icon file: image 1: " + c.problem)
                << c.what;
        }
    }
}
