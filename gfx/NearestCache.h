// A direct-mapped cache in front of the nearest-colour search: pictures have
// many pixels but seldom many distinct colours. Those that have many (a
// photograph's, a WebP or PNG frame's) miss it often, and after kSearchAfter
// misses the search by cells (PaletteSearch) answers them instead of
// measuring every entry, with the same answers. Private to gfx/.
#pragma once

#include "gfx/PaletteSearch.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>

namespace gdi_internal {

class NearestCache {
public:
    // `table` (0x00RRGGBB colours) must outlive the cache.
    NearestCache(const std::uint32_t* table, int count) : m_pTable(table), m_nCount(count) {
        std::fill(std::begin(m_keys), std::end(m_keys), kEmpty);
    }
    BYTE Find(std::uint32_t colour) {
        const unsigned slot = (colour * 2654435761u) >> (32 - kBits);
        if (m_keys[slot] != colour) {
            m_keys[slot] = colour;
            m_indices[slot] = static_cast<BYTE>(Search(colour));
        }
        return m_indices[slot];
    }

private:
    static constexpr int kSearchAfter = 1024;
    int Search(std::uint32_t colour) {
        if (m_search) return m_search->Find(colour);
        if (m_nCount < 1 || ++m_nMisses < kSearchAfter)
            return NearestColour(m_pTable, m_nCount, colour);
        m_search.emplace(m_pTable, m_nCount);
        return m_search->Find(colour);
    }

    static constexpr int kBits = 12;                    // 256 colours rarely collide
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFF; // no colour has a high byte
    const std::uint32_t* m_pTable;
    int m_nCount;
    std::uint32_t m_keys[1 << kBits];
    BYTE m_indices[1 << kBits];
    int m_nMisses = 0;
    std::optional<PaletteSearch> m_search;
};

// A cache kept across the calls of one thread that map to the same table
// time after time (the frames of one video): its answers stay while the table
// does. Tables of at most 256 colours.
class TableCache {
public:
    NearestCache& For(const std::uint32_t* table, int count) {
        if (count != m_nCount || !std::equal(table, table + count, m_table)) {
            m_nCount = std::min(count, 256);
            std::copy_n(table, m_nCount, m_table);
            m_cache.emplace(m_table, m_nCount);
        }
        return *m_cache;
    }

private:
    std::uint32_t m_table[256];
    int m_nCount = -1;
    std::optional<NearestCache> m_cache;
};

} // namespace gdi_internal
