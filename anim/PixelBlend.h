// Composing pixels over an opaque background. Every frame of a WebP or APNG
// picture is made opaque the same way: each channel becomes
// (c × a + b × (255 − a) + 127) / 255 for the pixel's colour c, its alpha a
// and the background's channel b, rounded to the nearest value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace anim {

// An opaque colour.
struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

// One channel of c at alpha a over b.
inline uint8_t Over(unsigned c, unsigned a, unsigned b) {
    return static_cast<uint8_t>((c * a + b * (255 - a) + 127) / 255);
}

// `count` pixels of blue, green, red, alpha bytes made opaque over
// `background` in place: the alpha byte becomes 255.
inline void OverBackground(uint8_t* bgra, std::size_t count, Rgb background) {
    for (std::size_t i = 0; i < count; ++i, bgra += 4) {
        const unsigned a = bgra[3];
        if (a == 255) continue;
        bgra[0] = Over(bgra[0], a, background.b);
        bgra[1] = Over(bgra[1], a, background.g);
        bgra[2] = Over(bgra[2], a, background.r);
        bgra[3] = 255;
    }
}

} // namespace anim
