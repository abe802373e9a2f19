# Packs BMP files into the program's table of bitmap resources.
#
#   cmake -DBITMAPS="IDB_ONE=/path/one.bmp;IDB_TWO=/path/two.bmp" \
#         -DOUTPUT=/path/PackedBitmaps.cpp [-DIDS=res/Resource.h] -P PackBitmaps.cmake
#
# Writes a C++ source that defines PackedBitmaps() (res/PackedBitmaps.h): for
# each file, under its identifier from IDS (res/Resource.h), the packed DIB, which
# is the file without its 14-byte BITMAPFILEHEADER: BITMAPINFOHEADER, colour
# table, pixels. That is only one block when the pixels follow the colour
# table directly, so every file is checked first and the build stops with the
# file's name and its fault when one does not hold:
#   - "BM", then a file size (bfSize) equal to the file's length;
#   - a 40-byte BITMAPINFOHEADER (not the 12-byte core header, nor the larger
#     later ones), one plane, 1, 4, 8, 16, 24 or 32 bits per pixel, BI_RGB;
#   - a width of 1 to 65535 and a height of 1 to 65535 either way (negative
#     heights run top-down);
#   - a colour table of biClrUsed entries, or of 2, 16 or 256 when that is 0
#     at 1, 4 or 8 bits (none above 8 bits), and no more than 2^bits entries;
#   - bfOffBits just past that table, biSizeImage 0 or the pixels' size, and
#     the file ending with the last row: rows of whole 32-bit words.

if(NOT BITMAPS OR NOT OUTPUT)
    message(FATAL_ERROR "PackBitmaps.cmake needs -DBITMAPS=ID=file;... and -DOUTPUT=file")
endif()
if(NOT IDS)
    set(IDS "res/Resource.h")
endif()

# The little-endian unsigned integer of `size` bytes at byte `offset` of hex.
function(read_le hex offset size out)
    set(digits "")
    math(EXPR last "${size} - 1")
    foreach(i RANGE ${last})
        math(EXPR at "(${offset} + ${i}) * 2")
        string(SUBSTRING "${hex}" ${at} 2 byte)
        string(PREPEND digits "${byte}")
    endforeach()
    math(EXPR value "0x${digits}")
    set(${out} ${value} PARENT_SCOPE)
endfunction()

set(definitions "")
set(entries "")
set(index 0)
foreach(pair IN LISTS BITMAPS)
    if(NOT pair MATCHES "^([A-Za-z_][A-Za-z0-9_]*)=(.+)$")
        message(FATAL_ERROR "bitmap resource \"${pair}\": expected IDENTIFIER=file")
    endif()
    set(id "${CMAKE_MATCH_1}")
    set(file "${CMAKE_MATCH_2}")
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "bitmap resource ${id}: ${file} does not exist")
    endif()
    file(READ "${file}" hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR length "${digits} / 2")
    set(where "bitmap resource ${id}, ${file}")

    if(length LESS 54)
        message(FATAL_ERROR "${where}: ${length} bytes, too short for the BMP headers")
    endif()
    string(SUBSTRING "${hex}" 0 4 magic)
    if(NOT magic STREQUAL "424d")
        message(FATAL_ERROR "${where}: not a BMP file (it does not start with \"BM\")")
    endif()
    read_le("${hex}" 2 4 bfSize)
    read_le("${hex}" 10 4 bfOffBits)
    read_le("${hex}" 14 4 biSize)
    read_le("${hex}" 18 4 width)
    read_le("${hex}" 22 4 height)
    read_le("${hex}" 26 2 planes)
    read_le("${hex}" 28 2 bits)
    read_le("${hex}" 30 4 compression)
    read_le("${hex}" 34 4 biSizeImage)
    read_le("${hex}" 46 4 colours)

    if(NOT bfSize EQUAL length)
        message(FATAL_ERROR "${where}: bfSize says ${bfSize} bytes, the file has ${length}")
    endif()
    if(NOT biSize EQUAL 40)
        message(FATAL_ERROR "${where}: header size ${biSize}, only the 40-byte "
                            "BITMAPINFOHEADER can be packed")
    endif()
    if(NOT planes EQUAL 1)
        message(FATAL_ERROR "${where}: ${planes} planes, not 1")
    endif()
    if(NOT bits MATCHES "^(1|4|8|16|24|32)$")
        message(FATAL_ERROR "${where}: ${bits} bits per pixel, not 1, 4, 8, 16, 24 or 32")
    endif()
    if(NOT compression EQUAL 0)
        message(FATAL_ERROR "${where}: compression ${compression}, only BI_RGB (0) can be packed")
    endif()
    if(height GREATER 2147483647)
        math(EXPR height "${height} - 4294967296")
    endif()
    if(height LESS 0)
        math(EXPR rows "-(${height})")
    else()
        set(rows ${height})
    endif()
    if(width LESS 1 OR width GREATER 65535 OR rows LESS 1 OR rows GREATER 65535)
        message(FATAL_ERROR "${where}: ${width} x ${height} pixels, "
                            "each side must be 1 to 65535")
    endif()

    if(bits GREATER 8)
        set(tableEntries ${colours})
    else()
        math(EXPR fullTable "1 << ${bits}")
        if(colours GREATER fullTable)
            message(FATAL_ERROR "${where}: biClrUsed ${colours}, but ${bits}-bit pixels "
                                "index only ${fullTable} colours")
        endif()
        if(colours EQUAL 0)
            set(tableEntries ${fullTable})
        else()
            set(tableEntries ${colours})
        endif()
    endif()
    math(EXPR pixelsAt "14 + 40 + 4 * ${tableEntries}")
    if(NOT bfOffBits EQUAL pixelsAt)
        message(FATAL_ERROR "${where}: bfOffBits ${bfOffBits}, but the pixels must follow "
                            "the ${tableEntries}-entry colour table at ${pixelsAt}")
    endif()
    math(EXPR pixelBytes "(${width} * ${bits} + 31) / 32 * 4 * ${rows}")
    math(EXPR expected "${pixelsAt} + ${pixelBytes}")
    if(NOT length EQUAL expected)
        message(FATAL_ERROR "${where}: ${length} bytes, but the pixels (${width} x ${height}, "
                            "${bits}-bit) end the file at ${expected}")
    endif()
    if(NOT biSizeImage EQUAL 0 AND NOT biSizeImage EQUAL pixelBytes)
        message(FATAL_ERROR "${where}: biSizeImage ${biSizeImage}, the pixels take ${pixelBytes}")
    endif()

    # The packed DIB as an array initialiser, 16 bytes a line.
    string(SUBSTRING "${hex}" 28 -1 packed)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," packed "${packed}")
    string(REPEAT "0x..," 16 line) # CMake's expressions have no {16}
    string(REGEX REPLACE "(${line})" "\\1\n    " packed "${packed}")
    string(REPLACE ",0x" ", 0x" packed "${packed}")
    string(STRIP "${packed}" packed)
    math(EXPR packedBytes "${length} - 14")
    get_filename_component(name "${file}" NAME)
    string(APPEND definitions
        "// ${id}: ${name}, ${width} x ${height} pixels, ${bits} bits, ${packedBytes} bytes\n"
        "constexpr BYTE kBitmap${index}[] = {\n    ${packed}\n};\n\n")
    string(APPEND entries "    {${id}, kBitmap${index}, sizeof kBitmap${index}},\n")
    math(EXPR index "${index} + 1")
endforeach()

file(WRITE "${OUTPUT}"
    "// Generated by res/PackBitmaps.cmake from a list of images: do not edit.\n"
    "#include \"res/PackedBitmaps.h\"\n"
    "#include \"${IDS}\"\n\n"
    "namespace {\n\n"
    "${definitions}"
    "constexpr PackedBitmap kTable[] = {\n${entries}};\n"
    "static_assert(PackedBitmapIdsAreValid(kTable),\n"
    "              \"bitmap identifiers must be 1 to 0xFFFF, each used once\");\n\n"
    "} // namespace\n\n"
    "std::span<const PackedBitmap> PackedBitmaps() {\n"
    "    return kTable;\n"
    "}\n")
