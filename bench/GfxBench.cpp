// Costs of the device-bitmap work a conversion does per frame: turning a
// decoded 8-bit top-down frame into a screen bitmap, and copying it onto the
// canvas.
#include "gfx/Gdi.h"
#include "gfx/Palette.h"
#include "platform/GlobalMemory.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// An 8-bit top-down frame with a full 256-entry table, as a GIF frame arrives.
struct Frame {
    std::vector<std::uint8_t> info = std::vector<std::uint8_t>(sizeof(BITMAPINFOHEADER) + 256 * 4);
    std::vector<std::uint8_t> rows = std::vector<std::uint8_t>(std::size_t(kWidth) * kHeight);

    Frame() {
        BITMAPINFOHEADER header{};
        header.biSize = sizeof header;
        header.biWidth = kWidth;
        header.biHeight = -kHeight;
        header.biPlanes = 1;
        header.biBitCount = 8;
        header.biClrUsed = 256;
        std::memcpy(info.data(), &header, sizeof header);
        for (int i = 0; i < 256; ++i) {
            const std::uint8_t quad[4] = {std::uint8_t(i), std::uint8_t(255 - i),
                                          std::uint8_t(i * 7), 0};
            std::memcpy(info.data() + sizeof header + 4 * i, quad, 4);
        }
        for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = std::uint8_t(i * 31 + i / kWidth);
    }
    const BITMAPINFOHEADER* Header() const {
        return reinterpret_cast<const BITMAPINFOHEADER*>(info.data());
    }
    HBITMAP Create() const {
        return CreateDIBitmap(nullptr, Header(), CBM_INIT, rows.data(),
                              reinterpret_cast<const BITMAPINFO*>(info.data()), DIB_RGB_COLORS);
    }
};

void BM_CreateDIBitmap8To32_640x480(benchmark::State& state) {
    GdiSetScreenBitsPerPixel(32);
    const Frame frame;
    for (auto _ : state) {
        const HBITMAP bitmap = frame.Create();
        benchmark::DoNotOptimize(bitmap);
        DeleteObject(bitmap);
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_CreateDIBitmap8To32_640x480);

// A frame and a canvas of the same size, both 32-bit memory bitmaps, each
// selected into a memory context of its own.
struct BlitPair {
    const Frame frame;
    const HBITMAP source = frame.Create();
    const HBITMAP canvas = frame.Create();
    const HDC from = CreateCompatibleDC(nullptr);
    const HDC to = CreateCompatibleDC(nullptr);
    const HGDIOBJ oldFrom = SelectObject(from, source);
    const HGDIOBJ oldTo = SelectObject(to, canvas);
    ~BlitPair() {
        SelectObject(from, oldFrom);
        SelectObject(to, oldTo);
        DeleteDC(from);
        DeleteDC(to);
        DeleteObject(source);
        DeleteObject(canvas);
    }
};

// Copies a frame onto a canvas of the same size.
void BM_BitBlt32_640x480(benchmark::State& state) {
    GdiSetScreenBitsPerPixel(32);
    const BlitPair pair;
    for (auto _ : state) {
        benchmark::DoNotOptimize(BitBlt(pair.to, 0, 0, kWidth, kHeight, pair.from, 0, 0, SRCCOPY));
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_BitBlt32_640x480);

// One frame's share of a conversion: make the frame bitmap, copy it onto the
// canvas, delete it.
void BM_CreateAndBlit32_640x480(benchmark::State& state) {
    GdiSetScreenBitsPerPixel(32);
    const Frame frame;
    const HBITMAP canvas = frame.Create();
    HDC from = CreateCompatibleDC(nullptr);
    HDC to = CreateCompatibleDC(nullptr);
    const HGDIOBJ oldTo = SelectObject(to, canvas);
    for (auto _ : state) {
        const HBITMAP bitmap = frame.Create();
        const HGDIOBJ oldFrom = SelectObject(from, bitmap);
        benchmark::DoNotOptimize(BitBlt(to, 0, 0, kWidth, kHeight, from, 0, 0, SRCCOPY));
        SelectObject(from, oldFrom);
        DeleteObject(bitmap);
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
    SelectObject(to, oldTo);
    DeleteDC(from);
    DeleteDC(to);
    DeleteObject(canvas);
}
BENCHMARK(BM_CreateAndBlit32_640x480);

// The uncompressed capture of a frame: the 32-bit canvas read as a 24-bit
// bottom-up DIB through the screen context.
void BM_GetDIBits32To24_640x480(benchmark::State& state) {
    GdiSetScreenBitsPerPixel(32);
    const Frame frame;
    const HBITMAP canvas = frame.Create();
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = kWidth;
    header.biHeight = kHeight;
    header.biPlanes = 1;
    header.biBitCount = 24;
    std::vector<std::uint8_t> rows(std::size_t(kWidth) * 3 * kHeight);
    HDC screen = GetDC(nullptr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetDIBits(screen, canvas, 0, kHeight, rows.data(),
                                           reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
    ReleaseDC(nullptr, screen);
    DeleteObject(canvas);
}
BENCHMARK(BM_GetDIBits32To24_640x480);

// Calls that do little besides finding their object, where the cost of the
// layer's bookkeeping (its lock) shows: a remap to a palette asks for the
// nearest entry once per pixel, a tiny copy between contexts, and a global
// block locked and unlocked.
void BM_NearestPaletteIndex(benchmark::State& state) {
    std::vector<std::uint8_t> record(sizeof(LOGPALETTE) + 256 * sizeof(PALETTEENTRY));
    auto* logical = reinterpret_cast<LOGPALETTE*>(record.data());
    logical->palVersion = 0x300;
    logical->palNumEntries = 256;
    auto* entries =
        reinterpret_cast<PALETTEENTRY*>(record.data() + offsetof(LOGPALETTE, palPalEntry));
    for (int i = 0; i < 256; ++i)
        entries[i] = {std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * 7), 0};
    const HPALETTE palette = CreatePalette(logical);
    std::uint32_t colour = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetNearestPaletteIndex(palette, colour & 0xFFFFFF));
        colour += 0x010307;
    }
    state.SetItemsProcessed(state.iterations());
    DeleteObject(palette);
}
BENCHMARK(BM_NearestPaletteIndex);

void BM_BitBlt1x1(benchmark::State& state) {
    GdiSetScreenBitsPerPixel(32);
    const BlitPair pair;
    for (auto _ : state)
        benchmark::DoNotOptimize(BitBlt(pair.to, 5, 5, 1, 1, pair.from, 0, 0, SRCCOPY));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BitBlt1x1);

void BM_GlobalLockUnlock(benchmark::State& state) {
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 64);
    for (auto _ : state) {
        benchmark::DoNotOptimize(GlobalLock(block));
        GlobalUnlock(block);
    }
    state.SetItemsProcessed(state.iterations());
    GlobalFree(block);
}
BENCHMARK(BM_GlobalLockUnlock);

} // namespace
