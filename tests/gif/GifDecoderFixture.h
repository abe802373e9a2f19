// The decoder tests' fixture: GIF bytes loaded from a temporary file into a
// decoder on the screen's context, frames taken and deleted, and index
// patterns for pictures.
#pragma once

#include "gif/GifDecoder.h"

#include "../TestFiles.h"
#include "GifBuilder.h"
#include "GifTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace giftest {

using gifbuild::Bytes;
using testfiles::TempFile;

class GifDecoderTest : public WithScreen {
protected:
    void TearDown() override {
        for (HBITMAP b : frames_) DeleteObject(b);
        WithScreen::TearDown();
    }

    // Loads the bytes into `dec` and sets its context.
    bool Load(CGifDecoder& dec, const Bytes& bytes) {
        file_ = std::make_unique<TempFile>(bytes);
        dec.m_hDC = dc_;
        return dec.LoadFile(file_->str().c_str());
    }

    // Takes the next frame; the fixture deletes it.
    HBITMAP Next(CGifDecoder& dec) {
        HBITMAP b = dec.GetNextFrame();
        if (b) frames_.push_back(b);
        return b;
    }

    std::vector<int> Indices(HBITMAP b) { return ReadIndices(dc_, b); }

    std::vector<HBITMAP> frames_;
    std::unique_ptr<TempFile> file_;
};

inline std::vector<std::uint8_t> Ramp(int n, int modulo = 256) {
    std::vector<std::uint8_t> p(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        p[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i % modulo);
    return p;
}

inline std::vector<int> AsInts(const std::vector<std::uint8_t>& v) {
    return {v.begin(), v.end()};
}

} // namespace giftest
