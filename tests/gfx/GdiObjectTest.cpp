// Handles, contexts, block copies and bitmap copies.
#include "GfxTestSupport.h"

#include "gfx/Palette.h"

#include <climits>
#include <tuple>

using namespace gfxtest;
using ::testing::Combine;
using ::testing::Values;

namespace {

COLORREF SourceColour(int x, int y) {
    return RGB(x * 40 + 10, y * 50 + 20, 7);
}

TEST_F(GdiTest, StaleAndForeignHandlesAreRefused) {
    int local = 0;
    void* foreign = &local;
    const HBITMAP bitmap = Painted(2, 2, SourceColour);
    EXPECT_TRUE(DeleteObject(bitmap));
    for (HGDIOBJ h : {HGDIOBJ(bitmap), foreign, HGDIOBJ(nullptr)}) EXPECT_FALSE(DeleteObject(h));
    BITMAP bm{};
    EXPECT_EQ(GetObject(bitmap, sizeof bm, &bm), 0);
    EXPECT_EQ(GetObject(foreign, sizeof bm, &bm), 0);
    EXPECT_EQ(CopyImage(bitmap, IMAGE_BITMAP, 0, 0, 0), nullptr);

    HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_EQ(SelectObject(dc, bitmap), nullptr);
    EXPECT_EQ(SelectObject(dc, foreign), nullptr);
    Dib dib(32, 2, 2);
    EXPECT_EQ(GetDIBits(dc, bitmap, 0, 2, dib.bits.data(), dib.Info(), DIB_RGB_COLORS), 0);
    EXPECT_EQ(CreateCompatibleDC(static_cast<HDC>(foreign)), nullptr);
    EXPECT_EQ(CreateDIBitmap(static_cast<HDC>(foreign), &dib.Header(), 0, nullptr, nullptr, 0),
              nullptr);
    EXPECT_EQ(ReleaseDC(nullptr, dc), 0); // memory contexts are deleted, not released
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_FALSE(DeleteDC(dc));
    EXPECT_EQ(SelectPalette(dc, static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE)), FALSE),
              nullptr);
    EXPECT_EQ(RealizePalette(dc), GDI_ERROR);
    EXPECT_FALSE(BitBlt(dc, 0, 0, 1, 1, dc, 0, 0, SRCCOPY));

    HDC screen = GetDC(nullptr);
    EXPECT_FALSE(DeleteDC(screen));
    EXPECT_EQ(ReleaseDC(reinterpret_cast<HWND>(foreign), screen), 0);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 0);
}

TEST_F(GdiTest, ABitmapSitsInOneContextAndCannotBeDeletedThere) {
    GdiSetScreenBitsPerPixel(16);
    const HBITMAP bitmap = Painted(3, 2, SourceColour);
    GdiSetScreenBitsPerPixel(32);
    HDC a = CreateCompatibleDC(nullptr), b = CreateCompatibleDC(nullptr);
    Dib header(32, 2, 2);
    // A fresh memory context holds the 1 x 1 monochrome stock bitmap.
    const HBITMAP mono = CreateDIBitmap(b, &header.Header(), 0, nullptr, nullptr, DIB_RGB_COLORS);
    const HGDIOBJ stock = SelectObject(a, bitmap);
    ASSERT_NE(stock, nullptr);
    BITMAP bm{};
    GetObject(stock, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth * bm.bmHeight * bm.bmBitsPixel, 1);
    GetObject(mono, sizeof bm, &bm);
    EXPECT_EQ(bm.bmBitsPixel, 1);
    EXPECT_EQ(bm.bmWidthBytes, 2);
    // The context now has the 16-bit bitmap's format, whatever the screen's.
    const HBITMAP same = CreateDIBitmap(a, &header.Header(), 0, nullptr, nullptr, DIB_RGB_COLORS);
    GetObject(same, sizeof bm, &bm);
    EXPECT_EQ(bm.bmBitsPixel, 16);
    EXPECT_EQ(ReadBack(same, 24).Colour(1, 1), RGB(0, 0, 0)); // without CBM_INIT: black

    EXPECT_EQ(SelectObject(b, bitmap), nullptr);
    EXPECT_FALSE(DeleteObject(bitmap));
    EXPECT_TRUE(DeleteObject(stock)); // stock objects are left alone
    EXPECT_EQ(SelectObject(a, GetStockObject(DEFAULT_PALETTE)), nullptr);
    EXPECT_TRUE(DeleteDC(a)); // deselects, does not delete
    EXPECT_EQ(SelectObject(b, bitmap), stock);
    EXPECT_EQ(SelectObject(b, stock), bitmap);
    EXPECT_TRUE(DeleteDC(b));
    for (HBITMAP h : {bitmap, mono, same}) EXPECT_TRUE(DeleteObject(h));
}

using ZeroSizeTest = GdiParamTest<std::tuple<int, int>>;

TEST_P(ZeroSizeTest, EmptyBitmapsAreValid) {
    const auto [width, height] = GetParam();
    Dib dib(8, width, height, {RGB(9, 9, 9)});
    const HBITMAP bitmap = dib.Create();
    ASSERT_NE(bitmap, nullptr);
    BITMAP bm{};
    ASSERT_EQ(GetObject(bitmap, sizeof bm, &bm), int(sizeof bm));
    EXPECT_EQ(bm.bmWidth, width);
    EXPECT_EQ(bm.bmHeight, height);
    Dib query(0, 0, 0);
    HDC dc = GetDC(nullptr);
    EXPECT_NE(GetDIBits(dc, bitmap, 0, 0, nullptr, query.Info(), DIB_RGB_COLORS), 0);
    EXPECT_EQ(query.Header().biSizeImage, 0u);
    ReleaseDC(nullptr, dc);
    const auto grown = static_cast<HBITMAP>(CopyImage(bitmap, IMAGE_BITMAP, 2, 1, 0));
    EXPECT_EQ(ReadBack(grown, 24).Colour(1, 0), RGB(0, 0, 0)); // stretching nothing gives black
    EXPECT_TRUE(DeleteObject(grown));
    EXPECT_TRUE(DeleteObject(bitmap));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ZeroSizeTest,
                         Values(std::tuple{0, 5}, std::tuple{5, 0}, std::tuple{0, 0}));

// BitBlt of the 5 x 4 source onto an 8 x 6 destination: (x, y, cx, cy, xSrc, ySrc).
using BlitClipTest = GdiParamTest<std::tuple<int, int, int, int, int, int>>;

TEST_P(BlitClipTest, CopiesExactlyThePixelsBothBitmapsHave) {
    const auto [x, y, cx, cy, xs, ys] = GetParam();
    const COLORREF background = RGB(1, 2, 3);
    const HBITMAP source = Painted(5, 4, SourceColour);
    const HBITMAP dest = Painted(8, 6, [&](int, int) { return background; });
    EXPECT_TRUE(Blit(dest, x, y, cx, cy, source, xs, ys));

    // The plain definition: a destination pixel inside the rectangle takes
    // the matching source pixel if the source has one.
    Dib back = ReadBack(dest, 32);
    for (long long py = 0; py < 6; ++py)
        for (long long px = 0; px < 8; ++px) {
            const long long sx = xs + px - x, sy = ys + py - y;
            const bool inside = px >= x && px < x + 0LL + cx && py >= y && py < y + 0LL + cy &&
                                sx >= 0 && sx < 5 && sy >= 0 && sy < 4;
            EXPECT_EQ(back.Colour(int(px), int(py)),
                      inside ? SourceColour(int(sx), int(sy)) : background)
                << "pixel " << px << "," << py;
        }
    DeleteObject(source);
    DeleteObject(dest);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, BlitClipTest,
    Values(std::tuple{0, 0, 5, 4, 0, 0}, std::tuple{2, 1, 5, 4, 0, 0},   // whole source
           std::tuple{-3, 0, 5, 4, 0, 0}, std::tuple{0, -2, 5, 4, 0, 0}, // off the left, top
           std::tuple{6, 4, 5, 4, 0, 0},                                 // off the right, bottom
           std::tuple{0, 0, 5, 4, -2, -1},                               // before the source
           std::tuple{1, 1, 9, 9, 3, 2},                                 // past the source
           std::tuple{-1, -1, 100, 100, -1, -1}, std::tuple{8, 0, 5, 4, 0, 0},
           std::tuple{-5, 0, 5, 4, 0, 0}, std::tuple{0, 0, 5, 4, 5, 0}, // nothing overlaps
           std::tuple{2, 1, 0, 3, 0, 0}, std::tuple{2, 1, 3, -2, 0, 0}, // empty rectangles
           std::tuple{INT_MAX, 0, INT_MAX, 4, 0, 0},
           std::tuple{INT_MIN, INT_MIN, INT_MAX, INT_MAX, INT_MIN, INT_MIN}));

// Source depth, destination depth: BitBlt converts between device formats.
using BlitFormatTest = GdiParamTest<std::tuple<int, int>>;

TEST_P(BlitFormatTest, ConvertsBetweenDeviceFormats) {
    const auto [fromBits, toBits] = GetParam();
    const bool mono = fromBits == 1 || toBits == 1;
    const auto paint = [mono](int x, int y) {
        const COLORREF colours[] = {RGB(0x80, 0, 0), RGB(0, 0, 0xFF), RGB(0xC0, 0xC0, 0xC0), 0};
        return mono ? ((x + y) % 2 ? RGB(255, 255, 255) : 0) : colours[(x + 2 * y) % 4];
    };
    GdiSetScreenBitsPerPixel(fromBits);
    const HBITMAP source = Painted(3, 2, paint);
    GdiSetScreenBitsPerPixel(toBits);
    const HBITMAP dest = Painted(3, 2, [](int, int) { return RGB(255, 255, 255); });
    EXPECT_TRUE(Blit(dest, 0, 0, 3, 2, source, 0, 0));
    Dib back = ReadBack(dest, 24);
    const int tolerance = (fromBits == 16 || toBits == 16) ? 7 : 0;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_LE(ChannelDistance(back.Colour(x, y), paint(x, y)), tolerance);
    DeleteObject(source);
    DeleteObject(dest);
}

INSTANTIATE_TEST_SUITE_P(AllDepths, BlitFormatTest,
                         Combine(Values(1, 4, 8, 16, 24, 32), Values(1, 4, 8, 16, 24, 32)));

TEST_F(GdiTest, BlitWithinOneBitmapHandlesOverlapAndRefusesWhatItCannotDo) {
    const HBITMAP bitmap = Painted(5, 4, SourceColour);
    HDC dc = CreateCompatibleDC(nullptr), window = GetDC(nullptr);
    EXPECT_FALSE(BitBlt(dc, 0, 0, 1, 1, dc, 0, 0, SRCCOPY)); // into the shared stock bitmap
    const HGDIOBJ old = SelectObject(dc, bitmap);
    EXPECT_TRUE(BitBlt(dc, 1, 1, 4, 3, dc, 0, 0, SRCCOPY)); // down and right over itself
    EXPECT_FALSE(BitBlt(window, 0, 0, 1, 1, dc, 0, 0, SRCCOPY));
    EXPECT_FALSE(BitBlt(dc, 0, 0, 1, 1, window, 0, 0, SRCCOPY));
    ReleaseDC(nullptr, window);
    SelectObject(dc, old);
    DeleteDC(dc);
    Dib back = ReadBack(bitmap, 32);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(back.Colour(x, y), x && y ? SourceColour(x - 1, y - 1) : SourceColour(x, y));
    DeleteObject(bitmap);
}

TEST_F(GdiTest, CopyImageMakesAnIndependentStretchableCopy) {
    GdiSetScreenBitsPerPixel(8);
    const auto paint = [](int x, int y) {
        return x == 0 ? RGB(0xFF, 0, 0) : y == 0 ? RGB(0, 0xFF, 0) : RGB(0, 0, 0xFF);
    };
    const HBITMAP original = Painted(3, 2, paint);
    const auto copy = static_cast<HBITMAP>(CopyImage(original, IMAGE_BITMAP, 0, 0, 0));
    const auto grown = static_cast<HBITMAP>(CopyImage(original, IMAGE_BITMAP, 6, 5, 0));
    const auto shrunk = static_cast<HBITMAP>(CopyImage(original, IMAGE_BITMAP, 2, 1, 0));
    EXPECT_EQ(CopyImage(original, 1, 0, 0, 0), nullptr);
    EXPECT_EQ(CopyImage(original, IMAGE_BITMAP, -1, 0, 0), nullptr);
    // Painting the original over and deleting it leaves the copy alone.
    const HBITMAP white = Painted(3, 2, [](int, int) { return RGB(255, 255, 255); });
    EXPECT_TRUE(Blit(original, 0, 0, 3, 2, white, 0, 0));
    EXPECT_TRUE(DeleteObject(original));

    BITMAP bm{};
    GetObject(copy, sizeof bm, &bm);
    EXPECT_EQ(bm.bmBitsPixel, 8);
    Dib same = ReadBack(copy, 24), big = ReadBack(grown, 24), small = ReadBack(shrunk, 24);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(same.Colour(x, y), paint(x, y));
    // Nearest neighbour: pixel d comes from d * oldSize / newSize.
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(big.Colour(x, y), paint(x / 2, y * 2 / 5));
    EXPECT_EQ(small.Colour(0, 0), paint(0, 0));
    EXPECT_EQ(small.Colour(1, 0), paint(1, 0));
    for (HBITMAP h : {copy, grown, shrunk, white}) DeleteObject(h);
}

} // namespace
