// Launchers written from the stub the build made with sets of resources, for the tests that read
// them back: LauncherImage (on every host) and the system's loader (on Windows).
#pragma once

#include <deque>
#include <functional>

#include "PackerTestSupport.h"

namespace roundtrip {

// "#10" is the number 10, anything else a name.
inline ResourceId idOf(const tstring& text) {
    return text.starts_with(L"#") ? ResourceId::number(static_cast<std::uint16_t>(std::stoi(text.substr(1))))
                                  : ResourceId::text(text);
}

struct Resource {
    tstring type;
    tstring name;
    std::string data;
    bool inFile = false;  // carried from a file, on a page of its own
};
struct Lookup {
    tstring type;
    tstring name;
    std::string found;  // "(none)" when there is no such resource
};
// Types in the order the loader lists them, each with its names in order.
using Listing = std::vector<std::pair<tstring, std::vector<tstring>>>;

struct ResourceSet {
    const char* what;
    std::vector<Resource> resources;
    std::vector<Lookup> lookups;  // besides each resource by its own type and name
    Listing listing;
    std::function<void(std::string&)> edit;  // of the written image; then only `lookups` are asked
};

inline std::vector<ResourceSet> sets() {
    const std::vector<Lookup> missing = {
        {L"#10", L"#8", "(none)"}, {L"#10", L"MS", "(none)"}, {L"#10", L"MSIX", "(none)"}, {L"#11", L"#1", "(none)"}};
    return {
        {"one package", {{L"#10", L"MSI", "the package"}}, missing, {{L"#10", {L"MSI"}}}, nullptr},
        // Added in no order; sizes that leave the next resource off any 8-byte boundary. Upper case
        // decides the order of names: "a_b" comes before "ab" in lower case, after it in upper case.
        {"names and numbers, in memory and in files",
         {
             {L"#10", L"msi", std::string(5000, 'm'), true},
             {L"zeta", L"#1", "z"},
             {L"#10", L"Product_Code", "{6D1E4C52-9A3B-4F27-8E61-2B7C9D0A4F13}"},
             {L"#10", L"#300", "three hundred"},
             {L"#3", L"#1", "icon"},
             {L"#10", L"ab", "ab"},
             {L"Alpha", L"x", "x"},
             {L"#10", L"#2", "two"},
             {L"#10", L"a_b", "a_b"},
             {L"#10", L"#7", "7", true},
             {L"#10", L"abc", "abcde"},
             {L"#10", L"#1", ""},
             {L"#24", L"#1", "<assembly/>"},
         },
         missing,
         {
             {L"ALPHA", {L"X"}},  // names first, by their upper-case text
             {L"ZETA", {L"#1"}},
             {L"#3", {L"#1"}},  // then numbers, ascending
             {L"#10", {L"AB", L"ABC", L"A_B", L"MSI", L"PRODUCT_CODE", L"#1", L"#2", L"#7", L"#300"}},
             {L"#24", {L"#1"}},
         },
         nullptr},
        // Stored as no resource compiler stores a name, in mixed case: the loader compares the
        // name asked for, in upper case, with the stored one as it is.
        {"a name stored in mixed case",
         {{L"#10", L"MSI", "the package"}, {L"#10", L"Mixed_Name", "mixed"}},
         {{L"#10", L"mixed_name", "(none)"}, {L"#10", L"Mixed_Name", "(none)"}},
         {},
         [](std::string& image) {
             const std::string upper("M\0I\0X\0E\0D\0_\0N\0A\0M\0E\0", 20);
             image.replace(image.find(upper), upper.size(), std::string("M\0i\0x\0e\0d\0_\0N\0a\0m\0e\0", 20));
         }},
    };
}

// Every resource of `set`, and its lookups, as what is asked and what is to be found.
inline std::vector<Lookup> lookupsOf(const ResourceSet& set) {
    std::vector<Lookup> all;
    if (!set.edit) {
        for (const Resource& resource : set.resources) {
            all.push_back({resource.type, resource.name, resource.data});
        }
    }
    all.insert(all.end(), set.lookups.begin(), set.lookups.end());
    return all;
}

// Writes the launcher of `set` to `path`, the files it carries beside it.
inline void writeLauncher(const ResourceSet& set, const tstring& path) {
    std::deque<InputFile> files;  // read while the launcher is written
    ResourceSection section;
    for (const Resource& resource : set.resources) {
        if (resource.inFile) {
            const tstring filePath = path + L"." + std::to_wstring(files.size());
            writeFile(filePath, resource.data);
            section.addFile(idOf(resource.type), idOf(resource.name), files.emplace_back(filePath));
        } else {
            section.add(idOf(resource.type), idOf(resource.name),
                        std::vector<std::uint8_t>(resource.data.begin(), resource.data.end()));
        }
    }
    std::string image = launcherWith(section);
    if (set.edit) {
        set.edit(image);
    }
    writeFile(path, image);
}

}  // namespace roundtrip
