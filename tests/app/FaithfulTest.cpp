// The faithful mode against ImageMagick's composition of the same GIF
// (`convert -coalesce`, flattened onto the background colour): the frame
// ffmpeg decodes at each image's start is ImageMagick's frame for that image,
// each image starts at the frame its delays give, and the video lasts the
// GIF's total delay.
#include "../avi/AviTestSupport.h"
#include "../gif/GifBuilder.h"
#include "../gif/GifReference.h"
#include "../gif/GifTestSupport.h"
#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <sstream>

using namespace avitest;

namespace {

const std::string kConvert = TESSALY_CONVERT;

std::string Quote(const std::string& path) {
    return "'" + path + "'";
}

// The logical screen and its background colour, read from the GIF's first
// bytes; ImageMagick's frames (rgb24, one after the other) and delays.
struct Composed {
    int width = 0, height = 0;
    std::string rgb;
    std::vector<int> delays; // as browsers take them
    std::size_t FrameBytes() const { return std::size_t(width) * height * 3; }
    std::size_t Frames() const { return FrameBytes() ? rgb.size() / FrameBytes() : 0; }
};

std::uint32_t PixelAt(const std::string& rgb, std::size_t i) {
    const auto* px = reinterpret_cast<const unsigned char*>(rgb.data() + 3 * i);
    return unsigned(px[0]) << 16 | px[1] << 8 | px[2];
}

// The frames as pictures and back, to amend them.
std::vector<Picture> Pictures(const Composed& c) {
    std::vector<Picture> frames;
    const std::size_t size = std::size_t(c.width) * c.height;
    for (std::size_t f = 0; f < c.Frames(); ++f) {
        Picture p{c.width, c.height, std::vector<std::uint32_t>(size)};
        for (std::size_t i = 0; i < size; ++i) p.rgb[i] = PixelAt(c.rgb, f * size + i);
        frames.push_back(std::move(p));
    }
    return frames;
}
std::string Rgb(const std::vector<Picture>& frames) {
    std::string rgb;
    for (const Picture& p : frames)
        for (std::uint32_t v : p.rgb) rgb += {char(v >> 16), char(v >> 8), char(v)};
    return rgb;
}

Composed Coalesced(const std::string& gif) {
    const std::vector<std::uint8_t> b = testfiles::ReadBytes(gif);
    Composed c;
    c.width = b[6] | b[7] << 8;
    c.height = b[8] | b[9] << 8;
    unsigned background = 0;
    if ((b[10] & 0x80) && b[11] < (2 << (b[10] & 7))) {
        const std::uint8_t* e = &b[13 + 3 * b[11]];
        background = unsigned(e[0]) << 16 | e[1] << 8 | e[2];
    }
    char colour[16];
    std::snprintf(colour, sizeof colour, "#%06X", background);
    // (Grey tables are read as linear grey unless told they are sRGB.)
    c.rgb = RunOn("/usr/bin/convert", gif,
                  "-set colorspace sRGB -coalesce -background '" + std::string(colour) +
                      "' -alpha remove -alpha off -depth 8 rgb:-")
                .out;
    c.rgb.resize(c.Frames() * c.FrameBytes()); // whole frames only
    std::istringstream delays(RunOn("/usr/bin/convert", gif, "-format '%T\\n' info:").out);
    for (int d; delays >> d;) c.delays.push_back(d <= 1 ? 10 : d);
    return c;
}

// The frame each image starts at, by the rule of the video's rate: 100 / g
// frames per second for g the delays' greatest common divisor, or 50 with
// each start rounded to the nearest frame; and the video's frame count.
std::vector<long> Starts(const std::vector<int>& delays, long* total) {
    const int g = std::accumulate(delays.begin(), delays.end(), 0,
                                  [](int a, int d) { return std::gcd(a, d); });
    std::vector<long> starts;
    long t = 0;
    for (int d : delays) {
        starts.push_back(g >= 2 ? t / g : (t + 1) / 2);
        t += d;
    }
    *total = g >= 2 ? t / g : (t + 1) / 2;
    return starts;
}

// The timestamps, in frames, of the frames ffmpeg decodes (empty chunks
// give none), from a description with the video's frame count and length.
std::vector<long> Times(const std::string& list) {
    std::vector<long> times;
    std::istringstream values(list);
    for (std::string value; std::getline(values, value, ',');) times.push_back(std::stol(value));
    return times;
}

// The modes the faithful videos are checked in: delta frames too.
const char* const kModes[] = {"--uncompressed", "--rle8", "--delta=2"};

void ExpectFaithfulIn(const std::string& mode, const std::string& gif, const Composed& want,
                      bool exactRle8) {
    SCOPED_TRACE(gif + " " + mode);
    const bool uncompressed = mode == "--uncompressed";
    testfiles::TempPath avi(".avi");
    const CommandResult run =
        Run(kConvert + " --faithful " + mode + " " + Quote(gif) + " " + Quote(avi.str()));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");

    long total = 0;
    const std::vector<long> starts = Starts(want.delays, &total);
    std::map<std::string, std::string> probed =
        Probe(avi.str(), {"frame.best_effort_timestamp", "nb_frames", "format.duration"});
    EXPECT_EQ(Times(probed["frame.best_effort_timestamp"]), starts);
    // Repeats are chunks of no data: one frame of pixels per image.
    EXPECT_EQ(probed["nb_frames"], std::to_string(total));
    const double seconds = std::stod(probed["format.duration"]);
    const double sum = std::accumulate(want.delays.begin(), want.delays.end(), 0) / 100.0;
    EXPECT_NEAR(seconds, sum, sum / double(total) + 1e-6) << "within one video frame";

    const CommandResult raw = RunOn("ffmpeg -nostdin -v error -i", avi.str(),
                                    "-vsync passthrough -f rawvideo -pix_fmt rgb24 -");
    ASSERT_EQ(raw.out.size(), want.rgb.size());
    if (!uncompressed && !exactRle8) return; // more colours than a palette holds
    if (raw.out == want.rgb) return;
    const auto differs = std::mismatch(raw.out.begin(), raw.out.end(), want.rgb.begin()).first;
    const std::size_t i = std::size_t(differs - raw.out.begin()) / 3;
    const std::size_t size = std::size_t(want.width) * want.height;
    ASSERT_EQ(PixelAt(raw.out, i), PixelAt(want.rgb, i))
        << "image " << i / size << ", pixel " << i % size % want.width << ","
        << i % size / want.width;
}

// The GIF's videos in every mode against ImageMagick's composition, with
// `amend` applied where ImageMagick departs from GIF89a.
void ExpectFaithful(const std::string& gif,
                    const std::function<void(std::vector<Picture>&)>& amend = nullptr,
                    bool exactRle8 = true) {
    Composed want = Coalesced(gif);
    if (amend && want.Frames()) {
        std::vector<Picture> frames = Pictures(want);
        amend(frames);
        want.rgb = Rgb(frames);
    }
    ASSERT_NE(want.Frames(), 0u) << gif;
    ASSERT_EQ(want.Frames(), want.delays.size()) << gif;
    for (const char* mode : kModes) ExpectFaithfulIn(mode, gif, want, exactRle8);
}

using gifbuild::Bytes;
using gifbuild::DistinctTable;
using gifbuild::Gif;

// Index pixels of a w x h image, pixel (x, y) = f(x, y).
template <class F>
std::vector<std::uint8_t> Pixels(int w, int h, F f) {
    std::vector<std::uint8_t> p;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p.push_back(std::uint8_t(f(x, y)));
    return p;
}
std::vector<std::uint8_t> Plain(int w, int h, int index) {
    return Pixels(w, h, [=](int, int) { return index; });
}
// A graphic control extension's packed byte.
int Packed(int disposal, bool transparent) {
    return disposal << 2 | (transparent ? 1 : 0);
}

struct Built {
    const char* name;
    Bytes bytes;
    // Where ImageMagick departs from GIF89a, the frames it should show.
    std::function<void(std::vector<Picture>&)> amend;
};

// Small GIFs spelling out each rule: screens of a few pixels, indices that
// name their colours (DistinctTable), background index 0.
std::vector<Built> HandBuilt() {
    std::vector<Built> cases;
    auto add = [&](const char* name, Gif& gif,
                   std::function<void(std::vector<Picture>&)> amend = nullptr) {
        cases.push_back({name, gif.Trailer().bytes, std::move(amend)});
    };
    const auto checks = [](int x, int y) { return 1 + (x + 2 * y) % 5; };

    Gif first(6, 4, DistinctTable(8));
    first.Gce(Packed(1, true), 10, 3).FlatImage(0, 0, 6, 4, Pixels(6, 4, checks), false, {}, 3);
    first.Gce(Packed(0, true), 10, 2).FlatImage(1, 1, 3, 2, Pixels(3, 2, checks), false, {}, 3);
    add("transparency_in_the_first_image", first);

    Gif each(6, 4, DistinctTable(8));
    each.Gce(Packed(1, false), 10, 0).FlatImage(0, 0, 6, 4, Pixels(6, 4, checks), false, {}, 3);
    each.Gce(Packed(2, false), 10, 0).FlatImage(1, 1, 3, 2, Plain(3, 2, 6), false, {}, 3);
    each.Gce(Packed(3, false), 10, 0).FlatImage(2, 0, 2, 2, Plain(2, 2, 7), false, {}, 3);
    each.Gce(Packed(3, true), 10, 1).FlatImage(0, 2, 3, 2, Pixels(3, 2, checks), false, {}, 3);
    each.Gce(Packed(6, true), 10, 4).FlatImage(3, 1, 3, 3, Pixels(3, 3, checks), false, {}, 3);
    each.Gce(Packed(0, false), 10, 0).FlatImage(0, 0, 2, 2, Plain(2, 2, 5), false, {}, 3);
    add("each_disposal_and_3_after_3", each);

    // Index 6 is transparent and past the 4-entry table. ImageMagick draws
    // it opaque, as entry 0 (as it draws every index past a table, where
    // browsers show black); GIF89a and browsers leave the canvas there.
    Gif outside(5, 3, DistinctTable(4));
    const auto mixed = [](int x, int y) { return (x + y) % 3 ? 6 : 3; };
    outside.Gce(Packed(1, false), 10, 0).FlatImage(0, 0, 5, 3, Plain(5, 3, 2), false, {}, 3);
    outside.Gce(Packed(1, true), 10, 6).FlatImage(0, 0, 5, 3, Pixels(5, 3, mixed), false, {}, 3);
    add("transparent_index_outside_the_table", outside, [mixed](std::vector<Picture>& frames) {
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                if (mixed(x, y) == 6) frames[1].at(x, y) = frames[0].at(x, y);
    });

    Gif clipped(4, 3, DistinctTable(8));
    clipped.Gce(Packed(2, false), 10, 0).FlatImage(0, 0, 4, 3, Pixels(4, 3, checks), false, {}, 3);
    clipped.Gce(Packed(0, false), 10, 0).FlatImage(3, 2, 3, 3, Plain(3, 3, 7), false, {}, 3);
    clipped.Gce(Packed(0, false), 10, 0).FlatImage(1, 0, 2, 2, Plain(2, 2, 6), false, {}, 3);
    add("images_reaching_outside_the_screen", clipped);

    const struct {
        const char* name;
        std::vector<int> delays; // -1: no graphic control extension
    } timings[] = {{"equal_delays", {20, 20, 20}},
                   {"mixed_delays", {2, 3, 7, 10, 50}},
                   {"zero_delays", {0, 1, 0}},
                   {"no_control_extension", {-1, -1}}};
    for (const auto& t : timings) {
        Gif gif(3, 2, DistinctTable(8));
        int index = 1;
        for (int delay : t.delays) {
            if (delay >= 0) gif.Gce(Packed(1, false), delay, 0);
            gif.FlatImage(0, 0, 3, 2, Plain(3, 2, index++), false, {}, 3);
        }
        add(t.name, gif);
    }
    return cases;
}

class FaithfulTest : public ::testing::TestWithParam<Built> {};

TEST_P(FaithfulTest, FramesAndTimesAreImageMagicksComposition) {
    SKIP_WITHOUT_FFMPEG();
    testfiles::TempPath gif(".gif");
    {
        std::ofstream out(gif.str(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(GetParam().bytes.data()),
                  std::streamsize(GetParam().bytes.size()));
    }
    ExpectFaithful(gif.str(), GetParam().amend);
}

INSTANTIATE_TEST_SUITE_P(HandBuilt, FaithfulTest, ::testing::ValuesIn(HandBuilt()),
                         [](const auto& info) { return std::string(info.param.name); });

// The default mode names the option after its message for a GIF that asks
// for more than it gives, and only then; the exit status stays.
TEST(FaithfulHintTest, OnlyWhenTheGifAsksForMore) {
    const struct {
        int packed, delay;
        bool hint;
    } cases[] = {{Packed(1, false), 7, false}, {Packed(0, false), 6, false},
                 {Packed(1, true), 7, true},   {Packed(2, false), 7, true},
                 {Packed(3, false), 6, true},  {Packed(1, false), 10, true},
                 {Packed(1, false), 0, true}};
    for (const auto& c : cases) {
        Gif gif(3, 2, DistinctTable(8));
        gif.Gce(c.packed, c.delay, 2).FlatImage(0, 0, 3, 2, Plain(3, 2, 1), false, {}, 3);
        testfiles::TempPath path(".gif"), avi(".avi");
        {
            std::ofstream out(path.str(), std::ios::binary);
            const Bytes& bytes = gif.Trailer().bytes;
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        }
        const CommandResult run =
            avitest::Run(kConvert + " " + Quote(path.str()) + " " + Quote(avi.str()));
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err, c.hint ? apptest::kFaithfulHint : "")
            << "packed " << c.packed << ", delay " << c.delay;
    }
}

// Every GIF of the test corpora that giflib reads whole and our reader takes
// the same road through, in both modes: RLE8 exactly when the GIF's colours
// and the background fit one palette.
std::vector<std::string> CorpusGifs() {
    std::vector<std::string> files = giftest::GeneratedFiles();
    const std::filesystem::path shared =
        std::filesystem::path(TESSALY_SHARED_DIR) / "corpus" / "gif";
    std::error_code error;
    std::vector<std::string> more;
    for (std::filesystem::recursive_directory_iterator it(shared, error), end; !error && it != end;
         it.increment(error))
        if (it->is_regular_file() && it->path().extension() == ".gif")
            more.push_back(it->path().string());
    std::sort(more.begin(), more.end());
    files.insert(files.end(), more.begin(), more.end());
    return files;
}

class FaithfulCorpusTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FaithfulCorpusTest, FramesAreImageMagicksComposition) {
    SKIP_WITHOUT_FFMPEG();
    const std::string& gif = GetParam();
    const gifref::Gif read = gifref::DecodeWithGiflib(gif);
    if (!read.ok || read.images.empty()) GTEST_SKIP() << "giflib does not read it whole";
    const gifref::Comparable same = gifref::ComparableImages(read);
    if (!same.reason.empty()) GTEST_SKIP() << "the readers part: " << same.reason;
    ExpectFaithful(gif, nullptr, apptest::ColoursFit(gif, 1));
}

INSTANTIATE_TEST_SUITE_P(Corpora, FaithfulCorpusTest, ::testing::ValuesIn(CorpusGifs()),
                         [](const auto& info) {
                             return giftest::TestName(
                                 std::to_string(info.index) + "_" +
                                 std::filesystem::path(info.param).stem().string());
                         });

} // namespace

// A faithful video longer than an hour is announced before the conversion,
// by tessaly-convert alone and in a batch; an hour exactly is not. The length
// announced is the one ffprobe reads from the video.
TEST(LongVideoTest, IsAnnouncedBeforeConverting) {
    SKIP_WITHOUT_FFMPEG();
    const struct {
        std::vector<int> delays; // hundredths of a second
        const char* length;      // announced, h:mm:ss; null: nothing
        long seconds;            // the video's length, rounded
    } cases[] = {
        {{60000, 60000, 60000, 60000, 60000, 60000}, nullptr, 3600},      // 1 frame a second
        {{60000, 60000, 60000, 60000, 60000, 60100}, "1:00:01", 3601},    // the same
        {{2, 65535, 65535, 65535, 65535, 65535, 65535}, "1:05:32", 3932}, // 50 frames a second
    };
    for (const auto& c : cases) {
        testfiles::Folder folder;
        gifbuild::Gif gif(1, 1, gifbuild::DistinctTable(2));
        for (int delay : c.delays) gif.Gce(0, delay, 0).FlatImage(0, 0, 1, 1, {1});
        testfiles::WriteBytes(folder / "long.gif", gif.Trailer().bytes);
        const std::string notice = c.length ? "tessaly-convert: The video of " +
                                                  folder / "long.gif" + " will last " + c.length +
                                                  " (h:mm:ss), as the delays of its images say\n"
                                            : "";
        // Standard error and output together, in the order written.
        const CommandResult single =
            avitest::Run("(" + kConvert + " --faithful " + Quote(folder / "long.gif") + " " +
                         Quote(folder / "long.avi") + " 2>&1)");
        EXPECT_EQ(single.out, notice + "File successfully converted\n");
        const double seconds =
            std::stod(avitest::Run("ffprobe -v error -show_entries format=duration -of "
                                   "csv=p=0 " +
                                   Quote(folder / "long.avi"))
                          .out);
        EXPECT_EQ(std::lround(seconds), c.seconds) << seconds;
        const CommandResult batch =
            avitest::Run(kConvert + " --faithful " + Quote(folder / "long.gif") + " -o " +
                         Quote(folder / "out"));
        EXPECT_EQ(batch.err, notice);
    }
}
