// Every file in data/generated/ (written by ffmpeg, ImageMagick and gifsicle,
// see scripts/make-gif-corpus) is decoded by giflib and by CGifDecoder: the
// same images must come out, at the same places, with every pixel the same.
// Several of ffmpeg's files pad the data after an image's LZW end code (a
// byte when the end code ends on a byte boundary): every image must still come.
#include "gif/GifDecoder.h"

#include "GifReference.h"
#include "GifTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using giftest::GeneratedFiles;

// A frame bitmap deleted on every path out of the test.
struct Frame {
    explicit Frame(HBITMAP b) : bitmap(b) {}
    ~Frame() {
        if (bitmap) DeleteObject(bitmap);
    }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    HBITMAP bitmap;
};

class GifReferenceTest : public giftest::WithScreen,
                         public ::testing::WithParamInterface<std::string> {};

TEST_P(GifReferenceTest, ImagesMatchGiflib) {
    const std::string path = GetParam();
    const gifref::Gif expected = gifref::DecodeWithGiflib(path);
    ASSERT_TRUE(expected.ok) << "giflib cannot read " << path << ": "
                             << gifref::GiflibErrorText(expected.error);
    ASSERT_FALSE(expected.images.empty());

    CGifDecoder decoder;
    ASSERT_TRUE(decoder.LoadFile(path.c_str()));
    EXPECT_EQ(decoder.m_nScreenWidth, expected.screenWidth);
    EXPECT_EQ(decoder.m_nScreenHeight, expected.screenHeight);
    decoder.m_hDC = dc_;

    const gifref::Comparable comparable = gifref::ComparableImages(expected);
    if (!comparable.reason.empty()) RecordProperty("compared_only", comparable.reason);

    std::size_t count = 0;
    for (;;) {
        Frame frame(decoder.GetNextFrame());
        if (!frame.bitmap) break;
        ASSERT_LT(count, expected.images.size()) << "more images than giflib finds";
        if (count < comparable.images) {
            const gifref::Image& image = expected.images[count];
            SCOPED_TRACE("image " + std::to_string(count));
            EXPECT_EQ(decoder.m_nLeft, image.left);
            EXPECT_EQ(decoder.m_nTop, image.top);
            ASSERT_EQ(decoder.m_nWidth, image.width);
            ASSERT_EQ(decoder.m_nHeight, image.height);
            const std::vector<std::uint32_t> pixels = gfxtest::ReadPixels(frame.bitmap, dc_);
            EXPECT_EQ(gifref::DescribeDifference(image.rgb, pixels, image.width), "");
        }
        ++count;
    }
    if (comparable.exactCount)
        EXPECT_EQ(count, comparable.images) << "images decoded before the first NULL";
    else
        EXPECT_GE(count, comparable.images) << comparable.reason;
}

INSTANTIATE_TEST_SUITE_P(Generated, GifReferenceTest, ::testing::ValuesIn(GeneratedFiles()),
                         [](const auto& info) {
                             return giftest::TestName(fs::path(info.param).stem().string());
                         });

// The comparison above is only as good as the files: guard the variety that
// make-gif-corpus is meant to produce, as giflib sees it, so that a
// regeneration with other tool versions cannot quietly lose it.
TEST(GifReferenceCorpus, CoversInterlaceLocalTablesOffsetsAndOddSizes) {
    const std::vector<std::string> files = GeneratedFiles();
    ASSERT_GE(files.size(), 25u) << "run scripts/make-gif-corpus";
    int interlaced = 0, localTables = 0, offsets = 0, oneWide = 0, oneHigh = 0, animations = 0;
    std::vector<int> interlacedHeights;
    for (const std::string& path : files) {
        const gifref::Gif gif = gifref::DecodeWithGiflib(path);
        ASSERT_TRUE(gif.ok) << path;
        if (gif.images.size() > 1) ++animations;
        for (const gifref::Image& image : gif.images) {
            if (image.interlaced) {
                ++interlaced;
                interlacedHeights.push_back(image.height);
            }
            localTables += image.localTable;
            offsets += image.left != 0 || image.top != 0;
            oneWide += image.width == 1;
            oneHigh += image.height == 1;
        }
    }
    EXPECT_GT(interlaced, 0);
    EXPECT_GT(localTables, 0);
    EXPECT_GT(offsets, 0);
    EXPECT_GT(oneWide, 0);
    EXPECT_GT(oneHigh, 0);
    EXPECT_GT(animations, 5);
    // Interlaced heights 1 to 4 leave passes empty; 5 and more cross them.
    for (int h : {1, 2, 3, 4, 5, 8, 9, 17})
        EXPECT_NE(std::count(interlacedHeights.begin(), interlacedHeights.end(), h), 0)
            << "no interlaced image " << h << " rows high";
}

} // namespace
