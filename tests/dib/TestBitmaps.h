// Identifiers of the bitmap resources that dib_tests carries in place of the
// program's own (tests/dib/CMakeLists.txt packs them; data/README.md says how
// each image was made).
#pragma once

#include "res/Resource.h"

// BI_RGB images whose header leaves biSizeImage 0, as BMP writers may.
constexpr UINT IDB_NO_SIZE_24 = 200; // data/no-size-24.bmp, 5 x 3
constexpr UINT IDB_NO_SIZE_1 = 201;  // data/no-size-1.bmp, 20 x 6
