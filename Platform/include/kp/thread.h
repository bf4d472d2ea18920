// Host-only: system threads and floating-point brackets.
#pragma once

#include "platform/ntdef.h"

// The next Count calls of PsCreateSystemThread fail with STATUS_INSUFFICIENT_RESOURCES.
void KpFailThreadCreations(ULONG Count);
// System threads whose routine has not yet ended.
ULONG KpRunningSystemThreadCount(void);
// Waits until no system thread runs a start routine that lies in the same loaded
// image as `addressInImage` (the loader calls it before unmapping an image).
void KpWaitForSystemThreadsOfImage(const void* addressInImage);
// TRUE on a thread made by PsCreateSystemThread.
BOOLEAN KpIsSystemThread(void);

// Threads inside a wait routine (KeWaitFor*, KeDelayExecutionThread,
// KpClockSleepUntil) whose deadline is already fixed: a test that advances a
// manual clock first waits until its waiters are counted here.
ULONG KpBlockedWaiterCount(void);

// Floating-point saves of the calling thread: currently open (nesting depth) and
// made so far; and the process-wide total.
ULONG KpFloatingPointDepth(void);
ULONGLONG KpFloatingPointSaves(void);
ULONGLONG KpFloatingPointSavesAll(void);
