// Composing pixels over an opaque background. Every frame of a WebP or APNG
// picture is made opaque the same way: each channel becomes
// (c × a + b × (255 − a) + 127) / 255 for the pixel's colour c, its alpha a
// and the background's channel b, rounded to the nearest value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// `count` pixels of blue, green, red, alpha bytes at `in` made opaque over
// `background` at `out` (which may be `in`): the alpha byte becomes 255.
inline void OverBackground(const uint8_t* in, uint8_t* out, std::size_t count, Rgb background) {
    for (std::size_t i = 0; i < count; ++i, in += 4, out += 4) {
        const unsigned a = in[3];
        if (a == 255) {
            std::memcpy(out, in, 4);
            continue;
        }
        out[0] = Over(in[0], a, background.b);
        out[1] = Over(in[1], a, background.g);
        out[2] = Over(in[2], a, background.r);
        out[3] = 255;
    }
}

} // namespace anim
