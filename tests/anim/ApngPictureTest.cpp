// CApngPicture on APNG files built chunk by chunk here: the structure walk
// against damage of every kind, and the composition of partial alpha and of
// the disposal ops against an RGBA Porter-Duff compositor written out below.
#include "anim/ApngPicture.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Chunk {
    std::string type;
    Bytes data;
    bool badCrc = false;
};

// Signature, then each chunk with its length and CRC.
Bytes Serialize(const std::vector<Chunk>& chunks) {
    Bytes out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (const Chunk& c : chunks) {
        const Bytes typed = Cat({Bytes(c.type.begin(), c.type.end()), c.data});
        const uint32_t crc = crc32(0, typed.data(), static_cast<uInt>(typed.size()));
        out = Cat({out, Be32(uint32_t(c.data.size())), typed, Be32(crc ^ (c.badCrc ? 1 : 0))});
    }
    return out;
}

Chunk Ihdr(uint32_t w, uint32_t h, uint8_t depth = 8, uint8_t colorType = 6) {
    return {"IHDR", Cat({Be32(w), Be32(h), {depth, colorType, 0, 0, 0}})};
}

struct Rgba {
    uint8_t r, g, b, a;
};

struct FrameSpec {
    uint32_t x, y, w, h;
    uint8_t dispose, blend;
    std::vector<Rgba> pixels; // w × h, or empty for a plain colour
    uint16_t num = 1, den = 10;
};

// The frame's pixels as a zlib stream of rows of filter type 0.
Bytes Compress(const FrameSpec& f) {
    Bytes raw;
    for (uint32_t i = 0; i < f.w * f.h; ++i) {
        if (i % f.w == 0) raw.push_back(0);
        const Rgba p = f.pixels.empty() ? Rgba{uint8_t(40 * i), 90, 200, 255} : f.pixels[i];
        raw.insert(raw.end(), {p.r, p.g, p.b, p.a});
    }
    uLongf size = compressBound(raw.size());
    Bytes out(size);
    EXPECT_EQ(compress(out.data(), &size, raw.data(), raw.size()), Z_OK);
    out.resize(size);
    return out;
}

// An RGBA APNG: acTL, then for each frame its fcTL and its data, the first
// frame's as IDAT, the others' as fdAT, sequence numbers running across both.
std::vector<Chunk> Apng(uint32_t w, uint32_t h, const std::vector<FrameSpec>& frames,
                        std::vector<Chunk> extra = {}) {
    std::vector<Chunk> chunks{Ihdr(w, h)};
    chunks.insert(chunks.end(), extra.begin(), extra.end());
    chunks.push_back({"acTL", Cat({Be32(uint32_t(frames.size())), Be32(0)})});
    uint32_t seq = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const FrameSpec& f = frames[i];
        chunks.push_back({"fcTL", Cat({Be32(seq++),
                                       Be32(f.w),
                                       Be32(f.h),
                                       Be32(f.x),
                                       Be32(f.y),
                                       {uint8_t(f.num >> 8), uint8_t(f.num), uint8_t(f.den >> 8),
                                        uint8_t(f.den), f.dispose, f.blend}})});
        if (i == 0)
            chunks.push_back({"IDAT", Compress(f)});
        else
            chunks.push_back({"fdAT", Cat({Be32(seq++), Compress(f)})});
    }
    chunks.push_back({"IEND", {}});
    return chunks;
}

// Three frames on a 4 × 4 canvas, 667, 50 and 2 ms long (2/3 s; 5/100 s by
// a zero denominator; 7/3000 s). Chunks: IHDR, acTL, fcTL 0, IDAT, fcTL 1,
// fdAT 2, fcTL 3, fdAT 4, IEND.
std::vector<Chunk> ThreeFrames() {
    return Apng(4, 4,
                {{0, 0, 4, 4, 0, 0, {}, 2, 3},
                 {1, 1, 2, 2, 0, 0, {}, 5, 0},
                 {2, 2, 2, 2, 0, 1, {}, 7, 3000}});
}

// Offsets of fcTL fields within its data.
constexpr std::size_t kSeq = 0, kW = 4, kX = 12, kY = 16, kDispose = 24, kBlend = 25;

void Put32(Bytes& data, std::size_t at, uint32_t v) {
    const Bytes b = Be32(v);
    std::copy(b.begin(), b.end(), data.begin() + long(at));
}

TEST(ApngPictureTest, StructureDamageEndsTheAnimationBeforeIt) {
    using Edit = std::function<void(std::vector<Chunk>&)>;
    const Bytes whole = Serialize(ThreeFrames());
    // Where chunk i of ThreeFrames() starts in the file.
    std::vector<std::size_t> start{8};
    for (const Chunk& c : ThreeFrames()) start.push_back(start.back() + 12 + c.data.size());
    struct Case {
        const char* what;
        Edit edit;
        std::size_t cut; // the file's size after the edit, 0 for all of it
        int frames;      // -1: Open gives null
        bool damaged;
    } cases[] = {
        {"intact", [](auto&) {}, 0, 3, false},
        {"fdAT sequence out of order", [](auto& c) { Put32(c[5].data, 0, 7); }, 0, 1, true},
        {"fcTL sequence out of order", [](auto& c) { Put32(c[6].data, kSeq, 9); }, 0, 2, true},
        {"rectangle past the right edge", [](auto& c) { Put32(c[4].data, kX, 3); }, 0, 1, true},
        {"x + w wraps 32 bits", [](auto& c) { Put32(c[4].data, kX, 0xFFFFFFFF); }, 0, 1, true},
        {"y + h wraps 32 bits", [](auto& c) { Put32(c[4].data, kY, 0xFFFFFFFE); }, 0, 1, true},
        {"empty rectangle", [](auto& c) { Put32(c[4].data, kW, 0); }, 0, 1, true},
        {"dispose op 3", [](auto& c) { c[6].data[kDispose] = 3; }, 0, 2, true},
        {"blend op 2", [](auto& c) { c[4].data[kBlend] = 2; }, 0, 1, true},
        {"bad CRC on an fdAT", [](auto& c) { c[5].badCrc = true; }, 0, 1, true},
        {"a frame with no data", [](auto& c) { c.erase(c.begin() + 5); }, 0, 1, true},
        {"first fcTL before IDAT not the whole canvas", [](auto& c) { Put32(c[2].data, kX, 1); }, 0,
         -1, false},
        {"more frames announced than present", [](auto& c) { Put32(c[1].data, 0, 5); }, 0, 3, true},
        {"fewer announced: the rest are ignored, even damaged",
         [](auto& c) {
             Put32(c[1].data, 0, 2);
             Put32(c[6].data, kSeq, 9);
         },
         0, 2, false},
        {"IDAT before the first fcTL: a default image, never decoded",
         [](auto& c) {
             Put32(c[1].data, 0, 2);
             c[3].data = {1, 2, 3}; // no zlib stream
             std::swap(c[2], c[3]);
             c.erase(c.begin() + 3); // the first fcTL; the others count from 0
             Put32(c[3].data, kSeq, 0);
             Put32(c[4].data, 0, 1);
             Put32(c[5].data, kSeq, 2);
             Put32(c[6].data, 0, 3);
         },
         0, 2, false},
        {"acTL of 0 frames: a still PNG", [](auto& c) { Put32(c[1].data, 0, 0); }, 0, 1, false},
        {"no IHDR first", [](auto& c) { std::swap(c[0], c[1]); }, 0, -1, false},
        {"zero-width canvas", [](auto& c) { c[0] = Ihdr(0, 4); }, 0, -1, false},
        {"bit depth 4 for RGBA", [](auto& c) { c[0] = Ihdr(4, 4, 4); }, 0, -1, false},
        {"no IEND", [](auto& c) { c.pop_back(); }, 0, 3, false},
        {"cut inside the last fdAT's data", [](auto&) {}, start[8] - 6, 2, true},
        {"cut inside the last fdAT's header", [](auto&) {}, start[7] + 5, 2, true},
        {"cut inside the last fcTL", [](auto&) {}, start[6] + 20, 2, true},
        {"cut after the last fcTL", [](auto&) {}, start[7], 2, true},
        {"cut inside the first fdAT's sequence number", [](auto&) {}, start[5] + 10, 1, true},
        {"cut inside the IDAT", [](auto&) {}, start[4] - 1, -1, false},
    };
    for (const Case& c : cases) {
        std::vector<Chunk> chunks = ThreeFrames();
        c.edit(chunks);
        Bytes bytes = Serialize(chunks);
        if (c.cut) bytes = Bytes(whole.begin(), whole.begin() + long(c.cut));
        const auto picture = CApngPicture::Open(bytes);
        if (c.frames < 0) {
            EXPECT_EQ(picture, nullptr) << c.what;
            continue;
        }
        ASSERT_NE(picture, nullptr) << c.what;
        EXPECT_EQ(picture->Durations().size(), std::size_t(c.frames)) << c.what;
        EXPECT_EQ(picture->Damaged(), c.damaged) << c.what;
        if (c.frames == 3) {
            EXPECT_EQ(picture->Durations(), (std::vector<int>{667, 50, 2})) << c.what;
        }
        // Every frame the walk kept decodes; after them the damage shows.
        int decoded = 0;
        while (picture->NextFrame()) ++decoded;
        EXPECT_EQ(decoded, c.frames) << c.what;
        EXPECT_EQ(picture->LastFailure(),
                  c.damaged ? CAnimatedPicture::kRefused : CAnimatedPicture::kEnded)
            << c.what;
    }
}

TEST(ApngPictureTest, CanvasLimitIsCheckedBeforeAnyAllocation) {
    // Open decodes nothing, so a canvas at the limit opens without memory.
    const Chunk idat{"IDAT", {1, 2, 3}};
    EXPECT_NE(CApngPicture::Open(Serialize({Ihdr(8192, 8192), idat, {"IEND", {}}})), nullptr);
    for (auto [w, h] : {std::pair{8193u, 8192u}, {0x7FFFFFFFu, 0x7FFFFFFFu}, {0x80000000u, 1u}})
        EXPECT_EQ(CApngPicture::Open(Serialize({Ihdr(w, h), idat, {"IEND", {}}})), nullptr) << w;
}

TEST(ApngPictureTest, BackgroundComesFromBkgd) {
    const Chunk plte{"PLTE", {1, 2, 3, 4, 5, 6}};
    struct Case {
        const char* what;
        uint8_t depth, colorType;
        std::vector<Chunk> before; // chunks between IHDR and IDAT
        anim::Rgb expected;
    } cases[] = {
        {"no bKGD: black", 8, 6, {}, {0, 0, 0}},
        {"RGB, 8 bits", 8, 2, {{"bKGD", {0, 10, 0, 20, 0, 30}}}, {10, 20, 30}},
        {"RGB, 16 bits: high bytes", 16, 6, {{"bKGD", {1, 2, 3, 4, 5, 6}}}, {1, 3, 5}},
        {"RGB sample out of 8-bit range: ignored", 8, 2, {{"bKGD", {1, 0, 0, 0, 0, 0}}}, {}},
        {"gray, 2 bits: scaled", 2, 0, {{"bKGD", {0, 1}}}, {85, 85, 85}},
        {"gray, 16 bits", 16, 4, {{"bKGD", {0xAB, 0xCD}}}, {0xAB, 0xAB, 0xAB}},
        {"palette index", 8, 3, {plte, {"bKGD", {1}}}, {4, 5, 6}},
        {"palette index out of range: ignored", 8, 3, {plte, {"bKGD", {2}}}, {}},
        {"bKGD with a bad CRC: ignored", 8, 2, {{"bKGD", {0, 10, 0, 20, 0, 30}, true}}, {}},
    };
    for (const Case& c : cases) {
        std::vector<Chunk> chunks{Ihdr(1, 1, c.depth, c.colorType)};
        chunks.insert(chunks.end(), c.before.begin(), c.before.end());
        chunks.push_back({"IDAT", {1}});
        const auto picture = CApngPicture::Open(Serialize(chunks));
        ASSERT_NE(picture, nullptr) << c.what;
        EXPECT_EQ(picture->Background(), c.expected) << c.what;
    }
}

// The APNG rules on an RGBA canvas in real numbers (non-premultiplied
// Porter-Duff "over"), each canvas then put over the background: the
// canvases after each frame, as red, green, blue.
std::vector<std::vector<double>> Reference(uint32_t w, uint32_t h, anim::Rgb bg,
                                           const std::vector<FrameSpec>& frames) {
    std::vector<double> canvas(w * h * 4, 0.0), saved;
    std::vector<std::vector<double>> shown;
    auto at = [&](uint32_t x, uint32_t y) { return &canvas[(y * w + x) * 4]; };
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const FrameSpec& f = frames[i];
        if (f.dispose == 2) saved = canvas;
        for (uint32_t y = 0; y < f.h; ++y) {
            for (uint32_t x = 0; x < f.w; ++x) {
                const Rgba s = f.pixels[y * f.w + x];
                double* d = at(f.x + x, f.y + y);
                const double sa = s.a / 255.0, da = f.blend ? d[3] : 0.0;
                const double oa = sa + da * (1 - sa);
                const double sc[3] = {double(s.r), double(s.g), double(s.b)};
                for (int k = 0; k < 3; ++k)
                    d[k] = oa == 0 ? 0 : (sc[k] * sa + d[k] * da * (1 - sa)) / oa;
                d[3] = oa;
            }
        }
        std::vector<double> rgb;
        const double bgc[3] = {double(bg.r), double(bg.g), double(bg.b)};
        for (uint32_t p = 0; p < w * h; ++p)
            for (int k = 0; k < 3; ++k)
                rgb.push_back(canvas[p * 4 + k] * canvas[p * 4 + 3] +
                              bgc[k] * (1 - canvas[p * 4 + 3]));
        shown.push_back(rgb);
        // Disposal after the frame is shown: to transparent black, or back
        // to the canvas before it (for a first frame, the empty canvas).
        for (uint32_t y = f.y; y < f.y + f.h; ++y)
            for (uint32_t x = f.x; x < f.x + f.w; ++x)
                for (int k = 0; k < 4; ++k) {
                    if (f.dispose == 1) at(x, y)[k] = 0;
                    if (f.dispose == 2) at(x, y)[k] = saved[(y * w + x) * 4 + k];
                }
    }
    return shown;
}

TEST(ApngPictureTest, ComposesLikeRgbaOverBackground) {
    const Rgba half{250, 10, 60, 128}, quarter{0, 200, 100, 64}, faint{30, 90, 240, 20},
        solid{5, 6, 7, 255}, clear{99, 99, 99, 0};
    struct Case {
        const char* what;
        std::vector<FrameSpec> frames; // on a 3 × 2 canvas
    } cases[] = {
        {"partial over partial",
         {{0, 0, 3, 2, 0, 0, {half, quarter, faint, solid, clear, half}},
          {0, 0, 3, 2, 0, 1, {quarter, half, half, faint, quarter, clear}}}},
        {"over a rectangle disposed to background",
         {{0, 0, 3, 2, 1, 0, {half, half, solid, half, quarter, faint}},
          {1, 0, 2, 2, 0, 1, {faint, half, clear, quarter}}}},
        {"source replaces a partial pixel",
         {{0, 0, 3, 2, 0, 0, {half, half, half, half, half, half}},
          {0, 1, 3, 1, 0, 0, {quarter, clear, solid}}}},
        {"dispose previous after dispose previous",
         {{0, 0, 3, 2, 0, 0, {solid, half, quarter, faint, half, solid}},
          {0, 0, 2, 2, 2, 1, {quarter, quarter, faint, faint}},
          {1, 0, 2, 1, 2, 1, {half, solid}},
          {2, 1, 1, 1, 0, 1, {quarter}}}},
        {"a first frame's dispose previous clears to the background",
         {{0, 0, 3, 2, 2, 0, {solid, solid, half, half, solid, solid}},
          {1, 1, 2, 1, 0, 1, {half, faint}}}},
    };
    const anim::Rgb bg{200, 100, 50};
    const Chunk bkgd{"bKGD", {0, bg.r, 0, bg.g, 0, bg.b}};
    for (const Case& c : cases) {
        const auto picture = CApngPicture::Open(Serialize(Apng(3, 2, c.frames, {bkgd})));
        ASSERT_NE(picture, nullptr) << c.what;
        const auto expected = Reference(3, 2, bg, c.frames);
        for (std::size_t i = 0; i < c.frames.size(); ++i) {
            ASSERT_TRUE(picture->NextFrame()) << c.what;
            // The reader rounds to 8 bits after each step; the error each
            // rounding leaves is at most 1/2 and is scaled by (1 - a) < 1 in
            // the next, so the result stays within 1 of the exact value.
            for (int p = 0; p < 6; ++p)
                for (int k = 0; k < 3; ++k)
                    EXPECT_NEAR(picture->Pixels()[p * 4 + 2 - k], expected[i][p * 3 + k], 1.0)
                        << c.what << ", frame " << i << ", pixel " << p << ", channel " << k;
        }
        EXPECT_FALSE(picture->NextFrame());
        EXPECT_EQ(picture->LastFailure(), CAnimatedPicture::kEnded);
    }
}

TEST(ApngPictureTest, RefusedFrameLeavesTheCanvasAndRewindStartsAgain) {
    std::vector<Chunk> chunks = ThreeFrames();
    chunks[7].data.resize(12); // fdAT 4: its sequence number and a zlib stream cut short
    const Bytes bytes = Serialize(chunks);
    const auto picture = CApngPicture::Open(bytes);
    ASSERT_NE(picture, nullptr);
    ASSERT_EQ(picture->Durations().size(), 3u); // the structure is whole
    ASSERT_TRUE(picture->NextFrame());
    ASSERT_TRUE(picture->NextFrame());
    const Bytes second(picture->Pixels(), picture->Pixels() + 4 * 4 * 4);
    EXPECT_FALSE(picture->NextFrame());
    EXPECT_EQ(picture->LastFailure(), CAnimatedPicture::kRefused);
    EXPECT_EQ(picture->FramesDone(), 2);
    EXPECT_EQ(Bytes(picture->Pixels(), picture->Pixels() + 4 * 4 * 4), second);

    picture->Rewind();
    EXPECT_EQ(picture->FramesDone(), 0);
    ASSERT_TRUE(picture->NextFrame());
    ASSERT_TRUE(picture->NextFrame());
    EXPECT_EQ(Bytes(picture->Pixels(), picture->Pixels() + 4 * 4 * 4), second);
}

// zlib streams that the reader inflates beforehand and those it leaves to
// libpng's zlib must be judged as libpng judges them: accepted with the same
// pixels, or refused. A still RGB image of 200 × 120 (rows of 601 bytes with
// the filter byte, more than one stored block of 64 KiB in all) whose pixels
// repeat every 1500, so that the deflate data copies from 4500 bytes back.
TEST(ApngPictureTest, ZlibStreamsAreJudgedAsLibpngJudgesThem) {
    constexpr uint32_t w = 200, h = 120;
    auto pixel = [](uint32_t i) {
        const uint32_t k = (i % 1500) * 2654435761u;
        return Rgba{uint8_t(k >> 24), uint8_t(k >> 16), uint8_t(k >> 8), 255};
    };
    auto rows = [&](uint32_t count) {
        Bytes raw;
        for (uint32_t i = 0; i < w * count; ++i) {
            if (i % w == 0) raw.push_back(0);
            const Rgba p = pixel(i);
            raw.insert(raw.end(), {p.r, p.g, p.b});
        }
        return raw;
    };
    auto deflate = [](const Bytes& raw) {
        uLongf size = compressBound(uLong(raw.size()));
        Bytes out(size);
        EXPECT_EQ(compress2(out.data(), &size, raw.data(), uLong(raw.size()), 9), Z_OK);
        out.resize(size);
        return out;
    };
    const Bytes whole = deflate(rows(h));
    auto edited = [&](auto edit) {
        Bytes z = whole;
        edit(z);
        return z;
    };
    // The zlib header made to ask for a 1 KiB window (which zlib holds to
    // and libdeflate does not: the data copy from further back) or for a
    // preset dictionary, its check bits made right.
    auto header = [&](uint8_t cmf, uint8_t flags) {
        return edited([&](Bytes& z) {
            z[0] = cmf;
            z[1] = flags;
            z[1] = uint8_t(z[1] + 31 - (z[0] * 256 + z[1]) % 31);
        });
    };
    struct Case {
        const char* what;
        std::vector<Bytes> idats;
        bool decodes;
    } cases[] = {
        {"the rows", {whole}, true},
        {"split across three IDAT chunks",
         {Bytes(whole.begin(), whole.begin() + 1), Bytes(whole.begin() + 1, whole.end() - 3),
          Bytes(whole.end() - 3, whole.end())},
         true},
        {"a wrong Adler-32: not checked", {edited([](Bytes& z) { z.back() ^= 1; })}, true},
        {"a row more than the image: ignored", {deflate(rows(h + 1))}, true},
        {"a row less than the image", {deflate(rows(h - 1))}, false},
        {"no Adler-32", {Bytes(whole.begin(), whole.end() - 4)}, false},
        {"cut inside the deflate data",
         {Bytes(whole.begin(), whole.begin() + long(whole.size() / 2))},
         false},
        {"a preset dictionary", {header(0x78, 0x20)}, false},
        {"a 1 KiB window, distances beyond it", {header(0x28, 0)}, false},
    };
    for (const Case& c : cases) {
        std::vector<Chunk> chunks{Ihdr(w, h, 8, 2)};
        for (const Bytes& idat : c.idats) chunks.push_back({"IDAT", idat});
        chunks.push_back({"IEND", {}});
        const auto picture = CApngPicture::Open(Serialize(chunks));
        ASSERT_NE(picture, nullptr) << c.what;
        EXPECT_EQ(picture->NextFrame(), c.decodes) << c.what;
        if (!c.decodes) {
            EXPECT_EQ(picture->LastFailure(), CAnimatedPicture::kRefused) << c.what;
            continue;
        }
        int wrong = 0;
        for (uint32_t i = 0; i < w * h; ++i) {
            const uint8_t* q = picture->Pixels() + 4 * i;
            const Rgba p = pixel(i);
            wrong += q[0] != p.b || q[1] != p.g || q[2] != p.r || q[3] != 255;
        }
        EXPECT_EQ(wrong, 0) << c.what;
    }
}

} // namespace
