// The LZW decoder on data from giflib's encoder, whose strings run long and
// whose table fills and clears, and on where the reading stops when an image
// fails: the codes are read ahead of their use, the position must not be.
#include "gif/GifDecoder.h"

#include "../TestFiles.h"
#include "GifBuilder.h"
#include "GifTestSupport.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using namespace gifbuild;
using giftest::ReadIndices;
using testfiles::TempFile;

namespace {

enum Pattern { noise, runs };

// Pixels in file order; runs repeat a value for up to 40 pixels, so giflib's
// encoder makes long strings.
std::vector<std::uint8_t> MakePixels(std::size_t n, int colours, Pattern pattern) {
    std::vector<std::uint8_t> pixels(n);
    std::uint32_t state = 12345;
    auto next = [&state] { return (state = state * 1103515245u + 12345u) >> 16; };
    for (std::size_t i = 0; i < n;) {
        const std::size_t run = pattern == noise ? 1 : 1 + next() % 40;
        const auto value = static_cast<std::uint8_t>(next() % static_cast<unsigned>(colours));
        for (std::size_t k = 0; k < run && i < n; ++k) pixels[i++] = value;
    }
    return pixels;
}

// giflib writes `pixels` (whole rows of `width`) as one image; the descriptor
// then says `height` rows, so that rows past it become surplus data.
Bytes EncodeWithGiflib(int width, int height, bool interlaced, int colours,
                       const std::vector<std::uint8_t>& pixels) {
    Bytes out;
    int error = 0;
    GifFileType* gif = EGifOpen(
        &out,
        [](GifFileType* g, const GifByteType* data, int n) {
            auto* bytes = static_cast<Bytes*>(g->UserData);
            bytes->insert(bytes->end(), data, data + n);
            return n;
        },
        &error);
    const Bytes table = DistinctTable(colours);
    std::vector<GifColorType> entries;
    for (std::size_t i = 0; i < table.size(); i += 3)
        entries.push_back({table[i], table[i + 1], table[i + 2]});
    ColorMapObject* map = GifMakeMapObject(colours, entries.data());
    const int rows = static_cast<int>(pixels.size()) / width;
    std::vector<GifPixelType> line(static_cast<std::size_t>(width));
    bool ok = gif && map && EGifPutScreenDesc(gif, width, rows, 8, 0, map) == GIF_OK &&
              EGifPutImageDesc(gif, 0, 0, width, rows, interlaced, nullptr) == GIF_OK;
    for (int y = 0; ok && y < rows; ++y) {
        std::copy_n(pixels.begin() + static_cast<long>(y) * width, width, line.begin());
        ok = EGifPutLine(gif, line.data(), width) == GIF_OK;
    }
    if (gif) EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    EXPECT_TRUE(ok) << "giflib could not encode";
    // The image descriptor follows the header and the global table.
    const std::size_t descriptor = 13 + 3 * static_cast<std::size_t>(colours);
    EXPECT_EQ(out.at(descriptor), 0x2C);
    out.at(descriptor + 7) = static_cast<std::uint8_t>(height);
    out.at(descriptor + 8) = static_cast<std::uint8_t>(height >> 8);
    return out;
}

// Where the pixels of file order land: rows top down, or the four interlace
// passes; past the last row a non-interlaced image drops them and an
// interlaced one writes them over its top row.
std::vector<int> Place(const std::vector<std::uint8_t>& pixels, int width, int height,
                       bool interlaced) {
    std::vector<int> rows;
    for (int r = 0; r < height; ++r) rows.push_back(r);
    if (interlaced) {
        rows.clear();
        for (auto [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
            for (int r = start; r < height; r += step) rows.push_back(r);
    }
    std::vector<int> picture(static_cast<std::size_t>(width * height), 0);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const std::size_t row = i / static_cast<std::size_t>(width);
        const std::size_t x = i % static_cast<std::size_t>(width);
        if (row < rows.size())
            picture[static_cast<std::size_t>(rows[row] * width) + x] = pixels[i];
        else if (interlaced)
            picture[x] = pixels[i];
    }
    return picture;
}

struct EncodedCase {
    const char* name;
    int width, height;
    bool interlaced;
    int colours;
    Pattern pattern;
    int surplusRows; // rows of data past the image's height
};

void PrintTo(const EncodedCase& c, std::ostream* os) {
    *os << c.name;
}

class GifEncodedTest : public giftest::WithScreen,
                       public ::testing::WithParamInterface<EncodedCase> {};

TEST_P(GifEncodedTest, DecodesWhatGiflibEncoded) {
    const EncodedCase& c = GetParam();
    const auto pixels = MakePixels(static_cast<std::size_t>(c.width) * (c.height + c.surplusRows),
                                   c.colours, c.pattern);
    TempFile file(EncodeWithGiflib(c.width, c.height, c.interlaced, c.colours, pixels));
    CGifDecoder dec;
    ASSERT_TRUE(dec.LoadFile(file.str().c_str()));
    dec.m_hDC = dc_;
    HBITMAP b = dec.GetNextFrame();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ReadIndices(dc_, b), Place(pixels, c.width, c.height, c.interlaced));
    DeleteObject(b);
    EXPECT_EQ(dec.GetNextFrame(), nullptr) << "the trailer follows the image";
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, GifEncodedTest,
    ::testing::Values(
        // Rows without padding hold the decoded pixels themselves; the
        // table fills and giflib clears it.
        EncodedCase{"noise_rows_unpadded", 200, 100, false, 256, noise, 0},
        EncodedCase{"runs_rows_unpadded", 64, 50, false, 16, runs, 0},
        // Padded rows and interlaced rows are decoded apart and copied.
        EncodedCase{"runs_rows_padded", 301, 7, false, 4, runs, 0},
        EncodedCase{"noise_rows_padded", 37, 41, false, 256, noise, 0},
        EncodedCase{"runs_interlaced", 13, 37, true, 16, runs, 0},
        EncodedCase{"one_column", 1, 90, false, 2, runs, 0},
        // Strings that run past the last row.
        EncodedCase{"surplus_dropped", 9, 10, false, 4, runs, 7},
        EncodedCase{"surplus_interlaced_over_the_top_row", 9, 10, true, 4, runs, 7},
        EncodedCase{"surplus_interlaced_padded_noise", 30, 5, true, 256, noise, 3}),
    [](const auto& info) { return std::string(info.param.name); });

class GifFailedImageTest : public giftest::WithScreen,
                           public ::testing::WithParamInterface<unsigned> {};

// An image fails at a code after a clear above clear + 2, at the end of its
// first sub-block of n bytes. The walk reads on from the end of the last
// sub-block its codes entered: the next sub-block's size byte, 0x2C, which
// starts an image hidden in that sub-block. Had the position counted the
// sub-blocks read ahead, the trailer after it would end the walk instead.
TEST_P(GifFailedImageTest, WalkResumesAfterTheSubBlockOfTheLastCode) {
    const unsigned n = GetParam();
    std::vector<Code> codes(((8 * n - 3) / 3), Code{4, 3}); // clears, 3 bits each
    codes.push_back({7, 3});                                // ends in byte n
    Bytes first = PackCodes(codes);
    ASSERT_EQ(first.size(), n);

    Gif hidden(2, 1);
    hidden.FlatImage(0, 0, 2, 1, {1, 2}, false, {}, 2);
    Bytes second(hidden.bytes.begin() + 14, hidden.bytes.end()); // from after its 0x2C
    second.resize(0x2C, 0);

    Gif gif(2, 1, DistinctTable(4));
    gif.Descriptor(0, 0, 2, 1, false).Append({2, static_cast<std::uint8_t>(n)});
    gif.Append(first).Append({0x2C}).Append(second).Append({0, 0x3B});
    TempFile file(gif.bytes);
    CGifDecoder dec;
    ASSERT_TRUE(dec.LoadFile(file.str().c_str()));
    dec.m_hDC = dc_;
    EXPECT_EQ(dec.GetNextFrame(), nullptr) << "the image fails";
    // 0x2C, descriptor, minimum code size, size byte, then the n bytes.
    EXPECT_EQ(dec.m_nPos, 1 + 9 + 1 + 1 + static_cast<int>(n));
    HBITMAP b = dec.GetNextFrame();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ReadIndices(dc_, b), (std::vector<int>{1, 2}));
    DeleteObject(b);
}

INSTANTIATE_TEST_SUITE_P(FirstSubBlockSizes, GifFailedImageTest,
                         ::testing::Values(1u, 2u, 7u, 8u, 9u, 16u, 30u));

} // namespace
