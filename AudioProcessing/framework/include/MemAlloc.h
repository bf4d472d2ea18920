// Driver allocator: every allocation of both drivers, their modules, the echo
// canceller engine and the signal-processing primitives goes through here.
#pragma once

#include <wdm.h>

// Pool types of MemAllocPool.
#define ZV_POOL_NONPAGED 0
#define ZV_POOL_PAGED 1

PVOID MemAllocPool(ULONG poolType, ULONG size);
void MemFreeBlock(PVOID data);
// Non-paged memory of at least `size` bytes, not cleared; null when none is left.
PVOID MemAlloc(ULONG size);
// Gives a block of MemAlloc back; null is ignored.
void MemFree(PVOID data);
