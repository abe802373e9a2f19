#include "gfx/Palette.h"

#include "gfx/GdiObjects.h"
#include "gfx/PaletteInternal.h"
#include "gfx/PaletteSearch.h"
#include "gfx/PixelFormats.h"
#include "gfx/StockColors.h"
#include "platform/HandleTable.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

using Rgb = std::uint32_t; // 0x00RRGGBB

constexpr Rgb EntryToRgb(const PALETTEENTRY& e) {
    return (Rgb{e.peRed} << 16) | (Rgb{e.peGreen} << 8) | e.peBlue;
}

struct PaletteObject {
    std::vector<PALETTEENTRY> entries;
    bool stock = false;
    // The entries as colours, and the answers of GetNearestPaletteIndex so
    // far: remapping a picture asks once per pixel, for few distinct colours.
    std::vector<Rgb> colours;
    std::unique_ptr<gdi_internal::PaletteSearch> nearest;
    int queries = 0;
};

constexpr int kQueriesBeforeSearch = 64;

// What a context holds. Contexts missing from the table hold the default
// palette, unrealised.
struct Selection {
    HPALETTE palette = nullptr;
    bool background = false;
    bool realised = false;
};

struct PaletteState {
    // Palette handles carry tag 3; bitmaps and contexts carry 1 and 2.
    HandleTable<HPALETTE, PaletteObject, 3> palettes;
    const void* lastHandle = nullptr;
    PaletteObject* lastObject = nullptr;
    std::unordered_map<std::uintptr_t, Selection> selections;
    HPALETTE stock = nullptr;
    // The palette last realised in the foreground on a screen or window
    // context: it serves every context that has none realised of its own.
    HPALETTE screen = nullptr;
};

PaletteState& Palettes() {
    static PaletteState state;
    return state;
}

std::uintptr_t KeyOf(const void* handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

// Remaps ask for the same palette once per pixel: the last one found is kept.
PaletteObject* FindPalette(const void* handle) {
    PaletteState& state = Palettes();
    if (handle && handle == state.lastHandle) return state.lastObject;
    PaletteObject* object = state.palettes.Find(handle);
    if (object) {
        state.lastHandle = handle;
        state.lastObject = object;
    }
    return object;
}

HPALETTE AddPalette(std::vector<PALETTEENTRY> entries, bool stock) {
    auto [handle, palette] = Palettes().palettes.Add();
    palette.entries = std::move(entries);
    palette.stock = stock;
    palette.colours.resize(palette.entries.size());
    std::transform(palette.entries.begin(), palette.entries.end(), palette.colours.begin(),
                   EntryToRgb);
    return handle;
}

Selection SelectionOf(HDC dc) {
    const auto& selections = Palettes().selections;
    auto it = selections.find(KeyOf(dc));
    if (it != selections.end()) return it->second;
    Selection selection;
    selection.palette = gdi_internal::StockPalette();
    return selection;
}

} // namespace

HPALETTE gdi_internal::StockPalette() {
    PaletteState& state = Palettes();
    if (!state.stock) {
        // The 20 static colours: the first and last ten of the 256-entry table.
        std::vector<PALETTEENTRY> entries;
        for (int i = 0; i < 256; ++i) {
            if (i >= 10 && i < 246) continue;
            const RGBQUAD& q = kStockColors256[i];
            entries.push_back({q.rgbRed, q.rgbGreen, q.rgbBlue, 0});
        }
        state.stock = AddPalette(std::move(entries), true);
    }
    return state.stock;
}

BOOL gdi_internal::DeletePalette(HGDIOBJ object) {
    const PaletteObject* palette = FindPalette(object);
    if (!palette) return FALSE;
    if (palette->stock) return TRUE;
    for (const auto& [dc, selection] : Palettes().selections) {
        if (selection.palette == object) return FALSE;
    }
    Palettes().palettes.Remove(object);
    Palettes().lastHandle = nullptr;
    if (Palettes().screen == object) Palettes().screen = nullptr;
    return TRUE;
}

int gdi_internal::GetPaletteObject(HGDIOBJ object, int bufferSize, LPVOID buffer) {
    const PaletteObject* palette = FindPalette(object);
    if (!palette) return 0;
    if (!buffer) return sizeof(WORD);
    if (bufferSize < static_cast<int>(sizeof(WORD))) return 0;
    const WORD count = static_cast<WORD>(palette->entries.size());
    std::memcpy(buffer, &count, sizeof count);
    return sizeof count;
}

long gdi_internal::LivePaletteCount() {
    const PaletteState& state = Palettes();
    return static_cast<long>(state.palettes.Size()) - (state.stock ? 1 : 0);
}

void gdi_internal::ForgetContext(HDC dc) {
    Palettes().selections.erase(KeyOf(dc));
}

int gdi_internal::RealisedColours(HDC dc, std::uint32_t* colours, int maxColours) {
    const Selection selection = SelectionOf(dc);
    HPALETTE chosen = selection.palette;
    if (!selection.realised || chosen == Palettes().stock) chosen = Palettes().screen;
    const PaletteObject* palette = FindPalette(chosen);
    if (!palette) return 0;
    const int count = std::min(maxColours, static_cast<int>(palette->entries.size()));
    for (int i = 0; i < count; ++i) colours[i] = EntryToRgb(palette->entries[i]);
    return count;
}

// The public calls below take the layer's lock (GdiObjects.h) for their
// whole length: they are short, and GetNearestPaletteIndex builds a
// palette's search structure on first need.

HPALETTE CreatePalette(const LOGPALETTE* palette) {
    if (!palette || palette->palVersion != 0x300 || palette->palNumEntries == 0) return nullptr;
    // The entries run on past the one the record declares; they are read by
    // address rather than by indexing palPalEntry.
    std::vector<PALETTEENTRY> entries(palette->palNumEntries);
    std::memcpy(entries.data(),
                reinterpret_cast<const BYTE*>(palette) + offsetof(LOGPALETTE, palPalEntry),
                entries.size() * sizeof(PALETTEENTRY));
    const gdi_internal::LayerGuard guard(gdi_internal::LayerMutex());
    return AddPalette(std::move(entries), false);
}

UINT GetNearestPaletteIndex(HPALETTE palette, COLORREF colour) {
    const gdi_internal::LayerGuard guard(gdi_internal::LayerMutex());
    PaletteObject* object = FindPalette(palette);
    if (!object) return CLR_INVALID;
    const Rgb wanted =
        (Rgb{GetRValue(colour)} << 16) | (Rgb{GetGValue(colour)} << 8) | GetBValue(colour);
    // A palette asked often gets a search structure of its own (256 KiB and
    // more: not for the one question of a blank image's fill). Palettes of
    // more than 256 entries are searched in full each time.
    const int count = static_cast<int>(object->colours.size());
    if (count > 256 || (!object->nearest && ++object->queries < kQueriesBeforeSearch))
        return static_cast<UINT>(
            gdi_internal::NearestColour(object->colours.data(), count, wanted));
    if (!object->nearest)
        object->nearest =
            std::make_unique<gdi_internal::PaletteSearch>(object->colours.data(), count);
    return static_cast<UINT>(object->nearest->Find(wanted));
}

BOOL GetNearestPaletteIndices(HPALETTE palette, const COLORREF* colours, std::size_t count,
                              BYTE* indices) {
    // A copy of the entries, taken under the lock, serves the search of this
    // call alone.
    Rgb table[256];
    int entries = 0;
    {
        const gdi_internal::LayerGuard guard(gdi_internal::LayerMutex());
        const PaletteObject* object = FindPalette(palette);
        if (!object || object->colours.size() > 256) return FALSE;
        entries = static_cast<int>(object->colours.size());
        std::copy_n(object->colours.begin(), entries, table);
    }
    try {
        gdi_internal::PaletteSearch search(table, entries);
        for (std::size_t i = 0; i < count; ++i) {
            const COLORREF c = colours[i];
            indices[i] = static_cast<BYTE>(
                search.Find((Rgb{GetRValue(c)} << 16) | (Rgb{GetGValue(c)} << 8) | GetBValue(c)));
        }
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    return TRUE;
}

UINT GetPaletteEntries(HPALETTE palette, UINT start, UINT count, PALETTEENTRY* entries) {
    const gdi_internal::LayerGuard guard(gdi_internal::LayerMutex());
    const PaletteObject* object = FindPalette(palette);
    if (!object) return 0;
    const UINT size = static_cast<UINT>(object->entries.size());
    if (!entries) return size;
    if (start >= size) return 0;
    const UINT copied = std::min(count, size - start);
    std::copy_n(object->entries.begin() + start, copied, entries);
    return copied;
}

HPALETTE SelectPalette(HDC dc, HPALETTE palette, BOOL forceBackground) {
    const gdi_internal::LayerGuard guard(gdi_internal::LayerMutex());
    if (gdi_internal::ContextDepth(dc, nullptr) == 0 || !FindPalette(palette)) return nullptr;
    const Selection previous = SelectionOf(dc);
    Selection& selection = Palettes().selections[KeyOf(dc)];
    selection.palette = palette;
    selection.background = forceBackground != FALSE;
    selection.realised = false;
    return previous.palette;
}

UINT RealizePalette(HDC dc) {
    const gdi_internal::LayerGuard guard(gdi_internal::LayerMutex());
    bool memory = false;
    const int depth = gdi_internal::ContextDepth(dc, &memory);
    if (depth == 0) return GDI_ERROR;
    PaletteState& state = Palettes();
    Selection& selection = state.selections.try_emplace(KeyOf(dc), SelectionOf(dc)).first->second;
    selection.realised = true;
    const PaletteObject* palette = FindPalette(selection.palette);
    if (!palette) return GDI_ERROR;
    const UINT mapped = static_cast<UINT>(std::min<std::size_t>(palette->entries.size(), 256));
    // A foreground realisation on the screen becomes the screen's palette;
    // the default palette gives the screen back its stock colours.
    if (!memory && !selection.background)
        state.screen = palette->stock ? nullptr : selection.palette;
    // Only a foreground realisation on the 8-bit screen itself reaches the
    // hardware palette that 8-bit bitmaps index.
    if (!memory && depth == 8 && !selection.background && !palette->stock) {
        Rgb colours[256];
        for (UINT i = 0; i < mapped; ++i) colours[i] = EntryToRgb(palette->entries[i]);
        gdi_internal::SetSystemPalette(colours, static_cast<int>(mapped));
    }
    return mapped;
}
