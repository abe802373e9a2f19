// What the AVI file tests share: pictures as packed DIBs and the rgb24
// frames ffmpeg should make of them, the library's calls in the converter's
// order, and a fixture that checks that every object of the library is
// released, with ffprobe's and ffmpeg's view of a file.
#pragma once

#include "avi/AviFile.h"
#include "avi/AviTesting.h"

#include "AviParse.h"
#include "AviTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace avifiletest {

using avitest::AviParse;
using avitest::Fourcc;
using avitest::HaveFfmpeg;
namespace fs = std::filesystem;

inline constexpr DWORD kDib = mmioFOURCC('D', 'I', 'B', ' ');
inline constexpr DWORD kRle = mmioFOURCC('m', 'r', 'l', 'e');

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

inline Picture MakePicture(int bpp, int w, int h, Pattern pattern, unsigned seed) {
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

inline AVISTREAMINFO VideoInfo() { // 15 frames per second
    AVISTREAMINFO info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 1;
    info.dwRate = 15;
    return info;
}

inline PAVISTREAM Compress(PAVISTREAM source, DWORD handler) {
    AVICOMPRESSOPTIONS options{};
    options.fccHandler = handler;
    options.dwQuality = handler == kRle ? 8500 : 0;
    options.dwFlags = AVICOMPRESSF_VALID;
    PAVISTREAM compressed = nullptr;
    AVIMakeCompressedStream(&compressed, source, &options, nullptr);
    return compressed;
}

// The header at the start of a stream format.
inline BITMAPINFOHEADER& H(std::vector<BYTE>& f) {
    return *reinterpret_cast<BITMAPINFOHEADER*>(f.data());
}

inline HRESULT SetFormat(PAVISTREAM stream, std::vector<BYTE> format) {
    return AVIStreamSetFormat(stream, 0, format.data(), LONG(format.size()));
}

inline HRESULT Write(PAVISTREAM stream, LONG start, std::vector<BYTE> data,
                     DWORD flags = AVIIF_KEYFRAME) {
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

inline Calls WriteAvi(const std::string& path, DWORD handler, const std::vector<Picture>& frames) {
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

inline std::vector<Picture> Frames(int count, int bpp, int w, int h, Pattern pattern) {
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
inline void ExpectConsistentIndexes(const AviParse& avi, std::size_t totalFrames) {
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

} // namespace avifiletest
