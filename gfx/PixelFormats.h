// Device pixel formats and the conversion of rows between them and packed DIB
// rows. Private to gfx/. Colours travel as 0x00RRGGBB values; device pixels
// are the low bytes of 32-bit values (a 24-bit pixel is the first three bytes
// of 0x00RRGGBB: blue, green, red).
#pragma once

#include "gfx/Gdi.h"
#include "gfx/NearestCache.h"

#include <cstdint>

namespace gdi_internal {

using Rgb = std::uint32_t; // 0x00RRGGBB

constexpr Rgb PackRgb(unsigned r, unsigned g, unsigned b) {
    return (r << 16) | (g << 8) | b;
}
constexpr Rgb QuadToRgb(const RGBQUAD& q) {
    return PackRgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
}

// Pixels are converted in runs of this many, so that scratch rows live on the
// stack whatever the width.
constexpr int kRun = 512;

bool IsDeviceDepth(int bits);
// Bitmaps of 1, 4 and 8 bits keep one index per byte; the others keep their
// device pixels as they are.
int StoredPixelBytes(int bits);
// The stock table of 2, 16 or 256 colours.
const Rgb* StockRgb(int colours);

// The system palette: the 256 colours that the pixels of 8-bit device bitmaps
// index, at first the stock 256-entry table. Its colours are read without the
// layer's lock while bitmaps are drawn: it changes only when a palette is
// realised in the foreground of an 8-bit screen (the first `count` entries
// take that palette's colours) and when the screen's depth is set (the stock
// table again), which no thread may do while another draws (see Gdi.h).
const Rgb* SystemPalette();
void SetSystemPalette(const Rgb* colours, int count);
void ResetSystemPalette();

// A device pixel format: the depth, and for 1, 4 and 8 bits the colours the
// indices stand for.
struct DeviceFormat {
    int bits;
    const Rgb* palette;
    int colours;
};

DeviceFormat FormatOf(int bits);
// The device pixel for a colour, in the low bytes of the result.
std::uint32_t DevicePixel(const DeviceFormat& format, NearestCache& cache, Rgb colour);
void DeviceToRgb(const DeviceFormat& format, const BYTE* pixels, int n, Rgb* out);
void RgbToDevice(const DeviceFormat& format, NearestCache& cache, const Rgb* in, int n,
                 BYTE* pixels);
// Stores n device pixels of pixelBytes bytes each, looked up by index.
void StoreThroughTable(int pixelBytes, const BYTE* indices, int n, const std::uint32_t* table,
                       BYTE* pixels);

// ---- Packed DIB rows -------------------------------------------------------
// 1- and 4-bit rows hold the leftmost pixel in the high bits of each byte.

struct DibLayout {
    int bits;
    LONG width;
    LONG height; // |biHeight|
    bool topDown;
    std::uint64_t stride;
};

// The largest header a packed DIB may start with (BITMAPV5HEADER); the colour
// table follows the header, whatever its size.
constexpr DWORD kMaxInfoHeaderSize = 124;

// Accepts BI_RGB DIBs of 1, 4, 8, 16, 24 and 32 bits with a header of 40 to
// 124 bytes.
bool ReadLayout(const BITMAPINFOHEADER& header, DibLayout* layout);
// The colour table after the header of a DIB of 8 bits or fewer: biClrUsed
// entries, or 2^bits when that is 0 (never more); the rest of the 256 slots
// black. Returns the number of entries (0 for deeper DIBs).
int DibColours(const BITMAPINFO& info, Rgb table[256]);
// The device pixel of each of the 256 possible indices of a DIB of 8 bits or
// fewer, from the colour table after its header; indices past the table are
// black.
void DeviceTableOf(const BITMAPINFO& info, const DeviceFormat& format, NearestCache& cache,
                   std::uint32_t devicePixels[256]);
// Indices of pixels [x0, x0 + n) of a 1-, 4- or 8-bit row.
void DibIndices(int bits, const BYTE* row, int x0, int n, BYTE* out);
// Writes n indices as pixels [0, n) of a 1-, 4- or 8-bit row; the bits past
// the last pixel in its byte are 0.
void PackIndices(int bits, const BYTE* indices, int n, BYTE* row);
// Colours of pixels [x0, x0 + n) of a 16-, 24- or 32-bit row.
void DibDirectToRgb(int bits, const BYTE* row, int x0, int n, Rgb* out);
// Writes colours as pixels [x0, x0 + n) of a row that starts zeroed.
void RgbToDib(int bits, NearestCache& cache, const Rgb* in, int x0, int n, BYTE* row);

} // namespace gdi_internal
