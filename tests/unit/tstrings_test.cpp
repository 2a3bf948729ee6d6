#include "tstrings.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <stdexcept>

using namespace tstrings;

TEST(Conversions, EmptyTextConvertsToEmptyBothWays) {
    EXPECT_EQ(toUtf8(tstring()), std::string());
    EXPECT_EQ(fromUtf8(std::string()), tstring());
    EXPECT_EQ(toACP(tstring()), std::string());
    EXPECT_EQ(fromACP(std::string()), tstring());
}

TEST(Conversions, Utf8RoundTripKeepsNonAsciiText) {
    const tstring text = L"C:\\Users\\J\u00e9r\u00f4me \u0391\u03b8\u03b7\u03bd\u03ac \u6771\u4eac\\\U0001F600.msi";
    const std::string utf8 = toUtf8(text);
    EXPECT_EQ(utf8,
              "C:\\Users\\J\xc3\xa9r\xc3\xb4me \xce\x91\xce\xb8\xce\xb7\xce\xbd\xce\xac "
              "\xe6\x9d\xb1\xe4\xba\xac\\\xf0\x9f\x98\x80.msi");
    EXPECT_EQ(fromUtf8(utf8), text);
}

TEST(Conversions, InvalidUtf8GivesEmptyText) {
    EXPECT_EQ(fromUtf8(std::string("abc\xff")), tstring());
    EXPECT_EQ(fromUtf8(std::string("\xc3")), tstring());          // truncated sequence
    EXPECT_EQ(fromUtf8(std::string("\xed\xa0\x80")), tstring());  // encoded surrogate
}

TEST(Conversions, UnpairedSurrogateConvertsAsTheSystemDoesWithoutError) {
    const tstring lone(1, static_cast<wchar_t>(0xD800));
    std::string utf8;
    ASSERT_NO_THROW(utf8 = toUtf8(L"a" + lone + L"b"));
    // The system substitutes U+FFFD for the unpaired half.
    EXPECT_EQ(utf8,
              "a\xef\xbf\xbd"
              "b");
}

TEST(Conversions, OverloadsThatAlreadyHaveWideTextReturnItUnchanged) {
    EXPECT_EQ(fromUtf8(tstring(L"x\u00e9")), L"x\u00e9");
    EXPECT_EQ(fromACP(tstring(L"x\u00e9")), L"x\u00e9");
}

TEST(Conversions, AnsiTextReencodesAsUtf8) {
    EXPECT_EQ(toUtf8(std::string("plain")), "plain");
    EXPECT_EQ(fromACP(toACP(L"plain ascii")), L"plain ascii");
}

TEST(MessageBuilder, InsertionRules) {
    const wchar_t* nullText = nullptr;
    MessageBuilder message;
    message << "narrow " << L"wide " << tstring(L"tstring ") << std::string("utf8:\xc3\xa9 ") << nullText << " " << 42
            << " " << -7L << " " << 3010u << ' ' << L'w';
    EXPECT_EQ(message.tstr(), L"narrow wide tstring utf8:\u00e9 NULL 42 -7 3010 w");
    EXPECT_EQ(message.str(), "narrow wide tstring utf8:\xc3\xa9 NULL 42 -7 3010 w");
}

TEST(MessageBuilder, WholeNumbersReadAsStdToWstringWritesThem) {
    for (const long long value : {0LL, 7LL, -7LL, 10LL, -10LL, 1234567890LL, LLONG_MAX, LLONG_MIN}) {
        EXPECT_EQ((MessageBuilder() << value).tstr(), std::to_wstring(value));
    }
    for (const unsigned long long value : {0ULL, 9ULL, 10ULL, 4294967296ULL, ULLONG_MAX}) {
        EXPECT_EQ((MessageBuilder() << value).tstr(), std::to_wstring(value));
    }
    EXPECT_EQ((MessageBuilder() << INT_MIN << " " << static_cast<short>(-32768) << " " << UINT_MAX).tstr(),
              std::to_wstring(INT_MIN) + L" -32768 " + std::to_wstring(UINT_MAX));
}

TEST(MessageBuilder, NarrowCharacterTextIsWidenedBytewise) {
    MessageBuilder message;
    message << "\xc3\xa9";
    EXPECT_EQ(message.tstr(), tstring(L"\u00c3\u00a9"));
}

TEST(MessageBuilder, StartsFromInitialTextAndWritesUtf8ToNarrowStreams) {
    MessageBuilder message(L"caf\u00e9");
    message << "!";
    std::ostringstream out;
    out << message;
    EXPECT_EQ(out.str(), "caf\xc3\xa9!");
}

TEST(MessageBuilder, ANulInsideAStringShowsAsBackslashZeroSoNothingAfterItIsLost) {
    const tstring wide(L"a\0b", 3);
    const std::string narrow("c\0d", 3);
    EXPECT_EQ((MessageBuilder(wide) << narrow << L"!").tstr(), L"a\\0bc\\0d!");
    EXPECT_EQ(escapeNul(std::string("\0\0", 2)), "\\0\\0");
    EXPECT_EQ(escapeNul(tstring(L"none")), L"none");
}

TEST(MessageBuilder, PointersPrintAsTheStreamPrintsThem) {
    int value = 0;
    std::wostringstream expected;
    expected << static_cast<const void*>(&value);
    EXPECT_EQ((MessageBuilder() << &value).tstr(), expected.str());
}

TEST(FormatPrintf, FormatsWithWideRulesAndTakesTstrings) {
    EXPECT_EQ(formatPrintf(L"%04u/%02u|%s|%d", 7u, 3u, tstring(L"name"), -1), L"0007/03|name|-1");
    EXPECT_EQ(formatPrintf(L"0x%08X", 0x80070005u), L"0x80070005");
}

TEST(FormatPrintf, GrowsThroughThe256UnitBoundary) {
    for (size_t length : {0u, 1u, 255u, 256u, 257u, 511u, 512u, 513u, 2000u}) {
        const tstring text(length, L'x');
        EXPECT_EQ(formatPrintf(L"%s", text), text) << length;
    }
    EXPECT_EQ(formatPrintf(L"%s!", tstring(255, L'y')).size(), 256u);
}

TEST(FormatPrintf, KeepsTheCallersErrorNumber) {
    errno = ENOENT;
    formatPrintf(L"%d", 1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(FormatPrintf, NullFormatIsRejected) {
    try {
        formatPrintf(static_cast<const wchar_t*>(nullptr));
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Destination buffer can't be NULL");
    }
}

TEST(TextFunctions, EqualsFoldsOnlyAsciiLetters) {
    EXPECT_TRUE(equals(L"ABC", L"abc", IgnoreCase));
    EXPECT_FALSE(equals(L"ABC", L"abc", CaseSensitive));
    EXPECT_FALSE(equals(L"ABC", L"abc", static_cast<CompareMode>(2)));
    EXPECT_FALSE(equals(L"\u00c9", L"\u00e9", IgnoreCase));
    EXPECT_TRUE(equals(L"[@]", L"[@]", IgnoreCase));
    EXPECT_FALSE(equals(L"[", L"{", IgnoreCase));  // 0x5B is not a letter
}

TEST(TextFunctions, StartsAndEndsWith) {
    EXPECT_TRUE(startsWith(L"Uninstall", L"UNI", IgnoreCase));
    EXPECT_FALSE(startsWith(L"Uninstall", L"UNI"));
    EXPECT_FALSE(startsWith(L"ab", L"abc"));
    EXPECT_TRUE(endsWith(L"main.MSI", L".msi", IgnoreCase));
    EXPECT_FALSE(endsWith(L"msi", L".msi"));
    EXPECT_TRUE(endsWith(L"abc", L""));
}

TEST(TextFunctions, SplitKeepsOrDropsEmptyPieces) {
    EXPECT_EQ(split(L"a,,b", L","), (tstring_array{L"a", L"", L"b"}));
    EXPECT_EQ(split(L"a,,b", L",", true), (tstring_array{L"a", L"b"}));
    EXPECT_EQ(split(L"a,", L","), (tstring_array{L"a", L""}));
    EXPECT_EQ(split(L"a,", L",", true), (tstring_array{L"a"}));
    EXPECT_EQ(split(L",a", L","), (tstring_array{L"", L"a"}));
    EXPECT_EQ(split(L"a=1*b=2**rest", L"*"), (tstring_array{L"a=1", L"b=2", L"", L"rest"}));
    EXPECT_EQ(split(L"a<>b", L"<>"), (tstring_array{L"a", L"b"}));
    EXPECT_TRUE(split(L"", L",").empty());
    EXPECT_TRUE(split(L"abc", L"").empty());
}

TEST(TextFunctions, Trim) {
    EXPECT_EQ(trim(L" \t value \t"), L"value");
    EXPECT_EQ(trim(L" \t \t"), L"");
    EXPECT_EQ(trim(L""), L"");
    EXPECT_EQ(trim(L"xxvaluexx", L"x"), L"value");
    EXPECT_EQ(trim(L"\nvalue", L" \t"), L"\nvalue");
}

TEST(TextFunctions, ToLowerMapsOnlyAsciiCapitals) {
    EXPECT_EQ(toLower(L"ABC xyz {GUID} \u00c9\u0391"), L"abc xyz {guid} \u00c9\u0391");
}

TEST(TextFunctions, Replace) {
    EXPECT_EQ(replace(L"abc", L"", L"x"), L"abc");
    EXPECT_EQ(replace(L"say \"hi\" \"\"", L"\"", L"\"\""), L"say \"\"hi\"\" \"\"\"\"");
    EXPECT_EQ(replace(L"aaa", L"a", L"aa"), L"aaaaaa");
    EXPECT_EQ(replace(L"a.b.c", L".", L""), L"abc");
    EXPECT_EQ(replace(L"none", L"x", L"y"), L"none");
}

TEST(TextFunctions, PrintableEscapesEveryControlCharacterAndKeepsTheRest) {
    const std::vector<std::pair<tstring, tstring>> cases = {
        {L"\x1b]0;owned\x07\x1b[2J", L"\\x1b]0;owned\\x07\\x1b[2J"},
        {tstring(L"a\0b", 3), L"a\\x00b"},
        {L"tab\there\nline\r", L"tab\\x09here\\x0aline\\x0d"},
        {L"del\x7f c1\x85\x9f", L"del\\x7f c1\\x85\\x9f"},
        {L"C:\\Setup J\u00e9r\u00f4me \u6771\u4eac ~ \u00a0", L"C:\\Setup J\u00e9r\u00f4me \u6771\u4eac ~ \u00a0"},
        {L"", L""},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(tstrings::printable(text), shown) << tstrings::toUtf8(shown);
    }
}
