// Two threads at once on the graphics layer, as a decoding thread and an
// encoding thread of one conversion use it: each makes, draws in, reads and
// deletes objects of its own, while both share a screen context and the
// palette realised in it. Each thread's pictures are checked against the same
// work done alone beforehand. Under ThreadSanitizer (TESSALY_TSAN) this is
// also where a missing lock shows as a race.
#include "GfxTestSupport.h"
#include "gfx/Palette.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using gfxtest::Dib;

constexpr int kWidth = 24;
constexpr int kHeight = 10;

// What one round of drawing yields: the canvas read back at 24 bits and at 8
// bits (through the shared context's palette), and a nearest-colour answer.
struct Round {
    std::vector<std::uint8_t> rgb;
    std::vector<std::uint8_t> indexed;
    UINT nearest = 0;
    bool operator==(const Round&) const = default;
};

// A frame decoded into a device bitmap through the shared screen context,
// copied onto a canvas of its own, a patterned bar painted over it with a
// brush of its own, and the canvas captured: the per-frame work of a
// conversion. `seed` varies the pictures between threads.
Round Draw(HDC screen, HPALETTE palette, int seed) {
    Round round;
    Dib frame(8, kWidth, -kHeight);
    for (int i = 0; i < 256; ++i)
        frame.SetEntry(i, RGB(BYTE(i * seed), BYTE(255 - i), BYTE(i * 3)));
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) frame.SetIndex(x, y, unsigned(x * 7 + y * seed));
    const HBITMAP decoded = CreateDIBitmap(screen, &frame.Header(), CBM_INIT, frame.bits.data(),
                                           frame.Info(), DIB_RGB_COLORS);
    Dib black(32, kWidth, -kHeight);
    const HBITMAP canvas = CreateDIBitmap(screen, &black.Header(), CBM_INIT, black.bits.data(),
                                          black.Info(), DIB_RGB_COLORS);
    const HDC from = CreateCompatibleDC(screen);
    const HDC to = CreateCompatibleDC(screen);
    const HGDIOBJ oldFrom = SelectObject(from, decoded);
    const HGDIOBJ oldTo = SelectObject(to, canvas);
    const HBRUSH brush = CreateSolidBrush(RGB(BYTE(seed * 40), 90, 200));
    const HGDIOBJ oldBrush = SelectObject(to, brush);
    EXPECT_TRUE(BitBlt(to, 0, 0, kWidth, kHeight, from, 0, 0, SRCCOPY));
    EXPECT_TRUE(PatBlt(to, 2, 3, kWidth / 2, 4, PATINVERT));
    SelectObject(to, oldBrush);
    SelectObject(from, oldFrom);
    SelectObject(to, oldTo);
    DeleteObject(brush);
    DeleteDC(from);
    DeleteDC(to);

    Dib rgb(24, kWidth, kHeight);
    EXPECT_EQ(GetDIBits(screen, canvas, 0, kHeight, rgb.bits.data(), rgb.Info(), DIB_RGB_COLORS),
              kHeight);
    Dib indexed(8, kWidth, kHeight);
    EXPECT_EQ(
        GetDIBits(screen, canvas, 0, kHeight, indexed.bits.data(), indexed.Info(), DIB_RGB_COLORS),
        kHeight);
    round.rgb = rgb.bits;
    round.indexed = indexed.bits;
    round.nearest = GetNearestPaletteIndex(palette, RGB(BYTE(seed * 50), 17, 99));
    DeleteObject(decoded);
    DeleteObject(canvas);
    return round;
}

using GdiThreadTest = gfxtest::GdiTest; // also checks that nothing leaked

TEST_F(GdiThreadTest, TwoThreadsDrawTheirOwnObjectsThroughASharedScreenAndPalette) {
    // A 64-colour palette, realised in the screen context both threads use.
    std::vector<std::uint8_t> record(sizeof(LOGPALETTE) + 64 * sizeof(PALETTEENTRY));
    auto* logical = reinterpret_cast<LOGPALETTE*>(record.data());
    logical->palVersion = 0x300;
    logical->palNumEntries = 64;
    auto* entries =
        reinterpret_cast<PALETTEENTRY*>(record.data() + offsetof(LOGPALETTE, palPalEntry));
    for (int i = 0; i < 64; ++i) entries[i] = {BYTE(i * 4), BYTE(255 - i * 4), BYTE(i * 37), 0};
    const HPALETTE palette = CreatePalette(logical);
    const HDC screen = GetDC(nullptr);
    const HPALETTE oldPalette = SelectPalette(screen, palette, FALSE);
    ASSERT_EQ(RealizePalette(screen), 64u);

    constexpr int kSeeds[2] = {1, 3};
    Round alone[2];
    for (int t = 0; t < 2; ++t) alone[t] = Draw(screen, palette, kSeeds[t]);
    ASSERT_NE(alone[0], alone[1]) << "the threads' pictures should differ";

    // Enough rounds for the two threads' calls to interleave many times.
    constexpr int kRounds = 150;
    int mismatches[2] = {0, 0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kRounds; ++i)
                    if (Draw(screen, palette, kSeeds[t]) != alone[t]) ++mismatches[t];
            });
    }
    EXPECT_EQ(mismatches[0], 0);
    EXPECT_EQ(mismatches[1], 0);

    SelectPalette(screen, oldPalette, FALSE);
    RealizePalette(screen);
    ReleaseDC(nullptr, screen);
    EXPECT_TRUE(DeleteObject(palette));
}

} // namespace
