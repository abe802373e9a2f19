#include "gfx/PixelFormats.h"

#include "gfx/StockColors.h"

#include <algorithm>
#include <bit>
#include <cstring>

// Device pixels are the low bytes of 32-bit values.
static_assert(std::endian::native == std::endian::little);

namespace gdi_internal {
namespace {

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

// Stores device pixels looked up by index, N bytes each.
template <int N>
void StoreThroughTable(const BYTE* indices, int n, const std::uint32_t* table, BYTE* pixels) {
    for (int i = 0; i < n; ++i) std::memcpy(pixels + N * i, &table[indices[i]], N);
}

// 32-bit pixels, the deepest screen's and the most common: four lookups per
// step, each stored whole.
template <>
void StoreThroughTable<4>(const BYTE* indices, int n, const std::uint32_t* table, BYTE* pixels) {
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const std::uint32_t quad[4] = {table[indices[i]], table[indices[i + 1]],
                                       table[indices[i + 2]], table[indices[i + 3]]};
        std::memcpy(pixels + 4 * i, quad, sizeof quad);
    }
    for (; i < n; ++i) std::memcpy(pixels + 4 * i, &table[indices[i]], 4);
}

} // namespace

bool IsDeviceDepth(int bits) {
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}
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

namespace {

struct SystemColours {
    Rgb table[256];
    SystemColours() { Reset(); }
    void Reset() { std::copy_n(StockRgb(256), 256, table); }
};

SystemColours& System() {
    static SystemColours colours;
    return colours;
}

} // namespace

const Rgb* SystemPalette() {
    return System().table;
}

void SetSystemPalette(const Rgb* colours, int count) {
    std::copy_n(colours, std::clamp(count, 0, 256), System().table);
}

void ResetSystemPalette() {
    System().Reset();
}

DeviceFormat FormatOf(int bits) {
    switch (bits) {
    case 1:
        return {1, StockRgb(2), 2};
    case 4:
        return {4, StockRgb(16), 16};
    case 8:
        // 8-bit bitmaps index the system palette as it is now, so realising a
        // palette on an 8-bit screen changes the colours they show.
        return {8, SystemPalette(), 256};
    default:
        return {bits, nullptr, 0};
    }
}

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

int DibColours(const BITMAPINFO& info, Rgb table[256]) {
    std::fill_n(table, 256, Rgb{0});
    if (info.bmiHeader.biBitCount > 8) return 0;
    const DWORD slots = DWORD{1} << info.bmiHeader.biBitCount;
    const DWORD used = info.bmiHeader.biClrUsed;
    const DWORD colours = used == 0 ? slots : std::min(used, slots);
    const BYTE* entries = reinterpret_cast<const BYTE*>(&info) + info.bmiHeader.biSize;
    for (DWORD i = 0; i < colours; ++i) {
        RGBQUAD quad;
        std::memcpy(&quad, entries + 4 * i, sizeof quad);
        table[i] = QuadToRgb(quad);
    }
    return static_cast<int>(colours);
}

void DeviceTableOf(const BITMAPINFO& info, const DeviceFormat& format, NearestCache& cache,
                   std::uint32_t devicePixels[256]) {
    Rgb table[256];
    DibColours(info, table);
    for (int i = 0; i < 256; ++i) devicePixels[i] = DevicePixel(format, cache, table[i]);
}

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

void PackIndices(int bits, const BYTE* indices, int n, BYTE* row) {
    if (bits == 8) {
        std::memcpy(row, indices, static_cast<std::size_t>(n));
        return;
    }
    const int perByte = 8 / bits;
    const unsigned mask = (1u << bits) - 1;
    std::memset(row, 0, static_cast<std::size_t>((n + perByte - 1) / perByte));
    for (int x = 0; x < n; ++x)
        row[x / perByte] |=
            static_cast<BYTE>((indices[x] & mask) << (8 - bits * (x % perByte + 1)));
}

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

} // namespace gdi_internal
