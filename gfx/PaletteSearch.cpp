#include "gfx/PaletteSearch.h"

#include <algorithm>
#include <climits>

namespace gdi_internal {

namespace {

constexpr int kCellBits = 5;
constexpr int kCellSize = 1 << (8 - kCellBits);

int Channel(std::uint32_t colour, int shift) {
    return int((colour >> shift) & 0xFF);
}

} // namespace

int NearestColour(const std::uint32_t* table, int count, std::uint32_t colour) {
    const int r = (colour >> 16) & 0xFF, g = (colour >> 8) & 0xFF, b = colour & 0xFF;
    int best = 0;
    unsigned bestDistance = UINT_MAX;
    for (int i = 0; i < count; ++i) {
        const int dr = r - int((table[i] >> 16) & 0xFF);
        const int dg = g - int((table[i] >> 8) & 0xFF);
        const int db = b - int(table[i] & 0xFF);
        const unsigned distance = unsigned(dr * dr + dg * dg + db * db);
        // Strictly nearer only: ties stay with the lowest index.
        if (distance < bestDistance) {
            best = i;
            bestDistance = distance;
            if (distance == 0) break;
        }
    }
    return best;
}

PaletteSearch::PaletteSearch(const std::uint32_t* table, int count)
    : m_pTable(table), m_nCount(std::clamp(count, 1, 256)),
      m_cells(std::size_t{1} << (3 * kCellBits), kUnlisted) {}

std::uint32_t PaletteSearch::ListCell(unsigned cell) {
    int low[3], high[3];
    for (int c = 0; c < 3; ++c) {
        low[c] = int((cell >> (kCellBits * (2 - c))) & ((1 << kCellBits) - 1)) * kCellSize;
        high[c] = low[c] + kCellSize - 1;
    }
    // Least and greatest squared distance from each entry to the cell.
    unsigned least[256], bound = UINT_MAX;
    for (int i = 0; i < m_nCount; ++i) {
        unsigned nearest = 0, farthest = 0;
        for (int c = 0; c < 3; ++c) {
            const int v = Channel(m_pTable[i], 16 - 8 * c);
            const int in = v < low[c] ? low[c] - v : v > high[c] ? v - high[c] : 0;
            const int out = std::max(v - low[c], high[c] - v);
            nearest += unsigned(in * in);
            farthest += unsigned(out * out);
        }
        least[i] = nearest;
        bound = std::min(bound, farthest);
    }
    const std::size_t offset = m_lists.size();
    for (int i = 0; i < m_nCount; ++i)
        if (least[i] <= bound) m_lists.push_back(static_cast<std::uint8_t>(i));
    const std::uint32_t entry = std::uint32_t(offset) << 9 | std::uint32_t(m_lists.size() - offset);
    m_cells[cell] = entry;
    return entry;
}

int PaletteSearch::Find(std::uint32_t colour) {
    const int r = Channel(colour, 16), g = Channel(colour, 8), b = Channel(colour, 0);
    const unsigned cell = unsigned(r >> (8 - kCellBits)) << (2 * kCellBits) |
                          unsigned(g >> (8 - kCellBits)) << kCellBits |
                          unsigned(b >> (8 - kCellBits));
    std::uint32_t entry = m_cells[cell];
    if (entry == kUnlisted) entry = ListCell(cell);
    const std::uint8_t* list = m_lists.data() + (entry >> 9);
    const unsigned length = entry & 0x1FF;
    int best = list[0];
    unsigned bestDistance = UINT_MAX;
    // In index order, strictly nearer only: ties stay with the lowest index.
    for (unsigned k = 0; k < length; ++k) {
        const std::uint32_t e = m_pTable[list[k]];
        const int dr = r - Channel(e, 16), dg = g - Channel(e, 8), db = b - Channel(e, 0);
        const unsigned distance = unsigned(dr * dr + dg * dg + db * db);
        if (distance < bestDistance) {
            best = list[k];
            bestDistance = distance;
        }
    }
    return best;
}

} // namespace gdi_internal
