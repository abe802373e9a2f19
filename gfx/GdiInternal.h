// The calls that the two halves of the graphics layer make of each other:
// device bitmaps and contexts (Gdi.cpp) and palettes (Palette.cpp). Private to
// gfx/. Colours travel between them as 0x00RRGGBB values.
#pragma once

#include "gfx/Gdi.h"

#include <cstdint>
#include <mutex>

namespace gdi_internal {

// The layer's one lock. It guards the tables of bitmaps, contexts, brushes
// and palettes, the fields of their objects that calls change (a context's
// selections, a bitmap's context, a palette's search), the stock objects, the
// palette selections and the screen's depth and palette. The functions
// declared here and in GdiObjects.h expect it held. Public calls take it to
// find their objects and let it go before they touch pixels, which are
// their caller's business (see Gdi.h).
std::mutex& LayerMutex();
using LayerGuard = std::lock_guard<std::mutex>;

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
// The 8-bit screen's palette. Its colours are read without the lock while
// bitmaps are drawn: it changes only in RealizePalette on an 8-bit screen and
// GdiSetScreenBitsPerPixel, which no thread may call while another draws.
const std::uint32_t* SystemPalette();
void ResetSystemPalette();
int NearestColour(const std::uint32_t* table, int count, std::uint32_t colour);

} // namespace gdi_internal
