#include "platform/GlobalMemory.h"

#include "platform/HandleTable.h"
#include "platform/Memory.h"

#include <cstring>
#include <mutex>
#include <new>

namespace {

struct Block {
    void* data = nullptr;
    std::size_t size = 0;
    unsigned locks = 0;
};

// Tag 7: no device object's handle has the value of a global block's.
using BlockTable = HandleTable<HGLOBAL, Block, 7>;

// The table and the lock that guards it and every block's fields. Bytes are
// allocated, copied and freed outside the lock.
struct Table {
    std::mutex mutex;
    BlockTable blocks;
};

Table& Blocks() {
    static Table table;
    return table;
}

using Guard = std::lock_guard<std::mutex>;

} // namespace

HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes) {
    void* data = AfxAllocMemory(bytes, (flags & GMEM_ZEROINIT) != 0);
    if (!data) return nullptr;
    try {
        Table& table = Blocks();
        const Guard guard(table.mutex);
        return table.blocks.Add(Block{data, bytes, 0}).handle;
    } catch (const std::bad_alloc&) {
        AfxFreeMemory(data);
        return nullptr;
    }
}

LPVOID GlobalLock(HGLOBAL block) {
    Table& table = Blocks();
    const Guard guard(table.mutex);
    Block* b = table.blocks.Find(block);
    if (!b) return nullptr;
    ++b->locks;
    return b->data;
}

BOOL GlobalUnlock(HGLOBAL block) {
    Table& table = Blocks();
    const Guard guard(table.mutex);
    Block* b = table.blocks.Find(block);
    if (!b || b->locks == 0) return FALSE;
    --b->locks;
    return b->locks > 0;
}

HGLOBAL GlobalReAlloc(HGLOBAL block, std::size_t bytes, UINT flags) {
    (void)flags; // new bytes are always zeroed: never hand out stale memory
    Table& table = Blocks();
    Block old;
    {
        const Guard guard(table.mutex);
        const Block* b = table.blocks.Find(block);
        if (!b || b->locks > 0) return nullptr;
        old = *b;
    }
    // An unlocked block is its owner's alone (nobody holds its address), so
    // its bytes are copied without the lock.
    void* moved = AfxAllocMemory(bytes, false);
    if (!moved) return nullptr;
    const std::size_t keep = bytes < old.size ? bytes : old.size;
    if (keep) std::memcpy(moved, old.data, keep);
    if (bytes > keep) std::memset(static_cast<char*>(moved) + keep, 0, bytes - keep);
    {
        const Guard guard(table.mutex);
        Block* b = table.blocks.Find(block);
        // Freed, resized or locked meanwhile: another thread used a block it
        // does not own. Refuse rather than lose either version.
        if (!b || b->data != old.data || b->locks > 0) {
            AfxFreeMemory(moved);
            return nullptr;
        }
        b->data = moved;
        b->size = bytes;
    }
    AfxFreeMemory(old.data);
    return block;
}

HGLOBAL GlobalFree(HGLOBAL block) {
    Table& table = Blocks();
    void* data = nullptr;
    {
        const Guard guard(table.mutex);
        const Block* b = table.blocks.Find(block);
        if (!b) return block;
        data = b->data;
        table.blocks.Remove(block);
    }
    AfxFreeMemory(data);
    return nullptr;
}

std::size_t GlobalSize(HGLOBAL block) {
    Table& table = Blocks();
    const Guard guard(table.mutex);
    const Block* b = table.blocks.Find(block);
    return b ? b->size : 0;
}

long GlobalLiveBlocks() {
    Table& table = Blocks();
    const Guard guard(table.mutex);
    return static_cast<long>(table.blocks.Size());
}
