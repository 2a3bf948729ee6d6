// Compound files and their summary information, read as data: the samples a real authoring
// toolset made (a package, its patch, two transforms), the transforms' validation conditions held
// against packages that meet them and packages that do not, and crafted containers that must be
// refused without reading out of bounds or looping.
#include "CompoundFile.h"
#include "SummaryInformation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "LittleEndian.h"
#include "MemorySource.h"
#include "PackerTestFiles.h"
#include "TestSupport.h"

namespace {

std::vector<std::uint8_t> sample(const wchar_t* name) {
    const std::string bytes = readFile(tstring(packertest::kSamples) + name);
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

SummaryInformation summaryOf(const std::vector<std::uint8_t>& bytes) {
    MemorySource source(bytes.data(), bytes.size());
    const std::optional<SummaryInformation> info = readSummaryInformation(CompoundFile(source));
    return info.value_or(SummaryInformation{});
}

constexpr const wchar_t* kExampleProductCode = L"{877EF582-78AF-4D84-888B-167FDC3BCC11}";
// The package both sample transforms were made against (README of the samples).
const PackageIdentity kTransformsBase{L"{000C1109-0000-0000-C000-000000000046}", L"0.0.0.0",
                                      L"{F400B367-33CF-429E-B571-0FDCF253ABC2}", L"Intel", 1033};

}  // namespace

TEST(CompoundFile, ReadsTheSummariesOfRealFiles) {
    const SummaryInformation patch = summaryOf(sample(L"Example.msp"));
    EXPECT_NE(patch.asciiText(summary::kTemplate).value_or(L"").find(kExampleProductCode), tstring::npos)
        << utf8(patch.asciiText(summary::kTemplate).value_or(L"(none)"));

    const TransformSummary example = transformSummary(summaryOf(sample(L"Example.mst")));
    EXPECT_EQ(utf8(example.baseProductCode), "{000C1109-0000-0000-C000-000000000046}");
    EXPECT_EQ(utf8(example.baseVersion), "0.0.0.0");
    EXPECT_EQ(utf8(example.upgradeCode), "{F400B367-33CF-429E-B571-0FDCF253ABC2}");
    EXPECT_EQ(utf8(example.basePlatform) + ";" + std::to_string(example.baseLanguage), "Intel;1033");
    EXPECT_EQ(example.validation, 0x0922);
    EXPECT_EQ(example.ignoredErrors, 0x001F);

    const TransformSummary japanese = transformSummary(summaryOf(sample(L"Example.jpn.mst")));
    EXPECT_EQ(japanese.resultLanguage, 1041);
    EXPECT_EQ(japanese.validation, 0x0002);
    EXPECT_EQ(japanese.ignoredErrors, 0x003F);

    EXPECT_THROW(transformSummary(summaryOf(sample(L"Example.msi"))), SummaryError);
}

TEST(CompoundFile, HoldsATransformsConditionsAgainstThePackage) {
    const TransformSummary example = transformSummary(summaryOf(sample(L"Example.mst")));
    const TransformSummary japanese = transformSummary(summaryOf(sample(L"Example.jpn.mst")));
    const auto changed = [](std::function<void(PackageIdentity&)> change) {
        PackageIdentity package = kTransformsBase;
        change(package);
        return package;
    };
    const PackageIdentity unedited{kExampleProductCode, L"1.0.0", L"{AC460ECB-9287-45F3-BF66-E464EDE4AAF2}", L"Intel",
                                   1033};
    const struct {
        const char* what;
        const TransformSummary& transform;
        PackageIdentity package;
        std::string unmet;  // empty: every condition holds
    } cases[] = {
        {"the base itself", example, kTransformsBase, ""},
        {"the base, lower-case codes", example, changed([](PackageIdentity& p) {
             p.productCode = tstrings::toLower(p.productCode);
         }),
         ""},
        {"the unedited package", example, unedited,
         "the package's ProductCode is {877EF582-78AF-4D84-888B-167FDC3BCC11}, the transform is for "
         "{000C1109-0000-0000-C000-000000000046}"},
        {"another UpgradeCode", example, changed([](PackageIdentity& p) { p.upgradeCode = L"{00000000-0000-0000-0000-000000000001}"; }),
         "the package's UpgradeCode is {00000000-0000-0000-0000-000000000001}, the transform is for "
         "{F400B367-33CF-429E-B571-0FDCF253ABC2}"},
        {"another update version", example, changed([](PackageIdentity& p) { p.productVersion = L"0.0.1"; }),
         "the package's ProductVersion 0.0.1 is not equal to the transform's base version 0.0.0.0"},
        {"another build number only", example, changed([](PackageIdentity& p) { p.productVersion = L"0.0.0.7"; }), ""},
        {"another language: not a condition of this transform", example,
         changed([](PackageIdentity& p) { p.language = 1041; }), ""},
        {"the Japanese transform checks the ProductCode alone", japanese,
         changed([](PackageIdentity& p) {
             p.upgradeCode.clear();
             p.productVersion = L"9.9.9";
         }),
         ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8(unmetCondition(c.transform, c.package).value_or(L"")), c.unmet) << c.what;
    }
}

TEST(CompoundFile, RefusesCraftedContainersWithoutLoopingOrReadingPastThem) {
    const std::vector<std::uint8_t> original = sample(L"Example.mst");
    ASSERT_GT(original.size(), 1024u);
    const std::uint32_t directorySector = littleEndian::read32(original.data() + 0x30);
    const std::uint32_t firstTableSector = littleEndian::read32(original.data() + 0x4C);
    const auto put32 = [](std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
        LittleEndianWriter(bytes, offset).put32(value);
    };
    const auto tableEntry = [&](std::uint32_t sector) { return 512 + std::size_t{firstTableSector} * 512 + 4 * sector; };
    const auto rootEntry = 512 + std::size_t{directorySector} * 512;
    const struct {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> craft;
    } cases[] = {
        {"cut inside its header", [](std::vector<std::uint8_t>& b) { b.resize(300); }},
        {"another signature", [](std::vector<std::uint8_t>& b) { b[0] = 0; }},
        {"a sector table larger than the file", [&](std::vector<std::uint8_t>& b) { put32(b, 0x2C, 0x00FFFFFF); }},
        {"a directory beyond the end", [&](std::vector<std::uint8_t>& b) { put32(b, 0x30, 0x00FFFFF0); }},
        {"a directory chain that loops", [&](std::vector<std::uint8_t>& b) {
             put32(b, tableEntry(directorySector), directorySector);
         }},
        {"a root storage whose child points back at itself",
         [&](std::vector<std::uint8_t>& b) { put32(b, rootEntry + 128 + 0x44, 1); }},
        {"a stream larger than the file", [&](std::vector<std::uint8_t>& b) {
             for (std::size_t entry = rootEntry + 128; entry < rootEntry + 512; entry += 128) {
                 if (b[entry + 0x42] == 2) {
                     put32(b, entry + 0x78, 0x7FFFFFFF);
                 }
             }
         }},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> bytes = original;
        c.craft(bytes);
        MemorySource source(bytes.data(), bytes.size());
        const auto readEverything = [&] {
            const CompoundFile file(source);
            for (const std::u16string& name : file.rootStreamNames()) {
                file.rootStream(name);
            }
        };
        EXPECT_THROW(readEverything(), CompoundFileError) << c.what;
    }
}
