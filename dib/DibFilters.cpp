// CDIB's in-place filters of 16-bit (5-5-5) and 24-bit pixels: the diagonal
// blur, the weighted 3 x 3 smoothing and the level stretch. They work on
// stored rows (row 0 is the bottom of the picture) and change pixel bytes
// only. Their arithmetic is kept exactly as pictures made with it were made,
// odd corners included: passes read pixels they have already changed, and
// the level stretch runs across row ends.
#include "dib/Dib.h"

#include "fw/Exception.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

namespace {

// The upper bound is tested first, as the filters have always done.
std::int64_t Clamp(std::int64_t v, std::int64_t low, std::int64_t high) {
    return v > high ? high : v < low ? low : v;
}

// One blur pass at distance d over rows of pixels of N bytes; Average makes
// a new pixel from the four samples.
template <int N, class Average>
void BlurPass(BYTE* bits, std::size_t stride, LONG width, LONG height, int d, Average average) {
    for (std::int64_t i = 0; i < height; ++i) {
        const BYTE* up = bits + std::size_t(Clamp(i + d, 0, height - 1)) * stride;
        const BYTE* down = bits + std::size_t(Clamp(i - d, 0, height - 1)) * stride;
        BYTE* row = bits + std::size_t(i) * stride;
        for (std::int64_t j = 0; j < width; ++j) {
            const std::size_t right = std::size_t(Clamp(j + d, 0, width - 1)) * N;
            const std::size_t left = std::size_t(Clamp(j - d, 0, width - 1)) * N;
            average(up + right, down + right, up + left, down + left, row + j * N);
        }
    }
}

} // namespace

BOOL CDIB::Blur(int n) {
    for (int d = n; d >= 1; --d) BlurStep(d);
    return TRUE;
}

BOOL CDIB::BlurStep(int d) {
    if (!IsValid()) return FALSE;
    if (m_pBMI->biBitCount == 16) return BlurStep16(d);
    if (m_pBMI->biBitCount == 24) return BlurStep24(d);
    return FALSE;
}

BOOL CDIB::BlurStep16(int d) {
    Layout layout;
    if (!HeldLayout(&layout) || m_pBMI->biBitCount != 16) return FALSE;
    BlurPass<2>(m_pBits, GetBytesPerLine(), GetWidth(), GetHeight(), d,
                [](const BYTE* a, const BYTE* b, const BYTE* c, const BYTE* e, BYTE* out) {
                    const unsigned p[4] = {a[0] | unsigned(a[1]) << 8, b[0] | unsigned(b[1]) << 8,
                                           c[0] | unsigned(c[1]) << 8, e[0] | unsigned(e[1]) << 8};
                    // Each 5-bit channel on the 8-bit scale (x 8), summed,
                    // quartered, and its top five bits kept.
                    auto channel = [&](int shift) {
                        unsigned sum = 0;
                        for (unsigned v : p) sum += ((v >> shift) & 31) * 8;
                        return ((sum >> 2) >> 3) & 31;
                    };
                    const unsigned word = channel(10) << 10 | channel(5) << 5 | channel(0);
                    out[0] = BYTE(word);
                    out[1] = BYTE(word >> 8);
                });
    return TRUE;
}

BOOL CDIB::BlurStep24(int d) {
    Layout layout;
    if (!HeldLayout(&layout) || m_pBMI->biBitCount != 24) return FALSE;
    BlurPass<3>(m_pBits, GetBytesPerLine(), GetWidth(), GetHeight(), d,
                [](const BYTE* a, const BYTE* b, const BYTE* c, const BYTE* e, BYTE* out) {
                    for (int k = 0; k < 3; ++k) out[k] = BYTE((a[k] + b[k] + c[k] + e[k]) / 4);
                });
    return TRUE;
}

void CDIB::SmoothWeighted(int weight) {
    Layout layout;
    if (!HeldLayout(&layout) || weight <= -8) return;
    const int bits = m_pBMI->biBitCount;
    if (bits != 16 && bits != 24) return;
    const std::size_t stride = GetBytesPerLine();
    const std::size_t cellsPerRow = bits == 16 ? stride / 2 : stride / 3;
    const std::size_t rows = std::size_t(std::max<LONG>(GetHeight(), 0));

    // One cell per pixel, 0x00BBGGRR on the 8-bit scale. Row padding can
    // give a row one cell more than it has pixels.
    std::vector<std::uint32_t> cells;
    try {
        cells.resize(cellsPerRow * rows);
    } catch (const std::bad_alloc&) {
        throw CMemoryException();
    }
    for (std::size_t i = 0; i < rows; ++i) {
        const BYTE* row = m_pBits + i * stride;
        for (std::size_t j = 0; j < cellsPerRow; ++j) {
            std::uint32_t red, green, blue;
            if (bits == 16) {
                const unsigned p = row[2 * j] | unsigned(row[2 * j + 1]) << 8;
                red = ((p >> 10) & 31) * 8, green = ((p >> 5) & 31) * 8, blue = (p & 31) * 8;
            } else {
                blue = row[3 * j], green = row[3 * j + 1], red = row[3 * j + 2];
            }
            cells[i * cellsPerRow + j] = red | green << 8 | blue << 16;
        }
    }

    // The weight falls on the right-hand neighbour, not the centre; cells
    // are replaced at once, so the left one and the row below read new.
    const std::int64_t divisor = std::int64_t{weight} + 8;
    for (std::size_t i = 1; i + 1 < rows; ++i)
        for (std::size_t j = 1; j + 1 < cellsPerRow; ++j) {
            std::uint32_t& cell = cells[i * cellsPerRow + j];
            for (int shift = 0; shift < 24; shift += 8) {
                auto v = [&](std::size_t r, std::size_t c) {
                    return std::int64_t{(cells[r * cellsPerRow + c] >> shift) & 0xFF};
                };
                const std::int64_t sum = weight * v(i, j + 1) + v(i, j) + v(i, j - 1) +
                                         v(i - 1, j - 1) + v(i - 1, j) + v(i - 1, j + 1) +
                                         v(i + 1, j - 1) + v(i + 1, j) + v(i + 1, j + 1);
                const auto value = static_cast<std::uint32_t>(sum / divisor) & 0xFF;
                cell = (cell & ~(0xFFu << shift)) | value << shift;
            }
        }

    for (std::size_t i = 0; i < rows; ++i) {
        BYTE* row = m_pBits + i * stride;
        for (std::size_t j = 0; j < cellsPerRow; ++j) {
            const std::uint32_t cell = cells[i * cellsPerRow + j];
            const unsigned red = cell & 0xFF, green = cell >> 8 & 0xFF, blue = cell >> 16 & 0xFF;
            if (bits == 16) {
                const unsigned word = (red >> 3) << 10 | (green >> 3) << 5 | (blue >> 3);
                row[2 * j] = BYTE(word);
                row[2 * j + 1] = BYTE(word >> 8);
            } else {
                row[3 * j] = BYTE(blue), row[3 * j + 1] = BYTE(green), row[3 * j + 2] = BYTE(red);
            }
        }
    }
}

void CDIB::AdjustLevels(int low, int highBlue, int highGreen, int highRed) {
    Layout layout;
    if (!HeldLayout(&layout) || m_pBMI->biBitCount != 24) return;
    const int from = low & 0xFF;
    const int highs[3] = {highBlue & 0xFF, highGreen & 0xFF, highRed & 0xFF};
    int factors[3];
    for (int k = 0; k < 3; ++k) {
        // No stretch maps a level range of nothing.
        if (highs[k] == from) return;
        factors[k] = (255 / (highs[k] - from)) & 0xFF;
    }
    // Groups of three bytes from the first pixel byte on, across row ends:
    // where a row's padding is not a multiple of three, the channels shift.
    for (std::size_t at = 0; at < layout.pixelBytes; ++at)
        m_pBits[at] = BYTE((m_pBits[at] - from) * factors[at % 3]);
}
