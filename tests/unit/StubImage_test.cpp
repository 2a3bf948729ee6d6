// The stub taken in and written out with one more section: every stub it refuses, made by
// changing the bytes of the stub the build made; the headers that count the new section; the
// checksum, in any pieces (StubImage_win_test holds it against the system's).
#include "StubImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>

#include "ContentHash.h"
#include "PackerTestSupport.h"

namespace {

const std::string kNothingThrown = "(nothing thrown)";

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// The stub changed by `edit`, given where the stub's headers lie.
using Edit = std::function<void(std::string& image, const PeHeaders& at)>;
std::string edited(const std::string& stub, Edit edit) {
    std::string image = stub;
    edit(image, PeHeaders(stub));
    return image;
}

std::uint64_t sizeOfHeaders(const std::string& image, const PeHeaders& at) {
    return fieldAt(image, at.optional + pe::kSizeOfHeaders, 4);
}

// How many section headers fit between the section table's start and the end of the headers.
std::uint64_t sectionSlots(const std::string& image, const PeHeaders& at) {
    return (sizeOfHeaders(image, at) - at.sections) / pe::kSectionHeaderSize;
}

// Claims `sections` sections, the ones beyond the stub's own empty.
void claimSections(std::string& image, const PeHeaders& at, std::uint64_t sections) {
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(at.section(at.sectionCount)),
              image.begin() + static_cast<std::ptrdiff_t>(sizeOfHeaders(image, at)), '\0');
    setField(image, at.file + pe::kNumberOfSections, sections, 2);
}

// Sets the field of `size` bytes at `offset` from one of the places of the headers.
Edit setting(std::size_t PeHeaders::*place, std::size_t offset, std::size_t size, std::uint64_t value) {
    return [=](std::string& image, const PeHeaders& at) { setField(image, at.*place + offset, value, size); };
}

std::size_t directoryField(std::size_t index) {
    return pe::kDataDirectories + index * pe::kDataDirectorySize;
}

void setNtOffset(std::string& image, std::int64_t offset) {
    setField(image, pe::kNtHeadersOffsetField, static_cast<std::uint64_t>(offset), 4);
}

void setAlignments(std::string& image, const PeHeaders& at, std::uint32_t file, std::uint32_t section) {
    setField(image, at.optional + pe::kFileAlignment, file, 4);
    setField(image, at.optional + pe::kSectionAlignment, section, 4);
}

Edit aligned(std::uint32_t file, std::uint32_t section) {
    return [=](std::string& image, const PeHeaders& at) { setAlignments(image, at, file, section); };
}

std::string refusalOf(const std::string& image) {
    return rawMessageOf([&] { StubImage(image.data(), image.size()); });
}

class StubImageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GT(stub_.size(), 4096u) << "no stub at " << utf8(packertest::kStub); }

    ScratchDirectory scratch;
    const std::string& stub_ = builtStub();
};

}  // namespace

TEST_F(StubImageTest, TakesOnlyAnX64ImageWithRoomForOneMoreSectionAtItsEnd) {
    const std::string noRoom = "its headers have no room for one more section";
    const std::string notX64 = "it is no x64 executable";
    const std::string misaligned = "its file alignment differs from its section alignment";
    const std::string resourcesOrSignature = "it has resources or a signature already";
    const std::string dataAfter = "it has data after its last section";
    struct Case {
        const char* what;
        Edit edit;
        std::string refusal;  // after "The launcher stub cannot carry resources: "; empty: taken
    };
    const std::vector<Case> cases = {
        {"the stub as built", [](std::string&, const PeHeaders&) {}, ""},
        {"no bytes", [](std::string& image, const PeHeaders&) { image.clear(); }, "it is no executable"},
        {"shorter than a DOS header",
         [](std::string& image, const PeHeaders&) { image.resize(pe::kDosHeaderSize - 1); }, "it is no executable"},
        {"no MZ", [](std::string& image, const PeHeaders&) { image[0] = 'N'; }, "it is no executable"},
        {"NT headers past the end",
         [](std::string& image, const PeHeaders&) { setNtOffset(image, static_cast<std::int64_t>(image.size())); },
         "its headers are cut short"},
        {"NT headers at a negative offset", [](std::string& image, const PeHeaders&) { setNtOffset(image, -8); },
         "its headers are cut short"},
        {"NT headers cut short",
         [](std::string& image, const PeHeaders& at) { image.resize(at.optional + pe::kOptionalHeaderSize - 1); },
         "its headers are cut short"},
        {"an NE signature", setting(&PeHeaders::nt, 0, 4, 0x454E), notX64},
        {"a 32-bit machine", setting(&PeHeaders::file, pe::kMachine, 2, 0x14C), notX64},
        {"a PE32 optional header", setting(&PeHeaders::optional, pe::kMagic, 2, 0x10B), notX64},
        {"no security directory", setting(&PeHeaders::optional, pe::kNumberOfRvaAndSizes, 4, pe::kSecurityDirectory),
         notX64},
        {"the security directory the last one",
         setting(&PeHeaders::optional, pe::kNumberOfRvaAndSizes, 4, pe::kSecurityDirectory + 1), ""},
        {"resources", setting(&PeHeaders::optional, directoryField(pe::kResourceDirectory), 4, 0x1000),
         resourcesOrSignature},
        {"a signature", setting(&PeHeaders::optional, directoryField(pe::kSecurityDirectory), 4, 0x1000),
         resourcesOrSignature},
        {"file alignment 512, section alignment 4096", aligned(512, 4096), misaligned},
        {"both alignments 256", aligned(256, 256), misaligned},
        {"both alignments 0", aligned(0, 0), misaligned},
        {"both alignments 6144, no power of two", aligned(6144, 6144), misaligned},
        {"both alignments 512", aligned(512, 512), ""},
        {"a section table that fills the headers",
         [](std::string& image, const PeHeaders& at) { claimSections(image, at, sectionSlots(image, at)); }, noRoom},
        {"a section table with one slot free",
         [](std::string& image, const PeHeaders& at) { claimSections(image, at, sectionSlots(image, at) - 1); }, ""},
        {"headers longer than the file",
         [](std::string& image, const PeHeaders& at) {
             setField(image, at.optional + pe::kSizeOfHeaders, image.size() + 1, 4);
         },
         noRoom},
        {"a byte after the last section", [](std::string& image, const PeHeaders&) { image.push_back('\0'); },
         dataAfter},
        {"a symbol table", setting(&PeHeaders::file, pe::kPointerToSymbolTable, 4, 0x1000), dataAfter},
        // Cut inside its last section, which is refused by the same check, under the same words.
        {"the last section's last byte missing", [](std::string& image, const PeHeaders&) { image.pop_back(); },
         dataAfter},
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

    struct Case {
        const char* what;
        Edit edit;
        bool endsBetweenPages;  // its file
    };
    const std::vector<Case> cases = {
        {"the stub as built", [](std::string&, const PeHeaders&) {}, false},
        {"alignment 512, the last section's raw data cut to its contents",
         [](std::string& image, const PeHeaders& at) {
             setAlignments(image, at, 512, 512);
             std::size_t last = at.section(0);
             for (std::uint64_t i = 0; i < at.sectionCount; ++i) {
                 if (fieldAt(image, at.section(i) + pe::kPointerToRawData, 4) >
                     fieldAt(image, last + pe::kPointerToRawData, 4)) {
                     last = at.section(i);
                 }
             }
             std::uint64_t rawSize =
                 std::min(fieldAt(image, last + pe::kSizeOfRawData, 4), fieldAt(image, last + pe::kVirtualSize, 4));
             // The case needs a file that ends between two 512-byte blocks, whatever the linker's last
             // section holds (the loader fills the bytes cut here with zeros).
             if (rawSize % 512 == 0) {
                 rawSize -= 8;
             }
             setField(image, last + pe::kSizeOfRawData, rawSize, 4);
             image.resize(fieldAt(image, last + pe::kPointerToRawData, 4) + rawSize);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string stub = edited(stub_, c.edit);
        const PeHeaders at(stub);
        const std::uint64_t alignment = fieldAt(stub, at.optional + pe::kSectionAlignment, 4);
        const std::uint64_t sectionStart = alignUp(stub.size(), alignment);
        ASSERT_EQ(stub.size() % 512 != 0, c.endsBetweenPages) << "the stub no longer ends as the case needs";

        InputFile file(filePath);
        ResourceSection resources;
        resources.add(ResourceId::number(10), ResourceId::number(1), {1, 2, 3});
        resources.addFile(ResourceId::number(10), ResourceId::text(L"MSI"), file);
        const ResourceSection::Layout layout = StubImage(stub.data(), stub.size()).place(resources).layout;
        std::uint64_t progressed = 0;
        StubImage::Written written;
        std::string image = launcherWith(
            resources, stub,
            [&](std::uint64_t done, std::uint64_t total, const tstring&) {
                EXPECT_EQ(total, fileData.size());
                EXPECT_GT(done, progressed);
                progressed = done;
            },
            &written);
        EXPECT_EQ(progressed, fileData.size());
        EXPECT_EQ(written.fileHashes,
                  std::vector<std::uint64_t>{ContentHash().update(fileData.data(), fileData.size()).digest()});

        const PeHeaders after(image);
        ASSERT_EQ(after.sectionCount, at.sectionCount + 1);
        const std::size_t added = after.section(at.sectionCount);
        const auto field = [&](std::size_t offset) { return fieldAt(image, offset, 4); };
        EXPECT_EQ(image.substr(added + pe::kSectionName, 8), std::string(".rsrc\0\0\0", 8));
        // Aligned, after every section of the stub, and less than a page past the last one.
        const std::uint64_t rva = field(added + pe::kVirtualAddress);
        std::uint64_t stubEnd = 0;
        for (std::uint64_t i = 0; i < at.sectionCount; ++i) {
            const std::size_t section = at.section(i);
            stubEnd = std::max(stubEnd, field(section + pe::kVirtualAddress) + field(section + pe::kVirtualSize));
        }
        EXPECT_EQ(rva % alignment, 0u);
        EXPECT_GE(rva, stubEnd);
        EXPECT_LT(rva, stubEnd + alignment);
        if (c.endsBetweenPages) {
            EXPECT_NE(rva % 4096, 0u) << "the stub's image no longer ends inside a page";
        }
        EXPECT_EQ(field(added + pe::kVirtualSize), layout.size);
        EXPECT_EQ(field(added + pe::kPointerToRawData), sectionStart);
        const std::uint64_t rawSize = field(added + pe::kSizeOfRawData);
        EXPECT_EQ(rawSize, alignUp(layout.size, alignment));
        EXPECT_EQ(field(added + pe::kCharacteristics), pe::kInitializedData | pe::kMemoryRead);
        EXPECT_EQ(field(after.optional + pe::kSizeOfImage), alignUp(rva + layout.size, alignment));
        EXPECT_EQ(field(after.optional + pe::kSizeOfInitializedData),
                  fieldAt(stub, at.optional + pe::kSizeOfInitializedData, 4) + rawSize);
        EXPECT_EQ(field(after.directory(pe::kResourceDirectory)), rva);
        EXPECT_EQ(field(after.directory(pe::kResourceDirectory) + 4), layout.size);
        EXPECT_EQ(image.size(), sectionStart + rawSize);
        EXPECT_EQ(written.size, image.size());

        // The stub's own sections and bytes as they were; zeros up to the new section; the
        // section's parts where its layout puts them.
        const std::size_t tableSize = at.section(at.sectionCount) - at.sections;
        EXPECT_TRUE(image.compare(at.sections, tableSize, stub, at.sections, tableSize) == 0);
        const auto headersEnd = static_cast<std::size_t>(sizeOfHeaders(stub, at));
        EXPECT_TRUE(image.compare(headersEnd, stub.size() - headersEnd, stub, headersEnd) == 0);
        EXPECT_TRUE(
            image.compare(stub.size(), sectionStart - stub.size(), std::string(sectionStart - stub.size(), '\0')) == 0);
        EXPECT_TRUE(
            image.compare(sectionStart, layout.head.size(), std::string(layout.head.begin(), layout.head.end())) == 0);
        EXPECT_TRUE(image.compare(sectionStart + layout.fileParts.at(0).offset, fileData.size(), fileData) == 0);

        // The checksum of the whole, its own field counted as zero.
        const std::uint64_t checksum = field(after.optional + pe::kCheckSum);
        setField(image, after.optional + pe::kCheckSum, 0, 4);
        PeChecksum expected;
        expected.update(image.data(), image.size());
        EXPECT_EQ(checksum, expected.value());
    }
}

TEST_F(StubImageTest, RefusesAnImageWindowsWouldNotLoadBeforeWritingAnything) {
    const StubImage stub(stub_.data(), stub_.size());
    // Sparse files: laid out by their sizes, never read.
    const auto sizedFile = [&](const wchar_t* name, std::uint64_t size) {
        writeSparseFile(scratch / name, size);
        return InputFile(scratch / name);
    };
    InputFile one = sizedFile(L"one", 1);
    ResourceSection probe;
    probe.addFile(ResourceId::number(10), ResourceId::number(1), one);
    // The file's page starts a page before the end of an image that carries one byte of it; the
    // largest file ends the image at the largest Windows loads.
    const std::uint64_t largest = pe::kLargestImage - (stub.place(probe).imageSize - 4096);

    InputFile fitting = sizedFile(L"fitting", largest);
    ResourceSection fits;
    fits.addFile(ResourceId::number(10), ResourceId::number(1), fitting);
    EXPECT_EQ(stub.place(fits).imageSize, pe::kLargestImage);

    InputFile larger = sizedFile(L"larger", largest + 1);
    ResourceSection tooLarge;
    tooLarge.addFile(ResourceId::number(10), ResourceId::number(1), larger);
    MemoryOutput out;
    EXPECT_EQ(rawMessageOf([&] { stub.writeWith(tooLarge, out, nullptr); }),
              "The launcher would be " + std::to_string(pe::kLargestImage + 4096) +
                  " bytes in memory, more than Windows loads");
    EXPECT_TRUE(out.bytes.empty());

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

TEST_F(StubImageTest, PeChecksumInAnyPiecesIsTheSameAsInOne) {
    const std::string image = checksummedImage();
    PeChecksum whole;
    whole.update(image.data(), image.size());
    for (const std::size_t piece : {1u, 2u, 3u, 4095u, 65537u}) {
        PeChecksum checksum;
        for (std::size_t at = 0; at < image.size(); at += piece) {
            checksum.update(image.data() + at, std::min(piece, image.size() - at));
            checksum.update(image.data() + at, 0);
        }
        EXPECT_EQ(checksum.value(), whole.value()) << "pieces of " << piece;
    }
}
