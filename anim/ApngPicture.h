// CApngPicture: a PNG or APNG picture, read with libpng. libpng reads only a
// file's default image, so each APNG frame is handed to it as a PNG of its
// own (the file's header at the frame's size, its palette and transparency,
// the frame's data as IDAT chunks), and the frames are composed here by the
// APNG rules. A PNG without an animation control chunk before its image data
// is one frame of duration 0.
#pragma once

#include "anim/AnimatedPicture.h"
#include "anim/ApngLayout.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class CApngPicture : public CAnimatedPicture {
public:
    // Null when `bytes` are no PNG or the header cannot be read (no IHDR
    // first, a canvas of no pixels or above kMaxCanvasBytes, no frame at
    // all). The structure is walked here, before any frame is decoded.
    static std::unique_ptr<CApngPicture> Open(std::vector<uint8_t> bytes);
    bool NextFrame() override;
    void Rewind() override;

private:
    CApngPicture() = default;

    // Decodes `frame` into m_frame (its own size, red, green, blue and
    // alpha when it has any: m_nChannels); false with m_failure set when
    // libpng refuses it or memory ran out.
    bool Decode(const ApngLayout::Frame& frame);
    // The stream of pieces of one frame's PNG in m_pieces.
    void BuildStream(const ApngLayout::Frame& frame);
    // The canvas filled with the background; false without memory.
    bool ResetCanvas();
    void FillBackground(const ApngLayout::Frame& frame);
    // Copies the canvas's rectangle of `frame` to m_saving, or from m_saved.
    void SaveRect(const ApngLayout::Frame& frame);
    void RestoreRect(const ApngLayout::Frame& frame);
    // Draws m_frame into its rectangle of the canvas by its blend op.
    void Compose(const ApngLayout::Frame& frame);

    std::vector<uint8_t> m_bytes;
    ApngLayout m_layout;
    // Reused from frame to frame: the decoded frame; the rectangle under the
    // last frame drawn, saved when it disposes to previous, and the one
    // being saved for the frame being drawn; the pieces of memory the
    // decoder reads a frame's stream from.
    std::vector<uint8_t> m_frame;
    int m_nChannels = 4;
    std::vector<uint8_t> m_saved;
    std::vector<uint8_t> m_saving;
    std::vector<std::span<const uint8_t>> m_pieces;
    std::vector<std::array<uint8_t, 8>> m_idatHeaders;
    std::array<uint8_t, 25> m_ihdr{};
};
