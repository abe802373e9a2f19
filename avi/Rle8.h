// BI_RLE8, the run-length encoding of 8-bit DIBs. Rows run bottom-up, as the
// pixel rows they encode. Encoded data: pairs `n c` (a run of n >= 1 pixels of
// index c), and after a zero byte the escapes 00 00 (end of line), 00 01 (end
// of bitmap), 00 02 dx dy (move right dx and up dy) and 00 n, n >= 3 (n
// literal indices, padded to an even byte count).
#pragma once

#include "platform/WinTypes.h"

#include <cstddef>
#include <vector>

// Appends the BI_RLE8 encoding of an 8-bit picture (`height` rows of
// `stride` bytes, the first `width` bytes of each used) to `out`; returns the
// number of bytes appended. Lossless: every row ends with an end-of-line,
// runs never cross it, and the picture ends with end-of-bitmap. The count is
// never (width + 3) / 4 * 4 * height, the size of an uncompressed frame,
// which ffmpeg would take the data for. A width or height of 0 (or less)
// gives the end-of-lines of the rows, if any, and end-of-bitmap.
std::size_t Rle8Encode(const BYTE* pixels, int width, int height, std::size_t stride,
                       std::vector<BYTE>& out);

// Appends a delta frame: data that, decoded over `previous` (a picture of the
// same layout), gives `pixels`. Unchanged stretches are skipped with moves
// (00 02 dx dy) and end-of-lines, changed ones coded as in Rle8Encode, and
// the data ends with end-of-bitmap after the last change (alone when nothing
// changed). Never the size of an uncompressed frame. Returns the bytes
// appended.
std::size_t Rle8EncodeDelta(const BYTE* pixels, const BYTE* previous, int width, int height,
                            std::size_t stride, std::vector<BYTE>& out);

// Decodes BI_RLE8 data into `height` rows of `stride` bytes (pixels not
// reached stay as they are). false for malformed data: a run or literal past
// the row end, pixels or an end-of-line past the last row, a move that does
// not land on a pixel of the picture, data cut inside an item (an absolute
// run's pad byte included), a negative size or a stride below the width.
// Data may end without end-of-bitmap, as ffmpeg accepts; bytes after it are
// not read. On false, what came before the fault has been written. Never
// reads or writes outside the buffers, nor the bytes of a row past `width`.
bool Rle8Decode(const BYTE* data, std::size_t size, int width, int height, std::size_t stride,
                BYTE* pixels);
