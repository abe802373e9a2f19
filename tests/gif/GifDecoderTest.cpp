// The GIF decoder on hand-built files: the header and loading, the walk over
// the blocks, and each image's placement, size and colour tables.
#include "GifDecoderFixture.h"
#include "platform/Memory.h"

#include <gtest/gtest.h>

using namespace gifbuild;
using namespace giftest;
using gfxtest::ReadPixels;

namespace {

// --- Header and load ------------------------------------------------------

struct HeaderCase {
    const char* name;
    Bytes bytes;
    bool loads;
};

void PrintTo(const HeaderCase& c, std::ostream* os) {
    *os << c.name;
}

class GifHeaderTest : public GifDecoderTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(GifHeaderTest, AcceptsOnlyVersions87aAnd89a) {
    CapturedMessages messages;
    CGifDecoder dec;
    EXPECT_EQ(Load(dec, GetParam().bytes) != FALSE, GetParam().loads);
    EXPECT_TRUE(messages.texts.empty()) << "only a file that cannot be opened is reported";
}

Bytes WithVersion(const char* v) {
    return Gif(4, 4, {}, 0, v).Trailer().bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Versions, GifHeaderTest,
    ::testing::Values(
        HeaderCase{"gif87a", WithVersion("87a"), true},
        HeaderCase{"gif89a", WithVersion("89a"), true},
        HeaderCase{"gif88a", WithVersion("88a"), false},
        HeaderCase{"gif89b", WithVersion("89b"), false},
        HeaderCase{"gif79a", WithVersion("79a"), false},
        HeaderCase{"png", Bytes{0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13, 'I'}, false},
        HeaderCase{"twelve_bytes", Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0}, false},
        HeaderCase{"empty", Bytes{}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GifDecoderTest, MissingFileIsReportedWithItsPath) {
    CapturedMessages messages;
    CGifDecoder dec;
    EXPECT_FALSE(dec.LoadFile("/nonexistent/folder/picture.gif"));
    ASSERT_EQ(messages.texts.size(), 1u);
    EXPECT_EQ(messages.texts[0], "Error opening file /nonexistent/folder/picture.gif");
    EXPECT_EQ(dec.GetNextFrame(), nullptr);
}

TEST_F(GifDecoderTest, GlobalTableCutShortFailsAndKeepsNoTable) {
    Bytes bytes = Gif(2, 2, DistinctTable(16)).bytes; // 48 table bytes promised
    bytes.resize(13 + 47);
    CGifDecoder dec;
    EXPECT_FALSE(Load(dec, bytes));
    EXPECT_EQ(dec.m_nGlobalColors, 0);
    EXPECT_EQ(dec.m_pGlobalColors, nullptr);
}

TEST_F(GifDecoderTest, LoadKeepsScreenTableAndTheRest) {
    // Screen 300 x 200, global table of 4 entries, background index 3.
    Bytes bytes = Gif(300, 200, DistinctTable(4), 3).Trailer().bytes;
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, bytes));
    EXPECT_EQ(dec.m_nScreenWidth, 300);
    EXPECT_EQ(dec.m_nScreenHeight, 200);
    EXPECT_EQ(dec.m_nBackgroundIndex, 3);
    EXPECT_EQ(dec.m_nGlobalColors, 4);
    ASSERT_NE(dec.m_pGlobalColors, nullptr);
    EXPECT_EQ(dec.m_pGlobalColors[3 * 2 + 1], 253); // green of entry 2
    EXPECT_EQ(dec.m_nDataSize, 1);                  // the trailer
    EXPECT_EQ(dec.m_pData[0], 0x3B);
}

TEST_F(GifDecoderTest, FileWithoutGlobalTableLoads) {
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, Gif(8, 8).FlatImage(0, 0, 2, 1, {0, 1}, false, DistinctTable(2)).bytes));
    EXPECT_EQ(dec.m_nGlobalColors, 0);
    EXPECT_EQ(dec.m_pGlobalColors, nullptr);
    ASSERT_NE(Next(dec), nullptr);
}

TEST_F(GifDecoderTest, HeaderAndTableOnlyHasNoFrames) {
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, Gif(8, 8, DistinctTable(2)).bytes));
    EXPECT_EQ(dec.m_nDataSize, 0);
    EXPECT_EQ(Next(dec), nullptr);
    EXPECT_EQ(Next(dec), nullptr);
}

TEST_F(GifDecoderTest, EveryFailedAllocationFailsTheLoadCleanly) {
    Bytes bytes = Gif(2, 2, DistinctTable(4)).FlatImage(0, 0, 2, 2, {0, 1, 2, 3}).Trailer().bytes;
    for (long n = 0; n < 2; ++n) { // the global table, then the data buffer
        CGifDecoder dec;
        AfxInjectAllocFailure(n);
        EXPECT_FALSE(Load(dec, bytes)) << "allocation " << n;
        AfxInjectAllocFailure(-1);
        EXPECT_EQ(Next(dec), nullptr);
    }
    for (long n = 0; n < 2; ++n) { // the image's block, then the device bitmap
        CGifDecoder dec;
        ASSERT_TRUE(Load(dec, bytes));
        AfxInjectAllocFailure(n);
        EXPECT_EQ(Next(dec), nullptr) << "allocation " << n;
        AfxInjectAllocFailure(-1);
    }
}

// --- Walking the blocks ---------------------------------------------------

TEST_F(GifDecoderTest, AnimationReportsEachImagesOwnGraphicControl) {
    Gif gif(4, 4, DistinctTable(4));
    gif.Application("NETSCAPE2.0", {1, 0, 0});
    for (int i = 0; i < 3; ++i)
        gif.Gce(i == 1 ? 0x09 : 0x04, 10 * (i + 1), i + 1)
            .FlatImage(0, 0, 4, 4, Bytes(16, static_cast<std::uint8_t>(i)));
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.Trailer().bytes));
    for (int i = 0; i < 3; ++i) {
        HBITMAP b = Next(dec);
        ASSERT_NE(b, nullptr) << "image " << i;
        EXPECT_EQ(dec.m_nDelay, 10 * (i + 1));
        EXPECT_EQ(dec.m_nTransparentIndex, i + 1);
        EXPECT_EQ(Indices(b), std::vector<int>(16, i));
    }
    EXPECT_EQ(Next(dec), nullptr);
}

TEST_F(GifDecoderTest, GraphicControlBitsAreKeptInPlace) {
    // Packed 0x09: disposal bits 010 (kept unshifted: 8), transparency flag.
    CGifDecoder dec;
    ASSERT_TRUE(
        Load(dec, Gif(2, 1, DistinctTable(2)).Gce(0x09, 7, 1).FlatImage(0, 0, 2, 1, {0, 1}).bytes));
    ASSERT_NE(Next(dec), nullptr);
    EXPECT_EQ(dec.m_nDisposal, 8);
    EXPECT_EQ(dec.m_bTransparent, 1);
    EXPECT_EQ(dec.m_nDelay, 7);
}

TEST_F(GifDecoderTest, FirstGraphicControlCarriesOverToLaterImages) {
    Gif gif(2, 1, DistinctTable(2));
    gif.Gce(0x1D, 500, 1).FlatImage(0, 0, 2, 1, {0, 1}).FlatImage(0, 0, 2, 1, {1, 0});
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.Trailer().bytes));
    for (int i = 0; i < 2; ++i) {
        ASSERT_NE(Next(dec), nullptr);
        EXPECT_EQ(dec.m_nDelay, 500);
        EXPECT_EQ(dec.m_nDisposal, 0x1C);
        EXPECT_EQ(dec.m_bTransparent, 1);
    }
}

TEST_F(GifDecoderTest, CommentAndPlainTextBetweenImagesArePassedOver) {
    Gif gif(2, 1, DistinctTable(2));
    gif.FlatImage(0, 0, 2, 1, {0, 1}).Comment(std::string(300, 'c')).PlainText("hello");
    gif.Comment("").FlatImage(0, 0, 2, 1, {1, 1}).Trailer();
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    ASSERT_NE(Next(dec), nullptr);
    HBITMAP second = Next(dec);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Indices(second), (std::vector<int>{1, 1}));
    EXPECT_EQ(Next(dec), nullptr);
}

TEST_F(GifDecoderTest, UnknownExtensionLabelEndsTheImages) {
    Gif gif(2, 1, DistinctTable(2));
    gif.FlatImage(0, 0, 2, 1, {0, 1});
    gif.Append({0x21, 0x02, 1, 0xAA, 0}); // label 0x02 with one well-formed sub-block
    gif.FlatImage(0, 0, 2, 1, {1, 0}).Trailer();
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    ASSERT_NE(Next(dec), nullptr);
    EXPECT_EQ(Next(dec), nullptr);
    // Not at the end of the data: the next call reads on after the label.
    EXPECT_EQ(Next(dec), nullptr); // 0x01 read as an introducer
}

TEST_F(GifDecoderTest, TrailerAtTheEndRewindsToTheFirstImage) {
    Gif gif(2, 1, DistinctTable(2));
    gif.FlatImage(0, 0, 2, 1, {1, 0}).FlatImage(0, 0, 2, 1, {0, 0}).Trailer();
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    ASSERT_NE(Next(dec), nullptr);
    ASSERT_NE(Next(dec), nullptr);
    EXPECT_EQ(Next(dec), nullptr); // trailer
    EXPECT_EQ(Next(dec), nullptr); // rewind
    HBITMAP again = Next(dec);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Indices(again), (std::vector<int>{1, 0}));
}

TEST_F(GifDecoderTest, FileEndingAfterItsLastImageEndsTheSequence) {
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, Gif(2, 1, DistinctTable(2)).FlatImage(0, 0, 2, 1, {1, 1}).bytes));
    ASSERT_NE(Next(dec), nullptr);
    EXPECT_EQ(Next(dec), nullptr);
    EXPECT_NE(Next(dec), nullptr) << "the sequence starts again";
}

// Cuts a valid two-image file at every length: each prefix loads or fails,
// gives at most the two images, and ends its sequence.
TEST_F(GifDecoderTest, EveryTruncationEndsCleanly) {
    Gif gif(3, 2, DistinctTable(4));
    gif.Application("NETSCAPE2.0", {1, 0, 0})
        .Gce(4, 5, 0)
        .FlatImage(0, 0, 3, 2, {0, 1, 2, 3, 2, 1});
    gif.Comment("x").Gce(4, 5, 0).FlatImage(1, 1, 2, 1, {3, 3}, true).Trailer();
    for (std::size_t len = 0; len <= gif.bytes.size(); ++len) {
        CGifDecoder dec;
        if (!Load(dec, Bytes(gif.bytes.begin(), gif.bytes.begin() + static_cast<long>(len))))
            continue;
        int frames = 0;
        while (Next(dec) && frames < 10) ++frames;
        EXPECT_LE(frames, 2) << "length " << len;
    }
}

// --- Images and colour tables --------------------------------------------

TEST_F(GifDecoderTest, PlacementAndSizeComeFromTheDescriptor) {
    CGifDecoder dec;
    ASSERT_TRUE(
        Load(dec, Gif(100, 100, DistinctTable(2)).FlatImage(10, 20, 30, 40, Bytes(1200, 1)).bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(dec.m_nLeft, 10);
    EXPECT_EQ(dec.m_nTop, 20);
    EXPECT_EQ(dec.m_nWidth, 30);
    EXPECT_EQ(dec.m_nHeight, 40);
    BITMAP bm{};
    ASSERT_EQ(GetObject(b, sizeof bm, &bm), static_cast<int>(sizeof bm));
    EXPECT_EQ(bm.bmWidth, 30);
    EXPECT_EQ(bm.bmHeight, 40);
}

class GifWidthTest : public GifDecoderTest,
                     public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(GifWidthTest, RowsArePaddedToFourBytesButTheBitmapIsExact) {
    auto [width, stride] = GetParam();
    const int height = 3;
    auto pixels = Ramp(width * height, 7);
    CGifDecoder dec;
    ASSERT_TRUE(Load(
        dec, Gif(width, height, DistinctTable(8)).FlatImage(0, 0, width, height, pixels).bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(dec.m_nStride, stride);
    EXPECT_EQ(dec.m_nIndexSize, stride * height);
    EXPECT_EQ(Indices(b), AsInts(pixels));
}

INSTANTIATE_TEST_SUITE_P(Widths, GifWidthTest,
                         ::testing::Values(std::pair{1, 4}, std::pair{3, 4}, std::pair{4, 4},
                                           std::pair{5, 8}, std::pair{8, 8}, std::pair{9, 12}));

TEST_F(GifDecoderTest, LocalTableServesItsImageOnly) {
    Bytes local;
    for (int i = 0; i < 4; ++i)
        local.insert(local.end(), {0x10, 0x20, static_cast<std::uint8_t>(0x30 + i)});
    Gif gif(2, 1, DistinctTable(4));
    gif.FlatImage(0, 0, 2, 1, {1, 3}, false, local).FlatImage(0, 0, 2, 1, {1, 3}).Trailer();
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    HBITMAP first = Next(dec), second = Next(dec);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(ReadPixels(first, dc_), (std::vector<std::uint32_t>{0x102031, 0x102033}));
    EXPECT_EQ(Indices(second), (std::vector<int>{1, 3}));
}

TEST_F(GifDecoderTest, TransparentColourComesFromTheTableInUse) {
    Bytes local = DistinctTable(8);
    local[15] = 0x10, local[16] = 0x20, local[17] = 0x30; // entry 5
    Gif gif(2, 1, DistinctTable(8));
    gif.Gce(0x01, 0, 5).FlatImage(0, 0, 2, 1, {5, 0}, false, local);
    gif.Gce(0x01, 0, 200).FlatImage(0, 0, 2, 1, {0, 5}); // index beyond the global table
    gif.Gce(0x01, 0, 6).FlatImage(0, 0, 2, 1, {6, 6}).Trailer();
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(dec.m_crTransparent, 0x302010u);
    EXPECT_EQ(ReadPixels(b, dc_)[0], 0x102030u) << "transparency is not applied to the picture";
    ASSERT_NE(Next(dec), nullptr);
    EXPECT_EQ(dec.m_crTransparent, 0x302010u) << "kept when the index has no entry";
    ASSERT_NE(Next(dec), nullptr);
    EXPECT_EQ(dec.m_crTransparent, RGB(6, 249, 6 ^ 0x5A));
}

TEST_F(GifDecoderTest, IndicesPastTheTableAndImagesWithoutTablesAreBlack) {
    Gif gif(2, 1, DistinctTable(2));
    gif.FlatImage(0, 0, 2, 1, {1, 7}); // 7 is past the 2-entry table
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    HBITMAP b = Next(dec);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ReadPixels(b, dc_), (std::vector<std::uint32_t>{0x01FE5B, 0}));

    CGifDecoder bare;
    ASSERT_TRUE(Load(bare, Gif(2, 1).FlatImage(0, 0, 2, 1, {1, 0}).bytes));
    HBITMAP c = Next(bare);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ReadPixels(c, dc_), (std::vector<std::uint32_t>{0, 0}));
}

TEST_F(GifDecoderTest, ZeroSizedImageIsAnEmptyFrameAndTheNextOneStillComes) {
    Gif gif(4, 4, DistinctTable(2));
    gif.Image(0, 0, 0, 4, false, {}, 2, SubBlocks(PackCodes({{4, 3}, {5, 3}})));
    gif.Image(0, 0, 4, 0, true, {}, 2, SubBlocks(PackCodes({{4, 3}, {1, 3}, {5, 3}})));
    gif.FlatImage(0, 0, 1, 1, {1}).Trailer();
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    for (int i = 0; i < 2; ++i) {
        HBITMAP b = Next(dec);
        ASSERT_NE(b, nullptr) << "image " << i;
        BITMAP bm{};
        GetObject(b, sizeof bm, &bm);
        EXPECT_EQ(bm.bmWidth * bm.bmHeight, 0);
    }
    HBITMAP last = Next(dec);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(Indices(last), std::vector<int>{1});
}

TEST_F(GifDecoderTest, ImagesBeyond256MiBOfRowsAreRefused) {
    // 65535 x 4097 needs 65536 * 4097 bytes of rows: just past the limit.
    Gif gif(8, 8, DistinctTable(2));
    gif.Image(0, 0, 65535, 4097, false, {}, 2, SubBlocks(PackCodes({{4, 3}, {5, 3}})));
    CGifDecoder dec;
    ASSERT_TRUE(Load(dec, gif.bytes));
    EXPECT_EQ(Next(dec), nullptr);
}

TEST_F(GifDecoderTest, DescriptorOrLocalTablePastTheDataFailsTheImage) {
    Bytes cut = Gif(2, 1).FlatImage(0, 0, 2, 1, {0, 1}, false, DistinctTable(4)).bytes;
    for (std::size_t keep :
         {13u + 5u, 13u + 10u, 13u + 10u + 11u}) { // in the descriptor, at the table, in it
        CGifDecoder dec;
        ASSERT_TRUE(Load(dec, Bytes(cut.begin(), cut.begin() + static_cast<long>(keep))));
        EXPECT_EQ(Next(dec), nullptr) << keep;
        EXPECT_GE(dec.m_nPos, dec.m_nDataSize) << "the next call rewinds";
    }
}

} // namespace
