// Device bitmaps and device contexts: the part of the platform's graphics
// device interface that the program uses, with the platform's names, records
// and argument order.
//
// The "screen" has a pixel format (32 bits per pixel unless a test chooses 1,
// 4, 8, 16 or 24). Device bitmaps hold real pixels in a device format:
//   32 bits: blue, green, red, 0 per pixel;  24 bits: blue, green, red;
//   16 bits: 5-5-5 words (red in bits 10-14);
//   8 bits: indices into the system palette (at first the 256-entry stock table);
//   4 bits: indices into the 16-entry stock table;  1 bit: 0 black, 1 white.
// Handles are looked up in tables, never followed: a deleted or foreign handle
// gives the failure result. Live objects are counted for leak tests.
//
// Threads. Every call here and in Palette.h may be made from any thread: one
// lock guards the object tables and the layer's shared state, and calls that
// draw or read pixels let it go before they touch them. So two threads may
// each create, draw in, select and delete bitmaps, contexts, brushes and
// palettes of their own at the same time, and may share objects that nobody
// changes meanwhile: a screen context (GetDC) and a palette selected and
// realised in it before the threads start, used by both for CreateDIBitmap,
// CreateCompatibleDC, GetDIBits and GetNearestPaletteIndex; a bitmap both
// only read from. A caller must still not
//   - draw into a bitmap, or select objects into a context, while another
//     thread reads or draws in it, nor delete an object another thread uses;
//   - share a DIB section of 1 or 4 bits even for reading (each call unpacks
//     its rows into the bitmap);
//   - call GdiSetScreenBitsPerPixel, or realise a palette in the foreground of
//     an 8-bit screen, while another thread draws: 8-bit bitmaps index the
//     screen's palette without the lock;
//   - expect a palette realised in the foreground of a screen or window
//     context to stay its thread's own: it becomes the screen's, which
//     GetDIBits uses for every context without a realised palette (a capture
//     through CDIB realises one), so such captures belong on one thread.
#pragma once

#include "platform/WinTypes.h"

struct HDC__;
using HDC = HDC__*;
struct HBITMAP__;
using HBITMAP = HBITMAP__*;
struct HPALETTE__;
using HPALETTE = HPALETTE__*;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
using HGDIOBJ = void*;

using COLORREF = DWORD; // 0x00BBGGRR

constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
    return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) |
           (static_cast<COLORREF>(b) << 16);
}
constexpr BYTE GetRValue(COLORREF c) {
    return static_cast<BYTE>(c);
}
constexpr BYTE GetGValue(COLORREF c) {
    return static_cast<BYTE>(c >> 8);
}
constexpr BYTE GetBValue(COLORREF c) {
    return static_cast<BYTE>(c >> 16);
}
constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;

#pragma pack(push, 2)
struct BITMAPFILEHEADER {
    WORD bfType;
    DWORD bfSize;
    WORD bfReserved1;
    WORD bfReserved2;
    DWORD bfOffBits;
};
#pragma pack(pop)
static_assert(sizeof(BITMAPFILEHEADER) == 14);

struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight; // negative: rows run top to bottom
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

// Bytes in one DIB row of `width` pixels of `bitCount` bits: whole 32-bit
// words. In 64 bits, so 32-bit widths and bit counts cannot overflow it.
constexpr std::uint64_t DibRowBytes(std::uint64_t width, std::uint64_t bitCount) {
    return (width * bitCount + 31) / 32 * 4;
}
// Entries of a full colour table: 2, 16 or 256 for 1, 4 or 8 bits per pixel;
// none for the other bit counts.
constexpr DWORD DibTableEntries(unsigned bitCount) {
    return bitCount == 1 ? 2 : bitCount == 4 ? 16 : bitCount == 8 ? 256 : 0;
}

struct BITMAPCOREHEADER {
    DWORD bcSize;
    WORD bcWidth;
    WORD bcHeight;
    WORD bcPlanes;
    WORD bcBitCount;
};
static_assert(sizeof(BITMAPCOREHEADER) == 12);

struct RGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
};

struct RGBTRIPLE {
    BYTE rgbtBlue;
    BYTE rgbtGreen;
    BYTE rgbtRed;
};

// A header followed by its colour table. The table is declared with one entry,
// as the platform declares it; the real table runs on past the record.
struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
};

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

struct BITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes; // row length of the device format, rounded to 16 bits
    WORD bmPlanes;
    WORD bmBitsPixel;
    LPVOID bmBits; // a DIB section's rows; null for device bitmaps, which keep theirs
};

constexpr DWORD BI_RGB = 0;
constexpr DWORD BI_RLE8 = 1;
constexpr DWORD BI_RLE4 = 2;
constexpr DWORD BI_BITFIELDS = 3;
constexpr DWORD BI_JPEG = 4;
constexpr DWORD BI_PNG = 5;
constexpr DWORD BI_ALPHABITFIELDS = 6;

constexpr DWORD CBM_INIT = 0x04;
constexpr UINT DIB_RGB_COLORS = 0;
constexpr UINT DIB_PAL_COLORS = 1;

// Raster operations (ternary: pattern, source, destination; see BitBlt). Any
// of the 256 codes may be given; these are the named ones.
constexpr DWORD SRCCOPY = 0x00CC0020;
constexpr DWORD SRCPAINT = 0x00EE0086;
constexpr DWORD SRCAND = 0x008800C6;
constexpr DWORD SRCINVERT = 0x00660046;
constexpr DWORD SRCERASE = 0x00440328;
constexpr DWORD NOTSRCCOPY = 0x00330008;
constexpr DWORD NOTSRCERASE = 0x001100A6;
constexpr DWORD MERGECOPY = 0x00C000CA;
constexpr DWORD MERGEPAINT = 0x00BB0226;
constexpr DWORD PATCOPY = 0x00F00021;
constexpr DWORD PATPAINT = 0x00FB0A09;
constexpr DWORD PATINVERT = 0x005A0049;
constexpr DWORD DSTINVERT = 0x00550009;
constexpr DWORD BLACKNESS = 0x00000042;
constexpr DWORD WHITENESS = 0x00FF0062;

constexpr UINT IMAGE_BITMAP = 0;
constexpr int WHITE_BRUSH = 0;
constexpr int LTGRAY_BRUSH = 1;
constexpr int GRAY_BRUSH = 2;
constexpr int DKGRAY_BRUSH = 3;
constexpr int BLACK_BRUSH = 4;
constexpr int DEFAULT_PALETTE = 15;
constexpr UINT GDI_ERROR = 0xFFFFFFFF;

// The most pixel bytes a device bitmap may hold (256 MiB: 8192 x 8192 at 32
// bits); larger ones are refused.
constexpr std::uint64_t kMaxDeviceBitmapBytes = std::uint64_t{1} << 28;

// Device contexts. GetDC(nullptr) is the screen's; GetDC of a window is a
// context of the screen's format too. Both are released with ReleaseDC.
HDC GetDC(HWND window);
int ReleaseDC(HWND window, HDC dc);

// A memory context in the format of `dc` (the screen when null). It starts with
// the stock 1 x 1 monochrome bitmap selected, so bitmaps made for it are
// monochrome until a bitmap of another format is selected.
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);

// Selects a bitmap into a memory context, or a brush into any context;
// returns the object of that kind it replaces, or null on failure (a bitmap
// sits in at most one context at a time).
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
// A brush of one colour: the pattern of the raster operations of the
// contexts it is selected into. Contexts start with the stock white brush.
HBRUSH CreateSolidBrush(COLORREF colour);
// Deletes a bitmap, palette or brush. FALSE for unknown handles and for
// objects still selected into a context; stock objects are left alone (TRUE).
BOOL DeleteObject(HGDIOBJ object);
// Fills a BITMAP record (for a bitmap) or a WORD entry count (for a palette);
// returns the bytes written, 0 on failure.
int GetObject(HGDIOBJ object, int bufferSize, LPVOID buffer);
HGDIOBJ GetStockObject(int object);

// A device bitmap in dc's format (the screen's when dc is null) of
// header->biWidth x |header->biHeight|. With CBM_INIT its pixels are
// initialised from a packed DIB (1, 4, 8, 16, 24 or 32 bits, BI_RGB, bottom-up
// or top-down): each pixel gets the colour its index has in the table, mapped
// to the nearest device colour (exact colours exactly). Indices past the table
// are black. Zero width or height gives a valid empty bitmap. Null on failure.
HBITMAP CreateDIBitmap(HDC dc, const BITMAPINFOHEADER* header, DWORD init, const void* bits,
                       const BITMAPINFO* info, UINT usage);

// Copies scan lines [start, start + lines) of the bitmap into a DIB at the bit
// count of info->bmiHeader (1, 4, 8, 16, 24, 32; rows bottom-up when biHeight
// > 0). With biBitCount 0 the header is filled from the bitmap. Without bits,
// only biSizeImage and the colour table are filled. For 8 bits and fewer the
// colour table is the palette selected and realised in dc when there is one,
// else the screen's palette (see RealizePalette) when there is one, else the
// stock table for the bit count; pixels map to the nearest entry.
// The 2^bits table entries are written after the header and biClrUsed is set
// to their number. Returns the number of lines (non-zero without bits), 0 on
// failure.
int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits, BITMAPINFO* info,
              UINT usage);

// A bitmap whose pixels are a packed DIB that the caller reads and writes at
// *bits (zeroed at first): BI_RGB, 1 to 32 bits, bottom-up or top-down, its
// colour table after the header (biClrUsed entries, or 2^bits when 0; values
// past it show black). Drawing calls take the rows from there and write what
// they draw back before they return. For 8 bits and fewer the values index
// the section's own table, and colours drawn into it map to its nearest
// entry. Only DIB_RGB_COLORS, and no file mapping (section null, offset 0).
// Null, and *bits null, on failure.
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                         DWORD offset);

// An independent copy of a device bitmap, stretched to cx x cy (0: the source size)
// by nearest neighbour. No LR_ flags are supported: other flags than 0 give null.
HANDLE CopyImage(HANDLE image, UINT type, int cx, int cy, UINT flags);

// Combines cx x cy pixels from (xSrc, ySrc) of the source context's bitmap
// with (x, y) of the destination's and its brush, by the raster operation,
// clipped at both bitmaps' edges (negative positions included). Source
// pixels are converted to the destination's format first (palette formats:
// the nearest colour); the operation then works on the device pixel values.
// An operation that uses no source ignores src. FALSE for window contexts
// (no surface of their own here) and for a destination still holding the
// shared stock bitmap.
BOOL BitBlt(HDC dest, int x, int y, int cx, int cy, HDC src, int xSrc, int ySrc, DWORD rop);
// Two raster operations in one code for MaskBlt: `fore` where the mask is 1,
// `back` where it is 0.
constexpr DWORD MAKEROP4(DWORD fore, DWORD back) {
    return ((back << 8) & 0xFF000000) | fore;
}
constexpr DWORD DSTCOPY = 0x00AA0029; // the destination as it is

// BitBlt with two raster operations chosen pixel by pixel by a monochrome
// mask bitmap: where mask pixel (xMask + i, yMask + j) is 1 (white) the
// foreground operation of `rop` (its low 24 bits) combines destination pixel
// (x + i, y + j) with source pixel (xSrc + i, ySrc + j); where it is 0, the
// background operation (its high byte, see MAKEROP4). The rectangle is
// clipped at the edges of all three bitmaps. Without a mask, BitBlt with the
// foreground operation. FALSE for a mask that is no monochrome bitmap, and
// where BitBlt fails.
BOOL MaskBlt(HDC dest, int x, int y, int cx, int cy, HDC src, int xSrc, int ySrc, HBITMAP mask,
             int xMask, int yMask, DWORD rop);
// Combines the rectangle (x, y, cx x cy; negative sizes count back from x or
// y) of the context's bitmap with its brush by an operation that uses no
// source (PATCOPY, PATINVERT, DSTINVERT, BLACKNESS, WHITENESS, ...),
// clipped at the bitmap's edges. FALSE for operations that use a source.
BOOL PatBlt(HDC dc, int x, int y, int cx, int cy, DWORD rop);
// BitBlt with stretching: source (xSrc, ySrc, srcWidth x srcHeight) onto
// destination (x, y, destWidth x destHeight) by nearest pixels; a negative
// size on one side mirrors. Shrinking uses the BLACKONWHITE rule: a 1-bit
// source's pixels that fall together are ANDed (black wins, so thin black
// lines survive), other sources keep one pixel of each group.
BOOL StretchBlt(HDC dest, int x, int y, int destWidth, int destHeight, HDC src, int xSrc, int ySrc,
                int srcWidth, int srcHeight, DWORD rop);

// Draws a packed DIB (as CreateDIBitmap takes it) into the bitmap selected
// into a memory context, stretching source (xSrc, ySrc, srcWidth x srcHeight)
// onto destination (x, y, destWidth x destHeight) by nearest pixels, clipped
// at the bitmap's edges. Source coordinates are the DIB's own: for a
// bottom-up DIB ySrc counts from the bottom row. A negative width or height on
// one side mirrors the picture. The DIB's colours are mapped to the
// destination's format, then combined with the destination and the context's
// brush by the raster operation, as BitBlt does. Returns the number of source
// scan lines, 0 on failure.
int StretchDIBits(HDC dc, int x, int y, int destWidth, int destHeight, int xSrc, int ySrc,
                  int srcWidth, int srcHeight, const void* bits, const BITMAPINFO* info, UINT usage,
                  DWORD rop);

// Our own: blue, green and red of `width` 32-bit pixels (blue, green, red,
// unused: a 32-bit device pixel or DIB pixel) as packed 24-bit DIB pixels.
void Pack32To24(const BYTE* in, LONG width, BYTE* out);

// The screen's pixel format: 1, 4, 8, 16, 24 or 32 bits (32 unless changed).
// Contexts and bitmaps made afterwards take the new format; changing it also
// resets the system palette to the stock 256-entry table. Returns FALSE for
// other depths.
BOOL GdiSetScreenBitsPerPixel(int bitsPerPixel);
int GdiGetScreenBitsPerPixel();

// Live objects made through this layer, stock objects excluded.
struct GdiObjectCounts {
    long bitmaps = 0;
    long contexts = 0;
    long palettes = 0;
    long brushes = 0;
    friend bool operator==(const GdiObjectCounts&, const GdiObjectCounts&) = default;
};
GdiObjectCounts GdiGetObjectCounts();
