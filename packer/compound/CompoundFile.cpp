#include "CompoundFile.h"

#include <algorithm>
#include <cstring>

#include "ErrorHandling.h"
#include "LittleEndian.h"

namespace {

constexpr std::array<std::uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::size_t kHeaderSize = 512;
constexpr std::size_t kHeaderDifatEntries = 109;
constexpr std::size_t kEntrySize = 128;
constexpr std::uint32_t kMiniSectorSize = 64;

constexpr std::uint32_t kLargestRegularSector = 0xFFFFFFFA;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

constexpr std::uint8_t kStorage = 1;
constexpr std::uint8_t kStream = 2;
constexpr std::uint8_t kRoot = 5;

std::uint32_t u32At(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return littleEndian::read32(bytes.data() + offset);
}

std::vector<std::uint32_t> u32sOf(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint32_t> values(bytes.size() / 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = u32At(bytes, 4 * i);
    }
    return values;
}

}  // namespace

CompoundFile::CompoundFile(ByteSource& file) : file_(file) {
    std::vector<std::uint8_t> header(kHeaderSize);
    file_.seek(0);
    if (readUntilFullOrEnd(header.data(), header.size(), [&](void* at, std::size_t, std::size_t left) {
            return file_.read(at, left);
        }) != header.size() ||
        !std::equal(kSignature.begin(), kSignature.end(), header.begin())) {
        refuse("it is no compound file");
    }
    const std::uint16_t major = littleEndian::read16(header.data() + 0x1A);
    const std::uint16_t sectorShift = littleEndian::read16(header.data() + 0x1E);
    if (littleEndian::read16(header.data() + 0x1C) != 0xFFFE || !((major == 3 && sectorShift == 9) ||
                                                                  (major == 4 && sectorShift == 12)) ||
        littleEndian::read16(header.data() + 0x20) != 6) {
        refuse("its header is not one of a compound file's two versions");
    }
    sectorSize_ = std::uint32_t{1} << sectorShift;
    if (file_.size() < sectorSize_) {
        refuse("it ends inside its header");
    }
    sectorCount_ = (file_.size() - sectorSize_ + sectorSize_ - 1) / sectorSize_;
    miniStreamCutoff_ = u32At(header, 0x38);
    readSectorTable(header);
    readDirectory(u32At(header, 0x30));
    readMiniStream(header);
    collectRootStreams();
}

void CompoundFile::refuse(const char* reason) const {
    LD_THROW(CompoundFileError((tstrings::MessageBuilder() << file_.path() << " is damaged: " << reason).str()));
}

std::vector<std::uint8_t> CompoundFile::readSector(std::uint32_t sector) const {
    if (sector >= sectorCount_) {
        refuse("a sector number points past its end");
    }
    std::vector<std::uint8_t> bytes(sectorSize_, 0);  // a last sector cut short reads as zeros
    file_.seek((std::uint64_t{sector} + 1) * sectorSize_);
    readUntilFullOrEnd(bytes.data(), bytes.size(),
                       [&](void* at, std::size_t, std::size_t left) { return file_.read(at, left); });
    return bytes;
}

// The sector table (FAT) lies in the sectors the header's first 109 entries name, then in those
// a chain of further sectors (DIFAT) names, each of which ends with the number of the next.
void CompoundFile::readSectorTable(const std::vector<std::uint8_t>& header) {
    const std::uint32_t tableSectors = u32At(header, 0x2C);
    if (tableSectors == 0 || tableSectors > sectorCount_) {
        refuse("its sector table is larger than the file");
    }
    std::vector<std::uint32_t> where;
    for (std::size_t i = 0; i < std::min<std::size_t>(tableSectors, kHeaderDifatEntries); ++i) {
        where.push_back(u32At(header, 0x4C + 4 * i));
    }
    std::uint32_t next = u32At(header, 0x44);
    const std::size_t perSector = sectorSize_ / 4 - 1;
    for (std::size_t visited = 0; where.size() < tableSectors; ++visited) {
        if (next > kLargestRegularSector || visited >= sectorCount_) {
            refuse("the list of its sector table's sectors ends early or loops");
        }
        const std::vector<std::uint32_t> entries = u32sOf(readSector(next));
        for (std::size_t i = 0; i < perSector && where.size() < tableSectors; ++i) {
            where.push_back(entries[i]);
        }
        next = entries[perSector];
    }
    sectorTable_.reserve(std::size_t{tableSectors} * (sectorSize_ / 4));
    for (const std::uint32_t sector : where) {
        const std::vector<std::uint32_t> entries = u32sOf(readSector(sector));
        sectorTable_.insert(sectorTable_.end(), entries.begin(), entries.end());
    }
}

std::vector<std::uint32_t> CompoundFile::chain(const std::vector<std::uint32_t>& table, std::uint32_t start,
                                               std::size_t limit) const {
    std::vector<std::uint32_t> sectors;
    for (std::uint32_t sector = start; sector != kEndOfChain; sector = table[sector]) {
        if (sector >= table.size() || sector > kLargestRegularSector) {
            refuse("a chain of sectors leaves its sector table");
        }
        if (sectors.size() >= limit) {
            refuse("a chain of sectors is longer than what it holds, or loops");
        }
        sectors.push_back(sector);
    }
    return sectors;
}

void CompoundFile::readDirectory(std::uint32_t firstSector) {
    for (const std::uint32_t sector : chain(sectorTable_, firstSector, static_cast<std::size_t>(sectorCount_))) {
        const std::vector<std::uint8_t> bytes = readSector(sector);
        for (std::size_t at = 0; at + kEntrySize <= bytes.size(); at += kEntrySize) {
            const std::uint8_t* raw = bytes.data() + at;
            Entry entry;
            const std::uint16_t nameBytes = littleEndian::read16(raw + 0x40);
            entry.type = raw[0x42];
            if (entry.type != 0 && (nameBytes < 2 || nameBytes > 64 || nameBytes % 2 != 0)) {
                refuse("a name in its directory has no length a name can have");
            }
            for (std::size_t i = 0; entry.type != 0 && i + 1 < nameBytes / 2u; ++i) {
                entry.name.push_back(static_cast<char16_t>(littleEndian::read16(raw + 2 * i)));
            }
            entry.left = littleEndian::read32(raw + 0x44);
            entry.right = littleEndian::read32(raw + 0x48);
            entry.child = littleEndian::read32(raw + 0x4C);
            entry.start = littleEndian::read32(raw + 0x74);
            entry.size = littleEndian::read32(raw + 0x78);  // the high half counts in version 4 only
            if (sectorSize_ == 4096) {
                entry.size |= std::uint64_t{littleEndian::read32(raw + 0x7C)} << 32;
            }
            if (entries_.empty()) {
                std::memcpy(rootClass_.data(), raw + 0x50, rootClass_.size());
            }
            entries_.push_back(std::move(entry));
        }
    }
    if (entries_.empty() || entries_.front().type != kRoot) {
        refuse("its directory does not start with its root storage");
    }
}

// Streams smaller than the cutoff lie in 64-byte pieces of the mini stream, which is the root
// storage's own stream, and their chains in the mini sector table.
void CompoundFile::readMiniStream(const std::vector<std::uint8_t>& header) {
    const Entry& root = entries_.front();
    if (root.size == 0) {
        return;
    }
    miniStream_ = readStream(root);
    const std::uint32_t miniTableSectors = u32At(header, 0x40);
    const std::size_t limit = static_cast<std::size_t>(std::min<std::uint64_t>(miniTableSectors, sectorCount_));
    for (const std::uint32_t sector : chain(sectorTable_, u32At(header, 0x3C), limit)) {
        const std::vector<std::uint32_t> entries = u32sOf(readSector(sector));
        miniSectorTable_.insert(miniSectorTable_.end(), entries.begin(), entries.end());
    }
}

std::vector<std::uint8_t> CompoundFile::readStream(const Entry& entry) const {
    if (entry.size > file_.size()) {
        refuse("a stream is larger than the file");
    }
    const bool mini = entry.type != kRoot && entry.size < miniStreamCutoff_;
    const std::uint32_t pieceSize = mini ? kMiniSectorSize : sectorSize_;
    const std::size_t pieces = static_cast<std::size_t>((entry.size + pieceSize - 1) / pieceSize);
    if (pieces == 0) {
        return {};
    }
    const std::vector<std::uint32_t> sectors = chain(mini ? miniSectorTable_ : sectorTable_, entry.start, pieces);
    if (sectors.size() != pieces) {
        refuse("a stream's chain of sectors ends before its size");
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(entry.size));
    for (const std::uint32_t sector : sectors) {
        const std::size_t take = std::min<std::size_t>(pieceSize, static_cast<std::size_t>(entry.size) - bytes.size());
        if (mini) {
            const std::uint64_t at = std::uint64_t{sector} * kMiniSectorSize;
            if (at + take > miniStream_.size()) {
                refuse("a small stream lies past the end of the mini stream");
            }
            bytes.insert(bytes.end(), miniStream_.begin() + static_cast<std::ptrdiff_t>(at),
                         miniStream_.begin() + static_cast<std::ptrdiff_t>(at + take));
        } else {
            const std::vector<std::uint8_t> piece = readSector(sector);
            bytes.insert(bytes.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(take));
        }
    }
    return bytes;
}

// The root storage's children form a tree of siblings below its child; each entry is visited
// once, so a crafted directory whose siblings point back is refused rather than walked forever.
void CompoundFile::collectRootStreams() {
    std::vector<bool> seen(entries_.size(), false);
    std::vector<std::uint32_t> waiting;
    if (entries_.front().child != kNoStream) {
        waiting.push_back(entries_.front().child);
    }
    while (!waiting.empty()) {
        const std::uint32_t index = waiting.back();
        waiting.pop_back();
        if (index >= entries_.size() || seen[index]) {
            refuse("its directory's tree points outside itself or back into itself");
        }
        seen[index] = true;
        const Entry& entry = entries_[index];
        if (entry.type == kStream) {
            rootStreams_.emplace(entry.name, index);
        } else if (entry.type != kStorage) {
            refuse("its root storage holds an entry of no known type");
        }
        for (const std::uint32_t sibling : {entry.left, entry.right}) {
            if (sibling != kNoStream) {
                waiting.push_back(sibling);
            }
        }
    }
}

std::vector<std::u16string> CompoundFile::rootStreamNames() const {
    std::vector<std::u16string> names;
    for (const auto& [name, index] : rootStreams_) {
        names.push_back(name);
    }
    return names;
}

std::optional<std::vector<std::uint8_t>> CompoundFile::rootStream(const std::u16string& name) const {
    const auto found = rootStreams_.find(name);
    if (found == rootStreams_.end()) {
        return std::nullopt;
    }
    return readStream(entries_[found->second]);
}
