// Writes a launcher as large as its format lets a hostile maker make the records lodestar-pack
// reads before anything else, for the benchmark's --info step:
//   craft_launcher index OUT.exe   an index of 65,535 files beside the package (each of its own
//                                  empty resource), named below one deep folder, 64 MiB in all
//   craft_launcher facts OUT.exe   64 MiB of facts, each with a name of its own
//   craft_launcher shared OUT.exe  two files beside the package whose resources are the same
//                                  bytes (no packer writes this: --info and --extract refuse it)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "ContentHash.h"
#include "LauncherFacts.h"
#include "LauncherImage.h"
#include "LauncherResources.h"
#include "MemorySource.h"
#include "MinimalImage.h"
#include "PayloadIndex.h"

namespace {

namespace contract = launcher::resources;
constexpr std::size_t kLargestRecord = 64 * 1024 * 1024 - 64;  // what --info reads of one record
const tstring kProductCode = L"{877EF582-78AF-4D84-888B-167FDC3BCC11}";

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

tstring fiveDigits(std::size_t number) {
    const tstring digits = std::to_wstring(number);
    return tstring(5 - digits.size(), L'0') + digits;
}

ResourceSection withPackage() {
    ResourceSection resources;
    const ResourceId carried = ResourceId::number(contract::kCarriedType);
    resources.add(carried, ResourceId::text(contract::kPackageStoredName), {});
    resources.add(carried, ResourceId::text(contract::kProductCodeStoredName), bytesOf("{877EF582-78AF-4D84-888B-167FDC3BCC11}"));
    return resources;
}

// Every name "d\d\...\d\fNNNNN", as long as 65,536 entries leave room for.
void addIndex(ResourceSection& resources) {
    const ResourceId carried = ResourceId::number(contract::kCarriedType);
    const std::size_t files = contract::kLastCarriedFileId;
    const std::size_t units = (kLargestRecord - 20) / (files + 1) / 2 - 9 - 7;
    tstring folder;
    while (folder.size() + 2 <= units) {
        folder += L"d\\";
    }
    payload::Index index;
    index.entries.push_back({L"app.msi", 0, ContentHash().digest()});
    for (std::size_t i = 1; i <= files; ++i) {
        resources.add(carried, ResourceId::number(static_cast<std::uint16_t>(i)), {});
        index.entries.push_back({folder + L"f" + fiveDigits(i), 0, ContentHash().digest()});
    }
    resources.add(carried, ResourceId::text(contract::kIndexStoredName), payload::serializeIndex(index));
}

// Facts of a 16-unit name and a 16-unit value, as many as fit.
void addFacts(ResourceSection& resources) {
    facts::LauncherFacts recorded;
    recorded.set(facts::kProductCode, kProductCode);
    const std::size_t perFact = 2 + 2 * 16 + 4 + 2 * 16;
    for (std::size_t i = 0; (i + 2) * perFact < kLargestRecord - 200; ++i) {
        const tstring number = std::to_wstring(i);
        recorded.set(L"Fact" + tstring(12 - number.size(), L'0') + number, L"Value" + tstring(11 - number.size(), L'0') + number);
    }
    resources.add(ResourceId::number(contract::kCarriedType), ResourceId::text(contract::kFactsStoredName),
                  facts::serializeFacts(recorded));
}

// Two files of the same 3 bytes, data.cab and copy.cab; then the data entry of the second is
// pointed at the bytes of the first.
minimal_image::Bytes sharedBytes() {
    const ResourceId carried = ResourceId::number(contract::kCarriedType);
    ResourceSection resources = withPackage();
    payload::Index index;
    index.entries.push_back({L"app.msi", 0, ContentHash().digest()});
    const std::vector<std::uint8_t> content = bytesOf("cab");
    for (const wchar_t* name : {L"data.cab", L"copy.cab"}) {
        resources.add(carried, ResourceId::number(static_cast<std::uint16_t>(index.entries.size())), content);
        index.entries.push_back({name, content.size(), ContentHash().update(content.data(), content.size()).digest()});
    }
    resources.add(carried, ResourceId::text(contract::kIndexStoredName), payload::serializeIndex(index));
    minimal_image::Bytes image = minimal_image::imageWith(resources);

    MemorySource file(image.data(), image.size());
    LauncherImage reader(file);
    const ResourceLocation first = *reader.find(carried, ResourceId::number(1));
    const ResourceLocation second = *reader.find(carried, ResourceId::number(2));
    const auto rvaOf = [](const ResourceLocation& at) { return static_cast<std::uint32_t>(at.offset - 0x200 + 0x1000); };
    for (std::size_t at = 0x200; at + 8 <= image.size(); at += 4) {
        std::uint32_t rva = 0;
        std::uint32_t size = 0;
        for (int i = 0; i < 4; ++i) {
            rva |= static_cast<std::uint32_t>(image[at + static_cast<std::size_t>(i)]) << (8 * i);
            size |= static_cast<std::uint32_t>(image[at + 4 + static_cast<std::size_t>(i)]) << (8 * i);
        }
        if (rva == rvaOf(second) && size == second.size) {
            minimal_image::put(image, at, rvaOf(first), 4);
            return image;
        }
    }
    std::fprintf(stderr, "craft_launcher: the data entry of the second file is not where it was laid out\n");
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc == 3 ? argv[1] : "";
    if (what != "index" && what != "facts" && what != "shared") {
        std::fprintf(stderr, "usage: craft_launcher index|facts|shared OUT.exe\n");
        return 2;
    }
    minimal_image::Bytes image;
    if (what == "shared") {
        image = sharedBytes();
    } else {
        ResourceSection resources = withPackage();
        what == "index" ? addIndex(resources) : addFacts(resources);
        image = minimal_image::imageWith(resources);
    }
    std::ofstream(argv[2], std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return 0;
}
