// Delta frames: ffmpeg decodes a --delta video of every generated GIF into
// the very frames of the key-frame-only video, whose frames the end-to-end
// tests check against giflib; key frames stand where the interval says.
#include "../avi/AviTestSupport.h"
#include "../gif/GifBuilder.h"
#include "../gif/GifTestSupport.h"
#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace avitest;

namespace {

const std::string kConvert = TESSALY_CONVERT;

std::string Quote(const std::string& path) {
    return "'" + path + "'";
}

// The MD5 of each decoded frame, in order.
std::string FrameSums(const std::string& avi) {
    std::istringstream lines(
        RunOn("ffmpeg -nostdin -v error -i", avi, "-vsync passthrough -f framemd5 -").out);
    std::string sums;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#')
            sums += line.substr(line.find_first_not_of(' ', line.rfind(',') + 1)) + "\n";
    return sums;
}

class DeltaTest : public ::testing::TestWithParam<std::string> {};

TEST_P(DeltaTest, DecodesToTheKeyFrameVideo) {
    SKIP_WITHOUT_FFMPEG();
    testfiles::TempPath keys(".avi"), deltas(".avi");
    ASSERT_EQ(avitest::Run(kConvert + " " + Quote(GetParam()) + " " + Quote(keys.str())).exitCode,
              0);
    ASSERT_EQ(avitest::Run(kConvert + " --delta=3 " + Quote(GetParam()) + " " + Quote(deltas.str()))
                  .exitCode,
              0);
    EXPECT_EQ(FrameSums(deltas.str()), FrameSums(keys.str()));
    // A key frame at every third frame; the others may be deltas.
    std::istringstream packets(
        RunOn("ffprobe -v error -select_streams v -show_entries packet=pts,flags -of csv=p=0",
              deltas.str())
            .out);
    int frame = 0;
    for (std::string line; std::getline(packets, line);) {
        if (line.empty()) continue;
        const int pts = std::stoi(line);
        const std::string flags = line.substr(line.find(',') + 1);
        if (pts % 3 == 0) {
            EXPECT_EQ(flags.substr(0, 1), "K") << "frame " << pts;
        }
        ++frame;
    }
    EXPECT_GT(frame, 0);
}

INSTANTIATE_TEST_SUITE_P(Generated, DeltaTest, ::testing::ValuesIn(giftest::GeneratedFiles()),
                         [](const auto& info) {
                             return giftest::TestName(
                                 std::filesystem::path(info.param).stem().string());
                         });

// Seeking decodes from the key frame before the time asked: the frame it
// gives is the frame a decode from the start gives there.
TEST(DeltaSeekTest, SeeksToTheFramesOfAWholeDecode) {
    SKIP_WITHOUT_FFMPEG();
    gifbuild::Gif gif(32, 24, gifbuild::DistinctTable(8));
    for (int i = 0; i < 40; ++i) {
        std::vector<std::uint8_t> pixels(32 * 24, 0);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x)
                pixels[std::size_t((i % 20 + y) * 32 + i % 26 + x)] = std::uint8_t(1 + i % 7);
        gif.FlatImage(0, 0, 32, 24, pixels, false, {}, 3);
    }
    testfiles::TempPath path(".gif"), avi(".avi");
    {
        std::ofstream out(path.str(), std::ios::binary);
        const gifbuild::Bytes& bytes = gif.Trailer().bytes;
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    ASSERT_EQ(avitest::Run(kConvert + " --delta=4 " + Quote(path.str()) + " " + Quote(avi.str()))
                  .exitCode,
              0);
    std::istringstream whole(FrameSums(avi.str()));
    std::vector<std::string> frames;
    for (std::string sum; std::getline(whole, sum);) frames.push_back(sum);
    ASSERT_EQ(frames.size(), 40u);
    for (int n : {5, 13, 22, 39}) {
        // The first frame at or after the time: frame n, at n / 15 s.
        const std::string at = std::to_string((n - 0.25) / 15);
        const std::string seeked =
            RunOn("ffmpeg -nostdin -v error -ss " + at + " -i", avi.str(),
                  "-frames:v 1 -f framemd5 - | grep -v '^#' | sed 's/.*, *//'")
                .out;
        EXPECT_EQ(seeked, frames[std::size_t(n)] + "\n") << "frame " << n << " at " << at << " s";
    }
}

TEST(DeltaOptionTest, IsForRle8AndTakesAWholeInterval) {
    for (const char* bad : {"--delta --uncompressed", "--uncompressed --delta=4", "--delta=0",
                            "--delta=x", "--delta=-3", "--delta=1000001"}) {
        const CommandResult r = avitest::Run(kConvert + " " + bad + " a.gif b.avi");
        EXPECT_EQ(r.exitCode, 2) << bad;
        if (std::string(bad).rfind("--delta=", 0) == 0) {
            EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
                      "tessaly-convert: " + std::string(bad) +
                          ": K must be a whole number of frames from 1 to 1000000");
        }
    }
    // The range's ends are taken.
    testfiles::TempPath gif(".gif"), avi(".avi");
    gifbuild::Gif one(2, 2, gifbuild::DistinctTable(2));
    testfiles::WriteBytes(gif.str(), one.FlatImage(0, 0, 2, 2, {0, 1, 1, 0}).Trailer().bytes);
    for (const char* good : {"--delta=1", "--delta=1000000"})
        EXPECT_EQ(
            avitest::Run(kConvert + " " + good + " " + Quote(gif.str()) + " " + Quote(avi.str()))
                .exitCode,
            0)
            << good;
}

} // namespace
