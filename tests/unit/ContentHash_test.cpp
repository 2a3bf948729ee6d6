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
