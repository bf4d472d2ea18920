// The stream worker: one thread per driver that hands completed capture
// requests, queued by their completion routines at up to DISPATCH_LEVEL, to
// the filter logic at PASSIVE_LEVEL, oldest first.
#include "StreamWorker.h"

#include "CGenDisp.h"
#include "OSDep.h"
#include "Probe.h"
#include "ZDebug.h"
#include "platform/zw.h"

namespace {
using ThisModule = LogModule<LogModuleDrvMain>;

// The thread was created but its object could not be referenced: the exit
// event is then the only way to wait for it.
bool ThreadUnreferenced = false;
}  // namespace

KEVENT ThreadExitEvent;
PVOID ReadWriteThreadObject;
KEVENT ThreadStopEvent;
volatile LONG ReadWriteThreadRunning = 0;
LIST_ENTRY CaptureQueue;
KSPIN_LOCK CaptureQueueLock;
KEVENT CaptureWorkEvent;
NPAGED_LOOKASIDE_LIST CaptureEntryLookaside;

NTSTATUS StreamWorkerStart() {
    ReadWriteThreadObject = nullptr;
    ThreadUnreferenced = false;
    InterlockedExchange(&ReadWriteThreadRunning, 0);
    KeInitializeEvent(&ThreadStopEvent, NotificationEvent, FALSE);
    KeClearEvent(&ThreadStopEvent);
    KeInitializeSpinLock(&CaptureQueueLock);
    InitializeListHead(&CaptureQueue);
    KeInitializeEvent(&CaptureWorkEvent, NotificationEvent, FALSE);
    KeClearEvent(&CaptureWorkEvent);
    ExInitializeNPagedLookasideList(
        &CaptureEntryLookaside, nullptr, nullptr, 0, sizeof(CaptureQueueEntry),
        ((ULONG)'P' << 24) | ((ULONG)'A' << 16) | ((ULONG)'V' << 8) | (ULONG)'Z', 0);
    return StartReadWriteThread();
}

void StreamWorkerFree() {
    ExDeleteNPagedLookasideList(&CaptureEntryLookaside);
}

NTSTATUS StartReadWriteThread() {
    KeInitializeEvent(&ThreadExitEvent, NotificationEvent, TRUE);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           ReadWriteThread, nullptr);
    if (NT_SUCCESS(status)) {
        KeResetEvent(&ThreadExitEvent);
        InterlockedExchange(&ReadWriteThreadRunning, 1);
        status = OsReferenceObjectByHandle(handle, &ReadWriteThreadObject);
        if (!NT_SUCCESS(status)) {
            ReadWriteThreadObject = nullptr;
            ThreadUnreferenced = true;
        }
        ZwClose(handle);
    } else {
        status = STATUS_UNSUCCESSFUL;
    }
    ThisModule::ModulePrint(1, "ReadWriteThread(): Thread Started Status - 0x%08x\n", status);
    return status;
}

NTSTATUS StopReadWriteThread() {
    KeSetEvent(&ThreadStopEvent, 0, FALSE);
    if (ReadWriteThreadObject == nullptr) {
        if (ThreadUnreferenced) {
            // Created but not referenced: the thread still runs; its exit
            // event says when it has ended.
            NTSTATUS status =
                KeWaitForSingleObject(&ThreadExitEvent, Executive, KernelMode, FALSE, nullptr);
            ThreadUnreferenced = false;
            InterlockedExchange(&ReadWriteThreadRunning, 0);
            ThisModule::ModulePrint(1, "StopReadWriteThread>> Stopped!!! Status - %X\n", status);
        }
        return STATUS_SUCCESS;
    }
    NTSTATUS status = KeWaitForSingleObject(
        IoIsWdmVersionAvailable(1, 0x10) ? ReadWriteThreadObject : &ThreadExitEvent, Executive,
        KernelMode, FALSE, nullptr);
    InterlockedExchange(&ReadWriteThreadRunning, 0);
    ThisModule::ModulePrint(1, "StopReadWriteThread>> Stopped!!! Status - %X\n", status);
    ObDereferenceObject(ReadWriteThreadObject);
    ReadWriteThreadObject = nullptr;
    return status;
}

CaptureQueueEntry* StreamWorkerAllocateEntry() {
    if (InterlockedRead(&ReadWriteThreadRunning) == 0) return nullptr;
    return static_cast<CaptureQueueEntry*>(
        ExAllocateFromNPagedLookasideList(&CaptureEntryLookaside));
}

void StreamWorkerQueue(CaptureQueueEntry* entry) {
    KIRQL irql;
    KeAcquireSpinLock(&CaptureQueueLock, &irql);
    InsertHeadList(&CaptureQueue, &entry->Links);
    KeReleaseSpinLock(&CaptureQueueLock, irql);
    KeSetEvent(&CaptureWorkEvent, IO_SOUND_INCREMENT, FALSE);
}

namespace {
CaptureQueueEntry* TakeOldestCapture() {
    KIRQL irql;
    CaptureQueueEntry* entry = nullptr;
    KeAcquireSpinLock(&CaptureQueueLock, &irql);
    if (!IsListEmpty(&CaptureQueue)) {
        PLIST_ENTRY link = RemoveTailList(&CaptureQueue);
        entry = CONTAINING_RECORD(link, CaptureQueueEntry, Links);
    }
    KeReleaseSpinLock(&CaptureQueueLock, irql);
    return entry;
}

void DrainCaptureQueue() {
    while (CaptureQueueEntry* entry = TakeOldestCapture()) {
        entry->GenDisp->FinishCaptureRequest(entry);
        ExFreeToNPagedLookasideList(&CaptureEntryLookaside, entry);
    }
}
}  // namespace

VOID ReadWriteThread(PVOID) {
    ProbeEnter(0);
    ProbeAddCounter(PROBE_COUNTER_STREAM_THREAD, 1);
    PVOID objects[2] = {&ThreadStopEvent, &CaptureWorkEvent};
    for (;;) {
        ProbeLeave(0);
        NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode,
                                                   FALSE, nullptr, nullptr);
        ProbeEnter(0);
        if (status != STATUS_WAIT_0 + 1) break;
        KeClearEvent(&CaptureWorkEvent);
        ProbeEnter(1);
        DrainCaptureQueue();
        ProbeLeave(1);
    }
    // Requests queued before the stop still go back to their applications.
    DrainCaptureQueue();
    KeClearEvent(&ThreadStopEvent);
    ProbeAddCounter(PROBE_COUNTER_STREAM_THREAD, -1);
    ProbeLeave(0);
    // The last word: an unload that can only wait on this event disables the
    // probe slots as soon as it is set.
    KeSetEvent(&ThreadExitEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
