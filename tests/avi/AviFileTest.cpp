// The AVI file library against two independent readers: AviParse.h for the
// layout (chunk sizes, padding, indexes, patched headers) and ffmpeg/ffprobe
// for what players see (every frame decoded, pixel for pixel); refused calls.
#include "AviFileFixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace avifiletest;
using avitest::AviParse;
using avitest::Fourcc;
using avitest::HaveFfmpeg;
namespace fs = std::filesystem;

// ---------------------------------------------------------------------------

TEST_F(AviFileTest, UncompressedFileHasPatchedHeadersAndExactFrames) {
    auto frames = Frames(3, 24, 5, 3, Pattern::Noise); // 5 pixels: rows padded to 16 bytes
    Calls c = WriteAvi(Path("a.avi"), kDib, frames);
    ASSERT_EQ(c.Written(), 3);
    EXPECT_EQ(c.close, AVIERR_OK);

    AviParse avi;
    ASSERT_TRUE(avi.Load(Path("a.avi"))) << avi.error;
    ASSERT_EQ(avi.riffs.size(), 1u);
    EXPECT_EQ(avi.riffs[0].End(), avi.bytes.size());
    EXPECT_EQ(avi.avih->microSecPerFrame, 66667u);
    EXPECT_EQ(avi.avih->flags & 0x10, 0x10u);
    EXPECT_EQ(avi.avih->streams, 1u);
    EXPECT_EQ(avi.avih->width, 5u);
    EXPECT_EQ(avi.avih->height, 3u);
    EXPECT_EQ(avi.strh->fccType, Fourcc("vids"));
    EXPECT_EQ(avi.strh->fccHandler, Fourcc("DIB "));
    EXPECT_EQ(avi.strh->rate, 15u);
    EXPECT_EQ(avi.strh->scale, 1u);
    EXPECT_EQ(avi.strh->frame[2], 5);
    EXPECT_EQ(avi.strh->frame[3], 3);
    EXPECT_EQ(avi.strf, frames[0].Format());
    EXPECT_FALSE(avi.indx.has_value()); // one RIFF: the reservations stay JUNK
    EXPECT_FALSE(avi.dmlhFrames.has_value());
    ExpectConsistentIndexes(avi, 3);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(avi.frames[i].id, Fourcc("00db"));
        EXPECT_EQ(avi.Data(avi.frames[i]), frames[i].bits);
        EXPECT_EQ((*avi.idx1)[i].flags, AVIIF_KEYFRAME);
    }
}

TEST_F(AviFileTest, Rle8StreamFormatIsTheHeaderAndItsPalette) {
    auto frames = Frames(2, 8, 16, 4, Pattern::Runs);
    ASSERT_EQ(WriteAvi(Path("r.avi"), kRle, frames).Written(), 2);
    AviParse avi;
    ASSERT_TRUE(avi.Load(Path("r.avi"))) << avi.error;
    ASSERT_EQ(avi.strf.size(), 1064u);
    EXPECT_EQ(avi.StrfU32(0), 40u);          // biSize
    EXPECT_EQ(avi.StrfU32(14) & 0xFFFF, 8u); // biBitCount
    EXPECT_EQ(avi.StrfU32(16), BI_RLE8);     // biCompression
    EXPECT_EQ(avi.StrfU32(32), 256u);        // biClrUsed
    std::vector<BYTE> given = frames[0].Format();
    EXPECT_TRUE(std::equal(avi.strf.begin() + 40, avi.strf.end(), given.begin() + 40, given.end()));
    EXPECT_EQ(avi.strh->fccHandler, Fourcc("mrle"));
    EXPECT_EQ(avi.strh->quality, 8500u);
    ExpectConsistentIndexes(avi, 2);
    for (const auto& f : avi.frames) {
        EXPECT_EQ(f.id, Fourcc("00dc"));
        EXPECT_LT(f.size, frames[0].bits.size()); // runs of 5 compress
    }
}

// ---------------------------------------------------------------------------
// What ffmpeg makes of our files.

struct DecodeCase {
    const char* name;
    DWORD handler;
    int bpp, width, height, frames;
    Pattern pattern;
    const char* codec;
};
void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class FfmpegDecodeTest : public AviFileTest, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(FfmpegDecodeTest, EveryFrameDecodesExactly) {
    SKIP_WITHOUT_FFMPEG();
    const DecodeCase& p = GetParam();
    auto frames = Frames(p.frames, p.bpp, p.width, p.height, p.pattern);
    ASSERT_EQ(WriteAvi(Path("f.avi"), p.handler, frames).Written(), p.frames);
    auto probe = Probe(Path("f.avi"));
    EXPECT_EQ(probe["#status"], "0");
    EXPECT_EQ(probe["#stderr"], "");
    EXPECT_EQ(probe["codec_name"], p.codec);
    EXPECT_EQ(probe["width"], std::to_string(p.width));
    EXPECT_EQ(probe["height"], std::to_string(p.height));
    EXPECT_EQ(probe["r_frame_rate"], "15/1");
    EXPECT_EQ(probe["nb_frames"], std::to_string(p.frames));
    ExpectDecodes(Path("f.avi"), frames);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FfmpegDecodeTest,
    ::testing::Values(DecodeCase{"Dib24Padded", kDib, 24, 5, 3, 3, Pattern::Noise, "rawvideo"},
                      DecodeCase{"Dib24", kDib, 24, 64, 48, 4, Pattern::Runs, "rawvideo"},
                      DecodeCase{"Dib32", kDib, 32, 7, 5, 2, Pattern::Noise, "rawvideo"},
                      DecodeCase{"Dib8Palette", kDib, 8, 9, 4, 2, Pattern::Noise, "rawvideo"},
                      DecodeCase{"Rle1x1", kRle, 8, 1, 1, 2, Pattern::Noise, "msrle"},
                      DecodeCase{"Rle1Wide", kRle, 8, 1, 7, 2, Pattern::Flat, "msrle"},
                      DecodeCase{"RleNoise", kRle, 8, 37, 11, 3, Pattern::Noise, "msrle"},
                      DecodeCase{"RleRuns", kRle, 8, 64, 48, 3, Pattern::Runs, "msrle"},
                      DecodeCase{"RleLongRuns", kRle, 8, 600, 3, 2, Pattern::Flat, "msrle"}),
    [](const auto& info) { return std::string(info.param.name); });

// An encoding exactly stride x height bytes long would be taken for an
// uncompressed frame: a flat row and a row of 5 distinct pixels at width 5
// encode to 16 bytes with a greedy encoder, the size of the raw picture.
TEST_F(AviFileTest, Rle8FrameNeverHasTheUncompressedSize) {
    SKIP_WITHOUT_FFMPEG();
    Picture p = MakePicture(8, 5, 2, Pattern::Flat, 9);
    for (int x = 0; x < 5; ++x) p.bits[p.stride + x] = BYTE(10 * x + 1);
    ASSERT_EQ(WriteAvi(Path("n.avi"), kRle, {p, p}).Written(), 2);
    AviParse avi;
    ASSERT_TRUE(avi.Load(Path("n.avi"))) << avi.error;
    for (const auto& f : avi.frames) EXPECT_NE(f.size, p.bits.size());
    ExpectDecodes(Path("n.avi"), {p, p});
}

// Frames written to the file's own stream keep their size and flags: odd-sized
// BI_RLE8 data (a valid picture plus one byte after the end-of-bitmap, which
// decoders never read) must be padded, and the pad must not count.
TEST_F(AviFileTest, OddChunksArePaddedAndNonKeyFramesFlagged) {
    PAVIFILE file;
    PAVISTREAM stream;
    ASSERT_EQ(AVIFileOpen(&file, Path("o.avi").c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    AVISTREAMINFO info = VideoInfo();
    info.fccHandler = kRle;
    std::strcpy(info.szName, "odds"); // an odd 'strn': 5 bytes
    ASSERT_EQ(AVIFileCreateStream(file, &stream, &info), AVIERR_OK);
    Picture p = MakePicture(8, 4, 2, Pattern::Flat, 3);
    std::vector<BYTE> format = p.Format();
    reinterpret_cast<BITMAPINFOHEADER*>(format.data())->biCompression = BI_RLE8;
    ASSERT_EQ(SetFormat(stream, format), AVIERR_OK);
    // Two rows of four pixels of index 3, end of bitmap, one stray byte.
    std::vector<BYTE> rle = {4, 3, 0, 0, 4, 3, 0, 0, 0, 1, 0x55};
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(Write(stream, i, rle, i % 2 ? 0 : AVIIF_KEYFRAME), AVIERR_OK);
    EXPECT_EQ(AVIStreamRelease(stream), 0u);
    EXPECT_EQ(AVIFileRelease(file), 0u);
    ASSERT_EQ(AviLastCloseResult(), AVIERR_OK);

    AviParse avi; // checks each pad byte is present and zero
    ASSERT_TRUE(avi.Load(Path("o.avi"))) << avi.error;
    EXPECT_EQ(avi.strn, std::string("odds\0", 5));
    ExpectConsistentIndexes(avi, 4);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(avi.frames[i].size, 11u);
        EXPECT_EQ(avi.Data(avi.frames[i]), rle);
        EXPECT_EQ((*avi.idx1)[i].flags, i % 2 ? 0u : AVIIF_KEYFRAME);
        if (i > 0) {
            EXPECT_EQ(avi.frames[i].offset, avi.frames[i - 1].offset + 8 + 12);
        }
    }
    if (HaveFfmpeg()) ExpectDecodes(Path("o.avi"), {p, p, p, p});
}

// ---------------------------------------------------------------------------
// Refused calls: results, and the file stays writable after them.

TEST_F(AviFileTest, BadWritesAreRefusedWithoutHarm) {
    Picture p = MakePicture(24, 4, 4, Pattern::Noise, 1);
    PAVIFILE file;
    PAVISTREAM stream, z;
    ASSERT_EQ(AVIFileOpen(&file, Path("b.avi").c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    AVISTREAMINFO info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 1;
    EXPECT_EQ(AVIFileCreateStream(file, &stream, &info), AVIERR_BADPARAM); // rate 0
    info.dwRate = 15;
    info.fccType = mmioFOURCC('a', 'u', 'd', 's');
    EXPECT_EQ(AVIFileCreateStream(file, &stream, &info), AVIERR_UNSUPPORTED);
    info.fccType = streamtypeVIDEO;
    ASSERT_EQ(AVIFileCreateStream(file, &stream, &info), AVIERR_OK);
    EXPECT_EQ(AVIFileCreateStream(file, &z, &info), AVIERR_UNSUPPORTED); // one stream per file
    AVICOMPRESSOPTIONS options{};
    options.fccHandler = mmioFOURCC('c', 'v', 'i', 'd');
    EXPECT_EQ(AVIMakeCompressedStream(&z, stream, &options, nullptr), AVIERR_NOCOMPRESSOR);
    EXPECT_EQ(z, nullptr);
    options.fccHandler = kDib;
    PAVISTREAM comp;
    ASSERT_EQ(AVIMakeCompressedStream(&comp, stream, &options, nullptr), AVIERR_OK);
    BYTE* bits = p.bits.data();
    LONG size = LONG(p.bits.size());
    EXPECT_EQ(AVIStreamWrite(comp, 0, 1, bits, size, AVIIF_KEYFRAME, nullptr, nullptr),
              AVIERR_BADFORMAT);
    std::vector<BYTE> format = p.Format();
    EXPECT_EQ(AVIStreamSetFormat(comp, 1, format.data(), LONG(format.size())), AVIERR_UNSUPPORTED);
    ASSERT_EQ(SetFormat(comp, format), AVIERR_OK);

    LONG samples = -1, bytes = -1;
    EXPECT_EQ(AVIStreamWrite(comp, 1, 1, bits, size, 0, &samples, &bytes), AVIERR_BADPARAM); // gap
    EXPECT_EQ(samples, 0);
    EXPECT_EQ(AVIStreamWrite(comp, 0, 2, bits, size, 0, nullptr, nullptr), AVIERR_BADPARAM);
    EXPECT_EQ(AVIStreamWrite(comp, 0, 1, bits, size - 1, 0, nullptr, nullptr), AVIERR_BADPARAM);
    EXPECT_EQ(AVIStreamWrite(comp, 0, 1, nullptr, size, 0, nullptr, nullptr), AVIERR_BADPARAM);
    ASSERT_EQ(AVIStreamWrite(comp, 0, 1, bits, size, 0, &samples, &bytes), AVIERR_OK);
    EXPECT_EQ(samples, 1);
    EXPECT_EQ(bytes, size);
    EXPECT_EQ(AVIStreamWrite(comp, 0, 1, bits, size, 0, nullptr, nullptr),
              AVIERR_BADPARAM); // again
    // The format is fixed by the first frame.
    EXPECT_EQ(SetFormat(comp, format), AVIERR_OK);
    reinterpret_cast<BITMAPINFOHEADER*>(format.data())->biXPelsPerMeter = 3780;
    EXPECT_EQ(SetFormat(comp, format), AVIERR_UNSUPPORTED);
    ASSERT_EQ(AVIStreamWrite(comp, 1, 1, bits, size, 0, nullptr, nullptr), AVIERR_OK);
    AVIStreamRelease(stream);
    AVIStreamRelease(comp);
    AVIFileRelease(file);
    EXPECT_EQ(AviLastCloseResult(), AVIERR_OK);
    AviParse avi;
    ASSERT_TRUE(avi.Load(Path("b.avi"))) << avi.error;
    ExpectConsistentIndexes(avi, 2);
}

struct FormatCase {
    const char* name;
    DWORD handler;
    void (*spoil)(std::vector<BYTE>&);
};
void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.name;
}

class FormatTest : public AviFileTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatTest, IsRefused) {
    PAVIFILE file;
    PAVISTREAM stream, comp;
    ASSERT_NO_FATAL_FAILURE(Open("f.avi", file, stream));
    ASSERT_NE(comp = Compress(stream, GetParam().handler), nullptr);
    std::vector<BYTE> format = MakePicture(8, 6, 4, Pattern::Flat, 0).Format();
    GetParam().spoil(format);
    EXPECT_EQ(SetFormat(comp, format), AVIERR_BADFORMAT);
    AVIStreamRelease(stream);
    AVIStreamRelease(comp);
    AVIFileRelease(file);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatTest,
    ::testing::Values(
        FormatCase{"Rle24Bit", kRle, [](auto& f) { H(f).biBitCount = 24, H(f).biClrUsed = 0; }},
        FormatCase{"RleAlreadyCompressed", kRle, [](auto& f) { H(f).biCompression = BI_RLE8; }},
        FormatCase{"RleTopDown", kRle, [](auto& f) { H(f).biHeight = -4; }},
        FormatCase{"RleTableCut", kRle, [](auto& f) { f.resize(40 + 4 * 255); }},
        FormatCase{"RleTooManyColours", kRle, [](auto& f) { H(f).biClrUsed = 257; }},
        FormatCase{"DibWrongImageSize", kDib, [](auto& f) { H(f).biSizeImage = 23; }},
        FormatCase{"DibBitCount7", kDib, [](auto& f) { H(f).biBitCount = 7; }},
        FormatCase{"DibShortHeader", kDib, [](auto& f) { f.resize(39); }},
        FormatCase{"DibNoWidth", kDib, [](auto& f) { H(f).biWidth = 0; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AviFileTest, HandlesAreCheckedNotFollowed) {
    PAVIFILE file;
    PAVISTREAM stream;
    ASSERT_NO_FATAL_FAILURE(Open("h.avi", file, stream));
    auto asStream = reinterpret_cast<PAVISTREAM>(file);
    auto asFile = reinterpret_cast<PAVIFILE>(stream);
    auto bogus = reinterpret_cast<PAVISTREAM>(std::uintptr_t(0xDEAD0000));
    AVISTREAMINFO info = VideoInfo();
    BYTE byte = 0;
    PAVISTREAM out;
    AVICOMPRESSOPTIONS options{};
    options.fccHandler = kDib;
    EXPECT_EQ(AVIFileCreateStream(asFile, &out, &info), AVIERR_BADPARAM);
    EXPECT_EQ(AVIStreamSetFormat(asStream, 0, &byte, 1), AVIERR_BADPARAM);
    EXPECT_EQ(AVIStreamWrite(bogus, 0, 1, &byte, 1, 0, nullptr, nullptr), AVIERR_BADPARAM);
    EXPECT_EQ(AVIMakeCompressedStream(&out, asStream, &options, nullptr), AVIERR_BADPARAM);
    EXPECT_EQ(AVIStreamRelease(asStream), 0u);
    EXPECT_EQ(AVIFileRelease(asFile), 0u);
    EXPECT_EQ(AviLiveObjects(), m_live + 2); // neither was touched
    EXPECT_EQ(AVIStreamRelease(stream), 0u);
    EXPECT_EQ(AVIFileRelease(file), 0u);
    EXPECT_EQ(AviLiveObjects(), m_live);
    EXPECT_EQ(AVIFileRelease(file), 0u); // released handles are recognised
    EXPECT_EQ(AVIStreamRelease(stream), 0u);
    EXPECT_EQ(AVIStreamWrite(stream, 0, 1, &byte, 1, 0, nullptr, nullptr), AVIERR_BADPARAM);
    EXPECT_EQ(AVIFileCreateStream(file, &out, &info), AVIERR_BADPARAM);
}

// The file is completed when the last of its references goes, whichever that is.
TEST_F(AviFileTest, FileIsCompletedByTheLastRelease) {
    auto frames = Frames(2, 24, 4, 2, Pattern::Noise);
    Calls c = WriteAvi(Path("w.avi"), kDib, frames); // the converter's order
    EXPECT_EQ(c.released[0], 1u); // the compressing stream still holds the source
    EXPECT_EQ(c.released[1], 0u);
    EXPECT_EQ(c.released[2], 0u);

    PAVIFILE file;
    PAVISTREAM stream, comp;
    ASSERT_NO_FATAL_FAILURE(Open("x.avi", file, stream));
    ASSERT_NE(comp = Compress(stream, kDib), nullptr);
    std::vector<BYTE> format = frames[0].Format();
    ASSERT_EQ(SetFormat(comp, format), AVIERR_OK);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(Write(comp, i, frames[i].bits), AVIERR_OK);
    EXPECT_EQ(AVIFileRelease(file), 1u);   // its stream holds it
    EXPECT_EQ(AVIStreamRelease(comp), 0u); // and lets go of the stream
    AviParse early;
    EXPECT_FALSE(early.Load(Path("x.avi")) && early.idx1.has_value()) << "completed too early";
    EXPECT_EQ(AVIStreamRelease(stream), 0u);
    EXPECT_EQ(AviLastCloseResult(), AVIERR_OK);
    AviParse done, reference;
    ASSERT_TRUE(done.Load(Path("x.avi"))) << done.error;
    ASSERT_TRUE(reference.Load(Path("w.avi"))) << reference.error;
    EXPECT_EQ(done.bytes, reference.bytes);
}

// A file without frames is still a complete RIFF: with a stream whose format
// was given it plays as zero frames; without one it has no stream list.
TEST_F(AviFileTest, FilesWithoutFramesAreComplete) {
    PAVIFILE file;
    ASSERT_EQ(AVIFileOpen(&file, Path("e0.avi").c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    EXPECT_EQ(fs::file_size(Path("e0.avi")), 0u); // nothing before the first frame
    EXPECT_EQ(AVIFileRelease(file), 0u);
    EXPECT_EQ(AviLastCloseResult(), AVIERR_OK);
    AviParse none;
    ASSERT_TRUE(none.Load(Path("e0.avi"))) << none.error;
    EXPECT_EQ(none.avih->streams, 0u);
    EXPECT_FALSE(none.strh.has_value());
    EXPECT_TRUE(none.frames.empty());
    ASSERT_TRUE(none.idx1.has_value());
    EXPECT_TRUE(none.idx1->empty());

    Picture p = MakePicture(24, 8, 6, Pattern::Flat, 1);
    PAVISTREAM stream;
    ASSERT_EQ(AVIFileOpen(&file, Path("e1.avi").c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    AVISTREAMINFO info = VideoInfo();
    ASSERT_EQ(AVIFileCreateStream(file, &stream, &info), AVIERR_OK);
    std::vector<BYTE> format = p.Format();
    ASSERT_EQ(SetFormat(stream, format), AVIERR_OK);
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    EXPECT_EQ(AviLastCloseResult(), AVIERR_OK);
    AviParse empty;
    ASSERT_TRUE(empty.Load(Path("e1.avi"))) << empty.error;
    EXPECT_EQ(empty.avih->streams, 1u);
    EXPECT_EQ(empty.strh->length, 0u);
    EXPECT_EQ(empty.strf, format);
    EXPECT_EQ(empty.strh->frame[2], 8); // rcFrame left empty: the format's size
    if (!HaveFfmpeg()) return;
    auto probe = Probe(Path("e1.avi"));
    EXPECT_EQ(probe["#status"], "0") << probe["#stderr"];
    EXPECT_EQ(probe["width"], "8");
    EXPECT_TRUE(Decode(Path("e1.avi")).empty());
}

TEST_F(AviFileTest, VersionAndInitCount) {
    EXPECT_GE(VideoForWindowsVersion() >> 16, 0x010Au);
    AviSetLibraryVersion(0x01090000);
    EXPECT_EQ(VideoForWindowsVersion(), 0x01090000u);
    AviSetLibraryVersion(0);
    EXPECT_GE(VideoForWindowsVersion() >> 16, 0x010Au);
    long base = AviInitCount(); // SetUp's
    AVIFileInit();
    EXPECT_EQ(AviInitCount(), base + 1);
    AVIFileExit();
    EXPECT_EQ(AviInitCount(), base);
}

} // namespace
