// Heap blocks for buffers whose size comes from file data. Allocation failure
// is a result (null), never an exception, so callers can report it the way
// their interface says. Tests can make the n-th following allocation fail to
// drive the failure paths.
//
// Threads: all of these may be called from any thread. The injected failure
// is one for the whole process: the n-th allocation of whichever thread
// comes to it fails.
#pragma once

#include <cstddef>

// Returns null when the block cannot be had. zeroInit fills it with zeros.
void* AfxAllocMemory(std::size_t bytes, bool zeroInit);
void AfxFreeMemory(void* block);

// Makes the allocation after `countdown` successful ones fail (0: the next
// one). A negative countdown switches injection off. Test use only.
void AfxInjectAllocFailure(long countdown);

// True when an injected failure is due now; consumes it. Other allocators of
// the framework (global memory, device bitmaps) consult it too.
bool AfxAllocFailureDue();
