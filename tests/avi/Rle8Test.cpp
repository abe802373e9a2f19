#include "avi/Rle8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
constexpr BYTE U = 0xEE; // a byte nothing wrote

// ---------------------------------------------------------------- decoder

struct DecodeCase {
    std::string name;
    int width, height;
    Bytes data;
    bool ok;
    Bytes pixels; // width x height in buffer order, when ok
};
void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class Rle8DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

// Rows of width + 3 bytes: whatever the result, the padding stays untouched.
TEST_P(Rle8DecodeTest, Decodes) {
    const DecodeCase& c = GetParam();
    const std::size_t stride = c.width + 3;
    Bytes buffer(stride * c.height, U);
    EXPECT_EQ(Rle8Decode(c.data.data(), c.data.size(), c.width, c.height, stride, buffer.data()),
              c.ok);
    for (int y = 0; y < c.height; ++y) {
        const auto row = buffer.begin() + y * stride;
        EXPECT_EQ(Bytes(row + c.width, row + stride), Bytes(3, U)) << "padding of row " << y;
        if (c.ok) {
            EXPECT_EQ(Bytes(row, row + c.width),
                      Bytes(c.pixels.begin() + y * c.width, c.pixels.begin() + (y + 1) * c.width));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    HandBuilt, Rle8DecodeTest,
    ::testing::Values(
        DecodeCase{"EncodedRuns",
                   4,
                   2,
                   {0x02, 7, 0x02, 8, 0, 0, // row 0: 7 7 8 8, end of line
                    0x04, 9, 0, 0, 0, 1},   // row 1: 9 9 9 9, end of line, end of bitmap
                   true,
                   {7, 7, 8, 8, 9, 9, 9, 9}},
        DecodeCase{"AbsoluteOddPadded",
                   4,
                   1,
                   {0, 3, 1, 2, 3, 0xFF, // 3 indices, the pad may hold anything
                    0x01, 4, 0, 0, 0, 1},
                   true,
                   {1, 2, 3, 4}},
        DecodeCase{"AbsoluteEven", 4, 1, {0, 4, 1, 2, 3, 4, 0, 0, 0, 1}, true, {1, 2, 3, 4}},
        DecodeCase{"Moves",
                   4,
                   3,
                   {0x01, 5, 0, 2, 2, 1, // x 0 of row 0, then move to x 3 of row 1
                    0x01, 6, 0, 0,       // x 3 of row 1, end of line
                    0, 2, 0, 0,          // a move by nothing
                    0x02, 7, 0, 1},
                   true,
                   {5, U, U, U, U, U, U, 6, 7, 7, U, U}},
        DecodeCase{"EndOfBitmapEarly", 2, 3, {0x02, 1, 0, 0, 0, 1}, true, {1, 1, U, U, U, U}},
        DecodeCase{"NoEndOfBitmap", 2, 2, {0x02, 1, 0, 0, 0x01, 2}, true, {1, 1, 2, U}},
        DecodeCase{"AfterEndOfBitmapIgnored", 1, 1, {0x01, 3, 0, 1, 0x09}, true, {3}},
        DecodeCase{"ZeroWidth", 0, 2, {0, 0, 0, 0, 0, 1}, true, {}},
        DecodeCase{"ZeroHeight", 3, 0, {0, 1}, true, {}},
        // Malformed.
        DecodeCase{"RunPastRowEnd", 3, 2, {0x04, 1, 0, 1}, false, {}},
        DecodeCase{"SecondRunPastRowEnd", 3, 2, {0x02, 1, 0x02, 1, 0, 1}, false, {}},
        DecodeCase{"AbsolutePastRowEnd", 3, 2, {0x01, 1, 0, 3, 1, 2, 3, 0, 0, 1}, false, {}},
        DecodeCase{"AbsoluteTruncated", 5, 1, {0, 5, 1, 2, 3}, false, {}},
        DecodeCase{"AbsoluteWithoutPad", 3, 1, {0, 3, 1, 2, 3}, false, {}},
        DecodeCase{"HalfPair", 3, 1, {0x02}, false, {}},
        DecodeCase{"MoveTruncated", 3, 2, {0, 2, 1}, false, {}},
        DecodeCase{"MoveOntoRowEnd", 4, 1, {0x01, 1, 0, 2, 3, 0}, false, {}},
        DecodeCase{"MoveAboveTop", 4, 2, {0, 2, 0, 2}, false, {}},
        DecodeCase{"RunAfterLastRow", 1, 1, {0x01, 1, 0, 0, 0x01, 2}, false, {}},
        DecodeCase{"EndOfLineAfterLastRow", 1, 1, {0x01, 1, 0, 0, 0, 0}, false, {}},
        DecodeCase{"RunInZeroWidth", 0, 1, {0x01, 1}, false, {}}),
    [](const auto& info) { return info.param.name; });

TEST(Rle8DecodeArgs, RejectsBadDimensions) {
    Bytes buffer(8, U);
    const Bytes data = {0x04, 1, 0, 0, 0x04, 2, 0, 0, 0, 1};
    EXPECT_FALSE(Rle8Decode(data.data(), data.size(), 4, 2, 3, buffer.data())); // stride < width
    EXPECT_FALSE(Rle8Decode(data.data(), data.size(), -1, 2, 4, buffer.data()));
    EXPECT_FALSE(Rle8Decode(data.data(), data.size(), 4, -2, 4, buffer.data()));
    EXPECT_EQ(buffer, Bytes(8, U));
}

// ---------------------------------------------------------------- encoder

struct EncodeCase {
    std::string name;
    int width, height;
    std::size_t stride;
    Bytes pixels, expected;
};
void PrintTo(const EncodeCase& c, std::ostream* os) {
    *os << c.name;
}

class Rle8EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(Rle8EncodeTest, ProducesExactBytes) {
    const EncodeCase& c = GetParam();
    Bytes out = {0xAB}; // the encoding is appended
    EXPECT_EQ(Rle8Encode(c.pixels.data(), c.width, c.height, c.stride, out), c.expected.size());
    EXPECT_EQ(out, [&] {
        Bytes e = {0xAB};
        e.insert(e.end(), c.expected.begin(), c.expected.end());
        return e;
    }());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    HandBuilt, Rle8EncodeTest,
    ::testing::Values(
        EncodeCase{"NoRows", 5, 0, 8, {}, {0, 1}},
        EncodeCase{"ZeroWidth", 0, 2, 0, {}, {0, 0, 0, 0, 0, 1}},
        EncodeCase{"OnePixel", 1, 1, 4, {5}, {0x01, 5, 0, 0, 0, 1}},
        // 300 = 255 + 45; the two padding bytes of the row are not pixels.
        EncodeCase{"RunSplitAt255", 300, 1, 302,
                   [] { Bytes p(302, 7); p[300] = p[301] = 9; return p; }(),
                   {0xFF, 7, 0x2D, 7, 0, 0, 0, 1}},
        EncodeCase{"RowsNotJoined", 2, 2, 2, {9, 9, 9, 9}, {0x02, 9, 0, 0, 0x02, 9, 0, 0, 0, 1}},
        EncodeCase{"EvenAbsolute", 4, 1, 4, {1, 2, 3, 4}, {0, 4, 1, 2, 3, 4, 0, 0, 0, 1}},
        EncodeCase{"OddAbsolutePadded", 5, 1, 8, {1, 2, 3, 4, 5},
                   {0, 5, 1, 2, 3, 4, 5, 0, 0, 0, 0, 1}}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// Choices of the encoder's cost model, not rules of the format: any encoding
// that decodes back and is no longer than the one the model finds will do.
// None may be exactly the size of the padded rows, which readers would take
// for an uncompressed frame.
struct BoundCase {
    std::string name;
    int width, height;
    std::size_t stride;
    Bytes pixels;
    std::size_t maxBytes;
};
void PrintTo(const BoundCase& c, std::ostream* os) {
    *os << c.name;
}

class Rle8BoundTest : public ::testing::TestWithParam<BoundCase> {};

TEST_P(Rle8BoundTest, DecodesBackWithinItsBound) {
    const BoundCase& c = GetParam();
    Bytes out;
    const std::size_t size = Rle8Encode(c.pixels.data(), c.width, c.height, c.stride, out);
    EXPECT_LE(size, c.maxBytes);
    EXPECT_NE(size, (static_cast<std::size_t>(c.width) + 3) / 4 * 4 * c.height);
    Bytes decoded(c.pixels.size(), 0xEE);
    ASSERT_TRUE(Rle8Decode(out.data(), out.size(), c.width, c.height, c.stride, decoded.data()));
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            const std::size_t at =
                static_cast<std::size_t>(y) * c.stride + static_cast<std::size_t>(x);
            ASSERT_EQ(decoded[at], c.pixels[at]) << x << ", " << y;
        }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    HandBuilt, Rle8BoundTest,
    ::testing::Values(
        BoundCase{"LeftoversAsRunsOf1", 5, 1, 8, {7, 7, 7, 1, 2}, 10},
        // `01 1 02 2` (4 bytes) beats an absolute run (6).
        BoundCase{"ShortMaterialAsRuns", 3, 1, 4, {1, 2, 2}, 8},
        // Runs of 2 and 3 alternating, as in a stretched gradient.
        BoundCase{"RunsOf2And3", 7, 1, 8, {1, 1, 2, 2, 2, 3, 3}, 10},
        // A run of 3 inside a literal: 16 bytes, rather than 18 as three pieces.
        BoundCase{"RunOf3KeptInLiteral", 9, 1, 12, {1, 2, 3, 7, 7, 7, 4, 5, 6}, 16},
        // But not after an equal pair: merged it would cost 12 for the pixels.
        BoundCase{"RunOf3AfterPairStaysRun", 9, 1, 12, {1, 1, 7, 7, 7, 2, 3, 4, 5}, 14},
        // The shortest encodings of these are exactly the padded size (8, 8
        // and 24 bytes), which is not allowed: the next shortest is.
        BoundCase{"PaddedSizeSplitsRun", 5, 1, 8, {7, 7, 7, 8, 8}, 10},
        BoundCase{"PaddedSizeSplitsRunOf2", 5, 1, 8, {8, 8, 7, 7, 7}, 10},
        BoundCase{"PaddedSizeSplitsPastLiteral", 12, 2, 12,
                  {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 5, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6}, 26}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// ------------------------------------------------------------ round trips

struct Source { // pixel (x, y) of a w x h picture, in row order
    std::mt19937 random{1};
    int left = 0; // of the current run, for the run patterns
    BYTE value = 0;
    BYTE Run(int maxShort, int colours) {
        if (left-- == 0) {
            left = static_cast<int>(random() % (random() % 4 || maxShort == 3 ? maxShort : 300));
            value = static_cast<BYTE>(random() % colours);
        }
        return value;
    }
};
using Pattern = std::function<BYTE(Source&, int x, int y, int w, int h)>;
const std::pair<const char*, Pattern> kPatterns[] = {
    {"Noise", [](Source& s, int, int, int, int) { return BYTE(s.random()); }},
    {"Flat", [](Source&, int, int, int, int) { return BYTE(42); }},
    {"Stripes", [](Source&, int x, int y, int, int) { return BYTE((x / 3 + y / 2) % 4); }},
    {"Gradient", [](Source&, int x, int, int w, int) { return BYTE(x * 256 / std::max(w, 256)); }},
    {"Bayer",
     [](Source&, int x, int y, int w, int h) { // 32 levels, 4 x 4 ordered dither
         static const int m[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
         const double level = (x + y) * 31.0 / (w + h);
         return BYTE(int(level) + ((level - int(level)) * 16 > m[y & 3][x & 3] + 0.5));
     }},
    {"LongRuns", [](Source& s, int, int, int, int) { return s.Run(5, 6); }}, // some past 255
    {"ShortRuns", [](Source& s, int, int, int, int) { return s.Run(3, 256); }},
    {"GifLike",
     [](Source& s, int x, int y, int w, int h) { // blocks, gradient, dither, noise
         const int band = y * 4 / h;
         return band == 0       ? BYTE((x / 80 + y / 40) % 5 * 17)
                : band == 1     ? BYTE(x * 256 / std::max(w, 256))
                : band == 2     ? BYTE(100 + ((x ^ y) & 1))
                : x < w * 3 / 4 ? BYTE(200)
                                : BYTE(s.random());
     }},
};

// Rows of `stride` bytes; the padding holds junk the encoder must not use.
Bytes MakePicture(int pattern, int width, int height, std::size_t stride) {
    Source source;
    Bytes p(stride * height);
    for (auto& b : p) b = BYTE(source.random());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p[y * stride + x] = kPatterns[pattern].second(source, x, y, width, height);
    return p;
}

// Size of the best encoding under the same rules (end-of-line after every row,
// end-of-bitmap, no moves), by dynamic programming over each row.
std::size_t OptimalSize(const Bytes& p, int width, int height) {
    std::size_t total = 2;
    std::vector<std::size_t> best(width + 1);
    for (const BYTE* row = p.data(); row < p.data() + width * height; row += width) {
        for (int i = 1; i <= width; ++i) {
            best[i] = SIZE_MAX;
            for (int k = 1; k <= std::min(i, 255) && row[i - k] == row[i - 1]; ++k)
                best[i] = std::min(best[i], best[i - k] + 2);
            for (int k = 3; k <= std::min(i, 255); ++k)
                best[i] = std::min(best[i], best[i - k] + 2 + k + (k & 1));
        }
        total += best[width] + 2;
    }
    return total;
}

// Encodes and decodes row by row: the items up to each end-of-line must
// decode on their own into one row, so no run crosses a row end and no row
// lacks its end-of-line. Then decodes the whole and compares, padding too.
std::size_t ExpectRoundTrip(const Bytes& picture, int width, int height, std::size_t stride) {
    Bytes out;
    const std::size_t n = Rle8Encode(picture.data(), width, height, stride, out);
    EXPECT_EQ(n, out.size());
    EXPECT_NE(n, ((width + 3) & ~3) * std::size_t(height)) << "the padded frame size";
    std::size_t pos = 0;
    for (int y = 0; y < height; ++y) {
        const std::size_t start = pos;
        while (pos + 1 < n && !(out[pos] == 0 && out[pos + 1] <= 2)) // to the next escape
            pos += 2 + (out[pos] == 0 ? out[pos + 1] + (out[pos + 1] & 1) : 0);
        if (pos + 1 >= n || out[pos + 1] != 0) {
            ADD_FAILURE() << "row " << y << " lacks its end-of-line";
            return n;
        }
        pos += 2;
        Bytes row(width);
        EXPECT_TRUE(Rle8Decode(&out[start], pos - start, width, 1, width, row.data())) << y;
        EXPECT_TRUE(std::equal(row.begin(), row.end(), picture.begin() + y * stride)) << y;
    }
    EXPECT_EQ(Bytes(out.begin() + pos, out.end()), (Bytes{0, 1}));
    Bytes decoded = picture;
    for (int y = 0; y < height; ++y) std::fill_n(decoded.begin() + y * stride, width, U);
    EXPECT_TRUE(Rle8Decode(out.data(), n, width, height, stride, decoded.data()));
    EXPECT_EQ(decoded, picture);
    return n;
}

class Rle8RoundTripTest : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(Rle8RoundTripTest, DecodesToInput) {
    const auto [pattern, width] = GetParam();
    for (int height : {1, 2, 3, 17})
        ExpectRoundTrip(MakePicture(pattern, width, height, width + 5), width, height, width + 5);
}

INSTANTIATE_TEST_SUITE_P(Patterns, Rle8RoundTripTest,
                         ::testing::Combine(::testing::Range(0, int(std::size(kPatterns))),
                                            ::testing::Values(1, 2, 3, 5, 7, 255, 256, 257, 300,
                                                              640)),
                         [](const auto& info) {
                             return kPatterns[std::get<0>(info.param)].first + std::string("_") +
                                    std::to_string(std::get<1>(info.param));
                         });

// Delta frames decode over the previous picture into the next one, at odd
// widths and heights past a move's 255: random scattered changes, a striped
// band, a moving sprite, a whole new picture and no change at all (just
// end-of-bitmap). Padding is never written.
TEST(Rle8DeltaTest, DecodesOverThePreviousPicture) {
    Source source;
    const struct {
        const char* name;
        std::function<BYTE(int x, int y, int frame, BYTE old)> next;
    } changes[] = {
        {"scattered", [&](int, int, int,
                          BYTE old) { return source.random() % 97 ? old : BYTE(source.random()); }},
        {"stripe", [](int x, int y, int, BYTE old) { return y % 7 == 3 ? BYTE(x / 5) : old; }},
        {"sprite",
         [](int x, int y, int f, BYTE old) {
             return x >= 40 + 9 * f && x < 52 + 9 * f && y >= 3 * f && y < 3 * f + 10 ? BYTE(250)
                                                                                      : old;
         }},
        {"everything", [&](int, int, int, BYTE) { return BYTE(source.random() % 3); }},
        {"nothing", [](int, int, int, BYTE old) { return old; }},
    };
    for (const auto& [width, height] : {std::pair{301, 9}, std::pair{7, 300}, std::pair{600, 270}})
        for (const auto& change : changes) {
            const std::size_t stride = width + 3;
            Bytes before = MakePicture(0, width, height, stride), shown = before;
            for (int frame = 0; frame < 3; ++frame) {
                Bytes after = before;
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < width; ++x)
                        after[y * stride + x] = change.next(x, y, frame, before[y * stride + x]);
                Bytes out;
                const std::size_t n =
                    Rle8EncodeDelta(after.data(), before.data(), width, height, stride, out);
                ASSERT_EQ(n, out.size());
                EXPECT_NE(n, ((width + 3) & ~3) * std::size_t(height));
                ASSERT_TRUE(Rle8Decode(out.data(), n, width, height, stride, shown.data()))
                    << change.name << " " << width << "x" << height;
                ASSERT_EQ(shown, Bytes(after.begin(), after.end())) << change.name;
                if (std::string(change.name) == "nothing") {
                    EXPECT_EQ(out, (Bytes{0, 1}));
                }
                before = after;
            }
        }
}

// Widths 1 to 4 pad to 4 bytes, which every encoded row costs already, so they
// stay above the padded size; wider pictures of few colours hit it often
// before the encoder steps around it.
TEST(Rle8PaddedSize, SmallPicturesNeverMatchIt) {
    std::mt19937 random(7);
    for (int trial = 0; trial < 4000 && !HasFailure(); ++trial) {
        const int width = 1 + trial % 16, height = 1 + int(random() % 6);
        const unsigned colours = 1 + random() % 3;
        Bytes picture(width * height);
        for (auto& b : picture) b = BYTE(random() % colours);
        ExpectRoundTrip(picture, width, height, width);
    }
}

struct SizeCase {
    std::string pattern;
    double maxOfRaw, maxOfOptimal; // against width x height, the best encoding
};
void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.pattern;
}

class Rle8SizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(Rle8SizeTest, StaysWithinBounds) {
    const SizeCase& c = GetParam();
    const int width = 640, height = 48;
    const auto* entry = std::find_if(std::begin(kPatterns), std::end(kPatterns),
                                     [&](const auto& p) { return c.pattern == p.first; });
    ASSERT_NE(entry, std::end(kPatterns));
    const Bytes picture = MakePicture(int(entry - kPatterns), width, height, width);
    const std::size_t size = ExpectRoundTrip(picture, width, height, width);
    EXPECT_LE(size, c.maxOfRaw * width * height);
    EXPECT_LE(size, c.maxOfOptimal * OptimalSize(picture, width, height));
}

// Noise: absolute runs of 254 + 254 + 132 and the end-of-line cost 8 bytes a
// row over raw, and runs of 3 in random data may add a little.
INSTANTIATE_TEST_SUITE_P(
    Content, Rle8SizeTest,
    ::testing::Values(SizeCase{"Noise", 1.0 + 10.0 / 640, 1.01}, SizeCase{"Flat", 0.02, 1.0},
                      SizeCase{"Stripes", 0.7, 1.01}, SizeCase{"Gradient", 0.85, 1.01},
                      SizeCase{"Bayer", 0.7, 1.01}, SizeCase{"LongRuns", 0.1, 1.01},
                      SizeCase{"ShortRuns", 1.0, 1.009}, SizeCase{"GifLike", 0.55, 1.01}),
    [](const auto& info) { return info.param.pattern; });

} // namespace
