#include "gfx/BltEngine.h"

#include <algorithm>

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

} // namespace gdi_internal
