// CDIB's pixel addressing, block copy between images and remapping onto a
// logical palette.
#include "dib/Dib.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

namespace {

constexpr std::size_t kInfoHeaderSize = sizeof(BITMAPINFOHEADER);

// Pixel bytes of a 4- or 8-bit image through an index lookup table: each
// byte, or each of its two nibbles, becomes its entry.
void RemapIndices(BYTE* to, const BYTE* from, std::size_t count, int bits, const BYTE* lookup) {
    if (bits == 8) {
        for (std::size_t i = 0; i < count; ++i) to[i] = lookup[from[i]];
    } else {
        for (std::size_t i = 0; i < count; ++i)
            to[i] = static_cast<BYTE>(lookup[from[i] & 0x0F] | (lookup[from[i] >> 4] << 4));
    }
}

// The palette's nearest entries to the colours of one picture, remembered in
// a direct-mapped cache: a picture has many pixels but fewer colours, and
// each question to the palette costs a lock and a search. The cache grows
// with the picture (a photograph of a million pixels may hold a hundred
// thousand colours) up to 256 Ki colours, 1.25 MiB. The answers are the
// palette's own.
class NearestIndices {
public:
    NearestIndices(HPALETTE palette, std::uint64_t pixels) : m_hPalette(palette) {
        while (m_nBits < 18 && (std::uint64_t{1} << m_nBits) < pixels / 4) ++m_nBits;
        m_keys.assign(std::size_t{1} << m_nBits, kEmpty);
        m_indices.resize(m_keys.size());
    }
    BYTE Find(COLORREF colour) {
        const unsigned slot = (colour * 2654435761u) >> (32 - m_nBits);
        if (m_keys[slot] != colour) {
            m_keys[slot] = colour;
            m_indices[slot] = static_cast<BYTE>(GetNearestPaletteIndex(m_hPalette, colour));
        }
        return m_indices[slot];
    }

private:
    static constexpr COLORREF kEmpty = 0xFFFFFFFF; // no colour has a high byte
    HPALETTE m_hPalette;
    int m_nBits = 12;
    std::vector<COLORREF> m_keys;
    std::vector<BYTE> m_indices; // palettes of at most 256 entries
};

} // namespace

BYTE* CDIB::GetPixelAddress(int x, int y) {
    Layout layout;
    if (!HeldLayout(&layout)) return nullptr;
    const LONG width = m_pBMI->biWidth, height = m_pBMI->biHeight;
    if (x < 0 || y < 0 || x >= width || y >= height) return nullptr;
    std::size_t offset;
    switch (m_pBMI->biBitCount) {
    case 1:
        offset = std::size_t(x) / 8;
        break;
    case 4:
        offset = std::size_t(x) / 2;
        break;
    case 8:
        offset = std::size_t(x);
        break;
    case 16:
        offset = 2 * std::size_t(x);
        break;
    case 24:
        offset = 3 * std::size_t(x);
        break;
    default:
        return nullptr;
    }
    // Rows are stored bottom-up.
    return m_pBits + std::size_t(height - y - 1) * GetBytesPerLine() + offset;
}

RECT CDIB::GetRect() {
    return {0, 0, m_pBMI->biWidth, m_pBMI->biHeight};
}

void CDIB::CopyBlockTo(CDIB* dest, int xDest, int yDest, int nBytes, int nRows, int xSrc, int ySrc,
                       int nTransparent) {
    if (!dest || nBytes <= 0 || nRows <= 0) return;
    // Row by row from the lowest picture row, which comes first in storage;
    // rows outside either image are left out, and the bytes are cut at the
    // end of the shorter row.
    for (int r = nRows - 1; r >= 0; --r) {
        BYTE* from = GetPixelAddress(xSrc, ySrc + r);
        BYTE* to = dest->GetPixelAddress(xDest, yDest + r);
        if (!from || !to) continue;
        const std::size_t fromRowEnd = std::size_t(
            m_pBits + std::size_t(m_pBMI->biHeight - (ySrc + r)) * GetBytesPerLine() - from);
        const std::size_t toRowEnd = std::size_t(
            dest->m_pBits +
            std::size_t(dest->m_pBMI->biHeight - (yDest + r)) * dest->GetBytesPerLine() - to);
        const std::size_t n = std::min({std::size_t(nBytes), fromRowEnd, toRowEnd});
        if (nTransparent == -1) {
            std::memmove(to, from, n);
            continue;
        }
        const BYTE transparent = static_cast<BYTE>(nTransparent);
        for (std::size_t i = 0; i < n; ++i)
            if (from[i] != transparent) to[i] = from[i];
    }
}

int CDIB::FindColor(const BITMAPINFOHEADER* header, int nColors, COLORREF colour) {
    if (!header || nColors <= 0) return -1;
    const bool core = !IsInfoHeader(header);
    const BYTE* table = reinterpret_cast<const BYTE*>(header) + (core ? 12 : kInfoHeaderSize);
    const std::size_t entry = core ? 3 : 4;
    for (int i = 0; i < nColors; ++i) {
        const BYTE* e = table + std::size_t(i) * entry; // blue, green, red
        if (e[2] == GetRValue(colour) && e[1] == GetGValue(colour) && e[0] == GetBValue(colour))
            return i;
    }
    return -1;
}

BOOL CDIB::MapToPalette(CPalette* palette) {
    Layout layout;
    if (!palette || !HeldLayout(&layout)) return FALSE;
    const HPALETTE handle = *palette;
    WORD count = 0;
    if (!handle || GetObject(handle, sizeof count, &count) == 0 || count == 0) return FALSE;
    const int bits = m_pBMI->biBitCount;
    if (bits != 4 && bits != 8 && bits != 24) return FALSE;
    // Indices must fit the pixels: 16 entries for 4 bits, 256 otherwise.
    if (count > (bits == 4 ? 16 : 256)) return FALSE;
    // Compressed pixels are codes, not indices: remapping their bytes would
    // garble them.
    if (m_pBMI->biCompression != BI_RGB) return FALSE;

    std::vector<PALETTEENTRY> entries(count);
    if (GetPaletteEntries(handle, 0, count, entries.data()) != count) return FALSE;
    // The colour-table entries the block holds before the pixels.
    const std::size_t held = (layout.pixelOffset - kInfoHeaderSize) / 4;
    auto* table = reinterpret_cast<RGBQUAD*>(reinterpret_cast<BYTE*>(m_pBMI) + kInfoHeaderSize);

    if (bits == 24) {
        std::optional<NearestIndices> nearest;
        try {
            nearest.emplace(handle, std::uint64_t(m_pBMI->biWidth) * m_pBMI->biHeight);
        } catch (const std::bad_alloc&) {
            return FALSE; // nothing changed yet
        }
        const LONG width = m_pBMI->biWidth;
        for (LONG y = 0; y < m_pBMI->biHeight; ++y) {
            BYTE* p = GetPixelAddress(0, y);
            for (LONG x = 0; x < width; ++x, p += 3) {
                const PALETTEENTRY& e = entries[nearest->Find(RGB(p[2], p[1], p[0]))];
                p[0] = e.peBlue;
                p[1] = e.peGreen;
                p[2] = e.peRed;
            }
        }
    } else {
        // Indices past the table show black.
        BYTE lookup[256];
        for (std::size_t i = 0; i < 256; ++i) {
            const RGBQUAD c = i < held ? table[i] : RGBQUAD{0, 0, 0, 0};
            lookup[i] = static_cast<BYTE>(
                GetNearestPaletteIndex(handle, RGB(c.rgbRed, c.rgbGreen, c.rgbBlue)));
        }
        if (held < count) {
            // The pixels may now point at any entry of the palette, and the
            // block has no room for them all before its pixels: the image is
            // made anew, as Create makes one, with the palette as its colour
            // table. Until it stands, this image stays as it was.
            struct {
                BITMAPINFOHEADER header;
                RGBQUAD colours[256];
            } format{};
            format.header = *m_pBMI;
            format.header.biClrUsed = count;
            for (std::size_t i = 0; i < count; ++i)
                format.colours[i] = {entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
            CDIB mapped;
            if (!mapped.Create(m_pBMI->biWidth, m_pBMI->biHeight, &format.header, RGB(0, 0, 0)) ||
                mapped.GetPixelBytes() != layout.pixelBytes)
                return FALSE;
            RemapIndices(mapped.m_pBits, m_pBits, layout.pixelBytes, bits, lookup);
            TakeImageOf(mapped);
            return TRUE;
        }
        RemapIndices(m_pBits, m_pBits, layout.pixelBytes, bits, lookup);
    }

    // The table the block holds takes the palette's colours, as far as they
    // go (at 24 bits the pixels are colours, and a shorter table lists only
    // some of them); the entries after them are cleared.
    const std::size_t rewritten = std::min<std::size_t>(held, count);
    for (std::size_t i = 0; i < held; ++i) {
        table[i] = i < rewritten
                       ? RGBQUAD{entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0}
                       : RGBQUAD{0, 0, 0, 0};
    }
    m_pBMI->biClrUsed = static_cast<DWORD>(rewritten);
    MakePalette(static_cast<int>(rewritten), &m_Palette);
    return TRUE;
}
