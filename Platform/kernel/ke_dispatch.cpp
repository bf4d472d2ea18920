// Dispatcher objects and the waits on them.
//
// One dispatcher lock guards the state of every event, mutex, semaphore and
// thread object, as on a single-processor kernel.  A waiter checks its objects
// under the lock and otherwise sleeps on one condition variable that is notified
// whenever an object becomes signalled or the machine clock moves; woken, it
// checks again.  So an auto-reset event set once satisfies exactly one waiter:
// the first to look consumes the signal.
#include <atomic>

#include "ke_private.h"
#include "kp/clock.h"
#include "kp/irql.h"
#include "kp/thread.h"

namespace {

// Never destroyed: detached threads may still wait while the process exits.
std::mutex& gLock = *new std::mutex;
std::condition_variable& gWake = *new std::condition_variable;
ULONG gBlocked = 0;  // threads inside a wait with their deadline fixed (lock held)
// System threads asleep in KiBlock that no wake-up has reached since they went
// to sleep, and the wake-ups so far (both under the lock).  A wake-up reaches
// every sleeper, so it zeroes the count: each counts itself again when it
// finds nothing to do and goes back to sleep.
ULONG gIdleSystem = 0;
ULONGLONG gWakes = 0;

// Counts the calling thread as waiting while it lives (lock held at both ends).
struct Waiting {
    Waiting() { ++gBlocked; }
    ~Waiting() { --gBlocked; }
};

constexpr UCHAR SizeOf(size_t Bytes) {
    return static_cast<UCHAR>(Bytes / sizeof(LONG));
}

void InitHeader(DISPATCHER_HEADER* Header, KOBJECTS Type, size_t Bytes, LONG State) {
    Header->Type = static_cast<UCHAR>(Type);
    Header->Absolute = 0;
    Header->Size = SizeOf(Bytes);
    Header->Inserted = 0;
    Header->SignalState = State;
    InitializeListHead(&Header->WaitListHead);
}

size_t ExpectedSize(UCHAR Type) {
    switch (Type) {
        case EventNotificationObject:
        case EventSynchronizationObject:
            return sizeof(KEVENT);
        case MutantObject:
            return sizeof(KMUTEX);
        case SemaphoreObject:
            return sizeof(KSEMAPHORE);
        case ThreadObject:
            return sizeof(KTHREAD);
        case TimerNotificationObject:
        case TimerSynchronizationObject:
            return sizeof(KTIMER);
        default:
            return 0;
    }
}

// A waitable object must carry a header that names a kind and its size.
DISPATCHER_HEADER* Header(PVOID Object, const char* Routine) {
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    if (header == nullptr) KpBugCheck(KP_BUGCHECK_INVALID_OBJECT, "%s: null object", Routine);
    size_t size = ExpectedSize(header->Type);
    if (size == 0 || header->Size != SizeOf(size)) {
        KpBugCheck(KP_BUGCHECK_INVALID_OBJECT,
                   "%s: %p is not an initialised dispatcher object (type %u, size %u)", Routine,
                   Object, header->Type, header->Size);
    }
    return header;
}

void Expect(DISPATCHER_HEADER* Header, bool Ok, const char* Routine, const char* Kind) {
    if (!Ok) {
        KpBugCheck(KP_BUGCHECK_INVALID_OBJECT, "%s: %p is not a %s (type %u)", Routine,
                   static_cast<void*>(Header), Kind, Header->Type);
    }
}

PKEVENT Event(PRKEVENT Event, const char* Routine) {
    DISPATCHER_HEADER* h = Header(Event, Routine);
    Expect(h, h->Type == EventNotificationObject || h->Type == EventSynchronizationObject, Routine,
           "event");
    return Event;
}

PKMUTEX Mutex(PRKMUTEX Mutex, const char* Routine) {
    DISPATCHER_HEADER* h = Header(Mutex, Routine);
    Expect(h, h->Type == MutantObject, Routine, "mutex");
    return Mutex;
}

PKSEMAPHORE Semaphore(PRKSEMAPHORE Semaphore, const char* Routine) {
    DISPATCHER_HEADER* h = Header(Semaphore, Routine);
    Expect(h, h->Type == SemaphoreObject, Routine, "semaphore");
    return Semaphore;
}

// Lock held.  Could the thread take the object now?
bool Ready(DISPATCHER_HEADER* Header, PKTHREAD Thread) {
    if (Header->Type == MutantObject) {
        auto* mutex = reinterpret_cast<PKMUTEX>(Header);
        return Header->SignalState > 0 || mutex->OwnerThread == Thread;
    }
    return Header->SignalState > 0;
}

// Lock held.  The thread takes the object (a satisfied wait).
void Take(DISPATCHER_HEADER* Header, PKTHREAD Thread) {
    switch (Header->Type) {
        case EventSynchronizationObject:
        case TimerSynchronizationObject:
            Header->SignalState = 0;
            break;
        case SemaphoreObject:
            --Header->SignalState;
            break;
        case MutantObject: {
            auto* mutex = reinterpret_cast<PKMUTEX>(Header);
            if (mutex->OwnerThread != Thread) {
                mutex->OwnerThread = Thread;
                ++Thread->OwnedMutexes;
            }
            --Header->SignalState;
            break;
        }
        default:
            break;  // notification events and timers, and threads, stay signalled
    }
}

// The common wait.  Count objects (0 for a plain delay).
NTSTATUS Wait(ULONG Count, PVOID* Objects, WAIT_TYPE WaitType, PLARGE_INTEGER Timeout,
              const char* Routine) {
    bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
    KpAssertIrql(zeroTimeout ? DISPATCH_LEVEL : APC_LEVEL, Routine);
    PKTHREAD self = KeGetCurrentThread();
    DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) {
        headers[i] = Header(Objects[i], Routine);
        for (ULONG j = 0; j < i; ++j) {
            if (headers[j] == headers[i] && WaitType == WaitAll) {
                KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "%s: object %p appears twice in a wait-all",
                           Routine, Objects[i]);
            }
        }
    }
    LONGLONG deadline = 0;
    bool hasDeadline = KiDeadline(Timeout, &deadline);

    std::unique_lock<std::mutex> lock(gLock);
    Waiting waiting;
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        for (ULONG i = 0; i < Count; ++i) {
            if (headers[i]->Type == MutantObject &&
                reinterpret_cast<PKMUTEX>(headers[i])->OwnerThread == self) {
                KpBugCheck(KP_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL,
                           "%s: kernel mutex %p, already held by this thread, waited for at %s",
                           Routine, Objects[i], KpIrqlName(KeGetCurrentIrql()));
            }
        }
    }
    for (;;) {
        if (WaitType == WaitAny) {
            for (ULONG i = 0; i < Count; ++i) {
                if (Ready(headers[i], self)) {
                    Take(headers[i], self);
                    return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                }
            }
        } else if (Count != 0) {
            bool all = true;
            for (ULONG i = 0; i < Count && all; ++i) all = Ready(headers[i], self);
            if (all) {
                for (ULONG i = 0; i < Count; ++i) Take(headers[i], self);
                return STATUS_WAIT_0;
            }
        }
        if (hasDeadline && KpClockNow() >= deadline) return STATUS_TIMEOUT;
        KiBlock(lock, hasDeadline, deadline);
    }
}

}  // namespace

std::mutex& KiDispatcherLock() {
    return gLock;
}

ULONG KpBlockedWaiterCount(void) {
    std::lock_guard<std::mutex> lock(gLock);
    return gBlocked;
}

BOOLEAN KpSystemThreadsIdle(ULONGLONG* Wakes) {
    std::lock_guard<std::mutex> lock(gLock);
    if (Wakes != nullptr) *Wakes = gWakes;
    return gIdleSystem >= KpRunningSystemThreadCount();
}

void KiWakeWaiters() {
    std::lock_guard<std::mutex> lock(gLock);
    KiWakeWaitersLocked();
}

void KiWakeWaitersLocked() {
    ++gWakes;
    gIdleSystem = 0;
    gWake.notify_all();
}

void KiBlock(std::unique_lock<std::mutex>& Lock, bool HasDeadline, LONGLONG Deadline) {
    PKTHREAD self = KiCurrent().Thread;
    bool system = self != nullptr && self->System;
    ULONGLONG wakes = gWakes;
    if (system) ++gIdleSystem;
    std::chrono::steady_clock::time_point hostTime;
    if (HasDeadline && KiHostDeadline(Deadline, &hostTime)) {
        gWake.wait_until(Lock, hostTime);
    } else {
        gWake.wait(Lock);
    }
    // Back by itself (its host deadline, or spuriously): no longer asleep.
    if (system && gWakes == wakes) --gIdleSystem;
}

void KpClockSleepUntil(LONGLONG Time) {
    std::unique_lock<std::mutex> lock(gLock);
    Waiting waiting;
    while (KpClockNow() < Time) KiBlock(lock, true, Time);
}

// ---------------------------------------------------------------------------
// KeInitializeEvent
// ---------------------------------------------------------------------------
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "KeInitializeEvent: event type %d",
                   static_cast<int>(Type));
    }
    std::lock_guard<std::mutex> lock(gLock);
    InitHeader(&Event->Header,
               Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
               sizeof(KEVENT), State ? 1 : 0);
}

// ---------------------------------------------------------------------------
// KeSetEvent
// ---------------------------------------------------------------------------
namespace {
std::atomic<PKEVENT> gWatchedEvent{nullptr};
std::atomic<void (*)(PVOID)> gWatchHook{nullptr};
std::atomic<PVOID> gWatchContext{nullptr};
}  // namespace

void KpSetEventSignalHook(PKEVENT Event, void (*Hook)(PVOID), PVOID Context) {
    gWatchedEvent = nullptr;
    gWatchContext = Context;
    gWatchHook = Hook;
    gWatchedEvent = Hook != nullptr ? Event : nullptr;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    KpAssertIrql(DISPATCH_LEVEL, "KeSetEvent");
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(gLock);
        ::Event(Event, "KeSetEvent");
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        if (previous == 0) KiWakeWaitersLocked();
    }
    if (Event == gWatchedEvent.load()) {
        if (auto hook = gWatchHook.load()) hook(gWatchContext.load());
    }
    return previous;
}

// ---------------------------------------------------------------------------
// KeResetEvent / KeClearEvent / KeReadStateEvent
// ---------------------------------------------------------------------------
LONG KeResetEvent(PRKEVENT Event) {
    KpAssertIrql(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard<std::mutex> lock(gLock);
    ::Event(Event, "KeResetEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

void KeClearEvent(PRKEVENT Event) {
    KeResetEvent(Event);
}

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> lock(gLock);
    return ::Event(Event, "KeReadStateEvent")->Header.SignalState;
}

// ---------------------------------------------------------------------------
// KeInitializeMutex
// ---------------------------------------------------------------------------
void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    UNREFERENCED_PARAMETER(Level);
    std::lock_guard<std::mutex> lock(gLock);
    InitHeader(&Mutex->Header, MutantObject, sizeof(KMUTEX), 1);
    InitializeListHead(&Mutex->MutantListEntry);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

// ---------------------------------------------------------------------------
// KeReleaseMutex
// ---------------------------------------------------------------------------
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Wait);
    KpAssertIrql(DISPATCH_LEVEL, "KeReleaseMutex");
    PKTHREAD self = KeGetCurrentThread();
    std::lock_guard<std::mutex> lock(gLock);
    ::Mutex(Mutex, "KeReleaseMutex");
    if (Mutex->OwnerThread != self) {
        KpBugCheck(KP_BUGCHECK_MUTANT_NOT_OWNED, "KeReleaseMutex: mutex %p is %s",
                   static_cast<void*>(Mutex),
                   Mutex->OwnerThread == nullptr ? "not owned" : "owned by another thread");
    }
    LONG previous = Mutex->Header.SignalState;
    if (++Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        --self->OwnedMutexes;
        KiWakeWaitersLocked();
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
    std::lock_guard<std::mutex> lock(gLock);
    return ::Mutex(Mutex, "KeReadStateMutex")->Header.SignalState;
}

// ---------------------------------------------------------------------------
// KeInitializeSemaphore / KeReleaseSemaphore / KeReadStateSemaphore
// ---------------------------------------------------------------------------
void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    if (Count < 0 || Limit <= 0 || Count > Limit) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "KeInitializeSemaphore: count %d, limit %d", Count,
                   Limit);
    }
    std::lock_guard<std::mutex> lock(gLock);
    InitHeader(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE), Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                        BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    KpAssertIrql(DISPATCH_LEVEL, "KeReleaseSemaphore");
    std::lock_guard<std::mutex> lock(gLock);
    ::Semaphore(Semaphore, "KeReleaseSemaphore");
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || Adjustment > Semaphore->Limit - previous) {
        KpBugCheck(KP_BUGCHECK_SEMAPHORE_LIMIT_EXCEEDED,
                   "KeReleaseSemaphore: count %d + %d exceeds the limit %d", previous, Adjustment,
                   Semaphore->Limit);
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    KiWakeWaitersLocked();
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    std::lock_guard<std::mutex> lock(gLock);
    return ::Semaphore(Semaphore, "KeReadStateSemaphore")->Header.SignalState;
}

// ---------------------------------------------------------------------------
// KeWaitForSingleObject
// ---------------------------------------------------------------------------
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    // Without APCs or alerts an alertable wait ends the same way as any other.
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    KiWakeDelay late(1, &Object, WaitAny, Timeout);
    return late.After(Wait(1, &Object, WaitAny, Timeout, "KeWaitForSingleObject"));
}

// ---------------------------------------------------------------------------
// KeWaitForMultipleObjects
// ---------------------------------------------------------------------------
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
        KpBugCheck(KP_BUGCHECK_MAXIMUM_WAIT_OBJECTS_EXCEEDED,
                   "KeWaitForMultipleObjects: %u objects (1 to %d)", Count, MAXIMUM_WAIT_OBJECTS);
    }
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
        KpBugCheck(KP_BUGCHECK_MAXIMUM_WAIT_OBJECTS_EXCEEDED,
                   "KeWaitForMultipleObjects: %u objects need a wait block array (more than %d)",
                   Count, THREAD_WAIT_OBJECTS);
    }
    if (WaitType != WaitAll && WaitType != WaitAny) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "KeWaitForMultipleObjects: wait type %d",
                   static_cast<int>(WaitType));
    }
    KiWakeDelay late(Count, Object, WaitType, Timeout);
    return late.After(Wait(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects"));
}

// ---------------------------------------------------------------------------
// KeDelayExecutionThread
// ---------------------------------------------------------------------------
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    KpAssertIrql(APC_LEVEL, "KeDelayExecutionThread");
    if (Interval == nullptr)
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "KeDelayExecutionThread: no interval");
    Wait(0, nullptr, WaitAny, Interval, "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}
