// What the block transfers (PatBlt, BitBlt, MaskBlt, StretchBlt and
// StretchDIBits) share: the ends of a transfer, clipping, and the engine that
// combines runs of device pixels with a source and a pattern by a raster
// operation (RasterOps.h). Private to gfx/. The functions that find the ends
// take the layer's lock for the time of the search; the rest work on pixels
// without it.
#pragma once

#include "gfx/GdiObjects.h"
#include "gfx/NearestCache.h"
#include "gfx/PixelFormats.h"
#include "gfx/RasterOps.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace gdi_internal {

// The two ends of a transfer between memory contexts: the destination
// context, the bitmap it draws into and the source context's bitmap. Window
// contexts have no surface of their own here, so only memory contexts take
// part.
struct Ends {
    COLORREF brush = 0; // the destination context's
    BitmapObject* target = nullptr;
    BitmapObject* source = nullptr;
};
// The ends of a transfer from src to dest, under the lock; false when either
// end is missing.
bool FindEnds(HDC dest, HDC src, Ends* ends);
// The bitmap a context draws into and its brush colour, under the lock.
BitmapObject* FindTarget(HDC dc, COLORREF* brush);

// Clipping of one axis of a block copy: both starts are moved inside their
// bitmaps and the length cut to what both can hold.
struct Span {
    std::int64_t dest;
    std::int64_t source;
    std::int64_t length;
};

inline Span ClipSpan(std::int64_t dest, std::int64_t source, std::int64_t length,
                     std::int64_t destSize, std::int64_t sourceSize) {
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

// The bits of a device pixel value: indices of palette formats, 5-5-5
// colours, or blue, green and red (the fourth byte of 32-bit pixels stays 0).
inline std::uint32_t PixelMask(int bits) {
    return bits <= 8 ? (1u << bits) - 1 : bits == 16 ? 0x7FFF : 0xFFFFFF;
}
inline std::uint32_t LoadPixel(const BYTE* p, int bytes) {
    std::uint32_t value = 0;
    std::memcpy(&value, p, static_cast<std::size_t>(bytes));
    return value;
}
inline void StorePixel(BYTE* p, int bytes, std::uint32_t value) {
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
inline std::uint32_t PatternPixel(COLORREF c, const DeviceFormat& format, NearestCache& cache) {
    return DevicePixel(format, cache, PackRgb(GetRValue(c), GetGValue(c), GetBValue(c)));
}

// Combines n pixels at `out` with source values (device values of the
// destination's format; none for operations without a source) and the
// pattern.
void CombineRun(unsigned table, int bits, std::uint32_t pattern, const std::uint32_t* source,
                BYTE* out, std::int64_t n);

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

} // namespace gdi_internal
