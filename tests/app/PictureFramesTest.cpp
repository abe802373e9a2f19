// Animated WebP and PNG files made by independent encoders (Pillow, webpmux,
// img2webp, ffmpeg, and an APNG assembler over ImageMagick's and Pillow's
// stills) are converted by tessaly-convert, and ffmpeg's decoding of each
// video must equal the frames make-animated-pictures composed with Pillow:
// the whole canvas after each frame, made opaque over the file's background.
#include "../avi/AviTestSupport.h"
#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <numeric>
#include <sstream>
#include <stdexcept>

using namespace avitest;

namespace {

const std::string kConvert = TESSALY_CONVERT;
const std::string kGenerator =
    std::string(TESSALY_SOURCE_DIR) + "/tests/app/make-animated-pictures";

std::string Quote(const std::string& path) {
    return "'" + path + "'";
}

// A line of the generator's manifest, and the frames it expects (RGB24, one
// after the other).
struct Source {
    std::string name, path;
    int width = 0, height = 0, frames = 0, colours = 0;
    std::vector<int> durations; // milliseconds, as stored
    std::string rgb;
    std::size_t FrameBytes() const { return std::size_t(width) * height * 3; }
    std::string Frame(int n) const { return rgb.substr(n * FrameBytes(), FrameBytes()); }
};

// The frames of a video as ffmpeg decodes them, one per stored frame
// (repeats of a frame are chunks without data, which ffmpeg passes over).
std::string Decoded(const std::string& avi) {
    const CommandResult r = RunOn("ffmpeg -nostdin -v error -i", avi,
                                  "-fps_mode passthrough -f rawvideo -pix_fmt rgb24 -");
    return r.exitCode == 0 ? r.out : "";
}

// Where `got` first departs from the source's frames.
std::string FirstDifference(const Source& s, const std::string& got) {
    const std::size_t frame = s.FrameBytes();
    if (got.size() != s.rgb.size())
        return std::to_string(got.size() / frame) + " frames, not " + std::to_string(s.frames);
    const std::size_t i =
        std::size_t(std::mismatch(got.begin(), got.end(), s.rgb.begin()).first - got.begin());
    if (i == got.size()) return "";
    const auto hex = [](const std::string& rgb, std::size_t at) {
        char text[8];
        std::snprintf(text, sizeof text, "%02X%02X%02X", unsigned(std::uint8_t(rgb[at])),
                      unsigned(std::uint8_t(rgb[at + 1])), unsigned(std::uint8_t(rgb[at + 2])));
        return std::string(text);
    };
    const std::size_t pixel = i % frame / 3, at = i - i % 3;
    return "frame " + std::to_string(i / frame) + ", pixel " +
           std::to_string(pixel % std::size_t(s.width)) + "," +
           std::to_string(pixel / std::size_t(s.width)) + ": #" + hex(got, at) + ", expected #" +
           hex(s.rgb, at);
}

class PictureFramesTest : public ::testing::Test {
protected:
    // The table is made once, in a folder of its own.
    static void SetUpTestSuite() {
        const CommandResult tools =
            avitest::Run("/usr/bin/python3 -c 'import PIL.features as f; "
                         "assert f.check(\"webp_anim\") and f.check(\"webp_mux\")' && "
                         "command -v webpmux img2webp ffmpeg ffprobe /usr/bin/convert");
        if (tools.exitCode != 0) {
            skip_ = "needs /usr/bin/python3 with Pillow's WebP, webpmux, img2webp, ffmpeg and "
                    "ImageMagick";
            return;
        }
        folder_ = std::make_unique<testfiles::Folder>();
        const CommandResult made = avitest::Run(Quote(kGenerator) + " " + Quote(folder_->str()));
        if (made.exitCode != 0) {
            failure_ = "make-animated-pictures: " + made.err;
            return;
        }
        std::ifstream manifest(*folder_ / "manifest.txt");
        for (std::string line; std::getline(manifest, line);) {
            std::istringstream fields(line);
            Source s;
            std::string file, durations;
            fields >> s.name >> file >> s.width >> s.height >> s.frames >> s.colours >> durations;
            s.path = *folder_ / file;
            std::istringstream list(durations);
            for (std::string d; std::getline(list, d, ',');) s.durations.push_back(std::stoi(d));
            s.rgb = testfiles::ReadText(*folder_ / (s.name + ".rgb"));
            sources_.push_back(std::move(s));
        }
    }
    static void TearDownTestSuite() {
        sources_.clear();
        folder_.reset();
    }
    void SetUp() override {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
        ASSERT_EQ(failure_, "");
        ASSERT_GE(sources_.size(), 20u) << "the generator's table";
    }

    static const std::vector<Source>& Sources() { return sources_; }
    static const Source& Named(const std::string& name) {
        for (const Source& s : sources_)
            if (s.name == name) return s;
        throw std::runtime_error("no source " + name);
    }

    // tessaly-convert's run on the source with `options`, into `avi`.
    static CommandResult Convert(const std::string& options, const std::string& source,
                                 const testfiles::TempPath& avi) {
        return avitest::Run(kConvert + " " + options + " " + Quote(source) + " " +
                            Quote(avi.str()));
    }

private:
    static inline std::unique_ptr<testfiles::Folder> folder_;
    static inline std::vector<Source> sources_;
    static inline std::string skip_, failure_;
};

// Lossless and lossy alike: both sides decode with the same libwebp, and the
// composition and the background are exact rules.
TEST_F(PictureFramesTest, UncompressedVideosHoldTheComposedFrames) {
    for (const Source& s : Sources()) {
        SCOPED_TRACE(s.name);
        testfiles::TempPath avi(".avi");
        const CommandResult run = Convert("--uncompressed", s.path, avi);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        if (run.exitCode != 0) continue;
        std::map<std::string, std::string> probed = Probe(avi.str(), {"nb_frames", "r_frame_rate"});
        EXPECT_EQ(probed["nb_frames"], std::to_string(s.frames));
        EXPECT_EQ(probed["r_frame_rate"], "15/1");
        EXPECT_EQ(FirstDifference(s, Decoded(avi.str())), "");
    }
}

// The format is the one the first bytes say, whatever the name.
TEST_F(PictureFramesTest, MisnamedFilesAreReadByTheirBytes) {
    for (const auto& [name, extension] :
         std::vector<std::pair<std::string, std::string>>{{"webp-mux-offsets", ".png"},
                                                          {"apng-hand-offsets-previous", ".webp"},
                                                          {"png-still-rgba", ".apng"},
                                                          {"webp-lossless-alpha", ".gif"}}) {
        const Source& s = Named(name);
        SCOPED_TRACE(s.name + " as " + extension);
        const testfiles::TempPath misnamed(extension);
        testfiles::WriteBytes(misnamed.str(), testfiles::ReadBytes(s.path));
        testfiles::TempPath avi(".avi");
        const CommandResult run = Convert("--uncompressed", misnamed.str(), avi);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        if (run.exitCode != 0) continue;
        EXPECT_EQ(FirstDifference(s, Decoded(avi.str())), "");
    }
}

// One palette for the whole video, exact when the colours that show fit;
// delta frames (a key frame every other frame) show the same.
TEST_F(PictureFramesTest, Rle8VideosAreExactWhereTheColoursFit) {
    int exact = 0;
    for (const Source& s : Sources()) {
        SCOPED_TRACE(s.name);
        testfiles::TempPath avi(".avi");
        const char* mode = exact % 2 ? "--delta=2" : "";
        SCOPED_TRACE(mode);
        const CommandResult run = Convert(mode, s.path, avi);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        if (run.exitCode != 0) continue;
        EXPECT_EQ(ProbeStream(avi.str(), "codec_name"), "msrle");
        const std::string got = Decoded(avi.str());
        EXPECT_EQ(got.size(), s.rgb.size()) << FirstDifference(s, got);
        if (got.size() != s.rgb.size() || s.colours > 256) continue;
        ++exact;
        EXPECT_EQ(FirstDifference(s, got), "");
    }
    EXPECT_GE(exact, 15) << "sources whose colours fit one palette";
}

// Each frame lasts its duration (10 ms or less counting as 100 ms): where
// the durations share a divisor of at least 20 ms, that divisor is the
// video's frame time, and each picture frame starts at the video frame its
// durations put it at.
TEST_F(PictureFramesTest, FaithfulVideosTakeTheRateTheDurationsImply) {
    for (const char* name : {"webp-mux-offsets", "webp-lossless-rgb", "apng-hand-offsets-previous",
                             "apng-pillow-palette"}) {
        const Source& s = Named(name);
        SCOPED_TRACE(s.name);
        std::vector<int> durations;
        for (int d : s.durations) durations.push_back(d <= 10 ? 100 : d);
        const int divisor = std::accumulate(durations.begin(), durations.end(), 0,
                                            [](int g, int d) { return std::gcd(g, d); });
        ASSERT_GE(divisor, 20) << "a table whose durations imply a rate";
        std::string starts;
        int frames = 0;
        for (int d : durations) {
            if (!starts.empty()) starts += ',';
            starts += std::to_string(frames);
            frames += d / divisor;
        }

        testfiles::TempPath avi(".avi");
        const CommandResult run = Convert("--faithful --uncompressed", s.path, avi);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        if (run.exitCode != 0) continue;
        std::map<std::string, std::string> probed =
            Probe(avi.str(), {"r_frame_rate", "nb_frames", "frame.best_effort_timestamp"});
        EXPECT_EQ(probed["r_frame_rate"], std::to_string(1000 / divisor) + "/1");
        EXPECT_EQ(probed["nb_frames"], std::to_string(frames));
        EXPECT_EQ(probed["frame.best_effort_timestamp"], starts);
        EXPECT_EQ(FirstDifference(s, Decoded(avi.str())), "");
    }
}

// The offset of the `n`th chunk of kind `kind` (0 for the first) in a PNG
// or WebP file, or 0.
std::size_t ChunkAt(const testfiles::Bytes& b, const char* kind, int n) {
    const bool png = b.size() > 8 && b[1] == 'P';
    std::size_t at = png ? 8 : 12;
    while (at + 8 <= b.size()) {
        const std::uint8_t* p = &b[at];
        const std::size_t length = png ? std::size_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]
                                       : std::size_t(p[7]) << 24 | p[6] << 16 | p[5] << 8 | p[4];
        if (std::equal(kind, kind + 4, p + (png ? 4 : 0)) && n-- == 0) return at;
        at += png ? 12 + length : 8 + length + (length & 1);
    }
    return 0;
}

// A file damaged in its third frame, cut short there or with the frame's
// image data spoilt, converts up to its second: the message says so, the exit
// status is 1 and the video holds the first two frames.
TEST_F(PictureFramesTest, AFileDamagedInAFrameConvertsUpToIt) {
    struct Damage {
        const char* source;
        const char* chunk; // the third frame starts with the third of these
        std::size_t at;    // bytes into it
        bool cut;          // the file ends there, or else the byte there is inverted
        int was;           // the byte inverted, where it is one in particular
    };
    const Damage cases[] = {
        {"webp-mux-offsets", "ANMF", 30, true, -1},
        // ANMF header (8 + 16 bytes), VP8L chunk header (8): the lossless
        // signature 0x2F, and a byte of the Huffman codes after the header.
        {"webp-mux-offsets", "ANMF", 32, false, 0x2F},
        {"webp-mux-offsets", "ANMF", 39, false, -1},
        {"apng-pillow-rgba", "fcTL", 60, true, -1},
        {"apng-hand-interlaced", "fcTL", 60, true, -1},
        // fcTL chunk (38 bytes), fdAT header (8) and sequence number (4),
        // then the zlib stream's first byte.
        {"apng-hand-offsets-previous", "fcTL", 50, false, 0x78},
    };
    for (const Damage& d : cases) {
        const Source& s = Named(d.source);
        SCOPED_TRACE(s.name + (d.cut ? " cut " : " inverted ") + std::to_string(d.at) +
                     " bytes into " + d.chunk + " 3");
        testfiles::Bytes bytes = testfiles::ReadBytes(s.path);
        const std::size_t third = ChunkAt(bytes, d.chunk, 2), fourth = ChunkAt(bytes, d.chunk, 3);
        ASSERT_NE(third, 0u);
        ASSERT_LT(third + d.at, fourth ? fourth : bytes.size());
        if (d.cut) {
            bytes.resize(third + d.at);
        } else {
            if (d.was >= 0) {
                ASSERT_EQ(bytes[third + d.at], d.was);
            }
            bytes[third + d.at] ^= 0xFF;
        }
        const testfiles::TempPath damaged(s.path.substr(s.path.rfind('.')));
        testfiles::WriteBytes(damaged.str(), bytes);
        testfiles::TempPath avi(".avi");
        for (const char* mode : {"--uncompressed", "--rle8"}) {
            const CommandResult run = Convert(mode, damaged.str(), avi);
            EXPECT_EQ(run.exitCode, 1) << mode;
            EXPECT_NE(run.err.find("File " + damaged.str() +
                                   " converted up to image 2; the rest could not be read"),
                      std::string::npos)
                << run.err;
            Source firstTwo = s;
            firstTwo.frames = 2;
            firstTwo.rgb = s.rgb.substr(0, 2 * s.FrameBytes());
            EXPECT_EQ(FirstDifference(firstTwo, Decoded(avi.str())), "") << mode;
        }
    }
}

// Bytes after the picture's end (the RIFF chunk's, IEND) are not read as
// more of it: some writers pad their files.
TEST_F(PictureFramesTest, BytesAfterTheEndAreNoPartOfThePicture) {
    for (const char* name : {"webp-mux-offsets", "webp-still-lossy", "apng-pillow-rgba"}) {
        const Source& s = Named(name);
        SCOPED_TRACE(s.name);
        testfiles::Bytes bytes = testfiles::ReadBytes(s.path);
        for (std::uint8_t b : {0, 0, 0, 0x52, 0x49, 0x46, 0x46}) bytes.push_back(b);
        const testfiles::TempPath padded(s.path.substr(s.path.rfind('.')));
        testfiles::WriteBytes(padded.str(), bytes);
        testfiles::TempPath avi(".avi");
        const CommandResult run = Convert("--uncompressed", padded.str(), avi);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(FirstDifference(s, Decoded(avi.str())), "");
    }
}

} // namespace
