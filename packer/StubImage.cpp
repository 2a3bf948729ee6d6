#include "StubImage.h"

#include <algorithm>
#include <cstring>

#include "ContentHash.h"
#include "ErrorHandling.h"

namespace {

constexpr std::size_t kCopyChunk = 1024 * 1024;
constexpr std::uint32_t kResourceCharacteristics = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ;

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

template <typename T>
T readAt(const std::uint8_t* data, std::size_t offset) {
    T value;
    std::memcpy(&value, data + offset, sizeof(T));
    return value;
}

[[noreturn]] void refuseStub(const char* reason) {
    LD_THROW(tstrings::MessageBuilder() << "The launcher stub cannot carry resources: " << reason);
}

// Writes to the output while keeping the checksum.
class ChecksummedOutput {
public:
    explicit ChecksummedOutput(FileUtils::StagedFileWriter& out) : out_(out) {}

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
    FileUtils::StagedFileWriter& out_;
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
    if (size_ < sizeof(IMAGE_DOS_HEADER) || readAt<IMAGE_DOS_HEADER>(data_, 0).e_magic != IMAGE_DOS_SIGNATURE) {
        refuseStub("it is no executable");
    }
    ntHeadersOffset_ = static_cast<std::size_t>(readAt<IMAGE_DOS_HEADER>(data_, 0).e_lfanew);
    if (ntHeadersOffset_ > size_ || size_ - ntHeadersOffset_ < sizeof(IMAGE_NT_HEADERS64)) {
        refuseStub("its headers are cut short");
    }
    const auto nt = readAt<IMAGE_NT_HEADERS64>(data_, ntHeadersOffset_);
    if (nt.Signature != IMAGE_NT_SIGNATURE || nt.FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64 ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_SECURITY) {
        refuseStub("it is no x64 executable");
    }
    const auto& directories = nt.OptionalHeader.DataDirectory;
    if (directories[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress != 0 ||
        directories[IMAGE_DIRECTORY_ENTRY_SECURITY].VirtualAddress != 0) {
        refuseStub("it has resources or a signature already");
    }
    alignment_ = nt.OptionalHeader.FileAlignment;
    if (alignment_ != nt.OptionalHeader.SectionAlignment || alignment_ < 512 || (alignment_ & (alignment_ - 1)) != 0) {
        refuseStub("its file alignment differs from its section alignment");
    }
    sizeOfHeaders_ = nt.OptionalHeader.SizeOfHeaders;
    sectionTableOffset_ =
        ntHeadersOffset_ + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    const std::size_t sections = nt.FileHeader.NumberOfSections;
    if (sectionTableOffset_ + (sections + 1) * sizeof(IMAGE_SECTION_HEADER) > sizeOfHeaders_ ||
        sizeOfHeaders_ > size_) {
        refuseStub("its headers have no room for one more section");
    }
    std::uint64_t endOfFile = sizeOfHeaders_;
    std::uint64_t endOfImage = sizeOfHeaders_;
    for (std::size_t i = 0; i < sections; ++i) {
        const auto section =
            readAt<IMAGE_SECTION_HEADER>(data_, sectionTableOffset_ + i * sizeof(IMAGE_SECTION_HEADER));
        if (section.SizeOfRawData > 0) {
            endOfFile =
                std::max<std::uint64_t>(endOfFile, std::uint64_t{section.PointerToRawData} + section.SizeOfRawData);
        }
        endOfImage =
            std::max<std::uint64_t>(endOfImage, std::uint64_t{section.VirtualAddress} + section.Misc.VirtualSize);
    }
    if (endOfFile != size_ || nt.FileHeader.PointerToSymbolTable != 0) {
        refuseStub("it has data after its last section");
    }
    endOfImage_ = static_cast<std::uint32_t>(alignUp(endOfImage, alignment_));
}

StubImage::Written StubImage::writeWith(const ResourceSection& resources, FileUtils::StagedFileWriter& out,
                                        const Progress& progress) const {
    const std::uint64_t sectionOffset = alignUp(size_, alignment_);
    const ResourceSection::Layout layout = resources.layout(endOfImage_);
    const std::uint64_t rawSize = alignUp(layout.size, alignment_);
    const std::uint64_t imageSize = alignUp(endOfImage_ + layout.size, alignment_);
    if (imageSize > 0xFFFFFFFFull || sectionOffset + rawSize > 0xFFFFFFFFull) {
        LD_THROW("The launcher would be larger than the 4 GiB an executable can be");
    }

    // The headers, told about the new section; the checksum is filled in last.
    std::vector<std::uint8_t> headers(data_, data_ + sizeOfHeaders_);
    auto nt = readAt<IMAGE_NT_HEADERS64>(headers.data(), ntHeadersOffset_);
    IMAGE_SECTION_HEADER section{};
    std::memcpy(section.Name, ".rsrc", 5);
    section.Misc.VirtualSize = static_cast<DWORD>(layout.size);
    section.VirtualAddress = endOfImage_;
    section.SizeOfRawData = static_cast<DWORD>(rawSize);
    section.PointerToRawData = static_cast<DWORD>(sectionOffset);
    section.Characteristics = kResourceCharacteristics;
    std::memcpy(headers.data() + sectionTableOffset_ + nt.FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER),
                &section, sizeof(section));
    nt.FileHeader.NumberOfSections += 1;
    nt.OptionalHeader.SizeOfInitializedData += static_cast<DWORD>(rawSize);
    nt.OptionalHeader.SizeOfImage = static_cast<DWORD>(imageSize);
    nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress = endOfImage_;
    nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].Size = static_cast<DWORD>(layout.size);
    nt.OptionalHeader.CheckSum = 0;
    std::memcpy(headers.data() + ntHeadersOffset_, &nt, sizeof(nt));

    ChecksummedOutput image(out);
    image.write(headers.data(), headers.size());
    image.write(data_ + sizeOfHeaders_, size_ - sizeOfHeaders_);
    image.zerosUpTo(sectionOffset);
    image.write(layout.head.data(), layout.head.size());

    std::uint64_t total = 0;
    for (const auto& part : layout.fileParts) {
        total += part.size;
    }
    Written written;
    std::vector<std::uint8_t> buffer(kCopyChunk);
    std::uint64_t done = 0;
    for (const auto& part : layout.fileParts) {
        image.zerosUpTo(sectionOffset + part.offset);
        ContentHash hash;
        for (std::uint64_t left = part.size; left > 0;) {
            const auto chunk = static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), left));
            DWORD read = 0;
            LD_THROW_LAST_ERROR_IF(!ReadFile(part.file, buffer.data(), chunk, &read, nullptr), ReadFile,
                                   "ReadFile() of a resource file failed");
            if (read == 0) {
                LD_THROW("A resource file ended before its size: it changed while it was read");
            }
            image.write(buffer.data(), read);
            hash.update(buffer.data(), read);
            left -= read;
            done += read;
            if (progress) {
                progress(done, total);
            }
        }
        written.fileHashes.push_back(hash.digest());
    }
    image.zerosUpTo(sectionOffset + rawSize);

    const std::uint32_t checksum = image.checksum();
    out.writeAt(ntHeadersOffset_ + offsetof(IMAGE_NT_HEADERS64, OptionalHeader.CheckSum), &checksum, sizeof(checksum));
    written.size = image.written();
    return written;
}
