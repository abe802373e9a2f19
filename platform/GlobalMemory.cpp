#include "platform/GlobalMemory.h"

#include "platform/Memory.h"

#include <cstdint>
#include <cstring>
#include <unordered_map>

namespace {

struct Block {
    void* data = nullptr;
    std::size_t size = 0;
    unsigned locks = 0;
};

// Handles are serial numbers that are never reused.
struct Table {
    std::unordered_map<std::uintptr_t, Block> blocks;
    std::uintptr_t next = 1;
};

Table& Blocks() {
    static Table table;
    return table;
}

Block* Find(HGLOBAL h) {
    auto& blocks = Blocks().blocks;
    auto it = blocks.find(reinterpret_cast<std::uintptr_t>(h));
    return it == blocks.end() ? nullptr : &it->second;
}

} // namespace

HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes) {
    void* data = AfxAllocMemory(bytes, (flags & GMEM_ZEROINIT) != 0);
    if (!data) return nullptr;
    Table& t = Blocks();
    std::uintptr_t id = t.next++;
    t.blocks.emplace(id, Block{data, bytes, 0});
    return reinterpret_cast<HGLOBAL>(id);
}

LPVOID GlobalLock(HGLOBAL block) {
    Block* b = Find(block);
    if (!b) return nullptr;
    ++b->locks;
    return b->data;
}

BOOL GlobalUnlock(HGLOBAL block) {
    Block* b = Find(block);
    if (!b || b->locks == 0) return FALSE;
    --b->locks;
    return b->locks > 0;
}

HGLOBAL GlobalReAlloc(HGLOBAL block, std::size_t bytes, UINT flags) {
    Block* b = Find(block);
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
    auto& blocks = Blocks().blocks;
    auto it = blocks.find(reinterpret_cast<std::uintptr_t>(block));
    if (it == blocks.end()) return block;
    AfxFreeMemory(it->second.data);
    blocks.erase(it);
    return nullptr;
}

std::size_t GlobalSize(HGLOBAL block) {
    Block* b = Find(block);
    return b ? b->size : 0;
}

long GlobalLiveBlocks() {
    return static_cast<long>(Blocks().blocks.size());
}
