// Product codes as text: every form --product-code may take comes back canonical (braced, upper
// case), the one form a package's ProductCode may take is the braced one, and anything else is
// refused, whatever the platform's own GUID functions would make of it.
#include "ProductCode.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

const tstring kCanonical = L"{100863FF-45AF-4660-A9BB-5F26D5F08205}";

}  // namespace

TEST(ProductCode, EveryFormOfOneCodeGivesTheCanonicalOne) {
    // text, canonical for --product-code (empty: refused), and whether a package may say it
    const struct {
        tstring text;
        tstring canonical;
        bool asPackageProperty;
    } cases[] = {
        {kCanonical, kCanonical, true},
        {L"{100863ff-45af-4660-a9bb-5f26d5f08205}", kCanonical, true},
        {L"{100863Ff-45aF-4660-A9bB-5f26D5F08205}", kCanonical, true},
        {L"100863ff-45af-4660-a9bb-5f26d5f08205", kCanonical, false},
        {L"100863FF45AF4660A9BB5F26D5F08205", kCanonical, false},
        {L"100863ff45af4660a9bb5f26d5f08205", kCanonical, false},
        {L"{100863FF45AF4660A9BB5F26D5F08205}", kCanonical, false},
        {L"{00000000-0000-0000-0000-000000000000}", L"{00000000-0000-0000-0000-000000000000}", true},
        {L"ffffffff-ffff-ffff-ffff-ffffffffffff", L"{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}", false},
        // Refused: wrong lengths, dashes out of place, other characters, half braces.
        {L"", L"", false},
        {L"{}", L"", false},
        {L"{100863FF-45AF-4660-A9BB-5F26D5F0820}", L"", false},
        {L"{100863FF-45AF-4660-A9BB-5F26D5F082055}", L"", false},
        {L"100863FF45AF4660A9BB5F26D5F0820", L"", false},
        {L"100863FF45AF4660A9BB5F26D5F082055", L"", false},
        {L"{100863FF-45AF4660-A9BB-5F26-D5F08205}", L"", false},
        {L"{100863F-F45AF-4660-A9BB-5F26D5F08205}", L"", false},
        {L"{100863FF-45AF-4660-A9BB5F26D5F08205}", L"", false},
        {L"{100863FF-45AF-4660-A9BB-5F26D5F08205-}", L"", false},
        {L"{-100863FF-45AF-4660-A9BB-5F26D5F0820}", L"", false},
        {L"{100863FF--45AF-4660-A9BB-5F26D5F0820}", L"", false},
        {L"{100863FG-45AF-4660-A9BB-5F26D5F08205}", L"", false},
        {L"{100863FF-45AF-4660-A9BB-5F26D5F0820 }", L"", false},
        {L" {100863FF-45AF-4660-A9BB-5F26D5F08205}", L"", false},
        {L"{100863FF-45AF-4660-A9BB-5F26D5F08205", L"", false},
        {L"100863FF-45AF-4660-A9BB-5F26D5F08205}", L"", false},
        {L"(100863FF-45AF-4660-A9BB-5F26D5F08205)", L"", false},
        {L"{{100863FF-45AF-4660-A9BB-5F26D5F08205}}", L"", false},
        // The whole text counts, a NUL and what follows it included.
        {kCanonical + tstring(L"\0junk", 5), L"", false},
        {tstring(L"{100863FF-45AF-4660-A9BB-5F26D5F0820\0}", 38), L"", false},
        // Digits of other scripts are no hex digits: full-width 1 and Arabic-Indic 1.
        {L"{\uFF1100863FF-45AF-4660-A9BB-5F26D5F08205}", L"", false},
        {L"{\u066100863FF-45AF-4660-A9BB-5F26D5F08205}", L"", false},
    };
    for (const auto& c : cases) {
        const std::optional<tstring> given = canonicalProductCode(c.text);
        EXPECT_EQ(given.value_or(L""), c.canonical) << utf8(c.text);
        const std::optional<tstring> property = canonicalBracedProductCode(c.text);
        EXPECT_EQ(property.value_or(L""), c.asPackageProperty ? c.canonical : L"") << utf8(c.text);
    }
}
