#include "Guid.h"

#include <gtest/gtest.h>

#include <cstring>

#include "ErrorHandling.h"
#include "TestSupport.h"

namespace {

const tstring kCanonical = L"{6F9619FF-8B86-D011-B42D-00C04FC964FF}";
const GUID kValue = {0x6F9619FF, 0x8B86, 0xD011, {0xB4, 0x2D, 0x00, 0xC0, 0x4F, 0xC9, 0x64, 0xFF}};

std::string parseError(const tstring& text) {
    try {
        Guid guid(text);
        return "(accepted as " + tstrings::toUtf8(guid.toString()) + ")";
    } catch (const LdErrorBase& e) {
        return e.rawMessage();
    }
}

}  // namespace

TEST(Guid, AcceptsCanonicalBareDashedAndLowerCaseForms) {
    const Guid expected(kValue);
    EXPECT_EQ(Guid(kCanonical).toString(), kCanonical);
    EXPECT_EQ(Guid(kCanonical), expected);
    EXPECT_EQ(Guid(L"6F9619FF8B86D011B42D00C04FC964FF"), expected);
    EXPECT_EQ(Guid(L"6F9619FF-8B86-D011-B42D-00C04FC964FF"), expected);
    EXPECT_EQ(Guid(L"{6F9619FF8B86D011B42D00C04FC964FF}"), expected);  // braces kept, dashes added
    EXPECT_EQ(Guid(L"{6f9619ff-8b86-d011-b42d-00c04fc964ff}"), expected);
    EXPECT_EQ(Guid(L"6f9619ff8b86d011b42d00c04fc964ff").toString(), kCanonical);
    EXPECT_EQ(Guid(std::string("{6F9619FF-8B86-D011-B42D-00C04FC964FF}")), expected);
    EXPECT_EQ(Guid(std::string("6f9619ff8b86d011b42d00c04fc964ff")), expected);
}

TEST(Guid, RejectsOtherFormsNamingTheTextGivenToTheParser) {
    // The text, and whether the parser is given it braced: with a dash in the wrong place it is
    // braced, no dashes added; too short to be completed, with one brace only (so that the dashed
    // or completed form is not 38 long), a wrong letter, too long or in other brackets, as given.
    const std::vector<std::pair<tstring, bool>> cases = {
        {L"", false},
        {L"6F9619FF8B86D011B42D00C04FC964F", false},
        {L"{6F9619FF-8B86-D011-B42D-00C04FC964FF", false},
        {L"6F9619FF-8B86-D011-B42D-00C04FC964FF}", false},
        {L"{6F9619FF8B86D011B42D00C04FC964FF", false},
        {L"6F9619FF8-B86-D011-B42D-00C04FC964FF", true},
        {L"{6F9619FF-8B86-D011-B42D-00C04FC964FG}", false},
        {L"6F9619FF8B86D011B42D00C04FC964FFAB", false},
        {L"(6F9619FF-8B86-D011-B42D-00C04FC964FF)", false},
        {L" 6F9619FF-8B86-D011-B42D-00C04FC964FF", false},
    };
    for (const auto& [text, braced] : cases) {
        EXPECT_EQ(parseError(text), "IIDFromString(" + utf8(braced ? L"{" + text + L"}" : text) + ") failed")
            << utf8(text);
    }
}

TEST(Guid, TheWholeTextCountsANulIncluded) {
    // The parser of the system stops at a NUL: what follows must not be ignored.
    EXPECT_EQ(parseError(kCanonical + tstring(1, L'\0')),
              "IIDFromString(" + tstrings::toUtf8(kCanonical) + "\\0) failed");
    EXPECT_EQ(parseError(kCanonical + tstring(L"\0junk", 5)),
              "IIDFromString(" + tstrings::toUtf8(kCanonical) + "\\0junk) failed");
    // UTF-16 bytes taken for ASCII text: every other character a NUL, all of them shown.
    const std::string utf16(reinterpret_cast<const char*>(kCanonical.data()), kCanonical.size() * sizeof(wchar_t));
    std::string shown;
    for (const wchar_t c : kCanonical) {
        shown += static_cast<char>(c);
        shown += "\\0";
    }
    EXPECT_EQ(rawMessageOf([&] { Guid guid(utf16); }), "IIDFromString(" + shown + ") failed");
}

TEST(Guid, ParseErrorIsLocatedAtTheParser) {
    try {
        Guid guid(L"not a guid");
        FAIL() << "accepted";
    } catch (const LdError<std::runtime_error>& e) {
        EXPECT_NE(
            std::string(e.what()).find(") at `anonymous-namespace'::initGuid(): IIDFromString(not a guid) failed"),
            std::string::npos)
            << e.what();
    }
}

TEST(Guid, ToStringFlagsCombine) {
    const Guid guid(kValue);
    EXPECT_EQ(guid.toString(), kCanonical);
    EXPECT_EQ(guid.toString(Guid::StripBraces), L"6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_EQ(guid.toString(Guid::StripDashes), L"{6F9619FF8B86D011B42D00C04FC964FF}");
    EXPECT_EQ(guid.toString(Guid::LowerCase), L"{6f9619ff-8b86-d011-b42d-00c04fc964ff}");
    EXPECT_EQ(guid.toString(Guid::StripBraces | Guid::StripDashes), L"6F9619FF8B86D011B42D00C04FC964FF");
    EXPECT_EQ(guid.toString(Guid::StripBraces | Guid::LowerCase), L"6f9619ff-8b86-d011-b42d-00c04fc964ff");
    EXPECT_EQ(guid.toString(Guid::StripDashes | Guid::LowerCase), L"{6f9619ff8b86d011b42d00c04fc964ff}");
    EXPECT_EQ(guid.toString(Guid::StripBraces | Guid::StripDashes | Guid::LowerCase),
              L"6f9619ff8b86d011b42d00c04fc964ff");
    EXPECT_EQ(Guid().toString(), L"{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, EqualityIsByBytesAndOrderingByCanonicalText) {
    GUID changed = kValue;
    changed.Data4[7] ^= 1;
    EXPECT_EQ(Guid(kValue), Guid(kCanonical));
    EXPECT_FALSE(Guid(kValue) == Guid(changed));
    EXPECT_TRUE(Guid(kValue) != Guid(changed));
    EXPECT_EQ(Guid(), Guid(GUID{}));

    // Data1 is stored little-endian: byte order and text order disagree for these two.
    const GUID low = {0x00000001, 0, 0, {}};
    const GUID high = {0x00000100, 0, 0, {}};
    ASSERT_GT(std::memcmp(&low, &high, sizeof(GUID)), 0);
    EXPECT_TRUE(Guid(low) < Guid(high));
    EXPECT_FALSE(Guid(high) < Guid(low));
    EXPECT_FALSE(Guid(low) < Guid(low));
}

TEST(Guid, GenerateGivesNewRandomValues) {
    const Guid first = Guid::generate();
    const Guid second = Guid::generate();
    EXPECT_FALSE(first == second);
    EXPECT_FALSE(first == Guid());
    EXPECT_EQ(first.toString()[15], L'4');  // version 4: random
    EXPECT_EQ(Guid(first.toString()), first);
}
