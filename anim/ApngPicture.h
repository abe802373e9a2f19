// CApngPicture: a PNG or APNG picture, read with libpng. libpng reads only a
// file's default image, so each APNG frame is handed to it as a PNG of its
// own (the file's header at the frame's size, its palette and transparency,
// the frame's data as IDAT chunks), and the frames are composed here by the
// APNG rules. A PNG without an animation control chunk before its image data
// is one frame of duration 0.
//
// A frame's zlib stream is inflated beforehand with libdeflate (nearly
// twice as fast as the zlib inside libpng on photographic frames) and handed
// to libpng as stored (uncompressed) deflate blocks, which zlib merely
// copies: libpng still does all of the PNG decoding (filters, interlacing,
// bit depths, palettes).
#pragma once

#include "anim/AnimatedPicture.h"
#include "anim/ApngLayout.h"
#include "anim/FramesAhead.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct libdeflate_decompressor;

class CApngPicture : public CAnimatedPicture {
public:
    // Null when `bytes` are no PNG or the header cannot be read (no IHDR
    // first, a canvas of no pixels or above kMaxCanvasBytes, no frame at
    // all). The structure is walked here, before any frame is decoded.
    static std::unique_ptr<CApngPicture> Open(std::vector<uint8_t> bytes);
    ~CApngPicture() override;
    bool NextFrame() override;
    void Rewind() override;

private:
    CApngPicture() = default;

    struct DecompressorFree {
        void operator()(libdeflate_decompressor* decompressor) const;
    };
    // One frame decoded, and what its decoding works with, reused from
    // frame to frame: the frame's pixels (its own size, red, green, blue and
    // alpha when it has any: `channels`); libdeflate's decompressor (one for
    // each slot, as slots decode on threads of their own), the frame's zlib
    // stream gathered from its chunks when it has several, and the rows it
    // inflated to (each with its filter byte); the pieces of memory libpng
    // reads the frame's stream from, and the chunk headers made for them.
    struct Slot {
        std::vector<uint8_t> pixels;
        int channels = 4;
        Failure failure = kEnded;
        std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor;
        std::vector<uint8_t> deflated;
        std::vector<uint8_t> inflated;
        std::vector<std::span<const uint8_t>> pieces;
        std::vector<std::array<uint8_t, 13>> idatHeaders;
        std::array<uint8_t, 25> ihdr{};
    };
    // Decodes `frame` into `slot`; false with slot.failure set when libpng
    // refuses it or memory ran out. Reads nothing of the picture but the
    // file and its layout, so that the next frame can be decoded on a
    // thread of its own while this one is composed.
    bool Decode(const ApngLayout::Frame& frame, Slot& slot) const;
    // Inflates the frame's zlib stream into slot.inflated; false, leaving
    // the stream to libpng's own inflating, when it is not a stream that
    // inflates to exactly the frame's rows or memory is short.
    bool Inflate(const ApngLayout::Frame& frame, Slot& slot) const;
    // The stream of pieces of one frame's PNG in slot.pieces, up to its
    // image data: signature, IHDR, PLTE and tRNS.
    void BuildStreamHead(const ApngLayout::Frame& frame, Slot& slot) const;
    // The whole stream, its image data the file's chunks as they are...
    void BuildStream(const ApngLayout::Frame& frame, Slot& slot) const;
    // ... or slot.inflated as stored deflate blocks.
    void BuildStoredStream(const ApngLayout::Frame& frame, Slot& slot) const;
    // The canvas filled with the background; false without memory.
    bool ResetCanvas();
    void FillBackground(const ApngLayout::Frame& frame);
    // Copies the canvas's rectangle of `frame` to m_saving, or from m_saved.
    void SaveRect(const ApngLayout::Frame& frame);
    void RestoreRect(const ApngLayout::Frame& frame);
    // Draws the slot's frame into its rectangle of the canvas by its blend op.
    void Compose(const ApngLayout::Frame& frame, const Slot& slot);

    std::vector<uint8_t> m_bytes;
    ApngLayout m_layout;
    std::array<Slot, FramesAhead::kSlots> m_slots;
    std::array<uint8_t, 25> m_ihdr{}; // the file's, for every frame's own
    // The rectangle under the last frame drawn, saved when it disposes to
    // previous, and the one being saved for the frame being drawn.
    std::vector<uint8_t> m_saved;
    std::vector<uint8_t> m_saving;
    // Last: its threads stop before the slots go. Inflating is most of the
    // work.
    FramesAhead m_ahead{[this](std::size_t frame) {
        return Decode(m_layout.frames[frame], m_slots[frame % m_slots.size()]);
    }};
};
