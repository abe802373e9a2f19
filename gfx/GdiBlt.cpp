// Block transfers without stretching: PatBlt, BitBlt and MaskBlt.
#include "gfx/Gdi.h"

#include "gfx/BltEngine.h"
#include "gfx/GdiSections.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

using namespace gdi_internal;

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
