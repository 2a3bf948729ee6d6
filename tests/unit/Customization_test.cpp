// How a customized launcher installs: its record read back as written, damaged records refused,
// kinds a later packer adds skipped, and the msiexec arguments composed from it per language.
#include "Customization.h"

#include <gtest/gtest.h>

#include <functional>

#include "SealedRecord.h"
#include "TestSupport.h"

namespace {

using namespace customization;

Customization sampleRecord() {
    Customization record;
    record.transforms = {{L"ja.mst", 1041}, {L"site settings.mst", kBaseLanguage}, {L"de.mst", 1031},
                         {L"more.mst", kBaseLanguage}};
    record.patches = {{L"fix 1.msp", L"{FF63D787-26E2-49CA-8FAA-28B5106ABD3A}"}, {L"fix2.msp", L"{00000000-0000-0000-0000-000000000002}"}};
    record.properties = {{L"SERVER", L"lic \"1\" \u00fc \U0001F600"}, {L"EMPTY", L""}};
    facts::LauncherFacts base;
    base.set(L"ProductCode", L"{000C1109-0000-0000-C000-000000000046}");
    base.set(L"ProductName", L"TEST");
    facts::LauncherFacts japanese;
    japanese.set(L"ProductName", L"\u30c6\u30b9\u30c8");
    record.identities = {{kBaseLanguage, base}, {1041, japanese}};
    return record;
}

std::vector<std::uint8_t> sealed(std::vector<std::uint8_t> body) {
    appendSeal(body);
    return body;
}

// A record of `count` entries whose items are `items`, sealed.
std::vector<std::uint8_t> recordOf(std::uint32_t count, const std::vector<std::uint8_t>& items) {
    std::vector<std::uint8_t> bytes;
    LittleEndianWriter(bytes).put32(0x5A43504C).put16(1).put16(0).put32(count);
    bytes.insert(bytes.end(), items.begin(), items.end());
    return sealed(bytes);
}

std::vector<std::uint8_t> entry(std::uint16_t kind, const std::vector<std::uint8_t>& body, std::uint32_t length) {
    std::vector<std::uint8_t> bytes;
    LittleEndianWriter(bytes).put16(kind).put32(length).putBytes(body.data(), body.size());
    return bytes;
}

std::vector<std::uint8_t> propertyBody(const std::u16string& name, const std::u16string& value) {
    std::vector<std::uint8_t> bytes;
    LittleEndianWriter(bytes).put16(static_cast<std::uint16_t>(name.size())).putUnits(name)
        .put32(static_cast<std::uint32_t>(value.size())).putUnits(value);
    return bytes;
}

}  // namespace

TEST(Customization, ComesBackAsWrittenAndSkipsKindsItDoesNotKnow) {
    const Customization record = sampleRecord();
    const std::vector<std::uint8_t> bytes = serializeCustomization(record);
    const Customization read = parseCustomization(bytes.data(), bytes.size());
    EXPECT_EQ(serializeCustomization(read), bytes);
    EXPECT_EQ(read.languages(), (std::vector<std::uint16_t>{1041, 1031}));
    ASSERT_NE(read.identityFor(1041), nullptr);
    EXPECT_EQ(read.identityFor(1041)->properties.get(L"ProductName").value_or(L""), L"\u30c6\u30b9\u30c8");
    EXPECT_EQ(read.identityFor(1031), nullptr);
    EXPECT_EQ(read.properties.at(0).value, L"lic \"1\" \u00fc \U0001F600");

    // A kind a later packer adds, between two this build knows.
    const std::vector<std::uint8_t> property = propertyBody(u"A", u"1");
    const std::vector<std::uint8_t> known = entry(3, property, static_cast<std::uint32_t>(property.size()));
    const std::vector<std::uint8_t> later = entry(77, {1, 2, 3}, 3);
    const std::vector<std::uint8_t> second = propertyBody(u"B", u"2");
    const std::vector<std::uint8_t> knownAfter = entry(3, second, static_cast<std::uint32_t>(second.size()));
    std::vector<std::uint8_t> items = known;
    items.insert(items.end(), later.begin(), later.end());
    items.insert(items.end(), knownAfter.begin(), knownAfter.end());
    const std::vector<std::uint8_t> withLater = recordOf(3, items);
    EXPECT_EQ(parseCustomization(withLater.data(), withLater.size()).properties.size(), 2u);
}

TEST(Customization, RefusesDamagedRecords) {
    const std::vector<std::uint8_t> good = serializeCustomization(sampleRecord());
    std::vector<std::uint8_t> changed = good;
    changed[20] ^= 1;
    std::vector<std::uint8_t> newer = good;
    newer[4] = 9;
    const std::vector<std::uint8_t> property = propertyBody(u"A", u"1");
    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::string message;
    } cases[] = {
        {"cut short", std::vector<std::uint8_t>(good.begin(), good.begin() + 10), "the launcher's customizations are cut short"},
        {"a changed byte", changed, "the launcher's customizations do not match their own hash"},
        {"a later version", sealed(std::vector<std::uint8_t>(newer.begin(), newer.end() - 8)),
         "the launcher's customizations have format version 9; this build reads 1 to 1"},
        {"an entry longer than it says", recordOf(1, entry(3, property, 2)),
         "an entry of the launcher's customizations is not as long as it says"},
        {"an unknown entry past the end", recordOf(1, entry(90, {1}, 5)), "the launcher's customizations are cut short"},
        {"a property without a name", recordOf(1, entry(3, propertyBody(u"", u"1"), 8)),
         "the launcher's customizations record a property without a name"},
        {"more than the count", recordOf(0, entry(3, property, static_cast<std::uint32_t>(property.size()))),
         "the launcher's customizations hold more than their count says"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rawMessageOf<LdError<CustomizationError>>([&] { parseCustomization(c.bytes.data(), c.bytes.size()); }),
                  c.message)
            << c.what;
    }

    // Sound bytes of what no packer records: the launcher composes no command line from them.
    const auto craft = [](std::function<void(Customization&)> change) {
        Customization record = sampleRecord();
        change(record);
        return serializeCustomization(record);
    };
    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::string message;
    } unsound[] = {
        {"a name with ';'", craft([](Customization& r) { r.transforms[1].name = L"a;b.mst"; }),
         "the launcher's customizations name a file [a;b.mst] that cannot be carried: it holds ';', which separates "
         "the names msiexec is given"},
        {"a name with a folder", craft([](Customization& r) { r.patches[0].name = L"..\\up.msp"; }),
         "the launcher's customizations name a file [..\\up.msp] that cannot be carried: one of its parts is .."},
        {"one name twice", craft([](Customization& r) { r.patches[1].name = L"JA.MST"; }),
         "the launcher's customizations name [JA.MST] twice"},
        {"two transforms for one language", craft([](Customization& r) { r.transforms[2].language = 1041; }),
         "the launcher's customizations carry two transforms for language 1041"},
        {"a patch code", craft([](Customization& r) { r.patches[0].patchCode = L"{x}"; }),
         "the launcher's customizations give a patch code that is no GUID in braces"},
        {"a private property", craft([](Customization& r) { r.properties[0].name = L"Secret"; }),
         "the launcher's customizations preset a property that cannot be preset: [Secret]"},
        {"PATCH preset", craft([](Customization& r) { r.properties[0].name = L"PATCH"; }),
         "the launcher's customizations preset a property that cannot be preset: [PATCH]"},
        {"a line break in a value", craft([](Customization& r) { r.properties[0].value = L"x\r\ncalc"; }),
         "the launcher's customizations preset a property that cannot be preset: [SERVER]"},
        {"a ProductCode", craft([](Customization& r) { r.identities[1].properties.set(L"ProductCode", L"x"); }),
         "the launcher's customizations give a ProductCode that is no GUID in braces"},
    };
    for (const auto& c : unsound) {
        EXPECT_EQ(rawMessageOf<LdError<CustomizationError>>([&] { parseCustomization(c.bytes.data(), c.bytes.size()); }),
                  c.message)
            << c.what;
    }
}

TEST(Customization, ComposesMsiexecArgumentsPerLanguage) {
    const Customization record = sampleRecord();
    const std::wstring patches = L"PATCH=\"C:\\T\\fix 1.msp;C:\\T\\fix2.msp\"";
    const std::wstring properties = L"SERVER=\"lic \"\"1\"\" \u00fc \U0001F600\" EMPTY=\"\"";
    const struct {
        std::uint16_t language;
        std::wstring expected;
    } cases[] = {
        {kBaseLanguage, L"TRANSFORMSSECURE=1 TRANSFORMS=\"site settings.mst;more.mst\" " + patches + L" " + properties},
        {1041, L"TRANSFORMSSECURE=1 TRANSFORMS=\"ja.mst;site settings.mst;more.mst\" " + patches + L" " + properties},
        {1031, L"TRANSFORMSSECURE=1 TRANSFORMS=\"de.mst;site settings.mst;more.mst\" " + patches + L" " + properties},
        {2052, L"TRANSFORMSSECURE=1 TRANSFORMS=\"site settings.mst;more.mst\" " + patches + L" " + properties},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8(installArguments(record, c.language, L"C:\\T\\")), utf8(c.expected)) << c.language;
    }
    EXPECT_EQ(utf8(propertyArguments(record)), utf8(properties));
    EXPECT_EQ(installArguments(Customization{}, kBaseLanguage, L"C:\\T\\"), L"");
    EXPECT_EQ(utf8(quotedProperty(L"A", L"\"\"")), "A=\"\"\"\"\"\"");
}

TEST(Customization, ChoosesTheUsersLanguageThenItsPrimaryLanguage) {
    Customization record;
    record.transforms = {{L"site.mst", kBaseLanguage}, {L"pt-BR.mst", 1046}, {L"pt-PT.mst", 2070}, {L"ja.mst", 1041}};
    const std::pair<std::uint16_t, std::uint16_t> cases[] = {
        {1041, 1041},          // exactly
        {2070, 2070},          // exactly, though another of its primary language comes first
        {0x0C16, 1046},        // another Portuguese: the first of its primary language
        {1033, kBaseLanguage},  // none for English: the package's own
        {0, kBaseLanguage},
    };
    for (const auto& [user, chosen] : cases) {
        EXPECT_EQ(chooseLanguage(record, user), chosen) << user;
    }
    EXPECT_EQ(chooseLanguage(Customization{}, 1041), kBaseLanguage);
}

TEST(Customization, WritesAnInstallScriptThatCmdReadsAsTheLauncherComposes) {
    Customization record;
    record.transforms = {{L"ja.mst", 1041}, {L"site.mst", kBaseLanguage}};
    record.patches = {{L"fix.msp", L"{FF63D787-26E2-49CA-8FAA-28B5106ABD3A}"}};
    record.properties = {{L"NOTE", L"100% \"sure\" %PATH%"}};
    const std::string ascii = installScript(record, L"App 100%.msi");
    const std::string msiexec = "\"%SystemRoot%\\System32\\msiexec.exe\" /i \"%~dp0App 100%%.msi\" TRANSFORMSSECURE=1 ";
    const std::string lines[] = {
        msiexec + "TRANSFORMS=\"site.mst\" PATCH=\"%~dp0fix.msp\" NOTE=\"100%% \"\"sure\"\" %%PATH%%\" %*\r\n",
        "if [%1]==[1041] goto language_1041\r\n",
        "call set \"LODESTAR_OPTIONS=%%LODESTAR_OPTIONS:*%1=%%\"\r\n",
        msiexec + "TRANSFORMS=\"ja.mst;site.mst\" PATCH=\"%~dp0fix.msp\" NOTE=\"100%% \"\"sure\"\" %%PATH%%\" "
                  "%LODESTAR_OPTIONS%\r\n",
        "exit /b %LODESTAR_EXIT%\r\n",
    };
    for (const std::string& line : lines) {
        EXPECT_NE(ascii.find(line), std::string::npos) << line << "\nin:\n" << ascii;
    }
    EXPECT_EQ(ascii.find("chcp"), std::string::npos) << "an ASCII script leaves the code page alone";

    record.properties = {{L"CITY", L"Z\u00fcrich"}};
    const std::string utf8Script = installScript(record, L"app.msi");
    EXPECT_NE(utf8Script.find("chcp 65001 >nul\r\n"), std::string::npos);
    EXPECT_NE(utf8Script.find("CITY=\"Z\xc3\xbcrich\""), std::string::npos);
    // A name beyond ASCII in a language's command alone asks for the code page too.
    record.properties.clear();
    record.transforms[0].name = L"\u65e5\u672c.mst";
    EXPECT_NE(installScript(record, L"app.msi").find("chcp 65001 >nul\r\n"), std::string::npos);
}
