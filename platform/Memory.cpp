#include "platform/Memory.h"

#include <cstdlib>

namespace {
long g_failCountdown = -1;
}

bool AfxAllocFailureDue() {
    if (g_failCountdown < 0) return false;
    if (g_failCountdown == 0) {
        g_failCountdown = -1;
        return true;
    }
    --g_failCountdown;
    return false;
}

void AfxInjectAllocFailure(long countdown) {
    g_failCountdown = countdown;
}

void* AfxAllocMemory(std::size_t bytes, bool zeroInit) {
    if (AfxAllocFailureDue()) return nullptr;
    if (bytes == 0) bytes = 1; // a valid, distinct block even for empty images
    return zeroInit ? std::calloc(1, bytes) : std::malloc(bytes);
}

void AfxFreeMemory(void* block) {
    std::free(block);
}
