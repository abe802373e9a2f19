// CMemoryDC: a memory device context compatible with another context (the
// screen's when none is given), with a bitmap selected into it while it
// lives. When it goes, the bitmap it started with is selected back, so the
// caller's bitmap is free to be deleted, and the context is deleted.
#pragma once

#include "gfx/Gdi.h"

class CMemoryDC {
public:
    explicit CMemoryDC(HDC compatible, HBITMAP bitmap = nullptr)
        : m_hDC(CreateCompatibleDC(compatible)) {
        if (bitmap) SelectBitmap(bitmap);
    }
    ~CMemoryDC() {
        if (!m_hDC) return;
        if (m_hOld) SelectObject(m_hDC, m_hOld);
        DeleteDC(m_hDC);
    }
    CMemoryDC(const CMemoryDC&) = delete;
    CMemoryDC& operator=(const CMemoryDC&) = delete;

    // Null when no context could be made.
    HDC GetSafeHdc() const { return m_hDC; }
    // Selects a bitmap in place of the one selected now; FALSE when it cannot
    // be selected.
    BOOL SelectBitmap(HBITMAP bitmap) {
        const HGDIOBJ old = m_hDC ? SelectObject(m_hDC, bitmap) : nullptr;
        if (old && !m_hOld) m_hOld = old;
        return old != nullptr;
    }

private:
    HDC m_hDC;
    HGDIOBJ m_hOld = nullptr;
};
