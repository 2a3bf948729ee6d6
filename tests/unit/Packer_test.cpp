// pack(): the launchers it writes, read back (through the Windows API as well: Packer_win_test),
// and every way it refuses. Its modules have tests of their own beside this one.
#include "Packer.h"

#include <gtest/gtest.h>

#include "LauncherFacts.h"
#include "LodestarTestPackages.h"
#include "PackerTestSupport.h"
#include "Version.h"

namespace fs = std::filesystem;

namespace {

const ResourceId kRcData = ResourceId::number(10);
const ResourceId kIcon = ResourceId::number(3);
const ResourceId kGroupIcon = ResourceId::number(14);
const ResourceId kManifest = ResourceId::number(24);

// How pack() refused: its exit code and raw message, or kPacked when it did not refuse.
struct Refusal {
    PackExitCode exitCode = kPacked;
    std::string message;
};

Refusal refusalOf(const PackOptions& options, const LauncherParts& parts) {
    try {
        pack(options, parts, nullptr);
    } catch (const LdError<PackFailure>& e) {
        return {e.exitCode(), e.rawMessage()};
    }
    return {};
}

class PackerTest : public ::testing::Test {
protected:
    PackerTest()
        : stub_(readFile(packertest::kStub)), parts_{stub_.data(), stub_.size(), readFile(packertest::kManifest)} {}

    PackOptions optionsFor(const tstring& package, const tstring& output) const {
        PackOptions options;
        options.package = package;
        options.output = output;
        return options;
    }

    ScratchDirectory scratch;
    std::string stub_;
    LauncherParts parts_;
};

}  // namespace

TEST_F(PackerTest, TheLauncherCarriesThePackageByteForByteAndDescribesItsProduct) {
    const tstring output = scratch / L"Sample Setup \u6771.exe";
    PackOptions options = optionsFor(testpackages::sample.path, output);
    options.icon = packertest::kIcon;
    const PackResult result = pack(options, parts_, nullptr);
    EXPECT_EQ(result.productCode, testpackages::sample.productCode);
    EXPECT_EQ(result.outputPath, output);
    const std::string image = readFile(output);
    EXPECT_EQ(result.outputSize, image.size());
    EXPECT_EQ(listNames(scratch.path()), std::vector<tstring>{L"Sample Setup \u6771.exe"});

    EXPECT_TRUE(resourceOf(output, kRcData, ResourceId::text(L"msi")) == readFile(testpackages::sample.path));
    EXPECT_EQ(resourceOf(output, kRcData, ResourceId::text(L"product_code")), utf8(testpackages::sample.productCode));
    const std::string manifest = resourceOf(output, kManifest, ResourceId::number(1));
    for (const char* expected : {"level=\"asInvoker\"", "<longPathAware", "Microsoft.Windows.Common-Controls",
                                 "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
        EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
    }

    // The icon group lists the file's three images, which follow as icons 1 to 3: each the bytes
    // its 16-byte entry in the .ico file points at (size at +8, offset at +12).
    ASSERT_EQ(resourceOf(output, kGroupIcon, ResourceId::number(1)).size(), 6u + 3 * 14);
    const std::string iconFile = readFile(packertest::kIcon);
    for (std::uint16_t id = 1; id <= 3; ++id) {
        const std::size_t entry = 6 + 16 * static_cast<std::size_t>(id - 1);
        const auto size = static_cast<std::size_t>(fieldAt(iconFile, entry + 8, 4));
        const auto offset = static_cast<std::size_t>(fieldAt(iconFile, entry + 12, 4));
        EXPECT_TRUE(resourceOf(output, kIcon, ResourceId::number(id)) == iconFile.substr(offset, size))
            << "icon " << id;
    }

    // Mapped, not read: the file is laid out as the image is; and no time stamp (the file
    // header's second field) makes two packings differ.
    const PeHeaders headers(image);
    EXPECT_EQ(fieldAt(image, headers.optional + pe::kFileAlignment, 4), 4096u);
    EXPECT_EQ(fieldAt(image, headers.optional + pe::kSectionAlignment, 4), 4096u);
    EXPECT_EQ(fieldAt(image, headers.file + 4, 4), 0u);
}

TEST_F(PackerTest, TheLauncherRecordsWhatDeploymentToolsAskOfThePackageAndNothingItLacks) {
    const tstring output = scratch / L"setup.exe";
    pack(optionsFor(testpackages::sample.path, output), parts_, nullptr);
    const std::string bytes = resourceOf(output, kRcData, ResourceId::text(L"package_facts"));
    const facts::LauncherFacts recorded = facts::parseFacts(bytes.data(), bytes.size());
    // sample.wxs has no MSIINSTALLPERUSER: it is not recorded, not recorded empty.
    const std::vector<std::pair<tstring, tstring>> expected = {
        {L"ProductCode", testpackages::sample.productCode},
        {L"UpgradeCode", L"{D3CD87FA-73E2-44C9-85F5-5E81A84FABC1}"},
        {L"ProductName", L"Lodestar Sample"},
        {L"ProductVersion", L"1.2.3"},
        {L"Manufacturer", L"Lodestar Tests"},
        {L"ProductLanguage", L"1033"},
        {L"ALLUSERS", L"1"},
        {L"PackerVersion", LODESTAR_VERSION},
    };
    std::vector<std::pair<tstring, tstring>> actual;
    for (const facts::Fact& fact : recorded.all()) {
        actual.emplace_back(fact.name, fact.value);
    }
    EXPECT_EQ(actual, expected);
}

TEST_F(PackerTest, ALowerCaseProductCodeIsCarriedInUpperCaseAndConfirmedInAnyForm) {
    const tstring output = scratch / L"lower.exe";
    PackOptions options = optionsFor(testpackages::lowercase.path, output);
    options.productCode = L"6d1e4c529a3b4f278e612b7c9d0a4f13";
    EXPECT_EQ(pack(options, parts_, nullptr).productCode, L"{6D1E4C52-9A3B-4F27-8E61-2B7C9D0A4F13}");
    EXPECT_EQ(resourceOf(output, kRcData, ResourceId::text(L"product_code")), "{6D1E4C52-9A3B-4F27-8E61-2B7C9D0A4F13}");
    const std::string bytes = resourceOf(output, kRcData, ResourceId::text(L"package_facts"));
    EXPECT_EQ(facts::parseFacts(bytes.data(), bytes.size()).get(facts::kProductCode).value_or(L"(none)"),
              L"{6D1E4C52-9A3B-4F27-8E61-2B7C9D0A4F13}");
}

TEST_F(PackerTest, TheSameInputsGiveTheSameBytesAndForceReplacesAnOldLauncher) {
    fs::create_directory(fsPath(scratch / L"first"));
    fs::create_directory(fsPath(scratch / L"second"));
    PackOptions options = optionsFor(testpackages::sample.path, scratch / (L"first" + kPathSeparator + L"setup.exe"));
    options.icon = packertest::kIcon;
    pack(options, parts_, nullptr);
    options.output = scratch / (L"second" + kPathSeparator + L"setup.exe");
    writeFile(options.output, "an old launcher");
    options.force = true;
    std::uint64_t reported = 0;
    pack(options, parts_, [&](std::uint64_t done, std::uint64_t total, const tstring&) {
        EXPECT_EQ(total, fs::file_size(fsPath(testpackages::sample.path)));
        reported = done;
    });
    EXPECT_EQ(reported, fs::file_size(fsPath(testpackages::sample.path)));
    EXPECT_TRUE(readFile(scratch / (L"first" + kPathSeparator + L"setup.exe")) ==
                readFile(scratch / (L"second" + kPathSeparator + L"setup.exe")));
}

TEST_F(PackerTest, EveryRefusalNamesItsCauseEndsWithItsExitCodeAndLeavesNothing) {
    const tstring notAPackage = scratch / L"notes.msi";
    writeFile(notAPackage, "plain text, no compound file");
    const tstring badIcon = scratch / L"bad.ico";
    writeFile(badIcon, std::string("\0\0\1\0\0\0", 6));
    const tstring existing = scratch / L"existing.exe";
    writeFile(existing, "keep me");
    const tstring aFile = scratch / L"a file";
    writeFile(aFile, "x");
    // Sparse: only its size matters, which is checked before anything is read.
    const tstring huge = scratch / L"huge.msi";
    ASSERT_NO_FATAL_FAILURE(writeSparseFile(huge, kLargestPackage + 1));
    const std::vector<tstring> before = listNames(scratch.path());

    struct Case {
        tstring package;
        tstring output;
        tstring icon;
        tstring productCode;
        PackExitCode exitCode;
        std::string message;  // the start of it
    };
    const tstring sample = testpackages::sample.path;
    const std::vector<Case> cases = {
        {scratch / L"missing.msi", scratch / L"out.exe", L"", L"", kInputError,
         "There is no package at " + utf8(scratch / L"missing.msi")},
        {scratch.path(), scratch / L"out.exe", L"", L"", kInputError, utf8(scratch.path()) + " is a directory"},
        {notAPackage, scratch / L"out.exe", L"", L"", kInputError,
         utf8(notAPackage) + " is not a compound file; lodestar-pack takes installation packages (.msi)"},
        {testpackages::noproductcode.path, scratch / L"out.exe", L"", L"", kInputError,
         utf8(testpackages::noproductcode.path) + " has no ProductCode property"},
        {testpackages::badproductcode.path, scratch / L"out.exe", L"", L"", kInputError,
         utf8(testpackages::badproductcode.path) + " has a malformed ProductCode '{not-a-product-code}'"},
        {sample, scratch / L"out.exe", L"", L"{6D1E4C52-9A3B-4F27-8E61-2B7C9D0A4F13}", kInputError,
         "The ProductCode of " + utf8(sample) + " is " + utf8(testpackages::sample.productCode) +
             ", not {6D1E4C52-9A3B-4F27-8E61-2B7C9D0A4F13}"},
        {huge, scratch / L"out.exe", L"", L"", kInputError,
         utf8(huge) + " is 2147483649 bytes: Windows Installer opens no package over 2 GiB"},
        {sample, scratch / L"out.exe", badIcon, L"", kInputError,
         utf8(badIcon) + " is not an icon file: it holds no image"},
        {sample, existing, L"", L"", kOutputError, utf8(existing) + " exists; add --force to replace it"},
        {sample, scratch.path(), L"", L"", kOutputError, utf8(scratch.path()) + " is a directory"},
        {sample, aFile + kPathSeparator + L"out.exe", L"", L"", kOutputError,
         "Cannot write " + utf8(aFile + kPathSeparator + L"out.exe") + ": "},
    };
    for (const Case& c : cases) {
        PackOptions options = optionsFor(c.package, c.output);
        options.icon = c.icon;
        if (!c.productCode.empty()) {
            options.productCode = c.productCode;
        }
        const Refusal refusal = refusalOf(options, parts_);
        EXPECT_EQ(refusal.exitCode, c.exitCode) << c.message;
        EXPECT_TRUE(refusal.message.starts_with(c.message)) << refusal.message;
        EXPECT_EQ(listNames(scratch.path()), before) << c.message;
    }
    EXPECT_EQ(readFile(existing), "keep me");
    // Directories made for an output that could not be written go with it.
    const std::string notAStub = "not an executable";
    const LauncherParts broken{notAStub.data(), notAStub.size(), "manifest"};
    const Refusal refusal = refusalOf(
        optionsFor(sample, scratch / (L"new" + kPathSeparator + L"deeper" + kPathSeparator + L"out.exe")), broken);
    EXPECT_EQ(refusal.exitCode, kOutputError);
    EXPECT_TRUE(refusal.message.ends_with(": The launcher stub cannot carry resources: it is no executable"))
        << refusal.message;
    EXPECT_EQ(listNames(scratch.path()), before);
    // A --product-code that is no GUID is a wrong command line.
    PackOptions options = optionsFor(sample, scratch / L"out.exe");
    options.productCode = L"nonsense";
    EXPECT_EQ(rawMessageOf<LdError<UsageError>>([&] { pack(options, parts_, nullptr); }),
              "--product-code nonsense is not a GUID");
}
