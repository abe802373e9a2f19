// The blur, smoothing, level stretch, erosion and dilation against plain
// references written pixel by pixel from their definitions.
#include "dib/Dib.h"

#include "../LeakCheckedTest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using DibFiltersTest = LeakCheckedTest;

void Random(CDIB& dib, int w, int h, int b, std::mt19937& random) {
    BITMAPINFOHEADER format{};
    format.biPlanes = 1;
    format.biBitCount = WORD(b);
    ASSERT_TRUE(dib.Create(w, h, &format, 0));
    for (DWORD i = 0; i < dib.m_dwSizeImage; ++i) dib.m_pBits[i] = BYTE(random());
}

std::vector<BYTE> Bytes(const CDIB& dib) {
    return {dib.m_pBits, dib.m_pBits + dib.m_dwSizeImage};
}

// Pixels as channel triples (blue, green, red) on their own scale: 0-31 for
// 16 bits, 0-255 for 24.
struct Pixels {
    int w, h, b;
    std::size_t stride;
    std::vector<BYTE>* bytes;
    int Get(int x, int y, int k) const {
        const BYTE* p = bytes->data() + y * stride + x * (b / 8);
        return b == 24 ? p[k] : ((p[0] | p[1] << 8) >> (5 * k)) & 31;
    }
    void Set(int x, int y, int k, int v) {
        BYTE* p = bytes->data() + y * stride + x * (b / 8);
        if (b == 24) {
            p[k] = BYTE(v);
        } else {
            const unsigned word = ((p[0] | p[1] << 8) & ~(31u << (5 * k)) & 0x7FFF) | v << (5 * k);
            p[0] = BYTE(word), p[1] = BYTE(word >> 8);
        }
    }
};

int Clamp(long v, long high) {
    return int(v > high ? high : v < 0 ? 0 : v);
}

void ReferenceBlurStep(Pixels p, int d) {
    for (int i = 0; i < p.h; ++i)
        for (int j = 0; j < p.w; ++j) {
            const int up = Clamp(i + d, p.h - 1), down = Clamp(i - d, p.h - 1);
            const int right = Clamp(j + d, p.w - 1), left = Clamp(j - d, p.w - 1);
            int v[3];
            for (int k = 0; k < 3; ++k)
                v[k] = (p.Get(right, up, k) + p.Get(right, down, k) + p.Get(left, up, k) +
                        p.Get(left, down, k)) /
                       4;
            for (int k = 0; k < 3; ++k) p.Set(j, i, k, v[k]);
        }
}

// Cells cover the whole stride (row padding can add one); the right-hand
// neighbour counts `weight` times, the other eight of the block once.
void ReferenceSmooth(Pixels p, int weight) {
    const int cells = int(p.b == 16 ? p.stride / 2 : p.stride / 3);
    const int scale = p.b == 16 ? 8 : 1;
    std::vector<int> v(std::size_t(cells) * p.h * 3);
    auto at = [&](int i, int j, int k) -> int& { return v[(std::size_t(i) * cells + j) * 3 + k]; };
    for (int i = 0; i < p.h; ++i)
        for (int j = 0; j < cells; ++j)
            for (int k = 0; k < 3; ++k) at(i, j, k) = p.Get(j, i, k) * scale;
    for (int i = 1; i + 1 < p.h; ++i)
        for (int j = 1; j + 1 < cells; ++j)
            for (int k = 0; k < 3; ++k) {
                int sum = (weight - 1) * at(i, j + 1, k); // the weight replaces its own count
                for (int di = -1; di <= 1; ++di)
                    for (int dj = -1; dj <= 1; ++dj) sum += at(i + di, j + dj, k);
                at(i, j, k) = (sum / (weight + 8)) & 0xFF;
            }
    for (int i = 0; i < p.h; ++i)
        for (int j = 0; j < cells; ++j)
            for (int k = 0; k < 3; ++k) p.Set(j, i, k, at(i, j, k) / scale);
}

TEST_F(DibFiltersTest, BlurAndSmoothingAgreeWithReferences) {
    std::mt19937 random(11);
    const struct { int w, h; } sizes[] = {{1, 1}, {5, 1}, {7, 9}, {13, 6}, {2, 3}};
    for (int b : {16, 24})
        for (const auto& size : sizes) {
            SCOPED_TRACE(testing::Message() << b << " bits, " << size.w << " x " << size.h);
            CDIB dib;
            Random(dib, size.w, size.h, b, random);
            std::vector<BYTE> want = Bytes(dib);
            const Pixels ref{size.w, size.h, b, dib.GetBytesPerLine(), &want};
            if (b == 16) // the reference writes words whole: bit 15 clear
                for (int y = 0; y < size.h; ++y)
                    for (int x = 0; x < size.w; ++x) Pixels(ref).Set(x, y, 0, ref.Get(x, y, 0));
            for (int d : {0, 1, 2, 7}) {
                ASSERT_TRUE(dib.BlurStep(d));
                ReferenceBlurStep(ref, d);
                ASSERT_EQ(Bytes(dib), want) << "BlurStep " << d;
            }
            ASSERT_TRUE(dib.Blur(3));
            for (int d : {3, 2, 1}) ReferenceBlurStep(ref, d);
            ASSERT_EQ(Bytes(dib), want) << "Blur 3";
            for (int weight : {0, 3}) {
                dib.SmoothWeighted(weight);
                ReferenceSmooth(ref, weight);
                ASSERT_EQ(Bytes(dib), want) << "SmoothWeighted " << weight;
            }
            dib.SmoothWeighted(-8);
            ASSERT_EQ(Bytes(dib), want) << "no weight divides by zero";
        }

    CDIB indexed;
    Random(indexed, 6, 4, 8, random);
    const std::vector<BYTE> before = Bytes(indexed);
    EXPECT_TRUE(indexed.Blur(2));
    EXPECT_FALSE(indexed.BlurStep(1));
    EXPECT_FALSE(indexed.BlurStep24(1));
    indexed.SmoothWeighted(0);
    indexed.AdjustLevels(0, 100, 100, 100);
    EXPECT_EQ(Bytes(indexed), before);
}

// Factor 1 keeps every byte, factor 2 doubles modulo 256; groups of three run
// across row ends, so with a stride of 4 the channels shift row by row.
TEST_F(DibFiltersTest, AdjustLevelsStretchesBytesInGroupsOfThree) {
    std::mt19937 random(5);
    CDIB dib;
    Random(dib, 1, 3, 24, random);
    const std::vector<BYTE> before = Bytes(dib);
    dib.AdjustLevels(0, 128, 128, 128);
    dib.AdjustLevels(9, 9, 9, 9);
    EXPECT_EQ(Bytes(dib), before);
    dib.m_pBits[0] = 200;
    dib.AdjustLevels(0x100, 100, 100, 100); // only the low 8 bits of each count
    EXPECT_EQ(dib.m_pBits[0], 144);
    const std::vector<BYTE> doubled = Bytes(dib);
    dib.AdjustLevels(10, 265, 137, 95); // factors 1, 2 and 3 for bytes 0, 1, 2 of each group
    for (std::size_t i = 0; i < doubled.size(); ++i)
        EXPECT_EQ(dib.m_pBits[i], BYTE((doubled[i] - 10) * int(1 + i % 3))) << i;
}

// Erosion keeps a pixel whose selected neighbours are all 1, dilation sets
// one with any selected neighbour 1; outside pixels are 0 and padding bits
// are pixels. Bit 0 of each row's last byte is 0 whatever the reference says.
TEST_F(DibFiltersTest, ErosionAndDilationAgreeWithAPerPixelReference) {
    std::mt19937 random(13);
    const struct { int w, h; } sizes[] = {{32, 5}, {1, 1}, {45, 9}, {8, 2}, {70, 3}};
    const int patterns[][3] = {{7, 7, 7}, {2, 7, 2}, {0, 2, 0}, {5, 0, 1}, {0, 0, 0}};
    for (const auto& size : sizes)
        for (bool allOnes : {false, true})
            for (const auto& p : patterns)
                for (bool dilate : {false, true}) {
                    CDIB dib;
                    Random(dib, size.w, size.h, 1, random);
                    if (allOnes) std::memset(dib.m_pBits, 0xFF, dib.m_dwSizeImage);
                    const std::vector<BYTE> in = Bytes(dib);
                    const long stride = long(dib.GetBytesPerLine()), bits = 8 * stride;
                    auto pixel = [&](long x, long y) {
                        if (x < 0 || x >= bits || y < 0 || y >= size.h) return 0;
                        return in[std::size_t(y * stride + x / 8)] >> (7 - x % 8) & 1;
                    };
                    ASSERT_TRUE(dilate ? dib.Dilate(p[0], p[1], p[2])
                                       : dib.Erode(p[0], p[1], p[2]));
                    for (long y = 0; y < size.h; ++y)
                        for (long x = 0; x + 1 < bits; ++x) {
                            int all = 1, any = 0;
                            for (int dy = -1; dy <= 1; ++dy)
                                for (int t = 0; t < 3; ++t)
                                    if (p[dy + 1] >> t & 1) {
                                        const int v = pixel(x + 1 - t, y + dy);
                                        all &= v, any |= v;
                                    }
                            const int got =
                                dib.m_pBits[std::size_t(y * stride + x / 8)] >> (7 - x % 8) & 1;
                            ASSERT_EQ(got, dilate ? any : all)
                                << (dilate ? "dilate " : "erode ") << p[0] << p[1] << p[2] << " "
                                << size.w << " x " << size.h << " at " << x << "," << y;
                        }
                    for (long y = 0; y < size.h; ++y)
                        ASSERT_EQ(dib.m_pBits[std::size_t(y * stride + stride - 1)] & 1, 0);
                }

    // Repeats count the low 16 bits: 65536 + 2 is twice.
    CDIB once, repeated, indexed;
    Random(once, 40, 12, 1, random);
    repeated = once;
    once.Erode(7, 7, 7);
    once.Erode(7, 7, 7);
    EXPECT_TRUE(repeated.ErodeRepeat(65536 + 2));
    EXPECT_EQ(Bytes(repeated), Bytes(once));
    const std::vector<BYTE> before = Bytes(repeated);
    EXPECT_TRUE(repeated.ErodeRepeat(0));
    EXPECT_TRUE(repeated.DilateRepeat(65536));
    EXPECT_EQ(Bytes(repeated), before);
    CDIB empty; // rows of no bytes
    Random(empty, 0, 3, 1, random);
    EXPECT_TRUE(empty.Erode(7, 7, 7));
    EXPECT_TRUE(empty.Dilate(7, 7, 7));
    Random(indexed, 8, 8, 8, random);
    EXPECT_FALSE(indexed.Erode(7, 7, 7));
    EXPECT_FALSE(indexed.Dilate(7, 7, 7));
    EXPECT_FALSE(indexed.ErodeRepeat(1));
    EXPECT_FALSE(indexed.DilateRepeat(1));
}

} // namespace
