// The few parts of the PE32+ format lodestar-pack reads and writes, stated as offsets so that the
// code reads and writes the bytes itself (LittleEndian.h), the same on every platform (no
// <windows.h> structures).
#pragma once

#include <cstddef>
#include <cstdint>

namespace pe {

// The DOS header.
inline constexpr std::uint16_t kDosSignature = 0x5A4D;  // "MZ"
inline constexpr std::size_t kDosHeaderSize = 64;
inline constexpr std::size_t kNtHeadersOffsetField = 0x3C;  // e_lfanew

// The NT headers: signature, file header, optional header.
inline constexpr std::uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
inline constexpr std::size_t kFileHeaderOffset = 4;
inline constexpr std::size_t kFileHeaderSize = 20;
inline constexpr std::size_t kOptionalHeaderOffset = kFileHeaderOffset + kFileHeaderSize;

// Fields of the file header, from its start.
inline constexpr std::size_t kMachine = 0;
inline constexpr std::size_t kNumberOfSections = 2;
inline constexpr std::size_t kPointerToSymbolTable = 8;
inline constexpr std::size_t kSizeOfOptionalHeader = 16;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;

// Fields of the PE32+ optional header, from its start.
inline constexpr std::size_t kMagic = 0;
inline constexpr std::size_t kSizeOfInitializedData = 8;
inline constexpr std::size_t kSectionAlignment = 32;
inline constexpr std::size_t kFileAlignment = 36;
inline constexpr std::size_t kSizeOfImage = 56;
inline constexpr std::size_t kSizeOfHeaders = 60;
inline constexpr std::size_t kCheckSum = 64;
inline constexpr std::size_t kNumberOfRvaAndSizes = 108;
inline constexpr std::size_t kDataDirectories = 112;  // each: u32 address, u32 size
inline constexpr std::size_t kDataDirectorySize = 8;
inline constexpr std::size_t kOptionalHeaderSize = kDataDirectories + 16 * kDataDirectorySize;
inline constexpr std::uint16_t kPe32PlusMagic = 0x20B;
inline constexpr std::size_t kResourceDirectory = 2;
inline constexpr std::size_t kSecurityDirectory = 4;  // Authenticode signatures

// A section header.
inline constexpr std::size_t kSectionHeaderSize = 40;
inline constexpr std::size_t kSectionName = 0;
inline constexpr std::size_t kVirtualSize = 8;
inline constexpr std::size_t kVirtualAddress = 12;
inline constexpr std::size_t kSizeOfRawData = 16;
inline constexpr std::size_t kPointerToRawData = 20;
inline constexpr std::size_t kCharacteristics = 36;
inline constexpr std::uint32_t kInitializedData = 0x00000040;  // IMAGE_SCN_CNT_INITIALIZED_DATA
inline constexpr std::uint32_t kMemoryRead = 0x40000000;       // IMAGE_SCN_MEM_READ

// The resource directory: tables of entries, then data entries.
inline constexpr std::size_t kResourceTableSize = 16;  // then u16 named entries, u16 numbered ones at 12, 14
inline constexpr std::size_t kResourceEntrySize = 8;   // u32 name or id, u32 offset
inline constexpr std::size_t kResourceDataEntrySize = 16;  // u32 address, u32 size, u32 code page, u32 0
inline constexpr std::uint32_t kHighBit = 0x80000000;      // a name (not an id); a table (not data)

// Windows loads no image of 2 GiB or more: x64 code reaches every part of its image with signed
// 32-bit displacements, and executable images are documented to be at most 2 GiB. (Wine is more
// lenient: it maps and runs images up to the 4 GiB the 32-bit SizeOfImage can give.)
inline constexpr std::uint64_t kLargestImage = 0x80000000ull - 0x1000;

}  // namespace pe
