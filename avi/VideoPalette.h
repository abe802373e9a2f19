// One palette for a whole RLE8 video. An 8-bit AVI stream has one colour table
// from its first frame to its last, so the table is made before the first
// frame from every colour the frames can show, and realised on the screen so
// that each frame's 8-bit capture maps into it.
#pragma once

#include "gfx/Gdi.h"
#include "gfx/Palette.h"

#include <utility>
#include <vector>

// A palette of at most 256 entries for the given colours (0x00BBGGRR; order
// and repeats do not matter). Up to 256 distinct colours are kept exactly;
// more are reduced by median cut, each box of colours becoming its mean. Null
// when there are no colours or the palette cannot be made.
HPALETTE CreateVideoPalette(std::vector<COLORREF> colours);

// The video palette of one conversion, realised in the foreground on a screen
// or window context from Realize until the object goes, when the default
// palette is put back (and realised) and the palette deleted. While realised,
// BitmapToDIB maps frames into it. A CDIB capture realises the default
// palette and so ends its service: call Realize again after one.
class CVideoPalette {
public:
    explicit CVideoPalette(std::vector<COLORREF> colours)
        : m_hPalette(CreateVideoPalette(std::move(colours))) {}
    ~CVideoPalette();
    CVideoPalette(const CVideoPalette&) = delete;
    CVideoPalette& operator=(const CVideoPalette&) = delete;

    // FALSE when there is no palette or the context is unknown.
    BOOL Realize(HDC dc);
    HPALETTE GetSafeHandle() const { return m_hPalette; }

private:
    HPALETTE m_hPalette;
    HDC m_hDC = nullptr;
};
