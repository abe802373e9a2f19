// Fuzz target for CApngPicture: every input is opened as a PNG or APNG, all
// its frames are decoded, then it is rewound and decoded again. Besides the
// sanitizers' own checks it stops on:
//   - a canvas outside 1 × 1 to kMaxCanvasBytes;
//   - more frames handed out than Durations() holds, or a FramesDone() that
//     does not count them;
//   - a second pass whose frames or pixels differ from the first's.
//
// The reader checks every chunk's CRC, which nearly every mutation breaks,
// so each input also runs with its CRCs made right (when that changes it):
// the mutations then reach the checks behind the CRCs.
//
// Inputs whose IHDR declares a canvas of more than kMaxPixels pixels are
// skipped: a few bytes can declare a canvas of hundreds of megabytes, which
// the reader accepts and fills, and the fuzzer would spend its time in
// memset instead of in the parser.
//
// Built with libFuzzer (TESSALY_FUZZ=ON) this is the apng_fuzz fuzzer. Built
// without it, main() below replays files and folders given on the command
// line through the same function (apng_fuzz_replay, run by CTest).
#include "anim/ApngPicture.h"

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "apng fuzz: %s\n", what);
    std::abort();
}

constexpr std::uint64_t kMaxPixels = 1u << 22;

// IHDR's width and height stand at fixed places after the signature.
bool DeclaresHugeCanvas(const std::uint8_t* data, std::size_t size) {
    if (size < 24) return false;
    auto be32 = [data](std::size_t at) {
        return std::uint64_t{data[at]} << 24 | std::uint64_t{data[at + 1]} << 16 |
               std::uint64_t{data[at + 2]} << 8 | data[at + 3];
    };
    return be32(16) * be32(20) > kMaxPixels;
}

uint32_t Be32(const std::uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// The input with the CRC of every chunk that lies whole in it recomputed.
std::vector<std::uint8_t> WithGoodCrcs(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    for (std::size_t at = 8; size - at >= 12;) {
        const uint32_t length = Be32(data + at);
        if (length > size - at - 12) break;
        const uint32_t crc = static_cast<uint32_t>(crc32(0, data + at + 4, length + 4));
        for (int i = 0; i < 4; ++i)
            bytes[at + 8 + length + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
        at += 12 + std::size_t{length};
    }
    return bytes;
}

// Decodes frames until false; the canvas of each is appended to `shown`.
void DecodePass(CApngPicture& picture, std::vector<std::uint8_t>& shown) {
    const std::size_t canvasBytes = std::size_t(picture.Width()) * picture.Height() * 4;
    while (picture.NextFrame()) {
        if (std::size_t(picture.FramesDone()) > picture.Durations().size())
            Fail("more frames than Durations() holds");
        shown.insert(shown.end(), picture.Pixels(), picture.Pixels() + canvasBytes);
    }
    if (shown.size() != std::size_t(picture.FramesDone()) * canvasBytes)
        Fail("FramesDone() does not count the frames handed out");
}

void Run(std::vector<std::uint8_t> bytes) {
    const auto picture = CApngPicture::Open(std::move(bytes));
    if (!picture) return;
    if (picture->Width() < 1 || picture->Height() < 1 ||
        static_cast<long long>(picture->Width()) * picture->Height() * 4 >
            CAnimatedPicture::kMaxCanvasBytes)
        Fail("canvas size out of range");
    if (picture->Durations().empty()) Fail("opened without a frame");

    std::vector<std::uint8_t> first, second;
    DecodePass(*picture, first);
    const CAnimatedPicture::Failure failure = picture->LastFailure();
    picture->Rewind();
    if (picture->FramesDone() != 0) Fail("Rewind() did not start again");
    DecodePass(*picture, second);
    if (first != second || picture->LastFailure() != failure)
        Fail("the second pass differs from the first");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8 || DeclaresHugeCanvas(data, size)) return 0;
    std::vector<std::uint8_t> fixed = WithGoodCrcs(data, size);
    if (!std::equal(fixed.begin(), fixed.end(), data)) Run({data, data + size});
    Run(std::move(fixed));
    return 0;
}

#ifndef TESSALY_LIBFUZZER
#define FUZZ_REPLAY_NAME "apng_fuzz_replay"
#include "FuzzReplay.h"
#endif
