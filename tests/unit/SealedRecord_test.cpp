// The little-endian fields and the sealed frame the launcher's records share: bytes as fixed here,
// whatever the host's byte order, and every way a frame is refused.
#include "SealedRecord.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "TestSupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class RecordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr SealedRecordFormat kTestFormat = {
    0x54534554,  // "TEST"
    2,
    "the test record is cut short",
    "the test record does not match its own hash",
    "the test record does not start with its signature",
    "the test record has format version",
};

// A frame of the test format, its fields given as they are stored; sealed unless told not to be.
Bytes frame(const Bytes& header, bool sealed = true) {
    Bytes bytes = header;
    if (sealed) {
        appendSeal(bytes);
    }
    return bytes;
}

}  // namespace

TEST(LittleEndian, WritesTheSameBytesOnEveryHost) {
    using Write = std::function<void(LittleEndianWriter&)>;
    const struct {
        const char* what;
        Bytes before;
        std::optional<std::size_t> offset;  // none: appended
        Write write;
        Bytes after;
    } cases[] = {
        {"16 bits", {0xAA}, {}, [](auto& w) { w.put16(0x1234); }, {0xAA, 0x34, 0x12}},
        {"32 bits", {}, {}, [](auto& w) { w.put32(0x12345678); }, {0x78, 0x56, 0x34, 0x12}},
        {"64 bits",
         {},
         {},
         [](auto& w) { w.put64(0x0102030405060708); },
         {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
        {"UTF-16 units, a surrogate pair among them",
         {},
         {},
         [](auto& w) { w.putUnits(u"A\u00e9\U0001F600"); },
         {0x41, 0x00, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE}},
        {"fields in order",
         {},
         {},
         [](auto& w) { w.put16(1).put32(2).putBytes("xy", 2); },
         {1, 0, 2, 0, 0, 0, 'x', 'y'}},
        {"over bytes already there",
         {0xAA, 0xBB, 0xCC, 0xDD},
         1,
         [](auto& w) { w.put16(0x1234); },
         {0xAA, 0x34, 0x12, 0xDD}},
        {"over the end", {0xAA, 0xBB}, 1, [](auto& w) { w.put32(0x11223344); }, {0xAA, 0x44, 0x33, 0x22, 0x11}},
        {"past the end, the gap zeros", {0xAA}, 3, [](auto& w) { w.put16(0x0102); }, {0xAA, 0, 0, 0x02, 0x01}},
    };
    for (const auto& c : cases) {
        Bytes bytes = c.before;
        LittleEndianWriter writer = c.offset ? LittleEndianWriter(bytes, *c.offset) : LittleEndianWriter(bytes);
        c.write(writer);
        EXPECT_EQ(bytes, c.after) << c.what;
    }
}

TEST(LittleEndian, ReadsTheSameValuesOnEveryHost) {
    const Bytes bytes = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE};
    EXPECT_EQ(littleEndian::read16(bytes.data()), 0x0708u);
    EXPECT_EQ(littleEndian::read32(bytes.data() + 1), 0x04050607u);

    LittleEndianReader<RecordError> in(bytes.data(), bytes.size(), "cut short");
    EXPECT_EQ(in.get64(), 0x0102030405060708u);
    EXPECT_EQ(in.getText(3), L"A\U0001F600");
    EXPECT_TRUE(in.atEnd());
    // Nothing is read past the end: neither a field nor text.
    for (const std::function<void()>& read : std::vector<std::function<void()>>{
             [&] { LittleEndianReader<RecordError>(bytes.data(), 3, "cut short").get32(); },
             [&] { LittleEndianReader<RecordError>(bytes.data(), 5, "cut short").getText(3); }}) {
        EXPECT_EQ(rawMessageOf<LdError<RecordError>>(read), "cut short");
    }
}

TEST(SealedRecord, HeaderIsWrittenAsLaidOut) {
    Bytes bytes;
    writeSealedHeader(bytes, kTestFormat, 2, 0x01020304);
    EXPECT_EQ(bytes, (Bytes{'T', 'E', 'S', 'T', 2, 0, 0, 0, 4, 3, 2, 1}));
    appendSeal(bytes);
    const OpenedRecord<RecordError> record = openSealedRecord<RecordError>(bytes.data(), bytes.size(), kTestFormat);
    EXPECT_EQ(record.version, 2);
    EXPECT_EQ(record.count, 0x01020304u);
    EXPECT_TRUE(record.items.atEnd());
}

TEST(SealedRecord, RefusesWhatItsFormatDoesNotRead) {
    const Bytes header = {'T', 'E', 'S', 'T', 1, 0, 0, 0, 0, 0, 0, 0};
    Bytes changed = frame(header);
    changed[4] = 2;
    const auto withVersion = [&](std::uint8_t version) {
        Bytes bytes = header;
        bytes[4] = version;
        return frame(bytes);
    };
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{}, "the test record is cut short"},
        {frame(header, false), "the test record is cut short"},
        {frame(Bytes(header.begin(), header.end() - 1)), "the test record is cut short"},
        {changed, "the test record does not match its own hash"},
        {frame({'T', 'E', 'S', 'U', 1, 0, 0, 0, 0, 0, 0, 0}), "the test record does not start with its signature"},
        {withVersion(0), "the test record has format version 0; this build reads 1 to 2"},
        {withVersion(3), "the test record has format version 3; this build reads 1 to 2"},
        {withVersion(1), "(nothing thrown)"},
        {withVersion(2), "(nothing thrown)"},
    };
    for (const auto& [bytes, message] : cases) {
        const Bytes& given = bytes;  // a lambda may not capture a structured binding
        EXPECT_EQ(rawMessageOf<LdError<RecordError>>(
                      [&] { openSealedRecord<RecordError>(given.data(), given.size(), kTestFormat); }),
                  message)
            << given.size() << " bytes";
    }
}
