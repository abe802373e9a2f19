#include "app/PaletteMap.h"

#include "fw/Exception.h"
#include "gfx/Palette.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <system_error>
#include <thread>

namespace {

constexpr std::size_t kColourCount = std::size_t{1} << 24;

// A colour's place in the table: 0x00RRGGBB.
constexpr uint32_t Place(uint32_t r, uint32_t g, uint32_t b) {
    return r << 16 | g << 8 | b;
}

// Looks up colours[begin, end) and files each answer under its colour.
// False when memory or the palette fails; throws nothing, for it may run on
// a thread of its own.
bool FillIndices(HPALETTE palette, const COLORREF* colours, std::size_t count,
                 uint8_t* indices) noexcept {
    std::unique_ptr<BYTE[]> answers(new (std::nothrow) BYTE[std::max<std::size_t>(count, 1)]);
    if (!answers || !GetNearestPaletteIndices(palette, colours, count, answers.get())) return false;
    for (std::size_t i = 0; i < count; ++i) {
        const COLORREF c = colours[i];
        indices[Place(GetRValue(c), GetGValue(c), GetBValue(c))] = answers[i];
    }
    return true;
}

} // namespace

PaletteMap::PaletteMap(HPALETTE palette, const std::vector<COLORREF>& colours, int width,
                       int height)
    : m_nWidth(width), m_nHeight(height), m_stride(DibRowBytes(unsigned(width), 8)),
      m_head(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)),
      m_indices(AllocateLargeBlock(kColourCount)) {
    if (!m_indices) throw CMemoryException();
    std::memset(m_indices.get(), 0, kColourCount);
    const BITMAPINFOHEADER header{
        sizeof header, width, height, 1, 8, BI_RGB, DWORD(m_stride * std::size_t(height)), 0, 0,
        256,           0};
    std::memcpy(m_head.data(), &header, sizeof header);
    // The colour table is the palette's, unused slots black.
    PALETTEENTRY entries[256]{};
    const UINT count = GetPaletteEntries(palette, 0, 256, entries);
    if (count == 0) throw CMemoryException();
    for (UINT i = 0; i < count; ++i) {
        const RGBQUAD quad{entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
        std::memcpy(m_head.data() + sizeof header + 4 * i, &quad, sizeof quad);
    }

    // Two halves of the colours at once: there may be millions of them.
    const std::size_t half = colours.size() / 2;
    bool first = false;
    std::thread helper;
    try {
        helper = std::thread(
            [&] { first = FillIndices(palette, colours.data(), half, m_indices.get()); });
    } catch (const std::system_error&) {
        first = FillIndices(palette, colours.data(), half, m_indices.get());
    }
    const bool second =
        FillIndices(palette, colours.data() + half, colours.size() - half, m_indices.get());
    if (helper.joinable()) helper.join();
    if (!first || !second) throw CMemoryException();
}

void PaletteMap::Map(const uint8_t* pixels, uint8_t* dib) const {
    std::memcpy(dib, m_head.data(), m_head.size());
    uint8_t* rows = dib + m_head.size();
    const std::size_t width = std::size_t(m_nWidth);
    const uint8_t* const table = m_indices.get();
    // A row's places in the table first, then the lookups, one per pixel
    // without a test for runs of one colour (in frames of many colours it
    // would mostly be mispredicted): the lookups, most of them misses of the
    // processor's nearer caches, then overlap.
    uint32_t places[256];
    for (int y = 0; y < m_nHeight; ++y) {
        const uint8_t* in = pixels + std::size_t(y) * width * 4;
        uint8_t* out = rows + std::size_t(m_nHeight - 1 - y) * m_stride;
        for (std::size_t x0 = 0; x0 < width; x0 += std::size(places)) {
            const std::size_t n = std::min(width - x0, std::size(places));
            for (std::size_t x = 0; x < n; ++x, in += 4) places[x] = Place(in[2], in[1], in[0]);
            for (std::size_t x = 0; x < n; ++x) out[x0 + x] = table[places[x]];
        }
        std::fill(out + width, out + m_stride, uint8_t{0});
    }
}
