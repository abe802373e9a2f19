// CDIB's transfers to device contexts and other images, and the clipboard.
#include "dib/Dib.h"

#include "fw/GdiObject.h"
#include "fw/MemoryDC.h"
#include "gfx/Palette.h"
#include "platform/Clipboard.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kInfoHeaderSize = sizeof(BITMAPINFOHEADER);

// The bytes of the rows of a DIB section made from this header.
std::size_t SectionBytes(const BITMAPINFOHEADER& header) {
    return static_cast<std::size_t>(DibRowBytes(std::uint64_t(header.biWidth), header.biBitCount) *
                                    std::uint64_t(std::llabs(header.biHeight)));
}

} // namespace

int CDIB::StretchToDC(HDC dc, int xD, int yD, int wD, int hD, int xS, int yS, int wS, int hS,
                      DWORD rop) {
    Layout layout;
    if (!HeldLayout(&layout)) return PatBlt(dc, xD, yD, wD, hD, rop);
    return StretchDIBits(dc, xD, yD, wD, hD, xS, yS, wS, hS, m_pBits,
                         reinterpret_cast<const BITMAPINFO*>(m_pBMI), DIB_RGB_COLORS, rop);
}

void CDIB::StretchInto(CDIB* dest, int xD, int yD, int wD, int hD, int xS, int yS, int wS, int hS,
                       DWORD rop) {
    m_bStretchFailed = !TryStretchInto(dest, xD, yD, wD, hD, xS, yS, wS, hS, rop);
}

BOOL CDIB::TryStretchInto(CDIB* dest, int xD, int yD, int wD, int hD, int xS, int yS, int wS,
                          int hS, DWORD rop) {
    Layout mine, theirs;
    if (!dest || !HeldLayout(&mine) || !dest->HeldLayout(&theirs)) return FALSE;
    // Declared first, so that the contexts let the sections go before they
    // are deleted.
    CGdiObject sourceSection, destSection;
    CMemoryDC first(nullptr), second(nullptr);
    if (!first.GetSafeHdc() || !second.GetSafeHdc()) return FALSE;
    for (HDC dc : {first.GetSafeHdc(), second.GetSafeHdc()}) {
        if (SelectPalette(dc, m_Palette, FALSE)) RealizePalette(dc);
    }

    void* sourceBits = nullptr;
    void* destBits = nullptr;
    if (!sourceSection.Attach(CreateDIBSection(first.GetSafeHdc(),
                                               reinterpret_cast<const BITMAPINFO*>(m_pBMI),
                                               DIB_RGB_COLORS, &sourceBits, nullptr, 0)))
        return FALSE;
    if (!destSection.Attach(CreateDIBSection(second.GetSafeHdc(),
                                             reinterpret_cast<const BITMAPINFO*>(dest->m_pBMI),
                                             DIB_RGB_COLORS, &destBits, nullptr, 0)))
        return FALSE;
    // (The sections hold exactly the rows the headers describe.)
    const std::size_t sourceBytes = SectionBytes(*m_pBMI);
    const std::size_t destBytes = SectionBytes(*dest->m_pBMI);
    std::memcpy(sourceBits, m_pBits, std::min(mine.pixelBytes, sourceBytes));
    std::memcpy(destBits, dest->m_pBits, std::min(theirs.pixelBytes, destBytes));

    if (!first.SelectBitmap(static_cast<HBITMAP>(sourceSection.GetSafeHandle())) ||
        !second.SelectBitmap(static_cast<HBITMAP>(destSection.GetSafeHandle())))
        return FALSE;
    if (!StretchBlt(second.GetSafeHdc(), xD, yD, wD, hD, first.GetSafeHdc(), xS, yS, wS, hS, rop))
        return FALSE;
    return theirs.pixelBytes <= destBytes && dest->SetBits(static_cast<const BYTE*>(destBits), 0);
}

void CDIB::FillRect(const RECT* rect, DWORD rop) {
    Fill(rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, rop);
}

void CDIB::Fill(int x, int y, int width, int height, DWORD rop) {
    if ((rop != BLACKNESS && rop != WHITENESS) || !IsValid()) return;
    COLORREF colour = rop == BLACKNESS ? RGB(0, 0, 0) : RGB(255, 255, 255);
    // Images with a palette take the entry of that colour, or the nearest.
    if (m_Palette.GetSafeHandle()) {
        int k = FindColor(m_pBMI, GetNumColors(), colour);
        if (k == -1) k = static_cast<int>(m_Palette.GetNearestPaletteIndex(colour));
        PALETTEENTRY entry{};
        if (GetPaletteEntries(m_Palette, static_cast<UINT>(k), 1, &entry) == 1)
            colour = RGB(entry.peRed, entry.peGreen, entry.peBlue);
    }
    CDIB patch;
    if (patch.Create(width, height, m_pBMI, colour))
        patch.StretchInto(this, x, y, width, height, 0, 0, width, height, SRCCOPY);
}

void CDIB::Crop(int left, int top, int right, int bottom) {
    const long long w = static_cast<long long>(right) - left;
    const long long h = static_cast<long long>(bottom) - top;
    if (!IsValid() || w <= 0 || h <= 0 || w > INT32_MAX || h > INT32_MAX) return;
    CDIB part;
    if (!part.CreateLike(int(w), int(h), *this)) return;
    // Through the virtual call, so that a derived class's stretch does the
    // copying; a copy that could not be made must not replace the picture
    // by white.
    m_bStretchFailed = false;
    StretchInto(&part, 0, 0, int(w), int(h), left, top, int(w), int(h), SRCCOPY);
    if (m_bStretchFailed) return;
    Empty();
    if (CreateLike(int(w), int(h), part)) SetBits(part.m_pBits, 0);
}

BOOL CDIB::RenderInto(CDIB* target, int xD, int yD, int wD, int hD, int xS, int yS, int wS, int hS,
                      DWORD rop) {
    if (!target) return FALSE;
    int bits = 0;
    const HBITMAP bitmap = target->CreateDeviceBitmap(&bits);
    if (!bitmap) return FALSE;
    bool drawn = false;
    {
        CMemoryDC memory(nullptr, bitmap);
        Layout layout;
        if (memory.GetSafeHdc() && HeldLayout(&layout)) {
            StretchDIBits(memory.GetSafeHdc(), xD, yD, wD, hD, xS, yS, wS, hS, m_pBits,
                          reinterpret_cast<const BITMAPINFO*>(m_pBMI), DIB_RGB_COLORS, rop);
            drawn = true;
        } else if (memory.GetSafeHdc()) {
            PatBlt(memory.GetSafeHdc(), xD, yD, wD, hD, rop);
        }
    }
    // Read back once the memory context has let the bitmap go.
    if (drawn) {
        try {
            target->CreateFromBitmap(bitmap);
        } catch (...) {
            DeleteObject(bitmap);
            throw;
        }
    }
    return DeleteObject(bitmap);
}

BOOL CDIB::CopyToClipboard() {
    Layout layout;
    if (!HeldLayout(&layout)) return FALSE;
    // The table as the header counts it, then the pixels right after it,
    // wherever the object keeps them.
    const int colours = GetNumColors();
    if (colours < 0 || colours > 256) return FALSE;
    const std::size_t front = kInfoHeaderSize + 4 * std::size_t(colours);
    GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, front + layout.pixelBytes));
    auto* bytes = static_cast<BYTE*>(block.data());
    if (!bytes) return FALSE;
    std::memcpy(bytes, m_pBMI, front);
    std::memcpy(bytes + front, m_pBits, layout.pixelBytes);
    const HGLOBAL handle = block.Release();
    if (!SetClipboardData(CF_DIB, handle)) {
        GlobalFree(handle);
        return FALSE;
    }
    return TRUE;
}

BOOL CDIB::PasteFromClipboard(int) {
    const auto handle = static_cast<HGLOBAL>(GetClipboardData(CF_DIB));
    if (!handle) return FALSE;
    const std::size_t size = GlobalSize(handle);
    const auto* bytes = static_cast<const BYTE*>(GlobalLock(handle));
    if (!bytes) return FALSE;
    BOOL pasted = FALSE;
    BITMAPINFOHEADER header{};
    if (size >= kInfoHeaderSize) std::memcpy(&header, bytes, kInfoHeaderSize);
    const int colours = size >= kInfoHeaderSize ? GetNumColors(&header) : -1;
    Layout layout;
    const int b = header.biBitCount;
    // The block must hold the header, its table and every row it describes.
    if (header.biSize == kInfoHeaderSize && header.biCompression == BI_RGB && header.biWidth > 0 &&
        header.biHeight > 0 && (b == 1 || b == 4 || b == 8 || b == 16 || b == 24 || b == 32) &&
        colours >= 0 && colours <= 256 && LayOut(header, DWORD(colours), &layout) &&
        layout.pixelOffset + layout.pixelBytes <= size) {
        try {
            if (Create(header.biWidth, header.biHeight,
                       reinterpret_cast<const BITMAPINFOHEADER*>(bytes), RGB(255, 255, 255)))
                pasted = SetBits(bytes + layout.pixelOffset, 1);
        } catch (...) {
            GlobalUnlock(handle);
            throw;
        }
    }
    GlobalUnlock(handle);
    return pasted;
}
