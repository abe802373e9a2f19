// BI_RLE8 encoding of 640 x 480 8-bit frames, as the "mrle" compressor gets
// them. Counters:
//   - pixels: frame pixels encoded per second (M/s: megapixels per second);
//   - of_raw: encoded size over the raw 8-bit frame (640 x 480 bytes).
// Frames:
//   - GifLike: a quarter each of flat blocks, a gradient stretched over the
//     width (runs of 2 and 3), ordered dithering between two colours,
//     and a row that is flat for three quarters and noise for the rest;
//   - Dithered: a 4 x 4 ordered dither of a diagonal ramp over 32 colours;
//   - Flat: one colour;
//   - Noise: independent random indices.
//   - GifFrames: every frame of the GIF named by TESSALY_BENCH_GIF (default:
//     the output of scripts/make-bench-gif), composed on a canvas of the
//     logical screen and reduced to 8 bits through one video palette, as an
//     RLE8 conversion hands them to the compressor; and delta frames between
//     each of them and the one before.
// The output vector is reused, as the compressor reuses its frame buffer.
#include "avi/AviWriter.h"
#include "avi/Rle8.h"
#include "avi/VideoPalette.h"
#include "gif/GifDecoder.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

enum Content { kGifLike, kDithered, kFlat, kNoise };

std::vector<BYTE> MakeFrame(Content content) {
    static const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    std::mt19937 random(1);
    std::vector<BYTE> frame(std::size_t(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double level = (x + y) * 31.0 / (kWidth + kHeight);
            const int dithered =
                int(level) + ((level - int(level)) * 16 > kBayer[y & 3][x & 3] + 0.5);
            int v = 0;
            switch (content) {
            case kGifLike:
                switch (y * 4 / kHeight) {
                case 0:
                    v = (x / 80 + y / 40) % 5 * 17;
                    break;
                case 1:
                    v = x * 256 / kWidth;
                    break;
                case 2:
                    v = 100 + (kBayer[y & 3][x & 3] < 8);
                    break;
                default:
                    v = x < kWidth * 3 / 4 ? 200 : int(random() & 0xFF);
                    break;
                }
                break;
            case kDithered:
                v = dithered;
                break;
            case kFlat:
                v = 42;
                break;
            case kNoise:
                v = int(random() & 0xFF);
                break;
            }
            frame[std::size_t(y) * kWidth + x] = BYTE(v);
        }
    }
    return frame;
}

void BM_Rle8Encode(benchmark::State& state, Content content) {
    const std::vector<BYTE> frame = MakeFrame(content);
    std::vector<BYTE> out;
    std::size_t size = 0;
    for (auto _ : state) {
        out.clear();
        size = Rle8Encode(frame.data(), kWidth, kHeight, kWidth, out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["pixels"] = benchmark::Counter(double(state.iterations()) * kWidth * kHeight,
                                                  benchmark::Counter::kIsRate);
    state.counters["of_raw"] = double(size) / (double(kWidth) * kHeight);
}
BENCHMARK_CAPTURE(BM_Rle8Encode, GifLike, kGifLike)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Rle8Encode, Dithered, kDithered)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Rle8Encode, Flat, kFlat)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Rle8Encode, Noise, kNoise)->Unit(benchmark::kMicrosecond);

struct GifFrames {
    int width = 0, height = 0;
    std::size_t stride = 0;
    std::vector<std::vector<BYTE>> frames; // 8-bit rows, bottom-up
};

GifFrames LoadGifFrames() {
    GifFrames out;
    const char* env = std::getenv("TESSALY_BENCH_GIF");
    const std::string path = env && *env ? env : "/tmp/tessaly-bench/testsrc2-640x480x300.gif";
    CGifDecoder decoder;
    if (!decoder.LoadFile(path.c_str())) return out;
    HDC screen = GetDC(nullptr);
    decoder.m_hDC = screen;
    CVideoPalette palette(decoder.CollectColors());
    palette.Realize(screen);
    BITMAPINFOHEADER header{sizeof header,
                            decoder.m_nScreenWidth,
                            decoder.m_nScreenHeight,
                            1,
                            32,
                            BI_RGB,
                            0,
                            0,
                            0,
                            0,
                            0};
    HBITMAP canvas = CreateDIBitmap(screen, &header, 0, nullptr, nullptr, DIB_RGB_COLORS);
    HDC canvasDc = CreateCompatibleDC(screen), frameDc = CreateCompatibleDC(screen);
    HGDIOBJ oldCanvas = SelectObject(canvasDc, canvas);
    while (HBITMAP frame = decoder.GetNextFrame()) {
        HGDIOBJ oldFrame = SelectObject(frameDc, frame);
        BitBlt(canvasDc, decoder.m_nLeft, decoder.m_nTop, decoder.m_nWidth, decoder.m_nHeight,
               frameDc, 0, 0, SRCCOPY);
        SelectObject(frameDc, oldFrame);
        DeleteObject(frame);
        SelectObject(canvasDc, oldCanvas); // a bitmap is read while selected nowhere
        if (HGLOBAL block = BitmapToDIB(canvas, 8)) {
            const auto* h = static_cast<const BITMAPINFOHEADER*>(GlobalLock(block));
            const BYTE* rows = reinterpret_cast<const BYTE*>(h) + 40 + 4 * h->biClrUsed;
            out.frames.emplace_back(rows, rows + h->biSizeImage);
            GlobalUnlock(block);
            GlobalFree(block);
        }
        SelectObject(canvasDc, canvas);
    }
    SelectObject(canvasDc, oldCanvas);
    DeleteDC(canvasDc);
    DeleteDC(frameDc);
    DeleteObject(canvas);
    ReleaseDC(nullptr, screen);
    out.width = decoder.m_nScreenWidth;
    out.height = decoder.m_nScreenHeight;
    out.stride = (static_cast<std::size_t>(out.width) + 3) & ~std::size_t{3};
    return out;
}

void BM_Rle8EncodeGifFrames(benchmark::State& state) {
    static const GifFrames gif = LoadGifFrames();
    if (gif.frames.empty()) {
        state.SkipWithError("no GIF: run scripts/make-bench-gif or set TESSALY_BENCH_GIF");
        return;
    }
    std::vector<BYTE> out;
    double encoded = 0, raw = 0, pixels = 0;
    std::size_t next = 0;
    for (auto _ : state) {
        const std::vector<BYTE>& frame = gif.frames[next++ % gif.frames.size()];
        out.clear();
        encoded += double(Rle8Encode(frame.data(), gif.width, gif.height, gif.stride, out));
        raw += double(frame.size());
        pixels += double(gif.width) * gif.height;
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["pixels"] = benchmark::Counter(pixels, benchmark::Counter::kIsRate);
    state.counters["of_raw"] = encoded / raw;
    state.counters["frames"] = double(gif.frames.size());
}
BENCHMARK(BM_Rle8EncodeGifFrames)->Unit(benchmark::kMicrosecond);

// Delta frames between consecutive frames of the same GIF, as `--delta`
// codes the frames between key frames.
void BM_Rle8EncodeDeltaGifFrames(benchmark::State& state) {
    static const GifFrames gif = LoadGifFrames();
    if (gif.frames.size() < 2) {
        state.SkipWithError("no GIF: run scripts/make-bench-gif or set TESSALY_BENCH_GIF");
        return;
    }
    std::vector<BYTE> out;
    double encoded = 0, raw = 0, pixels = 0;
    std::size_t next = 1;
    for (auto _ : state) {
        const std::size_t at = next++ % (gif.frames.size() - 1) + 1;
        out.clear();
        encoded += double(Rle8EncodeDelta(gif.frames[at].data(), gif.frames[at - 1].data(),
                                          gif.width, gif.height, gif.stride, out));
        raw += double(gif.frames[at].size());
        pixels += double(gif.width) * gif.height;
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["pixels"] = benchmark::Counter(pixels, benchmark::Counter::kIsRate);
    state.counters["of_raw"] = encoded / raw;
}
BENCHMARK(BM_Rle8EncodeDeltaGifFrames)->Unit(benchmark::kMicrosecond);

// The strict decoder, on the GifLike frame: it serves tests and fuzzing, but
// its speed bounds how large those can be.
void BM_Rle8Decode(benchmark::State& state) {
    const std::vector<BYTE> frame = MakeFrame(kGifLike);
    std::vector<BYTE> encoded;
    Rle8Encode(frame.data(), kWidth, kHeight, kWidth, encoded);
    std::vector<BYTE> decoded(frame.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Rle8Decode(encoded.data(), encoded.size(), kWidth, kHeight, kWidth, decoded.data()));
        benchmark::ClobberMemory();
    }
    state.counters["pixels"] = benchmark::Counter(double(state.iterations()) * kWidth * kHeight,
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Rle8Decode)->Unit(benchmark::kMicrosecond);

} // namespace
