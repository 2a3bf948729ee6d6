// The facts a launcher records for deployment tools: their format, every way damaged bytes are
// refused, and the installation scope they give. The version block a launcher without facts is
// read from, read back as it was built.
#include "LauncherFacts.h"

#include <gtest/gtest.h>

#include <functional>

#include "SealedRecord.h"
#include "TestSupport.h"
#include "VersionInfo.h"

namespace {

std::vector<std::pair<tstring, tstring>> pairsOf(const facts::LauncherFacts& recorded) {
    std::vector<std::pair<tstring, tstring>> pairs;
    for (const facts::Fact& fact : recorded.all()) {
        pairs.emplace_back(fact.name, fact.value);
    }
    return pairs;
}

facts::LauncherFacts factsOf(const std::vector<std::pair<tstring, tstring>>& pairs) {
    facts::LauncherFacts recorded;
    for (const auto& [name, value] : pairs) {
        recorded.set(name, value);
    }
    return recorded;
}

// Bytes given their trailing hash, so that what is checked after it is reached.
std::vector<std::uint8_t> withHash(std::vector<std::uint8_t> body) {
    appendSeal(body);
    return body;
}

std::vector<std::uint8_t> withoutHash(std::vector<std::uint8_t> bytes) {
    bytes.resize(bytes.size() - 8);
    return bytes;
}

void put16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
    LittleEndianWriter(bytes, at).put16(value);
}

}  // namespace

TEST(LauncherFacts, ComeBackAsRecordedInTheirOrderWhateverTheirText) {
    facts::LauncherFacts recorded;
    recorded.set(L"ProductCode", L"{100863FF-45AF-4660-A9BB-5F26D5F08205}");
    recorded.set(L"ProductName", L"first");
    recorded.set(L"Manufacturer", L"J\u00e9r\u00f4me \u6771\u4eac \U0001F600");
    recorded.set(L"ALLUSERS", L"");
    recorded.set(L"ProductName", L"replaced in place");
    const std::vector<std::uint8_t> bytes = facts::serializeFacts(recorded);
    const facts::LauncherFacts read = facts::parseFacts(bytes.data(), bytes.size());
    const std::vector<std::pair<tstring, tstring>> expected = {
        {L"ProductCode", L"{100863FF-45AF-4660-A9BB-5F26D5F08205}"},
        {L"ProductName", L"replaced in place"},
        {L"Manufacturer", L"J\u00e9r\u00f4me \u6771\u4eac \U0001F600"},
        {L"ALLUSERS", L""},
    };
    EXPECT_EQ(pairsOf(read), expected);
    EXPECT_EQ(read.get(L"ALLUSERS").value_or(L"(none)"), L"");
    EXPECT_FALSE(read.get(L"UpgradeCode").has_value());
    EXPECT_FALSE(read.get(L"productname").has_value()) << "names are compared as they are written";
    // Stored as UTF-16: the emoji is one surrogate pair, 2 units, whatever a wide character is.
    EXPECT_EQ(bytes.size(), 12u + (2 + 22 + 4 + 76) + (2 + 22 + 4 + 34) + (2 + 24 + 4 + 24) + (2 + 16 + 4) + 8);
}

TEST(LauncherFacts, DamagedBytesAreRefusedWithWhatIsWrong) {
    const std::vector<std::uint8_t> sound =
        facts::serializeFacts(factsOf({{L"ProductName", L"Sample"}, {L"ProductVersion", L"1.2.3"}}));
    const auto changed = [&](const std::function<void(std::vector<std::uint8_t>&)>& change) {
        std::vector<std::uint8_t> body = withoutHash(sound);
        change(body);
        return withHash(body);
    };
    const std::vector<std::pair<std::vector<std::uint8_t>, std::string>> cases = {
        {{}, "the launcher's facts are cut short"},
        {std::vector<std::uint8_t>(sound.begin(), sound.begin() + 19), "the launcher's facts are cut short"},
        {std::vector<std::uint8_t>(sound.begin(), sound.end() - 1), "the launcher's facts do not match their own hash"},
        {changed([](auto& b) { b[20] ^= 1; }) /* a name's unit, hash made again: still sound */, ""},
        {[&] {
             std::vector<std::uint8_t> flipped = sound;
             flipped[20] ^= 1;
             return flipped;
         }(),
         "the launcher's facts do not match their own hash"},
        {changed([](auto& b) { b[0] = 'X'; }), "the launcher's facts do not start with their signature"},
        {changed([](auto& b) { put16(b, 4, 2); }),
         "the launcher's facts have format version 2; this build reads 1 to 1"},
        {changed([](auto& b) { put16(b, 4, 0); }),
         "the launcher's facts have format version 0; this build reads 1 to 1"},
        {changed([](auto& b) { b[8] = 3; }), "the launcher's facts are cut short"},
        {changed([](auto& b) { b[8] = 1; }), "the launcher's facts hold more than their count says"},
        {changed([](auto& b) { b.push_back(0); }), "the launcher's facts hold more than their count says"},
        // The first value's length (after "ProductName") claims 4 G units: refused before anything
        // that large is made.
        {changed([](auto& b) { std::fill(b.begin() + 36, b.begin() + 40, std::uint8_t{0xFF}); }),
         "the launcher's facts are cut short"},
        {facts::serializeFacts(factsOf({{L"A", L"1"}})), ""},
    };
    for (const auto& [bytes, message] : cases) {
        const std::vector<std::uint8_t>& given = bytes;  // a lambda may not capture a structured binding
        const std::string outcome =
            rawMessageOf<LdError<facts::FactsError>>([&] { facts::parseFacts(given.data(), given.size()); });
        EXPECT_EQ(outcome, message.empty() ? "(nothing thrown)" : message) << bytes.size() << " bytes";
    }
    // One name twice, as no writer here makes it.
    std::vector<std::uint8_t> twice = withoutHash(facts::serializeFacts(factsOf({{L"A", L"1"}, {L"B", L"2"}})));
    put16(twice, 12 + 2 + 2 + 4 + 2 + 2, L'A');
    twice = withHash(twice);
    EXPECT_EQ(rawMessageOf([&] { facts::parseFacts(twice.data(), twice.size()); }),
              "the launcher's facts name one fact twice, or one without a name");
}

TEST(LauncherFacts, GiveTheScopeWindowsInstallerUses) {
    using Context = facts::InstallScope::Context;
    struct Case {
        std::vector<std::pair<tstring, tstring>> properties;
        std::optional<Context> context;  // none: no scope
        bool dualPurpose;
    };
    const std::vector<Case> cases = {
        {{}, Context::User, false},
        {{{L"ALLUSERS", L""}}, Context::User, false},
        {{{L"ALLUSERS", L"1"}}, Context::Machine, false},
        {{{L"ALLUSERS", L"1"}, {L"MSIINSTALLPERUSER", L"1"}}, Context::Machine, false},
        {{{L"ALLUSERS", L"2"}}, Context::Machine, true},
        {{{L"ALLUSERS", L"2"}, {L"MSIINSTALLPERUSER", L""}}, Context::Machine, true},
        {{{L"ALLUSERS", L"2"}, {L"MSIINSTALLPERUSER", L"1"}}, Context::User, true},
        {{{L"ALLUSERS", L"3"}}, std::nullopt, false},
        {{{L"ALLUSERS", L"yes"}}, std::nullopt, false},
    };
    for (const Case& c : cases) {
        const std::optional<facts::InstallScope> scope = facts::installScope(factsOf(c.properties));
        ASSERT_EQ(scope.has_value(), c.context.has_value()) << c.properties.size();
        if (scope) {
            EXPECT_EQ(scope->context, *c.context);
            EXPECT_EQ(scope->dualPurpose, c.dualPurpose);
        }
    }
}

TEST(VersionInfo, ItsStringsReadBackAsBuiltAndNothingFromWhatIsNoVersionBlock) {
    const VersionStrings strings = {{L"CompanyName", L"Lodestar Tests"},
                                    {L"FileDescription", L""},
                                    {L"ProductName", L"J\u00e9r\u00f4me \U0001F600"},
                                    {L"ProductVersion", L"1.2.3"}};
    const std::vector<std::uint8_t> block = buildVersionInfo(L"1.2.3", strings);
    const VersionStrings expected = {{L"CompanyName", L"Lodestar Tests"},
                                     {L"ProductName", L"J\u00e9r\u00f4me \U0001F600"},
                                     {L"ProductVersion", L"1.2.3"}};
    EXPECT_EQ(readVersionStrings(block.data(), block.size()), expected);

    std::vector<std::uint8_t> otherRoot = block;
    otherRoot[6] = 'W';  // "WS_VERSION_INFO"
    const std::vector<std::vector<std::uint8_t>> unreadable = {
        {},
        std::vector<std::uint8_t>(block.begin(), block.begin() + 5),
        std::vector<std::uint8_t>(block.begin(), block.end() - 1),
        otherRoot,
        std::vector<std::uint8_t>(200, 0xFF),
    };
    for (const auto& bytes : unreadable) {
        EXPECT_TRUE(readVersionStrings(bytes.data(), bytes.size()).empty()) << bytes.size() << " bytes";
    }
}
