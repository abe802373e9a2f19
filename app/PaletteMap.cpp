#include "app/PaletteMap.h"

#include "fw/Exception.h"
#include "gfx/Palette.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include <sys/mman.h>

namespace {

constexpr std::size_t kColourCount = std::size_t{1} << 24;

// The table is laid out by the colours' bits interleaved (red, green, blue,
// from the top bit down): colours close in all three levels lie close in
// memory, so the lookups of a frame's pixels, whose colours wander a little
// from pixel to pixel, mostly hit the same few cache lines. By red, green and
// blue in turn a step in red would be 64 KiB away.
struct Interleave {
    uint32_t spread[256]; // bit k of a level at bit 3k
    constexpr Interleave() : spread() {
        for (uint32_t v = 0; v < 256; ++v)
            for (int k = 0; k < 8; ++k) spread[v] |= ((v >> k) & 1u) << (3 * k);
    }
    uint32_t operator()(uint32_t r, uint32_t g, uint32_t b) const {
        return spread[r] << 2 | spread[g] << 1 | spread[b];
    }
};
constexpr Interleave kInterleave;

// Looks up colours[begin, end) and files each answer under its colour.
// False when memory or the palette fails; throws nothing, for it may run on
// a thread of its own.
bool FillIndices(HPALETTE palette, const COLORREF* colours, std::size_t count,
                 uint8_t* indices) noexcept {
    std::unique_ptr<BYTE[]> answers(new (std::nothrow) BYTE[std::max<std::size_t>(count, 1)]);
    if (!answers || !GetNearestPaletteIndices(palette, colours, count, answers.get())) return false;
    for (std::size_t i = 0; i < count; ++i) {
        const COLORREF c = colours[i];
        indices[kInterleave(GetRValue(c), GetGValue(c), GetBValue(c))] = answers[i];
    }
    return true;
}

} // namespace

PaletteMap::Table::Table() {
    // In pages of 2 MiB where the system allows it: frames' lookups spread
    // over the whole table and would otherwise miss the address cache.
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    void* table = std::aligned_alloc(kHugePage, kColourCount);
    if (!table) throw CMemoryException();
    madvise(table, kColourCount, MADV_HUGEPAGE);
    std::memset(table, 0, kColourCount);
    bytes = static_cast<uint8_t*>(table);
}

PaletteMap::Table::~Table() {
    std::free(bytes);
}

PaletteMap::PaletteMap(HPALETTE palette, const std::vector<COLORREF>& colours, int width,
                       int height)
    : m_nWidth(width), m_nHeight(height), m_stride(DibRowBytes(unsigned(width), 8)),
      m_head(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)), m_indices(Table()) {
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
            [&] { first = FillIndices(palette, colours.data(), half, m_indices.bytes); });
    } catch (const std::system_error&) {
        first = FillIndices(palette, colours.data(), half, m_indices.bytes);
    }
    const bool second =
        FillIndices(palette, colours.data() + half, colours.size() - half, m_indices.bytes);
    if (helper.joinable()) helper.join();
    if (!first || !second) throw CMemoryException();
}

void PaletteMap::Map(const uint8_t* pixels, uint8_t* dib) const {
    std::memcpy(dib, m_head.data(), m_head.size());
    uint8_t* rows = dib + m_head.size();
    const std::size_t width = std::size_t(m_nWidth);
    for (int y = 0; y < m_nHeight; ++y) {
        const uint8_t* in = pixels + std::size_t(y) * width * 4;
        uint8_t* out = rows + std::size_t(m_nHeight - 1 - y) * m_stride;
        // One lookup per pixel, without a test for runs of one colour: in
        // frames of many colours it would mostly be mispredicted, and the
        // lookups of neighbouring pixels overlap.
        for (std::size_t x = 0; x < width; ++x, in += 4)
            out[x] = m_indices.bytes[kInterleave(in[2], in[1], in[0])];
        std::fill(out + width, out + m_stride, uint8_t{0});
    }
}
