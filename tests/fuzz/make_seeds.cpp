// Writes the fuzz targets' seed corpora under DIR (tests/fuzz/corpus in the tree): small sound
// inputs of each reader, from which the fuzzer's changes start. Run by hand when a format
// changes; the corpora are kept in the tree.
//   make_seeds DIR SAMPLES   (SAMPLES: tests/data, for the icon and the compound files)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ContentHash.h"
#include "Customization.h"
#include "LauncherFacts.h"
#include "LauncherResources.h"
#include "PayloadIndex.h"
#include "ResourceSection.h"
#include "MinimalImage.h"
#include "VersionInfo.h"

namespace {

namespace fs = std::filesystem;
using minimal_image::Bytes;
using minimal_image::imageWith;

void writeSeed(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes withoutSeal(Bytes bytes) {
    bytes.resize(bytes.size() - 8);
    return bytes;
}

Bytes utf16(const tstring& text) {
    Bytes bytes;
    for (const char16_t unit : tstrings::toUtf16(text)) {
        bytes.push_back(static_cast<std::uint8_t>(unit));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

Bytes launcherImage(bool indexed) {
    namespace contract = launcher::resources;
    const ResourceId carried = ResourceId::number(contract::kCarriedType);
    const std::string package = "the package";
    const std::vector<std::pair<tstring, std::string>> beside = {{L"sub\\data.cab", "cab"}, {L"notes.txt", ""}};
    ResourceSection resources;
    resources.add(carried, ResourceId::text(contract::kPackageStoredName), bytesOf(package));
    resources.add(carried, ResourceId::text(contract::kProductCodeStoredName),
                  bytesOf("{877EF582-78AF-4D84-888B-167FDC3BCC11}"));
    resources.add(ResourceId::number(contract::kVersionType), ResourceId::number(contract::kVersionId),
                  buildVersionInfo(L"1.0.0", {{L"ProductName", L"TEST"}, {L"CompanyName", L"Lodestar Tests"}}));
    if (indexed) {
        payload::Index index;
        index.entries.push_back(
            {L"Example.msi", package.size(), ContentHash().update(package.data(), package.size()).digest()});
        for (std::size_t i = 0; i < beside.size(); ++i) {
            const std::string& content = beside[i].second;
            resources.add(carried, ResourceId::number(static_cast<std::uint16_t>(i + 1)), bytesOf(content));
            index.entries.push_back(
                {beside[i].first, content.size(), ContentHash().update(content.data(), content.size()).digest()});
        }
        resources.add(carried, ResourceId::text(contract::kIndexStoredName), payload::serializeIndex(index));
        facts::LauncherFacts recorded;
        recorded.set(facts::kProductCode, L"{877EF582-78AF-4D84-888B-167FDC3BCC11}");
        recorded.set(facts::kProductName, L"TEST");
        recorded.set(facts::kAllUsers, L"2");
        recorded.set(facts::kInstallPerUser, L"1");
        resources.add(carried, ResourceId::text(contract::kFactsStoredName), facts::serializeFacts(recorded));
    }
    return imageWith(resources);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_seeds DIR SAMPLES\n");
        return 2;
    }
    const fs::path dir = argv[1];
    const fs::path samples = argv[2];
    writeSeed(dir / "launcher_contents", "indexed.exe", launcherImage(true));
    writeSeed(dir / "launcher_contents", "before-indexes.exe", launcherImage(false));

    payload::Index index;
    index.entries = {{L"Example.msi", 11, 1}, {L"sub\\data.cab", 3, 2}, {L"Sub/Deep/x.txt", 0, 3}};
    writeSeed(dir / "payload_index", "three.bin", withoutSeal(payload::serializeIndex(index)));
    facts::LauncherFacts recorded;
    recorded.set(facts::kProductName, L"TEST \u6771\u4eac");
    recorded.set(facts::kAllUsers, L"2");
    recorded.set(facts::kInstallPerUser, L"1");
    writeSeed(dir / "launcher_facts", "scope.bin", withoutSeal(facts::serializeFacts(recorded)));

    customization::Customization customized;
    customized.transforms = {{L"ja.mst", 1041}, {L"site.mst", customization::kBaseLanguage}};
    customized.patches = {{L"fix.msp", L"{FF63D787-26E2-49CA-8FAA-28B5106ABD3A}"}};
    customized.properties = {{L"SERVER", L"a \"b\" \u00fc"}};
    customized.identities = {{customization::kBaseLanguage, recorded}, {1041, recorded}};
    writeSeed(dir / "customization", "languages.bin", withoutSeal(customization::serializeCustomization(customized)));

    writeSeed(dir / "icon_file", "sample.ico", readWhole(samples / "sample.ico"));

    using namespace std::string_literals;  // the names hold NULs
    const std::vector<std::pair<std::string, tstring>> names = {
        {"long", L"TGT|Target Name:SRC|Source Name\0PAY.TXT|payload file.txt"s},
        {"dot", L"data:.\0data.txt"s},
        {"single", L"Lodestar Layout\0payload.txt"s},
    };
    for (std::size_t i = 0; i < names.size(); ++i) {
        Bytes seed = {static_cast<std::uint8_t>(i % 2)};
        const Bytes text = utf16(names[i].second);
        seed.insert(seed.end(), text.begin(), text.end());
        writeSeed(dir / "name_forms", names[i].first + ".txt", seed);
    }
    writeSeed(dir / "product_code", "braced.txt", utf16(L"{877EF582-78AF-4D84-888B-167FDC3BCC11}"));
    writeSeed(dir / "product_code", "lower.txt", utf16(L"{877ef582-78af-4d84-888b-167fdc3bcc11}"));
    writeSeed(dir / "product_code", "bare.txt", utf16(L"877EF58278AF4D84888B167FDC3BCC11"));
    for (const char* sample : {"Example.mst", "Example.msp"}) {
        writeSeed(dir / "file_kind", sample, readWhole(samples / "msi-samples" / sample));
    }
    for (const char* sample : {"Example.mst", "Example.jpn.mst", "Example.msp"}) {
        writeSeed(dir / "compound_file", sample, readWhole(samples / "msi-samples" / sample));
    }
    return 0;
}
