// Lookaside lists, fast mutexes and the spin-lock-guarded list helpers.
#include "ke_private.h"
#include "kp/irql.h"

namespace {

constexpr ULONG kLookasideMagic = 0x4C4B504B;  // "KPKL"

void Init(GENERAL_LOOKASIDE* L, POOL_TYPE Type, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
          SIZE_T Size, ULONG Tag, USHORT Depth, const char* Routine) {
    if (Size == 0 || Size > 0xFFFFFFFFu)
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "%s: entry size %zu", Routine, Size);
    std::memset(L, 0, sizeof *L);
    L->Depth = Depth != 0 ? Depth : 4;
    L->MaximumDepth = 256;
    L->Type = Type;
    L->Tag = Tag;
    // An entry must at least hold the free-list link, as on the platform.
    L->Size =
        static_cast<ULONG>(Size < sizeof(SINGLE_LIST_ENTRY) ? sizeof(SINGLE_LIST_ENTRY) : Size);
    L->Allocate = Allocate;
    L->Free = Free;
    InitializeListHead(&L->ListEntry);
    __atomic_store_n(&L->Magic, kLookasideMagic, __ATOMIC_RELEASE);
}

void CheckList(GENERAL_LOOKASIDE* L, const char* Routine) {
    if (__atomic_load_n(&L->Magic, __ATOMIC_ACQUIRE) != kLookasideMagic) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "%s: lookaside list %p is not initialised (or was deleted)", Routine,
                   static_cast<void*>(L));
    }
}

void Inc(ULONG* Counter) {
    __atomic_add_fetch(Counter, 1, __ATOMIC_RELAXED);
}

PVOID Allocate(GENERAL_LOOKASIDE* L, const char* Routine) {
    CheckList(L, Routine);
    Inc(&L->TotalAllocates);
    Inc(&L->AllocateMisses);
    PVOID entry = L->Allocate != nullptr ? L->Allocate(L->Type, L->Size, L->Tag)
                                         : ExAllocatePoolWithTag(L->Type, L->Size, L->Tag);
    if (entry == nullptr) {
        Inc(&L->FailedAllocates);
    } else {
        __atomic_add_fetch(&L->LiveEntries, 1, __ATOMIC_RELAXED);
    }
    return entry;
}

void Free(GENERAL_LOOKASIDE* L, PVOID Entry, const char* Routine) {
    CheckList(L, Routine);
    if (Entry == nullptr) KpBugCheck(KP_BUGCHECK_BAD_POOL_CALLER, "%s: null entry", Routine);
    if (__atomic_sub_fetch(&L->LiveEntries, 1, __ATOMIC_RELAXED) < 0) {
        KpBugCheck(KP_BUGCHECK_BAD_POOL_CALLER,
                   "%s: more entries freed to list %p than allocated from it", Routine,
                   static_cast<void*>(L));
    }
    Inc(&L->TotalFrees);
    Inc(&L->FreeMisses);
    if (L->Free != nullptr) {
        L->Free(Entry);
    } else {
        ExFreePool(Entry);
    }
}

void Delete(GENERAL_LOOKASIDE* L, const char* Routine) {
    CheckList(L, Routine);
    __atomic_store_n(&L->Magic, 0, __ATOMIC_RELEASE);
}

}  // namespace

// ---------------------------------------------------------------------------
// Non-paged lookaside lists
// ---------------------------------------------------------------------------
void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth) {
    UNREFERENCED_PARAMETER(Flags);
    KpAssertIrql(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList");
    Init(&Lookaside->L, NonPagedPool, Allocate, Free, Size, Tag, Depth,
         "ExInitializeNPagedLookasideList");
    KeInitializeSpinLock(&Lookaside->Lock);
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    KpAssertIrql(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList");
    Delete(&Lookaside->L, "ExDeleteNPagedLookasideList");
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    KpAssertIrql(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
    return Allocate(&Lookaside->L, "ExAllocateFromNPagedLookasideList");
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    KpAssertIrql(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList");
    Free(&Lookaside->L, Entry, "ExFreeToNPagedLookasideList");
}

// ---------------------------------------------------------------------------
// Paged lookaside lists
// ---------------------------------------------------------------------------
void ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                    PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                    USHORT Depth) {
    UNREFERENCED_PARAMETER(Flags);
    KpAssertIrql(APC_LEVEL, "ExInitializePagedLookasideList");
    Init(&Lookaside->L, PagedPool, Allocate, Free, Size, Tag, Depth,
         "ExInitializePagedLookasideList");
    ExInitializeFastMutex(&Lookaside->Lock);
}

void ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) {
    KpAssertIrql(APC_LEVEL, "ExDeletePagedLookasideList");
    Delete(&Lookaside->L, "ExDeletePagedLookasideList");
}

PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) {
    KpAssertIrql(APC_LEVEL, "ExAllocateFromPagedLookasideList");
    return Allocate(&Lookaside->L, "ExAllocateFromPagedLookasideList");
}

void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    KpAssertIrql(APC_LEVEL, "ExFreeToPagedLookasideList");
    Free(&Lookaside->L, Entry, "ExFreeToPagedLookasideList");
}

// ---------------------------------------------------------------------------
// Fast mutexes: a synchronization event hands the mutex to one waiter at a time.
// ---------------------------------------------------------------------------
namespace {

void AcquireFast(PFAST_MUTEX FastMutex, const char* Routine) {
    PKTHREAD self = KeGetCurrentThread();
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == self) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "%s: fast mutex %p is already owned by this thread",
                   Routine, static_cast<void*>(FastMutex));
    }
    if (KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, nullptr) !=
        STATUS_WAIT_0) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "%s: wait failed", Routine);
    }
    __atomic_store_n(&FastMutex->Owner, self, __ATOMIC_RELAXED);
    __atomic_store_n(&FastMutex->Count, 0, __ATOMIC_RELAXED);
}

void ReleaseFast(PFAST_MUTEX FastMutex, const char* Routine) {
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != KeGetCurrentThread()) {
        KpBugCheck(KP_BUGCHECK_MUTANT_NOT_OWNED, "%s: fast mutex %p is not owned by this thread",
                   Routine, static_cast<void*>(FastMutex));
    }
    __atomic_store_n(&FastMutex->Owner, nullptr, __ATOMIC_RELAXED);
    __atomic_store_n(&FastMutex->Count, 1, __ATOMIC_RELAXED);
    KeSetEvent(&FastMutex->Event, 0, FALSE);
}

}  // namespace

// ExInitializeFastMutex
void ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, TRUE);
}

// ExAcquireFastMutex
void ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    KpAssertIrql(APC_LEVEL, "ExAcquireFastMutex");
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    AcquireFast(FastMutex, "ExAcquireFastMutex");
    FastMutex->OldIrql = old;
}

// ExReleaseFastMutex
void ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    if (KeGetCurrentIrql() != APC_LEVEL) {
        KpBugCheck(KP_BUGCHECK_IRQL_NOT_GREATER_OR_EQUAL,
                   "ExReleaseFastMutex at %s; the mutex holder is at APC_LEVEL",
                   KpIrqlName(KeGetCurrentIrql()));
    }
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    ReleaseFast(FastMutex, "ExReleaseFastMutex");
    KeLowerIrql(old);
}

// ExTryToAcquireFastMutex
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    KpAssertIrql(APC_LEVEL, "ExTryToAcquireFastMutex");
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, &zero) !=
        STATUS_WAIT_0) {
        KeLowerIrql(old);
        return FALSE;
    }
    FastMutex->Owner = KeGetCurrentThread();
    FastMutex->Count = 0;
    FastMutex->OldIrql = old;
    return TRUE;
}

// ExAcquireFastMutexUnsafe / ExReleaseFastMutexUnsafe
void ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    KpAssertIrql(APC_LEVEL, "ExAcquireFastMutexUnsafe");
    AcquireFast(FastMutex, "ExAcquireFastMutexUnsafe");
}

void ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    KpAssertIrql(APC_LEVEL, "ExReleaseFastMutexUnsafe");
    ReleaseFast(FastMutex, "ExReleaseFastMutexUnsafe");
}

// ---------------------------------------------------------------------------
// ExInterlockedInsertHeadList / ExInterlockedInsertTailList / ExInterlockedRemoveHeadList
// ---------------------------------------------------------------------------
PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return first;
}
