#include "StubImage.h"

#include <algorithm>
#include <cstring>

#include "ContentHash.h"
#include "ErrorHandling.h"
#include "LittleEndian.h"
#include "PeFormat.h"

namespace {

constexpr std::size_t kCopyChunk = 256 * 1024;

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

[[noreturn]] void refuseStub(const char* reason) {
    LD_THROW(tstrings::MessageBuilder() << "The launcher stub cannot carry resources: " << reason);
}

// Writes to the output while keeping the checksum.
class ChecksummedOutput {
public:
    explicit ChecksummedOutput(ByteSink& out) : out_(out) {}

    void write(const void* data, std::size_t size) {
        out_.write(data, size);
        checksum_.update(data, size);
        written_ += size;
    }
    void zerosUpTo(std::uint64_t position) {
        static const std::uint8_t zeros[4096] = {};
        while (written_ < position) {
            write(zeros, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof(zeros), position - written_)));
        }
    }
    std::uint64_t written() const { return written_; }
    std::uint32_t checksum() const { return checksum_.value(); }

private:
    ByteSink& out_;
    PeChecksum checksum_;
    std::uint64_t written_ = 0;
};

}  // namespace

void PeChecksum::update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    length_ += size;
    std::size_t i = 0;
    if (pendingByte_ >= 0 && size > 0) {
        sum_ += static_cast<std::uint64_t>(pendingByte_) | static_cast<std::uint64_t>(bytes[0]) << 8;
        pendingByte_ = -1;
        i = 1;
    }
    // Two 16-bit words at a time, as one 32-bit half: a half is its low word plus 65536 times its
    // high word, and 65536 counts as 1 once the sum is folded, so the folded sum is the same. A
    // block of 2^24 halves cannot overflow 64 bits, so its loop has no branch and vectorizes.
    constexpr std::size_t kBlockHalves = std::size_t{1} << 24;
    while (i + 4 <= size) {
        const std::size_t halves = std::min((size - i) / 4, kBlockHalves);
        std::uint64_t block = 0;
        for (std::size_t k = 0; k < halves; ++k) {
            std::uint32_t half = 0;
            std::memcpy(&half, bytes + i + 4 * k, sizeof(half));  // little-endian, as the words are
            block += half;
        }
        i += 4 * halves;
        sum_ += block;
        while (sum_ > 0xFFFFFFFFull) {
            sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
        }
    }
    for (; i + 1 < size; i += 2) {
        sum_ += static_cast<std::uint64_t>(bytes[i]) | static_cast<std::uint64_t>(bytes[i + 1]) << 8;
    }
    if (i < size) {
        pendingByte_ = bytes[i];
    }
    // Folding now and then keeps the sum from overflowing, whatever the length.
    if (sum_ > 0xFFFFFFFFull) {
        sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
    }
}

std::uint32_t PeChecksum::value() const {
    std::uint64_t sum = sum_ + (pendingByte_ >= 0 ? static_cast<std::uint64_t>(pendingByte_) : 0);
    while (sum > 0xFFFF) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint32_t>(sum + length_);
}

StubImage::StubImage(const void* data, std::size_t size) : data_(static_cast<const std::uint8_t*>(data)), size_(size) {
    if (size_ < pe::kDosHeaderSize || littleEndian::read16(data_) != pe::kDosSignature) {
        refuseStub("it is no executable");
    }
    ntHeadersOffset_ = littleEndian::read32(data_ + pe::kNtHeadersOffsetField);
    if (ntHeadersOffset_ > size_ || size_ - ntHeadersOffset_ < pe::kOptionalHeaderOffset + pe::kOptionalHeaderSize) {
        refuseStub("its headers are cut short");
    }
    const std::uint8_t* fileHeader = data_ + ntHeadersOffset_ + pe::kFileHeaderOffset;
    const std::uint8_t* optional = data_ + ntHeadersOffset_ + pe::kOptionalHeaderOffset;
    if (littleEndian::read32(data_ + ntHeadersOffset_) != pe::kNtSignature ||
        littleEndian::read16(fileHeader + pe::kMachine) != pe::kMachineAmd64 ||
        littleEndian::read16(optional + pe::kMagic) != pe::kPe32PlusMagic ||
        littleEndian::read32(optional + pe::kNumberOfRvaAndSizes) <= pe::kSecurityDirectory) {
        refuseStub("it is no x64 executable");
    }
    const auto directory = [&](std::size_t which) {
        return littleEndian::read32(optional + pe::kDataDirectories + which * pe::kDataDirectorySize);
    };
    if (directory(pe::kResourceDirectory) != 0 || directory(pe::kSecurityDirectory) != 0) {
        refuseStub("it has resources or a signature already");
    }
    alignment_ = littleEndian::read32(optional + pe::kFileAlignment);
    if (alignment_ != littleEndian::read32(optional + pe::kSectionAlignment) || alignment_ < 512 ||
        (alignment_ & (alignment_ - 1)) != 0) {
        refuseStub("its file alignment differs from its section alignment");
    }
    sizeOfHeaders_ = littleEndian::read32(optional + pe::kSizeOfHeaders);
    sectionTableOffset_ =
        ntHeadersOffset_ + pe::kOptionalHeaderOffset + littleEndian::read16(fileHeader + pe::kSizeOfOptionalHeader);
    sections_ = littleEndian::read16(fileHeader + pe::kNumberOfSections);
    if (sectionTableOffset_ + (sections_ + std::size_t{1}) * pe::kSectionHeaderSize > sizeOfHeaders_ ||
        sizeOfHeaders_ > size_) {
        refuseStub("its headers have no room for one more section");
    }
    std::uint64_t endOfFile = sizeOfHeaders_;
    std::uint64_t endOfImage = sizeOfHeaders_;
    for (std::size_t i = 0; i < sections_; ++i) {
        const std::uint8_t* section = data_ + sectionTableOffset_ + i * pe::kSectionHeaderSize;
        const std::uint32_t rawSize = littleEndian::read32(section + pe::kSizeOfRawData);
        if (rawSize > 0) {
            endOfFile = std::max<std::uint64_t>(
                endOfFile, std::uint64_t{littleEndian::read32(section + pe::kPointerToRawData)} + rawSize);
        }
        endOfImage =
            std::max<std::uint64_t>(endOfImage, std::uint64_t{littleEndian::read32(section + pe::kVirtualAddress)} +
                                                    littleEndian::read32(section + pe::kVirtualSize));
    }
    if (endOfFile != size_ || littleEndian::read32(fileHeader + pe::kPointerToSymbolTable) != 0) {
        refuseStub("it has data after its last section");
    }
    endOfImage_ = static_cast<std::uint32_t>(alignUp(endOfImage, alignment_));
}

std::uint64_t StubImage::sectionOffset() const {
    return alignUp(size_, alignment_);
}

ImageTooLarge::ImageTooLarge(std::uint64_t imageSize, bool atLeast)
    : std::runtime_error((tstrings::MessageBuilder() << "The launcher would be " << (atLeast ? "more than " : "")
                                                     << imageSize << " bytes in memory, more than Windows loads")
                             .str()),
      imageSize_(imageSize),
      atLeast_(atLeast) {}

StubImage::Placed StubImage::place(const ResourceSection& resources) const {
    if (const std::uint64_t carried = resources.fileBytes(); carried > pe::kLargestImage) {
        LD_THROW(ImageTooLarge(carried, true));
    }
    Placed placed{resources.layout(endOfImage_), 0};
    placed.imageSize = alignUp(endOfImage_ + placed.layout.size, alignment_);
    if (placed.imageSize > pe::kLargestImage) {
        LD_THROW(ImageTooLarge(placed.imageSize, false));
    }
    return placed;
}

StubImage::Written StubImage::write(const Placed& placed, ByteSink& out, const Progress& progress) const {
    const ResourceSection::Layout& layout = placed.layout;
    const std::uint64_t rawSize = alignUp(layout.size, alignment_);
    const std::uint64_t imageSize = placed.imageSize;

    // The headers, told about the new section; the checksum is filled in last.
    std::vector<std::uint8_t> headers(data_, data_ + sizeOfHeaders_);
    const std::size_t fileHeader = ntHeadersOffset_ + pe::kFileHeaderOffset;
    const std::size_t optional = ntHeadersOffset_ + pe::kOptionalHeaderOffset;
    const std::size_t section = sectionTableOffset_ + sections_ * pe::kSectionHeaderSize;
    const auto put32 = [&](std::size_t at, std::uint32_t value) { LittleEndianWriter(headers, at).put32(value); };
    LittleEndianWriter(headers, section + pe::kSectionName).putBytes(".rsrc\0\0\0", 8);
    put32(section + pe::kVirtualSize, static_cast<std::uint32_t>(layout.size));
    put32(section + pe::kVirtualAddress, endOfImage_);
    put32(section + pe::kSizeOfRawData, static_cast<std::uint32_t>(rawSize));
    put32(section + pe::kPointerToRawData, static_cast<std::uint32_t>(sectionOffset()));
    put32(section + pe::kCharacteristics, pe::kInitializedData | pe::kMemoryRead);
    LittleEndianWriter(headers, fileHeader + pe::kNumberOfSections).put16(static_cast<std::uint16_t>(sections_ + 1));
    put32(optional + pe::kSizeOfInitializedData,
          littleEndian::read32(headers.data() + optional + pe::kSizeOfInitializedData) +
              static_cast<std::uint32_t>(rawSize));
    put32(optional + pe::kSizeOfImage, static_cast<std::uint32_t>(imageSize));
    const std::size_t resourceDirectory =
        optional + pe::kDataDirectories + pe::kResourceDirectory * pe::kDataDirectorySize;
    put32(resourceDirectory, endOfImage_);
    put32(resourceDirectory + 4, static_cast<std::uint32_t>(layout.size));
    put32(optional + pe::kCheckSum, 0);

    ChecksummedOutput image(out);
    image.write(headers.data(), headers.size());
    image.write(data_ + sizeOfHeaders_, size_ - sizeOfHeaders_);
    image.zerosUpTo(sectionOffset());
    image.write(layout.head.data(), layout.head.size());

    std::uint64_t total = 0;
    for (const auto& part : layout.fileParts) {
        total += part.size;
    }
    Written written;
    std::vector<std::uint8_t> buffer(kCopyChunk);
    std::uint64_t done = 0;
    for (const auto& part : layout.fileParts) {
        image.zerosUpTo(sectionOffset() + part.offset);
        ContentHash hash;
        for (std::uint64_t left = part.size; left > 0;) {
            const std::size_t read =
                part.file->read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left)));
            if (read == 0) {
                LD_THROW(tstrings::MessageBuilder()
                         << part.file->path() << " ended before its size: it changed while it was read");
            }
            image.write(buffer.data(), read);
            hash.update(buffer.data(), read);
            left -= read;
            done += read;
            if (progress) {
                progress(done, total, part.file->path());
            }
        }
        written.fileHashes.push_back(hash.digest());
    }
    if (layout.makeLast) {
        const std::vector<std::uint8_t> last = layout.makeLast(written.fileHashes);
        if (last.size() != layout.lastSize) {
            LD_THROW("The resource made last is not the size it was laid out with");
        }
        image.zerosUpTo(sectionOffset() + layout.lastOffset);
        image.write(last.data(), last.size());
    }
    image.zerosUpTo(sectionOffset() + rawSize);

    std::vector<std::uint8_t> checksum;
    LittleEndianWriter(checksum).put32(image.checksum());
    out.writeAt(ntHeadersOffset_ + pe::kOptionalHeaderOffset + pe::kCheckSum, checksum.data(), checksum.size());
    written.size = image.written();
    return written;
}
