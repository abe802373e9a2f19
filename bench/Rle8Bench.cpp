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
// The output vector is reused, as the compressor reuses its frame buffer.
#include "avi/Rle8.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
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
