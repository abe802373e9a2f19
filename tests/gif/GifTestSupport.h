// Shared scaffolding for decoder tests: captured message boxes, a frame's
// colours read back as the indices they stand for, a fixture with the
// screen's context, and the GIFs of data/generated with their test names.
#pragma once

#include "../LeakCheckedTest.h"
#include "../gfx/GfxTestSupport.h"
#include "fw/MessageBox.h"
#include "gfx/Gdi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace giftest {

// Collects the texts of message boxes shown while it lives.
class CapturedMessages {
public:
    CapturedMessages() {
        previous_ = AfxSetMessagePresenter([this](LPCTSTR text, UINT, LPCTSTR) {
            texts.emplace_back(text);
            return IDOK;
        });
    }
    ~CapturedMessages() { AfxSetMessagePresenter(previous_); }
    std::vector<std::string> texts;

private:
    MessagePresenter previous_;
};

// Inverse of gifbuild::DistinctTable: the index a colour stands for, or -1
// for a colour no entry has (black: a slot the GIF's table does not fill).
inline int IndexOfDistinct(std::uint32_t rgb) {
    int r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
    if (g == 255 - r && b == (r ^ 0x5A)) return r;
    return -1;
}

inline std::vector<int> ReadIndices(HDC dc, HBITMAP bitmap) {
    std::vector<int> out;
    for (std::uint32_t p : gfxtest::ReadPixels(bitmap, dc)) out.push_back(IndexOfDistinct(p));
    return out;
}

// A fixture with the screen's context for reading frames, on a 32-bit screen;
// it checks that the test leaves nothing alive behind.
class WithScreen : public LeakCheckedTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(LeakCheckedTest::SetUp());
        dc_ = GetDC(nullptr);
        ASSERT_NE(dc_, nullptr);
    }
    void TearDown() override {
        ReleaseDC(nullptr, dc_);
        LeakCheckedTest::TearDown();
    }

    HDC dc_ = nullptr;
};

// The GIFs in data/generated (see scripts/make-gif-corpus), full paths, sorted.
inline std::vector<std::string> GeneratedFiles() {
    const auto dir = std::filesystem::path(TESSALY_SOURCE_DIR) / "tests/gif/data/generated";
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error))
        if (entry.path().extension() == ".gif") files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// The text as a test name: every character but letters and digits becomes '_'.
inline std::string TestName(std::string text) {
    for (char& c : text)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return text;
}

} // namespace giftest
