#include "dib/Dib.h"

#include "../LeakCheckedTest.h"
#include "../gfx/GfxTestSupport.h"
#include "TestBitmaps.h"

#include "fw/Exception.h"
#include "platform/Clipboard.h"
#include "platform/Memory.h"
#include "res/Resources.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// Each test leaves the clipboard closed and empty.
class DibTransferTest : public LeakCheckedTest {
protected:
    void TearDown() override {
        if (OpenClipboard(nullptr)) {
            EmptyClipboard();
            CloseClipboard();
        }
        LeakCheckedTest::TearDown();
    }
};

void Make(CDIB& dib, int width, int height, int bits, COLORREF fill = RGB(255, 255, 255)) {
    BITMAPINFOHEADER format{};
    format.biPlanes = 1;
    format.biBitCount = WORD(bits);
    ASSERT_TRUE(dib.Create(width, height, &format, fill));
}

std::vector<BYTE> Front(const CDIB& dib) {
    const auto* p = reinterpret_cast<const BYTE*>(dib.m_pBMI);
    return {p, p + 40 + 4 * dib.GetNumColors()};
}

TEST_F(DibTransferTest, CopyThenPasteGivesTheSameImage) {
    for (int bits : {1, 4, 8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        CDIB source, pasted;
        Make(source, 13, 3, bits);
        for (DWORD i = 0; i < source.m_dwSizeImage; ++i) source.m_pBits[i] = BYTE(i * 29 + 1);
        ASSERT_TRUE(OpenClipboard(nullptr));
        ASSERT_TRUE(EmptyClipboard());
        ASSERT_TRUE(source.CopyToClipboard());
        ASSERT_TRUE(pasted.PasteFromClipboard(0));
        ASSERT_TRUE(CloseClipboard());
        EXPECT_EQ(pasted.m_nBitsFlag, 1);
        EXPECT_EQ(Front(pasted), Front(source));
        EXPECT_EQ(std::memcmp(pasted.m_pBits, source.m_pBits, source.m_dwSizeImage), 0);
    }
}

// Nothing happens without the clipboard open, without data, or with a block
// smaller than its header says; the object keeps its image.
TEST_F(DibTransferTest, RefusedPastesChangeNothing) {
    CDIB dib;
    Make(dib, 2, 2, 24, RGB(1, 2, 3));
    const BITMAPINFOHEADER* before = dib.m_pBMI;
    EXPECT_FALSE(dib.CopyToClipboard()) << "not open";
    ASSERT_TRUE(OpenClipboard(nullptr));
    EXPECT_FALSE(OpenClipboard(nullptr));
    EXPECT_FALSE(dib.PasteFromClipboard(0)) << "empty";

    CDIB big;
    Make(big, 64, 64, 8);
    ASSERT_TRUE(big.CopyToClipboard());
    const auto block = static_cast<HGLOBAL>(GetClipboardData(CF_DIB));
    auto* header = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    header->biHeight = 65; // one row more than the block holds
    GlobalUnlock(block);
    EXPECT_FALSE(dib.PasteFromClipboard(0));
    EXPECT_EQ(dib.m_pBMI, before);
    EXPECT_EQ(dib.GetWidth(), 2);
    ASSERT_TRUE(CloseClipboard());
    EXPECT_EQ(GetClipboardData(CF_DIB), nullptr) << "closed";
}

// Drawing into a context and into another image: the source lands in the
// destination rectangle, the rest stays; an empty object paints with the
// raster operation alone.
TEST_F(DibTransferTest, DrawsIntoContextsAndImages) {
    const HBITMAP white = gfxtest::Painted(6, 4, [](int, int) { return RGB(255, 255, 255); });
    HDC dc = CreateCompatibleDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, white);
    CDIB empty, red, target, none;
    EXPECT_NE(empty.StretchToDC(dc, 1, 1, 2, 2, 0, 0, 2, 2, BLACKNESS), 0);
    Make(red, 2, 2, 24, RGB(255, 0, 0));
    EXPECT_EQ(red.StretchToDC(dc, 4, 0, 2, 4, 0, 0, 2, 2, SRCCOPY), 2);
    SelectObject(dc, old);
    const std::vector<std::uint32_t> got = gfxtest::ReadPixels(white);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) {
            const std::uint32_t want = x >= 4                                 ? 0xFF0000u
                                       : (x >= 1 && x < 3 && y >= 1 && y < 3) ? 0u
                                                                              : 0xFFFFFFu;
            EXPECT_EQ(got[std::size_t(y) * 6 + x], want) << x << "," << y;
        }
    DeleteDC(dc);
    DeleteObject(white);

    Make(target, 8, 8, 24);
    ASSERT_TRUE(red.RenderInto(&target, 2, 3, 4, 4, 0, 0, 2, 2, SRCCOPY));
    EXPECT_EQ(target.GetWidth(), 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const BYTE* p = target.GetPixelAddress(x, y);
            const bool inside = x >= 2 && x < 6 && y >= 3 && y < 7;
            EXPECT_EQ(RGB(p[2], p[1], p[0]), inside ? RGB(255, 0, 0) : RGB(255, 255, 255))
                << x << "," << y;
        }
    EXPECT_FALSE(red.RenderInto(&none, 0, 0, 1, 1, 0, 0, 1, 1, SRCCOPY));
    EXPECT_FALSE(none.IsValid());
}

// A picture pixel's value: its index, or the colour of a direct image.
std::uint32_t Value(const CDIB& dib, int x, int y) {
    const gfxtest::Dib view(dib.m_pBMI, dib.m_pBits);
    return view.depth <= 8 ? view.Index(x, y) : view.Colour(x, y);
}

// A picture whose bytes run through every pattern, at each depth.
void Patterned(CDIB& dib, int width, int height, int bits) {
    Make(dib, width, height, bits);
    for (DWORD k = 0; k < dib.m_dwSizeImage; ++k) dib.m_pBits[k] = BYTE(k * 37 + 11);
}

// Onto itself at its size, a stretch changes nothing. Into a 24-bit image,
// mirrored, wider and shorter, each pixel shows the colour of the nearest
// source pixel (the AND of the rows that fall together for 1 bit).
TEST_F(DibTransferTest, StretchIntoTakesNearestPixelsAndConverts) {
    for (int bits : {1, 4, 8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        CDIB image, before, wide;
        Patterned(image, 9, 5, bits);
        before = image;
        image.StretchInto(&image, 0, 0, 9, 5, 0, 0, 9, 5, SRCCOPY);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 9; ++x) ASSERT_EQ(Value(image, x, y), Value(before, x, y));

        Make(wide, 14, 3, 24);
        image.StretchInto(&wide, 14, 0, -14, 3, 0, 0, 9, 5, SRCCOPY);
        const gfxtest::Dib view(image.m_pBMI, image.m_pBits);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 14; ++x) {
                const int sx = (13 - x) * 9 / 14, first = y * 5 / 3, end = (y + 1) * 5 / 3;
                COLORREF want = view.Colour(sx, first);
                if (bits == 1) {
                    unsigned index = 1;
                    for (int r = first; r < end; ++r) index &= view.Index(sx, r);
                    want = view.EntryColour(int(index));
                }
                ASSERT_EQ(Value(wide, x, y), want) << x << "," << y;
            }
    }
}

// Only BLACKNESS and WHITENESS fill, with the table's nearest colour; a crop
// of the whole picture is the picture; empty rectangles and empty images are
// left alone.
TEST_F(DibTransferTest, FillsAndCrops) {
    std::vector<COLORREF> table;
    for (int i = 0; i < 256; ++i) table.push_back(RGB(i, i / 2, 255 - i)); // no white, no black
    gfxtest::Dib format(8, 40, 70, table);
    CDIB image, before;
    ASSERT_TRUE(image.Create(40, 70, &format.Header(), RGB(0, 0, 255)));
    for (DWORD k = 0; k < image.m_dwSizeImage; ++k) image.m_pBits[k] = BYTE(k % 7);
    before = image;
    auto unchanged = [&](int x, int y) { return Value(image, x, y) == Value(before, x, y); };
    image.Fill(0, 0, 40, 70, SRCCOPY);
    image.Fill(0, 0, 40, 70, PATCOPY);
    image.Crop(0, 0, 40, 70);
    image.Crop(5, 5, 5, 9);
    EXPECT_EQ(image.GetWidth(), 40);
    EXPECT_EQ(image.GetHeight(), 70);
    for (int y = 0; y < 70; ++y)
        for (int x = 0; x < 40; ++x) ASSERT_TRUE(unchanged(x, y)) << x << "," << y;

    // The nearest entry to white by squared distance.
    unsigned nearest = 0;
    long best = LONG_MAX;
    for (unsigned i = 0; i < 256; ++i) {
        const long r = 255 - GetRValue(table[i]), g = 255 - GetGValue(table[i]),
                   b = 255 - GetBValue(table[i]), d = r * r + g * g + b * b;
        if (d < best) best = d, nearest = i;
    }
    const RECT rect{10, 20, 30, 60};
    image.FillRect(&rect, WHITENESS);
    for (int y = 0; y < 70; ++y)
        for (int x = 0; x < 40; ++x) {
            if (x >= 10 && x < 30 && y >= 20 && y < 60)
                ASSERT_EQ(Value(image, x, y), nearest) << x << "," << y;
            else
                ASSERT_TRUE(unchanged(x, y)) << x << "," << y;
        }

    image.Crop(8, 18, 13, 25);
    ASSERT_EQ(image.GetWidth(), 5);
    ASSERT_EQ(image.GetHeight(), 7);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 5; ++x) {
            const bool filled = x + 8 >= 10 && y + 18 >= 20;
            ASSERT_EQ(Value(image, x, y), filled ? nearest : Value(before, x + 8, y + 18));
        }
    EXPECT_EQ(std::memcmp(image.m_pBMI + 1, before.m_pBMI + 1, 4 * 256), 0) << "the same table";

    CDIB none;
    none.Fill(0, 0, 4, 4, BLACKNESS);
    none.Crop(0, 0, 4, 4);
    EXPECT_FALSE(none.IsValid());
}

// Whichever allocation fails, a crop gives the cropped picture, leaves the
// picture as it was, or throws: never a picture of the wrong pixels.
TEST_F(DibTransferTest, FailedAllocationsNeverCropToWrongPixels) {
    for (long n = 0; n < 8; ++n) {
        CDIB image, before;
        Patterned(image, 9, 5, 8);
        before = image;
        AfxInjectAllocFailure(n);
        try {
            image.Crop(2, 1, 6, 4);
        } catch (const CMemoryException&) {
        }
        AfxInjectAllocFailure(-1);
        if (!image.IsValid()) continue; // thrown after the old image went
        const bool cropped = image.GetWidth() == 4;
        ASSERT_EQ(image.GetHeight(), cropped ? 3 : 5) << n;
        for (int y = 0; y < image.GetHeight(); ++y)
            for (int x = 0; x < image.GetWidth(); ++x)
                ASSERT_EQ(Value(image, x, y),
                          Value(before, x + (cropped ? 2 : 0), y + (cropped ? 1 : 0)))
                    << n << ": " << x << "," << y;
    }
}

// Adopted images whose header leaves biSizeImage 0 (BI_RGB headers may) are
// whole images to every operation: each gives what it gives on a copy made
// by Create, whose header has the size.
TEST_F(DibTransferTest, AdoptedImagesWithoutAPixelSizeAreWhole) {
    struct Case {
        const char* name;
        UINT resource;
        std::function<BOOL(CDIB&)> run;
    };
    const Case cases[] = {
        {"crop whole", IDB_NO_SIZE_24, [](CDIB& d) { return d.Crop(0, 0, 5, 3), TRUE; }},
        {"crop part", IDB_NO_SIZE_24, [](CDIB& d) { return d.Crop(1, 1, 4, 3), TRUE; }},
        {"fill", IDB_NO_SIZE_24, [](CDIB& d) { return d.Fill(1, 0, 3, 2, WHITENESS), TRUE; }},
        {"levels", IDB_NO_SIZE_24, [](CDIB& d) { return d.AdjustLevels(16, 200, 90, 255), TRUE; }},
        {"smooth", IDB_NO_SIZE_24, [](CDIB& d) { return d.SmoothWeighted(3), TRUE; }},
        {"blur", IDB_NO_SIZE_24, [](CDIB& d) { return d.Blur(2); }},
        {"rotate", IDB_NO_SIZE_24, [](CDIB& d) { return d.Rotate(30, RGB(1, 2, 3)); }},
        {"erode", IDB_NO_SIZE_1, [](CDIB& d) { return d.Erode(2, 7, 2); }},
        {"dilate", IDB_NO_SIZE_1, [](CDIB& d) { return d.Dilate(7, 2, 7); }},
        {"erode repeat", IDB_NO_SIZE_1, [](CDIB& d) { return d.ErodeRepeat(1); }},
        {"dilate repeat", IDB_NO_SIZE_1, [](CDIB& d) { return d.DilateRepeat(2); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CDIB adopted, copy;
        ASSERT_TRUE(adopted.LoadFromResource(c.resource));
        ASSERT_EQ(adopted.m_pBMI->biSizeImage, 0u);
        copy = adopted;
        const std::vector<BYTE> before(copy.m_pBits, copy.m_pBits + copy.GetPixelBytes());
        const HGLOBAL resource = adopted.m_hDIB;
        EXPECT_EQ(c.run(adopted), c.run(copy));
        ASSERT_EQ(adopted.GetPixelBytes(), copy.GetPixelBytes());
        const std::vector<BYTE> want(copy.m_pBits, copy.m_pBits + copy.GetPixelBytes());
        EXPECT_EQ(std::vector<BYTE>(adopted.m_pBits, adopted.m_pBits + adopted.GetPixelBytes()),
                  want);
        if (std::string(c.name) != "crop whole") {
            EXPECT_NE(want, before) << "a change to see";
        }
        adopted.Empty();
        FreeResource(resource);
    }
}

// Crop stretches through the virtual call, once; FillRect fills through it.
TEST_F(DibTransferTest, DerivedStretchesAndFillsAreCalled) {
    struct Counting : CDIB {
        int stretches = 0, fills = 0;
        void StretchInto(CDIB* dest, int xD, int yD, int wD, int hD, int xS, int yS, int wS, int hS,
                         DWORD rop) override {
            ++stretches;
            CDIB::StretchInto(dest, xD, yD, wD, hD, xS, yS, wS, hS, rop);
        }
        void Fill(int x, int y, int width, int height, DWORD rop) override {
            ++fills;
            CDIB::Fill(x, y, width, height, rop);
        }
    } image;
    Make(image, 6, 4, 8);
    const RECT rect{1, 1, 3, 2};
    image.FillRect(&rect, BLACKNESS);
    image.Crop(1, 0, 4, 3);
    EXPECT_EQ(image.stretches, 1);
    EXPECT_EQ(image.fills, 1);
    EXPECT_EQ(image.GetWidth(), 3);
    EXPECT_NE(Value(image, 0, 1), Value(image, 2, 2)) << "the black pixel at (1, 1) kept";
}

} // namespace
