// Fuzz target for the WebP reader (CWebpPicture): every input is opened as a
// WebP picture, its frames are all decoded, then all again after a rewind.
// Besides the sanitizers' own checks it stops on:
//   - a canvas of no pixels or above the limit, or pixels not made opaque;
//   - more frames handed out than the durations announced;
//   - a second reading that differs from the first in its frame count.
// The file's bytes past a frame that arrived whole are what the reader's
// repair of a file cut short works on, so truncations are worth mutating.
//
// Inputs whose canvas is above kMaxPixels are skipped after the header is
// read: a few bytes can ask for a 16383 x 16383 canvas, and the fuzzer would
// spend its time clearing it.
//
// Built with libFuzzer (TESSALY_FUZZ=ON) this is the webp_fuzz fuzzer; built
// without it, webp_fuzz_replay replays files and folders (CTest runs it).
#include "FuzzInput.h"

#include "anim/WebpPicture.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr long long kMaxPixels = 1 << 20;

int ReadAll(CWebpPicture& picture) {
    const std::size_t pixels = std::size_t(picture.Width()) * std::size_t(picture.Height());
    int frames = 0;
    while (picture.NextFrame()) {
        if (++frames > int(picture.Durations().size()))
            fuzzinput::Fail("webp fuzz", "more frames than durations");
        const uint8_t* p = picture.Pixels();
        for (std::size_t i = 0; i < pixels; i += 97)
            if (p[4 * i + 3] != 255) fuzzinput::Fail("webp fuzz", "a pixel left transparent");
    }
    return frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<CWebpPicture> picture =
        CWebpPicture::Open(std::vector<uint8_t>(data, data + size));
    if (!picture) return 0;
    const long long pixels = 1LL * picture->Width() * picture->Height();
    if (pixels <= 0 || 4 * pixels > CAnimatedPicture::kMaxCanvasBytes)
        fuzzinput::Fail("webp fuzz", "a canvas outside the limits");
    if (pixels > kMaxPixels) return 0;
    const int first = ReadAll(*picture);
    picture->Rewind();
    if (ReadAll(*picture) != first) fuzzinput::Fail("webp fuzz", "two readings differ");
    return 0;
}

#ifndef TESSALY_LIBFUZZER
#define FUZZ_REPLAY_NAME "webp_fuzz_replay"
#include "FuzzReplay.h"
#endif
