#include "gfx/GdiObjects.h"

#include "gfx/PixelFormats.h"
#include "platform/Memory.h"

#include <algorithm>
#include <cstring>

namespace gdi_internal {

void FreeBlock::operator()(BYTE* block) const {
    AfxFreeMemory(block);
}

GdiState& State() {
    static GdiState state;
    return state;
}

std::mutex& LayerMutex() {
    static std::mutex mutex;
    return mutex;
}

HBITMAP NewBitmap(int bits, LONG width, LONG height, bool zero, BitmapObject** made) {
    if (width < 0 || height < 0) return nullptr;
    const std::uint64_t stride = std::uint64_t(width) * StoredPixelBytes(bits);
    if (std::uint64_t(width) * 4 > kMaxPixelBytes) return nullptr;
    if (height != 0 && stride > kMaxPixelBytes / std::uint64_t(height)) return nullptr;
    std::unique_ptr<BYTE[], FreeBlock> pixels(
        static_cast<BYTE*>(AfxAllocMemory(stride * std::uint64_t(height), zero)));
    if (!pixels) return nullptr;

    auto [handle, bitmap] = State().bitmaps.Add();
    bitmap.bits = bits;
    bitmap.width = width;
    bitmap.height = height;
    bitmap.stride = static_cast<std::size_t>(stride);
    bitmap.block = std::move(pixels);
    bitmap.pixels = bitmap.block.get();
    if (made) *made = &bitmap;
    return handle;
}

DeviceFormat FormatOf(const BitmapObject& bitmap) {
    if (bitmap.section && bitmap.bits <= 8)
        return {bitmap.bits, bitmap.section->table, bitmap.section->colours};
    return FormatOf(bitmap.bits);
}

bool SameFormat(const BitmapObject& a, const BitmapObject& b) {
    if (a.bits != b.bits) return false;
    if (a.bits > 8) return true;
    // Every value a pixel can hold must show the same colour (a section's
    // values past its table show black, as its zeroed slots say).
    const Rgb* ta = FormatOf(a).palette;
    const Rgb* tb = FormatOf(b).palette;
    return ta == tb || std::equal(ta, ta + (1 << a.bits), tb);
}

// The stock bitmap is shared by all memory contexts and never counted or
// deleted; its pixel is static so that no allocation (nor an injected
// allocation failure) is spent on it.
HBITMAP StockBitmap() {
    GdiState& state = State();
    if (!state.stockBitmap) {
        static BYTE pixel = 0;
        auto [handle, bitmap] = state.bitmaps.Add();
        bitmap.width = bitmap.height = 1;
        bitmap.stride = 1;
        bitmap.pixels = &pixel;
        bitmap.stock = true;
        state.stockBitmap = handle;
    }
    return state.stockBitmap;
}

HBRUSH StockBrush(int which) {
    GdiState& state = State();
    HBRUSH& brush = state.stockBrushes[which];
    if (!brush) {
        static const COLORREF kColours[5] = {RGB(255, 255, 255), RGB(192, 192, 192),
                                             RGB(128, 128, 128), RGB(64, 64, 64), RGB(0, 0, 0)};
        auto [handle, object] = state.brushes.Add();
        object.colour = kColours[which];
        object.stock = true;
        brush = handle;
    }
    return brush;
}

COLORREF BrushColour(const ContextObject& context) {
    const BrushObject* brush = State().brushes.Find(context.brush);
    return brush ? brush->colour : RGB(255, 255, 255);
}

int DepthOfContext(const ContextObject& context) {
    if (!context.memory) return context.bits;
    const BitmapObject* bitmap = FindBitmap(context.bitmap);
    return bitmap ? bitmap->bits : 0;
}

int ContextDepth(HDC dc, bool* isMemory) {
    const ContextObject* context = FindContext(dc);
    if (!context) return 0;
    if (isMemory) *isMemory = context->memory;
    return DepthOfContext(*context);
}

} // namespace gdi_internal
