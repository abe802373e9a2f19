// The GIF decoder's image data: LZW codes, sub-blocks, interlaced rows, and
// data that ends early.
#include "GifDecoderFixture.h"

#include <gtest/gtest.h>

using namespace gifbuild;
using namespace giftest;

namespace {

// --- LZW ------------------------------------------------------------------

// A 6 x 1 image, minimum code size 2 (clear 4, end 5, first free 6).
Bytes SixPixelImage(const std::vector<Code>& codes, unsigned chunk = 255) {
    return Gif(6, 1, DistinctTable(4))
        .Image(0, 0, 6, 1, false, {}, 2, SubBlocks(PackCodes(codes), chunk))
        .Trailer()
        .bytes;
}

struct LzwCase {
    const char* name;
    std::vector<Code> codes;
    std::vector<int> pixels; // empty: the image fails
};

void PrintTo(const LzwCase& c, std::ostream* os) {
    *os << c.name;
}

class GifLzwTest : public GifDecoderTest, public ::testing::WithParamInterface<LzwCase> {};

TEST_P(GifLzwTest, Decodes) {
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, SixPixelImage(GetParam().codes)));
    HBITMAP b = Next(dec);
    if (GetParam().pixels.empty()) {
        EXPECT_EQ(b, nullptr);
        return;
    }
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Indices(b), GetParam().pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, GifLzwTest,
    ::testing::Values(
        // 1, 2, then 6 = "1 2" (entry made by the second code), 3
        // (entry 7 is made by the 6: next free 8, so codes become 4 bits wide)
        LzwCase{
            "table_entry", {{4, 3}, {1, 3}, {2, 3}, {6, 3}, {3, 4}, {5, 4}}, {1, 2, 1, 2, 3, 0}},
        // 1, then 6 is the code being defined: "1" + "1"
        LzwCase{"code_equal_to_next_free", {{4, 3}, {1, 3}, {6, 3}, {5, 3}}, {1, 1, 1, 0, 0, 0}},
        // 7 is above the next free code 6: decoded as 6
        LzwCase{"code_above_next_free", {{4, 3}, {1, 3}, {7, 3}, {5, 3}}, {1, 1, 1, 0, 0, 0}},
        // No leading clear: the same as with one.
        LzwCase{"no_leading_clear", {{1, 3}, {2, 3}, {6, 3}, {5, 4}}, {1, 2, 1, 2, 0, 0}},
        // Width grows to 4 bits once entry 7 is made (next free 8).
        LzwCase{"width_grows",
                {{4, 3}, {3, 3}, {2, 3}, {1, 3}, {0, 4}, {7, 4}, {5, 4}},
                {3, 2, 1, 0, 2, 1}},
        // A clear in the middle resets the width to 3 and the next free code
        // to 6; the code after it is one pixel.
        LzwCase{"clear_in_the_middle",
                {{4, 3}, {3, 3}, {2, 3}, {1, 3}, {4, 4}, {2, 3}, {6, 3}, {5, 3}},
                {3, 2, 1, 2, 2, 2}},
        // The first code after a clear may be the first free code: one pixel
        // of its low 8 bits, which are past the 4-entry table (black).
        LzwCase{"first_free_after_clear", {{4, 3}, {6, 3}, {1, 3}, {5, 3}}, {-1, 1, 0, 0, 0, 0}},
        LzwCase{"clear_then_end", {{4, 3}, {5, 3}}, {0, 0, 0, 0, 0, 0}},
        LzwCase{"clears_only_then_end", {{4, 3}, {4, 3}, {4, 3}, {5, 3}}, {0, 0, 0, 0, 0, 0}},
        LzwCase{"above_first_free_after_clear_fails", {{4, 3}, {7, 3}, {5, 3}}, {}},
        // After 6, code 1 makes entry 6 with prefix 6 (itself): walking it fails.
        LzwCase{"self_referencing_entry_fails", {{4, 3}, {6, 3}, {1, 3}, {6, 3}, {5, 3}}, {}},
        // Surplus pixels of a non-interlaced image are dropped.
        LzwCase{"surplus_dropped",
                {{4, 3}, {1, 3}, {2, 3}, {3, 3}, {0, 4}, {1, 4}, {2, 4}, {3, 4}, {3, 4}, {5, 4}},
                {1, 2, 3, 0, 1, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GifDecoderTest, MinimumCodeSizeAbove11FailsTheImage) {
    Gif gif(2, 1, DistinctTable(2));
    gif.Image(0, 0, 2, 1, false, {}, 12, SubBlocks(PackCodes({{4096, 13}, {1, 13}, {4097, 13}})));
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    EXPECT_EQ(Next(dec), nullptr);
}

class GifSubBlockTest : public GifDecoderTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(GifSubBlockTest, CodesStraddlingSubBlocksDecodeTheSame) {
    auto pixels = Ramp(40 * 30, 251);
    Bytes data = EncodeFlat(pixels, 8);
    Gif gif(40, 30, DistinctTable(256));
    gif.Image(0, 0, 40, 30, false, {}, 8, SubBlocks(data, GetParam())).Trailer();
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Indices(b), AsInts(pixels));
    EXPECT_EQ(Next(dec), nullptr) << "the cursor ended after the image";
}

INSTANTIATE_TEST_SUITE_P(Sizes, GifSubBlockTest,
                         ::testing::Values(1u, 2u, 3u, 7u, 64u, 254u, 255u));

// Root codes only, no clear after the first: every code makes an entry, so the
// width goes 9, 10, 11, 12 and the table fills at 4096, after which 12-bit
// codes go on without new entries.
TEST_F(GifDecoderTest, WidthGrowsTo12AndAFullTableKeepsDecoding) {
    const int count = 5000;
    auto pixels = Ramp(count, 253);
    std::vector<Code> codes{{256, 9}};
    unsigned width = 9, nextFree = 258;
    std::vector<unsigned> widthAt; // width of the code for pixel i
    for (int i = 0; i < count; ++i) {
        codes.push_back({pixels[static_cast<std::size_t>(i)], width});
        widthAt.push_back(width);
        if (i > 0 && nextFree < 4096) {
            ++nextFree;
            if (nextFree == (1u << width) && width < 12) ++width;
        }
    }
    codes.push_back({257, width});
    // The code read after entry 511 is made is 10 bits wide, after 1023 11.
    EXPECT_EQ(widthAt[254], 9u);
    EXPECT_EQ(widthAt[255], 10u);
    EXPECT_EQ(widthAt[767], 11u);
    EXPECT_EQ(widthAt[4999], 12u);
    Gif gif(100, 50, DistinctTable(256));
    gif.Image(0, 0, 100, 50, false, {}, 8, SubBlocks(PackCodes(codes))).Trailer();
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(dec.m_nCodeSize, 12);
    EXPECT_EQ(Indices(b), AsInts(pixels));
}

TEST_F(GifDecoderTest, LongStringsFromAFullTable) {
    // One colour: each new entry is one longer than the last, so the table's
    // strings grow to thousands of pixels and cross many rows.
    std::vector<Code> codes{{4, 3}, {1, 3}};
    unsigned width = 3, nextFree = 6, total = 1;
    for (unsigned code = 6; total < 200 * 200; ++code) {
        unsigned c = std::min(code, 4095u);
        codes.push_back({c, width});
        total += c - 6 + 2 > 4091 ? 4091 : c - 6 + 2;
        if (nextFree < 4096 && ++nextFree == (1u << width) && width < 12) ++width;
    }
    codes.push_back({5, width});
    Gif gif(200, 200, DistinctTable(4));
    gif.Image(0, 0, 200, 200, false, {}, 2, SubBlocks(PackCodes(codes))).Trailer();
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Indices(b), std::vector<int>(200 * 200, 1));
}

// Encoders may write more after the end code: padding in the last sub-block
// (ffmpeg), or whole further sub-blocks. The next block is read where it is.
TEST_F(GifDecoderTest, DataAfterTheEndCodeIsSkippedToTheTerminator) {
    Bytes tight = PackCodes({{4, 3}, {1, 3}, {2, 3}, {5, 3}}); // 12 bits: 2 bytes
    for (const Bytes& data :
         {Bytes{tight[0], tight[1], 0x00},                // one pad byte
          Bytes{tight[0], tight[1], 0x21, 0xF9, 0x3B}}) { // bytes that look like blocks
        Gif gif(2, 1, DistinctTable(4));
        gif.Image(0, 0, 2, 1, false, {}, 2, SubBlocks(data, 2, false));
        gif.Append({3, 0x2C, 0x21, 0x3B, 0}); // a further sub-block, then the terminator
        gif.FlatImage(0, 0, 2, 1, {3, 3}).Trailer();
        CGifDecoder dec;
        ASSERT_TRUE(Load(dec, gif.bytes));
        HBITMAP first = Next(dec);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(Indices(first), (std::vector<int>{1, 2}));
        HBITMAP second = Next(dec);
        ASSERT_NE(second, nullptr) << "the image after the padded one comes";
        EXPECT_EQ(Indices(second), (std::vector<int>{3, 3}));
        EXPECT_EQ(Next(dec), nullptr);
    }
}

// --- Interlace ------------------------------------------------------------

class GifInterlaceTest : public GifDecoderTest,
                         public ::testing::WithParamInterface<std::vector<int>> {};

// Row r of the file's order holds the value r, so the decoded picture shows
// where each row went.
TEST_P(GifInterlaceTest, RowsGoToTheirPasses) {
    const std::vector<int>& order = GetParam();
    const int height = static_cast<int>(order.size()), width = 3;
    std::vector<std::uint8_t> pixels;
    for (int r = 0; r < height; ++r)
        pixels.insert(pixels.end(), width, static_cast<std::uint8_t>(r));
    CGifDecoder dec;
    ASSERT_TRUE(Load(
        dec,
        Gif(width, height, DistinctTable(16)).FlatImage(0, 0, width, height, pixels, true).bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    std::vector<int> expected(static_cast<std::size_t>(width * height));
    for (int r = 0; r < height; ++r)
        std::fill_n(expected.begin() + order[static_cast<std::size_t>(r)] * width, width, r);
    EXPECT_EQ(Indices(b), expected);
}

INSTANTIATE_TEST_SUITE_P(Heights, GifInterlaceTest,
                         ::testing::Values(std::vector<int>{0}, std::vector<int>{0, 1},
                                           std::vector<int>{0, 2, 1},
                                           std::vector<int>{0, 4, 2, 6, 1, 3, 5, 7},
                                           std::vector<int>{0, 8, 4, 2, 6, 1, 3, 5, 7, 9}));

TEST_F(GifDecoderTest, InterlacedSurplusOverwritesTheTopRow) {
    // 2 x 2 interlaced: rows 0 and 1, then two surplus pixels land on row 0.
    CGifDecoder dec;
    ASSERT_TRUE(Load(
        dec, Gif(2, 2, DistinctTable(8)).FlatImage(0, 0, 2, 2, {1, 2, 3, 4, 5, 6, 7}, true).bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Indices(b), (std::vector<int>{7, 6, 3, 4}));
}

// --- Data that ends early --------------------------------------------------

TEST_F(GifDecoderTest, DataEndingBeforeTheEndCodeKeepsWhatWasDecoded) {
    // 4 x 3 image; codes for 5 pixels, then the terminator without an end code.
    Bytes data = PackCodes({{4, 3}, {1, 3}, {2, 3}, {3, 3}, {1, 4}, {2, 4}});
    Gif gif(4, 3, DistinctTable(4));
    gif.Image(0, 0, 4, 3, false, {}, 2, SubBlocks(data)).FlatImage(0, 0, 1, 1, {3}).Trailer();
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Indices(b), (std::vector<int>{1, 2, 3, 1, 2, 0, 0, 0, 0, 0, 0, 0}));
    HBITMAP next = Next(dec);
    ASSERT_NE(next, nullptr) << "a terminator inside the data: the next image follows";
    EXPECT_EQ(Indices(next), std::vector<int>{3});
}

TEST_F(GifDecoderTest, TruncatedFileGivesItsPartialImageThenEnds) {
    auto pixels = Ramp(64 * 64, 200);
    Bytes bytes = Gif(64, 64, DistinctTable(256)).FlatImage(0, 0, 64, 64, pixels).bytes;
    bytes.resize(bytes.size() / 2);
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    std::vector<int> got = Indices(b);
    ASSERT_EQ(got.size(), pixels.size());
    std::size_t decoded = 0;
    while (decoded < got.size() && got[decoded] == pixels[decoded]) ++decoded;
    EXPECT_GT(decoded, 1000u);
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(decoded), got.end(), [](int v) {
        return v == 0;
    })) << "rows the data never reached are index 0";
    EXPECT_EQ(Next(dec), nullptr);
    EXPECT_NE(Next(dec), nullptr) << "after the rewind the partial image comes again";
}

TEST_F(GifDecoderTest, ImageWithoutAnyDataIsBlankAndEndsTheSequence) {
    Bytes bytes = Gif(2, 2, DistinctTable(2)).Descriptor(0, 0, 2, 2, false).bytes;
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Indices(b), std::vector<int>(4, 0));
    EXPECT_EQ(Next(dec), nullptr);
}

} // namespace
