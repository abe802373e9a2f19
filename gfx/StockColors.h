// The stock colour tables, in RGBQUAD order (blue, green, red, 0): black and
// white for 1 bit, the 16 standard colours for 4 bits, and the 256-entry table
// for 8 bits (the 20 static system colours at both ends, a grey ramp, the
// 00/33/66/99/CC/FF colour cube and red, green and blue ramps).
#pragma once

#include "gfx/Gdi.h"

extern const RGBQUAD kStockColors2[2];
extern const RGBQUAD kStockColors16[16];
extern const RGBQUAD kStockColors256[256];

// The stock table of 2, 16 or 256 entries; null for other counts.
const RGBQUAD* StockColorTable(int colours);
