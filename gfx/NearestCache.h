// A direct-mapped cache in front of the nearest-colour search: pictures have
// many pixels but seldom many distinct colours. Private to gfx/.
#pragma once

#include "gfx/GdiInternal.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

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
            m_indices[slot] = static_cast<BYTE>(NearestColour(m_pTable, m_nCount, colour));
        }
        return m_indices[slot];
    }

private:
    static constexpr int kBits = 10;
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFF; // no colour has a high byte
    const std::uint32_t* m_pTable;
    int m_nCount;
    std::uint32_t m_keys[1 << kBits];
    BYTE m_indices[1 << kBits];
};

} // namespace gdi_internal
