// DIB sections: their making, and their packed 1- and 4-bit rows brought
// into the bitmap and back around drawing calls.
#include "gfx/GdiSections.h"

#include "gfx/PixelFormats.h"
#include "platform/Memory.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

namespace gdi_internal {

namespace {

// A new DIB section of the layout and colour table given, its rows zeroed;
// null when it may not or cannot be allocated.
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

} // namespace gdi_internal

using namespace gdi_internal;

HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                         DWORD offset) {
    if (bits) *bits = nullptr;
    DibLayout layout{};
    const LayerGuard guard(LayerMutex());
    if ((dc && !FindContext(dc)) || usage != DIB_RGB_COLORS || !info || section || offset != 0 ||
        !ReadLayout(info->bmiHeader, &layout))
        return nullptr;
    Rgb table[256];
    const int colours = DibColours(*info, table);
    try {
        BitmapObject* bitmap = nullptr;
        const HBITMAP handle = NewSection(layout, table, colours, &bitmap);
        if (handle && bits) *bits = bitmap->section->bits.get();
        return handle;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
