// The framework's dependencies on its operating system that are not plain
// kernel calls: the one atomic read idiom of kernel code and the status form
// of locking a buffer's pages.  Kernel code shares words between threads only
// through Interlocked* and InterlockedRead (sequentially consistent).
#pragma once

#include <wdm.h>

// A shared 32-bit word read with the interlocked operations' ordering.
inline LONG InterlockedRead(LONG volatile* word) {
    return InterlockedCompareExchange(word, 0, 0);
}
// A shared pointer read likewise.
inline PVOID InterlockedReadPointer(PVOID volatile* word) {
    return InterlockedCompareExchangePointer(word, nullptr, nullptr);
}

// A referenced object of a handle the caller just got (a thread's handle from
// PsCreateSystemThread), for any object type.  PASSIVE_LEVEL.  Its own
// unlinked symbol: the tests of a failed reference put theirs in front.
extern "C" NTSTATUS OsReferenceObjectByHandle(HANDLE handle, PVOID* object);

// Probes and locks the pages an MDL describes for accessMode; a failure (an
// address the caller may not use) is a status, never an exception.
// PASSIVE_LEVEL or APC_LEVEL.
NTSTATUS OsProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation);
