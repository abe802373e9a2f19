// The AVI file library against two independent readers: AviParse.h for the
// layout (chunk sizes, padding, indexes, patched headers, OpenDML parts) and
// ffmpeg/ffprobe for what players see (every frame decoded, pixel for pixel).
#include "avi/AviFile.h"
#include "avi/AviTesting.h"

#include "AviParse.h"
#include "AviTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using avitest::AviParse;
using avitest::Fourcc;
using avitest::HaveFfmpeg;
namespace fs = std::filesystem;

constexpr DWORD kDib = mmioFOURCC('D', 'I', 'B', ' ');
constexpr DWORD kRle = mmioFOURCC('m', 'r', 'l', 'e');

// ---------------------------------------------------------------------------
// Pictures: a packed DIB (header, table, bottom-up rows) and the top-down
// rgb24 frame ffmpeg should make of it.

struct Picture : gfxtest::Dib {
    using Dib::Dib;
    // The header and the table entries it counts, as the stream's format.
    std::vector<BYTE> Format() const {
        return {info.begin(), info.begin() + sizeof(BITMAPINFOHEADER) + 4 * Header().biClrUsed};
    }
    std::vector<BYTE> Rgb() const {
        std::vector<BYTE> rgb;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const COLORREF c = Colour(x, y);
                rgb.insert(rgb.end(), {GetRValue(c), GetGValue(c), GetBValue(c)});
            }
        return rgb;
    }
};

enum class Pattern { Noise, Runs, Flat };

Picture MakePicture(int bpp, int w, int h, Pattern pattern, unsigned seed) {
    std::vector<COLORREF> table;
    if (bpp == 8)
        for (int i = 0; i < 256; ++i) table.push_back(RGB(BYTE(i * 7), BYTE(255 - i), BYTE(i)));
    Picture p(bpp, w, h, table);
    p.Header().biSizeImage = DWORD(p.bits.size());
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
        for (std::size_t x = 0; x < std::size_t(w) * bpp / 8; ++x) {
            BYTE v = pattern == Pattern::Noise  ? BYTE(rng())
                     : pattern == Pattern::Runs ? BYTE((x / 5 + y + seed) % 7 * 30)
                                                : BYTE(seed);
            p.bits[y * p.stride + x] = v;
        }
    return p;
}

// ---------------------------------------------------------------------------
// Calls of the library.

AVISTREAMINFO VideoInfo() { // 15 frames per second
    AVISTREAMINFO info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 1;
    info.dwRate = 15;
    return info;
}

PAVISTREAM Compress(PAVISTREAM source, DWORD handler) {
    AVICOMPRESSOPTIONS options{};
    options.fccHandler = handler;
    options.dwQuality = handler == kRle ? 8500 : 0;
    options.dwFlags = AVICOMPRESSF_VALID;
    PAVISTREAM compressed = nullptr;
    AVIMakeCompressedStream(&compressed, source, &options, nullptr);
    return compressed;
}

HRESULT SetFormat(PAVISTREAM stream, std::vector<BYTE> format) {
    return AVIStreamSetFormat(stream, 0, format.data(), LONG(format.size()));
}

HRESULT Write(PAVISTREAM stream, LONG start, std::vector<BYTE> data, DWORD flags = AVIIF_KEYFRAME) {
    return AVIStreamWrite(stream, start, 1, data.data(), LONG(data.size()), flags, nullptr,
                          nullptr);
}

// The converter's call sequence: open, stream at 15/s, compressing stream,
// format, frames as key frames, releases (source stream, compressing stream,
// file). Writing stops at the first failure, as the converter's does.

struct Calls {
    HRESULT close = -1;
    std::vector<HRESULT> writes;
    ULONG released[3] = {99, 99, 99};
    int Written() const { return int(std::count(writes.begin(), writes.end(), AVIERR_OK)); }
};

Calls WriteAvi(const std::string& path, DWORD handler, const std::vector<Picture>& frames) {
    Calls c;
    PAVIFILE file = nullptr;
    PAVISTREAM stream = nullptr, compressed = nullptr;
    const BITMAPINFOHEADER& h = frames.at(0).Header();
    AVISTREAMINFO info = VideoInfo();
    info.dwSuggestedBufferSize = h.biSizeImage;
    info.rcFrame = {0, 0, h.biWidth, h.biHeight};
    if (AVIFileOpen(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr) == AVIERR_OK &&
        AVIFileCreateStream(file, &stream, &info) == AVIERR_OK &&
        (compressed = Compress(stream, handler)) &&
        SetFormat(compressed, frames[0].Format()) == 0) {
        for (const Picture& f : frames) {
            c.writes.push_back(Write(compressed, c.Written(), f.bits));
            if (c.writes.back() != AVIERR_OK) break;
        }
    }
    if (stream) c.released[0] = AVIStreamRelease(stream);
    if (compressed) c.released[1] = AVIStreamRelease(compressed);
    if (file) c.released[2] = AVIFileRelease(file);
    c.close = AviLastCloseResult();
    return c;
}

std::vector<Picture> Frames(int count, int bpp, int w, int h, Pattern pattern) {
    std::vector<Picture> v;
    for (int i = 0; i < count; ++i) v.push_back(MakePicture(bpp, w, h, pattern, unsigned(i + 1)));
    return v;
}

class AviFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_live = AviLiveObjects();
        AVIFileInit();
    }
    void TearDown() override {
        AVIFileExit();
        AviSetRiffLimit(0);
        AviInjectWriteFailure(-1);
        AviSetLibraryVersion(0);
        EXPECT_EQ(AviLiveObjects(), m_live);
    }
    std::string Path(const std::string& name) const { return m_folder / name; }

    // Creates `name` with one video stream at 15 frames per second.
    void Open(const std::string& name, PAVIFILE& file, PAVISTREAM& stream) {
        ASSERT_EQ(AVIFileOpen(&file, Path(name).c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
        AVISTREAMINFO info = VideoInfo();
        ASSERT_EQ(AVIFileCreateStream(file, &stream, &info), AVIERR_OK);
    }

    // ffprobe's stream and format fields, key=value.
    std::map<std::string, std::string> Probe(const std::string& path) {
        const avitest::CommandResult r =
            avitest::RunOn("ffprobe -v error -show_streams -show_format", path);
        std::map<std::string, std::string> fields;
        std::string line;
        std::istringstream lines(r.out);
        while (std::getline(lines, line))
            if (auto eq = line.find('='); eq != std::string::npos)
                fields[line.substr(0, eq)] = line.substr(eq + 1);
        fields["#status"] = std::to_string(r.exitCode);
        fields["#stderr"] = r.err;
        return fields;
    }
    // Decodes every frame to rgb24; a clean decode exits 0 and says nothing.
    std::vector<BYTE> Decode(const std::string& path) {
        const avitest::CommandResult check =
            avitest::RunOn("ffmpeg -nostdin -v error -i", path, "-f null -");
        EXPECT_EQ(check.exitCode, 0);
        EXPECT_EQ(check.err, "");
        EXPECT_TRUE(check.out.empty());
        const avitest::CommandResult r =
            avitest::RunOn("ffmpeg -nostdin -v error -i", path, "-f rawvideo -pix_fmt rgb24 -");
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
        return {r.out.begin(), r.out.end()};
    }
    void ExpectDecodes(const std::string& path, const std::vector<Picture>& frames) {
        std::vector<BYTE> want;
        for (const Picture& p : frames) {
            std::vector<BYTE> rgb = p.Rgb();
            want.insert(want.end(), rgb.begin(), rgb.end());
        }
        std::vector<BYTE> got = Decode(path);
        ASSERT_EQ(got.size(), want.size())
            << "frames decoded: " << got.size() / (want.size() / frames.size());
        EXPECT_TRUE(got == want) << "decoded pixels differ";
    }

    testfiles::Folder m_folder;
    long m_live = 0;
};

// Every index entry and every header count agrees with the chunks on disk.
void ExpectConsistentIndexes(const AviParse& avi, std::size_t totalFrames) {
    ASSERT_TRUE(avi.idx1.has_value());
    ASSERT_TRUE(avi.strh.has_value());
    EXPECT_EQ(avi.frames.size(), totalFrames);
    EXPECT_EQ(avi.strh->length, totalFrames);
    std::uint32_t maxChunk = 0;
    for (const auto& f : avi.frames) maxChunk = std::max(maxChunk, f.size);
    if (totalFrames > 0) { // else the stream header's own figure stays
        EXPECT_EQ(avi.strh->suggestedBufferSize, maxChunk);
        EXPECT_EQ(avi.avih->suggestedBufferSize, maxChunk);
    }
    EXPECT_EQ(avi.avih->maxBytesPerSec, maxChunk * 15);

    // idx1: the first part's frames, offsets from the 'movi' code.
    std::size_t firstPart = std::count_if(avi.frames.begin(), avi.frames.end(),
                                          [](const avitest::Frame& f) { return f.part == 0; });
    EXPECT_EQ(avi.avih->totalFrames, firstPart);
    ASSERT_EQ(avi.idx1->size(), firstPart);
    for (std::size_t i = 0; i < firstPart; ++i) {
        const auto& e = (*avi.idx1)[i];
        EXPECT_EQ(e.offset, avi.frames[i].offset - (avi.movi[0] + 8)) << "entry " << i;
        EXPECT_EQ(e.id, avi.frames[i].id);
        EXPECT_EQ(e.size, avi.frames[i].size);
    }
    if (firstPart > 0) {
        EXPECT_EQ((*avi.idx1)[0].offset, 4u);
    }
}

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

BITMAPINFOHEADER& H(std::vector<BYTE>& f) {
    return *reinterpret_cast<BITMAPINFOHEADER*>(f.data());
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

// ---------------------------------------------------------------------------
// File system failures: each is reported by the call whose write failed.

TEST_F(AviFileTest, OpenFailuresAreReported) {
    PAVIFILE file = reinterpret_cast<PAVIFILE>(std::uintptr_t(1));
    EXPECT_EQ(AVIFileOpen(&file, Path("missing/dir/a.avi").c_str(), OF_WRITE | OF_CREATE, nullptr),
              AVIERR_FILEOPEN);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(AVIFileOpen(&file, m_folder.str().c_str(), OF_WRITE | OF_CREATE, nullptr),
              AVIERR_FILEOPEN);
    EXPECT_EQ(AVIFileOpen(&file, Path("a.avi").c_str(), OF_WRITE, nullptr), AVIERR_UNSUPPORTED);
    EXPECT_EQ(AVIFileOpen(&file, "", OF_WRITE | OF_CREATE, nullptr), AVIERR_BADPARAM);
    EXPECT_EQ(AVIFileOpen(nullptr, Path("a.avi").c_str(), OF_WRITE | OF_CREATE, nullptr),
              AVIERR_BADPARAM);
    EXPECT_EQ(AviLiveObjects(), m_live);
}

// Writes of a three-frame file, in order: header block, frames 0-2, 'idx1',
// header patch, close. The write at `failAt` fails once.
struct FailCase {
    long failAt;
    int framesWritten; // before the failure
    bool closeFails;   // reported at the last release
};
void PrintTo(const FailCase& c, std::ostream* os) {
    *os << "write " << c.failAt << " fails";
}

class WriteFailureTest : public AviFileTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(WriteFailureTest, IsReportedAndEarlierFramesSurvive) {
    const FailCase& p = GetParam();
    auto frames = Frames(3, 24, 6, 4, Pattern::Noise);
    AviInjectWriteFailure(p.failAt);
    Calls c = WriteAvi(Path("f.avi"), kDib, frames);
    AviInjectWriteFailure(-1);
    EXPECT_EQ(c.Written(), p.framesWritten);
    if (p.framesWritten < 3) {
        EXPECT_EQ(c.writes.back(), AVIERR_FILEWRITE);
    }
    EXPECT_EQ(c.close, p.closeFails || p.framesWritten < 3 ? AVIERR_FILEWRITE : AVIERR_OK);
    if (p.closeFails) return; // the index or headers did not reach the disk
    // Later frames were refused, and what was written before is a valid file.
    AviParse avi;
    ASSERT_TRUE(avi.Load(Path("f.avi"))) << avi.error;
    ExpectConsistentIndexes(avi, std::size_t(p.framesWritten));
    if (HaveFfmpeg() && p.framesWritten > 0)
        ExpectDecodes(Path("f.avi"),
                      std::vector<Picture>(frames.begin(), frames.begin() + p.framesWritten));
}

INSTANTIATE_TEST_SUITE_P(Writes, WriteFailureTest,
                         ::testing::Values(FailCase{0, 0, false},  // header block
                                           FailCase{1, 0, false},  // frame 0
                                           FailCase{3, 2, false},  // frame 2
                                           FailCase{4, 3, true},   // 'idx1'
                                           FailCase{5, 3, true},   // header patch
                                           FailCase{6, 3, true},   // close
                                           FailCase{7, 3, false}), // nothing fails
                         [](const auto& info) { return "At" + std::to_string(info.param.failAt); });

TEST_F(AviFileTest, FailureSticksToTheFile) {
    Picture p = MakePicture(24, 4, 4, Pattern::Noise, 1);
    PAVIFILE file;
    PAVISTREAM stream;
    ASSERT_NO_FATAL_FAILURE(Open("s.avi", file, stream));
    std::vector<BYTE> format = p.Format();
    ASSERT_EQ(SetFormat(stream, format), AVIERR_OK);
    AviInjectWriteFailure(1);
    EXPECT_EQ(Write(stream, 0, p.bits), AVIERR_FILEWRITE);
    // The disk would take the next write, but the file stays failed.
    EXPECT_EQ(Write(stream, 0, p.bits), AVIERR_FILEWRITE);
    EXPECT_EQ(SetFormat(stream, format), AVIERR_FILEWRITE);
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    EXPECT_EQ(AviLastCloseResult(), AVIERR_FILEWRITE);
}

// ---------------------------------------------------------------------------
// OpenDML: a 64 KiB limit splits 40 frames over several RIFF parts.

class OpenDmlTest : public AviFileTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(OpenDmlTest, FramesOnEverySideOfEachBoundaryPlay) {
    constexpr std::uint64_t kLimit = 64 * 1024;
    AviSetRiffLimit(kLimit);
    bool rle = GetParam() == kRle;
    auto frames = Frames(40, rle ? 8 : 24, 64, 48, Pattern::Noise); // 9 or 3 KiB a frame
    ASSERT_EQ(WriteAvi(Path("d.avi"), GetParam(), frames).Written(), 40);
    AviSetRiffLimit(0);

    AviParse avi;
    ASSERT_TRUE(avi.Load(Path("d.avi"))) << avi.error;
    ASSERT_GE(avi.riffs.size(), 3u);
    for (const auto& r : avi.riffs) {
        EXPECT_LE(r.End() - r.offset, kLimit);
    }
    ExpectConsistentIndexes(avi, 40);
    EXPECT_LT(avi.avih->totalFrames, 40u); // the first part's frames only
    EXPECT_EQ(avi.dmlhFrames, 40u);
    EXPECT_EQ(avi.junkChunks, 0); // both reservations were used

    // 'indx' lists one 'ix00' per part; each 'ix00' points at its part's frames.
    ASSERT_TRUE(avi.indx.has_value());
    EXPECT_EQ(avi.indx->longsPerEntry, 4);
    EXPECT_EQ(avi.indx->type, 0); // index of indexes
    EXPECT_EQ(avi.indx->reservedEntries, AVI_MAX_RIFF_PARTS);
    ASSERT_EQ(avi.indx->entries.size(), avi.riffs.size());
    ASSERT_EQ(avi.ix.size(), avi.riffs.size());
    std::size_t frame = 0;
    for (std::size_t part = 0; part < avi.ix.size(); ++part) {
        const auto& super = avi.indx->entries[part];
        const auto& ix = avi.ix[part];
        EXPECT_EQ(super.offset, ix.offset);
        EXPECT_EQ(super.size, ix.size + 8);
        EXPECT_EQ(super.duration, ix.entriesInUse);
        EXPECT_EQ(ix.type, 1); // index of chunks
        EXPECT_EQ(ix.chunkId, avi.frames[0].id);
        for (std::size_t i = 0; i < ix.entriesInUse; ++i, ++frame) {
            ASSERT_LT(frame, avi.frames.size());
            EXPECT_EQ(avi.frames[frame].part, int(part));
            EXPECT_EQ(ix.dataOffsets[i], avi.frames[frame].offset + 8);
            EXPECT_EQ(ix.sizes[i], avi.frames[frame].size); // key frames: top bit clear
        }
    }
    EXPECT_EQ(frame, 40u);
    if (!HaveFfmpeg()) return;
    EXPECT_EQ(Probe(Path("d.avi"))["nb_frames"], "40");
    ExpectDecodes(Path("d.avi"), frames);
}

INSTANTIATE_TEST_SUITE_P(Handlers, OpenDmlTest, ::testing::Values(kDib, kRle),
                         [](const auto& info) { return info.param == kDib ? "Dib" : "Rle"; });

// Many small frames, every other one not a key frame: each part is filled as
// far as the limit allows with its indexes counted ('idx1' grows 16 bytes a
// frame in the first part), and the key flags survive in both index forms.
TEST_F(AviFileTest, SmallFramesFillEachPartUpToTheLimit) {
    constexpr std::uint64_t kLimit = 64 * 1024;
    constexpr LONG kFrames = 6000;
    AviSetRiffLimit(kLimit);
    PAVIFILE file;
    PAVISTREAM stream;
    ASSERT_NO_FATAL_FAILURE(Open("s.avi", file, stream));
    std::vector<BYTE> format = MakePicture(8, 4, 2, Pattern::Flat, 0).Format();
    H(format).biCompression = BI_RLE8;
    ASSERT_EQ(SetFormat(stream, format), AVIERR_OK);
    std::vector<BYTE> rle = {4, 3, 0, 0, 4, 3, 0, 1}; // two rows of index 3
    for (LONG i = 0; i < kFrames; ++i)
        ASSERT_EQ(Write(stream, i, rle, i % 2 ? 0 : AVIIF_KEYFRAME), AVIERR_OK);
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    ASSERT_EQ(AviLastCloseResult(), AVIERR_OK);

    AviParse avi;
    ASSERT_TRUE(avi.Load(Path("s.avi"))) << avi.error;
    ASSERT_GE(avi.riffs.size(), 3u);
    ExpectConsistentIndexes(avi, kFrames);
    for (std::size_t part = 0; part + 1 < avi.riffs.size(); ++part) {
        std::uint64_t size = avi.riffs[part].End() - avi.riffs[part].offset;
        EXPECT_LE(size, kLimit);
        // One more frame (16 bytes) and its entries would not have fitted.
        std::uint64_t more = 16 + 8 + (part == 0 ? 16 : 0);
        EXPECT_GT(size + more, kLimit) << "part " << part << " closed early";
    }
    for (std::size_t i = 0; i < avi.idx1->size(); ++i)
        EXPECT_EQ((*avi.idx1)[i].flags, i % 2 ? 0u : AVIIF_KEYFRAME) << i;
    std::size_t frame = 0;
    for (const auto& ix : avi.ix)
        for (std::size_t i = 0; i < ix.entriesInUse; ++i, ++frame)
            EXPECT_EQ(ix.sizes[i], 8u | (frame % 2 ? 0x80000000u : 0u)) << frame;
    if (!HaveFfmpeg()) return;
    EXPECT_EQ(Probe(Path("s.avi"))["nb_frames"], std::to_string(kFrames));
    EXPECT_EQ(Decode(Path("s.avi")).size(), std::size_t(kFrames) * 4 * 2 * 3);
}

// Every part holds one frame here, so the super index fills after
// AVI_MAX_RIFF_PARTS frames; the next frame is refused and the file stays whole.
TEST_F(AviFileTest, SuperIndexCapacityIsEnforced) {
    AviSetRiffLimit(2048);
    auto frames = Frames(1, 8, 40, 40, Pattern::Flat); // 1600 bytes
    Picture p = frames[0];
    PAVIFILE file;
    PAVISTREAM stream;
    ASSERT_NO_FATAL_FAILURE(Open("m.avi", file, stream));
    ASSERT_EQ(SetFormat(stream, p.Format()), AVIERR_OK);
    for (LONG i = 0; i < LONG(AVI_MAX_RIFF_PARTS); ++i)
        ASSERT_EQ(Write(stream, i, p.bits), AVIERR_OK) << "frame " << i;
    EXPECT_EQ(Write(stream, LONG(AVI_MAX_RIFF_PARTS), p.bits), AVIERR_UNSUPPORTED);
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    EXPECT_EQ(AviLastCloseResult(), AVIERR_OK);
    AviParse avi;
    ASSERT_TRUE(avi.Load(Path("m.avi"))) << avi.error;
    EXPECT_EQ(avi.riffs.size(), std::size_t(AVI_MAX_RIFF_PARTS));
    EXPECT_EQ(avi.indx->entries.size(), std::size_t(AVI_MAX_RIFF_PARTS));
    EXPECT_EQ(avi.dmlhFrames, AVI_MAX_RIFF_PARTS);
    if (HaveFfmpeg()) {
        EXPECT_EQ(Decode(Path("m.avi")).size(), std::size_t(AVI_MAX_RIFF_PARTS) * 40 * 40 * 3);
    }
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
