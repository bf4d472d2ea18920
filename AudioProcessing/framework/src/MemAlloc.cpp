// The driver allocator: size-class lookaside lists and pool blocks, each
// with a header that keeps it on its pool type's live list, so that totals
// and leaks can be checked.  The allocator writes no log lines of its own
// (its counters go to the probe layer).
#include "MemAlloc.h"

#include "Probe.h"

// MemBlockHeader on this host.  The drivers' allocator puts five 32-bit words in
// front of every block (two live-list links, the requested size, the lookaside
// list or 0, the pool type) and hands out the address 20 bytes behind the
// block's start.  Here the same five fields, in the same order, have native
// widths, and the header is padded to a multiple of 16 bytes so that the
// caller's data is 16-byte aligned: C++ objects with 8-byte members, 64-bit
// interlocked words and aligned SSE loads all need it.  The size class is still
// computed on the requested size, class = (size + 21) / 16, so the classes, the
// byte totals, the probe counters and the largest request are exactly those of
// the 32-bit layout.  A lookaside entry of class c keeps the same room behind
// the header as on that layout ((c + 1) * 16 - 20 bytes), rounded up to 16; a
// pool block is the header, the request and one spare byte, as there.
namespace {

struct MemBlockHeader {
    LIST_ENTRY Links;  // live list of its pool type
    ULONG Size;        // requested size, without the header
    PVOID Lookaside;   // the lookaside list of its size class, or null for a pool block
    ULONG PoolType;    // ZV_POOL_NONPAGED or the pool type given to MemAllocPool
};

constexpr size_t kHeaderBytes = (sizeof(MemBlockHeader) + 15) & ~static_cast<size_t>(15);
static_assert(kHeaderBytes % 16 == 0, "data behind the header must stay 16-byte aligned");

// Entry of class c: the header and the room the 32-bit layout leaves behind
// its 20-byte header in (c + 1) * 16 bytes, rounded up to 16.
constexpr size_t EntryBytes(ULONG sizeClass) {
    const size_t bytes = kHeaderBytes + (sizeClass + 1) * 16 - 20;
    return (bytes + 15) & ~static_cast<size_t>(15);
}
static_assert(EntryBytes(1) - kHeaderBytes >= 10 && EntryBytes(4) - kHeaderBytes >= 58,
              "each class holds its largest request");

constexpr ULONG kPoolSpareBytes = 1;

// Non-paged live list and total: guarded by the spin lock (any IRQL up to
// DISPATCH_LEVEL).  Paged: guarded by the mutex (PASSIVE_LEVEL).  The totals are
// changed only under their lock, interlocked so that the statistics can be
// read without it.
KSPIN_LOCK g_nonPagedLock;
KMUTEX g_pagedMutex;
LIST_ENTRY g_nonPagedBlocks;
LIST_ENTRY g_pagedBlocks;
volatile LONG g_nonPagedBytes = 0;
volatile LONG g_pagedBytes = 0;
volatile LONG g_largestRequest = 0;

NPAGED_LOOKASIDE_LIST g_nonPagedClasses[MEM_CLASS_COUNT];
PAGED_LOOKASIDE_LIST g_pagedClasses[MEM_CLASS_COUNT];
// Which classes got their lookaside lists at MemInitialize; only those are
// served from them and deleted at MemShutdown, whatever MemClassEnabled says
// in between.
bool g_classReady[MEM_CLASS_COUNT];

MemBlockHeader* HeaderOf(PVOID data) {
    return reinterpret_cast<MemBlockHeader*>(static_cast<PUCHAR>(data) - kHeaderBytes);
}

// Records `size` as the largest request when it is.  An interlocked maximum: callers
// race at DISPATCH_LEVEL, and a smaller request must never overwrite a larger.
void NoteRequestSize(ULONG size) {
    ULONG largest = static_cast<ULONG>(InterlockedRead(&g_largestRequest));
    while (size > largest) {
        const ULONG seen = static_cast<ULONG>(InterlockedCompareExchange(
            &g_largestRequest, static_cast<LONG>(size), static_cast<LONG>(largest)));
        if (seen == largest) {
            ProbeSetCounter(PROBE_COUNTER_LARGEST_REQUEST, size);
            return;
        }
        largest = seen;
    }
}

void LockPagedList() {
    KeWaitForSingleObject(&g_pagedMutex, Executive, KernelMode, FALSE, nullptr);
}
void UnlockPagedList() {
    KeReleaseMutex(&g_pagedMutex, FALSE);
}

}  // namespace

ULONG MemClassEnabled[MEM_CLASS_COUNT] = {1, 1, 1, 1, 1};

/*
 * MemInitialize: once in DriverEntry, after the module registrations and before
 * any allocation.  PASSIVE_LEVEL.
 */
void MemInitialize() {
    KeInitializeSpinLock(&g_nonPagedLock);
    KeInitializeMutex(&g_pagedMutex, 0);
    InitializeListHead(&g_nonPagedBlocks);
    InitializeListHead(&g_pagedBlocks);
    InterlockedExchange(&g_nonPagedBytes, 0);
    InterlockedExchange(&g_pagedBytes, 0);
    for (ULONG c = 0; c < MEM_CLASS_COUNT; ++c) {
        g_classReady[c] = MemClassEnabled[c] != 0;
        if (!g_classReady[c]) continue;
        ExInitializePagedLookasideList(&g_pagedClasses[c], nullptr, nullptr, 0, EntryBytes(c),
                                       ZV_POOL_TAG_ZCAM, 0);
        ExInitializeNPagedLookasideList(&g_nonPagedClasses[c], nullptr, nullptr, 0, EntryBytes(c),
                                        ZV_POOL_TAG_ZCAM, 0);
    }
    InterlockedExchange(&g_largestRequest, 0);
}

/*
 * MemShutdown: once at unload.  Deletes the lookaside lists; live blocks stay
 * allocated and counted.  PASSIVE_LEVEL.
 */
void MemShutdown() {
    for (ULONG c = 0; c < MEM_CLASS_COUNT; ++c) {
        if (!g_classReady[c]) continue;
        g_classReady[c] = false;
        ExDeletePagedLookasideList(&g_pagedClasses[c]);
        ExDeleteNPagedLookasideList(&g_nonPagedClasses[c]);
    }
}

/*
 * MemAllocPool: a block of `size` bytes (not cleared) of pool type 0 (non-paged,
 * IRQL <= DISPATCH_LEVEL) or 1 (paged, PASSIVE_LEVEL).  Null when none is left or
 * the size cannot be served; the largest request is noted either way.
 */
PVOID MemAllocPool(ULONG poolType, ULONG size) {
    PVOID block = nullptr;
    PVOID lookaside = nullptr;
    // A size whose block size would not fit in 32 bits is refused before its
    // class is computed: the class of such a size would wrap to a small one.
    if (size <= MEM_MAX_REQUEST) {
        const ULONG sizeClass = (size + 21) / 16;
        if (sizeClass < MEM_CLASS_COUNT && g_classReady[sizeClass] &&
            MemClassEnabled[sizeClass] != 0) {
            if (poolType == ZV_POOL_PAGED) {
                lookaside = &g_pagedClasses[sizeClass];
                block = ExAllocateFromPagedLookasideList(&g_pagedClasses[sizeClass]);
            } else if (poolType == ZV_POOL_NONPAGED) {
                lookaside = &g_nonPagedClasses[sizeClass];
                block = ExAllocateFromNPagedLookasideList(&g_nonPagedClasses[sizeClass]);
            }
        }
        if (lookaside == nullptr) {
            block = ExAllocatePoolWithTag(
                static_cast<POOL_TYPE>(poolType),
                kHeaderBytes + static_cast<SIZE_T>(size) + kPoolSpareBytes, ZV_POOL_TAG_ZCAM);
        }
    }

    if (block != nullptr) {
        auto* header = static_cast<MemBlockHeader*>(block);
        header->Size = size;
        header->Lookaside = lookaside;
        header->PoolType = poolType;
        if (poolType == ZV_POOL_NONPAGED) {
            KIRQL oldIrql;
            KeAcquireSpinLock(&g_nonPagedLock, &oldIrql);
            InsertTailList(&g_nonPagedBlocks, &header->Links);
            InterlockedExchangeAdd(&g_nonPagedBytes, static_cast<LONG>(size));
            KeReleaseSpinLock(&g_nonPagedLock, oldIrql);
            ProbeAddCounter(PROBE_COUNTER_NONPAGED_BYTES, static_cast<LONGLONG>(size));
        } else {
            LockPagedList();
            InsertTailList(&g_pagedBlocks, &header->Links);
            InterlockedExchangeAdd(&g_pagedBytes, static_cast<LONG>(size));
            UnlockPagedList();
            ProbeAddCounter(PROBE_COUNTER_PAGED_BYTES, static_cast<LONGLONG>(size));
        }
    }

    NoteRequestSize(size);
    return block != nullptr ? static_cast<PUCHAR>(block) + kHeaderBytes : nullptr;
}

/*
 * MemFreeBlock: gives back a block of MemAllocPool (null is ignored), at the
 * IRQL its pool type allows.
 */
void MemFreeBlock(PVOID data) {
    if (data == nullptr) return;
    MemBlockHeader* header = HeaderOf(data);
    const ULONG size = header->Size;
    const ULONG poolType = header->PoolType;
    PVOID lookaside = header->Lookaside;

    if (poolType == ZV_POOL_NONPAGED) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&g_nonPagedLock, &oldIrql);
        RemoveEntryList(&header->Links);
        InterlockedExchangeAdd(&g_nonPagedBytes, -static_cast<LONG>(size));
        KeReleaseSpinLock(&g_nonPagedLock, oldIrql);
        ProbeAddCounter(PROBE_COUNTER_NONPAGED_BYTES, -static_cast<LONGLONG>(size));
    } else {
        LockPagedList();
        RemoveEntryList(&header->Links);
        InterlockedExchangeAdd(&g_pagedBytes, -static_cast<LONG>(size));
        UnlockPagedList();
        ProbeAddCounter(PROBE_COUNTER_PAGED_BYTES, -static_cast<LONGLONG>(size));
    }

    if (lookaside == nullptr) {
        ExFreePoolWithTag(header, ZV_POOL_TAG_ZCAM);
    } else if (poolType == ZV_POOL_NONPAGED) {
        ExFreeToNPagedLookasideList(static_cast<PNPAGED_LOOKASIDE_LIST>(lookaside), header);
    } else {
        ExFreeToPagedLookasideList(static_cast<PPAGED_LOOKASIDE_LIST>(lookaside), header);
    }
}

PVOID MemAlloc(ULONG size) {
    return MemAllocPool(ZV_POOL_NONPAGED, size);
}

void MemFree(PVOID data) {
    MemFreeBlock(data);
}

void MemGetStatistics(MemStatistics* stats) {
    if (stats == nullptr) return;
    stats->NonPagedBytes = static_cast<ULONG>(InterlockedRead(&g_nonPagedBytes));
    stats->PagedBytes = static_cast<ULONG>(InterlockedRead(&g_pagedBytes));
    stats->LargestRequest = static_cast<ULONG>(InterlockedRead(&g_largestRequest));
}

ULONG MemBlockSizeClass(PVOID data) {
    if (data == nullptr) return 0;
    PVOID lookaside = HeaderOf(data)->Lookaside;
    for (ULONG c = 0; c < MEM_CLASS_COUNT; ++c) {
        if (lookaside == &g_nonPagedClasses[c] || lookaside == &g_pagedClasses[c]) return c;
    }
    return 0;
}

namespace {

// Walks one live list: the number of blocks when every link is mutual, every
// block is of the list's kind and the sizes add up to `total`, else -1.  The
// caller holds the list's lock.
LONG CheckLiveList(LIST_ENTRY* head, ULONG total, bool nonPagedList) {
    LONG blocks = 0;
    ULONG bytes = 0;
    if (head->Flink->Blink != head) return -1;
    for (LIST_ENTRY* entry = head->Flink; entry != head; entry = entry->Flink) {
        if (entry->Flink->Blink != entry) return -1;
        const MemBlockHeader* header = CONTAINING_RECORD(entry, MemBlockHeader, Links);
        if ((header->PoolType == ZV_POOL_NONPAGED) != nonPagedList) return -1;
        bytes += header->Size;
        ++blocks;
    }
    return bytes == total ? blocks : -1;
}

}  // namespace

LONG MemCheckLiveLists() {
    KIRQL oldIrql;
    KeAcquireSpinLock(&g_nonPagedLock, &oldIrql);
    LONG nonPaged = CheckLiveList(&g_nonPagedBlocks,
                                  static_cast<ULONG>(InterlockedRead(&g_nonPagedBytes)), true);
    KeReleaseSpinLock(&g_nonPagedLock, oldIrql);

    LockPagedList();
    LONG paged =
        CheckLiveList(&g_pagedBlocks, static_cast<ULONG>(InterlockedRead(&g_pagedBytes)), false);
    UnlockPagedList();

    if (nonPaged < 0 || paged < 0) return -1;
    return nonPaged + paged;
}
