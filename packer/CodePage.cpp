#include "CodePage.h"

#include <algorithm>

#include "ErrorHandling.h"

namespace {

// Windows-1252's bytes 0x80 to 0x9F, as Windows maps them; the rest is Latin-1.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr std::uint32_t kWindows1252 = 1252;

// CP_OEMCP, CP_MACCP, CP_THREAD_ACP and CP_SYMBOL name whatever the host uses.
bool hostRelative(std::uint32_t codePage) {
    return codePage == 1 || codePage == 2 || codePage == 3 || codePage == 42;
}

}  // namespace

tstring decodeCodePage(const std::string& bytes, std::uint32_t codePage) {
    if (codePage == kNeutralCodePage) {
        codePage = kNeutralDecodedAs;
    }
    if (hostRelative(codePage)) {
        LD_THROW(CodePageError((tstrings::MessageBuilder() << "code page " << codePage
                                                           << " means the code page of the host it is read on")
                                   .str()));
    }
    const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) == 0; });
    if (ascii) {
        return tstring(bytes.begin(), bytes.end());
    }
    if (codePage == kWindows1252) {
        std::u16string units;
        for (const char c : bytes) {
            const auto byte = static_cast<unsigned char>(c);
            units.push_back(byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : static_cast<char16_t>(byte));
        }
        return tstrings::fromUtf16(units);
    }
    return decodePlatformCodePage(bytes, codePage);
}
