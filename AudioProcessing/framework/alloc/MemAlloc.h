// Driver allocator: every allocation of both drivers, their modules, the echo
// canceller engine and the signal-processing primitives goes through here.
//
// Every block carries a header (MemBlockHeader) and sits on a live list of its
// pool type with a running byte total; requests of up to 58 bytes come from five
// size classes of lookaside lists, larger ones from the pool, all with the tag
// "ZCam".  The totals and the largest request go to the probe counters 4
// (paged bytes), 5 (non-paged bytes) and 6 (largest request).
#pragma once

#include <wdm.h>

// Pool types of MemAllocPool.
#define ZV_POOL_NONPAGED 0
#define ZV_POOL_PAGED 1

// The allocator's pool tag 'ZCam' (the value of that character constant).
#define ZV_POOL_TAG_ZCAM (((ULONG)'Z' << 24) | ((ULONG)'C' << 16) | ((ULONG)'a' << 8) | (ULONG)'m')

// Number of size classes; class = (size + 21) / 16, classes 1 to 4 are served
// from lookaside lists (class 0 is never asked for).
#define MEM_CLASS_COUNT 5
// Largest request that can be served: size + 21 must fit in 32 bits.
#define MEM_MAX_REQUEST (0xFFFFFFFFu - 21u)

// A block of `size` bytes of the given pool type (ZV_POOL_NONPAGED at any IRQL
// up to DISPATCH_LEVEL, ZV_POOL_PAGED at PASSIVE_LEVEL); null when none is left
// or the size is above MEM_MAX_REQUEST.  Not cleared.
PVOID MemAllocPool(ULONG poolType, ULONG size);
// Gives back a block of MemAllocPool; null is ignored.
void MemFreeBlock(PVOID data);
// Non-paged memory of at least `size` bytes, not cleared; null when none is left.
PVOID MemAlloc(ULONG size);
// Gives a block of MemAlloc back; null is ignored.
void MemFree(PVOID data);

// Once in DriverEntry, after the log modules registered: locks, lists, totals
// and the lookaside lists of every enabled class.  PASSIVE_LEVEL.
void MemInitialize();
// Once at unload: deletes the lookaside lists (paged first per class).  Blocks
// still live stay allocated and counted.  PASSIVE_LEVEL.
void MemShutdown();

// One flag per size class, all 1: a class whose flag is 0 when MemInitialize
// runs gets no lookaside lists and its blocks come from the pool.
extern ULONG MemClassEnabled[MEM_CLASS_COUNT];

// ---------------------------------------------------------------------------
// Diagnostics (any IRQL up to DISPATCH_LEVEL unless said otherwise)
// ---------------------------------------------------------------------------
struct MemStatistics {
    ULONG NonPagedBytes;   // sum of the requested sizes of the live non-paged blocks
    ULONG PagedBytes;      // the same for the paged blocks
    ULONG LargestRequest;  // the largest size ever asked for, served or not
};
void MemGetStatistics(MemStatistics* stats);

// Where a live block came from: its size class (1 to 4) when it came from a
// lookaside list, 0 when it came from the pool.
ULONG MemBlockSizeClass(PVOID data);

// Walks both live lists and checks their links and byte totals.  Returns the
// number of live blocks, or -1 when a list is broken or a total does not match
// the blocks on it.  PASSIVE_LEVEL (takes the paged list's mutex).
LONG MemCheckLiveLists();
