#include "platform/GlobalMemory.h"

#include "platform/HandleTable.h"
#include "platform/Memory.h"

#include <cstring>
#include <new>

namespace {

struct Block {
    void* data = nullptr;
    std::size_t size = 0;
    unsigned locks = 0;
};

// Tag 7: no device object's handle has the value of a global block's.
HandleTable<HGLOBAL, Block, 7>& Blocks() {
    static HandleTable<HGLOBAL, Block, 7> table;
    return table;
}

} // namespace

HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes) {
    void* data = AfxAllocMemory(bytes, (flags & GMEM_ZEROINIT) != 0);
    if (!data) return nullptr;
    try {
        return Blocks().Add(Block{data, bytes, 0}).handle;
    } catch (const std::bad_alloc&) {
        AfxFreeMemory(data);
        return nullptr;
    }
}

LPVOID GlobalLock(HGLOBAL block) {
    Block* b = Blocks().Find(block);
    if (!b) return nullptr;
    ++b->locks;
    return b->data;
}

BOOL GlobalUnlock(HGLOBAL block) {
    Block* b = Blocks().Find(block);
    if (!b || b->locks == 0) return FALSE;
    --b->locks;
    return b->locks > 0;
}

HGLOBAL GlobalReAlloc(HGLOBAL block, std::size_t bytes, UINT flags) {
    Block* b = Blocks().Find(block);
    if (!b || b->locks > 0) return nullptr;
    void* moved = AfxAllocMemory(bytes, false);
    if (!moved) return nullptr;
    std::size_t keep = bytes < b->size ? bytes : b->size;
    if (keep) std::memcpy(moved, b->data, keep);
    if (bytes > keep) std::memset(static_cast<char*>(moved) + keep, 0, bytes - keep);
    (void)flags; // new bytes are always zeroed: never hand out stale memory
    AfxFreeMemory(b->data);
    b->data = moved;
    b->size = bytes;
    return block;
}

HGLOBAL GlobalFree(HGLOBAL block) {
    Block* b = Blocks().Find(block);
    if (!b) return block;
    AfxFreeMemory(b->data);
    Blocks().Remove(block);
    return nullptr;
}

std::size_t GlobalSize(HGLOBAL block) {
    Block* b = Blocks().Find(block);
    return b ? b->size : 0;
}

long GlobalLiveBlocks() {
    return static_cast<long>(Blocks().Size());
}
