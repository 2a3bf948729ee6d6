// Builds one record a launcher carries, of a size given on the command line, and hands it once to
// the reader lodestar-pack and the launcher use, so that a counter of executed instructions
// (callgrind, told to count inside that reader only) can show how its work grows with the input.
//
//   parse_work facts COUNT    facts of COUNT names, all different             -> facts::parseFacts
//   parse_work name UNITS     an index whose second name, "a\a\...\a", is UNITS units long
//                                                                             -> payload::indexNameProblem
//   parse_work entries COUNT  an index of COUNT names below a few folders     -> payload::indexNameProblem
//
// Exit code 0 when the reader took the record, 1 when it refused it, 2 on bad usage.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <algorithm>

#include "LauncherFacts.h"
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: parse_work facts|name|entries SIZE\n");
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
    std::fprintf(stderr, "usage: parse_work facts|name|entries SIZE\n");
    return 2;
}
