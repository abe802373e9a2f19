// ApngLayout: the structure of a PNG or APNG file, read from its chunks
// without decoding any image data: the header, the chunks every frame needs
// (PLTE, tRNS), the background colour, and for each frame its rectangle,
// disposal, blending, duration and the chunks that hold its compressed data.
// The layout points into the bytes it was read from, which must outlive it.
#pragma once

#include "anim/PixelBlend.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct ApngLayout {
    // One chunk of a frame's zlib stream: an IDAT chunk's data, or an fdAT
    // chunk's data after its sequence number.
    struct DataChunk {
        const uint8_t* data = nullptr;
        uint32_t size = 0;
        bool idat = false; // an IDAT chunk: `data` is 8 bytes after its length field
    };
    struct Frame {
        uint32_t x = 0, y = 0, width = 0, height = 0;
        uint8_t dispose = 0; // 0 none, 1 background, 2 previous
        uint8_t blend = 0;   // 0 source, 1 over
        int duration = 0;    // milliseconds
        // The frame's chunks: dataChunks[firstChunk, firstChunk + chunkCount).
        std::size_t firstChunk = 0;
        std::size_t chunkCount = 0;
    };

    uint32_t width = 0, height = 0;
    uint8_t bitDepth = 0, colorType = 0, interlace = 0;
    // Whole chunks (length field to CRC) to hand on to the decoder with each
    // frame, or null: PLTE of a palette image, and a tRNS that fits the
    // colour type.
    const uint8_t* plte = nullptr;
    std::size_t plteSize = 0;
    const uint8_t* trns = nullptr;
    std::size_t trnsSize = 0;
    // bKGD made an 8-bit colour, black where the file gives none or one out
    // of range.
    anim::Rgb background;

    std::vector<Frame> frames;
    std::vector<DataChunk> dataChunks;
    // The walk met damage, or fewer frames than acTL announced: `frames` are
    // the ones before it.
    bool damaged = false;

    // Reads the layout of `bytes`. False when they are no PNG or the header
    // cannot be read: no IHDR first, an invalid header, a canvas of no pixels
    // or of more than `maxCanvasBytes` at 4 bytes per pixel, no frame at all.
    bool Read(const uint8_t* bytes, std::size_t size, long long maxCanvasBytes);
};
