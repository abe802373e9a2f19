// Erosion and dilation of 1-bit images over a 3 x 3 neighbourhood given as
// one three-bit pattern per row (bit 2: the left neighbour, bit 1: the pixel,
// bit 0: the right neighbour), a byte at a time on 16-bit windows of two
// neighbouring bytes.
#include "dib/Dib.h"

#include "fw/Exception.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace {

// The pixels of a window (byte j - 1 in the high byte, byte j in the low
// one) whose selected neighbours are all 1: bit k for k = 1 to 8 says so of
// the pixel at bit k (bit 8 being bit 0 of byte j - 1, the carry into the
// byte to the left). Bit t of the pattern asks for window bit k - 1 + t.
unsigned Hits(unsigned window, unsigned pattern) {
    unsigned hits = ~0u;
    if (pattern & 1) hits &= window << 1;
    if (pattern & 2) hits &= window;
    if (pattern & 4) hits &= window >> 1;
    return hits;
}

// Dilation is erosion of the inverted picture, inverted: outside pixels,
// byte -1 and the first carry take the inverted values too, so that pixels
// outside the image still count as 0.
BOOL ErodeOrDilate(CDIB& dib, bool dilate, int patternPrev, int patternCur, int patternNext) {
    if (!dib.IsValid() || dib.m_pBMI->biBitCount != 1 || dib.GetHeight() < 0) return FALSE;
    const std::size_t stride = dib.GetBytesPerLine();
    const std::size_t rows = std::size_t(dib.GetHeight());
    if (stride * rows > dib.m_dwSizeImage) return FALSE;
    const BYTE outside = dilate ? 0xFF : 0x00;

    // The rows before, at and after the one being made, as they were: each
    // stored row is read into `next` before the row below it is written, so
    // the picture itself serves as the snapshot.
    std::vector<BYTE> buffers;
    try {
        buffers.assign(3 * stride, outside);
    } catch (const std::bad_alloc&) {
        throw CMemoryException();
    }
    BYTE* prev = buffers.data();
    BYTE* cur = prev + stride;
    BYTE* next = cur + stride;
    auto load = [&](std::size_t row, BYTE* into) {
        const BYTE* from = dib.m_pBits + row * stride;
        for (std::size_t j = 0; j < stride; ++j) into[j] = from[j] ^ outside;
    };
    if (rows > 0) load(0, next);

    const unsigned patterns[3] = {unsigned(patternPrev) & 7, unsigned(patternCur) & 7,
                                  unsigned(patternNext) & 7};
    for (std::size_t i = 0; i < rows; ++i) {
        std::memcpy(prev, cur, stride);
        std::memcpy(cur, next, stride);
        if (i + 1 < rows)
            load(i + 1, next);
        else
            std::memset(next, outside, stride);

        BYTE* out = dib.m_pBits + i * stride;
        unsigned carry = dilate ? 1 : 0;
        for (std::size_t j = stride; j-- > 0;) {
            auto window = [&](const BYTE* row) {
                return unsigned(j > 0 ? row[j - 1] : outside) << 8 | row[j];
            };
            const unsigned hits = Hits(window(prev), patterns[0]) & Hits(window(cur), patterns[1]) &
                                  Hits(window(next), patterns[2]);
            out[j] = BYTE(((hits & 0xFE) | carry) ^ outside);
            carry = (hits >> 8) & 1;
        }
    }
    return TRUE;
}

} // namespace

BOOL CDIB::Erode(int patternPrev, int patternCur, int patternNext) {
    return ErodeOrDilate(*this, false, patternPrev, patternCur, patternNext);
}

BOOL CDIB::Dilate(int patternPrev, int patternCur, int patternNext) {
    return ErodeOrDilate(*this, true, patternPrev, patternCur, patternNext);
}

BOOL CDIB::ErodeRepeat(int times) {
    if (!IsValid() || m_pBMI->biBitCount != 1) return FALSE;
    for (unsigned n = unsigned(times) & 0xFFFF; n > 0; --n) Erode(7, 7, 7);
    return TRUE;
}

BOOL CDIB::DilateRepeat(int times) {
    if (!IsValid() || m_pBMI->biBitCount != 1) return FALSE;
    for (unsigned n = unsigned(times) & 0xFFFF; n > 0; --n) Dilate(7, 7, 7);
    return TRUE;
}
