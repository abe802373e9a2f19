// The AVI file library when the file system fails under it, and past the
// size of one RIFF part (OpenDML: a 64 KiB limit splits frames over parts).
#include "AviFileFixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace avifiletest;
using avitest::AviParse;
using avitest::Fourcc;
using avitest::HaveFfmpeg;

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

} // namespace
