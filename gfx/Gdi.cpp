#include "gfx/Gdi.h"

#include "gfx/GdiObjects.h"
#include "gfx/PaletteInternal.h"
#include "gfx/PixelFormats.h"
#include "gfx/RasterOps.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

using namespace gdi_internal;

namespace {

// The packed rows of a 1- or 4-bit DIB section, brought into its bitmap for
// the length of one call and, when the call draws into it, written back at
// the end. Does nothing for other bitmaps (deeper sections draw in their own
// rows).
class SectionScope {
public:
    SectionScope(BitmapObject* bitmap, bool drawsInto)
        : m_pBitmap(bitmap && bitmap->section ? bitmap : nullptr), m_bDrawsInto(drawsInto) {
        if (m_pBitmap) LoadSection(*m_pBitmap);
    }
    ~SectionScope() {
        if (m_pBitmap && m_bDrawsInto) StoreSection(*m_pBitmap);
    }
    SectionScope(const SectionScope&) = delete;
    SectionScope& operator=(const SectionScope&) = delete;

private:
    BitmapObject* m_pBitmap;
    bool m_bDrawsInto;
};

// Fills the top-left overlap of a new bitmap and a packed DIB.
void FillFromDib(BitmapObject& bitmap, const DibLayout& dib, const BYTE* bits,
                 const BITMAPINFO& info) {
    const int width = std::min(bitmap.width, dib.width);
    const LONG height = std::min(bitmap.height, dib.height);
    const DeviceFormat format = FormatOf(bitmap.bits);
    NearestCache cache(format.palette, format.colours);
    const int pixelBytes = StoredPixelBytes(bitmap.bits);

    // Indexed DIBs go through one table from DIB index to device pixel, made
    // once per call.
    std::uint32_t devicePixels[256];
    if (dib.bits <= 8) DeviceTableOf(info, format, cache, devicePixels);

    // 8-bit rows (GIF frames among them) need no unpacking: each goes through
    // the table in one pass, straight into the bitmap's row.
    if (dib.bits == 8) {
        for (LONG y = 0; y < height; ++y) {
            const LONG dibRow = dib.topDown ? y : dib.height - 1 - y;
            StoreThroughTable(pixelBytes, bits + std::uint64_t(dibRow) * dib.stride, width,
                              devicePixels, bitmap.Row(y));
        }
        return;
    }

    BYTE indices[kRun];
    Rgb colours[kRun];
    for (LONG y = 0; y < height; ++y) {
        const LONG dibRow = dib.topDown ? y : dib.height - 1 - y;
        const BYTE* source = bits + std::uint64_t(dibRow) * dib.stride;
        BYTE* dest = bitmap.Row(y);
        for (int x0 = 0; x0 < width; x0 += kRun) {
            const int n = std::min(kRun, width - x0);
            BYTE* out = dest + static_cast<std::size_t>(x0) * pixelBytes;
            if (dib.bits <= 8) {
                const BYTE* run = source + x0;
                if (dib.bits < 8) {
                    DibIndices(dib.bits, source, x0, n, indices);
                    run = indices;
                }
                StoreThroughTable(pixelBytes, run, n, devicePixels, out);
            } else {
                DibDirectToRgb(dib.bits, source, x0, n, colours);
                RgbToDevice(format, cache, colours, n, out);
            }
        }
    }
}

// The bits of a device pixel value: indices of palette formats, 5-5-5
// colours, or blue, green and red (the fourth byte of 32-bit pixels stays 0).
std::uint32_t PixelMask(int bits) {
    return bits <= 8 ? (1u << bits) - 1 : bits == 16 ? 0x7FFF : 0xFFFFFF;
}
std::uint32_t LoadPixel(const BYTE* p, int bytes) {
    std::uint32_t value = 0;
    std::memcpy(&value, p, static_cast<std::size_t>(bytes));
    return value;
}
void StorePixel(BYTE* p, int bytes, std::uint32_t value) {
    std::memcpy(p, &value, static_cast<std::size_t>(bytes));
}

// Calls f with the pixel size as a compile-time constant, so that pixels in
// the loops it runs move as single loads and stores.
template <class F>
void WithPixelBytes(int bytes, F&& f) {
    switch (bytes) {
    case 1:
        return f(std::integral_constant<int, 1>{});
    case 2:
        return f(std::integral_constant<int, 2>{});
    case 3:
        return f(std::integral_constant<int, 3>{});
    default:
        return f(std::integral_constant<int, 4>{});
    }
}

// A brush colour (BrushColour, found under the lock) as a pixel of `format`.
std::uint32_t PatternPixel(COLORREF c, const DeviceFormat& format, NearestCache& cache) {
    return DevicePixel(format, cache, PackRgb(GetRValue(c), GetGValue(c), GetBValue(c)));
}

// Combines n pixels at `out` with source values (device values of the
// destination's format; none for operations without a source) and the
// pattern.
void CombineRun(unsigned table, int bits, std::uint32_t pattern, const std::uint32_t* source,
                BYTE* out, std::int64_t n) {
    const int bytes = StoredPixelBytes(bits);
    if (source && table == RopTable(SRCCOPY)) {
        WithPixelBytes(bytes, [&](auto size) {
            for (std::int64_t i = 0; i < n; ++i) std::memcpy(out + i * size, &source[i], size);
        });
        return;
    }
    const std::uint32_t mask = PixelMask(bits);
    for (std::int64_t i = 0; i < n; ++i) {
        BYTE* p = out + i * bytes;
        const std::uint32_t s = source ? source[i] : 0;
        StorePixel(p, bytes, ApplyRop(table, pattern, s, LoadPixel(p, bytes)) & mask);
    }
}

// How a call's source pixels become device values of its destination's
// format: as they are when both formats mean the same colours, else through
// their colours to the destination's nearest.
struct SourceValues {
    bool sameFormat;
    int sourceBytes;
    DeviceFormat from, to;
    NearestCache* cache;

    // The n source pixels at `in` into values[0, n), n <= kRun.
    void Convert(const BYTE* in, int n, std::uint32_t* values) const {
        if (sameFormat) {
            WithPixelBytes(sourceBytes, [&](auto size) {
                for (int k = 0; k < n; ++k) {
                    values[k] = 0;
                    std::memcpy(&values[k], in + k * size, size);
                }
            });
            return;
        }
        Rgb colours[kRun];
        DeviceToRgb(from, in, n, colours);
        for (int k = 0; k < n; ++k) values[k] = DevicePixel(to, *cache, colours[k]);
    }
};

// Blue, green and red of `width` 32-bit device pixels as packed 24-bit DIB
// pixels. Four pixels (16 bytes) become three whole words, rather than four
// three-byte copies. Each word is loaded and stored on its own: one wide copy
// through a scratch array would be read back before its parts were stored.
void Pack32To24(const BYTE* in, LONG width, BYTE* out) {
    static_assert(std::endian::native == std::endian::little, "pixels are read as words");
    const auto load = [](const BYTE* p) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    const auto store = [](BYTE* p, std::uint32_t v) { std::memcpy(p, &v, 4); };
    LONG x = 0;
    for (; x + 4 <= width; x += 4, in += 16, out += 12) {
        const std::uint32_t p0 = load(in), p1 = load(in + 4), p2 = load(in + 8), p3 = load(in + 12);
        store(out, (p0 & 0xFFFFFF) | p1 << 24);
        store(out + 4, (p1 >> 8 & 0xFFFF) | p2 << 16);
        store(out + 8, (p2 >> 16 & 0xFF) | p3 << 8);
    }
    for (; x < width; ++x, in += 4, out += 3) std::memcpy(out, in, 3);
}

// Clipping of one axis of a block copy: both starts are moved inside their
// bitmaps and the length cut to what both can hold.
struct Span {
    std::int64_t dest;
    std::int64_t source;
    std::int64_t length;
};

Span ClipSpan(std::int64_t dest, std::int64_t source, std::int64_t length, std::int64_t destSize,
              std::int64_t sourceSize) {
    if (dest < 0) {
        source -= dest;
        length += dest;
        dest = 0;
    }
    if (source < 0) {
        dest -= source;
        length += source;
        source = 0;
    }
    length = std::min({length, destSize - dest, sourceSize - source});
    return {dest, source, std::max<std::int64_t>(length, 0)};
}

} // namespace

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

HBITMAP CreateDIBitmap(HDC dc, const BITMAPINFOHEADER* header, DWORD init, const void* bits,
                       const BITMAPINFO* info, UINT usage) {
    // Only DIB_RGB_COLORS tables are understood; CBM_INIT is the one flag.
    if (!header || usage != DIB_RGB_COLORS || (init & ~CBM_INIT) != 0) return nullptr;
    std::unique_lock<std::mutex> lock(LayerMutex());
    const int depth = dc ? ContextDepth(dc, nullptr) : State().screenBits;
    if (depth == 0) return nullptr;
    if (header->biWidth < 0 || header->biHeight == LONG{INT32_MIN}) return nullptr;
    const LONG width = header->biWidth;
    const LONG height = header->biHeight < 0 ? -header->biHeight : header->biHeight;

    const bool initialise = (init & CBM_INIT) != 0;
    DibLayout dib{};
    if (initialise && (!info || !ReadLayout(info->bmiHeader, &dib))) return nullptr;
    // Rows are needed only when there is a pixel to take from them.
    const bool readsPixels =
        initialise && std::min(width, dib.width) > 0 && std::min(height, dib.height) > 0;
    if (readsPixels && !bits) return nullptr;

    // The DIB in `info` may describe fewer pixels than the bitmap has; the
    // rest stays black.
    const bool covered = initialise && dib.width >= width && dib.height >= height;
    BitmapObject* bitmap = nullptr;
    const HBITMAP handle = NewBitmap(depth, width, height, !covered, &bitmap);
    // Nobody else knows the new bitmap yet: it is filled without the lock.
    lock.unlock();
    if (!handle) return nullptr;
    if (readsPixels) {
        FillFromDib(*bitmap, dib, static_cast<const BYTE*>(bits), *info);
    }
    return handle;
}

int GetDIBits(HDC dc, HBITMAP bitmapHandle, UINT start, UINT lines, LPVOID bits, BITMAPINFO* info,
              UINT usage) {
    if (usage != DIB_RGB_COLORS || !info) return 0;
    BITMAPINFOHEADER& header = info->bmiHeader;
    if (header.biSize < sizeof(BITMAPINFOHEADER) || header.biSize > kMaxInfoHeaderSize) return 0;
    // The bitmap and the colours of the context's palette are found under
    // the lock; the pixels are read after it.
    BitmapObject* bitmap = nullptr;
    Rgb table[256] = {};
    int tableColours = 0;
    {
        const LayerGuard guard(LayerMutex());
        if (!FindContext(dc)) return 0;
        bitmap = FindBitmap(bitmapHandle);
        if (!bitmap) return 0;
        if (header.biBitCount != 0 && header.biBitCount <= 8)
            tableColours = RealisedColours(dc, table, 1 << header.biBitCount);
    }
    const SectionScope scope(bitmap, false);

    if (header.biBitCount == 0) {
        // A query of the bitmap's own format.
        const std::uint64_t stride =
            DibRowBytes(static_cast<std::uint64_t>(bitmap->width), bitmap->bits);
        const std::uint64_t size = stride * std::uint64_t(bitmap->height);
        if (size > UINT32_MAX) return 0;
        header.biWidth = bitmap->width;
        header.biHeight = bitmap->height;
        header.biPlanes = 1;
        header.biBitCount = static_cast<WORD>(bitmap->bits);
        header.biCompression = BI_RGB;
        header.biSizeImage = static_cast<DWORD>(size);
        return TRUE;
    }

    DibLayout dib{};
    if (!ReadLayout(header, &dib) || dib.width != bitmap->width || dib.height != bitmap->height)
        return 0;
    const std::uint64_t size = dib.stride * std::uint64_t(dib.height);
    if (size > UINT32_MAX) return 0;
    header.biSizeImage = static_cast<DWORD>(size);

    // For 8 bits and fewer the DIB's colour table is the realised palette of
    // the context, else the stock table of that size. Slots a short palette
    // leaves are zero and never chosen.
    if (dib.bits <= 8) {
        const int slots = 1 << dib.bits;
        if (tableColours == 0) {
            std::copy_n(StockRgb(slots), slots, table);
            tableColours = slots;
        }
        BYTE* out = reinterpret_cast<BYTE*>(info) + header.biSize;
        for (int i = 0; i < slots; ++i) {
            const RGBQUAD quad{static_cast<BYTE>(table[i]), static_cast<BYTE>(table[i] >> 8),
                               static_cast<BYTE>(table[i] >> 16), 0};
            std::memcpy(out + 4 * i, &quad, sizeof quad);
        }
        // The header now says how many entries sit before the pixels.
        header.biClrUsed = static_cast<DWORD>(slots);
    }
    if (!bits) return TRUE;
    if (start >= static_cast<UINT>(dib.height)) return 0;

    // Scan line numbers count in the DIB's own row order.
    const UINT count = std::min(lines, static_cast<UINT>(dib.height) - start);
    const DeviceFormat format = FormatOf(*bitmap);
    const int pixelBytes = StoredPixelBytes(bitmap->bits);
    // Captures of one video map to one palette, frame after frame.
    thread_local TableCache tables;
    NearestCache& cache = tables.For(table, dib.bits <= 8 ? tableColours : 0);
    Rgb colours[kRun];
    for (UINT i = 0; i < count; ++i) {
        const LONG line = static_cast<LONG>(start + i);
        const LONG y = dib.topDown ? line : dib.height - 1 - line;
        BYTE* out = static_cast<BYTE*>(bits) + std::uint64_t(i) * dib.stride;
        const BYTE* in = bitmap->Row(y);
        // Each row is written once: its pixels, then the padding up to the
        // next 32-bit boundary zeroed.
        std::size_t written = 0;
        if (bitmap->bits == dib.bits && dib.bits >= 16) {
            // The DIB's own layout: 16-, 24- and 32-bit device pixels are
            // stored as the DIB stores them (32 bits with the fourth byte 0).
            written = static_cast<std::size_t>(dib.width) * pixelBytes;
            std::memcpy(out, in, written);
        } else if (bitmap->bits == 32 && dib.bits == 24) {
            // The common capture of a 32-bit screen: drop the fourth byte.
            Pack32To24(in, dib.width, out);
            written = static_cast<std::size_t>(dib.width) * 3;
        } else if (bitmap->bits == 32 && dib.bits == 8 &&
                   std::endian::native == std::endian::little) {
            // The 8-bit capture of a 32-bit screen: a device pixel (blue,
            // green, red, 0) read as a little-endian word is the colour
            // (0x00RRGGBB); runs of one colour ask the cache once.
            std::uint32_t last = 0xFFFFFFFF;
            BYTE index = 0;
            for (int x = 0; x < dib.width; ++x) {
                std::uint32_t pixel;
                std::memcpy(&pixel, in + 4 * static_cast<std::size_t>(x), 4);
                pixel &= 0xFFFFFF;
                if (pixel != last) {
                    last = pixel;
                    index = cache.Find(pixel);
                }
                out[x] = index;
            }
            written = static_cast<std::size_t>(dib.width);
        } else {
            // Packed indices are ORed into the row.
            std::memset(out, 0, static_cast<std::size_t>(dib.stride));
            for (int x0 = 0; x0 < dib.width; x0 += kRun) {
                const int n = std::min(kRun, dib.width - x0);
                DeviceToRgb(format, in + static_cast<std::size_t>(x0) * pixelBytes, n, colours);
                RgbToDib(dib.bits, cache, colours, x0, n, out);
            }
            continue;
        }
        std::memset(out + written, 0, static_cast<std::size_t>(dib.stride) - written);
    }
    return static_cast<int>(count);
}

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

HANDLE CopyImage(HANDLE image, UINT type, int cx, int cy, UINT flags) {
    // None of the LR_ flags is supported, so a caller asking for one is refused.
    if (type != IMAGE_BITMAP || flags != 0 || cx < 0 || cy < 0) return nullptr;
    std::unique_lock<std::mutex> lock(LayerMutex());
    const BitmapObject* source = FindBitmap(image);
    // DIB sections are not copied here.
    if (!source || source->section) return nullptr;
    const LONG width = cx == 0 ? source->width : cx;
    const LONG height = cy == 0 ? source->height : cy;
    const bool emptySource = source->width == 0 || source->height == 0;

    BitmapObject* copy = nullptr;
    const HBITMAP handle = NewBitmap(source->bits, width, height, emptySource, &copy);
    lock.unlock();
    if (!handle || emptySource) return handle;

    // Nearest neighbour: destination pixel d takes source pixel d * size / newSize.
    const int pixelBytes = StoredPixelBytes(source->bits);
    for (LONG y = 0; y < height; ++y) {
        const LONG sy = static_cast<LONG>(std::int64_t(y) * source->height / height);
        const BYTE* from = source->Row(sy);
        BYTE* to = copy->Row(y);
        if (width == source->width) {
            std::memcpy(to, from, copy->stride);
            continue;
        }
        for (LONG x = 0; x < width; ++x) {
            const std::int64_t sx = std::int64_t(x) * source->width / width;
            std::memcpy(to + std::size_t(x) * pixelBytes, from + sx * pixelBytes, pixelBytes);
        }
    }
    return handle;
}

namespace {

// The bitmap a memory context draws into; null for other contexts and for the
// shared stock bitmap, which writing would change for every new context.
BitmapObject* TargetOf(const ContextObject* context) {
    if (!context || !context->memory) return nullptr;
    BitmapObject* target = FindBitmap(context->bitmap);
    return target && !target->stock ? target : nullptr;
}

} // namespace

namespace {

// The two ends of a transfer between memory contexts: the destination
// context, the bitmap it draws into and the source context's bitmap. Window
// contexts have no surface of their own here, so only memory contexts take
// part. False when either end is missing.
struct Ends {
    COLORREF brush = 0; // the destination context's
    BitmapObject* target = nullptr;
    BitmapObject* source = nullptr;
};
// Takes the lock for the time of the search.
bool FindEnds(HDC dest, HDC src, Ends* ends) {
    const LayerGuard guard(LayerMutex());
    const ContextObject* to = FindContext(dest);
    const ContextObject* from = FindContext(src);
    if (!to || !from || !from->memory) return false;
    ends->brush = BrushColour(*to);
    ends->target = TargetOf(to);
    ends->source = FindBitmap(from->bitmap);
    return ends->target && ends->source;
}

// The bitmap a context draws into and its brush colour, under the lock.
BitmapObject* FindTarget(HDC dc, COLORREF* brush) {
    const LayerGuard guard(LayerMutex());
    const ContextObject* context = FindContext(dc);
    BitmapObject* target = TargetOf(context);
    if (target) *brush = BrushColour(*context);
    return target;
}

} // namespace

BOOL PatBlt(HDC dc, int x, int y, int cx, int cy, DWORD rop) {
    COLORREF brush = 0;
    BitmapObject* target = FindTarget(dc, &brush);
    const unsigned table = RopTable(rop);
    if (!target || RopUsesSource(table)) return FALSE;
    const SectionScope scope(target, true);
    std::int64_t left = x, top = y, width = cx, height = cy;
    if (width < 0) left += width, width = -width;
    if (height < 0) top += height, height = -height;
    const Span h = ClipSpan(left, 0, width, target->width, target->width);
    const Span v = ClipSpan(top, 0, height, target->height, target->height);
    const DeviceFormat format = FormatOf(*target);
    NearestCache cache(format.palette, format.colours);
    const std::uint32_t pattern = PatternPixel(brush, format, cache);
    const int bytes = StoredPixelBytes(target->bits);
    for (std::int64_t row = 0; row < v.length; ++row)
        CombineRun(table, target->bits, pattern, nullptr,
                   target->Row(LONG(v.dest + row)) + h.dest * bytes, h.length);
    return TRUE;
}

BOOL BitBlt(HDC dest, int x, int y, int cx, int cy, HDC src, int xSrc, int ySrc, DWORD rop) {
    const unsigned table = RopTable(rop);
    if (!RopUsesSource(table)) return PatBlt(dest, x, y, cx, cy, rop);
    Ends ends;
    if (!FindEnds(dest, src, &ends)) return FALSE;
    BitmapObject* target = ends.target;
    BitmapObject* source = ends.source;
    if (cx <= 0 || cy <= 0) return TRUE;
    const SectionScope read(source, false);
    const SectionScope drawn(target, true);

    const Span h = ClipSpan(x, xSrc, cx, target->width, source->width);
    const Span v = ClipSpan(y, ySrc, cy, target->height, source->height);
    if (h.length == 0 || v.length == 0) return TRUE;

    const int targetBytes = StoredPixelBytes(target->bits);
    const int sourceBytes = StoredPixelBytes(source->bits);
    // A bitmap copied onto itself may overlap: walk the rows away from the
    // overlap, and take each source row whole before writing.
    const bool upwards = target == source && v.dest > v.source;
    const bool sameFormat = SameFormat(*source, *target);
    if (sameFormat && table == RopTable(SRCCOPY)) {
        const std::size_t rowBytes = std::size_t(h.length) * targetBytes;
        for (std::int64_t i = 0; i < v.length; ++i) {
            const std::int64_t row = upwards ? v.length - 1 - i : i;
            std::memmove(target->Row(LONG(v.dest + row)) + h.dest * targetBytes,
                         source->Row(LONG(v.source + row)) + h.source * sourceBytes, rowBytes);
        }
        return TRUE;
    }

    const DeviceFormat fromFormat = FormatOf(*source);
    const DeviceFormat toFormat = FormatOf(*target);
    NearestCache cache(toFormat.palette, toFormat.colours);
    const std::uint32_t pattern = PatternPixel(ends.brush, toFormat, cache);
    const SourceValues convert{sameFormat, sourceBytes, fromFormat, toFormat, &cache};
    std::vector<BYTE> sourceRow;
    try {
        sourceRow.resize(std::size_t(h.length) * sourceBytes);
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    std::uint32_t values[kRun];
    for (std::int64_t i = 0; i < v.length; ++i) {
        const std::int64_t row = upwards ? v.length - 1 - i : i;
        std::memcpy(sourceRow.data(), source->Row(LONG(v.source + row)) + h.source * sourceBytes,
                    sourceRow.size());
        BYTE* out = target->Row(LONG(v.dest + row)) + h.dest * targetBytes;
        for (std::int64_t x0 = 0; x0 < h.length; x0 += kRun) {
            const int n = static_cast<int>(std::min<std::int64_t>(kRun, h.length - x0));
            const BYTE* in = sourceRow.data() + x0 * sourceBytes;
            convert.Convert(in, n, values);
            CombineRun(table, target->bits, pattern, values, out + x0 * targetBytes, n);
        }
    }
    return TRUE;
}

BOOL MaskBlt(HDC dest, int x, int y, int cx, int cy, HDC src, int xSrc, int ySrc, HBITMAP mask,
             int xMask, int yMask, DWORD rop) {
    const DWORD fore = rop & 0x00FFFFFF;
    if (!mask) return BitBlt(dest, x, y, cx, cy, src, xSrc, ySrc, fore);
    BitmapObject* maskBitmap = nullptr;
    {
        const LayerGuard guard(LayerMutex());
        maskBitmap = FindBitmap(mask);
    }
    if (!maskBitmap || maskBitmap->bits != 1) return FALSE;
    const unsigned tables[2] = {(rop >> 24) & 0xFF, RopTable(fore)};
    Ends ends;
    if (!FindEnds(dest, src, &ends)) return FALSE;
    BitmapObject* target = ends.target;
    BitmapObject* source = ends.source;
    if (cx <= 0 || cy <= 0) return TRUE;

    // Clipped at the destination and the source, then at the mask, whose
    // pixels go with the source's.
    Span h = ClipSpan(x, xSrc, cx, target->width, source->width);
    Span v = ClipSpan(y, ySrc, cy, target->height, source->height);
    const std::int64_t maskX = xMask + (h.source - xSrc), maskY = yMask + (v.source - ySrc);
    const Span hm = ClipSpan(h.dest, maskX, h.length, target->width, maskBitmap->width);
    const Span vm = ClipSpan(v.dest, maskY, v.length, target->height, maskBitmap->height);
    h = {hm.dest, h.source + (hm.dest - h.dest), hm.length};
    v = {vm.dest, v.source + (vm.dest - v.dest), vm.length};
    if (h.length == 0 || v.length == 0) return TRUE;
    const SectionScope read(source, false), masked(maskBitmap, false);
    const SectionScope drawn(target, true);

    const int targetBytes = StoredPixelBytes(target->bits);
    const int sourceBytes = StoredPixelBytes(source->bits);
    const bool sameFormat = SameFormat(*source, *target);
    const DeviceFormat fromFormat = FormatOf(*source);
    const DeviceFormat toFormat = FormatOf(*target);
    NearestCache cache(toFormat.palette, toFormat.colours);
    const std::uint32_t pattern = PatternPixel(ends.brush, toFormat, cache);
    const SourceValues convert{sameFormat, sourceBytes, fromFormat, toFormat, &cache};
    const std::uint32_t pixelMask = PixelMask(target->bits);
    // A stretch within one bitmap reads rows taken whole before writing.
    std::vector<BYTE> sourceRow;
    try {
        sourceRow.resize(std::size_t(h.length) * sourceBytes);
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    const bool upwards = target == source && v.dest > v.source;
    std::uint32_t values[kRun];
    // The common case, a transparent copy: pixels copied as they are where
    // the mask picks SRCCOPY, left where it picks the destination.
    const bool copyOrKeep =
        sameFormat && ((tables[0] == RopTable(SRCCOPY) && tables[1] == RopTable(DSTCOPY)) ||
                       (tables[1] == RopTable(SRCCOPY) && tables[0] == RopTable(DSTCOPY)));
    const BYTE copyWhere = tables[1] == RopTable(SRCCOPY) ? 1 : 0;
    for (std::int64_t i = 0; i < v.length; ++i) {
        const std::int64_t row = upwards ? v.length - 1 - i : i;
        std::memcpy(sourceRow.data(), source->Row(LONG(v.source + row)) + h.source * sourceBytes,
                    sourceRow.size());
        const BYTE* maskRow = maskBitmap->Row(LONG(vm.source + row)) + std::size_t(hm.source);
        BYTE* out = target->Row(LONG(v.dest + row)) + h.dest * targetBytes;
        if (copyOrKeep) {
            WithPixelBytes(targetBytes, [&](auto size) {
                for (std::int64_t k = 0; k < h.length; ++k)
                    if ((maskRow[k] & 1) == copyWhere)
                        std::memcpy(out + k * size, sourceRow.data() + k * size, size);
            });
            continue;
        }
        for (std::int64_t x0 = 0; x0 < h.length; x0 += kRun) {
            const int n = static_cast<int>(std::min<std::int64_t>(kRun, h.length - x0));
            const BYTE* in = sourceRow.data() + x0 * sourceBytes;
            convert.Convert(in, n, values);
            WithPixelBytes(targetBytes, [&](auto size) {
                for (int k = 0; k < n; ++k) {
                    const unsigned table = tables[maskRow[x0 + k] & 1];
                    BYTE* p = out + (x0 + k) * size;
                    if (table == RopTable(DSTCOPY)) continue;
                    std::uint32_t value = values[k];
                    if (table != RopTable(SRCCOPY)) {
                        std::uint32_t d = 0;
                        std::memcpy(&d, p, size);
                        value = ApplyRop(table, pattern, value, d) & pixelMask;
                    }
                    std::memcpy(p, &value, size);
                }
            });
        }
    }
    return TRUE;
}

namespace {

// One axis of a stretch: destination [start, start + length), and where
// its pixels come from in the source span [sourceStart, sourceStart +
// sourceLength). `mirrored` reverses the mapping.
struct StretchAxis {
    std::int64_t start, length, sourceStart, sourceLength;
    bool mirrored;

    static StretchAxis Make(std::int64_t dest, std::int64_t destSize, std::int64_t source,
                            std::int64_t sourceSize) {
        StretchAxis a{dest, destSize, source, sourceSize, false};
        if (a.length < 0) {
            a.start += a.length;
            a.length = -a.length;
            a.mirrored = !a.mirrored;
        }
        if (a.sourceLength < 0) {
            a.sourceStart += a.sourceLength;
            a.sourceLength = -a.sourceLength;
            a.mirrored = !a.mirrored;
        }
        return a;
    }
    // The destination pixels [first, last) of the span that lie in [0, size).
    std::pair<std::int64_t, std::int64_t> Inside(std::int64_t size) const {
        return {std::max<std::int64_t>(0, -start), std::min<std::int64_t>(length, size - start)};
    }
    // Source position of destination pixel i (0-based within the span).
    std::int64_t Source(std::int64_t i) const {
        const std::int64_t k = mirrored ? length - 1 - i : i;
        return sourceStart + k * sourceLength / length;
    }
};

} // namespace

int StretchDIBits(HDC dc, int x, int y, int destWidth, int destHeight, int xSrc, int ySrc,
                  int srcWidth, int srcHeight, const void* bits, const BITMAPINFO* info, UINT usage,
                  DWORD rop) {
    COLORREF brush = 0;
    BitmapObject* target = FindTarget(dc, &brush);
    if (!target || usage != DIB_RGB_COLORS || !info || !bits) return 0;
    const unsigned table = RopTable(rop);
    DibLayout dib{};
    if (!ReadLayout(info->bmiHeader, &dib)) return 0;
    if (destWidth == 0 || destHeight == 0 || srcWidth == 0 || srcHeight == 0) return 0;

    const StretchAxis h = StretchAxis::Make(x, destWidth, xSrc, srcWidth);
    const StretchAxis v = StretchAxis::Make(y, destHeight, ySrc, srcHeight);
    // Destination pixels inside the bitmap.
    const auto [i0, i1] = h.Inside(target->width);
    const auto [j0, j1] = v.Inside(target->height);

    const SectionScope drawn(target, true);
    const DeviceFormat format = FormatOf(*target);
    NearestCache cache(format.palette, format.colours);
    const int pixelBytes = StoredPixelBytes(target->bits);
    const std::uint32_t pattern = PatternPixel(brush, format, cache);
    const std::uint32_t mask = PixelMask(target->bits);
    std::uint32_t devicePixels[256] = {};
    if (dib.bits <= 8) DeviceTableOf(*info, format, cache, devicePixels);

    const BYTE* dibBits = static_cast<const BYTE*>(bits);
    for (std::int64_t j = j0; j < j1; ++j) {
        // Source rows of a bottom-up DIB count from the bottom, and the top
        // of the destination shows the top of the source rectangle.
        std::int64_t row = v.Source(j);
        if (!dib.topDown) row = v.sourceStart + v.sourceLength - 1 - (row - v.sourceStart);
        // (Stored rows are in that same order: bottom-up DIBs store the
        // bottom row first.)
        if (row < 0 || row >= dib.height) continue;
        const BYTE* source = dibBits + std::uint64_t(row) * dib.stride;
        BYTE* out = target->Row(LONG(v.start + j));
        for (std::int64_t i = i0; i < i1; ++i) {
            const std::int64_t column = h.Source(i);
            if (column < 0 || column >= dib.width) continue;
            std::uint32_t pixel;
            if (dib.bits <= 8) {
                BYTE index;
                DibIndices(dib.bits, source, int(column), 1, &index);
                pixel = devicePixels[index];
            } else {
                Rgb colour;
                DibDirectToRgb(dib.bits, source, int(column), 1, &colour);
                pixel = DevicePixel(format, cache, colour);
            }
            BYTE* p = out + (h.start + i) * pixelBytes;
            if (table != RopTable(SRCCOPY))
                pixel = ApplyRop(table, pattern, pixel, LoadPixel(p, pixelBytes)) & mask;
            StorePixel(p, pixelBytes, pixel);
        }
    }
    return srcHeight < 0 ? -srcHeight : srcHeight;
}

BOOL StretchBlt(HDC dest, int x, int y, int destWidth, int destHeight, HDC src, int xSrc, int ySrc,
                int srcWidth, int srcHeight, DWORD rop) {
    const unsigned table = RopTable(rop);
    if (!RopUsesSource(table)) return PatBlt(dest, x, y, destWidth, destHeight, rop);
    Ends ends;
    if (!FindEnds(dest, src, &ends)) return FALSE;
    BitmapObject* target = ends.target;
    BitmapObject* source = ends.source;
    if (destWidth == 0 || destHeight == 0 || srcWidth == 0 || srcHeight == 0) return TRUE;

    const StretchAxis h = StretchAxis::Make(x, destWidth, xSrc, srcWidth);
    const StretchAxis v = StretchAxis::Make(y, destHeight, ySrc, srcHeight);
    // Destination pixels inside the bitmap.
    const auto [i0, i1] = h.Inside(target->width);
    const auto [j0, j1] = v.Inside(target->height);
    if (i0 >= i1 || j0 >= j1) return TRUE;
    const SectionScope read(source, false);
    const SectionScope drawn(target, true);

    // A stretch within one bitmap reads a copy of it, so that no pixel is
    // read after it was written.
    const int sourceBytes = StoredPixelBytes(source->bits);
    std::vector<BYTE> snapshot;
    const BYTE* sourcePixels = source->pixels;
    if (source == target) {
        try {
            snapshot.assign(source->pixels, source->pixels + source->stride * source->height);
        } catch (const std::bad_alloc&) {
            return FALSE;
        }
        sourcePixels = snapshot.data();
    }
    // The source pixels that destination pixel i of an axis covers: one, or
    // when a 1-bit source shrinks, all that fall on it (ANDed, so black wins).
    const bool andShrink = source->bits == 1;
    auto group = [&](const StretchAxis& a, std::int64_t i) {
        const std::int64_t k = a.mirrored ? a.length - 1 - i : i;
        const std::int64_t first = a.sourceStart + k * a.sourceLength / a.length;
        const std::int64_t next = a.sourceStart + (k + 1) * a.sourceLength / a.length;
        return std::pair{first, andShrink ? std::max(next, first + 1) : first + 1};
    };
    // Only destination pixels whose whole group lies in the source are
    // drawn. Groups move monotonically, so those columns are one range.
    std::vector<std::int64_t> columns, columnEnds;
    try {
        columns.resize(std::size_t(i1 - i0));
        columnEnds.resize(columns.size());
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    std::int64_t first = i1, last = i0;
    for (std::int64_t i = i0; i < i1; ++i) {
        const auto [column, end] = group(h, i);
        columns[std::size_t(i - i0)] = column;
        columnEnds[std::size_t(i - i0)] = end;
        if (column >= 0 && end <= source->width) {
            first = std::min(first, i);
            last = i + 1;
        }
    }

    const DeviceFormat fromFormat = FormatOf(*source);
    const DeviceFormat toFormat = FormatOf(*target);
    const bool sameFormat = SameFormat(*source, *target);
    NearestCache cache(toFormat.palette, toFormat.colours);
    const std::uint32_t pattern = PatternPixel(ends.brush, toFormat, cache);
    const SourceValues convert{sameFormat, sourceBytes, fromFormat, toFormat, &cache};
    const int targetBytes = StoredPixelBytes(target->bits);
    BYTE run[kRun * 4];
    std::uint32_t values[kRun];
    for (std::int64_t j = j0; j < j1; ++j) {
        const auto [row, rowEnd] = group(v, j);
        if (row < 0 || rowEnd > source->height) continue; // nothing of the source falls there
        const BYTE* in = sourcePixels + source->RowIndex(LONG(row)) * source->stride;
        BYTE* out = target->Row(LONG(v.start + j));
        if (sameFormat && !andShrink && table == RopTable(SRCCOPY)) {
            // The common case: pixels copied as they are.
            const std::int64_t* column = &columns[std::size_t(first - i0)];
            BYTE* to = out + (h.start + first) * targetBytes;
            WithPixelBytes(sourceBytes, [&](auto size) {
                for (std::int64_t i = 0; i < last - first; ++i)
                    std::memcpy(to + i * size, in + column[i] * size, size);
            });
            continue;
        }
        for (std::int64_t x0 = first; x0 < last; x0 += kRun) {
            const int n = static_cast<int>(std::min<std::int64_t>(kRun, last - x0));
            const std::int64_t* column = &columns[std::size_t(x0 - i0)];
            const std::int64_t* columnEnd = &columnEnds[std::size_t(x0 - i0)];
            if (andShrink) {
                for (int k = 0; k < n; ++k) {
                    BYTE value = 1;
                    for (std::int64_t r = row; r < rowEnd; ++r)
                        for (std::int64_t c = column[k]; c < columnEnd[k]; ++c)
                            value &= sourcePixels[source->RowIndex(LONG(r)) * source->stride + c];
                    run[k] = value;
                }
            } else {
                WithPixelBytes(sourceBytes, [&](auto size) {
                    for (int k = 0; k < n; ++k)
                        std::memcpy(run + k * size, in + column[k] * size, size);
                });
            }
            convert.Convert(run, n, values);
            CombineRun(table, target->bits, pattern, values, out + (h.start + x0) * targetBytes, n);
        }
    }
    return TRUE;
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
