// Fuzz target for CGifDecoder: every input is loaded as a GIF file and all its
// frames are fetched and deleted, in three passes, after a survey of its colours (after its NULL
// the walk rewinds, or reads on after a trailer). Besides the sanitizers' own checks it stops on:
//   - more frames in one pass than the input could hold (every frame costs at
//     least its 0x2C introducer and 9-byte image descriptor), so a pass that
//     does not end is caught;
//   - a bitmap whose size is not the m_nWidth x m_nHeight the decoder reports;
//   - a device bitmap or context left alive after the decoder is gone.
//
// Inputs that could declare an image of more than kMaxPixels pixels are
// skipped: a dozen bytes can ask for a 16000 x 8000 image, which the decoder
// accepts and the graphics layer fills, and the fuzzer would spend its time
// in memset instead of in the parser.
//
// Built with libFuzzer (TESSALY_FUZZ=ON) this is the gif_fuzz fuzzer. Built
// without it, main() below replays files and folders given on the command
// line through the same function (gif_fuzz_replay, run by CTest).
#include "FuzzInput.h"

#include "fw/MessageBox.h"
#include "gfx/Gdi.h"
#include "gif/GifDecoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "gif fuzz: %s\n", what);
    std::abort();
}

// The decoder reads files by path, so each input goes to one in-memory file
// per process, rewritten for every input and opened through /proc/self/fd.
const fuzzinput::MemoryFile& Input() {
    static const fuzzinput::MemoryFile file = fuzzinput::MakeMemoryFile("gif-fuzz-input");
    return file;
}

constexpr std::uint64_t kMaxPixels = 1u << 22;

// True when some 0x2C byte is followed by width and height words whose product
// passes kMaxPixels. Every image descriptor follows a 0x2C introducer, so an
// input without such a byte cannot make a larger image, wherever the block
// walk takes the decoder.
bool MayDeclareHugeImage(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i + 9 <= size; ++i) {
        if (data[i] != 0x2C) continue;
        std::uint64_t width = data[i + 5] | (data[i + 6] << 8);
        std::uint64_t height = data[i + 7] | (data[i + 8] << 8);
        if (width * height > kMaxPixels) return true;
    }
    return false;
}

// Fetches frames until NULL; returns how many there were.
std::size_t FetchPass(CGifDecoder& decoder, std::size_t maxFrames) {
    std::size_t frames = 0;
    while (HBITMAP bitmap = decoder.GetNextFrame()) {
        if (++frames > maxFrames)
            Fail("more frames than the input can hold: the walk does not end");
        BITMAP bm{};
        if (GetObject(bitmap, sizeof bm, &bm) != sizeof bm) Fail("GetObject failed on a frame");
        if (bm.bmWidth != decoder.m_nWidth || bm.bmHeight != decoder.m_nHeight)
            Fail("frame bitmap size differs from m_nWidth x m_nHeight");
        if (!DeleteObject(bitmap)) Fail("DeleteObject failed on a frame");
    }
    return frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static HDC screen = [] {
        // A file that cannot be opened is the only case with a message; keep
        // the output quiet should it ever happen.
        AfxSetMessagePresenter([](LPCTSTR, UINT, LPCTSTR) { return IDOK; });
        return GetDC(nullptr);
    }();
    if (MayDeclareHugeImage(data, size)) return 0;
    fuzzinput::Fill(Input(), data, size);

    const GdiObjectCounts before = GdiGetObjectCounts();
    {
        CGifDecoder decoder;
        if (decoder.LoadFile(Input().path.c_str())) {
            decoder.m_hDC = screen;
            // The colour survey walks the same blocks on its own position.
            // Each colour once, in ascending order, no more than the tables
            // the data can hold, and black.
            const std::vector<COLORREF> colours = decoder.CollectColors();
            if (colours.size() > 1 + 256 + 256 * (size / 10 + 1) ||
                (!colours.empty() && colours.back() > 0xFFFFFF) ||
                std::adjacent_find(colours.begin(), colours.end(), std::greater_equal<>()) !=
                    colours.end())
                Fail("CollectColors gave impossible colours");
            const std::size_t maxFrames = size / 10 + 1;
            // Three passes: the first walk, then whatever follows its NULL
            // (a rewind, or the blocks after a trailer), then once more.
            for (int pass = 0; pass < 3; ++pass) FetchPass(decoder, maxFrames);
        }
    }
    if (!(GdiGetObjectCounts() == before)) Fail("device bitmaps or contexts leaked");
    return 0;
}

#ifndef TESSALY_LIBFUZZER
#define FUZZ_REPLAY_NAME "gif_fuzz_replay"
#include "FuzzReplay.h"
#endif
