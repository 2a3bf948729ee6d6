// The version resource's numbers, read from the package's dotted ProductVersion.
#include "VersionInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "TestSupport.h"

TEST(VersionNumbers, TakeUpToFourDottedPartsOfAtMost65535) {
    const std::vector<std::pair<tstring, std::array<std::uint16_t, 4>>> cases = {
        {L"1.2.3", {1, 2, 3, 0}},     {L"10.0.19041.1", {10, 0, 19041, 1}},
        {L"1.2.3.4.5", {1, 2, 3, 4}}, {L"2.5beta", {2, 5, 0, 0}},
        {L"", {0, 0, 0, 0}},          {L"70000.1", {0, 1, 0, 0}},
        {L"v1.2", {0, 0, 0, 0}},
    };
    for (const auto& [text, parts] : cases) {
        const VersionNumber number = parseVersion(text);
        EXPECT_EQ((std::array<std::uint16_t, 4>{number.parts[0], number.parts[1], number.parts[2], number.parts[3]}),
                  parts)
            << utf8(text);
    }
}

// What Explorer reads of the block, read here from its bytes (the Windows build also reads it
// through the system, Packer_test): the fixed part's numbers, and text outside the Basic
// Multilingual Plane stored as one surrogate pair whatever a wide character is on the host.
TEST(VersionInfo, StoresItsNumbersAndUtf16TextAsWindowsReadsThem) {
    const std::vector<std::uint8_t> block = buildVersionInfo(L"10.0.19041.7", {{L"ProductName", L"A\U0001D11E"}});
    const auto find = [&](const std::vector<std::uint8_t>& needle) {
        return std::search(block.begin(), block.end(), needle.begin(), needle.end()) - block.begin();
    };
    // VS_FIXEDFILEINFO: its signature, then the file and product versions as two 32-bit halves.
    const std::ptrdiff_t fixed = find({0xBD, 0x04, 0xEF, 0xFE});
    ASSERT_LT(fixed, static_cast<std::ptrdiff_t>(block.size()));
    const auto read32 = [&](std::ptrdiff_t at) {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) {
            value = value << 8 | block[static_cast<std::size_t>(at + i)];
        }
        return value;
    };
    for (const std::ptrdiff_t versions : {fixed + 8, fixed + 16}) {
        EXPECT_EQ(read32(versions), (10u << 16) | 0u);
        EXPECT_EQ(read32(versions + 4), (19041u << 16) | 7u);
    }
    // "A", U+1D11E as D834 DD1E, the terminator.
    EXPECT_LT(find({'A', 0, 0x34, 0xD8, 0x1E, 0xDD, 0, 0}), static_cast<std::ptrdiff_t>(block.size()));
    EXPECT_EQ(readVersionStrings(block.data(), block.size()), (VersionStrings{{L"ProductName", L"A\U0001D11E"}}));
}
