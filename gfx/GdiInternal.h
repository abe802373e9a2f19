// The calls that the two halves of the graphics layer make of each other:
// device bitmaps and contexts (Gdi.cpp) and palettes (Palette.cpp). Private to
// gfx/. Colours travel between them as 0x00RRGGBB values.
#pragma once

#include "gfx/Gdi.h"

#include <cstdint>

namespace gdi_internal {

// In Gdi.cpp: the depth of a live context (0 for an unknown handle).
int ContextDepth(HDC dc, bool* isMemory);

// In Palette.cpp.
HPALETTE StockPalette();
BOOL DeletePalette(HGDIOBJ object);
int GetPaletteObject(HGDIOBJ object, int bufferSize, LPVOID buffer);
long LivePaletteCount();
void ForgetContext(HDC dc);
// The colours GetDIBits maps into for `dc`: its realised palette, else the
// screen's; 0 when neither (the stock tables serve).
int RealisedColours(HDC dc, std::uint32_t* colours, int maxColours);
const std::uint32_t* SystemPalette();
void ResetSystemPalette();
int NearestColour(const std::uint32_t* table, int count, std::uint32_t colour);

} // namespace gdi_internal
