// Raster operations and stretching between device bitmaps, against
// computations of their own: each named code's boolean formula, a bit-serial
// reading of the truth table for the others, and nearest-pixel mapping.
#include "GfxTestSupport.h"

#include "gfx/StockColors.h"

#include <cmath>
#include <cstdlib>
#include <functional>
#include <tuple>

using namespace gfxtest;

namespace {

// The device values a depth can hold exactly, with their colours: indices of
// the stock tables (each colour once), or 24-bit colours themselves.
struct DeviceValues {
    int depth;
    std::vector<std::uint32_t> values;
    std::function<COLORREF(std::uint32_t)> colour;
};

DeviceValues ValuesOf(int depth) {
    if (depth == 1)
        return {
            1, {0, 1}, [](std::uint32_t v) { return v & 1 ? RGB(255, 255, 255) : RGB(0, 0, 0); }};
    auto stock = [](std::uint32_t v) {
        const RGBQUAD& q = kStockColors256[v & 0xFF];
        return RGB(q.rgbRed, q.rgbGreen, q.rgbBlue);
    };
    if (depth == 8) {
        // Indices whose colour no lower index has, so that a colour names its
        // index; the operations may land anywhere in the table.
        std::vector<std::uint32_t> unique;
        for (std::uint32_t i = 0; i < 256 && unique.size() < 6; i += 37) {
            bool first = true;
            for (std::uint32_t k = 0; k < i; ++k) first &= stock(k) != stock(i);
            if (first) unique.push_back(i);
        }
        return {8, unique, stock};
    }
    return {24, {0x000000, 0xFFFFFF, 0x12F0A5, 0xC3550F, 0x7E81FF}, [](std::uint32_t v) {
                return RGB(v >> 16 & 0xFF, v >> 8 & 0xFF, v & 0xFF);
            }};
}

std::uint32_t Rgb(COLORREF c) {
    return std::uint32_t(GetRValue(c)) << 16 | GetGValue(c) << 8 | GetBValue(c);
}

// The truth table read bit by bit: no minterms, no word operations.
std::uint32_t BitSerial(unsigned table, std::uint32_t p, std::uint32_t s, std::uint32_t d) {
    std::uint32_t r = 0;
    for (int b = 0; b < 32; ++b) {
        const unsigned i = (p >> b & 1) << 2 | (s >> b & 1) << 1 | (d >> b & 1);
        r |= std::uint32_t(table >> i & 1) << b;
    }
    return r;
}

struct Code {
    const char* name;
    DWORD rop;
    std::function<std::uint32_t(std::uint32_t, std::uint32_t, std::uint32_t)> formula; // P, S, D
};

const std::vector<Code>& Codes() {
    static const std::vector<Code> codes = {
        {"SRCCOPY", SRCCOPY, [](auto, auto s, auto) { return s; }},
        {"SRCPAINT", SRCPAINT, [](auto, auto s, auto d) { return s | d; }},
        {"SRCAND", SRCAND, [](auto, auto s, auto d) { return s & d; }},
        {"SRCINVERT", SRCINVERT, [](auto, auto s, auto d) { return s ^ d; }},
        {"SRCERASE", SRCERASE, [](auto, auto s, auto d) { return s & ~d; }},
        {"NOTSRCCOPY", NOTSRCCOPY, [](auto, auto s, auto) { return ~s; }},
        {"MERGECOPY", MERGECOPY, [](auto p, auto s, auto) { return p & s; }},
        {"DSTINVERT", DSTINVERT, [](auto, auto, auto d) { return ~d; }},
        {"PATCOPY", PATCOPY, [](auto p, auto, auto) { return p; }},
        {"PATINVERT", PATINVERT, [](auto p, auto, auto d) { return p ^ d; }},
        {"BLACKNESS", BLACKNESS, [](auto, auto, auto) { return 0u; }},
        {"WHITENESS", WHITENESS, [](auto, auto, auto) { return ~0u; }},
        {"code_B8", 0x00B8074A, [](auto p, auto s, auto d) { return BitSerial(0xB8, p, s, d); }},
        {"code_E2", 0x00E20746, [](auto p, auto s, auto d) { return BitSerial(0xE2, p, s, d); }},
        {"code_1D", 0x001D0000, [](auto p, auto s, auto d) { return BitSerial(0x1D, p, s, d); }},
        {"code_96", 0x00960000, [](auto p, auto s, auto d) { return BitSerial(0x96, p, s, d); }},
    };
    return codes;
}

class RasterOpTest : public LeakCheckedTest, public ::testing::WithParamInterface<int> {};

// Every pair of source and destination values the depth holds, under every
// brush value, through BitBlt (and PatBlt for codes without a source).
TEST_P(RasterOpTest, EachCodeIsItsFormula) {
    const DeviceValues dv = ValuesOf(GetParam());
    ASSERT_TRUE(GdiSetScreenBitsPerPixel(dv.depth));
    const std::uint32_t mask = dv.depth == 24 ? 0xFFFFFF : (1u << dv.depth) - 1;
    std::vector<COLORREF> sources, destinations;
    for (std::uint32_t s : dv.values)
        for (std::uint32_t d : dv.values) {
            sources.push_back(dv.colour(s));
            destinations.push_back(dv.colour(d));
        }
    const int n = int(sources.size());
    HDC to = CreateCompatibleDC(nullptr), from = CreateCompatibleDC(nullptr);
    const HBITMAP source = Painted(n, 1, sources);
    const HGDIOBJ oldFrom = SelectObject(from, source);
    for (const Code& code : Codes()) {
        for (std::uint32_t p : dv.values) {
            SCOPED_TRACE(std::string(code.name) + " brush " + std::to_string(p));
            const HBITMAP target = Painted(n, 1, destinations);
            const HBRUSH brush = CreateSolidBrush(dv.colour(p));
            const HGDIOBJ oldTarget = SelectObject(to, target), oldBrush = SelectObject(to, brush);
            ASSERT_TRUE(BitBlt(to, 0, 0, n, 1, from, 0, 0, code.rop));
            SelectObject(to, oldTarget);
            const std::vector<std::uint32_t> got = ReadPixels(target);
            for (int i = 0; i < n; ++i) {
                const std::uint32_t s = dv.values[std::size_t(i) / dv.values.size()];
                const std::uint32_t d = dv.values[std::size_t(i) % dv.values.size()];
                EXPECT_EQ(got[std::size_t(i)], Rgb(dv.colour(code.formula(p, s, d) & mask)))
                    << "pixel " << i;
            }
            SelectObject(to, oldBrush);
            DeleteObject(brush);
            DeleteObject(target);
        }
    }
    SelectObject(from, oldFrom);
    DeleteObject(source);
    DeleteDC(to);
    DeleteDC(from);
}

INSTANTIATE_TEST_SUITE_P(Depths, RasterOpTest, ::testing::Values(1, 8, 24));

using StretchTest = LeakCheckedTest;

// Destination pixel i shows source pixel floor(i x source size / destination
// size), counted from the far end on a mirrored axis.
TEST_F(StretchTest, StretchBltTakesTheNearestPixels) {
    auto paint = [](int x, int y) { return RGB(x * 30, y * 40, 7); };
    const HBITMAP source = Painted(7, 5, paint);
    HDC to = CreateCompatibleDC(nullptr), from = CreateCompatibleDC(nullptr);
    const HGDIOBJ oldFrom = SelectObject(from, source);
    const struct {
        int width, height; // negative: mirrored
    } sizes[] = {{17, 11}, {3, 2}, {-7, 5}, {7, -3}, {-2, -9}};
    for (const auto& size : sizes) {
        const int w = std::abs(size.width), h = std::abs(size.height);
        const HBITMAP target = Painted(w, h, [](int, int) { return RGB(1, 2, 3); });
        const HGDIOBJ oldTarget = SelectObject(to, target);
        const int x = size.width < 0 ? w : 0, y = size.height < 0 ? h : 0;
        ASSERT_TRUE(StretchBlt(to, x, y, size.width, size.height, from, 0, 0, 7, 5, SRCCOPY));
        SelectObject(to, oldTarget);
        const std::vector<std::uint32_t> got = ReadPixels(target);
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) {
                const int k = size.width < 0 ? w - 1 - i : i, m = size.height < 0 ? h - 1 - j : j;
                const COLORREF want =
                    paint(int(std::floor(k * 7.0 / w)), int(std::floor(m * 5.0 / h)));
                EXPECT_EQ(got[std::size_t(j) * w + i], Rgb(want))
                    << w << "x" << h << " at " << i << "," << j;
            }
        DeleteObject(target);
    }
    SelectObject(from, oldFrom);
    DeleteObject(source);
    DeleteDC(to);
    DeleteDC(from);
}

// Shrinking a monochrome picture ANDs the pixels that fall together, so a
// one-pixel black line survives; a colour picture keeps one pixel of each.
TEST_F(StretchTest, ShrinkingMonochromeKeepsBlackLines) {
    for (int depth : {1, 24}) {
        ASSERT_TRUE(GdiSetScreenBitsPerPixel(depth));
        const HBITMAP source =
            Painted(8, 8, [](int x, int) { return x == 5 ? RGB(0, 0, 0) : RGB(255, 255, 255); });
        const HBITMAP target = Painted(4, 4, [](int, int) { return RGB(255, 255, 255); });
        HDC to = CreateCompatibleDC(nullptr), from = CreateCompatibleDC(nullptr);
        const HGDIOBJ oldFrom = SelectObject(from, source), oldTarget = SelectObject(to, target);
        ASSERT_TRUE(StretchBlt(to, 0, 0, 4, 4, from, 0, 0, 8, 8, SRCCOPY));
        SelectObject(to, oldTarget);
        SelectObject(from, oldFrom);
        const std::vector<std::uint32_t> got = ReadPixels(target);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                EXPECT_EQ(got[std::size_t(y) * 4 + x], x == 2 && depth == 1 ? 0u : 0xFFFFFFu)
                    << depth << " bits at " << x << "," << y;
        DeleteObject(source);
        DeleteObject(target);
        DeleteDC(to);
        DeleteDC(from);
    }
}

// MaskBlt picks the foreground operation where the mask is white and the
// background one where it is black, pixel by pixel, within all three bitmaps;
// the transparent copy (DSTCOPY over SRCCOPY) leaves the destination under
// white.
TEST_F(StretchTest, MaskBltChoosesTheOperationByTheMask) {
    auto source = [](int x, int y) { return RGB(x * 40, y * 50, 200); };
    auto dest = [](int x, int y) { return RGB(250 - x * 30, 7, y * 60); };
    auto white = [](int x, int y) { return (x + y) % 3 == 0; };
    const HBITMAP from = Painted(5, 4, source);
    Dib maskDib(1, 4, -3, {RGB(0, 0, 0), RGB(255, 255, 255)}); // one column short
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) maskDib.SetIndex(x, y, white(x, y) ? 1 : 0);
    HDC mono = CreateCompatibleDC(nullptr);
    const HBITMAP mask = CreateDIBitmap(mono, &maskDib.Header(), CBM_INIT, maskDib.bits.data(),
                                        maskDib.Info(), DIB_RGB_COLORS);
    DeleteDC(mono);
    HDC to = CreateCompatibleDC(nullptr), src = CreateCompatibleDC(nullptr);
    const HGDIOBJ oldFrom = SelectObject(src, from);
    for (const auto& [rop, fore, back] : {std::tuple{MAKEROP4(SRCINVERT, SRCAND), 0x66u, 0x88u},
                                          std::tuple{MAKEROP4(DSTCOPY, SRCCOPY), 0xAAu, 0xCCu}}) {
        const HBITMAP target = Painted(5, 4, dest);
        const HGDIOBJ oldTo = SelectObject(to, target);
        ASSERT_TRUE(MaskBlt(to, 0, 0, 5, 4, src, 0, 0, mask, 0, 0, rop));
        SelectObject(to, oldTo);
        const std::vector<std::uint32_t> got = ReadPixels(target);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 5; ++x) {
                const bool inside = x < 4 && y < 3;
                const std::uint32_t s = Rgb(source(x, y)), d = Rgb(dest(x, y));
                const std::uint32_t want =
                    inside ? BitSerial(white(x, y) ? fore : back, 0xFFFFFF, s, d) & 0xFFFFFF : d;
                EXPECT_EQ(got[std::size_t(y) * 5 + x], want) << rop << " at " << x << "," << y;
            }
        DeleteObject(target);
    }
    SelectObject(src, oldFrom);
    DeleteObject(from);
    DeleteObject(mask);
    DeleteDC(to);
    DeleteDC(src);
}

} // namespace
