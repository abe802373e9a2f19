// CPalette: the framework's owner of one logical palette.
#pragma once

#include "fw/GdiObject.h"
#include "gfx/Palette.h"

class CPalette : public CGdiObject {
public:
    BOOL CreatePalette(const LOGPALETTE* palette) { return Attach(::CreatePalette(palette)); }
    operator HPALETTE() const { return static_cast<HPALETTE>(m_hObject); }
    UINT GetNearestPaletteIndex(COLORREF colour) const {
        return ::GetNearestPaletteIndex(static_cast<HPALETTE>(m_hObject), colour);
    }
    int GetEntryCount() const {
        WORD count = 0;
        return m_hObject && ::GetObject(m_hObject, sizeof count, &count) ? count : 0;
    }
};
