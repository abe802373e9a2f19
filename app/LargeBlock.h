// A block of memory of many megabytes that is read and written all over (a
// table of every colour, a picture's decoded frames), in pages of 2 MiB where
// the system allows it: a few faults instead of a fault every 4 KiB, and
// lookups that do not miss the processor's cache of addresses. The system
// gives the block memory only where it is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <sys/mman.h>

struct LargeBlockFree {
    void operator()(uint8_t* p) const { std::free(p); }
};
using LargeBlock = std::unique_ptr<uint8_t, LargeBlockFree>;

// Null when there is not the memory.
inline LargeBlock AllocateLargeBlock(std::size_t bytes) {
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    if (bytes > SIZE_MAX - kHugePage) return nullptr;
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    LargeBlock block(static_cast<uint8_t*>(std::aligned_alloc(kHugePage, rounded)));
    if (block) madvise(block.get(), rounded, MADV_HUGEPAGE);
    return block;
}
