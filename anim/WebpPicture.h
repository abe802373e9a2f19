// CWebpPicture: an animated or still WebP picture, decoded by libwebp's
// animation decoder, which composes each frame on the canvas by the frame's
// blending and disposal and hands out the whole canvas.
#pragma once

#include "anim/AnimatedPicture.h"

#include <cstdint>
#include <memory>
#include <vector>

struct WebPAnimDecoder;

class CWebpPicture : public CAnimatedPicture {
public:
    // Null when `bytes` are no WebP picture whose header can be read, or
    // when its canvas is larger than kMaxCanvasBytes allows. A file cut short
    // keeps the frames that arrived whole, and is Damaged().
    static std::unique_ptr<CWebpPicture> Open(std::vector<uint8_t> bytes);
    ~CWebpPicture() override;

    bool NextFrame() override;
    void Rewind() override;

private:
    CWebpPicture() = default;

    std::vector<uint8_t> m_bytes; // the decoder reads them in place
    WebPAnimDecoder* m_pDecoder = nullptr;
};
