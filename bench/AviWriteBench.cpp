// Writing uncompressed 640 x 480 24-bit frames ("DIB " pass-through) to an AVI
// file in /tmp, through the same calls the converter makes: open, stream,
// compressing stream, format, one AVIStreamWrite per frame, releases (which
// write the index and patch the headers). One iteration writes a whole file.
// The "bytes processed" rate compares with the disk itself:
//   dd if=/dev/zero of=/tmp/x bs=921600 count=300 conv=fdatasync
// (without conv=fdatasync dd, like this benchmark, measures the page cache).
//
// Arguments: frames per file; 1200 frames cross the 1 GiB RIFF limit, so that
// run includes the OpenDML part switch and its indexes. The output folder can
// be changed with TESSALY_BENCH_DIR.
#include "avi/AviFile.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWidth = 640, kHeight = 480;
constexpr std::size_t kStride = (kWidth * 3 + 3) & ~std::size_t(3);

std::string OutputPath() {
    const char* dir = std::getenv("TESSALY_BENCH_DIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/tessaly-avi-bench-" +
           std::to_string(::getpid()) + ".avi";
}

void BM_AviWriteUncompressed(benchmark::State& state) {
    const int frames = int(state.range(0));
    BITMAPINFOHEADER header{sizeof(BITMAPINFOHEADER), kWidth, kHeight, 1, 24, BI_RGB,
                            DWORD(kStride * kHeight), 0,      0,       0, 0};
    std::vector<BYTE> pixels(kStride * kHeight);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = BYTE(i * 7 + i / 1920);
    const std::string path = OutputPath();
    AVIFileInit();
    for (auto _ : state) {
        PAVIFILE file = nullptr;
        PAVISTREAM stream = nullptr, compressed = nullptr;
        AVISTREAMINFO info{};
        info.fccType = streamtypeVIDEO;
        info.dwScale = 1;
        info.dwRate = 15;
        info.dwSuggestedBufferSize = header.biSizeImage;
        info.rcFrame = {0, 0, kWidth, kHeight};
        AVICOMPRESSOPTIONS options{};
        options.fccHandler = mmioFOURCC('D', 'I', 'B', ' ');
        options.dwFlags = AVICOMPRESSF_VALID;
        HRESULT hr = AVIFileOpen(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr);
        if (!hr) hr = AVIFileCreateStream(file, &stream, &info);
        if (!hr) hr = AVIMakeCompressedStream(&compressed, stream, &options, nullptr);
        if (!hr) hr = AVIStreamSetFormat(compressed, 0, &header, sizeof header);
        for (int i = 0; !hr && i < frames; ++i)
            hr = AVIStreamWrite(compressed, i, 1, pixels.data(), LONG(pixels.size()),
                                AVIIF_KEYFRAME, nullptr, nullptr);
        if (stream) AVIStreamRelease(stream);
        if (compressed) AVIStreamRelease(compressed);
        if (file) AVIFileRelease(file);
        if (hr || AviLastCloseResult()) {
            state.SkipWithError(("cannot write " + path).c_str());
            break;
        }
    }
    AVIFileExit();
    std::remove(path.c_str());
    state.SetBytesProcessed(state.iterations() * std::int64_t(frames) *
                            std::int64_t(pixels.size()));
    state.counters["frames"] =
        benchmark::Counter(double(state.iterations()) * frames, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_AviWriteUncompressed)
    ->Arg(100)
    ->Arg(300)
    ->Arg(1200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
