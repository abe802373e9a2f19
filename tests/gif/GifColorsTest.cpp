// The colours a GIF can show, counted once each, and the first image's
// placement, against an independent count.
#include "GifDecoderFixture.h"

#include <gtest/gtest.h>

#include <set>

using namespace gifbuild;
using namespace giftest;

namespace {

// The colours an independent count expects: each listed table entry once,
// black when asked for, in ascending COLORREF order.
std::vector<COLORREF> Distinct(std::vector<Bytes> tables, bool black) {
    std::set<COLORREF> set;
    for (const Bytes& t : tables)
        for (std::size_t i = 0; i + 2 < t.size(); i += 3) set.insert(RGB(t[i], t[i + 1], t[i + 2]));
    if (black) set.insert(RGB(0, 0, 0));
    return {set.begin(), set.end()};
}

TEST(GifColorsTest, CountsEachColourThatCanShowOnce) {
    const Bytes table256 = DistinctTable(256), table4 = DistinctTable(4), table8 = DistinctTable(8);
    Bytes doubled = DistinctTable(128); // 256 entries, each colour twice
    doubled.insert(doubled.end(), doubled.begin(), doubled.end());
    Bytes other(table256); // 256 other colours
    for (std::uint8_t& b : other) b ^= 0x81;
    const std::vector<std::uint8_t> pixels{0, 1};
    struct Case {
        const char* what;
        Gif gif;
        std::vector<COLORREF> expected;
    } cases[] = {
        {"a full 256-entry table: exact, no black",
         std::move(Gif(2, 1, table256).FlatImage(0, 0, 2, 1, pixels).Trailer()),
         Distinct({table256}, false)},
        {"repeated entries count once",
         std::move(Gif(2, 1, doubled).FlatImage(0, 0, 2, 1, pixels).Trailer()),
         Distinct({doubled}, false)},
        {"the same local table on a hundred images: each colour once",
         [&] {
             Gif gif(2, 1);
             for (int i = 0; i < 100; ++i) gif.FlatImage(0, 0, 2, 1, pixels, false, table256);
             return std::move(gif.Trailer());
         }(),
         Distinct({table256}, false)},
        {"a global table no image uses is left out",
         std::move(Gif(2, 1, other).FlatImage(0, 0, 2, 1, pixels, false, table256).Trailer()),
         Distinct({table256}, false)},
        {"a table shorter than the codes' range: indices past it are black",
         std::move(Gif(2, 1, table4).FlatImage(0, 0, 2, 1, pixels, false, {}, 8).Trailer()),
         Distinct({table4}, true)},
        {"a table of 2^n entries: the first free code after a clear indexes past it",
         std::move(Gif(2, 1, table4).FlatImage(0, 0, 2, 1, pixels, false, {}, 2).Trailer()),
         Distinct({table4}, true)},
        {"a table past every index the codes can give",
         std::move(Gif(2, 1, table8).FlatImage(0, 0, 2, 1, pixels, false, {}, 2).Trailer()),
         Distinct({table8}, false)},
        {"an image without a table, cut before its code size: index 0 is black",
         std::move(Gif(2, 1).Descriptor(0, 0, 2, 1, false)), Distinct({}, true)},
        {"no table at all",
         std::move(Gif(2, 1).FlatImage(0, 0, 2, 1, pixels, false, {}, 1).Trailer()),
         Distinct({}, true)},
        {"local and global tables; the walk ends at an unknown label",
         std::move(Gif(2, 1, table4)
                       .FlatImage(0, 0, 2, 1, pixels, false, {}, 2)
                       .Comment("c")
                       .FlatImage(0, 0, 2, 1, pixels, false, other, 8)
                       .Append({0x21, 0x02, 0})
                       .FlatImage(0, 0, 2, 1, pixels, false, Bytes{9, 9, 9, 8, 8, 8}, 1)
                       .Trailer()),
         Distinct({table4, other}, true)},
    };
    for (const Case& c : cases) {
        TempFile file(c.gif.bytes);
        CGifDecoder dec;
        ASSERT_TRUE(dec.LoadFile(file.str().c_str())) << c.what;
        EXPECT_EQ(dec.CollectColors(), c.expected) << c.what;
        EXPECT_EQ(dec.m_nPos, 0) << "the frame walk has not moved: " << c.what;
    }
}

TEST(GifColorsTest, GivesTheFirstImagesPlacementAndStopsAtACut) {
    Gif gif(8, 8, DistinctTable(4));
    gif.FlatImage(3, 2, 2, 1, {0, 1}, false, {}, 2);
    const std::size_t secondTable = gif.bytes.size() + 10; // after the descriptor
    gif.FlatImage(0, 0, 2, 1, {0, 1}, false, Bytes{9, 9, 9, 8, 8, 8}, 1);
    TempFile file(gif.bytes);
    CGifDecoder dec;
    ASSERT_TRUE(dec.LoadFile(file.str().c_str()));
    RECT first;
    EXPECT_EQ(dec.CollectColors(&first).size(), 4u + 2u + 1u) << "two tables and black";
    EXPECT_EQ(first.left, 3);
    EXPECT_EQ(first.top, 2);
    EXPECT_EQ(first.right, 5);
    EXPECT_EQ(first.bottom, 3);

    // A file cut inside the second image's table keeps the colours before it.
    Bytes cut(gif.bytes.begin(), gif.bytes.begin() + static_cast<long>(secondTable) + 3);
    TempFile cutFile(cut);
    CGifDecoder cutDec;
    ASSERT_TRUE(cutDec.LoadFile(cutFile.str().c_str()));
    EXPECT_EQ(cutDec.CollectColors(), Distinct({DistinctTable(4)}, true));
}

} // namespace
