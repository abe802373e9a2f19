// BI_RLE8, the run-length encoding of 8-bit DIBs. Rows run bottom-up, as the
// pixel rows they encode. Encoded data: pairs `n c` (a run of n >= 1 pixels of
// index c), and after a zero byte the escapes 00 00 (end of line), 00 01 (end
// of bitmap), 00 02 dx dy (move right dx and up dy) and 00 n, n >= 3 (n
// literal indices, padded to an even byte count).
#pragma once

#include "fw/WinTypes.h"

#include <cstddef>
#include <vector>

// Appends the BI_RLE8 encoding of an 8-bit picture (`height` rows of
// `stride` bytes, the first `width` bytes of each used) to `out`; returns the
// number of bytes appended. Lossless: every row ends with an end-of-line,
// runs never cross it, and the picture ends with end-of-bitmap.
std::size_t Rle8Encode(const BYTE* pixels, int width, int height, std::size_t stride,
                       std::vector<BYTE>& out);

// Decodes BI_RLE8 data into `height` rows of `stride` bytes (pixels not
// reached stay as they are). FALSE for malformed data: a run or literal past
// the row end, a move outside the picture, data that ends early. Never reads
// or writes outside the buffers.
bool Rle8Decode(const BYTE* data, std::size_t size, int width, int height, std::size_t stride,
                BYTE* pixels);
