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

// One row's test of a window (byte j - 1 in the high byte, byte j in the low
// one): bit k of the result, for k = 1 to 8, is set when every neighbour the
// row's pattern selects of the pixel at bit k is 1 (bit 8 being bit 0 of
// byte j - 1, the carry into the byte to the left). Pattern bit t asks for
// window bit k - 1 + t; a neighbour not selected lets every bit pass.
struct RowTest {
    unsigned left, centre, right;

    explicit RowTest(int pattern)
        : left(pattern & 4 ? 0 : ~0u), centre(pattern & 2 ? 0 : ~0u), right(pattern & 1 ? 0 : ~0u) {
    }
    unsigned Hits(unsigned window) const {
        return ((window >> 1) | left) & (window | centre) & ((window << 1) | right);
    }
};

// Dilation is erosion of the inverted picture, inverted: outside pixels,
// byte -1 and the first carry take the inverted values too, so that pixels
// outside the image still count as 0.
BOOL ErodeOrDilate(CDIB& dib, bool dilate, int patternPrev, int patternCur, int patternNext) {
    if (!dib.IsValid() || dib.m_pBMI->biBitCount != 1 || dib.GetHeight() < 0) return FALSE;
    const std::size_t stride = dib.GetBytesPerLine();
    const std::size_t rows = std::size_t(dib.GetHeight());
    if (stride * rows > dib.GetPixelBytes()) return FALSE;
    if (stride == 0) return TRUE; // no pixels
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

    const RowTest before(patternPrev), at(patternCur), after(patternNext);
    for (std::size_t i = 0; i < rows; ++i) {
        BYTE* oldest = prev;
        prev = cur;
        cur = next;
        next = oldest;
        if (i + 1 < rows)
            load(i + 1, next);
        else
            std::memset(next, outside, stride);

        // Right to left: each byte takes from the one to its right the
        // result for its bit 0.
        BYTE* out = dib.m_pBits + i * stride;
        unsigned carry = dilate ? 1 : 0;
        auto make = [&](std::size_t j, unsigned prevLeft, unsigned curLeft, unsigned nextLeft) {
            const unsigned hits = before.Hits(prevLeft << 8 | prev[j]) &
                                  at.Hits(curLeft << 8 | cur[j]) &
                                  after.Hits(nextLeft << 8 | next[j]);
            out[j] = BYTE(((hits & 0xFE) | carry) ^ outside);
            carry = (hits >> 8) & 1;
        };
        for (std::size_t j = stride - 1; j > 0; --j) make(j, prev[j - 1], cur[j - 1], next[j - 1]);
        make(0, outside, outside, outside);
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

// A pass that cannot run makes the whole repeat fail (it fails at the first
// pass, before any pixel changed).
BOOL CDIB::ErodeRepeat(int times) {
    if (!IsValid() || m_pBMI->biBitCount != 1) return FALSE;
    for (unsigned n = unsigned(times) & 0xFFFF; n > 0; --n)
        if (!Erode(7, 7, 7)) return FALSE;
    return TRUE;
}

BOOL CDIB::DilateRepeat(int times) {
    if (!IsValid() || m_pBMI->biBitCount != 1) return FALSE;
    for (unsigned n = unsigned(times) & 0xFFFF; n > 0; --n)
        if (!Dilate(7, 7, 7)) return FALSE;
    return TRUE;
}
