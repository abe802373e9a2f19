// Device contexts, the objects selected into them (bitmaps, brushes), the
// deletion and records of objects, stock objects, and the screen's depth.
#include "gfx/Gdi.h"

#include "gfx/GdiObjects.h"
#include "gfx/PaletteInternal.h"
#include "gfx/PixelFormats.h"

#include <cstdint>
#include <cstring>
#include <new>

using namespace gdi_internal;

HDC GetDC(HWND window) {
    const LayerGuard guard(LayerMutex());
    auto [dc, context] = State().contexts.Add();
    context.window = window;
    context.bits = State().screenBits;
    return dc;
}

int ReleaseDC(HWND window, HDC dc) {
    const LayerGuard guard(LayerMutex());
    const ContextObject* context = FindContext(dc);
    if (!context || context->memory || context->window != window) return 0;
    ForgetContext(dc);
    State().contexts.Remove(dc);
    return 1;
}

HDC CreateCompatibleDC(HDC dc) {
    const LayerGuard guard(LayerMutex());
    if (dc && !FindContext(dc)) return nullptr;
    const HBITMAP stock = StockBitmap();
    auto [memoryDC, context] = State().contexts.Add();
    context.memory = true;
    context.bitmap = stock;
    return memoryDC;
}

BOOL DeleteDC(HDC dc) {
    const LayerGuard guard(LayerMutex());
    const ContextObject* context = FindContext(dc);
    if (!context || !context->memory) return FALSE;
    BitmapObject* bitmap = FindBitmap(context->bitmap);
    if (bitmap && !bitmap->stock) bitmap->selectedIn = nullptr;
    ForgetContext(dc);
    State().contexts.Remove(dc);
    return TRUE;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    const LayerGuard guard(LayerMutex());
    ContextObject* context = FindContext(dc);
    if (context && State().brushes.Find(object)) {
        const HBRUSH previous = context->brush ? context->brush : StockBrush(WHITE_BRUSH);
        context->brush = static_cast<HBRUSH>(object);
        return previous;
    }
    BitmapObject* bitmap = FindBitmap(object);
    // Palettes are selected with SelectPalette, as on the platform.
    if (!context || !bitmap || !context->memory) return nullptr;
    const HBITMAP handle = static_cast<HBITMAP>(object);
    if (context->bitmap == handle) return handle;
    if (!bitmap->stock && bitmap->selectedIn) return nullptr;

    const HBITMAP previous = context->bitmap;
    BitmapObject* old = FindBitmap(previous);
    if (old && !old->stock) old->selectedIn = nullptr;
    if (!bitmap->stock) bitmap->selectedIn = dc;
    context->bitmap = handle;
    return previous;
}

BOOL DeleteObject(HGDIOBJ object) {
    if (!object) return FALSE;
    const LayerGuard guard(LayerMutex());
    if (const BitmapObject* bitmap = FindBitmap(object)) {
        if (bitmap->stock) return TRUE;
        if (bitmap->selectedIn) return FALSE;
        State().bitmaps.Remove(object);
        return TRUE;
    }
    if (const BrushObject* brush = State().brushes.Find(object)) {
        if (brush->stock) return TRUE;
        bool selected = false;
        // (Contexts are few: a search beats bookkeeping.)
        State().contexts.ForEach(
            [&](HDC, const ContextObject& c) { selected |= c.brush == object; });
        if (selected) return FALSE;
        State().brushes.Remove(object);
        return TRUE;
    }
    return DeletePalette(object);
}

HBRUSH CreateSolidBrush(COLORREF colour) {
    try {
        const LayerGuard guard(LayerMutex());
        auto [handle, brush] = State().brushes.Add();
        brush.colour = colour & 0xFFFFFF;
        return handle;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int GetObject(HGDIOBJ object, int bufferSize, LPVOID buffer) {
    const LayerGuard guard(LayerMutex());
    const BitmapObject* bitmap = FindBitmap(object);
    if (!bitmap) return GetPaletteObject(object, bufferSize, buffer);
    if (!buffer) return sizeof(BITMAP);
    if (bufferSize < static_cast<int>(sizeof(BITMAP))) return 0;
    BITMAP record{};
    record.bmType = 0;
    record.bmWidth = bitmap->width;
    record.bmHeight = bitmap->height;
    record.bmWidthBytes =
        static_cast<LONG>((std::int64_t(bitmap->width) * bitmap->bits + 15) / 16 * 2);
    record.bmPlanes = 1;
    record.bmBitsPixel = static_cast<WORD>(bitmap->bits);
    if (const SectionObject* section = bitmap->section.get()) {
        record.bmWidthBytes = static_cast<LONG>(section->layout.stride);
        record.bmBits = section->bits.get();
    }
    std::memcpy(buffer, &record, sizeof record);
    return sizeof record;
}

HGDIOBJ GetStockObject(int object) {
    const LayerGuard guard(LayerMutex());
    if (object >= WHITE_BRUSH && object <= BLACK_BRUSH) return StockBrush(object);
    return object == DEFAULT_PALETTE ? StockPalette() : nullptr;
}

BOOL GdiSetScreenBitsPerPixel(int bitsPerPixel) {
    if (!IsDeviceDepth(bitsPerPixel)) return FALSE;
    const LayerGuard guard(LayerMutex());
    State().screenBits = bitsPerPixel;
    ResetSystemPalette();
    return TRUE;
}

int GdiGetScreenBitsPerPixel() {
    const LayerGuard guard(LayerMutex());
    return State().screenBits;
}

GdiObjectCounts GdiGetObjectCounts() {
    const LayerGuard guard(LayerMutex());
    const GdiState& state = State();
    GdiObjectCounts counts;
    counts.bitmaps = static_cast<long>(state.bitmaps.Size()) - (state.stockBitmap ? 1 : 0);
    counts.contexts = static_cast<long>(state.contexts.Size());
    counts.palettes = LivePaletteCount();
    std::size_t stockBrushes = 0;
    for (HBRUSH brush : state.stockBrushes) stockBrushes += brush != nullptr;
    counts.brushes = static_cast<long>(state.brushes.Size() - stockBrushes);
    return counts;
}
