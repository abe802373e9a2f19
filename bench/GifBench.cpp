// Decoding throughput of CGifDecoder against giflib on large animated GIFs
// (scripts/make-bench-gif: 300 frames of 640 x 480 each; "testsrc2", flat
// areas under an ordered dither, and "photo", all 256 colours under error
// diffusion, whose short strings make the most codes per pixel). Both sides
// read the file and produce 32-bit pixels of every image:
//   - CGifDecoder: LoadFile, then GetNextFrame until NULL on the default
//     32-bit screen; each frame's device bitmap (CreateDIBitmap from the index
//     rows) is part of the work, then deleted;
//   - giflib: DGifOpenFileName + DGifSlurp, then every image's indices mapped
//     through its colour table into 32-bit blue, green, red, 0 pixels, the
//     device format of the 32-bit screen.
// The "pixels" counter is the rate of image pixels decoded (M/s: megapixels
// per second). Each input gets its pair of benchmarks, named after the file.
//
// The files come from the environment variable TESSALY_BENCH_GIF (one path),
// else the arguments that are not --benchmark flags, else the default outputs
// of scripts/make-bench-gif (those that exist). Without any the benchmarks are
// skipped with a note.
#include "fw/MessageBox.h"
#include "gfx/Gdi.h"
#include "gif/GifDecoder.h"

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const char* const kDefaultInputs[] = {"/tmp/tessaly-bench/testsrc2-640x480x300.gif",
                                      "/tmp/tessaly-bench/photo-640x480x300.gif"};

bool HaveInput(benchmark::State& state, const std::string& path) {
    if (std::filesystem::is_regular_file(path)) return true;
    state.SkipWithError(("no input GIF at " + path + ": run scripts/make-bench-gif").c_str());
    return false;
}

void BM_CGifDecoder(benchmark::State& state, const std::string& path) {
    if (!HaveInput(state, path)) return;
    GdiSetScreenBitsPerPixel(32);
    HDC dc = GetDC(nullptr);
    std::int64_t pixels = 0;
    std::int64_t frames = 0;
    for (auto _ : state) {
        CGifDecoder decoder;
        if (!decoder.LoadFile(path.c_str())) {
            state.SkipWithError("CGifDecoder cannot load the file");
            break;
        }
        decoder.m_hDC = dc;
        while (HBITMAP bitmap = decoder.GetNextFrame()) {
            pixels += static_cast<std::int64_t>(decoder.m_nWidth) * decoder.m_nHeight;
            ++frames;
            DeleteObject(bitmap);
        }
    }
    ReleaseDC(nullptr, dc);
    state.counters["pixels"] =
        benchmark::Counter(static_cast<double>(pixels), benchmark::Counter::kIsRate);
    state.counters["frames"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kAvgIterations);
}

void BM_Giflib(benchmark::State& state, const std::string& path) {
    if (!HaveInput(state, path)) return;
    std::int64_t pixels = 0;
    std::int64_t frames = 0;
    std::vector<std::uint32_t> rgb;
    for (auto _ : state) {
        int error = 0;
        GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
        if (!gif || DGifSlurp(gif) != GIF_OK) {
            if (gif) DGifCloseFile(gif, &error);
            state.SkipWithError("giflib cannot read the file");
            break;
        }
        for (int i = 0; i < gif->ImageCount; ++i) {
            const SavedImage& image = gif->SavedImages[i];
            const ColorMapObject* map =
                image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
            // 0x00RRGGBB: blue, green, red, 0 in memory, as the 32-bit screen.
            std::uint32_t table[256] = {};
            for (int c = 0; map && c < map->ColorCount && c < 256; ++c)
                table[c] = (static_cast<std::uint32_t>(map->Colors[c].Red) << 16) |
                           (map->Colors[c].Green << 8) | map->Colors[c].Blue;
            const std::size_t n =
                static_cast<std::size_t>(image.ImageDesc.Width) * image.ImageDesc.Height;
            rgb.resize(n);
            for (std::size_t p = 0; p < n; ++p) rgb[p] = table[image.RasterBits[p]];
            benchmark::DoNotOptimize(rgb.data());
            pixels += static_cast<std::int64_t>(n);
            ++frames;
        }
        DGifCloseFile(gif, &error);
    }
    state.counters["pixels"] =
        benchmark::Counter(static_cast<double>(pixels), benchmark::Counter::kIsRate);
    state.counters["frames"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kAvgIterations);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv); // removes the --benchmark flags it knows
    std::vector<std::string> inputs;
    if (const char* env = std::getenv("TESSALY_BENCH_GIF"); env && *env) {
        inputs.emplace_back(env);
    } else if (argc > 1) {
        inputs.assign(argv + 1, argv + argc);
    } else {
        for (const char* path : kDefaultInputs)
            if (std::filesystem::is_regular_file(path)) inputs.emplace_back(path);
        if (inputs.empty()) inputs.emplace_back(kDefaultInputs[0]); // skipped with a note
    }
    for (const std::string& path : inputs) {
        const std::string name = std::filesystem::path(path).stem().string();
        benchmark::RegisterBenchmark(("BM_CGifDecoder/" + name).c_str(), BM_CGifDecoder, path)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("BM_Giflib/" + name).c_str(), BM_Giflib, path)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
