// CDIB::Rotate: a turn by whole degrees about the corner of the first stored
// pixel, by inverse mapping of every canvas pixel through single-precision
// sine and cosine, truncating toward zero. The arithmetic is kept exactly as
// pictures made with it were made: products and sums in double precision,
// the intermediate values written single(...) rounded to float.
#include "dib/Dib.h"

#include "fw/Exception.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kInfoHeaderSize = sizeof(BITMAPINFOHEADER);
// The largest canvas a turn may make.
constexpr std::uint64_t kMaxCanvasBytes = std::uint64_t{1} << 28;

double Single(double v) {
    return static_cast<float>(v);
}
std::int64_t Trunc(double v) {
    return static_cast<std::int64_t>(v);
}
std::uint64_t Stride(std::uint64_t width, int bits) {
    return ((width * std::uint64_t(bits) + 31) & ~std::uint64_t{31}) / 8;
}

// Where the pixels of one canvas row come from: canvas pixel (X, Y) takes
// source column trunc(X x c + single(Y x s)) of stored row trunc(Y x c -
// X x s). What depends on Y alone is made once per row.
struct Mapping {
    double c, s;
    double firstX; // X of canvas column 0
    double ys, yc; // single(Y x s) and Y x c
};

// Copies the pixels of one canvas row from the source, for a depth whose
// pixels are whole bytes; outside the source, writes `background` (the
// 8-bit canvas is already filled with it).
template <int Bytes, bool WritesBackground>
void MapRow(const Mapping& m, const BYTE* source, std::size_t stride, LONG w, LONG h, BYTE* out,
            std::size_t width, const BYTE* background) {
    double X = m.firstX;
    for (std::size_t col = 0; col < width; ++col, X += 1) {
        const std::int64_t sx = Trunc(X * m.c + m.ys);
        const std::int64_t sy = Trunc(m.yc - X * m.s);
        BYTE* to = out + col * Bytes;
        if (sx >= 0 && sx < w && sy >= 0 && sy < h)
            std::memcpy(to, source + std::size_t(sy) * stride + std::size_t(sx) * Bytes, Bytes);
        else if (WritesBackground)
            std::memcpy(to, background, Bytes);
    }
}

// 1- and 4-bit rows: one bit or nibble moved into place, the others kept.
template <int Bits>
void MapPackedRow(const Mapping& m, const BYTE* source, std::size_t stride, LONG w, LONG h,
                  BYTE* out, std::size_t width) {
    constexpr unsigned kPerByte = 8 / Bits;
    constexpr unsigned kMask = (1u << Bits) - 1;
    double X = m.firstX;
    for (std::size_t col = 0; col < width; ++col, X += 1) {
        const std::int64_t sx = Trunc(X * m.c + m.ys);
        const std::int64_t sy = Trunc(m.yc - X * m.s);
        if (sx < 0 || sx >= w || sy < 0 || sy >= h) continue;
        const BYTE in = source[std::size_t(sy) * stride + std::size_t(sx) / kPerByte];
        const unsigned from = (kPerByte - 1 - unsigned(sx) % kPerByte) * Bits;
        const unsigned to = (kPerByte - 1 - unsigned(col % kPerByte)) * Bits;
        BYTE& byte = out[col / kPerByte];
        byte = static_cast<BYTE>((byte & ~(kMask << to)) | (((in >> from) & kMask) << to));
    }
}

} // namespace

BOOL CDIB::Rotate(int degrees, COLORREF background) {
    Layout layout;
    if (!HeldLayout(&layout) || m_pBMI->biHeight < 0 ||
        (m_pBMI->biCompression != BI_RGB && m_pBMI->biCompression != BI_BITFIELDS))
        return FALSE;
    const LONG w = m_pBMI->biWidth, h = m_pBMI->biHeight;
    const int b = m_pBMI->biBitCount;
    const double theta = degrees * 6.28318530718 * 0.002777777777777778;
    const double s = static_cast<float>(std::sin(theta));
    const double c = static_cast<float>(std::cos(theta));

    // The corners of the turned rectangle; the origin corner stays at (0, 0).
    const std::int64_t xs[4] = {0, Trunc(-double(h) * s), Trunc(Single(w * c) - h * s),
                                Trunc(Single(w * c))};
    const std::int64_t ys[4] = {0, Trunc(h * c), Trunc(w * s + Single(h * c)), Trunc(w * s)};
    const auto [minX, maxX] = std::minmax_element(std::begin(xs), std::end(xs));
    const auto [minY, maxY] = std::minmax_element(std::begin(ys), std::end(ys));
    const std::uint64_t width = std::uint64_t(*maxX - *minX);
    const std::uint64_t height = std::uint64_t(*maxY - *minY);
    const std::uint64_t stride = Stride(width, b);
    if (width > INT32_MAX || height > INT32_MAX ||
        (height != 0 && stride > kMaxCanvasBytes / height))
        throw CMemoryException();
    const std::uint64_t pixelBytes = stride * height;

    // The header, colour table and bit masks are copied as they stand; the
    // pixels are where this object keeps them.
    const std::size_t headerPart = layout.pixelOffset;
    GlobalBlock block(GlobalAlloc(GMEM_FIXED, headerPart + pixelBytes));
    auto* base = static_cast<BYTE*>(block.data());
    if (!base) throw CMemoryException();
    std::memcpy(base, m_pBMI, headerPart);
    auto* header = reinterpret_cast<BITMAPINFOHEADER*>(base);
    header->biWidth = static_cast<LONG>(width);
    header->biHeight = static_cast<LONG>(height);
    header->biSizeImage = static_cast<DWORD>(pixelBytes);
    BYTE* pixels = base + headerPart;
    std::memset(pixels, 0, pixelBytes);

    // The background as the canvas's pixels hold it.
    const BYTE red = GetRValue(background), green = GetGValue(background),
               blue = GetBValue(background);
    BYTE fill[4] = {blue, green, red, 0};
    if (b == 1 && background == 0x00FFFFFF) {
        std::memset(pixels, 0xFF, pixelBytes);
    } else if (b == 4 || b == 8) {
        long n = m_pBMI->biClrUsed ? long(m_pBMI->biClrUsed) : 1L << b;
        if (n > 256) n = 0;
        const BYTE* table = reinterpret_cast<const BYTE*>(m_pBMI) + kInfoHeaderSize;
        for (long k = 0; k < n; ++k) {
            const BYTE* e = table + 4 * k; // blue, green, red
            if (e[0] == blue && e[1] == green && e[2] == red) {
                std::memset(pixels, int(b == 8 ? k : k * 17), pixelBytes);
                break;
            }
        }
    } else if (b == 16) {
        const unsigned word = ((red >> 3) << 10) | ((green >> 3) << 5) | (blue >> 3);
        fill[0] = BYTE(word), fill[1] = BYTE(word >> 8);
    }

    Mapping m{c, s, double(*minX), 0, 0};
    const std::size_t sourceStride = GetBytesPerLine();
    for (std::uint64_t r = 0; r < height; ++r) {
        const double Y = double(std::int64_t(r) + *minY);
        m.ys = Single(Y * s);
        m.yc = Y * c;
        BYTE* out = pixels + r * stride;
        const auto n = static_cast<std::size_t>(width);
        switch (b) {
        case 1:
            MapPackedRow<1>(m, m_pBits, sourceStride, w, h, out, n);
            break;
        case 4:
            MapPackedRow<4>(m, m_pBits, sourceStride, w, h, out, n);
            break;
        case 8:
            MapRow<1, false>(m, m_pBits, sourceStride, w, h, out, n, fill);
            break;
        case 16:
            MapRow<2, true>(m, m_pBits, sourceStride, w, h, out, n, fill);
            break;
        case 24:
            MapRow<3, true>(m, m_pBits, sourceStride, w, h, out, n, fill);
            break;
        case 32:
            MapRow<4, true>(m, m_pBits, sourceStride, w, h, out, n, fill);
            break;
        default: // other depths: the canvas stays zero
            break;
        }
    }

    // The new image replaces the old one only now that it is complete.
    const std::size_t blockBytes = headerPart + static_cast<std::size_t>(pixelBytes);
    Empty();
    m_hDIB = block.Release();
    m_bOwnsBlock = true;
    m_nBlockSize = blockBytes;
    m_pBMI = static_cast<BITMAPINFOHEADER*>(GlobalLock(m_hDIB));
    m_pBits = reinterpret_cast<BYTE*>(m_pBMI) + headerPart;
    m_dwSizeImage = static_cast<DWORD>(pixelBytes);
    // The colour table is unchanged; the palette drawn with follows it again.
    const int colours = GetNumColors();
    if (colours > 0 && colours <= 256) MakePalette(colours, &m_Palette);
    return TRUE;
}
