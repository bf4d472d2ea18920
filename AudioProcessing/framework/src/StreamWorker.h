// The stream worker: one thread per driver that hands completed capture
// requests to the filter logic at PASSIVE_LEVEL, in completion order.  Its
// queue, lock, events, lookaside list and thread are driver-wide, set up by
// DriverEntry (StreamWorkerStart) and taken down by the unload
// (StopReadWriteThread, then StreamWorkerFree).
#pragma once

#include <wdm.h>

struct CaptureQueueEntry;  // CGenDisp.h

// The thread and its events.
extern KEVENT ThreadExitEvent;
extern PVOID ReadWriteThreadObject;
extern KEVENT ThreadStopEvent;
// 1 while a worker thread runs: without one, capture requests complete without
// waiting for it.
extern volatile LONG ReadWriteThreadRunning;  // interlocked

// Completed capture requests waiting for the worker thread.
extern LIST_ENTRY CaptureQueue;
extern KSPIN_LOCK CaptureQueueLock;
extern KEVENT CaptureWorkEvent;
extern NPAGED_LOOKASIDE_LIST CaptureEntryLookaside;

// Sets up the queue, its lock, events and lookaside list, then starts the
// thread (StartReadWriteThread's status).  PASSIVE_LEVEL.
NTSTATUS StreamWorkerStart();
NTSTATUS StartReadWriteThread();
// Stops the thread; requests queued before the stop still go back to their
// applications.  PASSIVE_LEVEL.
NTSTATUS StopReadWriteThread();
// Deletes the lookaside list, after StopReadWriteThread.  PASSIVE_LEVEL.
void StreamWorkerFree();
// A queue entry for a completed capture request when a worker runs to take
// it, else null.  Up to DISPATCH_LEVEL.
CaptureQueueEntry* StreamWorkerAllocateEntry();
// Hands a filled entry to the worker.  Up to DISPATCH_LEVEL.
void StreamWorkerQueue(CaptureQueueEntry* entry);
// The worker thread's routine.
VOID ReadWriteThread(PVOID context);
