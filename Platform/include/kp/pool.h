// Host-only: pool accounting and fault injection.
#pragma once

#include <string>
#include <vector>

#include "platform/ntdef.h"

// Fill patterns: new blocks and blocks about to be freed.
#define KP_POOL_ALLOC_FILL 0xCD
#define KP_POOL_FREE_FILL 0xDD

struct KpPoolTagUsage {
    ULONG Tag;
    ULONGLONG LiveBytes;
    ULONGLONG LiveBlocks;
    ULONGLONG TotalAllocations;   // successful ones
    ULONGLONG FailedAllocations;  // injected or refused
};

// Live blocks and bytes of one tag (0 = all tags together).
KpPoolTagUsage KpPoolUsage(ULONG Tag);
std::vector<KpPoolTagUsage> KpPoolUsageByTag(void);

// Every allocation gets a serial number that only grows.  Leak checks remember
// the serial at the start and ask for what is still live from after it.
ULONGLONG KpPoolSerial(void);
struct KpPoolBlockInfo {
    const void* Address;
    SIZE_T Size;
    ULONG Tag;
    ULONG PoolType;
    ULONGLONG Serial;
};
std::vector<KpPoolBlockInfo> KpPoolLiveBlocks(ULONGLONG SinceSerial = 0, ULONG Tag = 0);
// "3 blocks, 96 bytes: 'ZCam' 32 bytes #41, ..." (empty when none).
std::string KpPoolDescribeLiveBlocks(ULONGLONG SinceSerial = 0, ULONG Tag = 0);

// Fault injection.  Counting only allocations of Tag (0 = any tag), the Nth from
// now (1 = the next one) fails, and so do the Count - 1 after it.  One rule per
// tag; a new rule for the same tag replaces the old one.
void KpPoolFailAllocation(ULONG Tag, ULONG Nth, ULONG Count = 1);
void KpPoolClearFailures(void);

// The tag as text ("ZCam" for the literal 'ZCam'), non-printable bytes as '.'.
std::string KpPoolTagText(ULONG Tag);
