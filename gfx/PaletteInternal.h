// What the rest of the graphics layer asks of palettes (Palette.cpp): the
// stock palette, deletion and records of palette handles, and the palettes
// selected into contexts. Private to gfx/. Every call expects the layer's
// lock held (see GdiObjects.h). Colours are 0x00RRGGBB values.
#pragma once

#include "gfx/Gdi.h"

#include <cstdint>

namespace gdi_internal {

HPALETTE StockPalette();
// DeleteObject and GetObject of a palette handle: FALSE or 0 for other handles.
BOOL DeletePalette(HGDIOBJ object);
int GetPaletteObject(HGDIOBJ object, int bufferSize, LPVOID buffer);
long LivePaletteCount();
// Drops the palette selection of a context that is deleted or released.
void ForgetContext(HDC dc);
// The colours GetDIBits maps into for `dc`: its realised palette, else the
// screen's; 0 when neither (the stock tables serve).
int RealisedColours(HDC dc, std::uint32_t* colours, int maxColours);

} // namespace gdi_internal
