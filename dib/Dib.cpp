#include "dib/Dib.h"

#include "fw/Exception.h"
#include "gfx/StockColors.h"

#include <cstring>

IMPLEMENT_SERIAL(CDIB, CObject, 0)

namespace {

constexpr int kInfoHeaderSize = sizeof(BITMAPINFOHEADER);

// Row stride: the row length in bytes rounded up to a multiple of 4, in
// 64 bits (widths and bit counts are 32-bit, so it cannot overflow; products
// with a height are checked by the callers).
long long Stride(long long bitCount, long long width) {
    return ((bitCount * width + 31) >> 3) & ~3LL;
}

bool SupportedBitCount(int b) {
    return b == 1 || b == 4 || b == 8 || b == 16 || b == 24 || b == 32;
}

// Fills `count` bytes with `value`, a 32-bit word at a time.
void FillBytes(BYTE* out, std::size_t count, BYTE value) {
    std::uint32_t word = value * 0x01010101u;
    std::size_t words = count / 4;
    for (std::size_t i = 0; i < words; ++i) std::memcpy(out + 4 * i, &word, 4);
    for (std::size_t i = words * 4; i < count; ++i) out[i] = value;
}

} // namespace

const RGBQUAD* DibStockColors(int colours) {
    return StockColorTable(colours);
}

CDIB::CDIB(BOOL borrowed) : m_bBorrowed(borrowed) {}

// A block the object made is freed even when m_bBorrowed was set by an
// earlier Attach or taken over from a copied source; a borrowed one never is.
CDIB::~CDIB() {
    Empty();
}

DWORD CDIB::GetBytesPerLine() const {
    return static_cast<DWORD>(Stride(m_pBMI->biBitCount, m_pBMI->biWidth));
}

int CDIB::GetNumColors(const BITMAPINFOHEADER* header) {
    int bitCount;
    if (IsInfoHeader(header)) {
        if (header->biClrUsed) return static_cast<int>(header->biClrUsed);
        bitCount = header->biBitCount;
    } else {
        bitCount = reinterpret_cast<const BITMAPCOREHEADER*>(header)->bcBitCount;
    }
    switch (bitCount) {
    case 1:
        return 2;
    case 4:
        return 16;
    case 8:
        return 256;
    default:
        return 0;
    }
}

// Headers keep pixels per metre, the object dots per inch: 3780 gives 96.
void CDIB::SetResolutionFromHeader() {
    m_nXDpi = static_cast<int>(m_pBMI->biXPelsPerMeter * 2.541 * 0.01);
    m_nYDpi = static_cast<int>(m_pBMI->biYPelsPerMeter * 2.541 * 0.01);
}

void CDIB::Free() {
    m_Palette.DeleteObject();
    if (m_hDIB && m_bOwnsBlock) {
        GlobalUnlock(m_hDIB);
        GlobalFree(m_hDIB);
    }
    m_hDIB = nullptr;
    m_bOwnsBlock = false;
    // Nothing may point into a block that is gone.
    m_pBMI = nullptr;
    m_pBits = nullptr;
    m_dwSizeImage = 0;
}

void CDIB::Empty() {
    if (m_hDIB) Free();
    m_pBMI = nullptr;
    m_pBits = nullptr;
    m_dwSizeImage = 0;
    m_nBitsFlag = 0;
}

BOOL CDIB::Create(int width, int height, const BITMAPINFOHEADER* format, COLORREF fill) {
    const int bitCount = format->biBitCount;
    long long colours = format->biClrUsed;
    if (colours == 0) colours = bitCount == 1 ? 2 : bitCount == 4 ? 16 : bitCount == 8 ? 256 : 0;

    // The format may be this object's own header (CreateLike of itself):
    // keep what is needed of it before the old block goes.
    const BITMAPINFOHEADER f = *format;
    RGBQUAD formatTable[256];
    if (colours > 0 && colours <= 256 && format->biSize != 0)
        std::memcpy(formatTable, reinterpret_cast<const BYTE*>(format) + kInfoHeaderSize,
                    4 * colours);

    if (m_pBMI || m_hDIB) Free();

    // Refuse what a packed DIB with 32-bit sizes cannot hold.
    if (colours > 256 || width < 0 || height < 0 || !SupportedBitCount(bitCount)) return FALSE;
    const long long stride = bitCount == 24 ? (3LL * width + 3) & ~3LL : Stride(bitCount, width);
    const long long room = 0xFFFFFFFFLL - 4 * colours - kInfoHeaderSize;
    if (height != 0 && stride > room / height) return FALSE;
    const long long sizeImage = stride * height;
    const long long blockSize = sizeImage + 4 * colours + kInfoHeaderSize;

    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, static_cast<std::size_t>(blockSize));
    if (!block) throw CMemoryException();
    m_hDIB = block;
    m_bOwnsBlock = true;
    m_pBMI = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    m_pBits = reinterpret_cast<BYTE*>(m_pBMI) + kInfoHeaderSize + 4 * colours;
    m_dwSizeImage = static_cast<DWORD>(sizeImage);

    BITMAPINFOHEADER& h = *m_pBMI;
    h.biSize = kInfoHeaderSize;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = f.biPlanes;
    h.biBitCount = static_cast<WORD>(bitCount);
    h.biCompression = BI_RGB;
    h.biSizeImage = m_dwSizeImage;
    h.biXPelsPerMeter = f.biXPelsPerMeter;
    h.biYPelsPerMeter = f.biYPelsPerMeter;
    h.biClrUsed = static_cast<DWORD>(colours);
    h.biClrImportant = static_cast<DWORD>(colours);

    int fillIndex = 255;
    if (colours > 0) {
        auto* table = reinterpret_cast<RGBQUAD*>(reinterpret_cast<BYTE*>(m_pBMI) + kInfoHeaderSize);
        const RGBQUAD* source =
            f.biSize != 0 ? formatTable : DibStockColors(static_cast<int>(colours));
        for (int i = 0; i < colours; ++i) {
            table[i] = source ? source[i] : RGBQUAD{0, 0, 0, 0};
            table[i].rgbReserved = 0;
        }
        if (MakePalette(static_cast<int>(colours), &m_Palette)) {
            fillIndex = static_cast<int>(m_Palette.GetNearestPaletteIndex(fill));
        } else {
            // Without a palette: the first entry of exactly the fill colour.
            fillIndex = 0;
            for (int i = 0; i < colours; ++i) {
                if (RGB(table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue) ==
                    (fill & 0xFFFFFF)) {
                    fillIndex = i;
                    break;
                }
            }
        }
    }

    const auto rowBytes = static_cast<std::size_t>(stride);
    switch (bitCount) {
    case 1:
        FillBytes(m_pBits, m_dwSizeImage, fillIndex == 1 ? 0xFF : 0x00);
        break;
    case 4:
        FillBytes(m_pBits, m_dwSizeImage, static_cast<BYTE>((fillIndex << 4) | fillIndex));
        break;
    case 8:
        FillBytes(m_pBits, m_dwSizeImage, static_cast<BYTE>(fillIndex));
        break;
    default: {
        // One row of pixels in the fill colour, padding zeroed, then copied.
        BYTE pixel[4] = {GetBValue(fill), GetGValue(fill), GetRValue(fill), 0};
        int pixelBytes = bitCount / 8;
        if (bitCount == 16) {
            WORD w = static_cast<WORD>(((GetRValue(fill) >> 3) << 10) |
                                       ((GetGValue(fill) >> 3) << 5) | (GetBValue(fill) >> 3));
            pixel[0] = static_cast<BYTE>(w);
            pixel[1] = static_cast<BYTE>(w >> 8);
        }
        if (height == 0) break;
        std::memset(m_pBits, 0, rowBytes);
        for (int x = 0; x < width; ++x)
            std::memcpy(m_pBits + static_cast<std::size_t>(x) * pixelBytes, pixel, pixelBytes);
        for (int y = 1; y < height; ++y) std::memcpy(m_pBits + y * rowBytes, m_pBits, rowBytes);
    }
    }

    SetResolutionFromHeader();
    return TRUE;
}

BOOL CDIB::CreateLike(int width, int height, const CDIB& source) {
    if (!Create(width, height, source.m_pBMI, RGB(0xFF, 0xFF, 0xFF))) return FALSE;
    m_bBorrowed = source.m_bBorrowed;
    m_nFormatTag = source.m_nFormatTag;
    m_nBitsFlag = 0;
    return TRUE;
}

BOOL CDIB::Attach(HGLOBAL block, BITMAPINFOHEADER* header, DWORD size) {
    if (m_pBMI || m_hDIB) Free();
    const bool borrowed = size != 0xFFFFFFFF;
    if (borrowed) m_bBorrowed = TRUE;
    m_hDIB = block;
    m_bOwnsBlock = !borrowed;
    m_pBMI = header;
    m_nBitsFlag = 0;
    m_nFormatTag = 24;
    const int b = header->biBitCount;
    const int tableEntries = b == 1 ? 2 : b == 4 ? 16 : b == 8 ? 256 : 0;
    m_pBits = reinterpret_cast<BYTE*>(header) + kInfoHeaderSize + 4 * tableEntries;
    m_dwSizeImage = header->biSizeImage;
    SetResolutionFromHeader();
    return TRUE;
}

CDIB& CDIB::operator=(const CDIB& source) {
    if (&source == this) return *this;
    Empty();
    // A copy of nothing is empty; so is a copy of what a blank image cannot
    // hold (compressed pixels, top-down rows): its bytes are no BI_RGB rows.
    if (!source.IsValid() || source.m_pBMI->biCompression != BI_RGB) return *this;
    if (!CreateLike(source.GetWidth(), source.GetHeight(), source)) return *this;
    m_nXDpi = source.m_nXDpi;
    m_nYDpi = source.m_nYDpi;
    SetBits(source.m_pBits, 0);
    return *this;
}

BOOL CDIB::SetBits(const BYTE* source, int flag) {
    std::memcpy(m_pBits, source, m_dwSizeImage);
    m_nBitsFlag = flag;
    return TRUE;
}

BOOL CDIB::MakePalette(int colours, CPalette* palette) {
    palette->DeleteObject();
    if (colours == 0) return TRUE;
    if (colours < 0 || colours > 0xFFFF) return FALSE;

    HGLOBAL block =
        GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4 * static_cast<std::size_t>(colours) + 8);
    if (!block) return FALSE;
    auto* log = static_cast<LOGPALETTE*>(GlobalLock(block));
    log->palVersion = 0x300;
    log->palNumEntries = static_cast<WORD>(colours);
    auto* entries = reinterpret_cast<PALETTEENTRY*>(reinterpret_cast<BYTE*>(log) + 4);
    const BYTE* base = reinterpret_cast<const BYTE*>(m_pBMI);
    const bool info = IsInfoHeader(m_pBMI);
    for (int i = 0; i < colours; ++i) {
        if (info) {
            const auto* q = reinterpret_cast<const RGBQUAD*>(base + kInfoHeaderSize) + i;
            entries[i] = {q->rgbRed, q->rgbGreen, q->rgbBlue, 0};
        } else {
            const auto* t = reinterpret_cast<const RGBTRIPLE*>(base + sizeof(BITMAPCOREHEADER)) + i;
            entries[i] = {t->rgbtRed, t->rgbtGreen, t->rgbtBlue, 0};
        }
    }
    BOOL made = palette->CreatePalette(log);
    GlobalUnlock(block);
    GlobalFree(block);
    return made;
}
