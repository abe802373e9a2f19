// CDIB's image operations in megapixels per second: remapping onto a
// 256-colour palette at 8 and 24 bits, beside the nearest-colour search a
// 24-bit remap would make without the palette's cache; and stretching a
// 2000 x 2000 image onto a 3000 x 3000 one (destination pixels per second);
// rotation, blur, smoothing, levels, erosion and dilation of 2000 x 2000
// images, beside an erosion made a pixel at a time; and the uncompressed
// capture of a 640 x 480 frame from a 32-bit screen bitmap.
#include "dib/Dib.h"
#include "gfx/Palette.h"

#include <benchmark/benchmark.h>

#include <climits>
#include <cstring>
#include <vector>

namespace {

constexpr int kWidth = 1000;
constexpr int kHeight = 1000;

// A 256-colour palette of an even spread of colours.
std::vector<PALETTEENTRY> Spread() {
    std::vector<PALETTEENTRY> entries;
    for (int i = 0; i < 256; ++i)
        entries.push_back({BYTE((i & 7) * 36), BYTE((i >> 3 & 7) * 36), BYTE((i >> 6) * 85), 0});
    return entries;
}

void MakePalette(CPalette& palette) {
    const std::vector<PALETTEENTRY> entries = Spread();
    std::vector<BYTE> block(4 + 4 * entries.size());
    auto* log = reinterpret_cast<LOGPALETTE*>(block.data());
    log->palVersion = 0x300;
    log->palNumEntries = WORD(entries.size());
    std::memcpy(block.data() + 4, entries.data(), 4 * entries.size());
    palette.CreatePalette(log);
}

// A photograph-like picture: smooth gradients with a little noise, so that
// neighbouring pixels repeat colours as real pictures do.
void Fill(CDIB& dib, int bits, int width = kWidth, int height = kHeight) {
    BITMAPINFOHEADER format{};
    format.biPlanes = 1;
    format.biBitCount = WORD(bits);
    dib.Create(width, height, &format, 0);
    unsigned noise = 1;
    for (DWORD i = 0; i < dib.m_dwSizeImage; ++i) {
        noise = noise * 1103515245 + 12345;
        dib.m_pBits[i] = BYTE((i / 3 % width) / 4 + (i / (3 * width)) / 8 + (noise >> 29));
    }
}

// One frame of an uncompressed conversion's capture: the 32-bit canvas into
// a 24-bit CDIB that is reused from frame to frame, as the AVI writer does.
void BM_CaptureFrame24(benchmark::State& state) {
    GdiSetScreenBitsPerPixel(32);
    CDIB frame;
    Fill(frame, 24, 640, 480);
    int bits = 0;
    const HBITMAP canvas = frame.CreateDeviceBitmap(&bits);
    CDIB capture;
    for (auto _ : state) benchmark::DoNotOptimize(capture.CreateFromBitmap(canvas));
    DeleteObject(canvas);
    state.counters["Mpixels/s"] =
        benchmark::Counter(640 * 480 * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CaptureFrame24)->Unit(benchmark::kMicrosecond);

void BM_MapToPalette(benchmark::State& state) {
    const int bits = int(state.range(0));
    CPalette palette;
    MakePalette(palette);
    CDIB dib;
    for (auto _ : state) {
        state.PauseTiming();
        Fill(dib, bits);
        state.ResumeTiming();
        benchmark::DoNotOptimize(dib.MapToPalette(&palette));
    }
    state.counters["Mpixels/s"] = benchmark::Counter(double(kWidth) * kHeight * 1e-6,
                                                     benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_MapToPalette)->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);

// A 24-bit remap by a plain search of the 256 entries for every pixel.
void BM_NaiveNearest24(benchmark::State& state) {
    const std::vector<PALETTEENTRY> entries = Spread();
    CDIB dib;
    Fill(dib, 24);
    for (auto _ : state) {
        for (int y = 0; y < kHeight; ++y) {
            BYTE* p = dib.GetPixelAddress(0, y);
            for (int x = 0; x < kWidth; ++x, p += 3) {
                long best = LONG_MAX;
                int index = 0;
                for (int i = 0; i < 256; ++i) {
                    const long dr = p[2] - entries[i].peRed, dg = p[1] - entries[i].peGreen,
                               db = p[0] - entries[i].peBlue;
                    const long d = dr * dr + dg * dg + db * db;
                    if (d < best) best = d, index = i;
                }
                benchmark::DoNotOptimize(index);
            }
        }
    }
    state.counters["Mpixels/s"] = benchmark::Counter(double(kWidth) * kHeight * 1e-6,
                                                     benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_NaiveNearest24)->Unit(benchmark::kMillisecond);

void BM_StretchInto(benchmark::State& state) {
    const int bits = int(state.range(0));
    CDIB source, dest;
    Fill(source, bits, 2000, 2000);
    Fill(dest, bits, 3000, 3000);
    for (auto _ : state) source.StretchInto(&dest, 0, 0, 3000, 3000, 0, 0, 2000, 2000, SRCCOPY);
    state.counters["Mpixels/s"] =
        benchmark::Counter(9.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_StretchInto)->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);

// Rotation, the filters and the morphology on 2000 x 2000 images, in source
// megapixels per second. Each turn starts from a fresh copy.
constexpr double kMegapixels2000 = 4.0;

void Counter(benchmark::State& state) {
    state.counters["Mpixels/s"] =
        benchmark::Counter(kMegapixels2000, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Rotate(benchmark::State& state) {
    CDIB source, dib;
    Fill(source, int(state.range(0)), 2000, 2000);
    for (auto _ : state) {
        state.PauseTiming();
        dib = source;
        state.ResumeTiming();
        dib.Rotate(int(state.range(1)), RGB(255, 255, 255));
    }
    Counter(state);
}
BENCHMARK(BM_Rotate)
    ->ArgsProduct({{1, 4, 8, 16, 24, 32}, {30}})
    ->Args({24, 90})
    ->Unit(benchmark::kMillisecond);

void BM_BlurStep(benchmark::State& state) {
    CDIB dib;
    Fill(dib, int(state.range(0)), 2000, 2000);
    for (auto _ : state) dib.BlurStep(2);
    Counter(state);
}
BENCHMARK(BM_BlurStep)->Arg(16)->Arg(24)->Unit(benchmark::kMillisecond);

void BM_SmoothWeighted(benchmark::State& state) {
    CDIB dib;
    Fill(dib, int(state.range(0)), 2000, 2000);
    for (auto _ : state) dib.SmoothWeighted(2);
    Counter(state);
}
BENCHMARK(BM_SmoothWeighted)->Arg(16)->Arg(24)->Unit(benchmark::kMillisecond);

void BM_AdjustLevels(benchmark::State& state) {
    CDIB dib;
    Fill(dib, 24, 2000, 2000);
    for (auto _ : state) dib.AdjustLevels(10, 100, 110, 120);
    Counter(state);
}
BENCHMARK(BM_AdjustLevels)->Unit(benchmark::kMillisecond);

void BM_Morphology(benchmark::State& state) {
    CDIB dib;
    Fill(dib, 1, 2000, 2000);
    for (auto _ : state) state.range(0) ? dib.Dilate(7, 7, 7) : dib.Erode(7, 7, 7);
    Counter(state);
}
BENCHMARK(BM_Morphology)->ArgName("dilate")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The erosion a pixel at a time: each result pixel the AND of its 3 x 3
// block, read bit by bit.
void BM_ErodePerPixel(benchmark::State& state) {
    CDIB dib, out;
    Fill(dib, 1, 2000, 2000);
    out = dib;
    const long stride = long(dib.GetBytesPerLine());
    auto bit = [&](long x, long y) {
        if (x < 0 || x >= 2000 || y < 0 || y >= 2000) return 0;
        return dib.m_pBits[y * stride + x / 8] >> (7 - x % 8) & 1;
    };
    for (auto _ : state) {
        for (long y = 0; y < 2000; ++y)
            for (long x = 0; x < 2000; ++x) {
                int all = 1;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) all &= bit(x + dx, y + dy);
                BYTE& byte = out.m_pBits[y * stride + x / 8];
                byte = BYTE((byte & ~(0x80 >> (x % 8))) | all << (7 - x % 8));
            }
        benchmark::DoNotOptimize(out.m_pBits);
    }
    Counter(state);
}
BENCHMARK(BM_ErodePerPixel)->Unit(benchmark::kMillisecond);

} // namespace
