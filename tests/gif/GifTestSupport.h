// Shared scaffolding for decoder tests: temporary GIF files, captured message
// boxes, and reading a frame bitmap's pixels back through the graphics layer.
#pragma once

#include "fw/MessageBox.h"
#include "gfx/Gdi.h"
#include "gif/GifDecoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace giftest {

// A file in the temporary folder, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::vector<std::uint8_t>& bytes) {
        static int serial = 0;
        path_ =
            std::filesystem::temp_directory_path() / ("tessaly-test-" + std::to_string(::getpid()) +
                                                      "-" + std::to_string(serial++) + ".gif");
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile() { std::filesystem::remove(path_); }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// Collects the texts of message boxes shown while it lives.
class CapturedMessages {
public:
    CapturedMessages() {
        previous_ = AfxSetMessagePresenter([this](LPCTSTR text, UINT) {
            texts.emplace_back(text);
            return IDOK;
        });
    }
    ~CapturedMessages() { AfxSetMessagePresenter(previous_); }
    std::vector<std::string> texts;

private:
    MessagePresenter previous_;
};

// The frame's pixels as 0x00RRGGBB values, top row first.
inline std::vector<std::uint32_t> ReadPixels(HDC dc, HBITMAP bitmap) {
    BITMAP bm{};
    if (GetObject(bitmap, sizeof bm, &bm) != sizeof bm) return {};
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(bm.bmWidth) * bm.bmHeight);
    if (pixels.empty()) return pixels;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = bm.bmWidth;
    info.bmiHeader.biHeight = -bm.bmHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    if (GetDIBits(dc, bitmap, 0, static_cast<UINT>(bm.bmHeight), pixels.data(), &info,
                  DIB_RGB_COLORS) != bm.bmHeight)
        return {};
    for (auto& p : pixels) p &= 0xFFFFFF; // B, G, R, 0 in memory: 0x00RRGGBB
    return pixels;
}

// Inverse of gifbuild::DistinctTable: the index a colour stands for, or -1
// for a colour no entry has (black: a slot the GIF's table does not fill).
inline int IndexOfDistinct(std::uint32_t rgb) {
    int r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
    if (g == 255 - r && b == (r ^ 0x5A)) return r;
    return -1;
}

inline std::vector<int> ReadIndices(HDC dc, HBITMAP bitmap) {
    std::vector<int> out;
    for (std::uint32_t p : ReadPixels(dc, bitmap)) out.push_back(IndexOfDistinct(p));
    return out;
}

// A fixture with the screen's context for reading frames, on a 32-bit screen;
// it checks that the test leaves no bitmap or context behind.
template <class Base = ::testing::Test>
class WithScreen : public Base {
protected:
    void SetUp() override {
        ASSERT_TRUE(GdiSetScreenBitsPerPixel(32));
        before_ = GdiGetObjectCounts();
        dc_ = GetDC(nullptr);
        ASSERT_NE(dc_, nullptr);
    }
    void TearDown() override {
        ReleaseDC(nullptr, dc_);
        EXPECT_EQ(GdiGetObjectCounts(), before_) << "a bitmap or context leaked";
    }

    HDC dc_ = nullptr;
    GdiObjectCounts before_;
};

} // namespace giftest
