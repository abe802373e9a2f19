// CDIB's transfers to device contexts and other images, and the clipboard.
#include "dib/Dib.h"

#include "fw/MemoryDC.h"
#include "platform/Clipboard.h"

#include <cstring>

namespace {

constexpr std::size_t kInfoHeaderSize = sizeof(BITMAPINFOHEADER);

} // namespace

int CDIB::StretchToDC(HDC dc, int xD, int yD, int wD, int hD, int xS, int yS, int wS, int hS,
                      DWORD rop) {
    Layout layout;
    if (!HeldLayout(&layout)) return PatBlt(dc, xD, yD, wD, hD, rop);
    return StretchDIBits(dc, xD, yD, wD, hD, xS, yS, wS, hS, m_pBits,
                         reinterpret_cast<const BITMAPINFO*>(m_pBMI), DIB_RGB_COLORS, rop);
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
