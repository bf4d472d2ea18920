// The remove lock of a filter device object: every request takes it on entry
// and gives it back when it leaves the filter; the removal of the device waits
// until every request has given it back.
//
// Lock-free: the count changes only by interlocked operations, the removing
// flag is written once by the remover, and an event wakes the remover.
// Acquire and release run at any IRQL up to DISPATCH_LEVEL; the removal's wait
// at PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

struct RemoveLock {
    LONG Removing;  // 0 until the removal starts, then 1 (written by the remover)
    LONG Count;     // 1 (the device's own reference) plus one per holder
    KEVENT Event;   // notification event, set when the count reaches 0
};
typedef RemoveLock* PRemoveLock;

// removing 0, count 1, event not signalled.
void InitializeRemoveLock(PRemoveLock lock);
// STATUS_SUCCESS: the caller holds the lock and must release it once.
// STATUS_DELETE_PENDING once the removal started: not held, not to be released.
// tag (the request) is not used.
NTSTATUS AcquireRemoveLock(PVOID tag, PRemoveLock lock);
// Gives back one successful acquire.
void ReleaseRemoveLock(PVOID tag, PRemoveLock lock);
// Starts the removal: sets removing, gives back the device's own reference and
// the caller's, and waits until no request holds the lock.  The caller holds
// the lock (one successful acquire) on entry.  PASSIVE_LEVEL.
void ReleaseRemoveLockAndWait(PVOID tag, PRemoveLock lock);
// The current count (1 plus holders before removal), for diagnostics.
LONG RemoveLockCount(PRemoveLock lock);

// Diagnostics: a watcher that sees every successful acquire and every release
// with its tag, so that a test can find a request that releases twice or
// never.  Its routines run on the caller's thread at the caller's IRQL (up to
// DISPATCH_LEVEL) and must not block.  Null (the default) watches nothing.
struct RemoveLockWatcher {
    void (*Acquired)(PRemoveLock lock, PVOID tag);
    void (*Released)(PRemoveLock lock, PVOID tag);
};
void RemoveLockSetWatcher(const RemoveLockWatcher* watcher);
