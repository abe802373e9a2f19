// CDIB and device bitmaps: capture at the bitmap's own depth, conversion back
// to a device bitmap, and drawing into device contexts.
#include "dib/Dib.h"

#include "fw/Exception.h"
#include "fw/MemoryDC.h"
#include "gfx/Palette.h"

#include <cstring>
#include <optional>

namespace {

constexpr int kInfoHeaderSize = sizeof(BITMAPINFOHEADER);

// The screen context for the length of a capture. The palette that was
// selected into it before is put back unless the capture succeeds.
class ScreenContext {
public:
    ScreenContext() : dc_(GetDC(nullptr)) {}
    ~ScreenContext() {
        if (!kept_) Restore();
        if (dc_) ReleaseDC(nullptr, dc_);
    }
    ScreenContext(const ScreenContext&) = delete;
    ScreenContext& operator=(const ScreenContext&) = delete;

    HDC get() const { return dc_; }
    void Select(HPALETTE palette) {
        if (!dc_ || !palette) return;
        replaced_ = SelectPalette(dc_, palette, FALSE);
        RealizePalette(dc_);
    }
    // The capture succeeded: what is selected now stays.
    void Keep() { kept_ = true; }

private:
    void Restore() {
        if (!dc_ || !replaced_) return;
        SelectPalette(dc_, replaced_, TRUE);
        RealizePalette(dc_);
    }

    HDC dc_;
    HPALETTE replaced_ = nullptr;
    bool kept_ = false;
};

} // namespace

BOOL CDIB::CreateFromBitmap(HBITMAP bitmap, const RGBQUAD* colours) {
    if (!bitmap) return FALSE;
    Free(); // from here on every failure leaves the object empty

    BITMAP bm{};
    if (GetObject(bitmap, sizeof bm, &bm) != static_cast<int>(sizeof bm)) return FALSE;

    // Depth: the device bitmap's own, 24 for anything deeper than 16.
    const WORD depth = static_cast<WORD>(bm.bmBitsPixel * bm.bmPlanes);
    const WORD bitCount = depth <= 1 ? 1 : depth <= 4 ? 4 : depth <= 8 ? 8 : depth <= 16 ? 16 : 24;
    const int colourCount = static_cast<int>(DibTableEntries(bitCount));

    BITMAPINFOHEADER header{};
    header.biSize = kInfoHeaderSize;
    header.biWidth = bm.bmWidth;
    header.biHeight = bm.bmHeight;
    header.biPlanes = 1;
    header.biBitCount = bitCount;
    header.biCompression = BI_RGB;

    ScreenContext screen;
    if (!colours) screen.Select(static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE)));

    // The block is allocated once, at its full size: the layout follows
    // from the size, depth and colour count, which the platform's completion
    // of the header below leaves as they are. GetDIBits writes every pixel
    // byte, row padding included, so only the bytes around the pixels are
    // zeroed.
    Layout layout;
    if (!LayOut(header, static_cast<DWORD>(colourCount), &layout)) throw CMemoryException();
    GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE, layout.blockBytes));
    if (!block.data()) throw CMemoryException();
    auto* base = static_cast<BYTE*>(block.data());
    const std::size_t pixelEnd = layout.pixelOffset + layout.pixelBytes;
    std::memset(base, 0, layout.pixelOffset);
    std::memset(base + pixelEnd, 0, layout.blockBytes - pixelEnd);
    auto* info = reinterpret_cast<BITMAPINFOHEADER*>(base);
    *info = header;

    // First query: the platform completes the header (biSizeImage) and fills
    // the colour table.
    GetDIBits(screen.get(), bitmap, 0, static_cast<UINT>(header.biHeight), nullptr,
              reinterpret_cast<BITMAPINFO*>(info), DIB_RGB_COLORS);
    header = *info;
    Layout completed;
    if (header.biHeight < 0 || !LayOut(header, static_cast<DWORD>(colourCount), &completed) ||
        completed.pixelOffset != layout.pixelOffset || completed.blockBytes != layout.blockBytes)
        throw CMemoryException();
    BYTE* bits = base + layout.pixelOffset;

    // An empty bitmap has no pixels to read.
    if (layout.pixelBytes > 0 &&
        GetDIBits(screen.get(), bitmap, 0, static_cast<UINT>(header.biHeight), bits,
                  reinterpret_cast<BITMAPINFO*>(base), DIB_RGB_COLORS) == 0)
        throw CMemoryException();
    m_pBMI = reinterpret_cast<BITMAPINFOHEADER*>(base);
    m_pBits = bits;
    m_dwSizeImage = static_cast<DWORD>(layout.pixelBytes);
    m_nBlockSize = layout.blockBytes;
    m_hDIB = block.Release(); // unlocked blocks stay where they are until resized
    m_bOwnsBlock = true;
    screen.Keep();

    if (colourCount > 0) {
        // The colours are the given table's or the stock table's; the indices
        // the platform chose stay as they are.
        const RGBQUAD* source = colours ? colours : DibStockColors(colourCount);
        auto* table = reinterpret_cast<RGBQUAD*>(base + kInfoHeaderSize);
        for (int i = 0; i < colourCount; ++i) {
            table[i].rgbBlue = source[i].rgbBlue;
            table[i].rgbGreen = source[i].rgbGreen;
            table[i].rgbRed = source[i].rgbRed;
        }
        // Callers find the pixels by the colour count: make it say what the
        // block holds.
        m_pBMI->biClrUsed = static_cast<DWORD>(colourCount);
        MakePalette(colourCount, &m_Palette);
        if (screen.get() && m_Palette.GetSafeHandle()) {
            SelectPalette(screen.get(), m_Palette, TRUE);
            RealizePalette(screen.get());
        }
    }
    return TRUE;
}

HBITMAP CDIB::CreateDeviceBitmap(int* bitCount) {
    *bitCount = 0;
    Layout layout;
    if (!HeldLayout(&layout)) return nullptr;
    HDC screen = GetDC(nullptr);
    if (!screen) return nullptr;
    // A 1-bit image becomes a monochrome bitmap: a memory context starts with
    // a monochrome bitmap selected, so bitmaps made for it are monochrome.
    HBITMAP bitmap = nullptr;
    bool made = true;
    {
        std::optional<CMemoryDC> memory;
        if (m_pBMI->biBitCount == 1) memory.emplace(screen);
        const HDC target = memory ? memory->GetSafeHdc() : screen;
        if (target)
            bitmap = CreateDIBitmap(target, m_pBMI, CBM_INIT, m_pBits,
                                    reinterpret_cast<const BITMAPINFO*>(m_pBMI), DIB_RGB_COLORS);
        made = target != nullptr;
    }
    ReleaseDC(nullptr, screen);
    if (!made) return nullptr;
    *bitCount = m_pBMI->biBitCount;
    return bitmap;
}

int CDIB::StretchTo(CDC* dc, const RECT& dest, const RECT& source, DWORD rop) const {
    Layout layout;
    if (!HeldLayout(&layout)) return 0;
    return StretchDIBits(dc ? dc->GetSafeHdc() : nullptr, dest.left, dest.top,
                         dest.right - dest.left, dest.bottom - dest.top, source.left, source.top,
                         source.right - source.left, source.bottom - source.top, m_pBits,
                         reinterpret_cast<const BITMAPINFO*>(m_pBMI), DIB_RGB_COLORS, rop);
}

int CDIB::Draw(CDC* dc, const RECT& dest, const RECT& source) {
    return StretchTo(dc, dest, source, SRCCOPY);
}

int CDIB::Draw(CDC* dc, int x, int y) {
    if (!m_pBMI) return 0;
    const RECT dest{x, y, x + m_pBMI->biWidth, y + m_pBMI->biHeight};
    const RECT source{0, 0, m_pBMI->biWidth, m_pBMI->biHeight};
    return StretchTo(dc, dest, source, SRCCOPY);
}

int CDIB::DrawMask(CDC* dc, const RECT& dest, const RECT& source) {
    return StretchTo(dc, dest, source, SRCAND);
}
