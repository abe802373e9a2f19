// CGdiObject: owns one graphics object handle (a palette, a bitmap) and
// deletes it when it goes.
#pragma once

#include "gfx/Gdi.h"

#include <utility>

class CGdiObject {
public:
    CGdiObject() = default;
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;
    virtual ~CGdiObject() { DeleteObject(); }

    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    BOOL Attach(HGDIOBJ object) {
        if (!object || m_hObject) return FALSE;
        m_hObject = object;
        return TRUE;
    }
    HGDIOBJ Detach() { return std::exchange(m_hObject, nullptr); }
    // Deletes the held object; FALSE when there is none or it cannot be deleted.
    BOOL DeleteObject() {
        if (!m_hObject) return FALSE;
        return ::DeleteObject(Detach());
    }

    HGDIOBJ m_hObject = nullptr;
};
