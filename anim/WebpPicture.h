// CWebpPicture: an animated or still WebP picture. libwebp's demultiplexer
// reads the file's structure; each frame's bitstream is decoded by WebPDecode
// into a buffer of the frame's own size, and composed on the canvas here
// (WebpCanvas) as libwebp's animation decoder would compose it. The frames
// being independent bitstreams, the next ones decode on threads of their own
// while one is composed.
#pragma once

#include "anim/AnimatedPicture.h"
#include "anim/FramesAhead.h"
#include "anim/WebpCanvas.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class CWebpPicture : public CAnimatedPicture {
public:
    // Null when `bytes` are no WebP picture whose header can be read, or
    // when its canvas is larger than kMaxCanvasBytes allows. A damaged file (cut
    // short, or a frame's chunk or image header broken) keeps the frames
    // before the damage, and is Damaged().
    static std::unique_ptr<CWebpPicture> Open(std::vector<uint8_t> bytes);
    ~CWebpPicture() override;

    bool NextFrame() override;
    void Rewind() override;

private:
    CWebpPicture() = default;

    // One frame decoded: its pixels, the frame's own size, blue, green, red
    // and alpha; the buffer is reused from frame to frame.
    struct Slot {
        std::vector<uint8_t> pixels;
        Failure failure = kEnded;
    };
    // Decodes `frame` into `slot`; false with slot.failure set when libwebp
    // refuses it or memory ran out. Reads nothing of the picture but its
    // bytes, so that frames can decode on threads of their own.
    static bool Decode(const WebpFrame& frame, Slot& slot);

    std::vector<uint8_t> m_bytes; // the frames point into them
    std::vector<WebpFrame> m_frames;
    WebpCanvas m_composed; // with its alpha, before it is made opaque

    std::array<Slot, FramesAhead::kSlots> m_slots;
    // Last: its threads stop before the slots go.
    FramesAhead m_ahead{[this](std::size_t frame) {
        return Decode(m_frames[frame], m_slots[frame % m_slots.size()]);
    }};
};
