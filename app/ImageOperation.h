// One image operation of tessaly-image as given on its command line
// (--crop 0,0,8,8), and its values once parsed: every value is checked
// before any file is read.
#pragma once

#include "app/CommandLine.h"
#include "gfx/Gdi.h"

#include <string>
#include <vector>

struct ImageOperation {
    std::string name, value;
    int n[4] = {};          // its whole numbers
    bool rectangle = false; // --fill: a rectangle was given
    DWORD rop = 0;          // --rop: the raster operation; --fill: BLACKNESS or WHITENESS
    COLORREF colour = RGB(255, 255, 255); // --rotate: the background
    std::string file;                     // --map-palette and --rop: the other image

    // Parses the value; what was expected when it has the wrong form or lies
    // outside its range. Nothing here depends on the image.
    std::string Parse();

    // The operations as options of the command line, each with its value.
    static std::vector<CommandLine::Option> Options();
};
