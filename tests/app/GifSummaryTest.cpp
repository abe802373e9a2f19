// What the preview says of a GIF before converting it: counts, lengths and
// the faithful hint from the block walk, the first frame as each mode draws
// it, the file sizes against the files a conversion really writes, and the
// reasons given for files that cannot be read.
#include "app/GifSummary.h"

#include "../TestFiles.h"
#include "../gif/GifBuilder.h"
#include "app/Conversion.h"
#include "avi/AviTesting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <thread>

namespace {

using gifbuild::Gif;

// A GIF made by `build`, in a file of its own.
struct GifFile {
    explicit GifFile(const gifbuild::Bytes& bytes) : file(bytes) {}
    testfiles::TempFile file;
    CString path() const { return CString(file.str()); }
};

// Counts, lengths and the hint, from the images' graphic controls.
struct TimingCase {
    const char* name;
    std::vector<int> packed, delays; // one graphic control per image; packed -1: none
    int images;
    long long hundredths; // 0, 1 and no control count as 10
    bool hint;
};

class SummaryTiming : public ::testing::TestWithParam<TimingCase> {};

TEST_P(SummaryTiming, CountsLengthsAndHintComeFromTheControls) {
    const TimingCase& c = GetParam();
    Gif gif(2, 2, gifbuild::DistinctTable(2));
    for (std::size_t i = 0; i < c.packed.size(); ++i) {
        if (c.packed[i] >= 0) gif.Gce(c.packed[i], c.delays[i], 1);
        gif.FlatImage(0, 0, 2, 2, {0, 1, 1, 0}, false, {}, 2);
    }
    const GifFile file(gif.Trailer().bytes);
    const CGifSummary s = CGifSummary::Read(file.path());
    ASSERT_TRUE(s.IsReadable()) << s.m_strError;
    EXPECT_EQ(s.m_nImages, c.images);
    EXPECT_EQ(s.m_nDelayHundredths, c.hundredths);
    EXPECT_DOUBLE_EQ(s.SecondsAt15(), c.images / 15.0);
    EXPECT_EQ(s.m_bFaithfulDiffers, c.hint);
    EXPECT_EQ(s.m_default.frames, c.images);
    EXPECT_EQ(s.m_nWidth, 2);
    EXPECT_EQ(s.m_nHeight, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Controls, SummaryTiming,
    ::testing::Values(TimingCase{"no_controls", {-1, -1, -1}, {0, 0, 0}, 3, 30, true},
                      TimingCase{"about_15_fps", {0, 0}, {7, 6}, 2, 13, false},
                      TimingCase{"zero_and_one", {0, 0, 0}, {0, 1, 25}, 3, 45, true},
                      TimingCase{"transparent", {1, 0}, {7, 7}, 2, 14, true},
                      TimingCase{"disposal_2", {2 << 2}, {7}, 1, 7, true},
                      TimingCase{"disposal_4_acts_as_0", {4 << 2}, {7}, 1, 7, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The screen is 6 x 4 in background colour 3; the first image, 3 x 2 at
// (2, 1), has index 0 transparent in the faithful mode.
gifbuild::Bytes OffsetGif(bool sameImages) {
    Gif gif(6, 4, gifbuild::DistinctTable(4), 3);
    for (int i = 0; i < 5; ++i) {
        gif.Gce(1, 10 * (i + 1), 0);
        const std::uint8_t shift = sameImages ? 0 : std::uint8_t(i);
        gif.FlatImage(2, 1, 3, 2,
                      {0, 1, 2, std::uint8_t((1 + shift) & 3), 2, std::uint8_t((2 + shift) & 3)},
                      false, {}, 2);
    }
    return gif.Trailer().bytes;
}

DWORD TableColour(int i) { // DistinctTable's entry i as 0x00RRGGBB
    return DWORD(i) << 16 | DWORD(255 - i) << 8 | DWORD(i ^ 0x5A);
}

TEST(GifSummary, TheFirstFrameIsTheCanvasEachModeDraws) {
    const GifFile file(OffsetGif(true));
    const CGifSummary s = CGifSummary::Read(file.path());
    ASSERT_TRUE(s.IsReadable()) << s.m_strError;
    ASSERT_EQ(s.m_default.firstFrame.size(), 24u);
    ASSERT_EQ(s.m_faithful.firstFrame.size(), 24u);
    const int image[2][3] = {{0, 1, 2}, {1, 2, 2}};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) {
            const bool inside = x >= 2 && x < 5 && y >= 1 && y < 3;
            const int index = inside ? image[y - 1][x - 2] : 3;
            EXPECT_EQ(s.m_default.firstFrame[std::size_t(y * 6 + x)], TableColour(index))
                << x << "," << y;
            // Transparent pixels leave the background.
            EXPECT_EQ(s.m_faithful.firstFrame[std::size_t(y * 6 + x)],
                      TableColour(index == 0 ? 3 : index))
                << x << "," << y;
        }
}

// The estimates against the size of the file a conversion writes.
struct SizeCase {
    const char* name;
    bool uncompressed, faithful, sameImages;
    std::uint64_t riffLimit; // 0: the default; small ones make OpenDML parts
};

class SummarySizes : public ::testing::TestWithParam<SizeCase> {
protected:
    void TearDown() override { AviSetRiffLimit(0); }
};

TEST_P(SummarySizes, EstimatesMatchTheConvertedFile) {
    const SizeCase& c = GetParam();
    AviSetRiffLimit(c.riffLimit);
    const GifFile file(OffsetGif(c.sameImages));
    const CGifSummary s = CGifSummary::Read(file.path());
    ASSERT_TRUE(s.IsReadable()) << s.m_strError;

    testfiles::TempPath avi(".avi");
    const HDC screen = GetDC(nullptr);
    const CConversion::Result r =
        CConversion::Run(file.path(), CString(avi.str()), c.uncompressed, screen, {}, c.faithful);
    ReleaseDC(nullptr, screen);
    ASSERT_TRUE(r.converted) << CConversion::Message(r).str();
    const auto written = std::filesystem::file_size(avi.str());
    const CGifSummary::Video& video = s.VideoOf(c.faithful);
    if (c.uncompressed) {
        EXPECT_EQ(video.uncompressedBytes, written);
    } else if (c.sameImages) {
        // Every frame is the first: the estimate is the file.
        EXPECT_EQ(video.rle8Bytes, written);
    } else {
        // Images that code a little longer or shorter than the first: within
        // a tenth of the file.
        EXPECT_LE(
            std::llabs(static_cast<long long>(video.rle8Bytes) - static_cast<long long>(written)),
            static_cast<long long>(written / 10))
            << video.rle8Bytes << " for " << written;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SummarySizes,
    ::testing::Values(SizeCase{"uncompressed", true, false, false, 0},
                      SizeCase{"uncompressed_faithful", true, true, false, 0},
                      SizeCase{"uncompressed_parts", true, false, false, 300},
                      SizeCase{"uncompressed_faithful_parts", true, true, false, 200},
                      SizeCase{"rle8_same_images", false, false, true, 0},
                      SizeCase{"rle8_same_images_faithful_parts", false, true, true, 150},
                      SizeCase{"rle8_other_images", false, false, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The preview reads on its own thread while the dialog's thread converts,
// which realises its video palette on the screen: neither may change the
// other's result (the ThreadSanitizer build runs this too).
TEST(GifSummary, ReadsBesideAConversionAsAlone) {
    const GifFile file(OffsetGif(false));
    const CGifSummary alone = CGifSummary::Read(file.path());
    ASSERT_TRUE(alone.IsReadable()) << alone.m_strError;
    std::vector<CGifSummary> beside;
    std::thread reader([&] {
        for (int i = 0; i < 20; ++i) beside.push_back(CGifSummary::Read(file.path()));
    });
    testfiles::TempPath avi(".avi");
    const HDC screen = GetDC(nullptr);
    bool converted = true;
    for (const bool faithful : {false, true, false, true})
        converted &= CConversion::Run(file.path(), CString(avi.str()), false, screen, {}, faithful)
                         .converted;
    ReleaseDC(nullptr, screen);
    reader.join();
    EXPECT_TRUE(converted);
    for (const CGifSummary& s : beside)
        for (const bool faithful : {false, true}) {
            EXPECT_EQ(s.VideoOf(faithful).firstFrame, alone.VideoOf(faithful).firstFrame);
            EXPECT_EQ(s.VideoOf(faithful).rle8Bytes, alone.VideoOf(faithful).rle8Bytes);
        }
}

// Files that cannot be converted say why, in words.
struct UnreadableCase {
    const char* name;
    gifbuild::Bytes bytes; // empty: no file at all
    const char* reason;
};

class SummaryUnreadable : public ::testing::TestWithParam<UnreadableCase> {};

TEST_P(SummaryUnreadable, SaysWhy) {
    const UnreadableCase& c = GetParam();
    testfiles::TempPath missing(".gif");
    std::optional<testfiles::TempFile> file;
    if (!c.bytes.empty()) file.emplace(c.bytes);
    const CGifSummary s = CGifSummary::Read(CString(file ? file->str() : missing.str()));
    EXPECT_FALSE(s.IsReadable());
    EXPECT_NE(s.m_strError.str().find(c.reason), std::string::npos) << s.m_strError.str();
}

INSTANTIATE_TEST_SUITE_P(
    Files, SummaryUnreadable,
    ::testing::Values(
        UnreadableCase{"missing", {}, "No such file"},
        UnreadableCase{"not_a_gif",
                       {'P', 'N', 'G', ' ', 'n', 'o', 't', ' ', 'G', 'I', 'F', '!', '!'},
                       "not a GIF"},
        UnreadableCase{"cut_in_screen", {'G', 'I', 'F', '8', '9', 'a', 1, 0}, "ends before"},
        UnreadableCase{"cut_in_table",
                       {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x87, 0, 0, 1, 2},
                       "cut short"},
        UnreadableCase{"no_image", Gif(1, 1).Trailer().bytes, "no image"},
        UnreadableCase{"corrupt_image",
                       Gif(1, 1, gifbuild::DistinctTable(2))
                           .Image(0, 0, 1, 1, false, {}, 12, gifbuild::SubBlocks({0xFF}))
                           .Trailer()
                           .bytes,
                       "cannot be decoded"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GifSummary, AFolderAndAStaleReadingAreNoSummary) {
    const testfiles::Folder folder;
    EXPECT_NE(CGifSummary::Read(CString(folder.str())).m_strError.str().find("folder"),
              std::string::npos);
    const GifFile file(OffsetGif(true));
    const CGifSummary stale = CGifSummary::Read(file.path(), [] { return true; });
    EXPECT_TRUE(stale.m_bStale);
    EXPECT_FALSE(stale.IsReadable());
    EXPECT_TRUE(stale.m_default.firstFrame.empty());
}

} // namespace

// A WebP or PNG picture: counted and timed from its structure, its first frame
// decoded, and the uncompressed sizes those of the files a conversion writes.
TEST(GifSummary, APictureIsSummedUpFromItsStructure) {
    const struct {
        const char* file;
        int width, height, images;
        double ownSeconds; // the durations the files were made with
    } pictures[] = {{"fuzz/corpus-webp/lossless-alpha.webp", 12, 8, 3, 0.25},
                    {"fuzz/corpus-apng/pillow-rgba-dispose-blend.png", 8, 6, 4, 0.22}};
    for (const auto& p : pictures) {
        SCOPED_TRACE(p.file);
        const CString path(std::string(TESSALY_SOURCE_DIR "/") + p.file);
        const CGifSummary s = CGifSummary::Read(path);
        ASSERT_TRUE(s.IsReadable()) << s.m_strError;
        EXPECT_FALSE(s.m_bGif);
        EXPECT_EQ(s.m_nWidth, p.width);
        EXPECT_EQ(s.m_nHeight, p.height);
        EXPECT_EQ(s.m_nImages, p.images);
        EXPECT_DOUBLE_EQ(s.OwnSeconds(), p.ownSeconds);
        EXPECT_TRUE(s.m_bFaithfulDiffers);
        EXPECT_EQ(s.m_default.firstFrame, s.m_faithful.firstFrame);
        for (const bool faithful : {false, true}) {
            testfiles::TempPath avi(".avi");
            const HDC screen = GetDC(nullptr);
            const CConversion::Result r =
                CConversion::Run(path, CString(avi.str()), true, screen, {}, faithful);
            ReleaseDC(nullptr, screen);
            ASSERT_TRUE(r.converted) << CConversion::Message(r).str();
            EXPECT_EQ(s.VideoOf(faithful).uncompressedBytes, std::filesystem::file_size(avi.str()))
                << faithful;
        }
    }
}
