// Dispatcher objects and the waits on them.
//
// One dispatcher lock guards the state of every event, mutex, semaphore and
// thread object, as on a single-processor kernel.  A waiter checks its objects
// under the lock and otherwise links a wait block into each object's wait list
// and sleeps, the lock released, on a futex word of its own thread.  Whoever
// signals an object readies as many of the waiters in its list as it can
// satisfy and no one else, and wakes them once it has released the lock, so
// that none wakes only to find the lock held; each checks its objects again
// under the lock, so an auto-reset event set once satisfies exactly one waiter
// (the first to look consumes the signal).  A waiter with a time-out also sits
// in the timed list, woken when the clock reaches its deadline.
#include <atomic>
#include <cerrno>
#include <ctime>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ke_private.h"
#include "kp/clock.h"
#include "kp/irql.h"
#include "kp/thread.h"

namespace {

// Where a host thread sleeps in its waits: a futex word, 0 while it sleeps and
// 1 once it has been readied.  A bed is never freed (a thread that ends hands
// its bed on), so a wake made after the lock was released, when the sleeper
// may already have left, reaches a bed whose sleeper looks again under the
// lock, at worst once for nothing.
struct Bed {
    std::atomic<uint32_t> Readied{0};
    Bed* NextFree = nullptr;
};

std::mutex& gBedsLock = *new std::mutex;
Bed* gFreeBeds = nullptr;

struct BedHolder {
    Bed* Held = nullptr;
    ~BedHolder() {
        if (Held == nullptr) return;
        std::lock_guard<std::mutex> lock(gBedsLock);
        Held->NextFree = gFreeBeds;
        gFreeBeds = Held;
        Held = nullptr;
    }
};
thread_local BedHolder tBed;

Bed& OwnBed() {
    if (tBed.Held == nullptr) {
        std::lock_guard<std::mutex> lock(gBedsLock);
        if (gFreeBeds != nullptr) {
            tBed.Held = gFreeBeds;
            gFreeBeds = gFreeBeds->NextFree;
        } else {
            tBed.Held = new Bed;  // kept for ever: a late wake may still reach it
        }
    }
    return *tBed.Held;
}

void Rouse(Bed* B) {
    syscall(SYS_futex, &B->Readied, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Sleeps while the bed is not readied, until the host time Until if given.
// False when that time came; true when readied or for no reason (the caller
// looks again either way).
bool Doze(Bed& B, const std::chrono::steady_clock::time_point* Until) {
    timespec at{};
    if (Until != nullptr) {
        auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Until->time_since_epoch()).count();
        if (ns < 0) ns = 0;
        at.tv_sec = static_cast<time_t>(ns / 1000000000);
        at.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    // The steady clock is CLOCK_MONOTONIC, the clock of a bitset wait's absolute time.
    long r = syscall(SYS_futex, &B.Readied, FUTEX_WAIT_BITSET_PRIVATE, 0,
                     Until != nullptr ? &at : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
    return !(r == -1 && errno == ETIMEDOUT);
}

// The beds this thread readied while it holds the dispatcher lock, woken as it
// lets go of it.  Beyond the array's room they are woken at once.
struct Readied {
    static constexpr ULONG kRoom = 32;
    Bed* Beds[kRoom];
    ULONG Count = 0;
    bool Deferring = false;  // the lock is held through a KiDispatcherGuard
};
thread_local Readied tReadied;

void WakeReadied() {
    Readied& r = tReadied;
    for (ULONG i = 0; i < r.Count; ++i) Rouse(r.Beds[i]);
    r.Count = 0;
}

struct Waiter;

// One object (or wait queue) a waiter sleeps on.
struct WaitBlock {
    LIST_ENTRY Entry;           // in the object's or the queue's wait list
    Waiter* Owner;              // the sleeping thread's wait
    DISPATCHER_HEADER* Object;  // the object waited on, or null
    PLIST_ENTRY Queue;          // without an object: the wait queue slept on
    ULONG Index;                // position in the wait's object array
};

// A thread asleep in a wait, on its own stack.  Everything under the lock.
struct Waiter {
    Bed* Sleeper = nullptr;     // the waiting thread's bed while it sleeps
    PKTHREAD Thread = nullptr;  // the waiting thread's object (mutex ownership)
    WaitBlock* Blocks = nullptr;
    ULONG Count = 0;
    WAIT_TYPE Type = WaitAny;
    bool HasDeadline = false;
    LONGLONG Deadline = 0;
    LIST_ENTRY TimedEntry{};    // in gTimed while asleep with a deadline
    bool Asleep = false;        // linked into its lists
    bool Counted = false;       // a thread's own wait: counted in gBlocked while asleep
    bool Idle = false;          // counted in gIdleSystem
    bool IdleWorkItem = false;  // counted in gIdleWorkItems
};

// Never destroyed: detached threads may still wait while the process exits.
std::mutex& gLock = *new std::mutex;
KiWaitQueue& gTimed = *new KiWaitQueue;  // sleepers with a deadline, by TimedEntry
// Threads asleep in a wait of their own that no wake-up has reached yet
// (changed under the lock).  A woken thread that the host has not run yet is
// not blocked: a runner that moves the clock while a caller is blocked must
// not go on moving it through the caller's wake-up.
std::atomic<ULONG> gBlocked{0};
// System threads asleep that no wake-up has reached since they went to sleep,
// and the wake-ups of sleepers so far.  A sleeper that is woken (or wakes by
// itself) stops counting itself; it counts itself again when it finds nothing
// to do and goes back to sleep.  All three change under the lock only, but are
// read without it: a runner polls them between steps of the clock, and taking
// the lock to look would stall the very threads it waits for.
std::atomic<ULONG> gIdleSystem{0};
// The same for work item routines asleep in a wait: a worker thread is a
// system thread of the real kernel, and one asleep is as quiet as any other.
std::atomic<ULONG> gIdleWorkItems{0};
std::atomic<ULONGLONG> gWakes{0};

// An object's wait list.  A header copied or moved after its initialisation
// carries a list head that points into the original: walking it would corrupt
// whatever lives there now.
PLIST_ENTRY WaitList(DISPATCHER_HEADER* Header) {
    PLIST_ENTRY head = &Header->WaitListHead;
    if (head->Flink == nullptr || head->Blink == nullptr || head->Flink->Blink != head ||
        head->Blink->Flink != head) {
        KpBugCheck(KP_BUGCHECK_INVALID_OBJECT,
                   "dispatcher object %p was copied or moved after it was initialised",
                   static_cast<void*>(Header));
    }
    return head;
}

// Lock held.  Takes the sleeper out of every list it is in; false when it was
// in none.
bool Unlink(Waiter& W) {
    if (!W.Asleep) return false;
    W.Asleep = false;
    if (W.Counted) --gBlocked;
    for (ULONG i = 0; i < W.Count; ++i) RemoveEntryList(&W.Blocks[i].Entry);
    if (W.HasDeadline) RemoveEntryList(&W.TimedEntry);
    ++gWakes;
    if (W.Idle) {
        W.Idle = false;
        --gIdleSystem;
    }
    if (W.IdleWorkItem) {
        W.IdleWorkItem = false;
        --gIdleWorkItems;
    }
    return true;
}

// Lock held.  Takes the sleeper out of its lists and wakes it: once the lock
// is released when the lock is held through a KiDispatcherGuard, else now.
void Unwait(Waiter& W) {
    if (!Unlink(W)) return;
    Bed* bed = W.Sleeper;
    bed->Readied.store(1);
    Readied& r = tReadied;
    if (r.Deferring && r.Count < Readied::kRoom) {
        r.Beds[r.Count++] = bed;
    } else {
        Rouse(bed);
    }
}

// Lock held.  Links the sleeper's blocks into their lists and sleeps, the lock
// released, until it is readied or its host deadline passes (the clock running
// by itself).  Wakes what this thread readied before it sleeps.
void Sleep(std::unique_lock<std::mutex>& Lock, Waiter& W) {
    for (ULONG i = 0; i < W.Count; ++i) {
        WaitBlock& block = W.Blocks[i];
        InsertTailList(block.Object != nullptr ? WaitList(block.Object) : block.Queue,
                       &block.Entry);
    }
    if (W.HasDeadline) InsertTailList(&gTimed.Head, &W.TimedEntry);
    W.Sleeper = &OwnBed();
    W.Sleeper->Readied.store(0);
    W.Asleep = true;
    if (W.Counted) ++gBlocked;
    PKTHREAD self = KiCurrent().Thread;
    bool system = self != nullptr && self->System;
    if (system) {
        W.Idle = true;
        ++gIdleSystem;
    } else if (W.Counted && KiCurrent().InWorkItem) {
        W.IdleWorkItem = true;
        ++gIdleWorkItems;
    }
    std::chrono::steady_clock::time_point hostTime;
    bool hostDeadline = W.HasDeadline && KiHostDeadline(W.Deadline, &hostTime);
    while (W.Asleep) {
        Lock.unlock();
        WakeReadied();
        // What the host charges a system thread for sleeping and waking is
        // kept apart from the work it does (kssim reports both).
        ULONGLONG before = system ? KiThreadCpuTime100ns() : 0;
        bool early = Doze(*W.Sleeper, hostDeadline ? &hostTime : nullptr);
        if (system) {
            __atomic_fetch_add(&self->SleepCpu100ns, KiThreadCpuTime100ns() - before,
                               __ATOMIC_RELAXED);
        }
        Lock.lock();
        if (!early) break;
    }
    Unlink(W);  // back by itself at its host deadline: no longer asleep
}

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

// Lock held.  How many waiters a signalled object can satisfy at once.
LONG Satisfies(DISPATCHER_HEADER* Header) {
    switch (Header->Type) {
        case EventSynchronizationObject:
        case TimerSynchronizationObject:
        case MutantObject:
            return 1;
        case SemaphoreObject:
            return Header->SignalState;
        default:
            return 0x7FFFFFFF;  // notification events and timers, and threads, stay signalled
    }
}

// Lock held.  Could a sleeper's wait end now, one of its objects signalled?
bool CouldEnd(const Waiter& W) {
    if (W.Type != WaitAll) return true;
    for (ULONG i = 0; i < W.Count; ++i) {
        DISPATCHER_HEADER* object = W.Blocks[i].Object;
        if (object != nullptr && !Ready(object, W.Thread)) return false;
    }
    return true;
}

// Lock held.  A waiter that was woken counted for one of the waiters an
// object could satisfy: whatever it did not take, still signalled, goes to the
// object's other waiters.  Taken is the index of the object taken, Count when
// it took all or none.
void PassOn(DISPATCHER_HEADER** Headers, ULONG Count, ULONG Taken) {
    for (ULONG i = 0; i < Count; ++i) {
        if (i == Taken || Headers[i]->SignalState <= 0 || IsListEmpty(&Headers[i]->WaitListHead))
            continue;
        KiWaitTest(Headers[i]);
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
    WaitBlock blocks[MAXIMUM_WAIT_OBJECTS];
    Waiter waiter;
    waiter.Thread = self;
    waiter.Blocks = blocks;
    waiter.Count = Count;
    waiter.Type = WaitType;
    waiter.HasDeadline = hasDeadline;
    waiter.Deadline = deadline;
    waiter.Counted = true;
    for (ULONG i = 0; i < Count; ++i) blocks[i] = {{}, &waiter, headers[i], nullptr, i};

    KiDispatcherGuard lock;
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
    for (bool slept = false;; slept = true) {
        if (WaitType == WaitAny) {
            for (ULONG i = 0; i < Count; ++i) {
                if (Ready(headers[i], self)) {
                    Take(headers[i], self);
                    if (slept) PassOn(headers, Count, i);
                    return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                }
            }
        } else if (Count != 0) {
            bool all = true;
            for (ULONG i = 0; i < Count && all; ++i) all = Ready(headers[i], self);
            if (all) {
                for (ULONG i = 0; i < Count; ++i) Take(headers[i], self);
                if (slept) PassOn(headers, Count, Count);
                return STATUS_WAIT_0;
            }
        }
        if (slept) PassOn(headers, Count, Count);
        if (hasDeadline && KpClockNow() >= deadline) return STATUS_TIMEOUT;
        Sleep(lock.Held(), waiter);
    }
}

}  // namespace

std::mutex& KiDispatcherLock() {
    return gLock;
}

KiDispatcherGuard::KiDispatcherGuard() : m_Lock(gLock) {
    tReadied.Deferring = true;
}

KiDispatcherGuard::~KiDispatcherGuard() {
    if (m_Lock.owns_lock()) Unlock();
}

void KiDispatcherGuard::Unlock() {
    tReadied.Deferring = false;
    m_Lock.unlock();
    WakeReadied();
}

void KiDispatcherGuard::Lock() {
    m_Lock.lock();
    tReadied.Deferring = true;
}

void KiWaitTest(DISPATCHER_HEADER* Object) {
    PLIST_ENTRY head = WaitList(Object);
    if (Object->SignalState <= 0) return;
    // As many waiters as the object can satisfy look again, in the order they
    // came, passing over a wait-all whose other objects are not all there; a
    // thread already running may still take the object first (a releasing
    // thread that wants it straight back is not made to queue behind a
    // sleeper), and a woken waiter that ends without it passes it on.
    LONG left = Satisfies(Object);
    for (PLIST_ENTRY entry = head->Flink; left > 0 && entry != head;) {
        Waiter& waiter = *CONTAINING_RECORD(entry, WaitBlock, Entry)->Owner;
        if (!CouldEnd(waiter)) {
            entry = entry->Flink;
            continue;
        }
        Unwait(waiter);  // out of every list (a wait-any may name the object twice)
        --left;
        entry = head->Flink;
    }
}

void KiWakeQueue(KiWaitQueue& Queue) {
    while (!IsListEmpty(&Queue.Head))
        Unwait(*CONTAINING_RECORD(Queue.Head.Flink, WaitBlock, Entry)->Owner);
}

void KiSleepOn(std::unique_lock<std::mutex>& Lock, KiWaitQueue& Queue, bool HasDeadline,
               LONGLONG Deadline) {
    WaitBlock block{};
    block.Queue = &Queue.Head;
    Waiter waiter;
    waiter.Blocks = &block;
    waiter.Count = 1;
    waiter.HasDeadline = HasDeadline;
    waiter.Deadline = Deadline;
    block.Owner = &waiter;
    Sleep(Lock, waiter);
}

void KiClockMoved(bool ModeChanged) {
    LONGLONG now = KpClockNow();
    KiDispatcherGuard lock;
    for (PLIST_ENTRY entry = gTimed.Head.Flink; entry != &gTimed.Head;) {
        Waiter& waiter = *CONTAINING_RECORD(entry, Waiter, TimedEntry);
        entry = entry->Flink;  // Unwait takes out only this waiter's entry
        if (ModeChanged || waiter.Deadline <= now) Unwait(waiter);
    }
}

ULONG KpBlockedWaiterCount(void) {
    // Under the lock: a waiter counted here has finished its first look at its
    // objects and sleeps.
    std::lock_guard<std::mutex> lock(gLock);
    return gBlocked.load();
}

ULONG KpSleepingWorkItemCount(void) {
    return gIdleWorkItems.load();
}

BOOLEAN KpSystemThreadsIdle(ULONGLONG* Wakes) {
    // The count first: a thread woken after it was read and asleep again before
    // the idle count is read has moved it, and the runner's second look sees so.
    if (Wakes != nullptr) *Wakes = gWakes.load();
    return gIdleSystem.load() >= KpRunningSystemThreadCount();
}

void KpClockSleepUntil(LONGLONG Time) {
    KiDispatcherGuard lock;
    Waiter waiter;
    waiter.Counted = true;
    waiter.HasDeadline = true;
    waiter.Deadline = Time;
    while (KpClockNow() < Time) Sleep(lock.Held(), waiter);
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
        KiDispatcherGuard lock;
        ::Event(Event, "KeSetEvent");
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        if (previous == 0) KiWaitTest(&Event->Header);
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
    KiDispatcherGuard lock;
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
        KiWaitTest(&Mutex->Header);
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
    KiDispatcherGuard lock;
    ::Semaphore(Semaphore, "KeReleaseSemaphore");
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || Adjustment > Semaphore->Limit - previous) {
        KpBugCheck(KP_BUGCHECK_SEMAPHORE_LIMIT_EXCEEDED,
                   "KeReleaseSemaphore: count %d + %d exceeds the limit %d", previous, Adjustment,
                   Semaphore->Limit);
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    KiWaitTest(&Semaphore->Header);
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
    // A zero interval gives the rest of the time slice to whatever else is
    // ready and returns: the thread does not sleep, whatever the clock.
    if (Interval->QuadPart == 0) {
        sched_yield();
        return STATUS_SUCCESS;
    }
    Wait(0, nullptr, WaitAny, Interval, "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}
