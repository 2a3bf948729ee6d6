// The version resource's numbers, read from the package's dotted ProductVersion.
#include "VersionInfo.h"

#include <gtest/gtest.h>

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
