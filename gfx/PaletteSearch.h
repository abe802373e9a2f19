// The nearest entry of a palette to a colour: the full search, and for many
// queries of many different colours (remapping a 24-bit picture asks once per
// pixel) a search of palettes of up to 256 colours by cells. Private to gfx/.
// Colours are 0x00RRGGBB values.
#pragma once

#include <cstdint>
#include <vector>

namespace gdi_internal {

// The index of the entry of `table` nearest to `colour` in squared distance,
// measuring every entry (exact colours exactly; ties go to the lowest index).
int NearestColour(const std::uint32_t* table, int count, std::uint32_t colour);

// The colour cube is cut into 32 x 32 x 32 cells; for each cell, on first use,
// the entries that can be nearest to some colour in it are listed (an entry
// whose least possible distance to the cell passes the smallest greatest
// distance of any entry cannot be), so a query measures only those. Answers
// are those of the full search: the nearest entry, the lowest index on a tie.
class PaletteSearch {
public:
    // `table` (0x00RRGGBB colours, 1 to 256 of them) must outlive the search.
    PaletteSearch(const std::uint32_t* table, int count);
    int Find(std::uint32_t colour);

private:
    static constexpr std::uint32_t kUnlisted = 0xFFFFFFFF;
    std::uint32_t ListCell(unsigned cell);

    const std::uint32_t* m_pTable;
    int m_nCount;
    std::vector<std::uint32_t> m_cells; // per cell: list offset << 9 | length
    std::vector<std::uint8_t> m_lists;
};

} // namespace gdi_internal
