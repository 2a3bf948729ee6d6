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
