// System threads, their objects and handles, and the floating-point brackets.
#include <atomic>
#include <cfenv>
#include <thread>
#include <time.h>
#include <xmmintrin.h>

#include <gtest/gtest.h>

#include "kp/clock.h"
#include "kp/testing.h"
#include "kp/thread.h"
#include "platform/ke.h"
#include "platform/ob.h"

void KernelStyleRoutine(PVOID Context);  // KernelStyleRoutine.cpp

namespace {

using ThreadTest = kp::testing::KernelTest;

struct Probe {
    KEVENT Go;
    std::atomic<bool> Ran{false};
    std::atomic<bool> AfterTerminate{false};
    KIRQL Irql = HIGH_LEVEL;
    BOOLEAN System = FALSE;
    HANDLE Id = nullptr;
};

void Routine(PVOID Context) {
    auto* p = static_cast<Probe*>(Context);
    p->Irql = KeGetCurrentIrql();
    p->System = KpIsSystemThread();
    p->Id = PsGetCurrentThreadId();
    KeWaitForSingleObject(&p->Go, Executive, KernelMode, FALSE, nullptr);
    p->Ran = true;
}

void TerminatingRoutine(PVOID Context) {
    auto* p = static_cast<Probe*>(Context);
    p->Ran = true;
    PsTerminateSystemThread(STATUS_SUCCESS);
    p->AfterTerminate = true;
}

PVOID ReferenceThread(HANDLE Handle) {
    PVOID object = nullptr;
    EXPECT_EQ(
        ObReferenceObjectByHandle(Handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr),
        STATUS_SUCCESS);
    return object;
}

TEST_F(ThreadTest, RoutineRunsAtPassiveOnItsOwnThreadAndSignalsItsObject) {
    Probe probe;
    KeInitializeEvent(&probe.Go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    CLIENT_ID client{};
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &client, Routine,
                                   &probe),
              STATUS_SUCCESS);
    ASSERT_NE(handle, nullptr);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                        &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KpObjectReferenceCount(thread), 3) << "the handle, the running thread and ours";
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);

    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KpRunningSystemThreadCount(), 1u);
    KeSetEvent(&probe.Go, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(probe.Ran.load());
    EXPECT_EQ(probe.Irql, PASSIVE_LEVEL);
    EXPECT_TRUE(probe.System);
    EXPECT_EQ(probe.Id, client.UniqueThread);
    EXPECT_NE(probe.Id, PsGetCurrentThreadId());
    EXPECT_FALSE(KpIsSystemThread());
    EXPECT_EQ(KpRunningSystemThreadCount(), 0u) << "counted as ended once its object is signalled";
    EXPECT_EQ(KpObjectReferenceCount(thread), 1);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS)
        << "a thread object stays signalled";
    ObDereferenceObject(thread);
    EXPECT_EQ(KpObjectReferenceCount(thread), -1);
}

TEST_F(ThreadTest, TerminateEndsTheRoutineAtOnce) {
    Probe probe;
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   TerminatingRoutine, &probe),
              STATUS_SUCCESS);
    PVOID thread = ReferenceThread(handle);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_TRUE(probe.Ran.load());
    EXPECT_FALSE(probe.AfterTerminate.load());
}

TEST_F(ThreadTest, TerminateUnwindsThroughKernelCodeBuiltWithoutExceptions) {
    int steps = 0;
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   KernelStyleRoutine, &steps),
              STATUS_SUCCESS);
    PVOID thread = ReferenceThread(handle);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_EQ(steps, 3);
}

TEST_F(ThreadTest, ClosingTheHandleEarlyLeavesTheThreadRunningUntilItEnds) {
    Probe probe;
    KeInitializeEvent(&probe.Go, NotificationEvent, FALSE);
    HANDLE handle;
    ULONG objects = KpLiveObjectCount(nullptr);
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Routine,
                                   &probe),
              STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(KpLiveObjectCount(nullptr), objects + 1);
    KeSetEvent(&probe.Go, 0, FALSE);
    while (KpRunningSystemThreadCount() != 0) std::this_thread::yield();
    EXPECT_TRUE(probe.Ran.load());
    EXPECT_EQ(KpLiveObjectCount(nullptr), objects);
}

TEST_F(ThreadTest, InjectedCreationFailures) {
    Probe probe;
    FailThreadCreations(2);
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   TerminatingRoutine, &probe),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   TerminatingRoutine, &probe),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, nullptr);
    EXPECT_FALSE(probe.Ran.load());
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   TerminatingRoutine, &probe),
              STATUS_SUCCESS);
    PVOID thread = ReferenceThread(handle);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_TRUE(probe.Ran.load());
}

// Burns Context's milliseconds of its own CPU time, or sleeps in a kernel wait.
struct Worker {
    LONG CpuMs = 0;  // 0: waits for Go instead
    KEVENT Go;
    std::atomic<bool> Hold{false};  // spins (no kernel wait) while set
    KEVENT Again;
};

void WorkerRoutine(PVOID Context) {
    auto* w = static_cast<Worker*>(Context);
    while (w->Hold.load()) std::this_thread::yield();
    if (w->CpuMs > 0) {
        timespec t{};
        do {
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        } while (t.tv_sec * 1000 + t.tv_nsec / 1000000 < w->CpuMs);
        return;
    }
    KeWaitForSingleObject(&w->Go, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&w->Again, Executive, KernelMode, FALSE, nullptr);
}

HANDLE StartWorker(Worker* w, ULONG_PTR* id = nullptr) {
    KeInitializeEvent(&w->Go, NotificationEvent, FALSE);
    KeInitializeEvent(&w->Again, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    CLIENT_ID client{};
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &client,
                                   WorkerRoutine, w),
              STATUS_SUCCESS);
    if (id != nullptr) *id = reinterpret_cast<ULONG_PTR>(client.UniqueThread);
    return handle;
}

void Join(HANDLE handle) {
    PVOID thread = ReferenceThread(handle);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

const KpSystemThreadInfo* Find(const std::vector<KpSystemThreadInfo>& all, ULONG_PTR id) {
    for (const auto& t : all)
        if (t.Id == id) return &t;
    return nullptr;
}

TEST_F(ThreadTest, EachSystemThreadsCpuTimeIsItsOwnAndKeptAfterItEnds) {
    UseManualClock();
    Worker busy, sleeper;
    busy.CpuMs = 30;
    busy.Hold = true;
    LONGLONG busyCreated = KpClockNow();
    ULONG_PTR busyId = 0, sleeperId = 0;
    HANDLE hb = StartWorker(&busy, &busyId);
    Advance(KpMs(5));
    HANDLE hs = StartWorker(&sleeper, &sleeperId);
    auto running = KpSystemThreads();
    ASSERT_NE(Find(running, busyId), nullptr);
    EXPECT_TRUE(Find(running, busyId)->Running);
    EXPECT_EQ(Find(running, busyId)->CreateTime, busyCreated);
    EXPECT_EQ(Find(running, sleeperId)->CreateTime, busyCreated + KpMs(5));
    EXPECT_FALSE(Find(running, busyId)->Image.empty());
    busy.Hold = false;
    Join(hb);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the sleeper sleeps meanwhile
    KeSetEvent(&sleeper.Go, 0, FALSE);
    KeSetEvent(&sleeper.Again, 0, FALSE);
    Join(hs);
    auto ended = KpSystemThreads();
    const KpSystemThreadInfo* b = Find(ended, busyId);
    const KpSystemThreadInfo* z = Find(ended, sleeperId);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(z, nullptr);
    EXPECT_FALSE(b->Running);
    EXPECT_FALSE(z->Running);
    EXPECT_GE(b->CpuTime100ns, 300000u) << "30 ms burnt";
    EXPECT_LT(b->CpuTime100ns, 300000u * 10);
    EXPECT_LT(z->CpuTime100ns, 100000u) << "asleep, not busy";
    EXPECT_EQ(Find(KpSystemThreads(), busyId)->CpuTime100ns, b->CpuTime100ns) << "final";
    EXPECT_LT(sleeperId, busyId + 8) << "oldest first, ids growing";
    EXPECT_GT(sleeperId, busyId);
}

// Hands a turn back and forth with the test through auto-reset events.
struct PingPong {
    KEVENT Ping, Pong;
    int Rounds = 0;
};

void PingPongRoutine(PVOID Context) {
    auto* p = static_cast<PingPong*>(Context);
    for (int i = 0; i < p->Rounds; ++i) {
        KeWaitForSingleObject(&p->Ping, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&p->Pong, 0, FALSE);
    }
}

// Polls (bounded) until the system threads are idle or not.
bool BecomesIdle(bool wanted) {
    for (int i = 0; i < 20000; ++i) {
        if (static_cast<bool>(KpSystemThreadsIdle(nullptr)) == wanted) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return false;
}

// The CPU time the host charged a system thread while it slept in waits is
// part of its CPU time; a thread that never waited has none.
TEST_F(ThreadTest, TheCpuTimeAsleepInWaitsIsKeptApart) {
    Worker busy;
    busy.CpuMs = 5;
    ULONG_PTR busyId = 0;
    Join(StartWorker(&busy, &busyId));
    PingPong p;
    p.Rounds = 200;
    KeInitializeEvent(&p.Ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&p.Pong, SynchronizationEvent, FALSE);
    HANDLE handle = nullptr;
    CLIENT_ID client{};
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &client,
                                   PingPongRoutine, &p),
              STATUS_SUCCESS);
    ULONG_PTR id = reinterpret_cast<ULONG_PTR>(client.UniqueThread);
    for (int i = 0; i < p.Rounds; ++i) {
        if (i == p.Rounds / 2) {
            auto all = KpSystemThreads();
            const KpSystemThreadInfo* running = Find(all, id);
            ASSERT_NE(running, nullptr);
            EXPECT_TRUE(running->Running);
            EXPECT_LE(running->SleepCpuTime100ns, running->CpuTime100ns);
        }
        // Pinged only once asleep: on a loaded host the thread could
        // otherwise come to every wait with its ping already there.
        ASSERT_TRUE(BecomesIdle(true)) << "the thread waits for its ping";
        KeSetEvent(&p.Ping, 0, FALSE);
        KeWaitForSingleObject(&p.Pong, Executive, KernelMode, FALSE, nullptr);
    }
    Join(handle);
    auto ended = KpSystemThreads();
    const KpSystemThreadInfo* t = Find(ended, id);
    const KpSystemThreadInfo* b = Find(ended, busyId);
    ASSERT_NE(t, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_GT(t->SleepCpuTime100ns, 0u) << "it slept in every wait";
    EXPECT_LE(t->SleepCpuTime100ns, t->CpuTime100ns);
    EXPECT_EQ(b->SleepCpuTime100ns, 0u) << "it never waited";
    EXPECT_GE(b->CpuTime100ns, 50000u);
}

TEST_F(ThreadTest, IdleOnlyWhileEverySystemThreadSleepsUnwoken) {
    ASSERT_TRUE(BecomesIdle(true)) << "no system thread";
    Worker w;
    w.Hold = true;
    HANDLE handle = StartWorker(&w);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(KpSystemThreadsIdle(nullptr)) << "spinning outside any wait";
    w.Hold = false;
    ASSERT_TRUE(BecomesIdle(true)) << "asleep on Go";
    ULONGLONG before = 0, after = 0;
    ASSERT_TRUE(KpSystemThreadsIdle(&before));
    KeSetEvent(&w.Go, 0, FALSE);
    // Woken, with the wake-up counted: a runner that saw it idle before looks again.
    KpSystemThreadsIdle(&after);
    EXPECT_GT(after, before);
    ASSERT_TRUE(BecomesIdle(true)) << "asleep on Again";
    KeSetEvent(&w.Again, 0, FALSE);
    Join(handle);
    EXPECT_TRUE(BecomesIdle(true));
}

TEST_F(ThreadTest, WaitAnyOnThreadsAndEvents) {
    Probe a, b;
    KeInitializeEvent(&a.Go, NotificationEvent, FALSE);
    KeInitializeEvent(&b.Go, NotificationEvent, FALSE);
    HANDLE ha, hb;
    ASSERT_EQ(PsCreateSystemThread(&ha, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Routine, &a),
              STATUS_SUCCESS);
    ASSERT_EQ(PsCreateSystemThread(&hb, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Routine, &b),
              STATUS_SUCCESS);
    PVOID objects[2] = {ReferenceThread(ha), ReferenceThread(hb)};
    ZwClose(ha);
    ZwClose(hb);
    KeSetEvent(&b.Go, 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                       nullptr),
              STATUS_WAIT_0 + 1);
    KeSetEvent(&a.Go, 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                       nullptr),
              STATUS_WAIT_0);
    ObDereferenceObject(objects[0]);
    ObDereferenceObject(objects[1]);
}

// The priority a thread sets is recorded and read back by others; the host
// thread is not changed.
TEST_F(ThreadTest, PriorityIsRecordedPerThreadAndReadBack) {
    struct Raise {
        KEVENT Set, Go;
        KPRIORITY Previous = -1;
    } raise;
    KeInitializeEvent(&raise.Set, NotificationEvent, FALSE);
    KeInitializeEvent(&raise.Go, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(
                  &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID context) {
                      auto* r = static_cast<Raise*>(context);
                      r->Previous = KeSetPriorityThread(KeGetCurrentThread(), 24);
                      KeSetEvent(&r->Set, 0, FALSE);
                      KeWaitForSingleObject(&r->Go, Executive, KernelMode, FALSE, nullptr);
                  },
                  &raise),
              STATUS_SUCCESS);
    auto thread = static_cast<PKTHREAD>(ReferenceThread(handle));
    ZwClose(handle);
    KeWaitForSingleObject(&raise.Set, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(raise.Previous, KP_NORMAL_THREAD_PRIORITY);
    EXPECT_EQ(KeQueryPriorityThread(thread), 24);
    EXPECT_EQ(KeQueryPriorityThread(KeGetCurrentThread()), KP_NORMAL_THREAD_PRIORITY);
    EXPECT_EQ(KeSetPriorityThread(thread, LOW_REALTIME_PRIORITY), 24);
    EXPECT_EQ(KeQueryPriorityThread(thread), LOW_REALTIME_PRIORITY);
    KeSetEvent(&raise.Go, 0, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

TEST_F(ThreadTest, FloatingPointSavesNestAndRestoreTheControlWords) {
    ULONGLONG saves = KpFloatingPointSaves();
    unsigned int mxcsr = _mm_getcsr();
    KFLOATING_SAVE outer, inner;
    ASSERT_EQ(KeSaveFloatingPointState(&outer), STATUS_SUCCESS);
    EXPECT_EQ(KpFloatingPointDepth(), 1u);
    _mm_setcsr((mxcsr & ~0x6000u) | 0x6000u);  // round toward zero
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ASSERT_EQ(KeSaveFloatingPointState(&inner), STATUS_SUCCESS);
    EXPECT_EQ(KpFloatingPointDepth(), 2u);
    _mm_setcsr(mxcsr | 0x8040u);  // flush to zero, denormals are zero
    EXPECT_EQ(KeRestoreFloatingPointState(&inner), STATUS_SUCCESS);
    EXPECT_EQ(_mm_getcsr(), (mxcsr & ~0x6000u) | 0x6000u);
    KeLowerIrql(old);
    EXPECT_EQ(KeRestoreFloatingPointState(&outer), STATUS_SUCCESS);
    EXPECT_EQ(_mm_getcsr(), mxcsr);
    EXPECT_EQ(KpFloatingPointDepth(), 0u);
    EXPECT_EQ(KpFloatingPointSaves(), saves + 2);
    EXPECT_GE(KpFloatingPointSavesAll(), saves + 2);
}

class ThreadDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    // Runs Routine on a system thread and waits for it (the death happens there).
    static void RunSystemThread(PKSTART_ROUTINE Routine) {
        HANDLE handle;
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Routine,
                             nullptr);
        PVOID thread;
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    }
};

TEST_F(ThreadDeathTest, ThreadsMustEndCleanly) {
    EXPECT_DEATH(RunSystemThread([](PVOID) {
                     KIRQL old;
                     KeRaiseIrql(DISPATCH_LEVEL, &old);
                 }),
                 "system thread .* ended at DISPATCH_LEVEL");
    EXPECT_DEATH(RunSystemThread([](PVOID) {
                     static KMUTEX mutex;
                     KeInitializeMutex(&mutex, 0);
                     KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
                 }),
                 "ended holding 1 kernel mutex");
    EXPECT_DEATH(RunSystemThread([](PVOID) {
                     static KFLOATING_SAVE save;
                     KeSaveFloatingPointState(&save);
                 }),
                 "ended with 1 floating-point save");
    EXPECT_DEATH(PsTerminateSystemThread(STATUS_SUCCESS), "not a system thread");
}

TEST_F(ThreadDeathTest, PriorityOutOfRangeIsABugCheck) {
    EXPECT_DEATH(KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY + 1), "priority 32");
}

TEST_F(ThreadDeathTest, HostThreadsMustNotEndHoldingLocks) {
    EXPECT_DEATH(std::thread([] {
                     static KMUTEX mutex;
                     KeInitializeMutex(&mutex, 0);
                     KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
                 }).join(),
                 "a thread ended holding 1 kernel mutex");
    EXPECT_DEATH(std::thread([] {
                     static KSPIN_LOCK lock;
                     KeInitializeSpinLock(&lock);
                     KIRQL old;
                     KeAcquireSpinLock(&lock, &old);
                 }).join(),
                 "a thread ended holding 1 spin lock");
}

TEST_F(ThreadDeathTest, FloatingPointRestoresOutOfOrderBugCheck) {
    EXPECT_DEATH(
        {
            KFLOATING_SAVE a;
            KFLOATING_SAVE b;
            KeSaveFloatingPointState(&a);
            KeSaveFloatingPointState(&b);
            KeRestoreFloatingPointState(&a);
        },
        "is not this thread's innermost save \\(depth 2, save says 1\\)");
}

TEST_F(ThreadDeathTest, SystemThreadsAreCreatedAtPassiveLevel) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            HANDLE handle;
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 TerminatingRoutine, nullptr);
        },
        "PsCreateSystemThread called at APC_LEVEL");
}

}  // namespace
