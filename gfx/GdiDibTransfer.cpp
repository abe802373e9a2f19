// Pixels between packed DIBs and device bitmaps: CreateDIBitmap and
// GetDIBits.
#include "gfx/Gdi.h"

#include "gfx/GdiObjects.h"
#include "gfx/GdiSections.h"
#include "gfx/NearestCache.h"
#include "gfx/PaletteInternal.h"
#include "gfx/PixelFormats.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>

using namespace gdi_internal;

namespace {

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

} // namespace

// Four pixels (16 bytes) become three whole words, rather than four
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
