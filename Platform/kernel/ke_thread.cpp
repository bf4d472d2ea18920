// Threads: system threads on host threads, thread objects, floating-point brackets.
//
// A system thread's object is registered with the object manager.  It holds two
// references at first: the creator's handle and the running thread's own.  When
// the routine ends, the object is signalled and the thread's reference dropped in
// one step under the dispatcher lock, so whoever wakes from a wait on it sees the
// thread completely finished.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <dlfcn.h>
#include <filesystem>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <time.h>
#include <unordered_map>
#include <xmmintrin.h>

#include "ke_private.h"
#include "kp/clock.h"
#include "kp/irql.h"
#include "kp/thread.h"

namespace {

std::atomic<ULONG_PTR> gNextThreadId{4};
std::atomic<ULONG> gFailCreations{0};
std::atomic<ULONG> gRunning{0};

// Driver code running now: the start routines of system threads whose routine
// has not yet returned, and completion routines being called, so that the image
// loader does not unmap code a thread is still running (a driver that can only
// wait for its thread's exit event, or for the event its completion routine
// sets, would otherwise lose the routine's last instructions under it).
std::mutex gRoutinesLock;
std::condition_variable gRoutineEnded;
std::unordered_multimap<const void*, int> gRoutines;  // routine -> (unused)

const void* ImageBaseOf(const void* address) {
    Dl_info info{};
    return dladdr(address, &info) != 0 ? info.dli_fbase : nullptr;
}
std::atomic<ULONGLONG> gFpSavesAll{0};

// The system threads made so far, for their CPU time.  A running thread's CPU
// clock is read only under the lock, and the thread itself marks the record
// ended (with its final time) under it before it goes, so no dead thread's
// clock is ever read.
struct ThreadRecord {
    KpSystemThreadInfo Info;
    clockid_t Clock{};
    bool ClockKnown = false;
    PKTHREAD Thread = nullptr;  // while running (the running thread holds a reference)
};
constexpr size_t kEndedRecordsKept = 1024;
std::mutex gRecordsLock;
std::deque<ThreadRecord> gRecords;

ULONGLONG CpuTime100ns(clockid_t clock) {
    timespec t{};
    if (clock_gettime(clock, &t) != 0) return 0;
    return static_cast<ULONGLONG>(t.tv_sec) * 10000000ull + static_cast<ULONGLONG>(t.tv_nsec) / 100;
}

ThreadRecord* FindRecord(ULONG_PTR id) {
    for (auto it = gRecords.rbegin(); it != gRecords.rend(); ++it)
        if (it->Info.Id == id) return &*it;
    return nullptr;
}

void AddRecord(PKTHREAD thread) {
    ThreadRecord record;
    record.Info.Id = thread->Id;
    record.Thread = thread;
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(thread->Routine), &info) != 0 &&
        info.dli_fname != nullptr)
        record.Info.Image = std::filesystem::path(info.dli_fname).filename().string();
    record.Info.CreateTime = KpClockNow();
    record.Info.Running = TRUE;
    std::lock_guard<std::mutex> lock(gRecordsLock);
    gRecords.push_back(std::move(record));
    size_t ended = 0;
    for (const ThreadRecord& r : gRecords) ended += !r.Info.Running;
    for (auto it = gRecords.begin(); ended > kEndedRecordsKept && it != gRecords.end();) {
        if (!it->Info.Running) {
            it = gRecords.erase(it);
            --ended;
        } else {
            ++it;
        }
    }
}

// In the thread itself, first and last.
void RecordStarted(PKTHREAD thread) {
    std::lock_guard<std::mutex> lock(gRecordsLock);
    if (ThreadRecord* r = FindRecord(thread->Id))
        r->ClockKnown = pthread_getcpuclockid(pthread_self(), &r->Clock) == 0;
}

// Ran: its own CPU time is the final one; never started: none.
void RecordEnded(PKTHREAD thread, bool ran) {
    std::lock_guard<std::mutex> lock(gRecordsLock);
    if (ThreadRecord* r = FindRecord(thread->Id)) {
        r->Info.CpuTime100ns = ran ? CpuTime100ns(CLOCK_THREAD_CPUTIME_ID) : 0;
        r->Info.SleepCpuTime100ns = __atomic_load_n(&thread->SleepCpu100ns, __ATOMIC_RELAXED);
        r->Info.Running = FALSE;
        r->Thread = nullptr;
        r->ClockKnown = false;
    }
}

constexpr ULONG kFloatSaveMagic = 0x5346504B;  // "KPFS"

// Thrown by PsTerminateSystemThread, caught at the bottom of the thread.
struct ThreadTermination {
    NTSTATUS Status;
};

void DeleteThread(PVOID Object) {
    delete static_cast<PKTHREAD>(Object);
}

const KP_OBJECT_TYPE kThreadType = {"Thread", DeleteThread};
const POBJECT_TYPE kThreadTypePointer = &kThreadType;

void InitThread(PKTHREAD Thread, bool System) {
    Thread->Header.Type = ThreadObject;
    Thread->Header.Absolute = 0;
    Thread->Header.Size = static_cast<UCHAR>(sizeof(KTHREAD) / sizeof(LONG));
    Thread->Header.Inserted = 0;
    Thread->Header.SignalState = 0;
    InitializeListHead(&Thread->Header.WaitListHead);
    Thread->Id = KiNewThreadId();
    Thread->Routine = nullptr;
    Thread->Context = nullptr;
    Thread->ExitStatus = STATUS_PENDING;
    Thread->System = System ? TRUE : FALSE;
    Thread->OwnedMutexes = 0;
    Thread->Priority = KP_NORMAL_THREAD_PRIORITY;
    Thread->SleepCpu100ns = 0;
}

// The routine has ended: check what it left behind, then signal and let go.
void FinishThread(PKTHREAD Thread) {
    KiThreadState& state = KiCurrent();
    const void* routine = reinterpret_cast<const void*>(Thread->Routine);
    if (state.Irql != PASSIVE_LEVEL) {
        KpBugCheck(KP_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, "system thread %p (routine %p) ended at %s",
                   static_cast<void*>(Thread), routine, KpIrqlName(state.Irql));
    }
    if (state.FpDepth != 0) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "system thread %p ended with %u floating-point save(s) open",
                   static_cast<void*>(Thread), state.FpDepth);
    }
    if (state.CriticalRegion != 0) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "system thread %p ended inside a critical region",
                   static_cast<void*>(Thread));
    }
    KiDispatcherGuard lock;
    if (Thread->OwnedMutexes != 0) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "system thread %p ended holding %d kernel mutex(es)", static_cast<void*>(Thread),
                   Thread->OwnedMutexes);
    }
    state.Thread = nullptr;
    Thread->Header.SignalState = 1;
    KiWaitTest(&Thread->Header);
    ObDereferenceObject(Thread);  // may delete it; nobody waits on a thread without a reference
    --gRunning;                   // last: a thread counted as ended is completely gone
}

void ThreadMain(PKTHREAD Thread) {
    KiThreadState& state = KiCurrent();
    state.Thread = Thread;
    RecordStarted(Thread);
    try {
        Thread->Routine(Thread->Context);
        Thread->ExitStatus = STATUS_SUCCESS;
    } catch (const ThreadTermination& termination) {
        Thread->ExitStatus = termination.Status;
    }
    RecordEnded(Thread, true);  // before the thread is signalled: a waiter sees its whole time
    KpLeaveDriverCode(reinterpret_cast<const void*>(Thread->Routine));
    FinishThread(Thread);
}

}  // namespace

void KpEnterDriverCode(const void* routine) {
    std::lock_guard<std::mutex> lock(gRoutinesLock);
    gRoutines.emplace(routine, 0);
}

void KpLeaveDriverCode(const void* routine) {
    {
        std::lock_guard<std::mutex> lock(gRoutinesLock);
        auto it = gRoutines.find(routine);
        if (it != gRoutines.end()) gRoutines.erase(it);
    }
    gRoutineEnded.notify_all();
}

const POBJECT_TYPE* PsThreadType = &kThreadTypePointer;

ULONGLONG KiThreadCpuTime100ns() {
    return CpuTime100ns(CLOCK_THREAD_CPUTIME_ID);
}

ULONG_PTR KiNewThreadId() {
    return gNextThreadId.fetch_add(4);
}

KiThreadState::~KiThreadState() {
    // A host thread that ends holding a spin lock or a kernel mutex would leave it
    // held for ever: say so instead of letting another thread hang on it later.
    if (SpinLocksHeld != 0)
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "a thread ended holding %u spin lock(s)",
                   SpinLocksHeld);
    if (Thread == nullptr || Thread->System) return;
    {
        std::lock_guard<std::mutex> lock(KiDispatcherLock());
        if (Thread->OwnedMutexes != 0) {
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "a thread ended holding %d kernel mutex(es)",
                       Thread->OwnedMutexes);
        }
    }
    // An adopted (non-system) thread's object dies with the host thread.
    delete Thread;
}

// ---------------------------------------------------------------------------
// KeGetCurrentThread / PsGetCurrentThread / PsGetCurrentThreadId
// ---------------------------------------------------------------------------
PKTHREAD KeGetCurrentThread(void) {
    KiThreadState& state = KiCurrent();
    if (state.Thread == nullptr) {
        state.Thread = new KTHREAD;
        InitThread(state.Thread, false);
    }
    return state.Thread;
}

PETHREAD PsGetCurrentThread(void) {
    return KeGetCurrentThread();
}

HANDLE PsGetCurrentThreadId(void) {
    return reinterpret_cast<HANDLE>(KeGetCurrentThread()->Id);
}

// The system process.
HANDLE PsGetCurrentProcessId(void) {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(4));
}

// ---------------------------------------------------------------------------
// PsCreateSystemThread
// ---------------------------------------------------------------------------
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    KpAssertIrql(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (ProcessHandle != nullptr) {
        KpBugCheck(KP_BUGCHECK_UNSUPPORTED,
                   "PsCreateSystemThread: threads of other processes are not supported");
    }
    if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    for (ULONG n = gFailCreations.load(); n != 0;) {
        if (gFailCreations.compare_exchange_weak(n, n - 1)) return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* thread = new KTHREAD;
    InitThread(thread, true);
    thread->Routine = StartRoutine;
    thread->Context = StartContext;
    if (!NT_SUCCESS(KpInsertObject(thread, &kThreadType))) {
        delete thread;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    HANDLE handle = KpCreateObjectHandle(thread);  // the handle's reference
    if (handle == nullptr) {
        ObDereferenceObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The registration's reference becomes the running thread's.
    ++gRunning;
    KpEnterDriverCode(reinterpret_cast<const void*>(StartRoutine));
    AddRecord(thread);
    try {
        std::thread(ThreadMain, thread).detach();
    } catch (const std::system_error&) {
        RecordEnded(thread, false);
        KpLeaveDriverCode(reinterpret_cast<const void*>(StartRoutine));
        --gRunning;
        ObDereferenceObject(thread);
        ZwClose(handle);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = PsGetCurrentProcessId();
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(thread->Id);
    }
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// PsTerminateSystemThread
// ---------------------------------------------------------------------------
NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    PKTHREAD thread = KiCurrent().Thread;
    if (thread == nullptr || !thread->System) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "PsTerminateSystemThread called on a thread that is not a system thread");
    }
    throw ThreadTermination{ExitStatus};
}

// ---------------------------------------------------------------------------
// KeSetPriorityThread / KeQueryPriorityThread
// ---------------------------------------------------------------------------
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    KpAssertIrql(DISPATCH_LEVEL, "KeSetPriorityThread");
    if (Thread == nullptr || Thread->Header.Type != ThreadObject) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "KeSetPriorityThread: %p is not a thread",
                   static_cast<void*>(Thread));
    }
    if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "KeSetPriorityThread: priority %d out of range",
                   static_cast<int>(Priority));
    }
    return __atomic_exchange_n(&Thread->Priority, Priority, __ATOMIC_SEQ_CST);
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
    return __atomic_load_n(&Thread->Priority, __ATOMIC_SEQ_CST);
}

void KpFailThreadCreations(ULONG Count) {
    gFailCreations = Count;
}

ULONG KpRunningSystemThreadCount(void) {
    return gRunning.load();
}

void KpWaitForSystemThreadsOfImage(const void* addressInImage) {
    const void* base = ImageBaseOf(addressInImage);
    if (base == nullptr) return;
    auto running = [base] {
        for (const auto& entry : gRoutines)
            if (ImageBaseOf(entry.first) == base) return true;
        return false;
    };
    std::unique_lock<std::mutex> lock(gRoutinesLock);
    // A thread still in the image long after its driver unloaded was never
    // stopped: that is the driver's fault, reported rather than waited for.
    if (!gRoutineEnded.wait_for(lock, std::chrono::seconds(30), [&] { return !running(); })) {
        lock.unlock();
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "a driver image was unloaded while one of its system threads still runs");
    }
}

std::vector<KpSystemThreadInfo> KpSystemThreads(void) {
    std::lock_guard<std::mutex> lock(gRecordsLock);
    std::vector<KpSystemThreadInfo> out;
    for (const ThreadRecord& r : gRecords) {
        out.push_back(r.Info);
        if (!r.Info.Running) continue;
        // The sleep time first: read after it, the whole time holds all of it.
        out.back().SleepCpuTime100ns = __atomic_load_n(&r.Thread->SleepCpu100ns, __ATOMIC_RELAXED);
        if (r.ClockKnown) out.back().CpuTime100ns = CpuTime100ns(r.Clock);
    }
    return out;
}

BOOLEAN KpIsSystemThread(void) {
    PKTHREAD thread = KiCurrent().Thread;
    return thread != nullptr && thread->System;
}

// ---------------------------------------------------------------------------
// KeSaveFloatingPointState
// ---------------------------------------------------------------------------
NTSTATUS KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave) {
    KpAssertIrql(DISPATCH_LEVEL, "KeSaveFloatingPointState");
    KiThreadState& state = KiCurrent();
    USHORT control;
    __asm__ __volatile__("fnstcw %0" : "=m"(control));
    FloatSave->Mxcsr = _mm_getcsr();
    FloatSave->ControlWord = control;
    FloatSave->Reserved = 0;
    FloatSave->Depth = ++state.FpDepth;
    FloatSave->Magic = kFloatSaveMagic;
    ++state.FpSaves;
    ++gFpSavesAll;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// KeRestoreFloatingPointState
// ---------------------------------------------------------------------------
NTSTATUS KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave) {
    KiThreadState& state = KiCurrent();
    if (FloatSave->Magic != kFloatSaveMagic || FloatSave->Depth != state.FpDepth ||
        state.FpDepth == 0) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "KeRestoreFloatingPointState: %p is not this thread's innermost save (depth %u, "
                   "save says %u)",
                   static_cast<void*>(FloatSave), state.FpDepth,
                   FloatSave->Magic == kFloatSaveMagic ? FloatSave->Depth : 0u);
    }
    USHORT control = FloatSave->ControlWord;
    __asm__ __volatile__("fldcw %0" : : "m"(control));
    _mm_setcsr(FloatSave->Mxcsr);
    FloatSave->Magic = 0;
    --state.FpDepth;
    return STATUS_SUCCESS;
}

ULONG KpFloatingPointDepth(void) {
    return KiCurrent().FpDepth;
}
ULONGLONG KpFloatingPointSaves(void) {
    return KiCurrent().FpSaves;
}
ULONGLONG KpFloatingPointSavesAll(void) {
    return gFpSavesAll.load();
}
