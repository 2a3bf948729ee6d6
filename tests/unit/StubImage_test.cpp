// The stub taken in and written out with one more section: every stub it refuses, made by
// changing the bytes of the stub the build made; the headers that count the new section; the
// checksum, against the one imagehlp computes.
#include "StubImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>

#include "ContentHash.h"
#include "PackerTestSupport.h"
#include "PeFormat.h"

#include <imagehlp.h>

namespace {

const std::string kNothingThrown = "(nothing thrown)";

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

std::size_t sectionTableOffset(const std::string& image) {
    return ntHeadersOffset(image) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
           ntHeaders(image).FileHeader.SizeOfOptionalHeader;
}

IMAGE_SECTION_HEADER sectionHeader(const std::string& image, std::size_t index) {
    return readStruct<IMAGE_SECTION_HEADER>(image, sectionTableOffset(image) + index * sizeof(IMAGE_SECTION_HEADER));
}

// The stub changed by `edit`, which may change the image and its NT headers; the headers are
// written back afterwards as long as the image still holds them whole.
using Edit = void (*)(std::string& image, IMAGE_NT_HEADERS64& nt);
std::string edited(const std::string& stub, Edit edit) {
    std::string image = stub;
    const std::size_t at = ntHeadersOffset(stub);
    IMAGE_NT_HEADERS64 nt = ntHeaders(stub);
    edit(image, nt);
    if (image.size() >= at + sizeof(nt)) {
        std::memcpy(image.data() + at, &nt, sizeof(nt));
    }
    return image;
}

// Claims `sections` sections, the ones beyond the stub's own empty.
void claimSections(std::string& image, IMAGE_NT_HEADERS64& nt, std::size_t sections) {
    const std::size_t ownEnd =
        sectionTableOffset(image) + nt.FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER);
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(ownEnd),
              image.begin() + static_cast<std::ptrdiff_t>(nt.OptionalHeader.SizeOfHeaders), '\0');
    nt.FileHeader.NumberOfSections = static_cast<WORD>(sections);
}

// How many section headers fit between the section table's start and the end of the headers.
std::size_t sectionSlots(const std::string& image, const IMAGE_NT_HEADERS64& nt) {
    return (nt.OptionalHeader.SizeOfHeaders - sectionTableOffset(image)) / sizeof(IMAGE_SECTION_HEADER);
}

// The first address after the image's last section, aligned: where a new section goes.
std::uint32_t endOfImage(const std::string& image) {
    const IMAGE_NT_HEADERS64 nt = ntHeaders(image);
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        const IMAGE_SECTION_HEADER section = sectionHeader(image, i);
        end = std::max<std::uint64_t>(end, std::uint64_t{section.VirtualAddress} + section.Misc.VirtualSize);
    }
    return static_cast<std::uint32_t>(alignUp(end, nt.OptionalHeader.SectionAlignment));
}

std::string refusalOf(const std::string& image) {
    return rawMessageOf([&] { StubImage(image.data(), image.size()); });
}

class StubImageTest : public ::testing::Test {
protected:
    StubImageTest() : stub_(readFile(packertest::kStub)) {}

    void SetUp() override { ASSERT_GT(stub_.size(), 4096u) << "no stub at " << utf8(packertest::kStub); }

    ScratchDirectory scratch;
    std::string stub_;
};

}  // namespace

TEST_F(StubImageTest, TakesOnlyAnX64ImageWithRoomForOneMoreSectionAtItsEnd) {
    struct Case {
        const char* what;
        Edit edit;
        std::string refusal;  // after "The launcher stub cannot carry resources: "; empty: taken
    };
    const std::vector<Case> cases = {
        {"the stub as built", [](std::string&, IMAGE_NT_HEADERS64&) {}, ""},
        {"no bytes", [](std::string& image, IMAGE_NT_HEADERS64&) { image.clear(); }, "it is no executable"},
        {"shorter than a DOS header",
         [](std::string& image, IMAGE_NT_HEADERS64&) { image.resize(sizeof(IMAGE_DOS_HEADER) - 1); },
         "it is no executable"},
        {"no MZ", [](std::string& image, IMAGE_NT_HEADERS64&) { image[0] = 'N'; }, "it is no executable"},
        {"NT headers past the end",
         [](std::string& image, IMAGE_NT_HEADERS64&) {
             const auto past = static_cast<LONG>(image.size());
             std::memcpy(image.data() + offsetof(IMAGE_DOS_HEADER, e_lfanew), &past, sizeof(past));
         },
         "its headers are cut short"},
        {"NT headers at a negative offset",
         [](std::string& image, IMAGE_NT_HEADERS64&) {
             const LONG negative = -8;
             std::memcpy(image.data() + offsetof(IMAGE_DOS_HEADER, e_lfanew), &negative, sizeof(negative));
         },
         "its headers are cut short"},
        {"NT headers cut short",
         [](std::string& image, IMAGE_NT_HEADERS64&) {
             image.resize(ntHeadersOffset(image) + sizeof(IMAGE_NT_HEADERS64) - 1);
         },
         "its headers are cut short"},
        {"an NE signature", [](std::string&, IMAGE_NT_HEADERS64& nt) { nt.Signature = IMAGE_OS2_SIGNATURE; },
         "it is no x64 executable"},
        {"a 32-bit machine",
         [](std::string&, IMAGE_NT_HEADERS64& nt) { nt.FileHeader.Machine = IMAGE_FILE_MACHINE_I386; },
         "it is no x64 executable"},
        {"a PE32 optional header",
         [](std::string&, IMAGE_NT_HEADERS64& nt) { nt.OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC; },
         "it is no x64 executable"},
        {"no security directory",
         [](std::string&, IMAGE_NT_HEADERS64& nt) {
             nt.OptionalHeader.NumberOfRvaAndSizes = IMAGE_DIRECTORY_ENTRY_SECURITY;
         },
         "it is no x64 executable"},
        {"the security directory the last one",
         [](std::string&, IMAGE_NT_HEADERS64& nt) {
             nt.OptionalHeader.NumberOfRvaAndSizes = IMAGE_DIRECTORY_ENTRY_SECURITY + 1;
         },
         ""},
        {"resources",
         [](std::string&, IMAGE_NT_HEADERS64& nt) {
             nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress = 0x1000;
         },
         "it has resources or a signature already"},
        {"a signature",
         [](std::string&, IMAGE_NT_HEADERS64& nt) {
             nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].VirtualAddress = 0x1000;
         },
         "it has resources or a signature already"},
        {"file alignment 512, section alignment 4096",
         [](std::string&, IMAGE_NT_HEADERS64& nt) {
             nt.OptionalHeader.FileAlignment = 512;
             nt.OptionalHeader.SectionAlignment = 4096;
         },
         "its file alignment differs from its section alignment"},
        {"both alignments 256",
         [](std::string&, IMAGE_NT_HEADERS64& nt) {
             nt.OptionalHeader.FileAlignment = nt.OptionalHeader.SectionAlignment = 256;
         },
         "its file alignment differs from its section alignment"},
        {"both alignments 0",
         [](std::string&, IMAGE_NT_HEADERS64& nt) {
             nt.OptionalHeader.FileAlignment = nt.OptionalHeader.SectionAlignment = 0;
         },
         "its file alignment differs from its section alignment"},
        {"both alignments 6144, no power of two",
         [](std::string&, IMAGE_NT_HEADERS64& nt) {
             nt.OptionalHeader.FileAlignment = nt.OptionalHeader.SectionAlignment = 6144;
         },
         "its file alignment differs from its section alignment"},
        {"both alignments 512",
         [](std::string&, IMAGE_NT_HEADERS64& nt) {
             nt.OptionalHeader.FileAlignment = nt.OptionalHeader.SectionAlignment = 512;
         },
         ""},
        {"a section table that fills the headers",
         [](std::string& image, IMAGE_NT_HEADERS64& nt) { claimSections(image, nt, sectionSlots(image, nt)); },
         "its headers have no room for one more section"},
        {"a section table with one slot free",
         [](std::string& image, IMAGE_NT_HEADERS64& nt) { claimSections(image, nt, sectionSlots(image, nt) - 1); }, ""},
        {"headers longer than the file",
         [](std::string& image, IMAGE_NT_HEADERS64& nt) {
             nt.OptionalHeader.SizeOfHeaders = static_cast<DWORD>(image.size() + 1);
         },
         "its headers have no room for one more section"},
        {"a byte after the last section", [](std::string& image, IMAGE_NT_HEADERS64&) { image.push_back('\0'); },
         "it has data after its last section"},
        {"a symbol table", [](std::string&, IMAGE_NT_HEADERS64& nt) { nt.FileHeader.PointerToSymbolTable = 0x1000; },
         "it has data after its last section"},
        // Cut inside its last section, which is refused by the same check, under the same words.
        {"the last section's last byte missing", [](std::string& image, IMAGE_NT_HEADERS64&) { image.pop_back(); },
         "it has data after its last section"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(refusalOf(edited(stub_, c.edit)),
                  c.refusal.empty() ? kNothingThrown : "The launcher stub cannot carry resources: " + c.refusal)
            << c.what;
    }
}

TEST_F(StubImageTest, TheNewSectionFollowsTheImageAndTheHeadersCountIt) {
    const tstring filePath = scratch / L"file resource";
    const std::string fileData(5000, 'f');
    writeFile(filePath, fileData);
    const std::vector<std::uint8_t> memoryData = {1, 2, 3};

    struct Case {
        const char* what;
        Edit edit;
        bool endsBetweenPages;  // its image and its file
    };
    const std::vector<Case> cases = {
        {"the stub as built", [](std::string&, IMAGE_NT_HEADERS64&) {}, false},
        {"alignment 512, the last section's raw data cut to its contents",
         [](std::string& image, IMAGE_NT_HEADERS64& nt) {
             nt.OptionalHeader.FileAlignment = nt.OptionalHeader.SectionAlignment = 512;
             std::size_t last = 0;
             for (std::size_t i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
                 if (sectionHeader(image, i).PointerToRawData > sectionHeader(image, last).PointerToRawData) {
                     last = i;
                 }
             }
             IMAGE_SECTION_HEADER section = sectionHeader(image, last);
             section.SizeOfRawData = std::min<DWORD>(section.SizeOfRawData, section.Misc.VirtualSize);
             std::memcpy(image.data() + sectionTableOffset(image) + last * sizeof(section), &section, sizeof(section));
             image.resize(section.PointerToRawData + section.SizeOfRawData);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string stub = edited(stub_, c.edit);
        const IMAGE_NT_HEADERS64 before = ntHeaders(stub);
        const std::uint32_t alignment = before.OptionalHeader.SectionAlignment;
        const std::uint32_t rva = endOfImage(stub);
        const std::uint64_t sectionStart = alignUp(stub.size(), alignment);
        if (c.endsBetweenPages) {
            ASSERT_TRUE(stub.size() % 512 != 0 && rva % 4096 != 0) << "the stub no longer ends inside a page";
        }

        InputFile file(filePath);
        ResourceSection resources;
        resources.add(ResourceId::number(10), ResourceId::number(1), memoryData);
        resources.addFile(ResourceId::number(10), ResourceId::text(L"MSI"), file);
        const ResourceSection::Layout layout = resources.layout(rva);
        std::uint64_t progressed = 0;
        const tstring output = scratch / L"launcher.exe";
        const StubImage::Written written =
            writeLauncher(stub, resources, output, [&](std::uint64_t done, std::uint64_t total) {
                EXPECT_EQ(total, fileData.size());
                EXPECT_GT(done, progressed);
                progressed = done;
            });
        EXPECT_EQ(progressed, fileData.size());
        EXPECT_EQ(written.fileHashes,
                  std::vector<std::uint64_t>{ContentHash().update(fileData.data(), fileData.size()).digest()});

        std::string image = readFile(output);
        const IMAGE_NT_HEADERS64 after = ntHeaders(image);
        ASSERT_EQ(after.FileHeader.NumberOfSections, before.FileHeader.NumberOfSections + 1);
        const IMAGE_SECTION_HEADER added = sectionHeader(image, before.FileHeader.NumberOfSections);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(added.Name), sizeof(added.Name)),
                  std::string(".rsrc\0\0\0", 8));
        EXPECT_EQ(added.VirtualAddress, rva);
        EXPECT_EQ(added.Misc.VirtualSize, layout.size);
        EXPECT_EQ(added.PointerToRawData, sectionStart);
        EXPECT_EQ(added.SizeOfRawData, alignUp(layout.size, alignment));
        EXPECT_EQ(added.Characteristics, static_cast<DWORD>(IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ));
        EXPECT_EQ(after.OptionalHeader.SizeOfImage, alignUp(rva + layout.size, alignment));
        EXPECT_EQ(after.OptionalHeader.SizeOfInitializedData,
                  before.OptionalHeader.SizeOfInitializedData + added.SizeOfRawData);
        EXPECT_EQ(after.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress, rva);
        EXPECT_EQ(after.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].Size, layout.size);
        EXPECT_EQ(image.size(), added.PointerToRawData + added.SizeOfRawData);
        EXPECT_EQ(written.size, image.size());

        // The stub's own sections and bytes as they were; zeros up to the new section; the
        // section's parts where its layout puts them.
        const std::size_t table = sectionTableOffset(stub);
        const std::size_t tableSize = before.FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER);
        EXPECT_TRUE(image.compare(table, tableSize, stub, table, tableSize) == 0);
        const std::size_t headersEnd = before.OptionalHeader.SizeOfHeaders;
        EXPECT_TRUE(image.compare(headersEnd, stub.size() - headersEnd, stub, headersEnd) == 0);
        EXPECT_TRUE(
            image.compare(stub.size(), sectionStart - stub.size(), std::string(sectionStart - stub.size(), '\0')) == 0);
        EXPECT_TRUE(
            image.compare(sectionStart, layout.head.size(), std::string(layout.head.begin(), layout.head.end())) == 0);
        EXPECT_TRUE(image.compare(sectionStart + layout.fileParts.at(0).offset, fileData.size(), fileData) == 0);

        DWORD headerSum = 0;
        DWORD computedSum = 0;
        ASSERT_NE(CheckSumMappedFile(image.data(), static_cast<DWORD>(image.size()), &headerSum, &computedSum),
                  nullptr);
        EXPECT_EQ(headerSum, computedSum);
        EXPECT_NE(headerSum, 0u);
    }
}

TEST_F(StubImageTest, RefusesAnImageWindowsWouldNotLoadBeforeWritingAnything) {
    const std::uint32_t rva = endOfImage(stub_);
    const StubImage stub(stub_.data(), stub_.size());
    // Sparse files: laid out by their sizes, never read.
    const auto sizedFile = [&](const wchar_t* name, std::uint64_t size) {
        writeSparseFile(scratch / name, size);
        return InputFile(scratch / name);
    };
    InputFile one = sizedFile(L"one", 1);
    ResourceSection probe;
    probe.addFile(ResourceId::number(10), ResourceId::number(1), one);
    // The largest file leaves the image's size, aligned, at the largest Windows loads.
    const std::uint64_t largest = pe::kLargestImage - rva - (probe.layout(rva).size - 1);

    InputFile fitting = sizedFile(L"fitting", largest);
    ResourceSection fits;
    fits.addFile(ResourceId::number(10), ResourceId::number(1), fitting);
    EXPECT_EQ(stub.place(fits).imageSize, pe::kLargestImage);

    InputFile larger = sizedFile(L"larger", largest + 1);
    ResourceSection tooLarge;
    tooLarge.addFile(ResourceId::number(10), ResourceId::number(1), larger);
    EXPECT_EQ(rawMessageOf([&] { writeLauncher(stub_, tooLarge, scratch / L"huge.exe"); }),
              "The launcher would be " + std::to_string(pe::kLargestImage + 4096) +
                  " bytes in memory, more than Windows loads");
    EXPECT_FALSE(FileUtils::pathExists(scratch / L"huge.exe"));

    // Files that together pass the limit are refused before the section is laid out (its
    // 32-bit fields could not hold them): the size is a lower bound.
    InputFile half = sizedFile(L"half", pe::kLargestImage / 2 + 1);
    InputFile otherHalf = sizedFile(L"other half", pe::kLargestImage / 2 + 1);
    ResourceSection both;
    both.addFile(ResourceId::number(10), ResourceId::number(1), half);
    both.addFile(ResourceId::number(10), ResourceId::number(2), otherHalf);
    const auto refusal = [&](const ResourceSection& resources) -> std::pair<std::uint64_t, bool> {
        try {
            stub.place(resources);
        } catch (const ImageTooLarge& e) {
            return {e.imageSize(), e.atLeast()};
        }
        return {0, false};
    };
    EXPECT_EQ(refusal(tooLarge), std::make_pair(pe::kLargestImage + 4096, false));
    EXPECT_EQ(refusal(both), std::make_pair(2 * (pe::kLargestImage / 2 + 1), true));
}

TEST_F(StubImageTest, PeChecksumInAnyPiecesIsTheSystemsChecksum) {
    // The stub with its checksum field cleared and a tail of 0xFF bytes: long enough for the sum
    // to pass 32 bits, of odd length so that its last 16-bit word is only half there.
    std::string image = stub_;
    std::memset(image.data() + ntHeadersOffset(image) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader.CheckSum), 0, 4);
    image.append(1024 * 1024 + 1, '\xFF');
    DWORD headerSum = 0;
    DWORD expected = 0;
    ASSERT_NE(CheckSumMappedFile(image.data(), static_cast<DWORD>(image.size()), &headerSum, &expected), nullptr);

    for (const std::size_t piece :
         {image.size(), std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4095}, std::size_t{65537}}) {
        PeChecksum checksum;
        for (std::size_t at = 0; at < image.size(); at += piece) {
            checksum.update(image.data() + at, std::min(piece, image.size() - at));
            checksum.update(image.data() + at, 0);
        }
        EXPECT_EQ(checksum.value(), expected) << "pieces of " << piece;
    }
}
