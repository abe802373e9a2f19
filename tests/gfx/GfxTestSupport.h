// Scaffolding for the graphics layer tests and those above it: packed DIBs
// built and read pixel by pixel with plain reference code (no use of the
// layer under test), bitmaps painted through them, and bitmaps read back.
#pragma once

#include "../LeakCheckedTest.h"
#include "gfx/Gdi.h"
#include "platform/Memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

inline void PrintTo(const GdiObjectCounts& c, std::ostream* os) {
    *os << "{bitmaps " << c.bitmaps << ", contexts " << c.contexts << ", palettes " << c.palettes
        << "}";
}

namespace gfxtest {

using GdiTest = LeakCheckedTest;

template <class Param>
class GdiParamTest : public LeakCheckedTest, public ::testing::WithParamInterface<Param> {};

// A packed DIB: header and a 256-entry table in `info`, rows in `bits`.
struct Dib {
    std::vector<std::uint8_t> info;
    std::vector<std::uint8_t> bits;
    int width, height, depth;
    std::size_t stride;

    Dib(int bitCount, int w, int h, std::vector<COLORREF> table = {})
        : info(sizeof(BITMAPINFOHEADER) + 256 * 4), width(w), height(std::abs(h)), depth(bitCount),
          stride((std::size_t(w) * bitCount + 31) / 32 * 4) {
        BITMAPINFOHEADER& hd = Header();
        hd.biSize = sizeof(BITMAPINFOHEADER);
        hd.biWidth = w;
        hd.biHeight = h;
        hd.biPlanes = 1;
        hd.biBitCount = static_cast<WORD>(bitCount);
        hd.biClrUsed = static_cast<DWORD>(table.size());
        for (std::size_t i = 0; i < table.size(); ++i) SetEntry(int(i), table[i]);
        bits.assign(stride * height, 0);
    }
    // A copy of a packed DIB held elsewhere: a 40-byte header and its table
    // (biClrUsed entries, or 2^bits when that is 0), and its rows at `rows`.
    Dib(const BITMAPINFOHEADER* packed, const void* rows)
        : Dib(packed->biBitCount, packed->biWidth, packed->biHeight) {
        const DWORD entries = packed->biClrUsed         ? std::min<DWORD>(packed->biClrUsed, 256)
                              : packed->biBitCount <= 8 ? 1u << packed->biBitCount
                                                        : 0;
        std::memcpy(info.data(), packed, sizeof(BITMAPINFOHEADER) + 4 * entries);
        std::memcpy(bits.data(), rows, bits.size());
    }
    BITMAPINFOHEADER& Header() { return *reinterpret_cast<BITMAPINFOHEADER*>(info.data()); }
    const BITMAPINFOHEADER& Header() const {
        return *reinterpret_cast<const BITMAPINFOHEADER*>(info.data());
    }
    BITMAPINFO* Info() { return reinterpret_cast<BITMAPINFO*>(info.data()); }
    std::uint8_t* Entry(int i) { return info.data() + sizeof(BITMAPINFOHEADER) + 4 * i; }
    const std::uint8_t* Entry(int i) const {
        return info.data() + sizeof(BITMAPINFOHEADER) + 4 * i;
    }
    void SetEntry(int i, COLORREF c) {
        const std::uint8_t quad[4] = {GetBValue(c), GetGValue(c), GetRValue(c), 0};
        std::memcpy(Entry(i), quad, 4);
    }
    COLORREF EntryColour(int i) const { return RGB(Entry(i)[2], Entry(i)[1], Entry(i)[0]); }

    // Pixel (x, y), y counted from the top of the picture.
    std::size_t Offset(int x, int y) const {
        const int row = Header().biHeight < 0 ? y : height - 1 - y;
        return row * stride + std::size_t(x) * depth / 8;
    }
    std::uint8_t* Pixel(int x, int y) { return bits.data() + Offset(x, y); }
    const std::uint8_t* Pixel(int x, int y) const { return bits.data() + Offset(x, y); }
    int Shift(int x) const { return depth == 1 ? 7 - x % 8 : (x % 2 ? 0 : 4); }
    void SetIndex(int x, int y, unsigned index) {
        const unsigned mask = (1u << depth) - 1;
        if (depth < 8)
            *Pixel(x, y) =
                std::uint8_t((*Pixel(x, y) & ~(mask << Shift(x))) | ((index & mask) << Shift(x)));
        else
            *Pixel(x, y) = std::uint8_t(index);
    }
    unsigned Index(int x, int y) const {
        const unsigned mask = (1u << depth) - 1;
        return depth < 8 ? (*Pixel(x, y) >> Shift(x)) & mask : *Pixel(x, y);
    }
    // Direct DIBs only; 16-bit pixels are 5-5-5 by truncation.
    void SetColour(int x, int y, COLORREF c) {
        std::uint8_t* p = Pixel(x, y);
        if (depth == 16) {
            const unsigned w =
                (GetRValue(c) >> 3) << 10 | (GetGValue(c) >> 3) << 5 | GetBValue(c) >> 3;
            p[0] = std::uint8_t(w), p[1] = std::uint8_t(w >> 8);
        } else {
            p[0] = GetBValue(c), p[1] = GetGValue(c), p[2] = GetRValue(c);
        }
    }
    COLORREF Colour(int x, int y) const {
        if (depth <= 8) return EntryColour(int(Index(x, y)));
        const std::uint8_t* p = Pixel(x, y);
        if (depth != 16) return RGB(p[2], p[1], p[0]);
        const unsigned w = p[0] | p[1] << 8;
        auto widen = [](unsigned v) { return BYTE(v << 3 | v >> 2); };
        return RGB(widen(w >> 10 & 31), widen(w >> 5 & 31), widen(w & 31));
    }
    HBITMAP Create() {
        return CreateDIBitmap(nullptr, &Header(), CBM_INIT, bits.data(), Info(), DIB_RGB_COLORS);
    }
};

// A bitmap in the screen's format painted through a 32-bit DIB.
template <class Paint>
HBITMAP Painted(int width, int height, Paint paint) {
    Dib dib(32, width, -height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) dib.SetColour(x, y, paint(x, y));
    return dib.Create();
}

// A bitmap in the screen's format holding the colours, top row first.
inline HBITMAP Painted(int width, int height, const std::vector<COLORREF>& colours) {
    return Painted(width, height,
                   [&](int x, int y) { return colours[std::size_t(y) * width + x]; });
}

// BitBlt between two memory contexts that hold the bitmaps for the call.
inline BOOL Blit(HBITMAP to, int x, int y, int cx, int cy, HBITMAP from, int xs, int ys) {
    HDC a = CreateCompatibleDC(nullptr), b = CreateCompatibleDC(nullptr);
    const HGDIOBJ oldA = SelectObject(a, to), oldB = SelectObject(b, from);
    const BOOL done = BitBlt(a, x, y, cx, cy, b, xs, ys, SRCCOPY);
    SelectObject(a, oldA);
    SelectObject(b, oldB);
    DeleteDC(a);
    DeleteDC(b);
    return done;
}

// Reads a bitmap back at `depth` bits through a screen context.
inline Dib ReadBack(HBITMAP bitmap, int depth, bool topDown = true, HDC dc = nullptr) {
    BITMAP bm{};
    GetObject(bitmap, sizeof bm, &bm);
    Dib dib(depth, bm.bmWidth, topDown ? -bm.bmHeight : bm.bmHeight);
    HDC screen = dc ? dc : GetDC(nullptr);
    EXPECT_EQ(GetDIBits(screen, bitmap, 0, UINT(bm.bmHeight), dib.bits.data(), dib.Info(),
                        DIB_RGB_COLORS),
              bm.bmHeight);
    if (!dc) ReleaseDC(nullptr, screen);
    return dib;
}

// The bitmap's pixels as 0x00RRGGBB values, top row first, read at 32 bits
// through `dc` (the screen's context when null); nothing when they cannot be read.
inline std::vector<std::uint32_t> ReadPixels(HBITMAP bitmap, HDC dc = nullptr) {
    BITMAP bm{};
    if (GetObject(bitmap, sizeof bm, &bm) != sizeof bm) return {};
    std::vector<std::uint32_t> pixels(std::size_t(bm.bmWidth) * bm.bmHeight);
    if (pixels.empty()) return pixels;
    Dib format(32, bm.bmWidth, -bm.bmHeight);
    HDC screen = dc ? dc : GetDC(nullptr);
    const int lines = GetDIBits(screen, bitmap, 0, UINT(bm.bmHeight), pixels.data(), format.Info(),
                                DIB_RGB_COLORS);
    if (!dc) ReleaseDC(nullptr, screen);
    if (lines != bm.bmHeight) return {};
    for (auto& p : pixels) p &= 0xFFFFFF; // B, G, R, 0 in memory: 0x00RRGGBB
    return pixels;
}

inline int ChannelDistance(COLORREF a, COLORREF b) {
    return std::max({std::abs(GetRValue(a) - GetRValue(b)), std::abs(GetGValue(a) - GetGValue(b)),
                     std::abs(GetBValue(a) - GetBValue(b))});
}

} // namespace gfxtest
