// The frame of the records a launcher carries (its payload index, its facts), little-endian:
//   u32 magic, u16 format version, u16 0, u32 number of items
//   the items, as each record lays them out
//   u64 ContentHash of every byte before it: the seal
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ContentHash.h"
#include "ErrorHandling.h"
#include "LittleEndian.h"
#include "tstrings.h"

// What sets one kind of record apart: its signature, its newest version, and how its refusals
// name it.
struct SealedRecordFormat {
    std::uint32_t magic;
    std::uint16_t newestVersion;  // the version this build writes; it reads this one and every older one
    const char* cutShort;         // "the payload index is cut short"
    const char* mismatch;         // "the payload index does not match its own hash"
    const char* noSignature;      // "the payload index does not start with its signature"
    const char* hasVersion;       // "the payload index has format version", then " N; this build reads 1 to M"
};

inline constexpr std::size_t kSealedHeaderSize = 12;
inline constexpr std::size_t kSealSize = 8;

inline void writeSealedHeader(std::vector<std::uint8_t>& bytes, const SealedRecordFormat& format, std::uint16_t version,
                              std::uint32_t count) {
    LittleEndianWriter(bytes).put32(format.magic).put16(version).put16(0).put32(count);
}

// Appends the seal: the 64-bit content hash of every byte written so far.
inline void appendSeal(std::vector<std::uint8_t>& bytes) {
    const std::uint64_t seal = ContentHash().update(bytes.data(), bytes.size()).digest();
    LittleEndianWriter(bytes).put64(seal);
}

// A sealed record's header as read, and a reader of the items that follow it.
template <typename Error>
struct OpenedRecord {
    std::uint16_t version;
    std::uint32_t count;
    LittleEndianReader<Error> items;
};

// Opens a record of `format`: its seal is checked first, so nothing of a damaged record is read,
// not even its counts; then its signature and version. Throws `Error` (located) with the
// format's refusal when one is off.
template <typename Error>
OpenedRecord<Error> openSealedRecord(const void* data, std::size_t size, const SealedRecordFormat& format) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (size < kSealedHeaderSize + kSealSize) {
        LD_THROW(Error(format.cutShort));
    }
    const std::size_t body = size - kSealSize;
    if (littleEndian::read<kSealSize>(bytes + body) != ContentHash().update(bytes, body).digest()) {
        LD_THROW(Error(format.mismatch));
    }
    LittleEndianReader<Error> in(bytes, body, format.cutShort);
    if (in.get32() != format.magic) {
        LD_THROW(Error(format.noSignature));
    }
    const std::uint16_t version = in.get16();
    if (version == 0 || version > format.newestVersion) {
        LD_THROW(Error((tstrings::MessageBuilder()
                        << format.hasVersion << " " << version << "; this build reads 1 to " << format.newestVersion)
                           .str()));
    }
    in.get16();
    const std::uint32_t count = in.get32();
    return OpenedRecord<Error>{version, count, in};
}
