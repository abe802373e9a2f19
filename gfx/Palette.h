// Logical palettes, their selection into device contexts and realisation.
#pragma once

#include "gfx/Gdi.h"

#include <cstddef>

struct PALETTEENTRY {
    BYTE peRed;
    BYTE peGreen;
    BYTE peBlue;
    BYTE peFlags;
};

// palNumEntries entries follow the record; it declares one, as the platform does.
struct LOGPALETTE {
    WORD palVersion; // 0x300
    WORD palNumEntries;
    PALETTEENTRY palPalEntry[1];
};

// A palette of palNumEntries (1 to 65535) entries; null when the
// version is not 0x300 or the count is 0.
HPALETTE CreatePalette(const LOGPALETTE* palette);
// Index of the entry nearest to the colour (exact colours exactly; ties go to
// the lowest index). CLR_INVALID for an unknown palette.
UINT GetNearestPaletteIndex(HPALETTE palette, COLORREF colour);
// Our own: GetNearestPaletteIndex for `count` colours at once, into
// indices[0..count), with the same answers. The palette's lock is taken once,
// not per colour, so threads may ask at the same time without waiting on each
// other. FALSE, with nothing written, for an unknown palette or one of more
// than 256 entries (whose indices do not fit a byte); FALSE also when memory
// runs out on the way.
BOOL GetNearestPaletteIndices(HPALETTE palette, const COLORREF* colours, std::size_t count,
                              BYTE* indices);
UINT GetPaletteEntries(HPALETTE palette, UINT start, UINT count, PALETTEENTRY* entries);
// Selects a palette into a context; returns the one it replaces, null on failure.
HPALETTE SelectPalette(HDC dc, HPALETTE palette, BOOL forceBackground);
// Realises the context's palette: from now on GetDIBits on this context at 8
// bits and fewer takes its colour table from it. Realised in the foreground on
// a screen or window context, it becomes the screen's palette, which serves
// every context without a realised palette of its own (memory contexts
// included) until another foreground realisation replaces it or it is deleted;
// the default palette gives the screen back the stock tables. On an 8-bit
// screen it also becomes the system palette, which 8-bit device bitmaps index.
// Returns the number of entries mapped, GDI_ERROR for an unknown context.
UINT RealizePalette(HDC dc);
