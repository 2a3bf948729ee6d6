// Compound files and their summary information, read as data: the samples a real authoring
// toolset made (a package, its patch, two transforms), the transforms' validation conditions held
// against packages that meet them and packages that do not, and crafted containers that must be
// refused without reading out of bounds or looping.
#include "CompoundFile.h"
#include "SummaryInformation.h"
#include "TransformProperties.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "CodePage.h"
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

namespace {

// A transform's string pool and string data holding `strings` (ids 1..n) in `codePage`.
TransformStreams poolOf(std::uint32_t codePage, const std::vector<std::string>& strings) {
    TransformStreams streams;
    streams.stringPool.emplace();
    streams.stringData.emplace();
    LittleEndianWriter pool(*streams.stringPool);
    pool.put32(codePage);
    for (const std::string& text : strings) {
        if (text.size() > 0xFFFF) {
            pool.put16(0).put16(static_cast<std::uint16_t>(text.size() >> 16));
        }
        pool.put16(static_cast<std::uint16_t>(text.size() & 0xFFFF)).put16(1);
        streams.stringData->insert(streams.stringData->end(), text.begin(), text.end());
    }
    return streams;
}

// Property rows of 16-bit fields: masks and string references alike.
std::vector<std::uint8_t> rowsOf(const std::vector<std::uint16_t>& fields) {
    std::vector<std::uint8_t> bytes;
    for (const std::uint16_t field : fields) {
        LittleEndianWriter(bytes).put16(field);
    }
    return bytes;
}

std::string changesOf(const TransformProperties& properties) {
    std::string text;
    for (const PropertyChange& change : properties.changes) {
        text += change.name + (change.value ? "=" + *change.value : " deleted") + ";";
    }
    return text;
}

}  // namespace

TEST(TransformProperties, ReadWhatTheSamplesDoToThePropertyTable) {
    EXPECT_EQ(tableStreamName(u"Property"), (std::u16string{0x4840, 0x4559, 0x44f2, 0x4568, 0x4737}));
    const std::vector<std::uint8_t> bytes = sample(L"Example.jpn.mst");
    MemorySource source(bytes.data(), bytes.size());
    const TransformProperties japanese = readTransformProperties(CompoundFile(source));
    EXPECT_EQ(japanese.codePage, 932u);
    ASSERT_EQ(japanese.changes.size(), 2u) << changesOf(japanese);
    EXPECT_EQ(changesOf(japanese).substr(0, 21), "ProductLanguage=1041;");
    EXPECT_EQ(japanese.changes[1].name, "ProductName");
    EXPECT_EQ(utf8(decodeCodePage(japanese.changes[1].value.value_or(""), japanese.codePage)),
              "\u30c6\u30b9\u30c8\u30d7\u30ed\u30c0\u30af\u30c8");

    // Example.mst changes Binary and Directory rows, not Property ones.
    const std::vector<std::uint8_t> other = sample(L"Example.mst");
    MemorySource otherSource(other.data(), other.size());
    EXPECT_EQ(changesOf(readTransformProperties(CompoundFile(otherSource))), "");
}

TEST(TransformProperties, ReadEveryRowFormAndRefuseWhatDoesNotAddUp) {
    const std::string longValue(70000, 'v');
    // ids: 1 NAME, 2 value, 3 OTHER, 4 (70,000 bytes), 5 GONE
    TransformStreams streams = poolOf(1252, {"NAME", "value", "OTHER", longValue, "GONE"});
    streams.propertyRows = rowsOf({0x0201, 1, 2,  // insert, both columns
                                   0x0002, 3, 4,  // update of the value
                                   0x0000, 5,     // delete
                                   0x0101, 3});   // insert of the key alone
    const TransformProperties read = parseTransformProperties(streams);
    EXPECT_EQ(read.codePage, 1252u);
    EXPECT_EQ(changesOf(read), "NAME=value;OTHER=" + longValue + ";GONE deleted;OTHER=;");

    TransformStreams wide = poolOf(0x80000000u | 65001u, {"A", "b"});
    wide.propertyRows = std::vector<std::uint8_t>{0x01, 0x02, 1, 0, 0, 2, 0, 0};
    EXPECT_EQ(wide.stringPool.has_value(), true);
    EXPECT_EQ(changesOf(parseTransformProperties(wide)), "A=b;");
    EXPECT_EQ(parseTransformProperties(wide).codePage, 65001u);

    const auto craft = [&](std::function<void(TransformStreams&)> change) {
        TransformStreams crafted = streams;
        change(crafted);
        return crafted;
    };
    const struct {
        const char* what;
        TransformStreams streams;
        std::string message;
    } cases[] = {
        {"no string pool", craft([](TransformStreams& s) { s.stringPool.reset(); }),
         "its string pool is missing or cut short"},
        {"strings shorter than the pool says", craft([](TransformStreams& s) { s.stringData->resize(10); }),
         "its strings are shorter than its string pool says"},
        {"a long string's length cut off", craft([](TransformStreams& s) { s.stringPool->resize(4 + 4 * 4); }),
         "its string pool is cut short"},
        {"a reference past the pool", craft([](TransformStreams& s) { s.propertyRows = rowsOf({0x0201, 1, 9}); }),
         "a row names a string its string pool does not hold"},
        {"a row without a name", craft([](TransformStreams& s) { s.propertyRows = rowsOf({0x0201, 0, 2}); }),
         "a Property row has no name"},
        {"a row cut short", craft([](TransformStreams& s) { s.propertyRows = rowsOf({0x0201, 1}); }),
         "its Property rows are cut short"},
        {"three columns inserted", craft([](TransformStreams& s) { s.propertyRows = rowsOf({0x0301, 1, 2, 2}); }),
         "a Property row has more columns than the Property table"},
        {"a third column updated", craft([](TransformStreams& s) { s.propertyRows = rowsOf({0x0006, 1, 2, 2}); }),
         "a Property row changes a column the Property table does not have"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rawMessageOf<LdError<TransformError>>([&] { parseTransformProperties(c.streams); }), c.message)
            << c.what;
    }
}

TEST(TransformProperties, DecodeTheirCodePageAlikeOnEveryHost) {
    const struct {
        std::string bytes;
        std::uint32_t codePage;
        std::string expected;  // UTF-8
    } cases[] = {
        {"plain", 0, "plain"},
        {"\x80 \x81 \x8d \x9f \xfc", 1252, "\u20ac \xc2\x81 \xc2\x8d \u0178 \u00fc"},
        {"\xfc", 0, "\u00fc"},  // neutral: read as Windows-1252 wherever it is read
        {"\x83\x65\x83\x58\x83\x67", 932, "\u30c6\u30b9\u30c8"},
        {"\xc3\xbc", 65001, "\u00fc"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8(decodeCodePage(c.bytes, c.codePage)), c.expected) << c.codePage;
    }
    for (const std::uint32_t hostRelative : {1u, 2u, 3u, 42u}) {
        EXPECT_THROW(decodeCodePage("\xfc", hostRelative), CodePageError) << hostRelative;
    }
    EXPECT_THROW(decodeCodePage("\xff\xff", 932), CodePageError);
}
