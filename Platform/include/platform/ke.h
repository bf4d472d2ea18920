// Kernel core: interrupt levels, spin locks, interlocked operations, dispatcher
// objects (events, mutexes, semaphores, threads) and the waits on them, system
// threads, the machine clock, floating-point state and the bug check.
//
// Every routine checks the interrupt-level rules a verifier checks and bug-checks
// with a readable reason when a caller breaks one.
#pragma once

#include "platform/ntdef.h"

// ---------------------------------------------------------------------------
// Interrupt levels (per thread)
// ---------------------------------------------------------------------------
KIRQL KeGetCurrentIrql(void);
// Raises to NewIrql (which must not be below the current level) and returns the
// previous level through OldIrql.
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
// Lowers to NewIrql, which must not be above the current level.
void KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel(void);

// ---------------------------------------------------------------------------
// Spin locks: raise to DISPATCH_LEVEL and really exclude across threads.  The lock
// word holds its owner so that a release by another thread, a recursive acquire
// or a release at the wrong level is a bug check.
// ---------------------------------------------------------------------------
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
// The caller is already at DISPATCH_LEVEL or above.
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock);

// ---------------------------------------------------------------------------
// Interlocked operations: sequentially consistent, on 32- and 64-bit words and
// pointers.  They return what the platform's do (the new value for increment and
// decrement, the previous value for the others).
// ---------------------------------------------------------------------------
inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline CHAR InterlockedExchange8(CHAR volatile* Target, CHAR Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedXor(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_xor(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedIncrement64(LONG64 volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedDecrement64(LONG64 volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 Exchange,
                                           LONG64 Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                               PVOID Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline void KeMemoryBarrier(void) {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

// ---------------------------------------------------------------------------
// Dispatcher objects.  Each begins with a DISPATCHER_HEADER whose Type and Size
// name the kind of object, so that a wait on anything else (say, uninitialised
// pool memory) is a bug check rather than a hang.
// ---------------------------------------------------------------------------
typedef LONG KPRIORITY;

typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    SemaphoreObject = 5,
    ThreadObject = 6,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
} KOBJECTS;

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;  // KOBJECTS
    UCHAR Absolute;
    UCHAR Size;  // sizeof the whole object / sizeof(LONG)
    UCHAR Inserted;
    LONG SignalState;  // > 0 signalled; a mutex holds 1 - recursion count
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny } WAIT_TYPE;
typedef enum _KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
} KWAIT_REASON;

#define MAXIMUM_WAIT_OBJECTS 64
#define THREAD_WAIT_OBJECTS 3

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD ETHREAD, *PETHREAD;  // one object stands for both views

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    PKTHREAD OwnerThread;  // null while free
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

// Caller-supplied wait blocks of KeWaitForMultipleObjects (needed for more than
// THREAD_WAIT_OBJECTS objects).  The host keeps its wait state elsewhere.
typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    PVOID Object;
    PVOID Reserved[4];
} KWAIT_BLOCK, *PKWAIT_BLOCK;

// Events.  KeSetEvent returns the previous signal state; Wait = TRUE is a
// scheduling hint with no observable effect here.  IRQL <= DISPATCH_LEVEL.
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG KeResetEvent(PRKEVENT Event);
void KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

// Kernel mutexes: owned by the acquiring thread, recursive for it, acquired
// through the wait routines.  Release by a thread that does not own the mutex is
// a bug check.  Returns the previous signal state.
void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PRKMUTEX Mutex);

// Semaphores.  Releasing beyond the limit is a bug check.  Returns the previous count.
void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Waits.  Timeout: NULL = infinite; negative = relative, positive = absolute
// system time, both in 100 ns units of the machine clock; zero = test and return.
// A zero time-out is allowed up to DISPATCH_LEVEL, anything else needs
// IRQL <= APC_LEVEL.  Returns STATUS_WAIT_0 (+ index of the lowest satisfied
// object for WaitAny) or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject

// ---------------------------------------------------------------------------
// Timers and DPCs.  A timer's due time is a wait time-out (negative relative,
// positive absolute, on the machine clock); Period in milliseconds re-arms it.
// When it expires it is signalled (a synchronization timer resets on a satisfied
// wait) and its DPC queued.  DPCs run one at a time on the kernel's DPC thread at
// DISPATCH_LEVEL.  With the manual clock, KpClockAdvance returns only after the
// timers it made due have fired and the queued DPCs have run.
// ---------------------------------------------------------------------------
struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;  // non-null while queued
} KDPC, *PKDPC, *PRKDPC;

typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;  // Inserted: armed
    ULARGE_INTEGER DueTime;    // absolute machine time
    LIST_ENTRY TimerListEntry;
    PKDPC Dpc;
    LONG Period;  // milliseconds, 0 = one-shot
} KTIMER, *PKTIMER, *PRKTIMER;

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
// FALSE when the DPC is already queued.  Any IRQL.
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
// TRUE when the DPC was queued (and now is not).
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
// Waits until every queued DPC has run.  IRQL == PASSIVE_LEVEL.
void KeFlushQueuedDpcs(void);

void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// TRUE when the timer was already armed (it is re-armed).  IRQL <= DISPATCH_LEVEL.
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
// TRUE when the timer was armed.  A DPC already queued stays queued.
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// Sleeps on the machine clock; Interval as for a wait time-out.  IRQL <= APC_LEVEL.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);
// Busy-waits on the host's real time (it stands for a processor stall, which the
// machine clock does not see).  Any IRQL.
void KeStallExecutionProcessor(ULONG MicroSeconds);

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------
typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

#define THREAD_ALL_ACCESS 0x001F03FFL

// The calling thread's object.  Every host thread has one (threads not made by
// PsCreateSystemThread get one on first use; it is never signalled).
PKTHREAD KeGetCurrentThread(void);
PETHREAD PsGetCurrentThread(void);
HANDLE PsGetCurrentThreadId(void);
HANDLE PsGetCurrentProcessId(void);

// Starts StartRoutine(StartContext) on a new host thread at PASSIVE_LEVEL and
// returns a handle to its thread object (close it with ZwClose).  The thread
// object is signalled when the routine returns or calls PsTerminateSystemThread.
// IRQL == PASSIVE_LEVEL.  Failure can be injected (kp/thread.h).
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
// Ends the calling system thread (only system threads may call it).
DECLSPEC_NORETURN NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);

// Scheduling priorities: 1-15 variable, 16-31 real-time.  Every thread starts at
// the normal priority.  The host schedules its threads as it likes, so the
// priority is only recorded: a driver's choice can be read back, not felt.
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define KP_NORMAL_THREAD_PRIORITY 8
// Sets Thread's priority and returns the one it had.  A priority outside
// LOW_PRIORITY..HIGH_PRIORITY is a bug check.  IRQL <= DISPATCH_LEVEL.
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
// Thread's current priority.  Any IRQL.
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);

void KeEnterCriticalRegion(void);
void KeLeaveCriticalRegion(void);

// ---------------------------------------------------------------------------
// Machine clock: one clock behind system time, the performance counter, the tick
// count, delays and every wait time-out (kp/clock.h controls it).
// ---------------------------------------------------------------------------
// 100 ns units since 1 January 1601.
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
// Counter since machine start; Frequency (optional) receives the counts per
// second (10 MHz: one count per 100 ns).
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
// Ticks of KeQueryTimeIncrement() 100 ns units since machine start.
void KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG KeQueryTimeIncrement(void);
// 100 ns units since machine start.
ULONGLONG KeQueryInterruptTime(void);

// ---------------------------------------------------------------------------
// Floating point.  Code that uses the floating-point unit brackets it with these;
// they save and restore MXCSR and the x87 control word and count nesting per
// thread (kp/thread.h reads the counts).  IRQL <= DISPATCH_LEVEL.  Restores must
// come in reverse order of the saves.
// ---------------------------------------------------------------------------
typedef struct _KFLOATING_SAVE {
    ULONG Mxcsr;
    USHORT ControlWord;
    USHORT Reserved;
    ULONG Depth;  // nesting depth this save opened
    ULONG Magic;
} KFLOATING_SAVE, *PKFLOATING_SAVE;

NTSTATUS KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave);
NTSTATUS KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave);

// ---------------------------------------------------------------------------
// Bug check: prints "*** STOP: 0x%08X (...)" and the reason, then aborts.
// ---------------------------------------------------------------------------
DECLSPEC_NORETURN void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                    ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                                    ULONG_PTR BugCheckParameter4);
DECLSPEC_NORETURN void KeBugCheck(ULONG BugCheckCode);
