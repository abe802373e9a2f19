// The module whose resources the framework loads: the program's own.
#pragma once

#include "res/Resources.h"

inline HINSTANCE AfxGetResourceHandle() {
    return GetModuleHandle(nullptr);
}
