#include "platform/Memory.h"

#include <atomic>
#include <cstdlib>
#include <sys/mman.h>

namespace {
// Every allocator of every thread counts down the same injection, so it is
// atomic; with injection off (the normal case) a check is one plain load.
std::atomic<long> g_failCountdown{-1};
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeBlock = std::size_t{4} << 20;
} // namespace

bool AfxAllocFailureDue() {
    long left = g_failCountdown.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (g_failCountdown.compare_exchange_weak(left, left == 0 ? -1 : left - 1,
                                                  std::memory_order_relaxed))
            return left == 0;
    }
    return false;
}

void AfxInjectAllocFailure(long countdown) {
    g_failCountdown.store(countdown < 0 ? -1 : countdown, std::memory_order_relaxed);
}

void* AfxAllocMemory(std::size_t bytes, bool zeroInit) {
    if (AfxAllocFailureDue()) return nullptr;
    if (bytes == 0) bytes = 1; // a valid, distinct block even for empty images
    if (!zeroInit && bytes >= kHugeBlock) {
        // A large block (a whole GIF file) in 2 MiB pages where the kernel
        // gives them on request: one fault per 2 MiB instead of per 4 KiB.
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        if (void* block = std::aligned_alloc(kHugePage, rounded)) {
            madvise(block, rounded, MADV_HUGEPAGE);
            return block;
        }
        return nullptr;
    }
    return zeroInit ? std::calloc(1, bytes) : std::malloc(bytes);
}

void AfxFreeMemory(void* block) {
    std::free(block);
}
