#include "dib/Dib.h"

#include "fw/Exception.h"
#include "gfx/StockColors.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

IMPLEMENT_SERIAL(CDIB, CObject, 0)

namespace {

constexpr int kInfoHeaderSize = sizeof(BITMAPINFOHEADER);
// The longest header the graphics calls take (BITMAPV5HEADER).
constexpr std::uint64_t kLongestHeader = 124;
// Sizes in a packed DIB are 32-bit.
constexpr std::uint64_t kLargestBlock = 0xFFFFFFFF;

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
    // Widths below 0 are refused when an image is made or adopted.
    const LONG width = m_pBMI->biWidth < 0 ? 0 : m_pBMI->biWidth;
    return static_cast<DWORD>(DibRowBytes(static_cast<std::uint64_t>(width), m_pBMI->biBitCount));
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

bool CDIB::LayOut(const BITMAPINFOHEADER& header, DWORD tableEntries, Layout* layout) {
    const std::uint64_t pixelOffset = kInfoHeaderSize + 4 * std::uint64_t{tableEntries};

    // The colour table that readers may take, wherever the pixels sit: a copy
    // takes the colour count's entries after 40 bytes (it refuses more than
    // 256), the graphics calls up to 2^bits entries after biSize bytes.
    const int count = GetNumColors(&header);
    const std::uint64_t colours = count < 0 || count > 256 ? 256 : count;
    const std::uint64_t headerBytes =
        std::clamp<std::uint64_t>(header.biSize, kInfoHeaderSize, kLongestHeader);
    const std::uint64_t tableEnd = headerBytes + 4 * colours;

    // Uncompressed rows take stride x |biHeight| bytes, whatever biSizeImage
    // says (BI_RGB headers may leave it 0); compressed pixels take the
    // biSizeImage bytes the header gives them.
    std::uint64_t pixelBytes = header.biSizeImage;
    if (header.biCompression == BI_RGB || header.biCompression == BI_BITFIELDS) {
        if (header.biWidth < 0) return false;
        const std::uint64_t stride =
            DibRowBytes(static_cast<std::uint64_t>(header.biWidth), header.biBitCount);
        const auto rows = static_cast<std::uint64_t>(std::abs(std::int64_t{header.biHeight}));
        if (rows != 0 && stride > kLargestBlock / rows) return false;
        pixelBytes = stride * rows;
    }

    const std::uint64_t blockBytes = std::max(tableEnd, pixelOffset + pixelBytes);
    if (blockBytes > kLargestBlock) return false;
    *layout = {static_cast<std::size_t>(pixelOffset), static_cast<std::size_t>(pixelBytes),
               static_cast<std::size_t>(blockBytes)};
    return true;
}

bool CDIB::HeldLayout(Layout* layout) const {
    if (!m_pBMI || !m_pBits) return false;
    // The pixels sit where the operation that made the block put them: after
    // as many whole colour-table entries as it placed there.
    const std::ptrdiff_t offset = m_pBits - reinterpret_cast<const BYTE*>(m_pBMI);
    if (offset < kInfoHeaderSize || offset - kInfoHeaderSize > 4 * std::ptrdiff_t{256})
        return false;
    const auto entries = static_cast<DWORD>((offset - kInfoHeaderSize) / 4);
    if (!LayOut(*m_pBMI, entries, layout) ||
        layout->pixelOffset != static_cast<std::size_t>(offset))
        return false;
    return m_nBlockSize == 0 || layout->blockBytes <= m_nBlockSize;
}

std::size_t CDIB::GetPixelBytes() const {
    Layout layout;
    return HeldLayout(&layout) ? layout.pixelBytes : 0;
}

void CDIB::TakeImageOf(CDIB& other) {
    Free();
    m_hDIB = std::exchange(other.m_hDIB, nullptr);
    m_bOwnsBlock = std::exchange(other.m_bOwnsBlock, false);
    m_nBlockSize = std::exchange(other.m_nBlockSize, 0);
    m_pBMI = std::exchange(other.m_pBMI, nullptr);
    m_pBits = std::exchange(other.m_pBits, nullptr);
    m_dwSizeImage = std::exchange(other.m_dwSizeImage, 0);
    m_Palette.Attach(other.m_Palette.Detach());
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
    m_nBlockSize = 0;
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
    if (colours == 0) colours = DibTableEntries(static_cast<unsigned>(bitCount));

    // The format may be this object's own header (CreateLike of itself):
    // keep what is needed of it before the old block goes.
    const BITMAPINFOHEADER f = *format;
    RGBQUAD formatTable[256];
    if (colours > 0 && colours <= 256 && format->biSize != 0)
        std::memcpy(formatTable, reinterpret_cast<const BYTE*>(format) + kInfoHeaderSize,
                    4 * colours);

    if (m_pBMI || m_hDIB) Free();

    if (colours > 256 || width < 0 || height < 0 || !SupportedBitCount(bitCount)) return FALSE;
    BITMAPINFOHEADER h{};
    h.biSize = kInfoHeaderSize;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = f.biPlanes;
    h.biBitCount = static_cast<WORD>(bitCount);
    h.biCompression = BI_RGB;
    h.biXPelsPerMeter = f.biXPelsPerMeter;
    h.biYPelsPerMeter = f.biYPelsPerMeter;
    h.biClrUsed = static_cast<DWORD>(colours);
    h.biClrImportant = static_cast<DWORD>(colours);
    // The colour table sits between the header and the pixels.
    Layout layout;
    if (!LayOut(h, static_cast<DWORD>(colours), &layout)) return FALSE;
    h.biSizeImage = static_cast<DWORD>(layout.pixelBytes);

    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, layout.blockBytes);
    if (!block) throw CMemoryException();
    m_hDIB = block;
    m_bOwnsBlock = true;
    m_nBlockSize = layout.blockBytes;
    m_pBMI = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    *m_pBMI = h;
    m_pBits = reinterpret_cast<BYTE*>(m_pBMI) + layout.pixelOffset;
    m_dwSizeImage = h.biSizeImage;

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

    const auto rowBytes = static_cast<std::size_t>(GetBytesPerLine());
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
    // 0xFFFFFFFF gives no size: the block is then the object's own, and
    // bounded by what the global block holds from the header on (unknown for
    // a handle that is no global block). Any other size bounds what the
    // header may describe.
    const bool borrowed = size != 0xFFFFFFFF;
    std::size_t known = borrowed ? size : 0;
    if (!borrowed) {
        if (const auto* base = static_cast<const BYTE*>(GlobalLock(block))) {
            GlobalUnlock(block);
            const auto start = reinterpret_cast<std::uintptr_t>(base);
            const auto at = reinterpret_cast<std::uintptr_t>(header);
            const std::size_t total = GlobalSize(block);
            if (at >= start && at - start < total) known = total - (at - start);
        }
    }
    if (borrowed && known < kInfoHeaderSize) return FALSE;
    // An adopted block is taken to hold the full colour table for the bit
    // count before the pixels, whatever biClrUsed says.
    const int b = header->biBitCount;
    const DWORD tableEntries = DibTableEntries(b);
    Layout layout;
    if (!LayOut(*header, tableEntries, &layout) || (known != 0 && layout.blockBytes > known))
        return FALSE;

    if (m_pBMI || m_hDIB) Free();
    if (borrowed) m_bBorrowed = TRUE;
    m_hDIB = block;
    m_bOwnsBlock = !borrowed;
    m_nBlockSize = known;
    m_pBMI = header;
    m_nBitsFlag = 0;
    m_nFormatTag = 24;
    m_pBits = reinterpret_cast<BYTE*>(header) + layout.pixelOffset;
    m_dwSizeImage = header->biSizeImage;
    SetResolutionFromHeader();
    return TRUE;
}

CDIB& CDIB::operator=(const CDIB& source) {
    if (&source == this) return *this;
    // Nothing is read from a source that runs past its block.
    Layout layout;
    if (source.IsValid() && !source.HeldLayout(&layout)) return *this;
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
    // The held pixels, whatever an adopted header's biSizeImage says.
    Layout layout;
    if (!HeldLayout(&layout)) return FALSE;
    std::memcpy(m_pBits, source, layout.pixelBytes);
    m_nBitsFlag = flag;
    return TRUE;
}

BOOL CDIB::MakePalette(int colours, CPalette* palette) {
    palette->DeleteObject();
    if (colours == 0) return TRUE;
    if (colours < 0 || colours > 0xFFFF) return FALSE;

    GlobalBlock block(
        GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4 * static_cast<std::size_t>(colours) + 8));
    auto* log = static_cast<LOGPALETTE*>(block.data());
    if (!log) return FALSE;
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
    return palette->CreatePalette(log);
}
