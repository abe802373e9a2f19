// The device bitmaps and device contexts behind the handles of Gdi.h, and the
// tables that hold them. Private to gfx/.
#pragma once

#include "gfx/Gdi.h"
#include "platform/HandleTable.h"

#include <cstddef>
#include <memory>

namespace gdi_internal {

struct FreeBlock {
    void operator()(BYTE* block) const;
};

struct BitmapObject {
    int bits = 1;
    LONG width = 0;
    LONG height = 0;
    std::size_t stride = 0;                   // bytes per stored row, top row first, no padding
    std::unique_ptr<BYTE[], FreeBlock> block; // null for the stock bitmap
    BYTE* pixels = nullptr;
    HDC selectedIn = nullptr; // the memory context it is selected into
    bool stock = false;

    BYTE* Row(LONG y) const { return pixels + static_cast<std::size_t>(y) * stride; }
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

// A new bitmap of the given depth and size, its pixels zeroed when asked (0 is
// black in every device format while the system palette is the stock one).
// Null when the size is refused or its pixels cannot be allocated.
HBITMAP NewBitmap(int bits, LONG width, LONG height, bool zero, BitmapObject** made);
// The 1 x 1 monochrome bitmap (one black pixel) that new memory contexts hold.
HBITMAP StockBitmap();
// A stock brush (WHITE_BRUSH to BLACK_BRUSH); never counted or deleted.
HBRUSH StockBrush(int which);
// The colour of the brush selected into a context.
COLORREF BrushColour(const ContextObject& context);

// The depth of a context's pixels: its bitmap's for a memory context; 0 when
// that bitmap is gone.
int DepthOfContext(const ContextObject& context);

} // namespace gdi_internal
