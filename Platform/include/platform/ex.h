// Executive support: pool memory, lookaside lists, fast mutexes and the
// spin-lock-protected list helpers.
//
// Pool blocks carry their tag and are accounted per tag; new memory is filled with
// a non-zero pattern (code must never assume zeroed memory); a free of anything
// that is not a live pool block is a bug check.  kp/pool.h reads the accounts and
// injects failures.
#pragma once

#include "platform/ntdef.h"
#include "platform/ke.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    NonPagedPoolNx = 512,
} POOL_TYPE;

// Non-paged pool: IRQL <= DISPATCH_LEVEL; paged pool: IRQL <= APC_LEVEL.
// Returns NULL on failure (including injected failures).  A size of 0 gives a
// valid, distinct block.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
// Tag 'None'.
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
// A tag that differs from the allocation's is a bug check.
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void ExFreePool(PVOID P);

// ---------------------------------------------------------------------------
// Fast mutexes: not recursive; acquiring raises to APC_LEVEL and needs
// IRQL <= APC_LEVEL; release by a non-owner is a bug check.
// ---------------------------------------------------------------------------
typedef struct _FAST_MUTEX {
    LONG Count;  // 1 free, 0 owned
    PKTHREAD Owner;
    ULONG Contention;
    KEVENT Event;  // synchronization event: the hand-over to one waiter
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

void ExInitializeFastMutex(PFAST_MUTEX FastMutex);
void ExAcquireFastMutex(PFAST_MUTEX FastMutex);
void ExReleaseFastMutex(PFAST_MUTEX FastMutex);
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
// The "unsafe" forms leave the IRQL alone; the caller is at APC_LEVEL or in a
// critical region.
void ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
void ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);

// ---------------------------------------------------------------------------
// Lookaside lists.  Entries come from the pool with the list's tag (or from the
// caller's Allocate/Free routines) and are not zeroed.  The host keeps no cache
// of free entries, so a use after free stays visible to the address sanitizer;
// the counters are kept as the platform keeps them, plus the live entries.
// Non-paged lists are usable at IRQL <= DISPATCH_LEVEL, paged ones at <= APC_LEVEL.
// ---------------------------------------------------------------------------
typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef VOID (*PFREE_FUNCTION)(PVOID Buffer);

typedef struct _GENERAL_LOOKASIDE {
    SINGLE_LIST_ENTRY ListHead;  // free entries (kept empty on the host)
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;  // every allocate call
    ULONG AllocateMisses;  // allocations that went to the pool (all, here)
    ULONG TotalFrees;      // every free call
    ULONG FreeMisses;      // frees that went to the pool (all, here)
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;  // bytes per entry
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    ULONG LastAllocateMisses;
    ULONG FailedAllocates;  // host: allocate calls that returned NULL
    LONG LiveEntries;       // host: entries handed out and not yet freed
    ULONG Magic;            // host: set while the list is initialised
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;

typedef struct _NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
    KSPIN_LOCK Lock;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

typedef struct _PAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
    FAST_MUTEX Lock;
} PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);

void ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                    PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                    USHORT Depth);
void ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);

// ---------------------------------------------------------------------------
// Lists guarded by a spin lock (any IRQL <= DISPATCH_LEVEL).  The insert forms
// return the entry that was first (last) before, or NULL when the list was empty;
// the remove form returns NULL for an empty list.
// ---------------------------------------------------------------------------
PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock);
PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock);
PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
