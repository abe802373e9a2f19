// Ternary raster operations: how a drawing call combines the pattern (the
// brush selected into the destination context), the source pixels and the
// destination pixels. The code's byte in bits 16 to 23 is the truth table of
// the operation: bit (P << 2 | S << 1 | D) of it is the result for pattern
// bit P, source bit S and destination bit D. The operation applies to every
// bit of the device pixel values independently, as on the platform: to the
// indices of palette formats and to the colour bits of direct ones.
#pragma once

#include "platform/WinTypes.h"

#include <cstdint>

namespace gdi_internal {

constexpr unsigned RopTable(DWORD rop) {
    return (rop >> 16) & 0xFF;
}

// The result of the operation, bit by bit.
constexpr std::uint32_t ApplyRop(unsigned table, std::uint32_t p, std::uint32_t s,
                                 std::uint32_t d) {
    std::uint32_t result = 0;
    for (unsigned i = 0; i < 8; ++i) {
        if (!((table >> i) & 1)) continue;
        result |= ((i & 4) ? p : ~p) & ((i & 2) ? s : ~s) & ((i & 1) ? d : ~d);
    }
    return result;
}

// Whether the result depends on the source, on the pattern.
constexpr bool RopUsesSource(unsigned table) {
    return ((table >> 2) & 0x33) != (table & 0x33);
}
constexpr bool RopUsesPattern(unsigned table) {
    return ((table >> 4) & 0x0F) != (table & 0x0F);
}

static_assert(ApplyRop(0xCC, 0, 0xAB, 0x12) == 0xAB);         // SRCCOPY
static_assert(ApplyRop(0x55, 0, 0, 0x0F) == 0xFFFFFFF0);      // DSTINVERT
static_assert(RopUsesSource(0xCC) && !RopUsesSource(0xF0));   // PATCOPY needs no source
static_assert(RopUsesPattern(0xF0) && !RopUsesPattern(0x66)); // SRCINVERT needs no pattern

} // namespace gdi_internal
