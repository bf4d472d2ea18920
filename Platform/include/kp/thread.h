// Host-only: system threads and floating-point brackets.
#pragma once

#include <string>
#include <vector>

#include "platform/ntdef.h"

// The next Count calls of PsCreateSystemThread fail with STATUS_INSUFFICIENT_RESOURCES.
void KpFailThreadCreations(ULONG Count);
// System threads whose routine has not yet ended.
ULONG KpRunningSystemThreadCount(void);
// Waits until no system thread runs a start routine, and no completion routine
// is being called, that lies in the same loaded image as `addressInImage` (the
// loader calls it before unmapping an image).
void KpWaitForSystemThreadsOfImage(const void* addressInImage);
// Marks `routine` (driver code) as running on this thread until the matching
// leave; the I/O manager brackets each completion routine's call with them.
void KpEnterDriverCode(const void* routine);
void KpLeaveDriverCode(const void* routine);
// After KeSetEvent signals `Event`, the signalling thread calls Hook(Context)
// before KeSetEvent returns: a test stands for a thread preempted right after
// its signal.  A null Hook removes the watch.
void KpSetEventSignalHook(struct _KEVENT* Event, void (*Hook)(PVOID), PVOID Context);
// TRUE on a thread made by PsCreateSystemThread.
BOOLEAN KpIsSystemThread(void);

// From now on the system threads whose start routine lies in the image named
// Image (file name, any case; for example "Echowell.sys") wake late: after a
// KeWaitFor* call that had to block is satisfied, the thread sleeps a random
// 0 to MaxMs milliseconds of machine time first.  The delays follow one
// sequence per thread, fixed by Seed.  MaxMs 0 or a null Image ends it.
void KpSetThreadWakeDelay(const char* Image, ULONG MaxMs, ULONG Seed);
// Milliseconds of machine time the late wake-ups have added so far.
ULONGLONG KpThreadWakeDelayMs(void);

// A system thread as the stand-in saw it; threads that ended stay listed (the
// latest 1024 of them), so that a thread's whole CPU time can be read after it.
struct KpSystemThreadInfo {
    ULONG_PTR Id = 0;            // PsGetCurrentThreadId in the thread
    std::string Image;           // file name of the image holding its start routine
    LONGLONG CreateTime = 0;     // machine clock at PsCreateSystemThread
    BOOLEAN Running = FALSE;     // its routine has not yet returned
    ULONGLONG CpuTime100ns = 0;  // host CPU time it used so far (all of it once ended)
    // Of it, the time the host charged while the thread was asleep in the
    // stand-in's waits: going to sleep and being woken, which a kernel does
    // too but whose cost here is the host's.
    ULONGLONG SleepCpuTime100ns = 0;
};
// Every system thread created so far, oldest first (ids only grow).
std::vector<KpSystemThreadInfo> KpSystemThreads(void);

// TRUE when every running system thread sleeps in a kernel wait that nothing
// has woken since (so none has work until an object is signalled or the
// clock moves).  Wakes (optional) gets the number of wake-ups of sleeping
// waiters so far: a runner stepping a manual clock checks twice with the same
// count to know the machine is quiet before the next step.
BOOLEAN KpSystemThreadsIdle(ULONGLONG* Wakes);
// Work item routines asleep in a kernel wait that nothing has woken since
// (counted like the sleeping system threads above, Wakes included).
ULONG KpSleepingWorkItemCount(void);

// Threads inside a wait routine (KeWaitFor*, KeDelayExecutionThread,
// KpClockSleepUntil) whose deadline is already fixed: a test that advances a
// manual clock first waits until its waiters are counted here.
ULONG KpBlockedWaiterCount(void);

// Floating-point saves of the calling thread: currently open (nesting depth) and
// made so far; and the process-wide total.
ULONG KpFloatingPointDepth(void);
ULONGLONG KpFloatingPointSaves(void);
ULONGLONG KpFloatingPointSavesAll(void);
