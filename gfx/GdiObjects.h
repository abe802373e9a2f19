// The device bitmaps, device contexts and brushes behind the handles of
// Gdi.h, the tables that hold them, and the layer's lock. Private to gfx/.
// Everything here but the lock and the pixel helpers of BitmapObject expects
// the lock held. The sizes, depths and pixel addresses of an object never
// change after it is made, so a call may read them, and draw, after letting
// the lock go.
#pragma once

#include "gfx/Gdi.h"
#include "gfx/PixelFormats.h"
#include "platform/HandleTable.h"

#include <cstddef>
#include <memory>
#include <mutex>

namespace gdi_internal {

// The layer's one lock. It guards the tables of bitmaps, contexts, brushes
// and palettes, the fields of their objects that calls change (a context's
// selections, a bitmap's context, a palette's search), the stock objects, the
// palette selections and the screen's depth and palette. The functions
// declared here and in PaletteInternal.h expect it held. Public calls take it
// to find their objects and let it go before they touch pixels, which are
// their caller's business (see Gdi.h).
std::mutex& LayerMutex();
using LayerGuard = std::lock_guard<std::mutex>;

struct FreeBlock {
    void operator()(BYTE* block) const;
};

// What a DIB section adds to a bitmap: the packed-DIB rows the caller reads
// and writes, and the colour table its indices stand for (all 256 slots kept,
// those past `colours` black). Sections of 8 bits and more draw in those rows
// themselves. Those of 1 and 4 bits keep rows of one index per byte as every
// bitmap does; drawing calls bring the packed rows in first and write them
// back after (see SectionScope).
struct SectionObject {
    DibLayout layout{};
    std::unique_ptr<BYTE[], FreeBlock> bits;
    Rgb table[256] = {};
    int colours = 0;
};

struct BitmapObject {
    int bits = 1;
    LONG width = 0;
    LONG height = 0;
    std::size_t stride = 0;                   // bytes per stored row
    bool bottomUp = false;                    // rows stored bottom row first
    std::unique_ptr<BYTE[], FreeBlock> block; // null for the stock bitmap and shared sections
    BYTE* pixels = nullptr;
    HDC selectedIn = nullptr; // the memory context it is selected into
    bool stock = false;
    std::unique_ptr<SectionObject> section; // null for device bitmaps

    // Where row y of the picture (from the top) is stored, in rows.
    std::size_t RowIndex(LONG y) const {
        return static_cast<std::size_t>(bottomUp ? height - 1 - y : y);
    }
    BYTE* Row(LONG y) const { return pixels + RowIndex(y) * stride; }
};

struct ContextObject {
    bool memory = false;
    HWND window = nullptr;
    int bits = 32;            // screen and window contexts: the screen's depth when made
    HBITMAP bitmap = nullptr; // memory contexts: the selected bitmap
    HBRUSH brush = nullptr;   // null: the stock white brush
};

struct BrushObject {
    COLORREF colour = 0;
    bool stock = false;
};

// Bitmaps carry tag 1, contexts 2 and brushes 4 in their handles; palettes
// (in Palette.cpp) carry 3, so DeleteObject and GetObject can tell them apart.
struct GdiState {
    int screenBits = 32;
    HandleTable<HBITMAP, BitmapObject, 1> bitmaps;
    HandleTable<HDC, ContextObject, 2> contexts;
    HandleTable<HBRUSH, BrushObject, 4> brushes;
    HBITMAP stockBitmap = nullptr;
    HBRUSH stockBrushes[5] = {};
};

GdiState& State();

inline BitmapObject* FindBitmap(const void* handle) {
    return State().bitmaps.Find(handle);
}
inline ContextObject* FindContext(const void* handle) {
    return State().contexts.Find(handle);
}

// Bitmaps may hold at most this many bytes of pixels, and a device row at 32
// bits may not exceed it either (so that widths of empty bitmaps stay sane).
constexpr std::uint64_t kMaxPixelBytes = kMaxDeviceBitmapBytes;

// A new bitmap of the given depth and size, its pixels zeroed when asked (0 is
// black in every device format while the system palette is the stock one).
// Null when the size is refused or its pixels cannot be allocated.
HBITMAP NewBitmap(int bits, LONG width, LONG height, bool zero, BitmapObject** made);
// The format of a bitmap's pixel values: the device's for its depth, or for
// sections of 8 bits and fewer, indices into the section's own table.
DeviceFormat FormatOf(const BitmapObject& bitmap);
// Whether pixel values of the two bitmaps mean the same colours.
bool SameFormat(const BitmapObject& a, const BitmapObject& b);

// The 1 x 1 monochrome bitmap (one black pixel) that new memory contexts hold.
HBITMAP StockBitmap();
// A stock brush (WHITE_BRUSH to BLACK_BRUSH); never counted or deleted.
HBRUSH StockBrush(int which);
// The colour of the brush selected into a context.
COLORREF BrushColour(const ContextObject& context);

// The depth of a context's pixels: its bitmap's for a memory context; 0 when
// that bitmap is gone.
int DepthOfContext(const ContextObject& context);
// The depth of a live context (0 for an unknown handle), and whether it is a
// memory context.
int ContextDepth(HDC dc, bool* isMemory);

} // namespace gdi_internal
