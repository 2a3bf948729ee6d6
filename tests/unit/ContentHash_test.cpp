// The content hash: the algorithm's known values, whatever pieces the bytes come in.
#include "ContentHash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>

TEST(ContentHash, GivesTheKnownValuesWhateverThePieces) {
    const std::string text(1000, 'a');
    EXPECT_EQ(ContentHash().digest(), 0xEF46DB3751D8E999ull);
    EXPECT_EQ(ContentHash().update("abc", 3).digest(), 0x44BC2CF5AD770999ull);
    EXPECT_EQ(ContentHash().update(text.data(), text.size()).digest(), 0x56E43B712EDA4223ull);
    for (const size_t piece : std::initializer_list<size_t>{1, 7, 31, 32, 33, 999}) {
        ContentHash hash;
        for (size_t at = 0; at < text.size(); at += piece) {
            hash.update(text.data() + at, std::min(piece, text.size() - at));
        }
        EXPECT_EQ(hash.digest(), 0x56E43B712EDA4223ull) << piece;
    }
}

// Compared and hashed in one pass: the same hash as update() gives, whatever the pieces and however
// the bytes differ, and a difference in any one byte is seen wherever it lies.
TEST(ContentHash, ComparesEveryByteWhileItHashes) {
    std::string text(1000, 'a');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('a' + i % 23);
    }
    const uint64_t expectedHash = ContentHash().update(text.data(), text.size()).digest();
    for (const size_t piece : std::initializer_list<size_t>{1, 7, 31, 32, 33, 64, 65, 999, 1000}) {
        ContentHash hash;
        bool same = true;
        for (size_t at = 0; at < text.size(); at += piece) {
            const size_t size = std::min(piece, text.size() - at);
            same = hash.updateComparing(text.data() + at, text.data() + at, size) && same;
        }
        EXPECT_TRUE(same) << piece;
        EXPECT_EQ(hash.digest(), expectedHash) << piece;
    }
    for (const size_t changed : std::initializer_list<size_t>{0, 5, 31, 32, 63, 64, 500, 991, 999}) {
        std::string other = text;
        other[changed] = static_cast<char>(other[changed] ^ 0x10);
        for (const size_t piece : std::initializer_list<size_t>{7, 32, 100, 1000}) {
            ContentHash hash;
            bool same = true;
            for (size_t at = 0; at < text.size(); at += piece) {
                const size_t size = std::min(piece, text.size() - at);
                same = hash.updateComparing(text.data() + at, other.data() + at, size) && same;
            }
            EXPECT_FALSE(same) << changed << " " << piece;
            EXPECT_EQ(hash.digest(), expectedHash) << changed << " " << piece;  // the hash is of `data`
        }
    }
    EXPECT_TRUE(ContentHash().updateComparing("", "x", 0));
}
