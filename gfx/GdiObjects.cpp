#include "gfx/GdiObjects.h"

#include "gfx/PixelFormats.h"
#include "platform/Memory.h"

#include <algorithm>
#include <cstring>

namespace gdi_internal {

// Bitmaps may hold at most this many bytes of pixels, and a device row at 32
// bits may not exceed it either (so that widths of empty bitmaps stay sane).
constexpr std::uint64_t kMaxPixelBytes = kMaxDeviceBitmapBytes;

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

HBITMAP NewSection(const DibLayout& layout, const Rgb* table, int colours, BitmapObject** made) {
    // The section's rows may not outgrow what a bitmap may hold.
    if (std::uint64_t(layout.width) * 4 > kMaxPixelBytes ||
        (layout.height != 0 && layout.stride > kMaxPixelBytes / std::uint64_t(layout.height)))
        return nullptr;
    const std::uint64_t size = layout.stride * std::uint64_t(layout.height);
    std::unique_ptr<BYTE[], FreeBlock> bits(static_cast<BYTE*>(AfxAllocMemory(size, true)));
    if (!bits) return nullptr;
    auto section = std::make_unique<SectionObject>();
    section->layout = layout;
    section->bits = std::move(bits);
    section->colours = colours;
    std::copy_n(table, colours, section->table);

    if (layout.bits < 8) {
        BitmapObject* bitmap = nullptr;
        const HBITMAP handle = NewBitmap(layout.bits, layout.width, layout.height, true, &bitmap);
        if (!handle) return nullptr;
        bitmap->section = std::move(section);
        if (made) *made = bitmap;
        return handle;
    }
    // 8 bits and more: the DIB's pixels are device pixels already.
    auto [handle, bitmap] = State().bitmaps.Add();
    bitmap.bits = layout.bits;
    bitmap.width = layout.width;
    bitmap.height = layout.height;
    bitmap.stride = static_cast<std::size_t>(layout.stride);
    bitmap.bottomUp = !layout.topDown;
    bitmap.pixels = section->bits.get();
    bitmap.section = std::move(section);
    if (made) *made = &bitmap;
    return handle;
}

namespace {

// Row y of the picture (from the top) in a section's packed rows.
BYTE* SectionRow(const SectionObject& section, LONG y) {
    const DibLayout& dib = section.layout;
    const LONG row = dib.topDown ? y : dib.height - 1 - y;
    return section.bits.get() + std::uint64_t(row) * dib.stride;
}

} // namespace

void LoadSection(BitmapObject& bitmap) {
    if (!bitmap.section || bitmap.bits >= 8) return;
    for (LONG y = 0; y < bitmap.height; ++y)
        DibIndices(bitmap.bits, SectionRow(*bitmap.section, y), 0, bitmap.width, bitmap.Row(y));
}

void StoreSection(BitmapObject& bitmap) {
    if (!bitmap.section || bitmap.bits >= 8) return;
    for (LONG y = 0; y < bitmap.height; ++y)
        PackIndices(bitmap.bits, bitmap.Row(y), bitmap.width, SectionRow(*bitmap.section, y));
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
