// The payload index: what lodestar-pack writes, read back as the launcher reads it; every damaged
// form refused; the versions a build reads; the names a carried file may have.
#include "PayloadIndex.h"

#include <gtest/gtest.h>

#include "ContentHash.h"
#include "LauncherResources.h"
#include "SealedRecord.h"
#include "TestSupport.h"

namespace {

using payload::Index;
using payload::IndexEntry;
using IndexError = LdError<payload::IndexError>;

// Names in three scripts, one outside the Basic Multilingual Plane (a surrogate pair in UTF-16),
// sizes and hashes at both ends of their range.
Index sampleIndex() {
    Index index;
    index.entries = {
        {L"Setup J\u00e9r\u00f4me \u6771\u4eac.msi", 123456789, 0x0123456789ABCDEFull},
        {L"\u0391\u03b8\u03ae\u03bd\u03b1\\\U0001F600 second \u00e9.cab", 0, 0xFFFFFFFFFFFFFFFFull},
        {L"a\\b/c.txt", 0xFFFFFFFFFFFFFFFFull, 0},
    };
    return index;
}

// An index of the given header, count and entries (each: size, hash, name of ASCII letters),
// closed by the hash of its bytes as a sound one is: only its layout can be wrong.
std::vector<std::uint8_t> hashedIndex(std::uint32_t magic, std::uint16_t version, std::uint32_t count,
                                      const std::vector<std::string>& names, std::size_t cut = 0) {
    std::vector<std::uint8_t> bytes;
    LittleEndianWriter out(bytes);
    out.put32(magic).put16(version).put16(0).put32(count);
    for (const std::string& name : names) {
        out.put64(7).put64(9).put16(static_cast<std::uint16_t>(name.size()));
        out.putUnits(std::u16string(name.begin(), name.end()));
    }
    bytes.resize(bytes.size() - cut);
    appendSeal(bytes);
    return bytes;
}

constexpr std::uint32_t kMagic = 0x5849504C;  // "LPIX"

// What `read` (parseIndex unless told) says of the first `size` bytes.
std::string parseFailure(const std::vector<std::uint8_t>& bytes, std::size_t size,
                         Index (*read)(const void*, std::size_t) = payload::parseIndex) {
    return rawMessageOf<IndexError>([&] { read(bytes.data(), size); });
}

}  // namespace

TEST(PayloadIndex, ReadsBackExactlyWhatWasWritten) {
    const Index written = sampleIndex();
    const std::vector<std::uint8_t> bytes = payload::serializeIndex(written);
    // Header, per entry 18 bytes and the name's UTF-16 units, the trailing hash.
    std::size_t expectedSize = 12 + 8;
    for (const IndexEntry& entry : written.entries) {
        expectedSize += 18 + 2 * tstrings::toUtf16(entry.name).size();
    }
    EXPECT_EQ(bytes.size(), expectedSize);
    EXPECT_EQ(payload::serializedIndexSize(written), bytes.size());
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "LPIX");
    EXPECT_EQ(bytes[4] | bytes[5] << 8, payload::kIndexVersion);
    EXPECT_EQ(bytes[8], 3);
    EXPECT_EQ(littleEndian::read<8>(bytes.data() + bytes.size() - 8),
              ContentHash().update(bytes.data(), bytes.size() - 8).digest());

    const Index read = payload::parseIndex(bytes.data(), bytes.size());
    EXPECT_EQ(read.version, payload::kIndexVersion);
    ASSERT_EQ(read.entries.size(), written.entries.size());
    for (std::size_t i = 0; i < read.entries.size(); ++i) {
        EXPECT_EQ(read.entries[i].name, written.entries[i].name) << i;
        EXPECT_EQ(read.entries[i].size, written.entries[i].size) << i;
        EXPECT_EQ(read.entries[i].hash, written.entries[i].hash) << i;
    }

    // A name of 65535 UTF-16 units is the longest there is room for.
    Index longest;
    longest.entries = {{tstring(0xFFFF, L'n'), 1, 2}};
    EXPECT_EQ(payload::parseIndex(payload::serializeIndex(longest).data(), payload::serializedIndexSize(longest))
                  .entries.at(0)
                  .name.size(),
              0xFFFFu);
    longest.entries[0].name += L'n';
    const std::string refusal = rawMessageOf([&] { payload::serializeIndex(longest); });
    EXPECT_TRUE(refusal.starts_with("The name nnn") && refusal.ends_with("n is too long for the payload index"))
        << refusal.substr(0, 40);
}

TEST(PayloadIndex, RefusesEveryDamagedForm) {
    const std::vector<std::uint8_t> sound = payload::serializeIndex(sampleIndex());
    // Cut anywhere, or one more byte: the trailing hash is not where it was.
    for (std::size_t size = 0; size < sound.size(); ++size) {
        EXPECT_NE(parseFailure(sound, size), "(nothing thrown)") << "cut to " << size;
    }
    std::vector<std::uint8_t> longer = sound;
    longer.push_back(0);
    EXPECT_EQ(parseFailure(longer, longer.size()), "the payload index does not match its own hash");
    // Any byte changed, in any way a bit can change.
    for (std::size_t at = 0; at < sound.size(); ++at) {
        for (const int flip : {0x01, 0x80, 0xFF}) {
            std::vector<std::uint8_t> damaged = sound;
            damaged[at] = static_cast<std::uint8_t>(damaged[at] ^ flip);
            EXPECT_EQ(parseFailure(damaged, damaged.size()), "the payload index does not match its own hash")
                << "byte " << at << " ^ " << flip;
        }
    }

    // Layouts that are wrong although the hash matches them.
    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::string message;
    } cases[] = {
        {"shorter than a header", hashedIndex(kMagic, 1, 0, {}, 1), "the payload index is cut short"},
        {"another signature", hashedIndex(0x5949504C, 1, 1, {"a"}),
         "the payload index does not start with its signature"},
        {"no entry", hashedIndex(kMagic, 1, 0, {}), "the payload index holds more or less than its entries"},
        {"more entries counted than held", hashedIndex(kMagic, 1, 3, {"a", "b"}), "the payload index is cut short"},
        {"fewer entries counted than held", hashedIndex(kMagic, 1, 1, {"a", "b"}),
         "the payload index holds more or less than its entries"},
        {"a name running past the end", hashedIndex(kMagic, 1, 1, {"abc"}, 2), "the payload index is cut short"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseFailure(c.bytes, c.bytes.size()), c.message) << c.what;
    }
}

TEST(PayloadIndex, ReadsItsOwnVersionAndEveryOlderOne) {
    for (std::uint16_t version = 1; version <= payload::kIndexVersion; ++version) {
        const std::vector<std::uint8_t> bytes = hashedIndex(kMagic, version, 2, {"setup.msi", "sub\\data.cab"});
        const Index index = payload::parseIndex(bytes.data(), bytes.size());
        EXPECT_EQ(index.version, version);
        ASSERT_EQ(index.entries.size(), 2u);
        EXPECT_EQ(index.entries[1].name, L"sub\\data.cab");
        EXPECT_EQ(index.entries[1].size, 7u);
        EXPECT_EQ(index.entries[1].hash, 9u);
    }
    // Version 0 was never written; a later one this build cannot know.
    const std::string readable = "; this build reads 1 to " + std::to_string(payload::kIndexVersion);
    for (const std::uint16_t version : {std::uint16_t{0}, static_cast<std::uint16_t>(payload::kIndexVersion + 1)}) {
        const std::vector<std::uint8_t> bytes = hashedIndex(kMagic, version, 1, {"setup.msi"});
        EXPECT_EQ(parseFailure(bytes, bytes.size()),
                  "the payload index has format version " + std::to_string(version) + readable);
    }
}

TEST(PayloadIndex, NamesOnlyWhatStaysBelowTheFolder) {
    const std::vector<std::pair<tstring, tstring>> names = {
        {L"a.cab", L""},
        {L"sub\\deeper/a.cab", L""},
        {L"J\u00e9r\u00f4me \u6771\u4eac\\\U0001F600.cab", L""},
        {L"..a\\a..b\\.c", L""},
        {L"com0.cab", L""},
        {L"com10\\lpt\\console.cab\\nul0", L""},
        {L"", L"it is empty"},
        {L"\\a.cab", L"it is absolute"},
        {L"/a.cab", L"it is absolute"},
        {L"sub\\\\a.cab", L"one of its parts is empty"},
        {L"sub\\", L"one of its parts is empty"},
        {L".", L"one of its parts is ."},
        {L"sub/./a.cab", L"one of its parts is ."},
        {L"..", L"one of its parts is .."},
        {L"sub\\..\\..\\a.cab", L"one of its parts is .."},
        {L"C:\\a.cab", L"it holds a colon (a drive or a stream)"},
        {L"a.cab:stream", L"it holds a colon (a drive or a stream)"},
        {L"a\x01.cab", L"it holds a control character"},
        {L"a\x1f.cab", L"it holds a control character"},
        {L"a<.cab", L"it holds the character <"},
        {L"a>.cab", L"it holds the character >"},
        {L"a\".cab", L"it holds the character \""},
        {L"a|.cab", L"it holds the character |"},
        {L"a?.cab", L"it holds the character ?"},
        {L"a*.cab", L"it holds the character *"},
        {L"a.cab.", L"a part of it ends in a dot or a blank, which Windows drops"},
        {L"sub \\a.cab", L"a part of it ends in a dot or a blank, which Windows drops"},
        {L"CON", L"a part of it names a device (CON)"},
        {L"sub\\prn.txt", L"a part of it names a device (prn.txt)"},
        {L"Aux.tar.gz\\a", L"a part of it names a device (Aux.tar.gz)"},
        {L"NUL", L"a part of it names a device (NUL)"},
        {L"com1", L"a part of it names a device (com1)"},
        {L"LPT9.cab", L"a part of it names a device (LPT9.cab)"},
    };
    for (const auto& [name, problem] : names) {
        EXPECT_EQ(payload::relativeNameProblem(name), problem) << utf8(name);
    }
}

TEST(PayloadIndex, FindsAFileWhereAnotherNeedsAFolder) {
    using Clash = std::optional<std::pair<std::size_t, std::size_t>>;
    const std::vector<std::pair<tstring_array, Clash>> cases = {
        {{L"data", L"data\\x.txt"}, std::make_pair(std::size_t{0}, std::size_t{1})},
        {{L"a.cab", L"sub\\deep\\x.txt", L"sub\\deep"}, std::make_pair(std::size_t{2}, std::size_t{1})},
        {{L"sub/deep/x.txt", L"sub\\deep"}, std::make_pair(std::size_t{1}, std::size_t{0})},
        {{L"data.txt", L"data\\x.txt", L"data\\y.txt"}, std::nullopt},
        {{L"sub\\a", L"sub\\b", L"subfolder\\c"}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& [keys, clash] : cases) {
        EXPECT_EQ(payload::fileWhereFolderIs(keys), clash) << utf8(keys.empty() ? tstring() : keys.front());
    }
}

TEST(PayloadIndex, NoPartOfACarriedNameIsTheLaunchersCopyOfThePackage) {
    const tstring taken = L"a part of it is main.msi, where the launcher puts its copy of the package";
    const std::vector<std::pair<tstring, tstring>> names = {
        {L"main.msi", taken},
        {L"MAIN.MSI\\data.cab", taken},
        {L"sub/Main.Msi/data.cab", taken},
        {L"sub\\main.msi", taken},
        {L"main.msi.cab", L""},
        {L"amain.msi\\x", L""},
        {L"..\\main.msi", L"one of its parts is .."},
    };
    for (const auto& [name, problem] : names) {
        EXPECT_EQ(payload::carriedNameProblem(name), problem) << utf8(name);
    }
    // The package itself may be called so; the launcher's copy of it is that very file.
    Index index;
    index.entries = {{L"main.msi", 1, 1}, {L"Data\\MAIN.msi\\a.cab", 1, 1}};
    const auto problem = payload::indexNameProblem(index);
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(utf8(problem->name), "Data\\MAIN.msi\\a.cab");
    EXPECT_EQ(utf8(problem->problem), utf8(taken));
    index.entries.pop_back();
    EXPECT_FALSE(payload::indexNameProblem(index).has_value());
}

TEST(PayloadIndex, IsReadWithItsCountAndNamesChecked) {
    const auto indexOf = [](std::size_t beside, const tstring& lastName) {
        Index index;
        index.entries.resize(beside + 1);
        for (std::size_t i = 0; i < index.entries.size(); ++i) {
            index.entries[i].name = L"f" + std::to_wstring(i);
        }
        index.entries.back().name = lastName;
        return payload::serializeIndex(index);
    };
    const std::size_t most = launcher::resources::kMostCarriedFiles;
    std::vector<std::uint8_t> damaged = indexOf(1, L"a.cab");
    damaged[12] ^= 1;
    const std::vector<std::pair<std::vector<std::uint8_t>, std::string>> cases = {
        {indexOf(0, L"setup.msi"), "(nothing thrown)"},
        {indexOf(most, L"last.cab"), "(nothing thrown)"},
        {indexOf(most + 1, L"last.cab"),
         "its index lists 65536 files beside the package; a launcher carries at most 65535"},
        {indexOf(2, L"a\\..\\b.cab"),
         "its index names [a\\..\\b.cab], which cannot be written below a folder: one of its parts is .."},
        {indexOf(2, L"F1"), "its index names [F1], which cannot be written below a folder: it is listed twice"},
        {damaged, "the payload index does not match its own hash"},
    };
    for (const auto& [bytes, message] : cases) {
        const std::vector<std::uint8_t>& given = bytes;  // a lambda may not capture a structured binding
        EXPECT_EQ(parseFailure(given, given.size(), payload::readIndex), message) << given.size() << " bytes";
    }
}
