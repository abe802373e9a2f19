// giflib as an independent reference decoder for tests and benchmarks: reads a
// whole GIF with DGifSlurp and maps every image's colour indices to RGB, so its
// images can be compared pixel for pixel with the frame bitmaps of CGifDecoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gifref {

// One image as giflib decoded it: its placement on the logical screen and its
// pixels as 0x00RRGGBB, top row first, width x height of them. Indices are
// mapped through the image's local colour table, else the global one; an
// index that the table does not have (or no table at all) gives black, as an
// unfilled slot of CGifDecoder's 256-entry table does.
struct Image {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool interlaced = false;
    bool localTable = false;
    std::vector<std::uint32_t> rgb;
};

// An extension as giflib met it: its label, the size of its first data
// sub-block and the number of sub-blocks, in file order, with the number of images before it.
// giflib keeps no record of an extension without data sub-blocks, so those are missing here.
struct Extension {
    int label = 0;
    int firstBlockSize = 0;
    int blocks = 0; // data sub-blocks
    int imagesBefore = 0;
};

struct Gif {
    bool ok = false; // DGifSlurp read the whole file up to its trailer
    int error = 0;   // giflib's error code when !ok
    int screenWidth = 0;
    int screenHeight = 0;
    // Every image when ok; after a failure, the images that giflib read whole
    // before the one it was reading (or the block after it) when it failed.
    std::vector<Image> images;
    std::vector<Extension> extensions; // up to the failure
};

// Reads the file with DGifOpenFileName + DGifSlurp. giflib 5.1 and later
// de-interlace in DGifSlurp: the rasters it keeps are in natural row order.
Gif DecodeWithGiflib(const std::string& path);

// How many of giflib's images CGifDecoder must reproduce, as far as the two
// readers take the same road through the file. CGifDecoder's reader
//   - stops at an extension label other than 0x01, 0xF9, 0xFE and 0xFF, where
//     giflib skips any extension by its sub-blocks;
//   - passes the graphic control (0xF9), plain text (0x01) and application
//     (0xFF) extensions by their standard sizes (4, 12, 11 bytes) without
//     reading their size bytes, and takes the graphic control extension to
//     end after its one sub-block, so after one of another shape it reads on
//     from wherever that leaves it.
// `images` is the number of leading images both must give alike; with
// `exactCount` CGifDecoder must stop right after them, otherwise it may go on.
struct Comparable {
    std::size_t images = 0;
    bool exactCount = true;
    std::string reason; // why not all of giflib's images, or empty
};
Comparable ComparableImages(const Gif& gif);

// Describes where two pixel grids of the given width differ: the number of
// differing pixels and the first of them (column, row, both colours). Empty
// when they are equal.
std::string DescribeDifference(const std::vector<std::uint32_t>& expected,
                               const std::vector<std::uint32_t>& actual, int width);

// Short text for a giflib error code, for failure messages.
std::string GiflibErrorText(int error);

} // namespace gifref
