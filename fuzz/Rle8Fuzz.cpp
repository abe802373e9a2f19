// Fuzz target for the BI_RLE8 encoder and decoder. The input is
//   byte 0-1  width, little-endian, taken modulo 601
//   byte 2    height, modulo 65
//   byte 3    bit 0: how the rest fills the picture (0: the bytes themselves,
//             1: pairs `count value`, a run of count + 1 pixels each), both
//             repeated to cover every row;
//             bits 1-3: extra bytes per row beyond the width (stride padding);
//             bit 4: `out` already holds bytes before the encoding
//   the rest  the picture's pixels, as byte 3 says.
// The picture is encoded and decoded again. Besides the sanitizers' checks it
// stops on:
//   - a decode that fails or differs from the picture, or that writes into
//     the stride padding;
//   - an encoding that does not have exactly one end-of-line per row, uses a
//     move, does not end with end-of-bitmap, or passes the worst-case size;
//   - an encoding of exactly (width + 3) / 4 * 4 * height bytes, which ffmpeg
//     takes for an uncompressed frame;
//   - Rle8Encode touching what `out` held before, or returning a wrong count;
//   - a delta frame from the picture to a second one (a band of it changed)
//     that does not decode over the picture into the second one.
// The whole input is then decoded as BI_RLE8 data into a picture of the same
// size, which must not read or write outside its buffers nor touch padding.
//
// Built with libFuzzer (TESSALY_FUZZ=ON) this is the rle8_fuzz fuzzer. Built
// without it, main() below replays files and folders given on the command
// line through the same function (rle8_fuzz_replay, run by CTest).
#include "avi/Rle8.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "rle8 fuzz: %s\n", what);
    std::abort();
}

constexpr BYTE kPad = 0xA5;

// Fills width pixels of every row from `source`, repeated; the padding of
// each row gets kPad.
std::vector<BYTE> MakePicture(const std::uint8_t* source, std::size_t size, bool pairs,
                              std::size_t width, std::size_t height, std::size_t stride) {
    std::vector<BYTE> picture(stride * height, kPad);
    std::size_t at = 0;
    std::size_t left = 0; // pixels left in the current pair's run
    BYTE value = 0;
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            if (size == 0) {
                value = 0;
            } else if (!pairs) {
                value = source[at];
                at = (at + 1) % size;
            } else if (left == 0) {
                left = source[at] + 1u;
                value = size > 1 ? source[(at + 1) % size] : 0;
                at = (at + 2) % size;
            }
            if (pairs) --left;
            picture[y * stride + x] = value;
        }
    }
    return picture;
}

bool PaddingIntact(const std::vector<BYTE>& picture, std::size_t width, std::size_t height,
                   std::size_t stride) {
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = width; x < stride; ++x)
            if (picture[y * stride + x] != kPad) return false;
    return true;
}

// Walks the items of our own encoding: end-of-lines counted, no move, and
// end-of-bitmap as the last item.
void CheckStructure(const BYTE* data, std::size_t size, std::size_t height) {
    std::size_t lines = 0;
    std::size_t pos = 0;
    for (;;) {
        if (size - pos < 2) Fail("encoding ends without end-of-bitmap");
        const BYTE first = data[pos];
        const BYTE second = data[pos + 1];
        pos += 2;
        if (first != 0) continue;
        if (second == 0) {
            ++lines;
        } else if (second == 1) {
            break;
        } else if (second == 2) {
            Fail("encoding uses a move");
        } else {
            pos += second + (second & 1u);
            if (pos > size) Fail("absolute run past the end of the encoding");
        }
    }
    if (pos != size) Fail("bytes after end-of-bitmap");
    if (lines != height) Fail("not one end-of-line per row");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::size_t width = (data[0] | (data[1] << 8)) % 601;
    const std::size_t height = data[2] % 65;
    const bool pairs = data[3] & 1;
    const std::size_t stride = width + ((data[3] >> 1) & 7);
    const bool prefixed = data[3] & 0x10;

    const std::vector<BYTE> picture = MakePicture(data + 4, size - 4, pairs, width, height, stride);
    const BYTE prefix[3] = {0xDE, 0xAD, 0x00};
    std::vector<BYTE> out;
    if (prefixed) out.assign(prefix, prefix + sizeof prefix);
    const std::size_t begin = out.size();
    const std::size_t encoded =
        Rle8Encode(picture.data(), static_cast<int>(width), static_cast<int>(height), stride, out);
    if (out.size() != begin + encoded) Fail("returned size differs from the bytes appended");
    if (prefixed && std::memcmp(out.data(), prefix, sizeof prefix) != 0)
        Fail("bytes before the encoding changed");
    if (encoded == ((width + 3) & ~std::size_t{3}) * height)
        Fail("encoded size equals the uncompressed frame size");
    if (encoded > height * (2 * width + 2) + 4) Fail("encoding larger than the worst case");
    CheckStructure(out.data() + begin, encoded, height);

    std::vector<BYTE> decoded(stride * height, kPad);
    for (std::size_t y = 0; y < height && width > 0; ++y)
        std::memset(decoded.data() + y * stride, 0x5A, width);
    if (!Rle8Decode(out.data() + begin, encoded, static_cast<int>(width), static_cast<int>(height),
                    stride, decoded.data()))
        Fail("the decoder rejects the encoding");
    if (decoded != picture) Fail("round trip differs");

    // A delta frame from the picture to a second one: the picture with a
    // band of its rows and columns overwritten from the input read backwards
    // (the band's place and size from byte 3 and the data's size). It must
    // decode over the picture into the second one, padding untouched.
    std::vector<BYTE> next = picture;
    const std::size_t top = height ? size % height : 0, left = width ? size % width : 0;
    for (std::size_t y = top; y < height && y < top + 1 + (data[3] >> 5) * 4; ++y)
        for (std::size_t x = left; x < width; ++x)
            next[y * stride + x] = data[size - 1 - (y * 31 + x) % (size - 4 > 0 ? size - 4 : 1)];
    std::vector<BYTE> delta;
    const std::size_t deltaSize =
        Rle8EncodeDelta(next.data(), picture.data(), int(width), int(height), stride, delta);
    if (deltaSize != delta.size()) Fail("delta: returned size differs from the bytes appended");
    if (deltaSize == ((width + 3) & ~std::size_t{3}) * height)
        Fail("delta: encoded size equals the uncompressed frame size");
    std::vector<BYTE> shown = picture;
    if (!Rle8Decode(delta.data(), deltaSize, int(width), int(height), stride, shown.data()))
        Fail("delta: the decoder rejects the encoding");
    if (shown != next) Fail("delta: round trip differs");

    // The input itself as BI_RLE8 data. Exactly sized buffers, so the address
    // sanitizer sees any access outside them.
    std::vector<BYTE> stream(data + 4, data + size);
    std::vector<BYTE> target(stride * height, kPad);
    Rle8Decode(stream.data(), stream.size(), static_cast<int>(width), static_cast<int>(height),
               stride, target.data());
    if (!PaddingIntact(target, width, height, stride)) Fail("the decoder wrote into the padding");
    return 0;
}

#ifndef TESSALY_LIBFUZZER
#define FUZZ_REPLAY_NAME "rle8_fuzz_replay"
#include "FuzzReplay.h"
#endif
