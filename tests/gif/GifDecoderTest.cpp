#include "gif/GifDecoder.h"

#include "../TestFiles.h"
#include "GifBuilder.h"
#include "GifTestSupport.h"
#include "platform/Memory.h"

#include <gtest/gtest.h>

#include <set>

#include <numeric>

using namespace gifbuild;
using namespace giftest;
using gfxtest::ReadPixels;
using testfiles::TempFile;

namespace {

class GifDecoderTest : public WithScreen {
protected:
    void TearDown() override {
        for (HBITMAP b : frames_) DeleteObject(b);
        WithScreen::TearDown();
    }

    // Loads the bytes into `dec` and sets its context.
    bool Load(CGifDecoder& dec, const Bytes& bytes) {
        file_ = std::make_unique<TempFile>(bytes);
        dec.m_hDC = dc_;
        return dec.LoadFile(file_->str().c_str());
    }

    // Takes the next frame; the fixture deletes it.
    HBITMAP Next(CGifDecoder& dec) {
        HBITMAP b = dec.GetNextFrame();
        if (b) frames_.push_back(b);
        return b;
    }

    std::vector<int> Indices(HBITMAP b) { return ReadIndices(dc_, b); }

    std::vector<HBITMAP> frames_;
    std::unique_ptr<TempFile> file_;
};

std::vector<std::uint8_t> Ramp(int n, int modulo = 256) {
    std::vector<std::uint8_t> p(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        p[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i % modulo);
    return p;
}

std::vector<int> AsInts(const std::vector<std::uint8_t>& v) {
    return {v.begin(), v.end()};
}

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
