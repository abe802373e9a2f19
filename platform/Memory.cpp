#include "platform/Memory.h"

#include <atomic>
#include <cstdlib>

namespace {
// Every allocator of every thread counts down the same injection, so it is
// atomic; with injection off (the normal case) a check is one plain load.
std::atomic<long> g_failCountdown{-1};
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
    return zeroInit ? std::calloc(1, bytes) : std::malloc(bytes);
}

void AfxFreeMemory(void* block) {
    std::free(block);
}
