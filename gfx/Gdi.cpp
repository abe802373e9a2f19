#include "gfx/Gdi.h"

#include "gfx/GdiInternal.h"

#include "gfx/StockColors.h"
#include "platform/Memory.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>

// Device pixels are written as the low bytes of 32-bit values (a 24-bit pixel
// is the first three bytes of 0x00RRGGBB: blue, green, red).
static_assert(std::endian::native == std::endian::little);

namespace {

using Rgb = std::uint32_t; // 0x00RRGGBB

constexpr Rgb PackRgb(unsigned r, unsigned g, unsigned b) {
    return (r << 16) | (g << 8) | b;
}
constexpr Rgb QuadToRgb(const RGBQUAD& q) {
    return PackRgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
}

// 5-5-5 words: red in bits 10-14, green 5-9, blue 0-4, bit 15 unused. Writing
// truncates each component to 5 bits; reading widens v to (v << 3) | (v >> 2)
// so that 0 and 31 become 0 and 255.
constexpr std::uint16_t RgbTo555(Rgb c) {
    return static_cast<std::uint16_t>(((c >> 9) & 0x7C00) | ((c >> 6) & 0x03E0) |
                                      ((c >> 3) & 0x001F));
}
constexpr unsigned Widen5(unsigned v) {
    return (v << 3) | (v >> 2);
}
constexpr Rgb Rgb555ToRgb(unsigned w) {
    return PackRgb(Widen5((w >> 10) & 31), Widen5((w >> 5) & 31), Widen5(w & 31));
}

// Bitmaps may hold at most this many bytes of pixels, and a device row at 32
// bits may not exceed it either (so that widths of empty bitmaps stay sane).
constexpr std::uint64_t kMaxPixelBytes = kMaxDeviceBitmapBytes;
// The largest header a packed DIB may start with (BITMAPV5HEADER); the colour
// table follows the header, whatever its size.
constexpr DWORD kMaxInfoHeaderSize = 124;
// Pixels are converted in runs of this many, so that scratch rows live on the
// stack whatever the width.
constexpr int kRun = 512;

// Handles are table keys: an id that is never reused, with a tag in the low
// bits so that bitmaps, contexts and palettes (tag 3) never share a value.
constexpr std::uintptr_t kBitmapTag = 1;
constexpr std::uintptr_t kContextTag = 2;

bool IsDeviceDepth(int bits) {
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}
// Bitmaps of 1, 4 and 8 bits keep one index per byte; the others keep their
// device pixels as they are.
int StoredPixelBytes(int bits) {
    return bits <= 8 ? 1 : bits / 8;
}

const Rgb* StockRgb(int colours) {
    struct Tables {
        Rgb two[2], sixteen[16], all[256];
        Tables() {
            for (int i = 0; i < 2; ++i) two[i] = QuadToRgb(kStockColors2[i]);
            for (int i = 0; i < 16; ++i) sixteen[i] = QuadToRgb(kStockColors16[i]);
            for (int i = 0; i < 256; ++i) all[i] = QuadToRgb(kStockColors256[i]);
        }
    };
    static const Tables tables;
    return colours == 2 ? tables.two : colours == 16 ? tables.sixteen : tables.all;
}

// A direct-mapped cache in front of the nearest-colour search: pictures have
// many pixels but seldom many distinct colours.
class NearestCache {
public:
    NearestCache(const Rgb* table, int count) : m_pTable(table), m_nCount(count) {
        std::fill(std::begin(m_keys), std::end(m_keys), kEmpty);
    }
    BYTE Find(Rgb colour) {
        const unsigned slot = (colour * 2654435761u) >> (32 - kBits);
        if (m_keys[slot] != colour) {
            m_keys[slot] = colour;
            m_indices[slot] =
                static_cast<BYTE>(gdi_internal::NearestColour(m_pTable, m_nCount, colour));
        }
        return m_indices[slot];
    }

private:
    static constexpr int kBits = 10;
    static constexpr Rgb kEmpty = 0xFFFFFFFF; // no colour has a high byte
    const Rgb* m_pTable;
    int m_nCount;
    Rgb m_keys[1 << kBits];
    BYTE m_indices[1 << kBits];
};

// A device pixel format: the depth, and for 1, 4 and 8 bits the colours the
// indices stand for.
struct DeviceFormat {
    int bits;
    const Rgb* palette;
    int colours;
};

DeviceFormat FormatOf(int bits) {
    switch (bits) {
    case 1:
        return {1, StockRgb(2), 2};
    case 4:
        return {4, StockRgb(16), 16};
    case 8:
        // 8-bit bitmaps index the system palette as it is now, so realising a
        // palette on an 8-bit screen changes the colours they show.
        return {8, gdi_internal::SystemPalette(), 256};
    default:
        return {bits, nullptr, 0};
    }
}

// The device pixel for a colour, in the low bytes of the result.
std::uint32_t DevicePixel(const DeviceFormat& format, NearestCache& cache, Rgb colour) {
    switch (format.bits) {
    case 32:
    case 24:
        return colour;
    case 16:
        return RgbTo555(colour);
    default:
        return cache.Find(colour);
    }
}

void DeviceToRgb(const DeviceFormat& format, const BYTE* pixels, int n, Rgb* out) {
    switch (format.bits) {
    case 32:
        for (int i = 0; i < n; ++i) {
            std::memcpy(&out[i], pixels + 4 * i, 4);
            out[i] &= 0xFFFFFF;
        }
        break;
    case 24:
        for (int i = 0; i < n; ++i) {
            const BYTE* p = pixels + 3 * i;
            out[i] = PackRgb(p[2], p[1], p[0]);
        }
        break;
    case 16:
        for (int i = 0; i < n; ++i) {
            std::uint16_t w;
            std::memcpy(&w, pixels + 2 * i, 2);
            out[i] = Rgb555ToRgb(w);
        }
        break;
    default:
        for (int i = 0; i < n; ++i) out[i] = format.palette[pixels[i]];
        break;
    }
}

void RgbToDevice(const DeviceFormat& format, NearestCache& cache, const Rgb* in, int n,
                 BYTE* pixels) {
    switch (format.bits) {
    case 32:
        for (int i = 0; i < n; ++i) std::memcpy(pixels + 4 * i, &in[i], 4);
        break;
    case 24:
        for (int i = 0; i < n; ++i) std::memcpy(pixels + 3 * i, &in[i], 3);
        break;
    case 16:
        for (int i = 0; i < n; ++i) {
            const std::uint16_t w = RgbTo555(in[i]);
            std::memcpy(pixels + 2 * i, &w, 2);
        }
        break;
    default:
        for (int i = 0; i < n; ++i) pixels[i] = cache.Find(in[i]);
        break;
    }
}

// Stores device pixels looked up by index, N bytes each.
template <int N>
void StoreThroughTable(const BYTE* indices, int n, const std::uint32_t* table, BYTE* pixels) {
    for (int i = 0; i < n; ++i) std::memcpy(pixels + N * i, &table[indices[i]], N);
}

void StoreThroughTable(int pixelBytes, const BYTE* indices, int n, const std::uint32_t* table,
                       BYTE* pixels) {
    switch (pixelBytes) {
    case 1:
        return StoreThroughTable<1>(indices, n, table, pixels);
    case 2:
        return StoreThroughTable<2>(indices, n, table, pixels);
    case 3:
        return StoreThroughTable<3>(indices, n, table, pixels);
    default:
        return StoreThroughTable<4>(indices, n, table, pixels);
    }
}

// ---- Packed DIB rows -------------------------------------------------------
// 1- and 4-bit rows hold the leftmost pixel in the high bits of each byte.

struct DibLayout {
    int bits;
    LONG width;
    LONG height; // |biHeight|
    bool topDown;
    std::uint64_t stride;
};

// Accepts BI_RGB DIBs of 1, 4, 8, 16, 24 and 32 bits with a header of 40 to
// 124 bytes.
bool ReadLayout(const BITMAPINFOHEADER& header, DibLayout* layout) {
    if (header.biSize < sizeof(BITMAPINFOHEADER) || header.biSize > kMaxInfoHeaderSize)
        return false;
    if (header.biCompression != BI_RGB || !IsDeviceDepth(header.biBitCount)) return false;
    if (header.biWidth < 0 || header.biHeight == LONG{INT32_MIN}) return false;
    layout->bits = header.biBitCount;
    layout->width = header.biWidth;
    layout->height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    layout->topDown = header.biHeight < 0;
    layout->stride = DibRowBytes(static_cast<std::uint64_t>(header.biWidth), header.biBitCount);
    return true;
}

// Indices of pixels [x0, x0 + n) of a 1-, 4- or 8-bit row.
void DibIndices(int bits, const BYTE* row, int x0, int n, BYTE* out) {
    for (int i = 0; i < n; ++i) {
        const unsigned x = static_cast<unsigned>(x0 + i);
        if (bits == 1) {
            out[i] = (row[x >> 3] >> (7 - (x & 7))) & 1;
        } else if (bits == 4) {
            out[i] = (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
        } else {
            out[i] = row[x];
        }
    }
}

// Colours of pixels [x0, x0 + n) of a 16-, 24- or 32-bit row.
void DibDirectToRgb(int bits, const BYTE* row, int x0, int n, Rgb* out) {
    for (int i = 0; i < n; ++i) {
        const std::size_t x = static_cast<std::size_t>(x0 + i);
        if (bits == 16) {
            std::uint16_t w;
            std::memcpy(&w, row + 2 * x, 2);
            out[i] = Rgb555ToRgb(w);
        } else {
            const BYTE* p = row + x * (bits / 8);
            out[i] = PackRgb(p[2], p[1], p[0]); // the fourth byte of 32-bit pixels is ignored
        }
    }
}

// Writes colours as pixels [x0, x0 + n) of a row that starts zeroed.
void RgbToDib(int bits, NearestCache& cache, const Rgb* in, int x0, int n, BYTE* row) {
    for (int i = 0; i < n; ++i) {
        const std::size_t x = static_cast<std::size_t>(x0 + i);
        const Rgb c = in[i];
        switch (bits) {
        case 1:
            row[x >> 3] |= static_cast<BYTE>(cache.Find(c) << (7 - (x & 7)));
            break;
        case 4:
            row[x >> 1] |= static_cast<BYTE>(cache.Find(c) << ((x & 1) ? 0 : 4));
            break;
        case 8:
            row[x] = cache.Find(c);
            break;
        case 16: {
            const std::uint16_t w = RgbTo555(c);
            std::memcpy(row + 2 * x, &w, 2);
            break;
        }
        default: // the fourth byte of a 32-bit pixel stays 0
            std::memcpy(row + x * (bits / 8), &c, 3);
            break;
        }
    }
}

// ---- Objects ---------------------------------------------------------------

struct FreeBlock {
    void operator()(BYTE* block) const { AfxFreeMemory(block); }
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
};

struct GdiState {
    int screenBits = 32;
    std::uintptr_t nextId = 1;
    std::unordered_map<std::uintptr_t, BitmapObject> bitmaps;
    std::unordered_map<std::uintptr_t, ContextObject> contexts;
    HBITMAP stockBitmap = nullptr;
};

GdiState& State() {
    static GdiState state;
    return state;
}

std::uintptr_t NewKey(std::uintptr_t tag) {
    return (State().nextId++ << 2) | tag;
}
std::uintptr_t KeyOf(const void* handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

BitmapObject* FindBitmap(const void* handle) {
    auto& bitmaps = State().bitmaps;
    auto it = bitmaps.find(KeyOf(handle));
    return it == bitmaps.end() ? nullptr : &it->second;
}

ContextObject* FindContext(const void* handle) {
    auto& contexts = State().contexts;
    auto it = contexts.find(KeyOf(handle));
    return it == contexts.end() ? nullptr : &it->second;
}

// A new bitmap of the given depth and size, its pixels zeroed when asked (0 is
// black in every device format while the system palette is the stock one).
// Null when the size is refused or its pixels cannot be allocated.
HBITMAP NewBitmap(int bits, LONG width, LONG height, bool zero, BitmapObject** made) {
    if (width < 0 || height < 0) return nullptr;
    const std::uint64_t stride = std::uint64_t(width) * StoredPixelBytes(bits);
    if (std::uint64_t(width) * 4 > kMaxPixelBytes) return nullptr;
    if (height != 0 && stride > kMaxPixelBytes / std::uint64_t(height)) return nullptr;
    std::unique_ptr<BYTE[], FreeBlock> pixels(
        static_cast<BYTE*>(AfxAllocMemory(stride * std::uint64_t(height), zero)));
    if (!pixels) return nullptr;

    const std::uintptr_t key = NewKey(kBitmapTag);
    BitmapObject& bitmap = State().bitmaps[key];
    bitmap.bits = bits;
    bitmap.width = width;
    bitmap.height = height;
    bitmap.stride = static_cast<std::size_t>(stride);
    bitmap.block = std::move(pixels);
    bitmap.pixels = bitmap.block.get();
    if (made) *made = &bitmap;
    return reinterpret_cast<HBITMAP>(key);
}

// The 1 x 1 monochrome bitmap (one black pixel) that new memory contexts
// hold. It is shared by all of them and never counted or deleted; its pixel is
// static so that no allocation (nor an injected allocation failure) is spent
// on it.
HBITMAP StockBitmap() {
    GdiState& state = State();
    if (!state.stockBitmap) {
        static BYTE pixel = 0;
        const std::uintptr_t key = NewKey(kBitmapTag);
        BitmapObject& bitmap = state.bitmaps[key];
        bitmap.width = bitmap.height = 1;
        bitmap.stride = 1;
        bitmap.pixels = &pixel;
        bitmap.stock = true;
        state.stockBitmap = reinterpret_cast<HBITMAP>(key);
    }
    return state.stockBitmap;
}

int DepthOfContext(const ContextObject& context) {
    if (!context.memory) return context.bits;
    const BitmapObject* bitmap = FindBitmap(context.bitmap);
    return bitmap ? bitmap->bits : 0;
}

// Fills the top-left overlap of a new bitmap and a packed DIB.
void FillFromDib(BitmapObject& bitmap, const DibLayout& dib, const BYTE* bits,
                 const BYTE* colourTable, DWORD colourCount) {
    const int width = std::min(bitmap.width, dib.width);
    const LONG height = std::min(bitmap.height, dib.height);
    const DeviceFormat format = FormatOf(bitmap.bits);
    NearestCache cache(format.palette, format.colours);
    const int pixelBytes = StoredPixelBytes(bitmap.bits);

    // Indexed DIBs go through one table from DIB index to device pixel, made
    // once per call; indices past the colour table are black.
    std::uint32_t devicePixels[256];
    if (dib.bits <= 8) {
        const DWORD slots = DWORD{1} << dib.bits;
        const DWORD colours = colourCount == 0 ? slots : std::min(colourCount, slots);
        for (DWORD i = 0; i < 256; ++i) {
            Rgb colour = 0;
            if (i < colours) {
                RGBQUAD quad;
                std::memcpy(&quad, colourTable + 4 * i, sizeof quad);
                colour = QuadToRgb(quad);
            }
            devicePixels[i] = DevicePixel(format, cache, colour);
        }
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

int gdi_internal::ContextDepth(HDC dc, bool* isMemory) {
    const ContextObject* context = FindContext(dc);
    if (!context) return 0;
    if (isMemory) *isMemory = context->memory;
    return DepthOfContext(*context);
}

HDC GetDC(HWND window) {
    const std::uintptr_t key = NewKey(kContextTag);
    ContextObject& context = State().contexts[key];
    context.window = window;
    context.bits = State().screenBits;
    return reinterpret_cast<HDC>(key);
}

int ReleaseDC(HWND window, HDC dc) {
    const ContextObject* context = FindContext(dc);
    if (!context || context->memory || context->window != window) return 0;
    gdi_internal::ForgetContext(dc);
    State().contexts.erase(KeyOf(dc));
    return 1;
}

HDC CreateCompatibleDC(HDC dc) {
    if (dc && !FindContext(dc)) return nullptr;
    const HBITMAP stock = StockBitmap();
    const std::uintptr_t key = NewKey(kContextTag);
    ContextObject& context = State().contexts[key];
    context.memory = true;
    context.bitmap = stock;
    return reinterpret_cast<HDC>(key);
}

BOOL DeleteDC(HDC dc) {
    const ContextObject* context = FindContext(dc);
    if (!context || !context->memory) return FALSE;
    BitmapObject* bitmap = FindBitmap(context->bitmap);
    if (bitmap && !bitmap->stock) bitmap->selectedIn = nullptr;
    gdi_internal::ForgetContext(dc);
    State().contexts.erase(KeyOf(dc));
    return TRUE;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    ContextObject* context = FindContext(dc);
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
    if (const BitmapObject* bitmap = FindBitmap(object)) {
        if (bitmap->stock) return TRUE;
        if (bitmap->selectedIn) return FALSE;
        State().bitmaps.erase(KeyOf(object));
        return TRUE;
    }
    return gdi_internal::DeletePalette(object);
}

int GetObject(HGDIOBJ object, int bufferSize, LPVOID buffer) {
    const BitmapObject* bitmap = FindBitmap(object);
    if (!bitmap) return gdi_internal::GetPaletteObject(object, bufferSize, buffer);
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
    record.bmBits = nullptr;
    std::memcpy(buffer, &record, sizeof record);
    return sizeof record;
}

HGDIOBJ GetStockObject(int object) {
    return object == DEFAULT_PALETTE ? gdi_internal::StockPalette() : nullptr;
}

HBITMAP CreateDIBitmap(HDC dc, const BITMAPINFOHEADER* header, DWORD init, const void* bits,
                       const BITMAPINFO* info, UINT usage) {
    // Only DIB_RGB_COLORS tables are understood; CBM_INIT is the one flag.
    if (!header || usage != DIB_RGB_COLORS || (init & ~CBM_INIT) != 0) return nullptr;
    const int depth = dc ? gdi_internal::ContextDepth(dc, nullptr) : State().screenBits;
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
    if (!handle) return nullptr;
    if (readsPixels) {
        // The colour table follows the header, whatever the header's size.
        const BYTE* table = reinterpret_cast<const BYTE*>(info) + info->bmiHeader.biSize;
        FillFromDib(*bitmap, dib, static_cast<const BYTE*>(bits), table, info->bmiHeader.biClrUsed);
    }
    return handle;
}

int GetDIBits(HDC dc, HBITMAP bitmapHandle, UINT start, UINT lines, LPVOID bits, BITMAPINFO* info,
              UINT usage) {
    if (usage != DIB_RGB_COLORS || !info || !FindContext(dc)) return 0;
    const BitmapObject* bitmap = FindBitmap(bitmapHandle);
    if (!bitmap) return 0;
    BITMAPINFOHEADER& header = info->bmiHeader;
    if (header.biSize < sizeof(BITMAPINFOHEADER) || header.biSize > kMaxInfoHeaderSize) return 0;

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
    Rgb table[256] = {};
    int tableColours = 0;
    if (dib.bits <= 8) {
        const int slots = 1 << dib.bits;
        tableColours = gdi_internal::RealisedColours(dc, table, slots);
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
    const DeviceFormat format = FormatOf(bitmap->bits);
    const int pixelBytes = StoredPixelBytes(bitmap->bits);
    NearestCache cache(table, tableColours);
    Rgb colours[kRun];
    for (UINT i = 0; i < count; ++i) {
        const LONG line = static_cast<LONG>(start + i);
        const LONG y = dib.topDown ? line : dib.height - 1 - line;
        BYTE* out = static_cast<BYTE*>(bits) + std::uint64_t(i) * dib.stride;
        std::memset(out, 0, static_cast<std::size_t>(dib.stride));
        const BYTE* in = bitmap->Row(y);
        if (bitmap->bits == dib.bits && dib.bits >= 16) {
            // The DIB's own layout: 16-, 24- and 32-bit device pixels are
            // stored as the DIB stores them (32 bits with the fourth byte 0).
            std::memcpy(out, in, static_cast<std::size_t>(dib.width) * pixelBytes);
            continue;
        }
        if (bitmap->bits == 32 && dib.bits == 24) {
            // The common capture of a 32-bit screen: drop the fourth byte.
            for (LONG x = 0; x < dib.width; ++x) std::memcpy(out + 3 * x, in + 4 * x, 3);
            continue;
        }
        for (int x0 = 0; x0 < dib.width; x0 += kRun) {
            const int n = std::min(kRun, dib.width - x0);
            DeviceToRgb(format, in + static_cast<std::size_t>(x0) * pixelBytes, n, colours);
            RgbToDib(dib.bits, cache, colours, x0, n, out);
        }
    }
    return static_cast<int>(count);
}

HANDLE CopyImage(HANDLE image, UINT type, int cx, int cy, UINT flags) {
    // None of the LR_ flags is supported, so a caller asking for one is refused.
    if (type != IMAGE_BITMAP || flags != 0 || cx < 0 || cy < 0) return nullptr;
    const BitmapObject* source = FindBitmap(image);
    if (!source) return nullptr;
    const LONG width = cx == 0 ? source->width : cx;
    const LONG height = cy == 0 ? source->height : cy;
    const bool emptySource = source->width == 0 || source->height == 0;

    BitmapObject* copy = nullptr;
    const HBITMAP handle = NewBitmap(source->bits, width, height, emptySource, &copy);
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

BOOL BitBlt(HDC dest, int x, int y, int cx, int cy, HDC src, int xSrc, int ySrc, DWORD rop) {
    // Window contexts have no surface of their own here, so only memory
    // contexts take part.
    const ContextObject* to = FindContext(dest);
    const ContextObject* from = FindContext(src);
    if (!to || !from || !to->memory || !from->memory || rop != SRCCOPY) return FALSE;
    BitmapObject* target = FindBitmap(to->bitmap);
    const BitmapObject* source = FindBitmap(from->bitmap);
    // The stock bitmap is shared by every new memory context; writing into it
    // would show through all of them.
    if (!target || !source || target->stock) return FALSE;
    if (cx <= 0 || cy <= 0) return TRUE;

    const Span h = ClipSpan(x, xSrc, cx, target->width, source->width);
    const Span v = ClipSpan(y, ySrc, cy, target->height, source->height);
    if (h.length == 0 || v.length == 0) return TRUE;

    const int targetBytes = StoredPixelBytes(target->bits);
    const int sourceBytes = StoredPixelBytes(source->bits);
    if (target->bits == source->bits) {
        // A bitmap copied onto itself may overlap: walk the rows away from
        // the overlap and move each row as a whole.
        const bool upwards = target == source && v.dest > v.source;
        const std::size_t rowBytes = std::size_t(h.length) * targetBytes;
        for (std::int64_t i = 0; i < v.length; ++i) {
            const std::int64_t row = upwards ? v.length - 1 - i : i;
            std::memmove(target->Row(LONG(v.dest + row)) + h.dest * targetBytes,
                         source->Row(LONG(v.source + row)) + h.source * sourceBytes, rowBytes);
        }
        return TRUE;
    }

    const DeviceFormat fromFormat = FormatOf(source->bits);
    const DeviceFormat toFormat = FormatOf(target->bits);
    NearestCache cache(toFormat.palette, toFormat.colours);
    Rgb colours[kRun];
    for (std::int64_t row = 0; row < v.length; ++row) {
        const BYTE* in = source->Row(LONG(v.source + row)) + h.source * sourceBytes;
        BYTE* out = target->Row(LONG(v.dest + row)) + h.dest * targetBytes;
        for (std::int64_t x0 = 0; x0 < h.length; x0 += kRun) {
            const int n = static_cast<int>(std::min<std::int64_t>(kRun, h.length - x0));
            DeviceToRgb(fromFormat, in + x0 * sourceBytes, n, colours);
            RgbToDevice(toFormat, cache, colours, n, out + x0 * targetBytes);
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
    const ContextObject* context = FindContext(dc);
    if (!context || !context->memory || usage != DIB_RGB_COLORS || !info || !bits) return 0;
    if (rop != SRCCOPY && rop != SRCAND) return 0;
    BitmapObject* target = FindBitmap(context->bitmap);
    if (!target || target->stock) return 0;
    DibLayout dib{};
    if (!ReadLayout(info->bmiHeader, &dib)) return 0;
    if (destWidth == 0 || destHeight == 0 || srcWidth == 0 || srcHeight == 0) return 0;

    const StretchAxis h = StretchAxis::Make(x, destWidth, xSrc, srcWidth);
    const StretchAxis v = StretchAxis::Make(y, destHeight, ySrc, srcHeight);
    // Destination pixels inside the bitmap.
    const std::int64_t i0 = std::max<std::int64_t>(0, -h.start);
    const std::int64_t i1 = std::min<std::int64_t>(h.length, target->width - h.start);
    const std::int64_t j0 = std::max<std::int64_t>(0, -v.start);
    const std::int64_t j1 = std::min<std::int64_t>(v.length, target->height - v.start);

    const DeviceFormat format = FormatOf(target->bits);
    NearestCache cache(format.palette, format.colours);
    const int pixelBytes = StoredPixelBytes(target->bits);
    std::uint32_t devicePixels[256] = {};
    if (dib.bits <= 8) {
        const DWORD slots = DWORD{1} << dib.bits;
        const DWORD used = info->bmiHeader.biClrUsed;
        const DWORD colours = used == 0 ? slots : std::min(used, slots);
        const BYTE* table = reinterpret_cast<const BYTE*>(info) + info->bmiHeader.biSize;
        for (DWORD k = 0; k < 256; ++k) {
            Rgb colour = 0; // indices past the table are black
            if (k < colours) {
                RGBQUAD quad;
                std::memcpy(&quad, table + 4 * k, sizeof quad);
                colour = QuadToRgb(quad);
            }
            devicePixels[k] = DevicePixel(format, cache, colour);
        }
    }

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
            if (rop == SRCAND) {
                std::uint32_t present = 0;
                std::memcpy(&present, p, pixelBytes);
                pixel &= present;
            }
            std::memcpy(p, &pixel, pixelBytes);
        }
    }
    return srcHeight < 0 ? -srcHeight : srcHeight;
}

BOOL GdiSetScreenBitsPerPixel(int bitsPerPixel) {
    if (!IsDeviceDepth(bitsPerPixel)) return FALSE;
    State().screenBits = bitsPerPixel;
    gdi_internal::ResetSystemPalette();
    return TRUE;
}

int GdiGetScreenBitsPerPixel() {
    return State().screenBits;
}

GdiObjectCounts GdiGetObjectCounts() {
    const GdiState& state = State();
    GdiObjectCounts counts;
    counts.bitmaps = static_cast<long>(state.bitmaps.size()) - (state.stockBitmap ? 1 : 0);
    counts.contexts = static_cast<long>(state.contexts.size());
    counts.palettes = gdi_internal::LivePaletteCount();
    return counts;
}
