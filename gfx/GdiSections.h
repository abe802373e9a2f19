// DIB sections: bitmaps whose pixels are a packed DIB that the caller reads
// and writes (CreateDIBSection in Gdi.h). Private to gfx/.
#pragma once

#include "gfx/GdiObjects.h"

namespace gdi_internal {

// The rows of a 1- or 4-bit section into its bitmap, and back.
void LoadSection(BitmapObject& bitmap);
void StoreSection(BitmapObject& bitmap);

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

} // namespace gdi_internal
