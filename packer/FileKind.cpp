#include "FileKind.h"

#include <array>
#include <cstring>

#include "LittleEndian.h"

namespace {

constexpr std::array<std::uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::size_t kHeaderSize = 512;
constexpr std::size_t kDirectoryEntrySize = 128;
constexpr std::uint8_t kRootStorageType = 5;

// The classes Windows Installer gives its root storages, as stored: {000C10xx-0000-0000-C000-
// 000000000046}, the first three fields little-endian.
using ClassId = std::array<std::uint8_t, 16>;
constexpr ClassId installerClass(std::uint8_t low) {
    return {low, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
}
constexpr ClassId kPackageClass = installerClass(0x84);
constexpr ClassId kTransformClass = installerClass(0x82);
constexpr ClassId kPatchClass = installerClass(0x86);

// Exactly `size` bytes at `offset`, or false when the file ends first.
bool readAt(ByteSource& file, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
    if (offset > file.size() || file.size() - offset < size) {
        return false;
    }
    file.seek(offset);
    for (std::size_t done = 0; done < size;) {
        const std::size_t read = file.read(buffer + done, size - done);
        if (read == 0) {
            return false;
        }
        done += read;
    }
    return true;
}

// The root storage's directory entry is the first of the first directory sector, which the
// header names; sectors are 512 bytes (version 3) or 4096 (version 4) and sector n starts at
// (n + 1) sectors.
FileKind kindOfRootClass(ByteSource& file, const std::uint8_t* header) {
    const std::uint16_t sectorShift = littleEndian::read16(header + 0x1E);
    if (littleEndian::read16(header + 0x1C) != 0xFFFE || (sectorShift != 9 && sectorShift != 12)) {
        return FileKind::DamagedCompound;
    }
    const std::uint32_t firstDirectorySector = littleEndian::read32(header + 0x30);
    if (firstDirectorySector >= 0xFFFFFFFA) {  // a special value: no directory
        return FileKind::DamagedCompound;
    }
    std::array<std::uint8_t, kDirectoryEntrySize> root{};
    if (!readAt(file, (std::uint64_t{firstDirectorySector} + 1) << sectorShift, root.data(), root.size()) ||
        root[0x42] != kRootStorageType) {
        return FileKind::DamagedCompound;
    }
    ClassId rootClass{};
    std::memcpy(rootClass.data(), root.data() + 0x50, rootClass.size());
    if (rootClass == kPackageClass) {
        return FileKind::Package;
    }
    if (rootClass == kPatchClass) {
        return FileKind::Patch;
    }
    return rootClass == kTransformClass ? FileKind::Transform : FileKind::OtherCompound;
}

}  // namespace

FileKind fileKindOf(ByteSource& file) {
    std::array<std::uint8_t, kHeaderSize> header{};
    FileKind kind = FileKind::NotCompound;
    if (readAt(file, 0, header.data(), kSignature.size()) &&
        std::memcmp(header.data(), kSignature.data(), kSignature.size()) == 0) {
        kind = readAt(file, 0, header.data(), header.size()) ? kindOfRootClass(file, header.data())
                                                             : FileKind::DamagedCompound;
    }
    file.seek(0);
    return kind;
}

const wchar_t* describeKind(FileKind kind) {
    switch (kind) {
        case FileKind::Package:
            return L"an installation package";
        case FileKind::MergeModule:
            return L"a merge module (.msm)";
        case FileKind::Patch:
            return L"a patch (.msp)";
        case FileKind::Transform:
            return L"a transform (.mst)";
        case FileKind::OtherCompound:
            return L"a compound file of another kind";
        case FileKind::DamagedCompound:
            return L"a compound file cut short or damaged";
        case FileKind::NotCompound:
            break;
    }
    return L"not a compound file";
}
