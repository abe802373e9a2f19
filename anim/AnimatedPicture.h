// CAnimatedPicture: a picture in one of the formats beside GIF (an animated
// WebP or PNG, or a still one), read from its bytes in memory, handing out its
// frames in order. Each frame is the whole canvas as it shows after that
// frame, composed by the format's own rules (disposal, blending) and then made
// opaque over the picture's background colour (PixelBlend.h).
#pragma once

#include "anim/PixelBlend.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

class CAnimatedPicture {
public:
    virtual ~CAnimatedPicture() = default;
    CAnimatedPicture(const CAnimatedPicture&) = delete;
    CAnimatedPicture& operator=(const CAnimatedPicture&) = delete;

    // The canvas, at least 1 × 1 and at most kMaxCanvasBytes at 4 bytes per
    // pixel.
    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    // What transparent pixels are composed over: the file's own background
    // colour where it gives one, else black.
    anim::Rgb Background() const { return m_background; }
    // Each frame's duration in milliseconds, as stored, known before any
    // frame is decoded: one entry for every frame the file's structure holds
    // up to its end or up to the first damage in it.
    const std::vector<int>& Durations() const { return m_durations; }
    // Whether the structure ended in damage (a frame out of sequence, outside
    // the canvas, cut short): the frames of Durations() come before it.
    bool Damaged() const { return m_bDamaged; }

    // Decodes the next frame into Pixels(). False after the last frame, or
    // when a frame cannot be decoded or memory ran out (Failure() says which);
    // the canvas is then left as it was.
    virtual bool NextFrame() = 0;
    // Goes back to before the first frame.
    virtual void Rewind() = 0;
    // Width() × Height() pixels, rows from the top, 4 bytes each: blue,
    // green, red, 255. Valid after a NextFrame that answered true, and through
    // the NextFrame after it: frames alternate between two buffers, so that
    // one may be read on one thread while the next is decoded on another.
    const uint8_t* Pixels() const { return m_canvas.data(); }

    enum Failure { kEnded, kRefused, kNoMemory };
    Failure LastFailure() const { return m_failure; }
    // The frames handed out since the start or the last Rewind.
    int FramesDone() const { return m_nDone; }

    // No canvas may need more than this (256 MiB at 4 bytes per pixel).
    static constexpr long long kMaxCanvasBytes = 256LL << 20;

protected:
    CAnimatedPicture() = default;

    // Makes the other buffer the canvas, the one just handed out kept for
    // its reader; with `keep` the new canvas starts as a copy of it (a
    // format that draws each frame over the last). False without memory.
    bool FlipCanvas(bool keep) {
        try {
            m_spare.resize(m_canvas.size());
        } catch (const std::bad_alloc&) {
            return false;
        }
        std::swap(m_canvas, m_spare);
        if (keep && !m_canvas.empty()) std::copy(m_spare.begin(), m_spare.end(), m_canvas.begin());
        return true;
    }

    int m_nWidth = 0;
    int m_nHeight = 0;
    anim::Rgb m_background;
    std::vector<int> m_durations;
    bool m_bDamaged = false;
    std::vector<uint8_t> m_canvas;
    std::vector<uint8_t> m_spare; // the frame handed out before
    Failure m_failure = kEnded;
    int m_nDone = 0;
};
