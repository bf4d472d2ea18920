// Shared state of the executive's own source files (not for other areas).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "kp/bugcheck.h"
#include "platform/ex.h"
#include "platform/ke.h"
#include "platform/ob.h"

// The thread object.  The header comes first: the wait routines read it.
struct _KTHREAD {
    DISPATCHER_HEADER Header;  // signalled when a system thread's routine ends
    ULONG_PTR Id;              // PsGetCurrentThreadId
    PKSTART_ROUTINE Routine;   // system threads only
    PVOID Context;
    NTSTATUS ExitStatus;
    BOOLEAN System;           // made by PsCreateSystemThread (and registered as an object)
    LONG OwnedMutexes;        // kernel mutexes it owns (dispatcher lock)
    KPRIORITY Priority;       // recorded only (KeSetPriorityThread); atomic accesses
    ULONGLONG SleepCpu100ns;  // system threads: CPU time asleep in waits; atomic accesses
};

// The calling thread's host CPU time, in 100 ns units.
ULONGLONG KiThreadCpuTime100ns();

// What the executive keeps per host thread.
struct KiThreadState {
    KIRQL Irql = PASSIVE_LEVEL;
    ULONG SpinLocksHeld = 0;
    LONG CriticalRegion = 0;
    PKTHREAD Thread = nullptr;  // the current thread object (system or adopted)
    ULONG FpDepth = 0;
    ULONGLONG FpSaves = 0;
    bool InWorkItem = false;  // a worker thread running a work item's routine
    ~KiThreadState();
};
KiThreadState& KiCurrent();

// The dispatcher lock guards every dispatcher object's state and every wait
// list.  A thread that must wait links itself into the wait list of each object
// it waits on (the header's WaitListHead) and sleeps, the lock released, on a
// futex word of its own; whoever changes an object's state wakes only as many
// of that object's waiters as it can satisfy, and a clock move only the timed
// waiters whose deadline it reached.
std::mutex& KiDispatcherLock();

// The dispatcher lock held by the executive's routines: the sleepers readied
// while it is held are woken once it is released (by Unlock, by a sleep on it,
// or at the end of the scope), so that none wakes only to find the lock taken.
// Every routine that may ready a sleeper holds the lock through one.
class KiDispatcherGuard {
public:
    KiDispatcherGuard();
    ~KiDispatcherGuard();
    KiDispatcherGuard(const KiDispatcherGuard&) = delete;
    KiDispatcherGuard& operator=(const KiDispatcherGuard&) = delete;
    // Lets go of the lock (waking what was readied) and takes it again.
    void Unlock();
    void Lock();
    std::unique_lock<std::mutex>& Held() { return m_Lock; }

private:
    std::unique_lock<std::mutex> m_Lock;
};

// Lock held.  The object may have become signalled: wakes as many of its
// waiters as it can satisfy, which look at their objects again.
void KiWaitTest(DISPATCHER_HEADER* Object);

// A list of sleepers that are not waiting on a dispatcher object (the DPC
// thread, the DPC flushers): KiWakeQueue wakes every thread asleep on it.
struct KiWaitQueue {
    LIST_ENTRY Head;
    KiWaitQueue() { InitializeListHead(&Head); }
    KiWaitQueue(const KiWaitQueue&) = delete;
    KiWaitQueue& operator=(const KiWaitQueue&) = delete;
};
void KiWakeQueue(KiWaitQueue& Queue);  // lock held
// Lock held.  Sleeps on Queue until it is woken or, with a deadline, until the
// machine clock reaches Deadline.  Callers re-check their condition.
void KiSleepOn(std::unique_lock<std::mutex>& Lock, KiWaitQueue& Queue, bool HasDeadline,
               LONGLONG Deadline);

// The machine clock moved (lock not held): wakes the timed waiters whose
// deadline it reached, or every timed waiter when the clock's mode changed
// (their host deadlines are no longer the same).
void KiClockMoved(bool ModeChanged);

// Clock internals for the waits: the host time at which the machine clock reaches
// Time, or false when the clock does not run by itself (manual mode).
bool KiHostDeadline(LONGLONG Time, std::chrono::steady_clock::time_point* HostTime);
// Deadline of a wait time-out (NULL = none).
bool KiDeadline(const LARGE_INTEGER* Timeout, LONGLONG* Deadline);

ULONG_PTR KiNewThreadId();

// The late wake-ups a test asked for (KpSetThreadWakeDelay): made before a
// wait (whether it will block), After with the wait's status, which it answers.
class KiWakeDelay {
public:
    KiWakeDelay(ULONG Count, PVOID* Objects, WAIT_TYPE WaitType, const LARGE_INTEGER* Timeout);
    NTSTATUS After(NTSTATUS Status);

private:
    bool m_Blocks = false;
};

// Fires the timers that are due and waits until the queued DPCs have run (not
// when called on the DPC thread itself).  Called when the clock is moved by hand.
void KiRunDueTimers();

// The kernel printf dialect (rtl_format.cpp), unbounded.
#include <cstdarg>
#include <string>
std::string KiFormat(const char* Format, va_list ArgList);
