// Global memory blocks: the handles through which packed DIBs travel between
// the bitmap class, the clipboard and the AVI library. A block stays at one
// address while it is locked; GlobalReAlloc moves an unlocked block (always,
// so that callers who keep stale pointers are caught) and refuses a locked one.
// Handles are looked up in a table, never followed: a freed or foreign handle
// gives the failure result. Live blocks are counted for leak tests, and
// allocations honour AfxInjectAllocFailure.
//
// Threads: every function may be called from any thread at any time; one
// lock guards the table. Two threads may each allocate, lock, resize and free
// blocks of their own concurrently, and may lock and read a block that
// neither changes nor frees meanwhile. A thread must not free, resize or
// write a block that another thread is using: the lock keeps the table
// whole, not the caller's bytes.
#pragma once

#include "platform/WinTypes.h"

struct HGLOBAL__;
using HGLOBAL = HGLOBAL__*;

constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;

// A new block of `bytes` bytes (zeroed with GMEM_ZEROINIT), or null.
HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes);
// The block's address, counting one more lock; null for an unknown handle.
LPVOID GlobalLock(HGLOBAL block);
// Counts one lock less; TRUE while the block is still locked.
BOOL GlobalUnlock(HGLOBAL block);
// Resizes an unlocked block, which moves; the handle stays. Bytes past the
// old size are zeroed. Null (the block unchanged) on failure, for a locked
// block, or for an unknown handle.
HGLOBAL GlobalReAlloc(HGLOBAL block, std::size_t bytes, UINT flags);
// Frees the block; null on success, the handle itself on failure.
HGLOBAL GlobalFree(HGLOBAL block);
// The block's size in bytes, 0 for an unknown handle.
std::size_t GlobalSize(HGLOBAL block);

// Owns a global block and keeps it locked while it lives: unlocked and freed
// when it goes, unless Release hands the block on, unlocked.
class GlobalBlock {
public:
    explicit GlobalBlock(HGLOBAL block) : m_hBlock(block), m_pData(GlobalLock(block)) {}
    ~GlobalBlock() {
        if (!m_hBlock) return;
        if (m_pData) GlobalUnlock(m_hBlock);
        GlobalFree(m_hBlock);
    }
    GlobalBlock(const GlobalBlock&) = delete;
    GlobalBlock& operator=(const GlobalBlock&) = delete;

    // The block's bytes; null when there is no block.
    LPVOID data() const { return m_pData; }
    // Resizes the block (GlobalReAlloc, new bytes zeroed); it may move, so
    // data() changes. On failure the block stays as it was. FALSE without a
    // block.
    BOOL Resize(std::size_t bytes) {
        if (!m_pData) return FALSE;
        GlobalUnlock(m_hBlock);
        const BOOL resized = GlobalReAlloc(m_hBlock, bytes, GMEM_MOVEABLE) != nullptr;
        m_pData = GlobalLock(m_hBlock);
        return resized;
    }
    HGLOBAL Release() {
        if (m_pData) GlobalUnlock(m_hBlock);
        m_pData = nullptr;
        const HGLOBAL block = m_hBlock;
        m_hBlock = nullptr;
        return block;
    }

private:
    HGLOBAL m_hBlock;
    LPVOID m_pData;
};

// Number of live blocks.
long GlobalLiveBlocks();
