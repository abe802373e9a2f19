#include "avi/AviWriter.h"
#include "avi/AviTesting.h"

#include "../LeakCheckedTest.h"
#include "AviParse.h"
#include "AviTestSupport.h"
#include "avi/VideoPalette.h"
#include "gfx/Palette.h"
#include "platform/Memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>

using namespace avitest;
using testfiles::TempPath;

namespace {

// Files and streams are released and AVIFileInit is matched too.
class AviWriterTest : public LeakCheckedTest {
protected:
    void TearDown() override {
        AviInjectWriteFailure(-1);
        AviSetLibraryVersion(0);
        EXPECT_EQ(AviLiveObjects(), 0) << "a file or stream was not released";
        EXPECT_EQ(AviInitCount(), 0) << "AVIFileInit without AVIFileExit";
        LeakCheckedTest::TearDown();
    }

    // Adds every picture as a frame; returns how many were accepted.
    static int AddAll(CAviWriter& writer, const std::vector<Picture>& pictures, bool uncompressed) {
        int accepted = 0;
        for (const Picture& p : pictures) {
            HBITMAP b = MakeBitmap(p);
            accepted += writer.AddFrame(&b, uncompressed);
            DeleteObject(b);
        }
        return accepted;
    }
};

// Colours from the stock 256-entry table, which the 8-bit capture keeps
// exactly when no palette is realised.
Picture Pattern(int width, int height, int seed) {
    static const std::uint32_t stock[] = {0x000000, 0x800000, 0x008000, 0xC0C0C0,
                                          0xFFFFCC, 0xFF9933, 0x3366FF, 0x00FF99,
                                          0xEE0000, 0x0000EE, 0xFFFFFF, 0x999999};
    Picture p{width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width) * height)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p.at(x, y) = stock[static_cast<std::size_t>((x / 3 + y / 2 + seed) % 12)];
    return p;
}

// --- Without frames, without a library --------------------------------------

TEST_F(AviWriterTest, NoFrameNoFile) {
    TempPath path;
    {
        CAviWriter writer(path.str().c_str(), 8, 8);
        EXPECT_TRUE(writer.IsAvailable());
        EXPECT_EQ(AviInitCount(), 1);
    }
    EXPECT_FALSE(path.exists());
}

TEST_F(AviWriterTest, LibraryOlderThan110IsNeverUsed) {
    AviSetLibraryVersion(0x01090000);
    TempPath path;
    {
        CAviWriter writer(path.str().c_str(), 8, 8);
        EXPECT_FALSE(writer.IsAvailable());
        EXPECT_EQ(AviInitCount(), 0);
        EXPECT_EQ(AddAll(writer, {Pattern(8, 8, 0)}, false), 0);
    }
    EXPECT_FALSE(path.exists());
}

// --- Frames, both ways ------------------------------------------------------

class AviWriterModeTest : public AviWriterTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AviWriterModeTest, FramesDecodeAsGiven) {
    SKIP_WITHOUT_FFMPEG();
    const bool uncompressed = GetParam();
    TempPath path;
    std::vector<Picture> pictures{Pattern(37, 21, 0), Pattern(37, 21, 5), Pattern(37, 21, 7)};
    {
        std::ofstream(path.str()) << "an older file of the same name";
        CAviWriter writer(path.str().c_str(), 37, 21);
        EXPECT_EQ(AddAll(writer, pictures, uncompressed), 3);
        EXPECT_EQ(writer.m_nFrameCount, 3);
    }
    std::map<std::string, std::string> probed =
        Probe(path.str(), {"codec_name", "r_frame_rate", "nb_read_frames"});
    EXPECT_EQ(probed["codec_name"], uncompressed ? "rawvideo" : "msrle");
    EXPECT_EQ(probed["r_frame_rate"], "15/1");
    EXPECT_EQ(probed["nb_read_frames"], "3");
    std::string complaints;
    std::vector<Picture> frames = DecodeWithFfmpeg(path.str(), 37, 21, &complaints);
    EXPECT_EQ(complaints, "");
    ASSERT_EQ(frames.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(frames[i].rgb, pictures[i].rgb) << "frame " << i;
}

INSTANTIATE_TEST_SUITE_P(Compression, AviWriterModeTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "uncompressed" : "rle8"; });

TEST_F(AviWriterTest, Rle8FormatIsAHeaderAnd256Colours) {
    TempPath path;
    {
        CAviWriter writer(path.str().c_str(), 4, 2);
        ASSERT_EQ(AddAll(writer, {Pattern(4, 2, 1)}, false), 1);
        EXPECT_EQ(writer.m_compressOptions.fccHandler, mmioFOURCC('m', 'r', 'l', 'e'));
        EXPECT_EQ(writer.m_compressOptions.dwQuality, 8500u);
        EXPECT_EQ(writer.m_compressOptions.dwFlags, AVICOMPRESSF_VALID);
        EXPECT_EQ(writer.m_streamInfo.fccType, streamtypeVIDEO);
        EXPECT_EQ(writer.m_streamInfo.dwRate, 15u);
        EXPECT_EQ(writer.m_streamInfo.dwScale, 1u);
        EXPECT_EQ(writer.m_streamInfo.dwSuggestedBufferSize, 8u); // 4 x 2 at 8 bits
        EXPECT_EQ(writer.m_streamInfo.rcFrame.right, 4);
    }
    AviParse avi;
    ASSERT_TRUE(avi.Load(path.str())) << avi.error;
    ASSERT_EQ(avi.strf.size(), 1064u);
    BITMAPINFOHEADER h;
    std::memcpy(&h, avi.strf.data(), sizeof h);
    EXPECT_EQ(h.biBitCount, 8);
    EXPECT_EQ(h.biClrUsed, 256u);
    EXPECT_EQ(h.biCompression, BI_RLE8);
}

TEST_F(AviWriterTest, AnotherSizeIsRefusedAndLeavesNoGap) {
    SKIP_WITHOUT_FFMPEG();
    TempPath path;
    std::vector<Picture> pictures{Pattern(10, 6, 0), Pattern(11, 6, 1), Pattern(10, 6, 2)};
    {
        CAviWriter writer(path.str().c_str(), 10, 6);
        HBITMAP b0 = MakeBitmap(pictures[0]), b1 = MakeBitmap(pictures[1]),
                b2 = MakeBitmap(pictures[2]);
        EXPECT_TRUE(writer.AddFrame(&b0, false));
        EXPECT_FALSE(writer.AddFrame(&b1, false));
        EXPECT_TRUE(writer.IsAvailable());
        EXPECT_TRUE(writer.AddFrame(&b2, false));
        EXPECT_EQ(writer.m_nFrameCount, 2);
        for (HBITMAP b : {b0, b1, b2}) DeleteObject(b);
    }
    std::vector<Picture> frames = DecodeWithFfmpeg(path.str(), 10, 6, nullptr);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].rgb, pictures[0].rgb);
    EXPECT_EQ(frames[1].rgb, pictures[2].rgb);
}

TEST_F(AviWriterTest, NegativeSizeIsTakenFromTheFirstFrame) {
    TempPath path;
    CAviWriter writer(path.str().c_str(), -1, -1);
    EXPECT_EQ(AddAll(writer, {Pattern(5, 3, 0), Pattern(3, 5, 0), Pattern(5, 3, 1)}, true), 2);
    EXPECT_EQ(writer.m_nFrameWidth, 5);
    EXPECT_EQ(writer.m_nFrameHeight, 3);
}

TEST_F(AviWriterTest, AFailedWriteMakesTheWriterUnusable) {
    TempPath path;
    {
        CAviWriter writer(path.str().c_str(), 6, 4);
        ASSERT_EQ(AddAll(writer, {Pattern(6, 4, 0)}, false), 1);
        AviInjectWriteFailure(0);
        EXPECT_EQ(AddAll(writer, {Pattern(6, 4, 1)}, false), 0);
        EXPECT_FALSE(writer.IsAvailable());
        AviInjectWriteFailure(-1);
        EXPECT_EQ(AddAll(writer, {Pattern(6, 4, 2)}, false), 0) << "no retry";
        EXPECT_EQ(writer.m_nFrameCount, 1);
    }
    if (!HaveFfmpeg()) return;
    std::vector<Picture> frames = DecodeWithFfmpeg(path.str(), 6, 4, nullptr);
    ASSERT_EQ(frames.size(), 1u) << "the frame written before the failure stays playable";
    EXPECT_EQ(frames[0].rgb, Pattern(6, 4, 0).rgb);
}

// Close answers how completing the file went, once; no frame is taken after.
TEST_F(AviWriterTest, CloseReportsTheCompletion) {
    struct Case {
        long failAt; // the write that fails counting from the close's first; -1: none
        int frames;
        HRESULT expected;
    } cases[] = {{-1, 0, AVIERR_OK}, {-1, 2, AVIERR_OK}, {0, 2, AVIERR_FILEWRITE}};
    for (const Case& c : cases) {
        TempPath path;
        CAviWriter writer(path.str().c_str(), 6, 4);
        for (int i = 0; i < c.frames; ++i) ASSERT_EQ(AddAll(writer, {Pattern(6, 4, i)}, true), 1);
        AviInjectWriteFailure(c.failAt);
        EXPECT_EQ(writer.Close(), c.expected) << c.frames << " frames, failure " << c.failAt;
        AviInjectWriteFailure(-1);
        EXPECT_EQ(path.exists(), c.frames > 0);
        EXPECT_EQ(AddAll(writer, {Pattern(6, 4, 0)}, true), 0) << "closed";
    }
}

TEST_F(AviWriterTest, AFrameWithoutPixelsIsRefusedBeforeTheFileIsTouched) {
    TempPath path;
    std::ofstream(path.str()) << "keep me";
    {
        CAviWriter writer(path.str().c_str(), -1, -1);
        EXPECT_EQ(AddAll(writer, {Picture{5, 0, {}}, Picture{0, 5, {}}}, false), 0);
        EXPECT_EQ(AddAll(writer, {Picture{5, 0, {}}}, true), 0);
        EXPECT_TRUE(writer.IsAvailable());
    }
    EXPECT_EQ(testfiles::ReadText(path.str()), "keep me");
}

// Uncompressed frames keep the screen's depth: 5-5-5 words, or 8 bits with the
// stock table, which ffmpeg reads as rgb555 and pal8.
class AviWriterScreenTest : public AviWriterTest, public ::testing::WithParamInterface<int> {};

TEST_P(AviWriterScreenTest, UncompressedFramesAtTheScreensDepth) {
    SKIP_WITHOUT_FFMPEG();
    ASSERT_TRUE(GdiSetScreenBitsPerPixel(GetParam()));
    TempPath path;
    // Black, white and stock colours whose components are multiples of 8
    // survive 5-5-5 too.
    Picture p{7, 3, {0x000000, 0xFFFFFF, 0x000000, 0xFFFFFF, 0, 0, 0, 0xFFFFFF, 0, 0xFFFFFF, 0,
                     0,        0,        0,        0xFFFFFF, 0, 0, 0, 0,        0, 0xFFFFFF}};
    {
        CAviWriter writer(path.str().c_str(), 7, 3);
        EXPECT_EQ(AddAll(writer, {p, p}, true), 2);
    }
    std::string complaints;
    std::vector<Picture> frames = DecodeWithFfmpeg(path.str(), 7, 3, &complaints);
    EXPECT_EQ(complaints, "");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].rgb, p.rgb);
}

INSTANTIATE_TEST_SUITE_P(Depths, AviWriterScreenTest, ::testing::Values(16, 8, 1));

TEST_F(AviWriterTest, AFileThatCannotBeCreatedMakesTheWriterUnusable) {
    CAviWriter writer("/nonexistent/folder/clip.avi", 6, 4);
    EXPECT_EQ(AddAll(writer, {Pattern(6, 4, 0), Pattern(6, 4, 1)}, true), 0);
    EXPECT_FALSE(writer.IsAvailable());
}

TEST_F(AviWriterTest, AFailedCaptureIsNoFrameAndNotAnEarlierOneAgain) {
    TempPath path;
    CAviWriter writer(path.str().c_str(), 6, 4);
    ASSERT_EQ(AddAll(writer, {Pattern(6, 4, 0)}, true), 1);
    HBITMAP none = nullptr;
    EXPECT_FALSE(writer.AddFrame(&none, true));
    EXPECT_FALSE(writer.AddFrame(&none, false));
    HBITMAP b = MakeBitmap(Pattern(6, 4, 1));
    AfxInjectAllocFailure(0); // the 8-bit capture's block
    EXPECT_FALSE(writer.AddFrame(&b, false));
    DeleteObject(b);
    EXPECT_TRUE(writer.IsAvailable());
    EXPECT_EQ(writer.m_nFrameCount, 1);
}

// --- 8-bit colour reduction ------------------------------------------------

TEST_F(AviWriterTest, BitmapToDibGivesA256ColourBottomUpDib) {
    Picture p = Pattern(3, 2, 0);
    p.at(0, 0) = 0xA6CAF0; // stock entry 9, top left
    HBITMAP b = MakeBitmap(p);
    HGLOBAL block = BitmapToDIB(b, 8);
    DeleteObject(b);
    ASSERT_NE(block, nullptr);
    auto* h = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    EXPECT_EQ(h->biSize, 40u);
    EXPECT_EQ(h->biHeight, 2);
    EXPECT_EQ(h->biClrUsed, 256u);
    EXPECT_EQ(h->biClrImportant, 0u);
    EXPECT_EQ(h->biSizeImage, 8u);
    const BYTE* rows = reinterpret_cast<BYTE*>(h) + 40 + 1024;
    EXPECT_EQ(rows[4], 9) << "the top row is stored last";
    GlobalUnlock(block);
    GlobalFree(block);
    EXPECT_EQ(BitmapToDIB(nullptr, 8), nullptr);
}

// With a palette made from the video's colours and realised on the screen,
// frames of any colours that fit in 256 come out exactly.
TEST_F(AviWriterTest, ARealisedVideoPaletteKeepsEveryColour) {
    SKIP_WITHOUT_FFMPEG();
    std::mt19937 random(7);
    std::vector<COLORREF> colours;
    for (int i = 0; i < 200; ++i) colours.push_back(random() & 0xFFFFFF);
    std::vector<Picture> pictures;
    for (int f = 0; f < 3; ++f) {
        Picture p{23, 17, std::vector<std::uint32_t>(23 * 17)};
        for (auto& px : p.rgb) {
            COLORREF c = colours[random() % colours.size()];
            px = (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
        }
        pictures.push_back(p);
    }
    HDC screen = GetDC(nullptr);
    TempPath path;
    {
        CVideoPalette palette(colours);
        ASSERT_TRUE(palette.Realize(screen));
        CAviWriter writer(path.str().c_str(), 23, 17);
        EXPECT_EQ(AddAll(writer, pictures, false), 3);
    }
    ReleaseDC(nullptr, screen);
    // The default palette is back: a colour off the stock table is reduced.
    Picture odd{1, 1, {0x123456}};
    HBITMAP b = MakeBitmap(odd);
    HGLOBAL block = BitmapToDIB(b, 8);
    DeleteObject(b);
    ASSERT_NE(block, nullptr);
    auto* h = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    const gfxtest::Dib reduced(h, reinterpret_cast<BYTE*>(h) + 40 + 1024);
    EXPECT_NE(reduced.Colour(0, 0), RGB(0x12, 0x34, 0x56));
    GlobalUnlock(block);
    GlobalFree(block);
    std::string complaints;
    std::vector<Picture> frames = DecodeWithFfmpeg(path.str(), 23, 17, &complaints);
    EXPECT_EQ(complaints, "");
    ASSERT_EQ(frames.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(frames[i].rgb, pictures[i].rgb) << "frame " << i;
}

TEST(VideoPaletteTest, KeepsUpTo256ColoursExactly) {
    HPALETTE p = CreateVideoPalette({RGB(1, 2, 3), RGB(1, 2, 3), RGB(255, 0, 0)});
    ASSERT_NE(p, nullptr);
    PALETTEENTRY e[4] = {};
    ASSERT_EQ(GetPaletteEntries(p, 0, 4, e), 2u) << "a repeat counts once; nothing is added";
    for (COLORREF c : {RGB(1, 2, 3), RGB(255, 0, 0)}) {
        const PALETTEENTRY& got = e[GetNearestPaletteIndex(p, c)];
        EXPECT_EQ(RGB(got.peRed, got.peGreen, got.peBlue), c) << "kept exactly";
    }
    DeleteObject(p);
    EXPECT_EQ(CreateVideoPalette({}), nullptr);

    std::vector<COLORREF> full;
    for (int i = 0; i < 256; ++i) full.push_back(RGB(i, 255 - i, 7));
    p = CreateVideoPalette(full);
    EXPECT_EQ(GetPaletteEntries(p, 0, 0, nullptr), 256u);
    for (COLORREF c : full) {
        PALETTEENTRY got;
        GetPaletteEntries(p, GetNearestPaletteIndex(p, c), 1, &got);
        EXPECT_EQ(RGB(got.peRed, got.peGreen, got.peBlue), c);
    }
    DeleteObject(p);
}

TEST(VideoPaletteTest, ReducesMoreColoursByMedianCut) {
    // 4096 colours of a 16-level cube: 256 boxes of 16 colours each; every
    // colour should find an entry close to it.
    std::vector<COLORREF> cube;
    for (int r = 0; r < 16; ++r)
        for (int g = 0; g < 16; ++g)
            for (int b = 0; b < 16; ++b) cube.push_back(RGB(r * 17, g * 17, b * 17));
    HPALETTE p = CreateVideoPalette(cube);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(GetPaletteEntries(p, 0, 0, nullptr), 256u);
    int worst = 0;
    for (COLORREF c : cube) {
        PALETTEENTRY e;
        GetPaletteEntries(p, GetNearestPaletteIndex(p, c), 1, &e);
        int d = std::abs(e.peRed - GetRValue(c)) + std::abs(e.peGreen - GetGValue(c)) +
                std::abs(e.peBlue - GetBValue(c));
        worst = std::max(worst, d);
    }
    EXPECT_LE(worst, 3 * 26)
        << "no colour further than about one and a half cube steps a component";
    DeleteObject(p);
}

// The cut is the serial one of a plain std::sort per split, whichever
// thread sorts a box: many colours that tie on every level, cut by this
// reference and by CreateVideoPalette, give the same entries in the same
// order.
TEST(VideoPaletteTest, MedianCutSortsAheadAsItWouldOnItsTurn) {
    std::vector<COLORREF> colours;
    std::uint32_t seed = 99;
    for (int i = 0; i < 200000; ++i) {
        seed = seed * 1664525u + 1013904223u;
        colours.push_back(RGB(seed >> 24 & 0xF0, seed >> 16 & 0x3F, seed >> 8 & 0xFF));
    }
    std::vector<COLORREF> unique = colours;
    std::sort(unique.begin(), unique.end());
    unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
    struct Box {
        std::size_t begin, end;
        int axis, range;
    };
    const auto level = [](COLORREF c, int axis) { return int(c >> (8 * axis) & 0xFF); };
    const auto measure = [&](std::size_t begin, std::size_t end) {
        Box box{begin, end, 0, -1};
        for (int axis = 0; axis < 3; ++axis) {
            const auto [lo, hi] = std::minmax_element(
                unique.begin() + long(begin), unique.begin() + long(end),
                [&](COLORREF a, COLORREF b) { return level(a, axis) < level(b, axis); });
            if (level(*hi, axis) - level(*lo, axis) > box.range)
                box.axis = axis, box.range = level(*hi, axis) - level(*lo, axis);
        }
        return box;
    };
    std::vector<Box> boxes{measure(0, unique.size())};
    while (boxes.size() < 256) {
        auto widest = std::max_element(boxes.begin(), boxes.end(), [](const Box& a, const Box& b) {
            return a.range < b.range;
        });
        const Box box = *widest;
        std::sort(unique.begin() + long(box.begin), unique.begin() + long(box.end),
                  [&](COLORREF a, COLORREF b) { return level(a, box.axis) < level(b, box.axis); });
        *widest = measure(box.begin, box.begin + (box.end - box.begin) / 2);
        boxes.push_back(measure(box.begin + (box.end - box.begin) / 2, box.end));
    }
    const HPALETTE p = CreateVideoPalette(colours);
    ASSERT_NE(p, nullptr);
    PALETTEENTRY e[256];
    ASSERT_EQ(GetPaletteEntries(p, 0, 256, e), 256u);
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        long long sum[3] = {};
        for (std::size_t k = boxes[i].begin; k < boxes[i].end; ++k)
            for (int axis = 0; axis < 3; ++axis) sum[axis] += level(unique[k], axis);
        const auto n = static_cast<long long>(boxes[i].end - boxes[i].begin);
        EXPECT_EQ(RGB(e[i].peRed, e[i].peGreen, e[i].peBlue),
                  RGB((sum[0] + n / 2) / n, (sum[1] + n / 2) / n, (sum[2] + n / 2) / n))
            << "entry " << i;
    }
    DeleteObject(p);
}

} // namespace
