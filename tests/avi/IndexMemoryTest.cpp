// The memory the AVI file library holds for a file's indexes, measured by
// counting every allocation of this program (operator new is replaced here
// alone), and the indexes of a long file read back by the test reader.
#include "AviParse.h"
#include "avi/AviFile.h"
#include "avi/AviTesting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <new>

// GCC takes the free() below, once operator delete is inlined into a caller,
// for the release of a block from new.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

// Bytes allocated through operator new and not yet freed (as the allocator
// counts them), and their peak.
std::atomic<std::size_t> g_live{0}, g_peak{0};

} // namespace

void* operator new(std::size_t size) {
    void* block = std::malloc(size ? size : 1);
    if (!block) throw std::bad_alloc();
    const std::size_t live = g_live += malloc_usable_size(block);
    std::size_t peak = g_peak;
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
    return block;
}

void operator delete(void* block) noexcept {
    if (!block) return;
    g_live -= malloc_usable_size(block);
    std::free(block);
}

void operator delete(void* pointer, std::size_t) noexcept {
    operator delete(pointer);
}

namespace {

using avitest::AviParse;

// 200,000 frames: an hour of video at 50 frames per second is 180,000. All
// but the first are empty, so the file holds little else than its indexes.
constexpr std::size_t kFrames = 200000;
// The bytes a frame's entries take in the file: 16 in 'idx1', 8 in 'ix00'.
constexpr std::size_t kMostBytesPerFrame = 24;

struct LimitCase {
    const char* name;
    std::uint64_t riffLimit; // 0: the default, one RIFF part
};

void PrintTo(const LimitCase& c, std::ostream* os) {
    *os << c.name;
}

class IndexMemoryTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(IndexMemoryTest, IndexesHoldAtMostTheirEntriesBytes) {
    testfiles::TempPath path(".avi");
    AviSetRiffLimit(GetParam().riffLimit);
    AVIFileInit();
    PAVIFILE file = nullptr;
    PAVISTREAM stream = nullptr;
    AVISTREAMINFO info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 1;
    info.dwRate = 50;
    ASSERT_EQ(AVIFileOpen(&file, path.str().c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    ASSERT_EQ(AVIFileCreateStream(file, &stream, &info), AVIERR_OK);
    // 4 x 1 pixels at 8 bits: one 4-byte row, and a one-entry table.
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[1];
    } format{{sizeof(BITMAPINFOHEADER), 4, 1, 1, 8, BI_RGB, 4, 0, 0, 1, 0}, {{0, 0, 0, 0}}};
    ASSERT_EQ(AVIStreamSetFormat(stream, 0, &format, sizeof format), AVIERR_OK);
    BYTE pixels[4] = {0, 0, 0, 0};
    ASSERT_EQ(AVIStreamWrite(stream, 0, 1, pixels, 4, AVIIF_KEYFRAME, nullptr, nullptr), AVIERR_OK);

    const std::size_t before = g_live;
    g_peak = before;
    for (std::size_t i = 1; i < kFrames; ++i)
        ASSERT_EQ(AVIStreamWrite(stream, LONG(i), 1, nullptr, 0, 0, nullptr, nullptr), AVIERR_OK);
    AVIStreamRelease(stream);
    AVIFileRelease(file); // writes the indexes
    const double perFrame = double(g_peak - before) / kFrames;
    AVIFileExit();
    AviSetRiffLimit(0);
    ASSERT_EQ(AviLastCloseResult(), AVIERR_OK);
    RecordProperty("index_bytes_per_frame", std::to_string(perFrame));
    EXPECT_LE(perFrame, double(kMostBytesPerFrame));

    // The indexes name every frame, key frame or not, across the parts.
    AviParse avi;
    ASSERT_TRUE(avi.Load(path.str())) << avi.error;
    ASSERT_EQ(avi.frames.size(), kFrames);
    ASSERT_TRUE(avi.idx1.has_value());
    const std::size_t firstPart = std::size_t(std::count_if(
        avi.frames.begin(), avi.frames.end(), [](const auto& f) { return f.part == 0; }));
    ASSERT_EQ(avi.idx1->size(), firstPart);
    EXPECT_EQ(avi.ix.size(), avi.riffs.size() > 1 ? avi.riffs.size() : 0);
    for (std::size_t i = 0; i < firstPart; ++i) {
        const auto& e = (*avi.idx1)[i];
        ASSERT_EQ(e.offset, avi.frames[i].offset - (avi.movi[0] + 8)) << "frame " << i;
        ASSERT_EQ(e.size, avi.frames[i].size) << "frame " << i;
        ASSERT_EQ(e.flags, i == 0 ? AVIIF_KEYFRAME : 0u) << "frame " << i;
    }
    std::size_t frame = 0;
    for (const auto& ix : avi.ix) {
        for (std::size_t e = 0; e < ix.dataOffsets.size(); ++e, ++frame) {
            ASSERT_LT(frame, kFrames);
            ASSERT_EQ(ix.dataOffsets[e], avi.frames[frame].offset + 8) << "frame " << frame;
            ASSERT_EQ(ix.sizes[e], avi.frames[frame].size | (frame ? 0x80000000u : 0u))
                << "frame " << frame;
        }
    }
    if (!avi.ix.empty()) {
        EXPECT_EQ(frame, kFrames);
    }
}

INSTANTIATE_TEST_SUITE_P(Parts, IndexMemoryTest,
                         ::testing::Values(LimitCase{"OnePart", 0}, LimitCase{"OpenDml", 1 << 20}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
