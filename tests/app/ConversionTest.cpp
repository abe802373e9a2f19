// End to end: GIF files made by independent encoders are converted by
// tessaly-convert in both modes, and ffmpeg's decoding of each video must
// equal the canvas built from giflib's decoding of the GIF: every image drawn
// opaquely at its place on a screen that starts as the background colour (or
// as the first image when that is the whole screen).
#include "app/Conversion.h"
#include "app/PictureConversion.h"

#include "../avi/AviParse.h"
#include "../avi/AviTestSupport.h"
#include "../gif/GifBuilder.h"
#include "../gif/GifReference.h"
#include "../gif/GifTestSupport.h"
#include "AppTestSupport.h"
#include "avi/AviFile.h"
#include "avi/AviTesting.h"
#include "gif/GifDecoder.h"
#include "platform/Memory.h"
#include "res/Resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
#include <set>
#include <unistd.h>

using namespace avitest;
using testfiles::TempPath;
namespace fs = std::filesystem;

namespace {

const std::string kConvert = TESSALY_CONVERT;

// The canvas after each image, from giflib's images.
std::vector<Picture> ExpectedFrames(const std::string& path) {
    const gifref::Gif gif = gifref::DecodeWithGiflib(path);
    const std::vector<std::uint8_t> bytes = testfiles::ReadBytes(path);
    std::vector<Picture> frames;
    if (gif.images.empty()) return frames;
    const gifref::Image& first = gif.images[0];
    const int width = gif.screenWidth ? gif.screenWidth : first.left + first.width;
    const int height = gif.screenHeight ? gif.screenHeight : first.top + first.height;
    std::uint32_t background = 0;
    if (bytes[10] & 0x80) {
        const int entries = 2 << (bytes[10] & 7), index = bytes[11];
        if (index < entries) {
            const std::uint8_t* c = &bytes[13 + 3 * index];
            background = (std::uint32_t{c[0]} << 16) | (std::uint32_t{c[1]} << 8) | c[2];
        }
    }
    Picture canvas{
        width, height,
        std::vector<std::uint32_t>(static_cast<std::size_t>(width) * height, background)};
    for (const gifref::Image& image : gif.images) {
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x) {
                const int cx = image.left + x, cy = image.top + y;
                if (cx < width && cy < height)
                    canvas.at(cx, cy) = image.rgb[static_cast<std::size_t>(y * image.width + x)];
            }
        frames.push_back(canvas);
    }
    return frames;
}

struct EndToEndCase {
    std::string gif; // a path from giftest::GeneratedFiles
    bool uncompressed;
    std::string File() const { return fs::path(gif).filename().string(); }
};
void PrintTo(const EndToEndCase& c, std::ostream* os) {
    *os << c.File() << (c.uncompressed ? " uncompressed" : " RLE8");
}

class EndToEndTest : public ::testing::TestWithParam<EndToEndCase> {};

TEST_P(EndToEndTest, VideoFramesAreTheCanvas) {
    SKIP_WITHOUT_FFMPEG();
    const std::string& gif = GetParam().gif;
    const bool uncompressed = GetParam().uncompressed;
    std::vector<Picture> expected = ExpectedFrames(gif);
    ASSERT_FALSE(expected.empty());
    TempPath avi(".avi");
    CommandResult run = avitest::Run(kConvert + (uncompressed ? " --uncompressed '" : " --rle8 '") +
                                     gif + "' '" + avi.str() + "'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "File successfully converted\n");
    // Nothing on standard error but, for GIFs that ask for transparency,
    // disposal or other delays, the hint.
    if (!run.err.empty()) {
        EXPECT_EQ(run.err, apptest::kFaithfulHint);
    }

    const int width = expected[0].width, height = expected[0].height;
    std::map<std::string, std::string> probed =
        Probe(avi.str(), {"r_frame_rate", "width", "height", "nb_read_frames"});
    EXPECT_EQ(probed["r_frame_rate"], "15/1");
    EXPECT_EQ(probed["width"], std::to_string(width));
    EXPECT_EQ(probed["height"], std::to_string(height));
    EXPECT_EQ(probed["nb_read_frames"], std::to_string(expected.size()));
    std::string complaints;
    std::vector<Picture> frames = DecodeWithFfmpeg(avi.str(), width, height, &complaints);
    EXPECT_EQ(complaints, "");
    ASSERT_EQ(frames.size(), expected.size());
    if (!uncompressed && !apptest::ColoursFit(gif)) {
        // More colours than one palette holds: each frame must still be
        // close, every pixel its colour's nearest palette entry.
        for (std::size_t f = 0; f < frames.size(); ++f) {
            double error = 0;
            for (std::size_t i = 0; i < frames[f].rgb.size(); ++i)
                for (int shift : {0, 8, 16})
                    error += std::abs(int((frames[f].rgb[i] >> shift) & 0xFF) -
                                      int((expected[f].rgb[i] >> shift) & 0xFF));
            EXPECT_LT(error / (3.0 * frames[f].rgb.size()), 8.0) << "frame " << f;
        }
        return;
    }
    for (std::size_t f = 0; f < frames.size(); ++f)
        ASSERT_EQ(frames[f].rgb, expected[f].rgb) << "frame " << f << " of " << GetParam().File();
}

std::vector<EndToEndCase> AllCases() {
    std::vector<EndToEndCase> cases;
    for (const std::string& f : giftest::GeneratedFiles())
        for (bool uncompressed : {false, true}) cases.push_back({f, uncompressed});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Generated, EndToEndTest, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) {
                             return giftest::TestName(
                                 fs::path(info.param.gif).stem().string() +
                                 (info.param.uncompressed ? "_uncompressed" : "_rle8"));
                         });

// A test with a folder of its own, a GIF and a video path in it.
class FolderTest : public ::testing::Test {
protected:
    void WriteGif(const testfiles::Bytes& bytes) { testfiles::WriteBytes(gif_.str(), bytes); }

    testfiles::Folder folder_;
    apptest::FolderPath gif_{folder_, "in.gif"}, avi_{folder_, "out.avi"};
};

// --- Failures: messages, exit statuses, what is left on disk ----------------

class ConvertFailureTest : public FolderTest {
protected:
    void WriteOldAvi() { std::ofstream(avi_.str()) << "an older video"; }
    std::string AviContents() const { return testfiles::ReadText(avi_.str()); }
    // Nothing but the GIF and the video may be in the folder.
    void ExpectNoLeftovers() const {
        EXPECT_EQ(folder_.Names(), (std::set<std::string>{"in.gif", "out.avi"}));
    }
    CommandResult Convert(const std::string& args) { return avitest::Run(kConvert + " " + args); }
};

gifbuild::Bytes OneImageGif(int screenWidth, int screenHeight) {
    return gifbuild::Gif(screenWidth, screenHeight, gifbuild::DistinctTable(4))
        .FlatImage(0, 0, 2, 2, {0, 1, 2, 3})
        .Trailer()
        .bytes;
}

TEST_F(ConvertFailureTest, MissingSourceGivesOneLineWithTheReasonAndNoVideo) {
    CommandResult r = Convert("/nonexistent/in.gif '" + avi_.str() + "'");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(
        r.err,
        "tessaly-convert: Error opening file /nonexistent/in.gif: No such file or directory\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(avi_.exists());
}

TEST_F(ConvertFailureTest, UnreadableOrEmptyGifsLeaveTheOldVideoAlone) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::string message;
    } cases[] = {
        {{'n', 'o', 't', ' ', 'a', ' ', 'g', 'i', 'f', 0, 0, 0, 0, 0}, "Error loading file "},
        {gifbuild::Gif(4, 4, gifbuild::DistinctTable(2)).Trailer().bytes, "No images in file "},
        {OneImageGif(40000, 40000), "Error loading file "}, // a 6 GB canvas
    };
    for (const Case& c : cases) {
        WriteGif(c.bytes);
        WriteOldAvi();
        CommandResult r = Convert(std::string("'") + gif_.str() + "' '" + avi_.str() + "'");
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "tessaly-convert: " + c.message + gif_.str() + "\n");
        EXPECT_EQ(AviContents(), "an older video");
        ExpectNoLeftovers();
    }
}

TEST_F(ConvertFailureTest, UnwritableDestinationIsReported) {
    WriteGif(OneImageGif(2, 2));
    CommandResult r = Convert(std::string("'") + gif_.str() + "' /nonexistent/folder/out.avi");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "tessaly-convert: Error writing file /nonexistent/folder/out.avi: No such "
                     "file or directory\n");
}

TEST_F(ConvertFailureTest, RefusedNamesAndUsage) {
    WriteGif(OneImageGif(2, 2));
    struct Case {
        std::string args;
        int exit;
        std::string err;
    } cases[] = {
        {"picture.jpg out.avi", 2,
         "tessaly-convert: Invalid extension for source file: picture.jpg\n"},
        {std::string("'") + gif_.str() + "' clip.mp4", 2,
         "tessaly-convert: Invalid extension for destination file: clip.mp4\n"},
        {std::string("'") + gif_.str() + "' clip.", 2,
         "tessaly-convert: Invalid extension for destination file: clip.\n"},
        {std::string("'") + gif_.str() + "' outdir/", 2,
         "tessaly-convert: Invalid extension for destination file: outdir/\n"},
        {std::string("'") + gif_.str() + "' ''", 2,
         "tessaly-convert: Invalid extension for destination file\n"},
    };
    for (const Case& c : cases) {
        CommandResult r = Convert(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
    }
    EXPECT_EQ(Convert("one.gif").exitCode, 2);
    EXPECT_EQ(Convert("--fast a.gif b.avi").exitCode, 2);
    CommandResult help = Convert("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--uncompressed"), std::string::npos);
}

TEST_F(ConvertFailureTest, DestinationWithoutADotGetsAvi) {
    WriteGif(OneImageGif(2, 2));
    const std::string bare = avi_.str().substr(0, avi_.str().size() - 4); // no ".avi"
    ASSERT_EQ(bare.find('.'), std::string::npos) << "the temporary folder has a dot in its name";
    CommandResult r = Convert(std::string("'") + gif_.str() + "' '" + bare + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(avi_.exists());
}

// Through the conversion itself: a failing disk, and the canvas rules.
class ConversionTest : public FolderTest {
protected:
    void TearDown() override {
        AviInjectWriteFailure(-1);
        AviInjectMemoryFailure(-1);
        AfxInjectAllocFailure(-1);
        GdiSetScreenBitsPerPixel(32);
    }
    CConversion::Result Convert(bool uncompressed, bool faithful = false) {
        HDC screen = GetDC(nullptr);
        CConversion::Result r = CConversion::Run(gif_.str().c_str(), avi_.str().c_str(),
                                                 uncompressed, screen, {}, faithful);
        ReleaseDC(nullptr, screen);
        return r;
    }
};

// The destination holds "old"; after a failed conversion it still does, and
// nothing else is left beside it.
void ExpectOldFileAlone(const std::string& path) {
    EXPECT_EQ(testfiles::ReadText(path), "old");
    for (const auto& entry : fs::directory_iterator(fs::path(path).parent_path()))
        EXPECT_TRUE(entry.path().filename() == "in.gif" || entry.path().filename() == "out.avi")
            << "left behind: " << entry.path();
}

// Five images with what the faithful mode works with: transparency (index
// 1), disposal 2 and 3 in turn, and delays of 0.1 and 0.2 s (so empty frames).
gifbuild::Bytes FiveFrames() {
    gifbuild::Gif gif(2, 2, gifbuild::DistinctTable(4));
    for (int i = 0; i < 5; ++i)
        gif.Gce((i % 2 ? 3 : 2) << 2 | 1, 10 * (1 + i % 2), 1).FlatImage(0, 0, 2, 2, {0, 1, 2, 3});
    return gif.Trailer().bytes;
}

// Every write of the video fails in turn, frames, index, header patches and
// the close: each failure is reported and the old file stays.
TEST_F(ConversionTest, AFailingDiskLeavesTheOldVideoAndNothingElse) {
    WriteGif(FiveFrames());
    for (int mode = 0; mode < 4; ++mode) { // both compressions, plain and faithful
        const bool uncompressed = mode & 1, faithful = mode & 2;
        long failAt = 0;
        for (;; ++failAt) {
            std::ofstream(avi_.str()) << "old";
            AviInjectWriteFailure(failAt);
            CConversion::Result r = Convert(uncompressed, faithful);
            AviInjectWriteFailure(-1);
            if (r.converted) break;
            EXPECT_EQ(r.messageId, IDS_WRITE_ERROR) << "failure at write " << failAt;
            // The reason is the failing write's, wherever it failed.
            EXPECT_EQ(r.error, ENOSPC) << "failure at write " << failAt;
            EXPECT_EQ(std::string(r.path), avi_.str());
            ExpectOldFileAlone(avi_.str());
        }
        EXPECT_GE(failAt, 5 + 2) << "the frames' writes and those that complete the file";
    }
}

// Every allocation fails in turn: the outcome is an error naming the GIF, or
// a whole video, never a video with frames missing.
TEST_F(ConversionTest, RunningOutOfMemoryIsReportedNotHidden) {
    WriteGif(FiveFrames());
    for (int mode = 0; mode < 4; ++mode) { // both compressions, plain and faithful
        const bool uncompressed = mode & 1, faithful = mode & 2;
        long failAt = 0;
        for (;; ++failAt) {
            std::ofstream(avi_.str()) << "old";
            AfxInjectAllocFailure(failAt);
            CConversion::Result r = Convert(uncompressed, faithful);
            AfxInjectAllocFailure(-1);
            if (r.converted) {
                EXPECT_EQ(r.frames, 5);
                break;
            }
            EXPECT_TRUE(r.messageId == IDS_MEMORY_ERROR || r.messageId == IDS_LOAD_ERROR)
                << "allocation " << failAt << " gave message " << r.messageId;
            EXPECT_EQ(std::string(r.path), gif_.str());
            ExpectOldFileAlone(avi_.str());
        }
        EXPECT_GT(failAt, 10);
    }
}

// An image the decoder refuses: the first one fails the conversion; a later
// one ends a complete video there, which is reported as such, not as success.
TEST_F(ConversionTest, RefusedImagesEndTheVideoThere) {
    const gifbuild::Bytes tiny = gifbuild::SubBlocks(gifbuild::PackCodes({{4, 3}, {1, 3}, {5, 3}}));
    struct Case {
        int width, height, minCodeSize;
        bool first;
    } cases[] = {
        {65535, 65535, 2, true}, // 4 GiB of index rows
        {65535, 65535, 2, false},
        {16384, 4100, 2, false}, // 64 MiB of rows, but past 256 MiB as a 32-bit bitmap
        {2, 2, 12, false},       // a minimum code size above 11
    };
    for (const Case& c : cases) {
        gifbuild::Gif gif(2, 2, gifbuild::DistinctTable(4));
        if (!c.first) gif.FlatImage(0, 0, 2, 2, {0, 1, 2, 3}).FlatImage(0, 0, 2, 2, {1, 1, 1, 1});
        gif.Image(0, 0, c.width, c.height, false, {}, c.minCodeSize, tiny);
        gif.FlatImage(0, 0, 2, 2, {3, 2, 1, 0}).Trailer();
        WriteGif(gif.bytes);
        for (bool uncompressed : {false, true}) {
            std::ofstream(avi_.str()) << "old";
            CConversion::Result r = Convert(uncompressed);
            EXPECT_FALSE(r.converted) << c.width << " x " << c.height;
            EXPECT_EQ(std::string(r.path), gif_.str());
            if (c.first) {
                EXPECT_EQ(r.messageId, IDS_LOAD_ERROR);
                ExpectOldFileAlone(avi_.str());
                continue;
            }
            EXPECT_EQ(r.messageId, IDS_PARTLY_CONVERTED);
            EXPECT_EQ(r.frames, 2);
            EXPECT_EQ(std::string(CConversion::Message(r)),
                      "File " + gif_.str() +
                          " converted up to image 2; the rest could not be read");
            AviParse avi;
            EXPECT_TRUE(avi.Load(avi_.str())) << avi.error;
            EXPECT_EQ(avi.frames.size(), 2u) << "a complete video of the images before";
        }
    }
}

// The video library finding no memory for a frame's buffers is a memory
// failure, not the disk's.
TEST_F(ConversionTest, MemoryFailuresOfTheVideoLibraryAreNotBlamedOnTheDisk) {
    WriteGif(FiveFrames());
    for (bool uncompressed : {false, true})
        for (long at : {0L, 3L}) {
            std::ofstream(avi_.str()) << "old";
            AviInjectMemoryFailure(at);
            CConversion::Result r = Convert(uncompressed);
            AviInjectMemoryFailure(-1);
            EXPECT_EQ(r.messageId, IDS_MEMORY_ERROR) << "frame " << at;
            EXPECT_EQ(std::string(r.path), gif_.str());
            ExpectOldFileAlone(avi_.str());
        }
}

// 256 colours without black fit one video palette: the RLE8 video is exact,
// on a direct-colour screen and on an 8-bit one, where the first image is
// decoded only after the video palette took the system palette.
TEST_F(ConversionTest, AllOfA256ColourTableIsExactInRle8) {
    SKIP_WITHOUT_FFMPEG();
    std::vector<std::uint8_t> pixels(256), reversed(256);
    std::iota(pixels.begin(), pixels.end(), 0);
    std::reverse_copy(pixels.begin(), pixels.end(), reversed.begin());
    WriteGif(gifbuild::Gif(16, 16, gifbuild::DistinctTable(256))
                 .FlatImage(0, 0, 16, 16, pixels)
                 .FlatImage(0, 0, 16, 16, reversed)
                 .Trailer()
                 .bytes);
    const std::vector<Picture> expected = ExpectedFrames(gif_.str());
    for (int screenBits : {32, 8}) {
        ASSERT_TRUE(GdiSetScreenBitsPerPixel(screenBits));
        CConversion::Result r = Convert(false);
        ASSERT_TRUE(r.converted) << screenBits << "-bit screen";
        std::vector<Picture> frames = DecodeWithFfmpeg(avi_.str(), 16, 16, nullptr);
        ASSERT_EQ(frames.size(), 2u);
        for (std::size_t f = 0; f < frames.size(); ++f)
            EXPECT_EQ(frames[f].rgb, expected[f].rgb)
                << "frame " << f << " on a " << screenBits << "-bit screen";
    }
}

// Frames of noise: thousands of colours in each, none repeated on purpose.
class NoisePicture : public CAnimatedPicture {
public:
    NoisePicture(int width, int height, int frames) {
        m_nWidth = width;
        m_nHeight = height;
        m_durations.assign(std::size_t(frames), 66);
    }
    bool NextFrame() override {
        if (m_nDone == int(m_durations.size()) || !FlipCanvas(false)) return false;
        m_canvas.resize(std::size_t(m_nWidth) * std::size_t(m_nHeight) * 4);
        std::uint32_t seed = 977u * std::uint32_t(m_nDone + 1);
        for (std::size_t i = 0; i < m_canvas.size(); i += 4) {
            seed = seed * 1664525u + 1013904223u;
            std::memcpy(&m_canvas[i], &seed, 3);
            m_canvas[i + 3] = 255;
        }
        ++m_nDone;
        return true;
    }
    void Rewind() override { m_nDone = 0; }
};

// A picture of more colours than a palette holds: each pixel of its RLE8
// video is the entry nearest to it (no colour the video shows is nearer),
// whether the conversion keeps the decoded frames or decodes them again.
TEST_F(ConversionTest, ManyColouredPicturesTakeTheNearestEntries) {
    SKIP_WITHOUT_FFMPEG();
    constexpr int kWidth = 40, kHeight = 30, kFrames = 5;
    NoisePicture picture(kWidth, kHeight, kFrames);
    TempPath decodedTwice(".avi");
    for (const auto& [path, budget] :
         {std::pair{avi_.str(), KeptFramesBudget()}, std::pair{decodedTwice.str(), 0ul}}) {
        picture.Rewind();
        const ConversionResult r =
            ConvertPicture(picture, "noise.webp", path.c_str(), false, {}, false, 0, {}, budget);
        ASSERT_TRUE(r.converted) << budget;
    }
    EXPECT_EQ(testfiles::ReadText(avi_.str()), testfiles::ReadText(decodedTwice.str()));

    const std::vector<Picture> frames = DecodeWithFfmpeg(avi_.str(), kWidth, kHeight, nullptr);
    ASSERT_EQ(frames.size(), std::size_t(kFrames));
    std::set<std::uint32_t> shown;
    for (const Picture& frame : frames) shown.insert(frame.rgb.begin(), frame.rgb.end());
    EXPECT_GT(shown.size(), 200u);
    const auto distance = [](std::uint32_t a, std::uint32_t b) {
        int sum = 0;
        for (int shift : {0, 8, 16}) {
            const int d = int(a >> shift & 0xFF) - int(b >> shift & 0xFF);
            sum += d * d;
        }
        return sum;
    };
    picture.Rewind();
    for (const Picture& frame : frames) {
        ASSERT_TRUE(picture.NextFrame());
        for (std::size_t i = 0; i < frame.rgb.size(); ++i) {
            const std::uint8_t* p = picture.Pixels() + 4 * i;
            const std::uint32_t source =
                std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
            int nearest = INT_MAX;
            for (std::uint32_t entry : shown) nearest = std::min(nearest, distance(source, entry));
            ASSERT_EQ(distance(source, frame.rgb[i]), nearest)
                << "frame " << picture.FramesDone() << ", pixel " << i;
        }
    }
}

TEST_F(ConversionTest, ReadOnlyDestinationsAndLinks) {
    WriteGif(FiveFrames());
    std::ofstream(avi_.str()) << "old";
    fs::permissions(avi_.str(),
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    // Decided by the mode, so that it holds for root as for anyone.
    {
        CConversion::Result r = Convert(true);
        EXPECT_EQ(r.messageId, IDS_WRITE_ERROR);
        ExpectOldFileAlone(avi_.str());
    }
    fs::permissions(avi_.str(), fs::perms::owner_read | fs::perms::owner_write);
    // Through a link: the link stays, the file it names gets the video and
    // keeps its mode.
    TempPath link(".link.avi");
    fs::create_symlink(avi_.str(), link.str());
    HDC screen = GetDC(nullptr);
    CConversion::Result r = CConversion::Run(gif_.str().c_str(), link.str().c_str(), true, screen);
    ReleaseDC(nullptr, screen);
    EXPECT_TRUE(r.converted);
    EXPECT_TRUE(fs::is_symlink(link.str()));
    EXPECT_GT(fs::file_size(avi_.str()), 100u);
    EXPECT_EQ(fs::status(avi_.str()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(ConversionTest, CanvasIsTheScreenInItsBackgroundColour) {
    SKIP_WITHOUT_FFMPEG();
    // Screen 4 x 3, background entry 2; a 2 x 1 image at (1, 1), then a 2 x 2
    // image at (3, 2) that reaches past the screen's edge.
    gifbuild::Gif gif(4, 3, gifbuild::DistinctTable(4), 2);
    gif.FlatImage(1, 1, 2, 1, {0, 1}).FlatImage(3, 2, 2, 2, {3, 3, 3, 3}).Trailer();
    WriteGif(gif.bytes);
    CConversion::Result r = Convert(true);
    ASSERT_TRUE(r.converted);
    EXPECT_EQ(r.frames, 2);
    auto colour = [](int i) {
        return (std::uint32_t(i) << 16) | (std::uint32_t(255 - i) << 8) | (i ^ 0x5A);
    };
    const std::uint32_t bg = colour(2);
    std::vector<Picture> frames = DecodeWithFfmpeg(avi_.str(), 4, 3, nullptr);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].rgb, (std::vector<std::uint32_t>{bg, bg, bg, bg, bg, colour(0), colour(1),
                                                         bg, bg, bg, bg, bg}));
    EXPECT_EQ(frames[1].rgb, (std::vector<std::uint32_t>{bg, bg, bg, bg, bg, colour(0), colour(1),
                                                         bg, bg, bg, bg, colour(3)}));

    // A screen of 0 x 0 takes the first image's extent.
    WriteGif(gifbuild::Gif(0, 0, gifbuild::DistinctTable(4))
                 .FlatImage(1, 2, 2, 1, {1, 1})
                 .Trailer()
                 .bytes);
    r = Convert(true);
    ASSERT_TRUE(r.converted);
    std::map<std::string, std::string> probed = Probe(avi_.str(), {"width", "height"});
    EXPECT_EQ(probed["width"], "3");
    EXPECT_EQ(probed["height"], "3");
}

} // namespace
