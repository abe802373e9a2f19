// CWebpPicture's composition against libwebp's own animation decoder
// (WebPAnimDecoder), on random animations assembled with libwebp's muxer:
// frames at offsets or over the whole canvas, with and without alpha, lossy
// and lossless, every pair of blending and disposal. Every frame must match
// exactly, through a rewind in the middle, and the frame handed out before
// must stay readable while the next one is decoded.
#include "anim/WebpPicture.h"

#include <gtest/gtest.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct FrameSpec {
    int x, y, width, height;
    bool lossy, blend, disposeBackground;
    Bytes bgra;
};

// An animated WebP file of `frames` on a width × height canvas whose
// background colour, as stored, is `bgcolor` (blue in its low byte).
Bytes Assemble(int width, int height, uint32_t bgcolor, const std::vector<FrameSpec>& frames) {
    WebPMux* mux = WebPMuxNew();
    for (const FrameSpec& f : frames) {
        uint8_t* encoded = nullptr;
        const std::size_t size =
            f.lossy
                ? WebPEncodeBGRA(f.bgra.data(), f.width, f.height, f.width * 4, 60, &encoded)
                : WebPEncodeLosslessBGRA(f.bgra.data(), f.width, f.height, f.width * 4, &encoded);
        EXPECT_GT(size, 0u);
        WebPMuxFrameInfo info{};
        info.bitstream = {encoded, size};
        info.x_offset = f.x;
        info.y_offset = f.y;
        info.duration = 40;
        info.id = WEBP_CHUNK_ANMF;
        info.dispose_method =
            f.disposeBackground ? WEBP_MUX_DISPOSE_BACKGROUND : WEBP_MUX_DISPOSE_NONE;
        info.blend_method = f.blend ? WEBP_MUX_BLEND : WEBP_MUX_NO_BLEND;
        EXPECT_EQ(WebPMuxPushFrame(mux, &info, 1), WEBP_MUX_OK);
        WebPFree(encoded);
    }
    const WebPMuxAnimParams params{bgcolor, 0};
    EXPECT_EQ(WebPMuxSetAnimationParams(mux, &params), WEBP_MUX_OK);
    EXPECT_EQ(WebPMuxSetCanvasSize(mux, width, height), WEBP_MUX_OK);
    WebPData assembled{};
    EXPECT_EQ(WebPMuxAssemble(mux, &assembled), WEBP_MUX_OK);
    Bytes file(assembled.bytes, assembled.bytes + assembled.size);
    WebPDataClear(&assembled);
    WebPMuxDelete(mux);
    return file;
}

// Every frame as libwebp's animation decoder composes it, over `background`.
std::vector<Bytes> Expected(const Bytes& file, anim::Rgb background) {
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_BGRA;
    const WebPData data{file.data(), file.size()};
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&data, &options);
    WebPAnimInfo info{};
    EXPECT_TRUE(decoder && WebPAnimDecoderGetInfo(decoder, &info));
    const std::size_t pixels = std::size_t(info.canvas_width) * info.canvas_height;
    std::vector<Bytes> frames;
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    while (WebPAnimDecoderGetNext(decoder, &canvas, &timestamp)) {
        frames.emplace_back(pixels * 4);
        anim::OverBackground(canvas, frames.back().data(), pixels, background);
    }
    WebPAnimDecoderDelete(decoder);
    return frames;
}

TEST(WebpPicture, ComposesAsLibwebpsAnimationDecoder) {
    constexpr int kWidth = 14, kHeight = 10;
    std::mt19937 random(20261209);
    const auto below = [&random](int n) { return int(random() % unsigned(n)); };
    for (int animation = 0; animation < 60; ++animation) {
        SCOPED_TRACE("animation " + std::to_string(animation));
        std::vector<FrameSpec> frames(2 + below(6));
        for (FrameSpec& f : frames) {
            // Offsets are even in the format; whole frames make key frames.
            const bool whole = below(3) == 0;
            f.x = whole ? 0 : 2 * below(kWidth / 2);
            f.y = whole ? 0 : 2 * below(kHeight / 2);
            f.width = whole ? kWidth : 1 + below(kWidth - f.x);
            f.height = whole ? kHeight : 1 + below(kHeight - f.y);
            f.lossy = below(4) == 0;
            f.blend = below(3) != 0;
            f.disposeBackground = below(2) == 0;
            // Opaque, holes (alpha 0 or 255), or any alpha.
            const int alphaKind = below(3);
            for (int i = 0; i < f.width * f.height; ++i) {
                for (int c = 0; c < 3; ++c) f.bgra.push_back(uint8_t(random()));
                const int a = alphaKind == 0 ? 255 : alphaKind == 1 ? 255 * below(2) : below(256);
                f.bgra.push_back(uint8_t(a));
            }
        }
        const Bytes file = Assemble(kWidth, kHeight, 0xA0204080, frames);
        const std::vector<Bytes> expected = Expected(file, {0x20, 0x40, 0x80});
        ASSERT_EQ(expected.size(), frames.size());

        std::unique_ptr<CWebpPicture> picture = CWebpPicture::Open(file);
        ASSERT_TRUE(picture);
        const std::size_t bytes = expected[0].size();
        // All frames, then (after a rewind from the middle) all again.
        for (const int stop : {int(expected.size()) / 2 + 1, int(expected.size())}) {
            picture->Rewind();
            const uint8_t* before = nullptr;
            for (int k = 0; k < stop; ++k) {
                SCOPED_TRACE("frame " + std::to_string(k));
                ASSERT_TRUE(picture->NextFrame());
                EXPECT_EQ(Bytes(picture->Pixels(), picture->Pixels() + bytes), expected[k]);
                // The frame before, still readable.
                EXPECT_TRUE(k == 0 || Bytes(before, before + bytes) == expected[k - 1]);
                before = picture->Pixels();
            }
        }
        EXPECT_FALSE(picture->NextFrame());
        EXPECT_EQ(picture->LastFailure(), CAnimatedPicture::kEnded);
    }
}

} // namespace
