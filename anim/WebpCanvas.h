// WebpCanvas: the canvas of an animated WebP picture, on which frames decoded
// one by one (each into a buffer of its own size) are composed by the
// animation's rules, giving exactly the pixels libwebp's animation decoder
// gives: the same choice of key frames, a canvas cleared to transparent
// black, rectangles disposed to transparent black, and the same integer
// blending of colours that are not premultiplied by their alpha. The canvas
// keeps its alpha; making it opaque is left to the picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct WebpFrame {
    // The frame's image chunks (an optional ALPH, then VP8 or VP8L), as one
    // bitstream for WebPDecode.
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    // The rectangle, inside the canvas: the demultiplexer checks it.
    int x = 0, y = 0, width = 0, height = 0;
    bool hasAlpha = false;
    bool blend = true;              // drawn over the canvas, else in place of it
    bool disposeBackground = false; // its rectangle cleared after it shows
};

class WebpCanvas {
public:
    // Makes the canvas, `width` × `height` transparent pixels, unless it is
    // made already; false without memory.
    bool Allocate(int width, int height);
    // The next frame drawn is the animation's first.
    void Rewind() { m_bHasPrevious = false; }
    // Disposes of the frame drawn before, then draws `frame` from `pixels`:
    // frame.width × frame.height pixels of blue, green, red and alpha bytes,
    // as WebPDecode gives them.
    void Draw(const WebpFrame& frame, const uint8_t* pixels);
    // Blue, green, red and alpha, not premultiplied: the canvas after the
    // frame drawn last, before its disposal.
    const uint8_t* Pixels() const { return m_pixels.data(); }

private:
    bool IsKeyFrame(const WebpFrame& frame) const;
    void ClearRect(const WebpFrame& rect);

    int m_nWidth = 0;
    int m_nHeight = 0;
    std::vector<uint8_t> m_pixels;
    // The frame drawn before, and whether it was a key frame.
    bool m_bHasPrevious = false;
    WebpFrame m_previous;
    bool m_bPreviousKey = false;
};
