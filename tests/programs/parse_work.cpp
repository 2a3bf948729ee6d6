// Builds one record a launcher carries, of a size given on the command line, and hands it once to
// the reader lodestar-pack and the launcher use, so that a counter of executed instructions
// (callgrind, told to count inside that reader only) can show how its work grows with the input.
//
//   parse_work facts COUNT    facts of COUNT names, all different             -> facts::parseFacts
//   parse_work name UNITS     an index whose second name, "a\a\...\a", is UNITS units long
//                                                                             -> payload::indexNameProblem
//   parse_work entries COUNT  an index of COUNT names below a few folders     -> payload::indexNameProblem
//   parse_work carried COUNT  a launcher of COUNT empty files beside its package, all hashed
//                                                                             -> LauncherContents::digests
//
// Exit code 0 when the reader took the record, 1 when it refused it, 2 on bad usage.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ContentHash.h"
#include "LauncherContents.h"
#include "LauncherFacts.h"
#include "LauncherResources.h"
#include "MemorySource.h"
#include "MinimalImage.h"
#include "PayloadIndex.h"

namespace {

// `number` in six digits: the names of a record twice as large are as long as those of the first.
tstring sixDigits(std::size_t number) {
    tstring digits = std::to_wstring(number);
    return tstring(6 - std::min<std::size_t>(6, digits.size()), L'0') + digits;
}

std::vector<std::uint8_t> factsOf(std::size_t count) {
    facts::LauncherFacts all;
    for (std::size_t i = 0; i < count; ++i) {
        all.set(L"Fact" + sixDigits(i), L"value " + sixDigits(i));
    }
    return facts::serializeFacts(all);
}

payload::Index indexWithLongName(std::size_t units) {
    tstring name;
    while (name.size() + 2 <= units) {
        name += L"a\\";
    }
    name += L"b";
    payload::Index index;
    index.entries = {{L"app.msi", 1, 1}, {name, 1, 1}};
    return index;
}

payload::Index indexOfEntries(std::size_t count) {
    payload::Index index;
    index.entries.push_back({L"app.msi", 1, 1});
    for (std::size_t i = 0; i < count; ++i) {
        index.entries.push_back({L"folder" + std::to_wstring(i % 7) + L"\\file" + sixDigits(i) + L".cab", 1, 1});
    }
    return index;
}

minimal_image::Bytes launcherOfEmptyFiles(std::size_t count) {
    namespace contract = launcher::resources;
    const ResourceId carried = ResourceId::number(contract::kCarriedType);
    ResourceSection resources;
    resources.add(carried, ResourceId::text(contract::kPackageStoredName), {1, 2, 3});
    resources.add(carried, ResourceId::text(contract::kProductCodeStoredName),
                  {'{', '8', '7', '7', 'E', 'F', '5', '8', '2', '-', '7', '8', 'A', 'F', '-', '4', 'D', '8', '4',
                   '-', '8', '8', '8', 'B', '-', '1', '6', '7', 'F', 'D', 'C', '3', 'B', 'C', 'C', '1', '1', '}'});
    payload::Index index;
    const std::uint8_t package[] = {1, 2, 3};
    index.entries.push_back({L"app.msi", 3, ContentHash().update(package, 3).digest()});
    for (std::size_t i = 1; i <= count; ++i) {
        resources.add(carried, ResourceId::number(static_cast<std::uint16_t>(i)), {});
        index.entries.push_back({L"file" + sixDigits(i) + L".txt", 0, ContentHash().digest()});
    }
    resources.add(carried, ResourceId::text(contract::kIndexStoredName), payload::serializeIndex(index));
    return minimal_image::imageWith(resources);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: parse_work facts|name|entries|carried SIZE\n");
        return 2;
    }
    const std::string what = argv[1];
    const std::size_t size = std::strtoul(argv[2], nullptr, 10);
    if (what == "facts") {
        const std::vector<std::uint8_t> bytes = factsOf(size);
        return facts::parseFacts(bytes.data(), bytes.size()).all().size() == size ? 0 : 1;
    }
    if (what == "name" || what == "entries") {
        const payload::Index index = what == "name" ? indexWithLongName(size) : indexOfEntries(size);
        return payload::indexNameProblem(index) ? 1 : 0;
    }
    if (what == "carried") {
        const minimal_image::Bytes image = launcherOfEmptyFiles(size);
        MemorySource file(image.data(), image.size());
        LauncherContents contents(file);
        return contents.digests().items.size() == size + 1 ? 0 : 1;
    }
    std::fprintf(stderr, "usage: parse_work facts|name|entries|carried SIZE\n");
    return 2;
}
