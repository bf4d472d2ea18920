// OSDep: the remove lock of the filter device objects.  Its log module
// (LogModule<LogModuleOSDep>) registers but writes no lines.
#include "RemoveLock.h"

#include "OSDep.h"
#include "platform/io.h"

namespace {

PVOID volatile g_watcher = nullptr;  // const RemoveLockWatcher*

const RemoveLockWatcher* Watcher() {
    return static_cast<const RemoveLockWatcher*>(InterlockedReadPointer(&g_watcher));
}

LONG ReadRemoving(PRemoveLock lock) {
    return InterlockedRead(&lock->Removing);
}

// One reference less; the last one wakes the remover.
void DropReference(PRemoveLock lock) {
    if (InterlockedDecrement(&lock->Count) == 0) KeSetEvent(&lock->Event, 0, FALSE);
}

}  // namespace

void InitializeRemoveLock(PRemoveLock lock) {
    lock->Removing = 0;
    lock->Count = 1;  // the device's own reference
    KeInitializeEvent(&lock->Event, NotificationEvent, FALSE);
}

/*
 * AcquireRemoveLock: counts the caller in unless the removal has started.  An
 * acquire that races with the start of the removal either is counted before the
 * remover drops its references (and is waited for) or sees the flag and backs
 * out; both operations are sequentially consistent.  IRQL <= DISPATCH_LEVEL.
 */
NTSTATUS AcquireRemoveLock(PVOID tag, PRemoveLock lock) {
    InterlockedIncrement(&lock->Count);
    if (ReadRemoving(lock) != 0) {
        DropReference(lock);
        return STATUS_DELETE_PENDING;
    }
    if (const RemoveLockWatcher* watcher = Watcher()) watcher->Acquired(lock, tag);
    return STATUS_SUCCESS;
}

void ReleaseRemoveLock(PVOID tag, PRemoveLock lock) {
    // The watcher hears of the release before the count falls: after that the
    // remover may already have gone on and freed the lock.
    if (const RemoveLockWatcher* watcher = Watcher()) watcher->Released(lock, tag);
    DropReference(lock);
}

/*
 * ReleaseRemoveLockAndWait: the removal.  The caller holds one acquire; after
 * the return no request holds the lock and every later acquire fails.
 * PASSIVE_LEVEL.
 */
void ReleaseRemoveLockAndWait(PVOID tag, PRemoveLock lock) {
    InterlockedExchange(&lock->Removing, 1);
    DropReference(lock);           // the device's own reference
    ReleaseRemoveLock(tag, lock);  // the caller's
    KeWaitForSingleObject(&lock->Event, Executive, KernelMode, FALSE, nullptr);
}

LONG RemoveLockCount(PRemoveLock lock) {
    return InterlockedRead(&lock->Count);
}

void RemoveLockSetWatcher(const RemoveLockWatcher* watcher) {
    InterlockedExchangePointer(&g_watcher, const_cast<RemoveLockWatcher*>(watcher));
}

/*
 * OsProbeAndLockPages: MmProbeAndLockPages in its status form (the host has
 * no structured exceptions to catch its failure with).
 */
NTSTATUS OsProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation) {
    return KpProbeAndLockPages(mdl, accessMode, operation);
}

extern "C" NTSTATUS OsReferenceObjectByHandle(HANDLE handle, PVOID* object) {
    return ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, object,
                                     nullptr);
}
