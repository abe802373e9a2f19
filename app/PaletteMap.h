// The reduction of a picture's frames to an RLE8 video's palette. Each colour
// the frames show is looked up once (GetNearestPaletteIndices, whose answers
// are those of an 8-bit capture on a context where the palette is realised),
// and a frame then takes one lookup per pixel. WebP and PNG frames can hold a
// hundred thousand colours each, which a capture's cache of recent answers
// keeps missing.
#pragma once

#include "app/LargeBlock.h"
#include "gfx/Gdi.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class PaletteMap {
public:
    // For frames of width x height pixels (both positive) whose colours
    // (0x00BBGGRR) are all among `colours`, reduced to `palette` (at most 256
    // entries). Throws CMemoryException when memory or the palette fails.
    PaletteMap(HPALETTE palette, const std::vector<COLORREF>& colours, int width, int height);

    // The bytes of one reduced frame: its header, 256 colours, its rows.
    std::size_t DibBytes() const { return m_head.size() + m_stride * std::size_t(m_nHeight); }
    // Writes the frame of `pixels` (rows from the top; blue, green, red,
    // unused) into `dib` (DibBytes() of them) as a packed 8-bit DIB with rows
    // from the bottom, as the writer takes it. May be called from several
    // threads at once.
    void Map(const uint8_t* pixels, uint8_t* dib) const;

private:
    int m_nWidth, m_nHeight;
    std::size_t m_stride;
    std::vector<uint8_t> m_head; // header and colour table
    LargeBlock m_indices;        // an answer for each 24-bit colour, 16 MiB
};
