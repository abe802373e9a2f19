// Rotate against a plain per-pixel reference of the same arithmetic, and the
// facts of quarter and half turns that follow from it.
#include "dib/Dib.h"

#include "../LeakCheckedTest.h"

#include "fw/Exception.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

using DibRotateTest = LeakCheckedTest;

// Pixel (x, y) of stored rows at any depth, as an integer of its bits.
unsigned Get(const BYTE* bits, std::size_t stride, int b, long x, long y) {
    const BYTE* row = bits + std::size_t(y) * stride;
    if (b < 8) return row[x * b / 8] >> (8 - b - x * b % 8) & ((1u << b) - 1);
    unsigned v = 0;
    std::memcpy(&v, row + x * (b / 8), std::size_t(b / 8));
    return v;
}
void Set(BYTE* bits, std::size_t stride, int b, long x, long y, unsigned v) {
    BYTE* row = bits + std::size_t(y) * stride;
    if (b < 8) {
        const int shift = 8 - b - x * b % 8;
        BYTE& byte = row[x * b / 8];
        byte = BYTE((byte & ~(((1u << b) - 1) << shift)) | v << shift);
    } else {
        std::memcpy(row + x * (b / 8), &v, std::size_t(b / 8));
    }
}

struct Canvas {
    long width, height;
    std::vector<BYTE> pixels;
};

// The turn written out pixel by pixel, as the format's rules say.
Canvas Reference(const CDIB& dib, int degrees, COLORREF bg) {
    const long w = dib.GetWidth(), h = dib.GetHeight();
    const int b = dib.m_pBMI->biBitCount;
    const double t = degrees * 6.28318530718 * 0.002777777777777778;
    const float s = float(std::sin(t)), c = float(std::cos(t));
    const long xs[] = {0, long(-h * double(s)), long(double(float(w * double(c))) - h * double(s)),
                       long(float(w * double(c)))};
    const long ys[] = {0, long(h * double(c)), long(w * double(s) + double(float(h * double(c)))),
                       long(w * double(s))};
    const long minX = *std::min_element(xs, xs + 4), minY = *std::min_element(ys, ys + 4);
    Canvas out{*std::max_element(xs, xs + 4) - minX, *std::max_element(ys, ys + 4) - minY, {}};
    const std::size_t stride = std::size_t((out.width * b + 31) / 32 * 4);
    // Indexed canvases start filled with the background's index.
    unsigned background = 0;
    const BYTE r = GetRValue(bg), g = GetGValue(bg), bl = GetBValue(bg);
    if (b == 1) background = bg == 0xFFFFFF ? 1 : 0;
    if (b == 4 || b == 8)
        for (int k = 0; k < dib.GetNumColors(); ++k) {
            const BYTE* e = reinterpret_cast<const BYTE*>(dib.m_pBMI + 1) + 4 * k;
            if (e[0] == bl && e[1] == g && e[2] == r) {
                background = unsigned(k);
                break;
            }
        }
    if (b == 16) background = (r >> 3) << 10 | (g >> 3) << 5 | bl >> 3;
    if (b >= 24) background = unsigned(r) << 16 | g << 8 | bl;
    const BYTE fill = BYTE(b == 1 ? background * 0xFF : b == 4 ? background * 17 : background);
    out.pixels.assign(stride * std::size_t(out.height), b <= 8 ? fill : 0);
    for (long row = 0; row < out.height; ++row)
        for (long col = 0; col < out.width; ++col) {
            const double X = col + minX, Y = row + minY;
            const long sx = long(X * c + double(float(Y * s)));
            const long sy = long(Y * c - X * s);
            const bool inside = sx >= 0 && sx < w && sy >= 0 && sy < h;
            if (inside)
                Set(out.pixels.data(), stride, b, col, row,
                    Get(dib.m_pBits, dib.GetBytesPerLine(), b, sx, sy));
            else if (b > 8)
                Set(out.pixels.data(), stride, b, col, row, background);
        }
    return out;
}

void Random(CDIB& dib, int w, int h, int b, std::mt19937& random) {
    BITMAPINFOHEADER format{};
    format.biPlanes = 1;
    format.biBitCount = WORD(b);
    ASSERT_TRUE(dib.Create(w, h, &format, 0));
    for (DWORD i = 0; i < dib.m_dwSizeImage; ++i) dib.m_pBits[i] = BYTE(random());
    auto* table = reinterpret_cast<BYTE*>(dib.m_pBMI + 1);
    for (int i = 0; i < 4 * dib.GetNumColors(); ++i) table[i] = BYTE(random() % 4 * 85);
}

TEST_F(DibRotateTest, AgreesWithThePerPixelReference) {
    std::mt19937 random(7);
    for (int b : {1, 4, 8, 16, 24, 32})
        for (int degrees : {0, 1, 45, 90, 135, 180, 225, 270, 360, -30, 1000}) {
            const int w = int(random() % 300 + 1), h = int(random() % 200 + 1);
            CDIB dib;
            Random(dib, w, h, b, random);
            const COLORREF bg = random() % 2 ? RGB(255, 255, 255) : RGB(170, 85, 0);
            // Often an entry of the table (not the first), so that its index
            // is the background.
            if (dib.GetNumColors() > 2 && random() % 2) {
                auto* entry = reinterpret_cast<BYTE*>(dib.m_pBMI + 1) +
                              4 * (1 + random() % (dib.GetNumColors() - 1));
                entry[0] = GetBValue(bg), entry[1] = GetGValue(bg), entry[2] = GetRValue(bg);
            }
            const Canvas want = Reference(dib, degrees, bg);
            ASSERT_TRUE(dib.Rotate(degrees, bg));
            SCOPED_TRACE(testing::Message()
                         << b << " bits, " << w << " x " << h << ", " << degrees << " degrees");
            ASSERT_EQ(dib.GetWidth(), want.width);
            ASSERT_EQ(dib.GetHeight(), want.height);
            ASSERT_EQ(dib.m_dwSizeImage, want.pixels.size());
            EXPECT_EQ(std::memcmp(dib.m_pBits, want.pixels.data(), want.pixels.size()), 0);
            EXPECT_EQ(dib.m_Palette.GetSafeHandle() != nullptr, b <= 8) << "the palette follows";
        }
}

// On 100 x 60, 90 degrees gives 60 x 100 with one background pixel at (0,
// 0) and row 0 one source row off the others; 180 degrees gives a background
// first column. Top-down images and oversized canvases change nothing.
TEST_F(DibRotateTest, QuarterAndHalfTurnsAndRefusals) {
    std::mt19937 random(3);
    CDIB dib, source;
    Random(source, 100, 60, 24, random);
    const std::size_t stride = source.GetBytesPerLine();
    auto sourceAt = [&](long x, long y) { return Get(source.m_pBits, stride, 24, x, y); };
    const COLORREF bg = RGB(1, 2, 3);
    const unsigned background = 0x010203;

    dib = source;
    ASSERT_TRUE(dib.Rotate(90, bg));
    ASSERT_EQ(dib.GetWidth(), 60);
    ASSERT_EQ(dib.GetHeight(), 100);
    for (long r = 0; r < 100; ++r)
        for (long col = 0; col < 60; ++col) {
            const unsigned got = Get(dib.m_pBits, dib.GetBytesPerLine(), 24, col, r);
            if (r == 0 && col == 0)
                ASSERT_EQ(got, background);
            else
                ASSERT_EQ(got, sourceAt(r, (r == 0 ? 60 : 59) - col)) << col << "," << r;
        }

    dib = source;
    ASSERT_TRUE(dib.Rotate(180, bg));
    ASSERT_EQ(dib.GetWidth(), 100);
    for (long r = 0; r < 60; ++r)
        for (long col = 0; col < 100; ++col)
            ASSERT_EQ(Get(dib.m_pBits, stride, 24, col, r),
                      col == 0 ? background : sourceAt(100 - col, 59 - r))
                << col << "," << r;

    CDIB wide;
    Random(wide, 30000, 1, 32, random);
    EXPECT_THROW(wide.Rotate(45, bg), CMemoryException) << "a canvas of 1.8 GB";
    EXPECT_EQ(wide.GetWidth(), 30000);
    dib = source;
    dib.m_pBMI->biHeight = -60;
    EXPECT_FALSE(dib.Rotate(90, bg));
    EXPECT_EQ(dib.GetWidth(), 100);
    CDIB none;
    EXPECT_FALSE(none.Rotate(90, bg));
}

} // namespace
