#include "LauncherImage.h"

#include <algorithm>

#include "ErrorHandling.h"
#include "LittleEndian.h"
#include "PeFormat.h"

namespace {

constexpr std::size_t kWindowSize = 64 * 1024;
// More than any description a launcher carries (its index names at most 65535 files).
constexpr std::uint32_t kLargestDescription = 64 * 1024 * 1024;
constexpr std::uint32_t kOffsetBits = 0x7FFFFFFF;
constexpr std::uint16_t kLargestSectionCount = 96;  // what the loader accepts
constexpr std::size_t kSignatureAndFileHeader = pe::kOptionalHeaderOffset;
// The counts of a resource directory table, from its start.
constexpr std::size_t kNamedEntries = 12;
constexpr std::size_t kNumberedEntries = 14;

}  // namespace

LauncherImage::LauncherImage(ByteSource& file) : file_(file) {
    readHeaders();
}

void LauncherImage::refuse(const tstrings::MessageBuilder& reason) const {
    LD_THROW(LauncherError((tstrings::MessageBuilder() << file_.path() << " is not a launcher: " << reason).str()));
}

void LauncherImage::refuseCutShort(std::uint64_t end) const {
    LD_THROW(
        LauncherError((tstrings::MessageBuilder() << file_.path() << " is cut short: it ends after " << file_.size()
                                                  << " bytes, its headers place data up to byte " << end)
                          .str()));
}

const std::uint8_t* LauncherImage::bytesAt(std::uint64_t offset, std::size_t size) {
    if (offset > file_.size() || file_.size() - offset < size) {
        refuseCutShort(offset + size);
    }
    if (offset >= windowStart_ && offset - windowStart_ <= window_.size() &&
        window_.size() - (offset - windowStart_) >= size) {
        return window_.data() + (offset - windowStart_);
    }
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(std::max(size, kWindowSize), file_.size() - offset));
    window_.resize(length);
    windowStart_ = offset;
    file_.seek(offset);
    if (file_.read(window_.data(), length) != length) {
        window_.clear();
        refuseCutShort(offset + length);
    }
    return window_.data();
}

void LauncherImage::readHeaders() {
    if (file_.size() < pe::kDosHeaderSize || littleEndian::read16(bytesAt(0, 2)) != pe::kDosSignature) {
        refuse(tstrings::MessageBuilder() << "it is no executable (it does not start with MZ)");
    }
    const std::uint32_t nt = littleEndian::read32(bytesAt(pe::kNtHeadersOffsetField, 4));
    const std::uint8_t* signatureAndFileHeader = bytesAt(nt, kSignatureAndFileHeader);
    if (littleEndian::read32(signatureAndFileHeader) != pe::kNtSignature) {
        refuse(tstrings::MessageBuilder() << "it is no Windows executable (it has no PE header)");
    }
    const std::uint8_t* fileHeader = signatureAndFileHeader + pe::kFileHeaderOffset;
    const std::uint16_t machine = littleEndian::read16(fileHeader + pe::kMachine);
    const std::uint16_t sectionCount = littleEndian::read16(fileHeader + pe::kNumberOfSections);
    const std::uint16_t optionalSize = littleEndian::read16(fileHeader + pe::kSizeOfOptionalHeader);
    if (machine != pe::kMachineAmd64) {
        refuse(tstrings::MessageBuilder() << "it is no x64 executable");
    }
    if (optionalSize < pe::kDataDirectories) {
        refuse(tstrings::MessageBuilder() << "its optional header is cut short");
    }
    const std::uint8_t* optional = bytesAt(std::uint64_t{nt} + pe::kOptionalHeaderOffset, optionalSize);
    if (littleEndian::read16(optional + pe::kMagic) != pe::kPe32PlusMagic) {
        refuse(tstrings::MessageBuilder() << "it is no x64 executable");
    }
    const std::size_t directories =
        std::min<std::size_t>(littleEndian::read32(optional + pe::kNumberOfRvaAndSizes),
                              (optionalSize - pe::kDataDirectories) / pe::kDataDirectorySize);
    const auto directory = [&](std::size_t which, std::size_t field) -> std::uint32_t {
        return which < directories
                   ? littleEndian::read32(optional + pe::kDataDirectories + which * pe::kDataDirectorySize + field)
                   : 0;
    };
    const std::uint32_t resourceRva = directory(pe::kResourceDirectory, 0);
    resourceSize_ = directory(pe::kResourceDirectory, 4);
    const std::uint32_t signatureOffset = directory(pe::kSecurityDirectory, 0);
    signatureSize_ = directory(pe::kSecurityDirectory, 4);

    readSections(std::uint64_t{nt} + pe::kOptionalHeaderOffset + optionalSize, sectionCount);
    if (signatureSize_ != 0 && std::uint64_t{signatureOffset} + signatureSize_ > file_.size()) {
        refuseCutShort(std::uint64_t{signatureOffset} + signatureSize_);
    }
    if (resourceRva == 0 || resourceSize_ < pe::kResourceTableSize) {
        refuse(tstrings::MessageBuilder() << "it carries no resources");
    }
    const std::optional<std::uint64_t> resources = fileOffsetOf(resourceRva, resourceSize_);
    if (!resources) {
        refuse(tstrings::MessageBuilder() << "its resource directory lies outside its sections");
    }
    resourceOffset_ = *resources;
}

void LauncherImage::readSections(std::uint64_t tableOffset, std::uint16_t count) {
    if (count > kLargestSectionCount) {
        refuse(tstrings::MessageBuilder() << "it claims " << count << " sections");
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint8_t* header =
            bytesAt(tableOffset + std::uint64_t{i} * pe::kSectionHeaderSize, pe::kSectionHeaderSize);
        const std::uint32_t virtualSize = littleEndian::read32(header + pe::kVirtualSize);
        const std::uint32_t rawSize = littleEndian::read32(header + pe::kSizeOfRawData);
        const std::uint32_t rawOffset = littleEndian::read32(header + pe::kPointerToRawData);
        if (rawSize != 0 && std::uint64_t{rawOffset} + rawSize > file_.size()) {
            refuseCutShort(std::uint64_t{rawOffset} + rawSize);
        }
        // The loader maps no more of the file than the section's size in memory.
        const std::uint32_t mapped = virtualSize == 0 ? rawSize : std::min(virtualSize, rawSize);
        sections_.push_back(Section{littleEndian::read32(header + pe::kVirtualAddress), mapped, rawOffset});
    }
}

std::optional<std::uint64_t> LauncherImage::fileOffsetOf(std::uint32_t rva, std::uint32_t size) const {
    for (const Section& section : sections_) {
        if (rva < section.virtualAddress) {
            continue;
        }
        const std::uint32_t into = rva - section.virtualAddress;
        if (into <= section.mappedSize && section.mappedSize - into >= size) {
            return std::uint64_t{section.fileOffset} + into;
        }
    }
    return std::nullopt;
}

tstring LauncherImage::nameAt(std::uint32_t offset) {
    if (offset > resourceSize_ || resourceSize_ - offset < 2) {
        refuse(tstrings::MessageBuilder() << "a resource name lies outside its resource directory");
    }
    const std::uint16_t length = littleEndian::read16(bytesAt(resourceOffset_ + offset, 2));
    if ((resourceSize_ - offset - 2) / 2 < length) {
        refuse(tstrings::MessageBuilder() << "a resource name runs past its resource directory");
    }
    const std::uint8_t* units = bytesAt(resourceOffset_ + offset + 2, 2 * std::size_t{length});
    std::u16string name(length, u'\0');
    for (std::size_t i = 0; i < name.size(); ++i) {
        name[i] = static_cast<char16_t>(littleEndian::read16(units + 2 * i));
    }
    return tstrings::fromUtf16(name);
}

const LauncherImage::Table& LauncherImage::tableAt(std::uint32_t offset) {
    if (const auto cached = tables_.find(offset); cached != tables_.end()) {
        return cached->second;
    }
    if (offset > resourceSize_ || resourceSize_ - offset < pe::kResourceTableSize) {
        refuse(tstrings::MessageBuilder() << "a table of its resource directory lies outside it");
    }
    const std::uint8_t* header = bytesAt(resourceOffset_ + offset, pe::kResourceTableSize);
    const std::size_t count =
        std::size_t{littleEndian::read16(header + kNamedEntries)} + littleEndian::read16(header + kNumberedEntries);
    if ((resourceSize_ - offset - pe::kResourceTableSize) / pe::kResourceEntrySize < count) {
        refuse(tstrings::MessageBuilder() << "a table of its resource directory runs past it");
    }
    Table table;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = bytesAt(
            resourceOffset_ + offset + pe::kResourceTableSize + i * pe::kResourceEntrySize, pe::kResourceEntrySize);
        const std::uint32_t key = littleEndian::read32(entry);
        const std::uint32_t where = littleEndian::read32(entry + 4);
        const Target target{where & kOffsetBits, (where & pe::kHighBit) != 0};
        if ((key & pe::kHighBit) != 0) {
            table.named.emplace_back(nameAt(key & kOffsetBits), target);
        } else {
            table.numbered.emplace(static_cast<std::uint16_t>(key), target);
        }
    }
    return tables_.emplace(offset, std::move(table)).first->second;
}

std::optional<LauncherImage::Target> LauncherImage::lookUp(const Table& table, const ResourceId& key) {
    if (key.isName()) {
        const auto found = std::find_if(table.named.begin(), table.named.end(),
                                        [&](const auto& entry) { return entry.first == key.name; });
        return found == table.named.end() ? std::nullopt : std::optional<Target>(found->second);
    }
    const auto found = table.numbered.find(key.id);
    return found == table.numbered.end() ? std::nullopt : std::optional<Target>(found->second);
}

std::optional<ResourceLocation> LauncherImage::find(const ResourceId& type, const ResourceId& name) {
    const auto typeEntry = lookUp(tableAt(0), type);
    if (!typeEntry) {
        return std::nullopt;
    }
    if (!typeEntry->table) {
        refuse(tstrings::MessageBuilder() << "its resource directory has data where a table of names belongs");
    }
    const auto nameEntry = lookUp(tableAt(typeEntry->offset), name);
    if (!nameEntry) {
        return std::nullopt;
    }
    if (!nameEntry->table) {
        refuse(tstrings::MessageBuilder() << "its resource directory has data where a table of languages belongs");
    }
    // The first language: a launcher carries each resource in one.
    const Table& languages = tableAt(nameEntry->offset);
    std::optional<Target> language;
    if (!languages.numbered.empty()) {
        language = languages.numbered.begin()->second;
    } else if (!languages.named.empty()) {
        language = languages.named.front().second;
    }
    if (!language) {
        return std::nullopt;
    }
    if (language->table || language->offset > resourceSize_ ||
        resourceSize_ - language->offset < pe::kResourceDataEntrySize) {
        refuse(tstrings::MessageBuilder() << "a data entry of its resource directory lies outside it");
    }
    const std::uint8_t* dataEntry = bytesAt(resourceOffset_ + language->offset, pe::kResourceDataEntrySize);
    const std::uint32_t rva = littleEndian::read32(dataEntry);
    const std::uint32_t size = littleEndian::read32(dataEntry + 4);
    const std::optional<std::uint64_t> offset = fileOffsetOf(rva, size);
    if (!offset) {
        refuse(tstrings::MessageBuilder() << "the data of a resource lies outside its sections");
    }
    return ResourceLocation{*offset, size};
}

std::vector<std::uint8_t> LauncherImage::read(const ResourceLocation& where) {
    if (where.size > kLargestDescription) {
        refuse(tstrings::MessageBuilder() << "a resource that describes the setup is " << where.size << " bytes");
    }
    const std::uint8_t* bytes = bytesAt(where.offset, where.size);
    return std::vector<std::uint8_t>(bytes, bytes + where.size);
}
