#include "dib/Dib.h"

#include "../LeakCheckedTest.h"

#include "gfx/Palette.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace {

using DibPixelsTest = LeakCheckedTest;

void Make(CDIB& dib, int width, int height, int bits) {
    BITMAPINFOHEADER format{};
    format.biPlanes = 1;
    format.biBitCount = WORD(bits);
    ASSERT_TRUE(dib.Create(width, height, &format, 0));
}

RGBQUAD* Table(CDIB& dib) {
    return reinterpret_cast<RGBQUAD*>(dib.m_pBMI + 1);
}

// Picture row y is stored row height - 1 - y; within it, x / 8, x / 2, x,
// 2x or 3x bytes in. 32-bit images have no byte addresses.
TEST_F(DibPixelsTest, AddressesAtEveryDepthAndBorder) {
    for (int bits : {1, 4, 8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        CDIB dib;
        Make(dib, 13, 5, bits);
        const std::size_t stride = dib.GetBytesPerLine();
        const std::size_t last = bits == 1 ? 1 : bits == 4 ? 6 : 12 * (bits / 8);
        BYTE* expectFirst = bits == 32 ? nullptr : dib.m_pBits + 4 * stride;
        EXPECT_EQ(dib.GetPixelAddress(0, 0), expectFirst);
        EXPECT_EQ(dib.GetPixelAddress(12, 4), bits == 32 ? nullptr : dib.m_pBits + last);
        for (auto [x, y] : {std::pair{13, 0}, {0, 5}, {-1, 0}, {0, -1}, {INT_MIN, INT_MAX}})
            EXPECT_EQ(dib.GetPixelAddress(x, y), nullptr) << x << "," << y;
        EXPECT_EQ(dib.GetRect().right, 13);
        EXPECT_EQ(dib.GetRect().bottom, 5);
    }
    CDIB one, four;
    Make(one, 16, 1, 1);
    Make(four, 4, 1, 4);
    EXPECT_EQ(one.GetPixelAddress(7, 0), one.GetPixelAddress(0, 0));
    EXPECT_NE(one.GetPixelAddress(8, 0), one.GetPixelAddress(7, 0));
    EXPECT_EQ(four.GetPixelAddress(3, 0), four.GetPixelAddress(2, 0));
}

// A 6 x 4 8-bit source block onto a destination, with and without a
// transparent index, and reaching past both images.
TEST_F(DibPixelsTest, BlockCopiesSkipTheTransparentIndexAndStayInside) {
    CDIB source, dest;
    Make(source, 6, 4, 8);
    for (DWORD i = 0; i < source.m_dwSizeImage; ++i) source.m_pBits[i] = BYTE(i % 3 == 0 ? 0 : i);
    for (int transparent : {-1, 0}) {
        Make(dest, 8, 8, 8);
        std::memset(dest.m_pBits, 0xEE, dest.m_dwSizeImage);
        source.CopyBlockTo(&dest, 1, 2, 6, 4, 0, 0, transparent);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const bool inside = x >= 1 && x < 7 && y >= 2 && y < 6;
                const BYTE s = inside ? *source.GetPixelAddress(x - 1, y - 2) : 0;
                const BYTE want = inside && !(transparent == 0 && s == 0) ? s : 0xEE;
                EXPECT_EQ(*dest.GetPixelAddress(x, y), want)
                    << transparent << " at " << x << "," << y;
            }
    }
    // Reaching out of both images: only the overlap is copied, nothing past.
    Make(dest, 3, 3, 8);
    std::memset(dest.m_pBits, 0xEE, dest.m_dwSizeImage);
    source.CopyBlockTo(&dest, 1, -1, 100, 100, 2, 0, -1);
    EXPECT_EQ(*dest.GetPixelAddress(1, 0), *source.GetPixelAddress(2, 1));
    EXPECT_EQ(*dest.GetPixelAddress(2, 2), *source.GetPixelAddress(3, 3));
    EXPECT_EQ(*dest.GetPixelAddress(0, 0), 0xEE);
}

TEST_F(DibPixelsTest, FindColorTakesTheFirstMatch) {
    CDIB dib;
    Make(dib, 1, 1, 4);
    Table(dib)[3] = Table(dib)[9] = {1, 2, 3, 0};
    EXPECT_EQ(CDIB::FindColor(dib.m_pBMI, 16, RGB(3, 2, 1)), 3);
    EXPECT_EQ(CDIB::FindColor(dib.m_pBMI, 3, RGB(3, 2, 1)), -1);
    EXPECT_EQ(CDIB::FindColor(dib.m_pBMI, 0, RGB(0, 0, 0)), -1);
    // A core header: three-byte entries right after its 12 bytes.
    const BYTE core[12 + 6] = {12, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 9, 9, 9, 30, 20, 10};
    EXPECT_EQ(CDIB::FindColor(reinterpret_cast<const BITMAPINFOHEADER*>(core), 2, RGB(10, 20, 30)),
              1);
}

// A palette of n colours, deleted with its owner.
void MakePalette(CPalette& palette, const std::vector<COLORREF>& colours) {
    std::vector<BYTE> block(4 + 4 * colours.size());
    auto* log = reinterpret_cast<LOGPALETTE*>(block.data());
    log->palVersion = 0x300;
    log->palNumEntries = WORD(colours.size());
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const PALETTEENTRY e{GetRValue(colours[i]), GetGValue(colours[i]), GetBValue(colours[i]),
                             0};
        std::memcpy(block.data() + 4 + 4 * i, &e, 4);
    }
    ASSERT_TRUE(palette.CreatePalette(log));
}

TEST_F(DibPixelsTest, MapToPaletteRemapsToTheNearestEntries) {
    // An 8-bit image onto its own table (no colour twice): nothing moves.
    CDIB eight;
    Make(eight, 7, 3, 8);
    std::vector<COLORREF> own;
    for (int i = 0; i < 256; ++i) {
        Table(eight)[i] = {BYTE(i), BYTE(255 - i), BYTE(i * 7), 0};
        own.push_back(RGB(i * 7, 255 - i, i));
    }
    for (DWORD i = 0; i < eight.m_dwSizeImage; ++i) eight.m_pBits[i] = BYTE(i * 11);
    const std::vector<BYTE> before(eight.m_pBits, eight.m_pBits + eight.m_dwSizeImage);
    CPalette same;
    MakePalette(same, own);
    ASSERT_TRUE(eight.MapToPalette(&same));
    EXPECT_EQ(std::vector<BYTE>(eight.m_pBits, eight.m_pBits + eight.m_dwSizeImage), before);
    EXPECT_EQ(eight.m_pBMI->biClrUsed, 256u);

    // A 24-bit image onto four colours: every pixel becomes the nearest,
    // found here by brute force.
    const std::vector<COLORREF> four = {RGB(0, 0, 0), RGB(255, 0, 0), RGB(0, 200, 90),
                                        RGB(250, 250, 250)};
    CPalette small;
    MakePalette(small, four);
    CDIB deep;
    Make(deep, 40, 9, 24);
    for (DWORD i = 0; i < deep.m_dwSizeImage; ++i) deep.m_pBits[i] = BYTE(i * 37 + i / 7);
    std::vector<COLORREF> want;
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 40; ++x) {
            const BYTE* p = deep.GetPixelAddress(x, y);
            long best = LONG_MAX;
            COLORREF nearest = 0;
            for (COLORREF c : four) {
                const long dr = p[2] - GetRValue(c), dg = p[1] - GetGValue(c),
                           db = p[0] - GetBValue(c);
                if (dr * dr + dg * dg + db * db < best)
                    best = dr * dr + dg * dg + db * db, nearest = c;
            }
            want.push_back(nearest);
        }
    ASSERT_TRUE(deep.MapToPalette(&small));
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 40; ++x) {
            const BYTE* p = deep.GetPixelAddress(x, y);
            EXPECT_EQ(RGB(p[2], p[1], p[0]), want[std::size_t(y) * 40 + x]) << x << "," << y;
        }
    EXPECT_EQ(deep.m_pBMI->biClrUsed, 0u) << "no table to rewrite";

    // A 4-bit image keeps its 16 entries: four rewritten, the rest cleared.
    CDIB nibbles;
    Make(nibbles, 5, 2, 4);
    ASSERT_TRUE(nibbles.MapToPalette(&small));
    EXPECT_EQ(nibbles.m_pBMI->biClrUsed, 4u);
    EXPECT_EQ(Table(nibbles)[1].rgbRed, 255);
    EXPECT_EQ(Table(nibbles)[15].rgbRed, 0);

    CDIB one, sixteen;
    Make(one, 3, 3, 1);
    Make(sixteen, 3, 3, 16);
    EXPECT_FALSE(one.MapToPalette(&small));
    EXPECT_FALSE(sixteen.MapToPalette(&small));
    EXPECT_FALSE(nibbles.MapToPalette(&same)) << "256 entries for 4-bit indices";
    EXPECT_FALSE(eight.MapToPalette(nullptr));
}

// A table shorter than the palette: every index a pixel holds afterwards has
// its colour in the table, and that colour is the palette's nearest to what
// the pixel showed before.
TEST_F(DibPixelsTest, MapToPaletteOntoMoreColoursThanTheTableHolds) {
    struct Case {
        int bits, tableEntries, paletteEntries;
    };
    for (const Case c : {Case{8, 16, 256}, Case{4, 3, 16}, Case{8, 2, 200}}) {
        SCOPED_TRACE(c.bits);
        std::vector<COLORREF> greys;
        for (int i = 0; i < c.paletteEntries; ++i) greys.push_back(RGB(i, i, i));
        CPalette palette;
        MakePalette(palette, greys);
        CDIB dib;
        BITMAPINFOHEADER format{};
        format.biPlanes = 1;
        format.biBitCount = WORD(c.bits);
        format.biClrUsed = DWORD(c.tableEntries);
        ASSERT_TRUE(dib.Create(9, 4, &format, 0));
        for (int i = 0; i < c.tableEntries; ++i)
            Table(dib)[i] = {BYTE(17 * i + 40), BYTE(17 * i + 40), BYTE(17 * i + 40), 0};
        for (std::size_t i = 0; i < dib.GetPixelBytes(); ++i) {
            const auto k = BYTE(i % std::size_t(c.tableEntries)); // inside the table
            dib.m_pBits[i] = c.bits == 8 ? k : BYTE(k * 0x11);
        }
        std::vector<BYTE> shown; // each pixel's grey level before
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 9; ++x) {
                const BYTE v = *dib.GetPixelAddress(x, y);
                const int index = c.bits == 8 ? v : (x % 2 ? v & 0x0F : v >> 4);
                shown.push_back(Table(dib)[index].rgbRed);
            }

        ASSERT_TRUE(dib.MapToPalette(&palette));
        EXPECT_EQ(dib.m_pBMI->biClrUsed, DWORD(c.paletteEntries));
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 9; ++x) {
                const BYTE v = *dib.GetPixelAddress(x, y);
                const int index = c.bits == 8 ? v : (x % 2 ? v & 0x0F : v >> 4);
                ASSERT_LT(index, c.paletteEntries) << x << "," << y;
                const BYTE want =
                    BYTE(std::min<int>(shown[std::size_t(y) * 9 + x], c.paletteEntries - 1));
                EXPECT_EQ(Table(dib)[index].rgbRed, want) << x << "," << y;
            }
    }
}

} // namespace
