#include "platform/Clipboard.h"

#include <map>
#include <mutex>
#include <new>

namespace {

struct Clipboard {
    std::mutex mutex;
    bool open = false;
    std::map<UINT, HGLOBAL> blocks;
};

Clipboard& State() {
    static Clipboard clipboard;
    return clipboard;
}

} // namespace

BOOL OpenClipboard(HWND) {
    Clipboard& c = State();
    const std::lock_guard<std::mutex> guard(c.mutex);
    if (c.open) return FALSE;
    c.open = true;
    return TRUE;
}

BOOL CloseClipboard() {
    Clipboard& c = State();
    const std::lock_guard<std::mutex> guard(c.mutex);
    if (!c.open) return FALSE;
    c.open = false;
    return TRUE;
}

BOOL EmptyClipboard() {
    Clipboard& c = State();
    const std::lock_guard<std::mutex> guard(c.mutex);
    if (!c.open) return FALSE;
    for (auto& [format, block] : c.blocks) GlobalFree(block);
    c.blocks.clear();
    return TRUE;
}

HANDLE SetClipboardData(UINT format, HANDLE data) {
    Clipboard& c = State();
    const std::lock_guard<std::mutex> guard(c.mutex);
    const auto block = static_cast<HGLOBAL>(data);
    if (!c.open || !block || GlobalSize(block) == 0) return nullptr;
    try {
        HGLOBAL& slot = c.blocks[format];
        if (slot && slot != block) GlobalFree(slot);
        slot = block;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return data;
}

HANDLE GetClipboardData(UINT format) {
    Clipboard& c = State();
    const std::lock_guard<std::mutex> guard(c.mutex);
    if (!c.open) return nullptr;
    const auto it = c.blocks.find(format);
    return it == c.blocks.end() ? nullptr : it->second;
}

BOOL IsClipboardFormatAvailable(UINT format) {
    Clipboard& c = State();
    const std::lock_guard<std::mutex> guard(c.mutex);
    return c.blocks.count(format) != 0;
}
