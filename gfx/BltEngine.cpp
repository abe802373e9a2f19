#include "gfx/BltEngine.h"

#include <cstdint>
#include <cstring>

namespace gdi_internal {

namespace {

// The bitmap a memory context draws into; null for other contexts and for the
// shared stock bitmap, which writing would change for every new context.
BitmapObject* TargetOf(const ContextObject* context) {
    if (!context || !context->memory) return nullptr;
    BitmapObject* target = FindBitmap(context->bitmap);
    return target && !target->stock ? target : nullptr;
}

} // namespace

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

BitmapObject* FindTarget(HDC dc, COLORREF* brush) {
    const LayerGuard guard(LayerMutex());
    const ContextObject* context = FindContext(dc);
    BitmapObject* target = TargetOf(context);
    if (target) *brush = BrushColour(*context);
    return target;
}

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

} // namespace gdi_internal
