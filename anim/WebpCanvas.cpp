#include "anim/WebpCanvas.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// `src` over `dst`, neither premultiplied, with the animation decoder's
// integer arithmetic (its BlendPixelNonPremult): the destination's weight
// is taken as its alpha × (256 − the source's alpha) / 256, truncated, and
// each colour is divided by the resulting alpha as a multiplication by
// 2^24 / alpha, truncated too. A transparent source leaves `dst` as it is.
// The colour channels are blended alike, so the byte order does not matter.
void BlendPixel(const uint8_t* src, uint8_t* dst) {
    const uint32_t srcAlpha = src[3];
    if (srcAlpha == 0) return;
    const uint8_t dstFactor = uint8_t((dst[3] * (256 - srcAlpha)) >> 8);
    const uint8_t alpha = uint8_t(srcAlpha + dstFactor);
    const uint32_t scale = (uint32_t{1} << 24) / alpha;
    for (int c = 0; c < 3; ++c) {
        const uint32_t unscaled = src[c] * srcAlpha + dst[c] * uint32_t{dstFactor};
        dst[c] = uint8_t((unscaled * scale) >> 24);
    }
    dst[3] = alpha;
}

// `count` pixels of a frame drawn over the canvas: opaque ones replace it.
void BlendRow(const uint8_t* src, uint8_t* dst, int count) {
    for (int i = 0; i < count; ++i, src += 4, dst += 4) {
        if (src[3] == 255)
            std::memcpy(dst, src, 4);
        else
            BlendPixel(src, dst);
    }
}

} // namespace

bool WebpCanvas::Allocate(int width, int height) {
    if (!m_pixels.empty()) return true;
    try {
        m_pixels.assign(std::size_t(width) * std::size_t(height) * 4, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_nWidth = width;
    m_nHeight = height;
    m_bHasPrevious = false;
    return true;
}

// A key frame starts from a transparent canvas instead of the one before:
// the first frame; a frame that covers the canvas and replaces every pixel
// of it (no alpha, or no blending); and a frame after one disposed to
// background that either covered the canvas or was itself a key frame (the
// canvas is then transparent but for what the frame draws).
bool WebpCanvas::IsKeyFrame(const WebpFrame& frame) const {
    if (!m_bHasPrevious) return true;
    const auto full = [this](const WebpFrame& f) {
        return f.width == m_nWidth && f.height == m_nHeight;
    };
    if ((!frame.hasAlpha || !frame.blend) && full(frame)) return true;
    return m_previous.disposeBackground && (full(m_previous) || m_bPreviousKey);
}

void WebpCanvas::ClearRect(const WebpFrame& rect) {
    const std::size_t stride = std::size_t(m_nWidth) * 4;
    for (int y = 0; y < rect.height; ++y)
        std::memset(m_pixels.data() + std::size_t(rect.y + y) * stride + std::size_t(rect.x) * 4, 0,
                    std::size_t(rect.width) * 4);
}

void WebpCanvas::Draw(const WebpFrame& frame, const uint8_t* pixels) {
    if (m_bHasPrevious && m_previous.disposeBackground) ClearRect(m_previous);
    const bool key = IsKeyFrame(frame);
    // A key frame over the whole canvas replaces every pixel anyway.
    if (key && (frame.width != m_nWidth || frame.height != m_nHeight))
        std::fill(m_pixels.begin(), m_pixels.end(), uint8_t{0});
    const std::size_t stride = std::size_t(m_nWidth) * 4;
    const std::size_t rowBytes = std::size_t(frame.width) * 4;
    const WebpFrame& previous = m_previous;
    for (int y = 0; y < frame.height; ++y) {
        const uint8_t* src = pixels + std::size_t(y) * rowBytes;
        const int canvasY = frame.y + y;
        uint8_t* dst = m_pixels.data() + std::size_t(canvasY) * stride + std::size_t(frame.x) * 4;
        if (key || !frame.blend) {
            std::memcpy(dst, src, rowBytes);
            continue;
        }
        const int left = frame.x, right = frame.x + frame.width;
        const int previousRight = previous.x + previous.width;
        if (!previous.disposeBackground || canvasY < previous.y ||
            canvasY >= previous.y + previous.height || left >= previousRight ||
            right <= previous.x) {
            BlendRow(src, dst, frame.width);
            continue;
        }
        // Where the frame before was disposed to background the animation
        // decoder keeps the decoded pixels as they are: blending them over
        // transparent black would give the same but for the rounding of
        // partly transparent pixels, and transparent ones would take its
        // black. Only the parts of the row left and right of that
        // rectangle are blended.
        const int from = std::max(left, previous.x) - left;
        const int to = std::min(right, previousRight) - left;
        BlendRow(src, dst, from);
        std::memcpy(dst + std::size_t(from) * 4, src + std::size_t(from) * 4,
                    std::size_t(to - from) * 4);
        BlendRow(src + std::size_t(to) * 4, dst + std::size_t(to) * 4, frame.width - to);
    }
    m_previous = frame;
    m_bPreviousKey = key;
    m_bHasPrevious = true;
}
