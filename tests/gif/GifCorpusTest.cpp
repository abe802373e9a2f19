// Replays every .gif of the shared public corpus (${TESSALY_SHARED_DIR}/corpus/gif:
// real photographs and animations, hand-made edge cases and some 280
// fuzzer-found malformed files) through CGifDecoder, one test case per file:
//
//   - the file loads or is refused, and the frames end: a NULL comes within
//     kMaxFrames calls;
//   - every frame bitmap is exactly m_nWidth x m_nHeight, and no bitmap or
//     device context outlives the decoder;
//   - where giflib reads the whole file (DGifSlurp succeeds), our images are
//     giflib's, placement and pixels, as far as the two readers agree on the
//     format (gifref::ComparableImages); where giflib fails part-way, the
//     images it read whole before the failure are compared the same way.
#include "gif/GifDecoder.h"

#include "GifReference.h"
#include "GifTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Far more frames than any file of the corpus holds: reaching it means the
// sequence does not end.
constexpr std::size_t kMaxFrames = 10000;

fs::path CorpusDir() {
    if (const char* shared = std::getenv("TESSALY_SHARED_DIR"); shared && *shared)
        return fs::path(shared) / "corpus" / "gif";
    // Test discovery lists the cases without CTest's environment.
    return fs::path(TESSALY_SHARED_DIR) / "corpus" / "gif";
}

bool IsGif(const fs::path& path) {
    std::string ext = path.extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".gif";
}

// Paths relative to the corpus folder, sorted.
std::vector<std::string> CorpusFiles() {
    std::vector<std::string> files;
    std::error_code error;
    const fs::path dir = CorpusDir();
    for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file() && IsGif(it->path()))
            files.push_back(fs::relative(it->path(), dir).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Files where our reader legitimately takes another road through the bytes
// than giflib, in ways that giflib's result cannot show (ComparableImages
// catches the rest). Only the first `images` images are compared; with
// `exactCount` our reader must give exactly that many.
struct KnownDifference {
    std::size_t images;
    bool exactCount;
    const char* reason;
};
const std::map<std::string, KnownDifference>& KnownDifferences() {
    static const std::map<std::string, KnownDifference> known = {
        {"netsurf-browser_libnsgif/test/ns-afl-gif/id:000449,src:000448,op:havoc,rep:4.gif",
         {0, true,
          "image 0 (13 x 19, 247 pixels) has codes past its last pixel: giflib stops reading "
          "at the 247th pixel, our reader reads on towards the end code, meets codes above "
          "the next free code and then a table entry whose prefix is not below it (a "
          "corrupt chain, near pixel 359), and fails the image"}},
    };
    return known;
}

struct OurFrame {
    int left, top, width, height;
    std::vector<std::uint32_t> rgb;
};

struct OurResult {
    bool loaded = false;
    std::vector<OurFrame> frames;
};

// The signature and version CGifDecoder accepts; giflib checks only "GIF".
bool HasKnownVersion(const std::string& path) {
    char header[6] = {};
    std::ifstream(path, std::ios::binary).read(header, sizeof header);
    return std::string(header, 6) == "GIF87a" || std::string(header, 6) == "GIF89a";
}

class GifCorpusTest : public giftest::WithScreen,
                      public ::testing::WithParamInterface<std::string> {
protected:
    // Loads the file and takes frames until NULL, keeping their placement and
    // pixels and deleting each bitmap.
    void DecodeWithOurs(const std::string& path, OurResult& result) {
        giftest::CapturedMessages messages; // a file that cannot be opened
        CGifDecoder decoder;
        result.loaded = decoder.LoadFile(path.c_str()) != FALSE;
        if (!result.loaded) return;
        decoder.m_hDC = dc_;
        while (HBITMAP bitmap = decoder.GetNextFrame()) {
            OurFrame frame{
                decoder.m_nLeft, decoder.m_nTop, decoder.m_nWidth, decoder.m_nHeight, {}};
            BITMAP bm{};
            const bool sized = GetObject(bitmap, sizeof bm, &bm) == sizeof bm;
            frame.rgb = gfxtest::ReadPixels(bitmap, dc_);
            EXPECT_TRUE(DeleteObject(bitmap));
            ASSERT_TRUE(sized);
            ASSERT_EQ(bm.bmWidth, frame.width) << "frame " << result.frames.size();
            ASSERT_EQ(bm.bmHeight, frame.height) << "frame " << result.frames.size();
            result.frames.push_back(std::move(frame));
            ASSERT_LT(result.frames.size(), kMaxFrames) << "the frames do not end";
        }
    }
};

TEST_P(GifCorpusTest, DecodesCleanlyAndAsGiflibDoes) {
    const std::string path = (CorpusDir() / GetParam()).string();
    OurResult ours;
    ASSERT_NO_FATAL_FAILURE(DecodeWithOurs(path, ours));

    const gifref::Gif expected = gifref::DecodeWithGiflib(path);
    if (!expected.ok && expected.images.empty())
        return; // nothing to compare: surviving was the test
    if (!HasKnownVersion(path)) {
        EXPECT_FALSE(ours.loaded) << "only GIF87a and GIF89a are read";
        return;
    }
    ASSERT_TRUE(ours.loaded) << "giflib reads " << expected.images.size() << " images";

    gifref::Comparable comparable = gifref::ComparableImages(expected);
    if (!expected.ok) {
        // giflib read these images whole before failing on the rest; what
        // comes after them is malformed and each reader ends it its own way.
        comparable.exactCount = false;
        comparable.reason += (comparable.reason.empty() ? "" : "; ") +
                             std::string("giflib fails after ") +
                             std::to_string(expected.images.size()) + " images with error " +
                             gifref::GiflibErrorText(expected.error);
    }
    if (auto known = KnownDifferences().find(GetParam()); known != KnownDifferences().end()) {
        comparable = {std::min(comparable.images, known->second.images), known->second.exactCount,
                      known->second.reason};
    }
    if (!comparable.reason.empty()) RecordProperty("compared_only", comparable.reason);

    if (comparable.exactCount) {
        EXPECT_EQ(ours.frames.size(), comparable.images)
            << "giflib finds " << expected.images.size() << " images";
    } else {
        EXPECT_GE(ours.frames.size(), comparable.images) << comparable.reason;
    }
    const std::size_t n = std::min(ours.frames.size(), comparable.images);
    for (std::size_t i = 0; i < n; ++i) {
        const gifref::Image& image = expected.images[i];
        const OurFrame& frame = ours.frames[i];
        SCOPED_TRACE("image " + std::to_string(i));
        EXPECT_EQ(frame.left, image.left);
        EXPECT_EQ(frame.top, image.top);
        ASSERT_EQ(frame.width, image.width);
        ASSERT_EQ(frame.height, image.height);
        EXPECT_EQ(gifref::DescribeDifference(image.rgb, frame.rgb, image.width), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Shared, GifCorpusTest, ::testing::ValuesIn(CorpusFiles()),
                         [](const auto& info) {
                             return giftest::TestName(info.param.substr(0, info.param.size() - 4));
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(GifCorpusTest);

TEST(GifCorpus, IsPresent) {
    if (!fs::is_directory(CorpusDir()))
        GTEST_SKIP() << "no shared corpus at " << CorpusDir() << " (set TESSALY_SHARED_DIR)";
    EXPECT_GT(CorpusFiles().size(), 300u) << "the shared corpus seems incomplete";
}

} // namespace
