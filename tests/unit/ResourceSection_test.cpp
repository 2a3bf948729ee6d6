// The resource section: its layout's sizes and places; what it refuses. Its tree, as LauncherImage
// and the loader read it in launchers written from the stub, is LauncherImage_test's round trip.
#include "ResourceSection.h"

#include <gtest/gtest.h>

#include <deque>

#include "LauncherRoundTrip.h"

namespace {

const std::string kNothingThrown = "(nothing thrown)";

using roundtrip::idOf;

class ResourceSectionTest : public ::testing::Test {
protected:
    // A file that holds `content`, open for reading from its start.
    // Files stay where they are made: a section keeps pointers to them.
    InputFile& fileOf(const std::string& content) {
        const tstring path = scratch / (L"file " + std::to_wstring(openFiles_.size()));
        writeFile(path, content);
        return openFiles_.emplace_back(path);
    }

    InputFile& sparseFileOf(std::uint64_t size) {
        const tstring path = scratch / (L"file " + std::to_wstring(openFiles_.size()));
        writeSparseFile(path, size);
        return openFiles_.emplace_back(path);
    }

    ScratchDirectory scratch;

private:
    std::deque<InputFile> openFiles_;
};

}  // namespace

TEST_F(ResourceSectionTest, LaysOutTheDirectoryThenDataInMemoryThenEachFileOnItsOwnPage) {
    // Sizes: a directory 16 bytes and 8 per entry, a data entry 16, a name 2 and 2 per character.
    struct Resource {
        const wchar_t* type;
        const wchar_t* name;
        std::size_t size;
        bool inFile;
    };
    struct Case {
        const char* what;
        std::vector<Resource> resources;
        std::uint64_t size;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> fileParts;  // offset, size
    };
    const std::vector<Case> cases = {
        {"nothing", {}, 16, {}},
        // Directories 24 + 32 + 2 * 24, data entries 2 * 16: 136; data at 136 and 144, the last
        // padded to 8 bytes as well.
        {"two numbers in memory", {{L"#10", L"#1", 3, false}, {L"#10", L"#2", 5, false}}, 152, {}},
        // Directories 3 * 24 and a data entry: 88; names "T" and "NAME" to 102; the file on the next page.
        {"names and a file", {{L"T", L"NAME", 7, true}}, 4096 + 7, {{4096, 7}}},
        // Directories 24 + 40 + 3 * 24, data entries 3 * 16: 184; data 184; files on the pages after.
        {"data in memory and two files",
         {{L"#10", L"#2", 5000, true}, {L"#10", L"#1", 1, false}, {L"#10", L"#3", 1, true}},
         3 * 4096 + 1,
         {{4096, 5000}, {3 * 4096, 1}}},
    };
    for (const Case& c : cases) {
        ResourceSection section;
        for (const Resource& resource : c.resources) {
            if (resource.inFile) {
                section.addFile(idOf(resource.type), idOf(resource.name), fileOf(std::string(resource.size, 'x')));
            } else {
                section.add(idOf(resource.type), idOf(resource.name), std::vector<std::uint8_t>(resource.size, 1));
            }
        }
        const ResourceSection::Layout layout = section.layout(0x7A000);
        EXPECT_EQ(layout.size, c.size) << c.what;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> parts;
        for (const ResourceSection::FilePart& part : layout.fileParts) {
            parts.emplace_back(part.offset, part.size);
        }
        EXPECT_EQ(parts, c.fileParts) << c.what;
        EXPECT_LE(layout.head.size(), c.fileParts.empty() ? c.size : c.fileParts.front().first) << c.what;
    }
}

TEST_F(ResourceSectionTest, RefusesAnEmptyNameTwoResourcesOfOneTypeAndNameAndASectionPast4GiB) {
    EXPECT_EQ(rawMessageOf([] { ResourceId::text(L""); }), "A resource name cannot be empty");

    const std::vector<std::pair<std::vector<std::pair<tstring, tstring>>, std::string>> sharing = {
        {{{L"#10", L"#1"}, {L"#10", L"#1"}}, "Two resources share one type and name"},
        {{{L"#10", L"msi"}, {L"#10", L"MSI"}}, "Two resources share one type and name"},
        {{{L"#10", L"msi"}, {L"#3", L"msi"}}, kNothingThrown},
        {{{L"#10", L"1"}, {L"#10", L"#1"}}, kNothingThrown},
    };
    for (const auto& [resources, message] : sharing) {
        ResourceSection section;
        for (const auto& [type, name] : resources) {
            section.add(idOf(type), idOf(name), {1});
        }
        EXPECT_EQ(rawMessageOf([&] { section.layout(0x1000); }), message) << utf8(resources.back().second);
    }

    // One file at 4096, after its directory, in a section at 4096: the section's end may be
    // 0xFFFFFFFF, the largest address 32 bits hold, and no more.
    const std::uint64_t largest = 0xFFFFFFFFull - 4096 - 4096;
    const std::uint64_t gib = std::uint64_t{1} << 30;
    const std::vector<std::pair<std::vector<std::uint64_t>, std::string>> sizes = {
        {{largest}, kNothingThrown},
        {{largest + 1}, "The resources do not fit into the 4 GiB an executable can hold"},
        {{5 * gib}, "The resources do not fit into the 4 GiB an executable can hold"},
        {{3 * gib, 2 * gib}, "The resources do not fit into the 4 GiB an executable can hold"},
    };
    for (const auto& [fileSizes, message] : sizes) {
        ResourceSection section;
        std::uint16_t id = 0;
        for (const std::uint64_t size : fileSizes) {
            section.addFile(ResourceId::number(10), ResourceId::number(++id), sparseFileOf(size));  // only laid out
        }
        EXPECT_EQ(rawMessageOf([&] { section.layout(4096); }), message) << fileSizes.front();
    }
}
