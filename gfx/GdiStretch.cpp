// Stretched transfers by nearest pixels: StretchDIBits, StretchBlt and
// CopyImage.
#include "gfx/Gdi.h"

#include "gfx/BltEngine.h"
#include "gfx/GdiSections.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

using namespace gdi_internal;

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
