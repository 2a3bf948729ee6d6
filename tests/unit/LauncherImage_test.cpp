// Launchers read as data: resources found where the system's loader finds them, files that are
// no launcher or are cut short refused, signatures seen; what a launcher carries read, hashed and
// checked against its index, and every damaged or hostile description refused. The launchers are
// made here from the stub the build made, through the packer's own image writer, with exactly the
// resources each case needs.
#include "LauncherContents.h"

#include <gtest/gtest.h>

#include <functional>

#include "ContentHash.h"
#include "LauncherRoundTrip.h"

namespace {

constexpr std::uint16_t kRcData = 10;
constexpr const char* kProductCode = "{100863FF-45AF-4660-A9BB-5F26D5F08205}";

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// The file offset just past the image's last section.
std::uint64_t endOfLastSection(const std::string& image) {
    const PeHeaders headers(image);
    const std::size_t last = headers.section(headers.sectionCount - 1);
    return fieldAt(image, last + pe::kPointerToRawData, 4) + fieldAt(image, last + pe::kSizeOfRawData, 4);
}

std::string refusalOf(const tstring& path) {
    return rawMessageOf<LdError<LauncherError>>([&] {
        InputFile file(path);
        LauncherImage image(file);
    });
}

std::string sha256Hex(const std::string& bytes) {
    const Sha256Digest digest = Sha256().update(bytes.data(), bytes.size()).finish();
    return utf8(toHex(digest));
}

std::uint64_t contentHash(const std::string& bytes) {
    return ContentHash().update(bytes.data(), bytes.size()).digest();
}

// A launcher as lodestar-pack writes one, in parts a case can change before it is written.
struct TestLauncher {
    std::optional<std::string> package = std::string("the package");
    std::optional<std::string> productCode = std::string(kProductCode);
    tstring packageName = L"setup.msi";
    std::vector<std::pair<tstring, std::string>> beside = {{L"sub\\empty.dat", ""}, {L"data.cab", "cab"}};
    bool indexed = true;
    std::optional<facts::LauncherFacts> recorded = [] {
        facts::LauncherFacts sample;
        sample.set(facts::kProductCode, L"{100863FF-45AF-4660-A9BB-5F26D5F08205}");
        sample.set(facts::kProductName, L"Lodestar Sample");
        return sample;
    }();
    // Changes made after everything is laid out.
    std::function<void(payload::Index&)> changeIndex;
    std::function<void(std::vector<std::uint8_t>&)> damageIndex;
    std::function<void(std::vector<std::uint8_t>&)> damageFacts;
    std::vector<std::uint16_t> leftOut;  // carried files (by number) not written

    void writeTo(const tstring& path) const {
        const ResourceId rcData = ResourceId::number(kRcData);
        ResourceSection resources;
        if (package) {
            resources.add(rcData, ResourceId::text(L"MSI"), bytesOf(*package));
        }
        if (productCode) {
            resources.add(rcData, ResourceId::text(L"PRODUCT_CODE"), bytesOf(*productCode));
        }
        payload::Index index;
        index.entries.push_back({packageName, package.value_or("").size(), contentHash(package.value_or(""))});
        for (std::size_t i = 0; i < beside.size(); ++i) {
            const auto number = static_cast<std::uint16_t>(i + 1);
            if (std::find(leftOut.begin(), leftOut.end(), number) == leftOut.end()) {
                resources.add(rcData, ResourceId::number(number), bytesOf(beside[i].second));
            }
            index.entries.push_back({beside[i].first, beside[i].second.size(), contentHash(beside[i].second)});
        }
        if (indexed) {
            if (changeIndex) {
                changeIndex(index);
            }
            std::vector<std::uint8_t> bytes = payload::serializeIndex(index);
            if (damageIndex) {
                damageIndex(bytes);
            }
            resources.add(rcData, ResourceId::text(L"PAYLOAD_INDEX"), bytes);
        }
        if (recorded) {
            std::vector<std::uint8_t> bytes = facts::serializeFacts(*recorded);
            if (damageFacts) {
                damageFacts(bytes);
            }
            resources.add(rcData, ResourceId::text(L"PACKAGE_FACTS"), bytes);
        }
        writeFile(path, launcherWith(resources));
    }
};

// How LauncherContents took the launcher: "read" or the message of its refusal, with the
// launcher's path cut off the front.
std::string contentsOutcome(const tstring& path, const std::function<void(LauncherContents&)>& use = nullptr) {
    const std::string outcome = rawMessageOf<LdError<LauncherError>>([&] {
        InputFile file(path);
        LauncherContents contents(file);
        if (use) {
            use(contents);
        }
    });
    if (outcome == "(nothing thrown)") {
        return "read";
    }
    const std::string prefix = utf8(path) + " ";
    return outcome.starts_with(prefix) ? outcome.substr(prefix.size()) : outcome;
}

}  // namespace

// The loader finds the same (LauncherImage_win_test).
TEST(LauncherImage, FindsEveryResourceOfAWrittenLauncherWhereItsLayoutPutsIt) {
    ScratchDirectory scratch;
    for (const roundtrip::ResourceSet& set : roundtrip::sets()) {
        const tstring path = scratch / L"launcher.exe";
        roundtrip::writeLauncher(set, path);
        for (const roundtrip::Lookup& lookup : roundtrip::lookupsOf(set)) {
            EXPECT_EQ(resourceOf(path, roundtrip::idOf(lookup.type), roundtrip::idOf(lookup.name)), lookup.found)
                << set.what << ": " << utf8(lookup.type + L"/" + lookup.name);
        }
        // Data kept in memory on 8 bytes, files each on a page of their own (the file and the
        // image align the section alike).
        InputFile file(path);
        LauncherImage image(file);
        for (const roundtrip::Resource& resource : set.edit ? std::vector<roundtrip::Resource>{} : set.resources) {
            const std::optional<ResourceLocation> location =
                image.find(roundtrip::idOf(resource.type), roundtrip::idOf(resource.name));
            ASSERT_TRUE(location.has_value()) << set.what;
            EXPECT_EQ(location->offset % (resource.inFile ? 4096 : 8), 0u)
                << set.what << ": " << utf8(resource.type + L"/" + resource.name);
        }
    }
}

TEST(LauncherImage, RefusesWhatIsNoLauncherAndWhatIsCutShort) {
    ScratchDirectory scratch;
    ResourceSection resources;
    resources.add(ResourceId::number(kRcData), ResourceId::text(L"MSI"), bytesOf("the package"));
    const std::string launcher = launcherWith(resources);
    const std::string& stub = builtStub();
    const PeHeaders headers(launcher);
    std::string i386 = launcher;
    setField(i386, headers.file + pe::kMachine, 0x14C, 2);
    std::string manySections = launcher;
    setField(manySections, headers.file + pe::kNumberOfSections, 200, 2);
    const std::size_t endOfHeaders = headers.optional + pe::kOptionalHeaderSize;
    const std::uint64_t endOfResources = endOfLastSection(launcher);

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", " is not a launcher: it is no executable (it does not start with MZ)"},
        {"plain text, no executable at all, but long enough for a DOS header................",
         " is not a launcher: it is no executable (it does not start with MZ)"},
        {"MZ" + std::string(62, '\0'), " is not a launcher: it is no Windows executable (it has no PE header)"},
        {i386, " is not a launcher: it is no x64 executable"},
        {manySections, " is not a launcher: it claims 200 sections"},
        {stub, " is not a launcher: it carries no resources"},
        {launcher.substr(0, endOfHeaders - 1), " is cut short: it ends after " + std::to_string(endOfHeaders - 1) +
                                                   " bytes, its headers place data up to byte " +
                                                   std::to_string(endOfHeaders)},
        {launcher.substr(0, launcher.size() - 1),
         " is cut short: it ends after " + std::to_string(launcher.size() - 1) +
             " bytes, its headers place data up to byte " + std::to_string(endOfResources)},
        {launcher, "(nothing thrown)"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const tstring path = scratch / (L"case " + std::to_wstring(i) + L".exe");
        writeFile(path, cases[i].first);
        const std::string expected = cases[i].second.starts_with(" ") ? utf8(path) + cases[i].second : cases[i].second;
        EXPECT_EQ(refusalOf(path), expected) << "case " << i;
    }
}

TEST(LauncherImage, SeesASignatureWhereTheSecurityDirectoryPoints) {
    ScratchDirectory scratch;
    ResourceSection resources;
    resources.add(ResourceId::number(kRcData), ResourceId::text(L"MSI"), bytesOf("the package"));
    const std::string unsigned_ = launcherWith(resources);
    const std::size_t security = PeHeaders(unsigned_).directory(pe::kSecurityDirectory);
    const auto signedWith = [&](std::uint32_t size, std::uint32_t claimed) {
        std::string image = unsigned_ + std::string(size, 'S');
        setField(image, security, unsigned_.size(), 4);
        setField(image, security + 4, claimed, 4);
        return image;
    };
    const tstring path = scratch / L"launcher.exe";
    const auto outcome = [&](const std::string& image) {
        writeFile(path, image);
        InputFile file(path);
        try {
            return std::string(LauncherImage(file).carriesSignature() ? "signed" : "unsigned");
        } catch (const LdError<LauncherError>& e) {
            return std::string(e.rawMessage());
        }
    };
    const std::string overclaiming = signedWith(24, 25);
    EXPECT_EQ(outcome(unsigned_), "unsigned");
    EXPECT_EQ(outcome(signedWith(24, 24)), "signed");
    EXPECT_EQ(outcome(overclaiming),
              utf8(path) + " is cut short: it ends after " + std::to_string(overclaiming.size()) +
                  " bytes, its headers place data up to byte " + std::to_string(overclaiming.size() + 1));
}

TEST(LauncherImage, RefusesAResourceDirectoryThatPointsOutsideItself) {
    ScratchDirectory scratch;
    ResourceSection resources;
    // A size no other part of the section has, to find its data entry by.
    resources.add(ResourceId::number(kRcData), ResourceId::text(L"MSI"), std::vector<std::uint8_t>(0x1234, 'x'));
    const std::string launcher = launcherWith(resources);
    const PeHeaders headers(launcher);
    const auto root = static_cast<std::size_t>(
        fieldAt(launcher, headers.section(headers.sectionCount - 1) + pe::kPointerToRawData, 4));

    std::string countRunsPast = launcher;
    setField(countRunsPast, root + 14, 0xFFFF, 2);
    std::string dataOutside = launcher;
    const std::string dataEntryTail("\x34\x12\0\0\0\0\0\0\0\0\0\0", 12);
    const std::size_t dataEntry = dataOutside.find(dataEntryTail, root) - 4;
    setField(dataOutside, dataEntry, 0x7FFFFFF0, 4);
    std::string nameOutside = launcher;
    // The root's only entry is the type RCDATA, a number; its table's only entry the name MSI.
    const auto typeTable = static_cast<std::size_t>(fieldAt(launcher, root + 20, 4) & 0x7FFFFFFF);
    setField(nameOutside, root + typeTable + 16, 0x8FFFFFF0, 4);

    const std::vector<std::pair<std::string, std::string>> cases = {
        {countRunsPast, " is not a launcher: a table of its resource directory runs past it"},
        {dataOutside, " is not a launcher: the data of a resource lies outside its sections"},
        {nameOutside, " is not a launcher: a resource name lies outside its resource directory"},
    };
    for (const auto& [image, message] : cases) {
        const tstring path = scratch / L"launcher.exe";
        writeFile(path, image);
        EXPECT_EQ(resourceOf(path, ResourceId::number(kRcData), ResourceId::text(L"msi")), utf8(path) + message);
    }
}

TEST(LauncherContents, ReadsWhatTheLauncherCarriesAndHashesEveryByteOnce) {
    ScratchDirectory scratch;
    TestLauncher described;
    described.package = std::string(1000000, 'a');  // spans reads, as large packages do
    described.beside = {{L"sub\\empty.dat", ""}, {L"data.cab", "abc"}};
    const tstring path = scratch / L"setup.exe";
    described.writeTo(path);

    InputFile file(path);
    LauncherContents contents(file);
    EXPECT_EQ(contents.productCode(), L"{100863FF-45AF-4660-A9BB-5F26D5F08205}");
    ASSERT_TRUE(contents.recordedFacts().has_value());
    EXPECT_EQ(contents.recordedFacts()->get(facts::kProductName).value_or(L"(none)"), L"Lodestar Sample");
    EXPECT_TRUE(contents.indexed());
    EXPECT_FALSE(contents.carriesSignature());
    ASSERT_EQ(contents.items().size(), 3u);
    const std::vector<std::optional<tstring>> names = {L"setup.msi", L"sub\\empty.dat", L"data.cab"};
    const std::vector<std::uint32_t> sizes = {1000000, 0, 3};
    // The known SHA-256 values of a million 'a', of nothing and of "abc".
    const std::vector<std::string> sha256 = {
        "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
    };
    const CarriedDigests digests = contents.digests();
    for (std::size_t i = 0; i < contents.items().size(); ++i) {
        EXPECT_EQ(contents.items()[i].name, names[i]) << i;
        EXPECT_EQ(contents.items()[i].location.size, sizes[i]) << i;
        EXPECT_EQ(utf8(toHex(digests.items[i])), sha256[i]) << i;
    }
    EXPECT_EQ(utf8(toHex(digests.launcher)), sha256Hex(readFile(path)));
    std::string streamed;
    contents.stream(contents.items()[2],
                    [&](const void* data, std::size_t size) { streamed.append(static_cast<const char*>(data), size); });
    EXPECT_EQ(streamed, "abc");
}

TEST(LauncherContents, ALauncherPackedBeforeIndexesAndFactsCarriesItsPackageAlone) {
    ScratchDirectory scratch;
    TestLauncher early;
    early.indexed = false;
    early.recorded.reset();
    early.beside.clear();
    const tstring path = scratch / L"setup.exe";
    early.writeTo(path);
    InputFile file(path);
    LauncherContents contents(file);
    EXPECT_FALSE(contents.indexed());
    EXPECT_FALSE(contents.recordedFacts().has_value());
    ASSERT_EQ(contents.items().size(), 1u);
    EXPECT_FALSE(contents.items()[0].name.has_value());
    EXPECT_FALSE(contents.items()[0].indexedHash.has_value());
    EXPECT_EQ(utf8(toHex(contents.digests().items[0])), sha256Hex("the package"));
}

TEST(LauncherContents, RefusesEveryDamagedOrHostileDescription) {
    ScratchDirectory scratch;
    struct Case {
        std::string what;
        std::function<void(TestLauncher&)> change;
        std::string outcome;
    };
    // The index's entry `entry` renamed `name`, which cannot be written below a folder: `why`.
    const auto unwritable = [](const char* what, std::size_t entry, const tstring& name, const std::string& why) {
        return Case{
            what,
            [=](TestLauncher& l) { l.changeIndex = [=](payload::Index& index) { index.entries[entry].name = name; }; },
            "is damaged: its index names [" + utf8(name) + "], which cannot be written below a folder: " + why};
    };
    const std::vector<Case> cases = {
        {"as packed", [](TestLauncher&) {}, "read"},
        unwritable("a name that climbs out", 2, L"..\\evil.dat", "one of its parts is .."),
        unwritable("a name with a drive", 2, L"C:\\evil.dat", "it holds a colon (a drive or a stream)"),
        unwritable("an absolute name", 2, L"\\evil.dat", "it is absolute"),
        unwritable("a device", 2, L"sub\\nul.txt", "a part of it names a device (nul.txt)"),
        unwritable("a package name with a folder", 0, L"sub\\setup.msi", "the package's own name holds a folder"),
        unwritable("one name twice, in another case", 2, L"SUB\\Empty.dat", "it is listed twice"),
        unwritable("one name twice, with the other separator", 2, L"sub/empty.dat", "it is listed twice"),
        unwritable("a file where another needs a folder", 2, L"SUB",
                   "it is a file where sub\\empty.dat needs a folder"),
        unwritable("a folder named as the launcher's copy of the package", 2, L"Main.MSI\\data.cab",
                   "a part of it is main.msi, where the launcher puts its copy of the package"),
        unwritable("a file beside it named as the package", 2, L"SETUP.MSI", "it is listed twice"),
        {"a listed file not carried", [](TestLauncher& l) { l.leftOut = {2}; },
         "is damaged: it does not carry data.cab, which its index lists"},
        {"a carried file of another size",
         [](TestLauncher& l) { l.changeIndex = [](payload::Index& index) { index.entries[2].size = 4; }; },
         "is damaged: data.cab does not match its index (3 bytes, the index says 4)"},
        {"an index changed after it was written",
         [](TestLauncher& l) { l.damageIndex = [](std::vector<std::uint8_t>& bytes) { bytes[20] ^= 1; }; },
         "is damaged: the payload index does not match its own hash"},
        {"facts changed after they were written",
         [](TestLauncher& l) { l.damageFacts = [](std::vector<std::uint8_t>& bytes) { bytes[20] ^= 1; }; },
         "is damaged: the launcher's facts do not match their own hash"},
        {"facts of another product",
         [](TestLauncher& l) { l.recorded->set(facts::kProductCode, L"{6D1E4C52-9A3B-4F27-8E61-2B7C9D0A4F13}"); },
         "is damaged: its facts give the ProductCode {6D1E4C52-9A3B-4F27-8E61-2B7C9D0A4F13}, it carries "
         "{100863FF-45AF-4660-A9BB-5F26D5F08205}"},
        {"a product code that is no GUID", [](TestLauncher& l) { l.productCode = "{not-a-product-code}"; },
         "is damaged: its product code is not a GUID in braces"},
        {"no package", [](TestLauncher& l) { l.package.reset(); },
         "is not a launcher: it carries no package (no RCDATA resource MSI)"},
        {"no product code", [](TestLauncher& l) { l.productCode.reset(); },
         "is not a launcher: it carries no product code (no RCDATA resource PRODUCT_CODE)"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        TestLauncher launcher;
        cases[i].change(launcher);
        const tstring path = scratch / (L"case " + std::to_wstring(i) + L".exe");
        launcher.writeTo(path);
        EXPECT_EQ(contentsOutcome(path), cases[i].outcome) << cases[i].what;
    }
}

TEST(LauncherContents, ACarriedFileThatDoesNotMatchItsIndexIsNamedWhenItIsRead) {
    ScratchDirectory scratch;
    TestLauncher damaged;
    damaged.changeIndex = [](payload::Index& index) { index.entries[2].hash ^= 1; };
    const tstring path = scratch / L"setup.exe";
    damaged.writeTo(path);
    EXPECT_EQ(contentsOutcome(path), "read");
    EXPECT_EQ(contentsOutcome(path, [](LauncherContents& contents) { contents.digests(); }),
              "is damaged: data.cab does not match its index");
    EXPECT_EQ(contentsOutcome(path,
                              [](LauncherContents& contents) {
                                  contents.stream(contents.items()[2], [](const void*, std::size_t) {});
                              }),
              "is damaged: data.cab does not match its index");
    EXPECT_EQ(contentsOutcome(path,
                              [](LauncherContents& contents) {
                                  contents.stream(contents.items()[0], [](const void*, std::size_t) {});
                              }),
              "read");
}
