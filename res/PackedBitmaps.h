// The table of packed DIBs that res/PackBitmaps.cmake generates from the
// images in res/ at build time. Read through the resource calls of
// res/Resources.h, not directly.
#pragma once

#include "platform/WinTypes.h"

#include <span>

struct PackedBitmap {
    UINT id;
    const BYTE* bytes; // BITMAPINFOHEADER, colour table, pixels
    DWORD size;
};

// Every bitmap resource, in the order res/CMakeLists.txt lists them.
std::span<const PackedBitmap> PackedBitmaps();

// What the generated table asserts at compile time: identifiers that
// MAKEINTRESOURCE can carry (1 to 0xFFFF; 0 would be a null name), each once.
constexpr bool PackedBitmapIdsAreValid(std::span<const PackedBitmap> table) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].id == 0 || table[i].id > 0xFFFF) return false;
        for (std::size_t j = 0; j < i; ++j)
            if (table[j].id == table[i].id) return false;
    }
    return true;
}
