// CDC: the framework's wrapper of a device context handle. It does not own
// the context: whoever got it releases or deletes it.
#pragma once

#include "gfx/Gdi.h"

#include <utility>

class CDC {
public:
    CDC() = default;
    explicit CDC(HDC dc) : m_hDC(dc) {}

    HDC GetSafeHdc() const { return m_hDC; }
    BOOL Attach(HDC dc) {
        if (!dc || m_hDC) return FALSE;
        m_hDC = dc;
        return TRUE;
    }
    HDC Detach() { return std::exchange(m_hDC, nullptr); }

    HDC m_hDC = nullptr;
};
