// Interrupt levels and spin locks.
//
// The level is a per-thread value: raising it does not stop the host from
// scheduling, but every routine with a level rule checks it, so a wait under a
// spin lock or a registry call from a completion routine shows up as a bug check.
#include <thread>

#include "ke_private.h"
#include "kp/irql.h"

namespace {

thread_local KiThreadState tState;

// A spin lock word holds its owner: the address of the owner's thread state, so
// that the owner can be told from every other thread without a lookup.
ULONG_PTR SelfToken() {
    return reinterpret_cast<ULONG_PTR>(&tState);
}

}  // namespace

KiThreadState& KiCurrent() {
    return tState;
}

const char* KpIrqlName(KIRQL Irql) {
    static thread_local char other[16];
    switch (Irql) {
        case PASSIVE_LEVEL:
            return "PASSIVE_LEVEL";
        case APC_LEVEL:
            return "APC_LEVEL";
        case DISPATCH_LEVEL:
            return "DISPATCH_LEVEL";
        default:
            std::snprintf(other, sizeof other, "IRQL %u", Irql);
            return other;
    }
}

void KpAssertIrql(KIRQL MaxLevel, const char* RoutineName) {
    KIRQL irql = tState.Irql;
    if (irql > MaxLevel) {
        KpBugCheck(KP_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, "%s called at %s; allowed at most %s",
                   RoutineName, KpIrqlName(irql), KpIrqlName(MaxLevel));
    }
}

ULONG KpHeldSpinLockCount(void) {
    return tState.SpinLocksHeld;
}

// ---------------------------------------------------------------------------
// KeGetCurrentIrql
// ---------------------------------------------------------------------------
KIRQL KeGetCurrentIrql(void) {
    return tState.Irql;
}

// ---------------------------------------------------------------------------
// KeRaiseIrql
// ---------------------------------------------------------------------------
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < tState.Irql || NewIrql > HIGH_LEVEL) {
        KpBugCheck(KP_BUGCHECK_IRQL_NOT_GREATER_OR_EQUAL, "KeRaiseIrql to %u from the higher %s",
                   NewIrql, KpIrqlName(tState.Irql));
    }
    *OldIrql = tState.Irql;
    tState.Irql = NewIrql;
}

// ---------------------------------------------------------------------------
// KeLowerIrql
// ---------------------------------------------------------------------------
void KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > tState.Irql) {
        KpBugCheck(KP_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, "KeLowerIrql to %s from the lower %s",
                   KpIrqlName(NewIrql), KpIrqlName(tState.Irql));
    }
    if (NewIrql < DISPATCH_LEVEL && tState.SpinLocksHeld != 0) {
        KpBugCheck(KP_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL,
                   "KeLowerIrql to %s while holding %u spin lock(s)", KpIrqlName(NewIrql),
                   tState.SpinLocksHeld);
    }
    tState.Irql = NewIrql;
}

// ---------------------------------------------------------------------------
// KeRaiseIrqlToDpcLevel
// ---------------------------------------------------------------------------
KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// ---------------------------------------------------------------------------
// Spin locks
// ---------------------------------------------------------------------------
namespace {

bool TryTake(PKSPIN_LOCK SpinLock) {
    ULONG_PTR expected = 0;
    return __atomic_compare_exchange_n(SpinLock, &expected, SelfToken(), false, __ATOMIC_ACQUIRE,
                                       __ATOMIC_RELAXED);
}

void Take(PKSPIN_LOCK SpinLock, const char* Routine) {
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == SelfToken()) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "%s: spin lock %p is already held by this thread (deadlock)", Routine,
                   static_cast<void*>(SpinLock));
    }
    // Host threads can be preempted while holding the lock, so spin politely.
    for (unsigned spins = 0; !TryTake(SpinLock); ++spins) {
        if (spins > 64) std::this_thread::yield();
    }
    ++tState.SpinLocksHeld;
}

void Give(PKSPIN_LOCK SpinLock, const char* Routine) {
    ULONG_PTR owner = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
    if (owner != SelfToken()) {
        KpBugCheck(KP_BUGCHECK_SPIN_LOCK_NOT_OWNED, "%s: spin lock %p is %s", Routine,
                   static_cast<void*>(SpinLock),
                   owner == 0 ? "not held" : "held by another thread");
    }
    if (tState.Irql < DISPATCH_LEVEL) {
        KpBugCheck(KP_BUGCHECK_IRQL_NOT_GREATER_OR_EQUAL, "%s: spin lock %p released at %s",
                   Routine, static_cast<void*>(SpinLock), KpIrqlName(tState.Irql));
    }
    --tState.SpinLocksHeld;
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

void RaiseForLock(PKIRQL OldIrql, const char* Routine) {
    KpAssertIrql(DISPATCH_LEVEL, Routine);
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
}

void AssertAtDpc(const char* Routine) {
    if (tState.Irql < DISPATCH_LEVEL) {
        KpBugCheck(KP_BUGCHECK_IRQL_NOT_GREATER_OR_EQUAL, "%s called at %s; needs DISPATCH_LEVEL",
                   Routine, KpIrqlName(tState.Irql));
    }
}

}  // namespace

// KeInitializeSpinLock
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

// KeAcquireSpinLock
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    RaiseForLock(OldIrql, "KeAcquireSpinLock");
    Take(SpinLock, "KeAcquireSpinLock");
}

// KeAcquireSpinLockRaiseToDpc
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old;
    KeAcquireSpinLock(SpinLock, &old);
    return old;
}

// KeReleaseSpinLock
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (tState.Irql != DISPATCH_LEVEL) {
        KpBugCheck(KP_BUGCHECK_IRQL_NOT_GREATER_OR_EQUAL,
                   "KeReleaseSpinLock: spin lock %p released at %s", static_cast<void*>(SpinLock),
                   KpIrqlName(tState.Irql));
    }
    Give(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}

// KeAcquireSpinLockAtDpcLevel
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    AssertAtDpc("KeAcquireSpinLockAtDpcLevel");
    Take(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

// KeReleaseSpinLockFromDpcLevel
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    Give(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

// KeTryToAcquireSpinLockAtDpcLevel
BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    AssertAtDpc("KeTryToAcquireSpinLockAtDpcLevel");
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == SelfToken()) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "KeTryToAcquireSpinLockAtDpcLevel: spin lock %p already held",
                   static_cast<void*>(SpinLock));
    }
    if (!TryTake(SpinLock)) return FALSE;
    ++tState.SpinLocksHeld;
    return TRUE;
}

// KeTestSpinLock: TRUE when the lock looks free.
BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) {
    return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0;
}

// ---------------------------------------------------------------------------
// KeEnterCriticalRegion / KeLeaveCriticalRegion: there are no APCs to hold off;
// the depth is kept so that an unbalanced leave is caught.
// ---------------------------------------------------------------------------
void KeEnterCriticalRegion(void) {
    ++tState.CriticalRegion;
}

void KeLeaveCriticalRegion(void) {
    if (tState.CriticalRegion <= 0) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "KeLeaveCriticalRegion without KeEnterCriticalRegion");
    }
    --tState.CriticalRegion;
}
