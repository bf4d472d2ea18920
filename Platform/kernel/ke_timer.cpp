// Timers and DPCs.
//
// Armed timers and queued DPCs live under the dispatcher lock.  One host thread,
// started with the first timer or DPC, stands for the clock interrupt and the
// DPC queue: it fires the timers that are due, runs queued DPCs one at a time at
// DISPATCH_LEVEL, and otherwise sleeps until the earliest due time (on a wait
// queue of its own, woken when a DPC is queued or a timer armed, and as a timed
// waiter, so moving the clock to that time wakes it).
#include <algorithm>
#include <deque>
#include <thread>
#include <vector>

#include "ke_private.h"
#include "kp/clock.h"
#include "kp/irql.h"

namespace {

// All under the dispatcher lock; never destroyed (the DPC thread outlives main).
std::vector<PKTIMER>& gTimers = *new std::vector<PKTIMER>;
std::deque<PKDPC>& gDpcs = *new std::deque<PKDPC>;
ULONG gDpcRunning = 0;
KiWaitQueue& gDpcWork = *new KiWaitQueue;  // the DPC thread, asleep
KiWaitQueue& gDpcIdle = *new KiWaitQueue;  // threads waiting for the DPC queue to empty
bool gThreadStarted = false;
thread_local bool tIsDpcThread = false;

constexpr UCHAR kDpcType = 0x13;

PKTIMER CheckTimer(PKTIMER Timer, const char* Routine) {
    UCHAR type = Timer->Header.Type;
    if ((type != TimerNotificationObject && type != TimerSynchronizationObject) ||
        Timer->Header.Size != sizeof(KTIMER) / sizeof(LONG)) {
        KpBugCheck(KP_BUGCHECK_INVALID_OBJECT, "%s: %p is not an initialised timer", Routine,
                   static_cast<void*>(Timer));
    }
    return Timer;
}

PKDPC CheckDpc(PKDPC Dpc, const char* Routine) {
    if (Dpc->Type != kDpcType) {
        KpBugCheck(KP_BUGCHECK_INVALID_OBJECT, "%s: %p is not an initialised DPC", Routine,
                   static_cast<void*>(Dpc));
    }
    return Dpc;
}

void Disarm(PKTIMER Timer) {
    gTimers.erase(std::remove(gTimers.begin(), gTimers.end(), Timer), gTimers.end());
    Timer->Header.Inserted = 0;
}

// Lock held.
bool Queue(PKDPC Dpc, PVOID Argument1, PVOID Argument2) {
    if (Dpc->DpcData != nullptr) return false;
    Dpc->SystemArgument1 = Argument1;
    Dpc->SystemArgument2 = Argument2;
    Dpc->DpcData = Dpc;
    gDpcs.push_back(Dpc);
    return true;
}

// Lock held.  Signals every timer that is due, queues its DPC, re-arms periodic ones.
void Expire() {
    LONGLONG now = KpClockNow();
    for (size_t i = 0; i < gTimers.size();) {
        PKTIMER timer = gTimers[i];
        LONGLONG due = static_cast<LONGLONG>(timer->DueTime.QuadPart);
        if (due > now) {
            ++i;
            continue;
        }
        timer->Header.SignalState = 1;
        KiWaitTest(&timer->Header);
        if (timer->Dpc != nullptr) {
            Queue(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(due & 0xFFFFFFFF)),
                  reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(due >> 32)));
        }
        if (timer->Period > 0) {
            LONGLONG period = KpMs(timer->Period);
            due += period;
            if (due <= now) due = now + period;  // missed periods are not made up
            timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
            ++i;
        } else {
            Disarm(timer);
        }
    }
    if (!gDpcs.empty() && !tIsDpcThread) KiWakeQueue(gDpcWork);
}

void RunOneDpc(KiDispatcherGuard& Lock) {
    PKDPC dpc = gDpcs.front();
    gDpcs.pop_front();
    dpc->DpcData = nullptr;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
    ++gDpcRunning;
    Lock.Unlock();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    routine(dpc, context, a1, a2);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL || KpHeldSpinLockCount() != 0) {
        KpBugCheck(KP_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL,
                   "DPC routine %p returned at %s holding %u spin lock(s)",
                   reinterpret_cast<void*>(routine), KpIrqlName(KeGetCurrentIrql()),
                   KpHeldSpinLockCount());
    }
    KeLowerIrql(old);
    Lock.Lock();
    --gDpcRunning;
    if (gDpcs.empty() && gDpcRunning == 0) KiWakeQueue(gDpcIdle);
}

void DpcThread() {
    tIsDpcThread = true;
    KiDispatcherGuard lock;
    for (;;) {
        Expire();
        if (!gDpcs.empty()) {
            RunOneDpc(lock);
            continue;
        }
        bool armed = !gTimers.empty();
        LONGLONG earliest = 0;
        for (PKTIMER timer : gTimers) {
            LONGLONG due = static_cast<LONGLONG>(timer->DueTime.QuadPart);
            if (earliest == 0 || due < earliest) earliest = due;
        }
        KiSleepOn(lock.Held(), gDpcWork, armed, earliest);
    }
}

// Lock held.
void EnsureThread() {
    if (gThreadStarted) return;
    gThreadStarted = true;
    std::thread(DpcThread).detach();
}

}  // namespace

void KiRunDueTimers() {
    if (tIsDpcThread) return;
    KiDispatcherGuard lock;
    Expire();
    while (!gDpcs.empty() || gDpcRunning != 0) KiSleepOn(lock.Held(), gDpcIdle, false, 0);
}

// ---------------------------------------------------------------------------
// KeInitializeDpc
// ---------------------------------------------------------------------------
void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    std::memset(Dpc, 0, sizeof *Dpc);
    Dpc->Type = kDpcType;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    InitializeListHead(&Dpc->DpcListEntry);
}

// ---------------------------------------------------------------------------
// KeInsertQueueDpc / KeRemoveQueueDpc / KeFlushQueuedDpcs
// ---------------------------------------------------------------------------
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    KiDispatcherGuard lock;
    CheckDpc(Dpc, "KeInsertQueueDpc");
    if (!Queue(Dpc, SystemArgument1, SystemArgument2)) return FALSE;
    EnsureThread();
    KiWakeQueue(gDpcWork);
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    KiDispatcherGuard lock;
    CheckDpc(Dpc, "KeRemoveQueueDpc");
    if (Dpc->DpcData == nullptr) return FALSE;
    gDpcs.erase(std::remove(gDpcs.begin(), gDpcs.end(), Dpc), gDpcs.end());
    Dpc->DpcData = nullptr;
    if (gDpcs.empty() && gDpcRunning == 0) KiWakeQueue(gDpcIdle);
    return TRUE;
}

void KeFlushQueuedDpcs(void) {
    KpAssertIrql(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    std::unique_lock<std::mutex> lock(KiDispatcherLock());
    while (!gDpcs.empty() || gDpcRunning != 0) KiSleepOn(lock, gDpcIdle, false, 0);
}

// ---------------------------------------------------------------------------
// KeInitializeTimer / KeInitializeTimerEx
// ---------------------------------------------------------------------------
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    if (Type != NotificationTimer && Type != SynchronizationTimer) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "KeInitializeTimerEx: timer type %d",
                   static_cast<int>(Type));
    }
    std::lock_guard<std::mutex> lock(KiDispatcherLock());
    Timer->Header.Type =
        Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.Absolute = 0;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

void KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

// ---------------------------------------------------------------------------
// KeSetTimer / KeSetTimerEx
// ---------------------------------------------------------------------------
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    KpAssertIrql(DISPATCH_LEVEL, "KeSetTimerEx");
    if (Period < 0) KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "KeSetTimerEx: period %d", Period);
    if (Dpc != nullptr) CheckDpc(Dpc, "KeSetTimerEx");
    LONGLONG due = 0;
    KiDeadline(&DueTime, &due);
    KiDispatcherGuard lock;
    CheckTimer(Timer, "KeSetTimerEx");
    BOOLEAN wasArmed = Timer->Header.Inserted;
    if (wasArmed) Disarm(Timer);
    Timer->Header.SignalState = 0;
    Timer->Header.Inserted = 1;
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    gTimers.push_back(Timer);
    EnsureThread();
    KiWakeQueue(gDpcWork);  // an earlier due time than the one it sleeps towards
    return wasArmed;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

// ---------------------------------------------------------------------------
// KeCancelTimer / KeReadStateTimer
// ---------------------------------------------------------------------------
BOOLEAN KeCancelTimer(PKTIMER Timer) {
    KpAssertIrql(DISPATCH_LEVEL, "KeCancelTimer");
    std::lock_guard<std::mutex> lock(KiDispatcherLock());
    CheckTimer(Timer, "KeCancelTimer");
    BOOLEAN wasArmed = Timer->Header.Inserted;
    if (wasArmed) Disarm(Timer);
    return wasArmed;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    std::lock_guard<std::mutex> lock(KiDispatcherLock());
    return CheckTimer(Timer, "KeReadStateTimer")->Header.SignalState != 0;
}
