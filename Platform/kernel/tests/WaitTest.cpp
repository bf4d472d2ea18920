// Dispatcher objects and waits, with time-outs on a hand-advanced machine clock.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <semaphore.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kp/clock.h"
#include "kp/testing.h"
#include "kp/thread.h"
#include "platform/ke.h"

namespace {

constexpr NTSTATUS kPending = 0x7FFFFFFF;

class WaitTest : public kp::testing::KernelTest {
protected:
    // Blocks until Count threads sit in waits with their deadlines fixed.
    static void AwaitWaiters(ULONG Count) {
        while (KpBlockedWaiterCount() < Count) std::this_thread::yield();
    }
    // Gives woken threads a chance to run; a test never depends on its length.
    static void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

    static NTSTATUS WaitFor(PVOID Object, LONGLONG Timeout) {
        LARGE_INTEGER t;
        t.QuadPart = Timeout;
        return KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, &t);
    }
};

TEST_F(WaitTest, RelativeTimeoutRunsOnTheMachineClock) {
    UseManualClock();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LONGLONG start = KpClockNow();
    std::atomic<NTSTATUS> result{kPending};
    std::thread waiter([&] { result = WaitFor(&event, -KpMs(100)); });
    AwaitWaiters(1);
    Advance(KpMs(99));
    Settle();
    EXPECT_EQ(result.load(), kPending) << "woke before its deadline";
    Advance(KpMs(1));
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
    EXPECT_EQ(KpClockNow() - start, KpMs(100));
}

TEST_F(WaitTest, AbsoluteTimeoutAndSignalBeforeIt) {
    UseManualClock();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LONGLONG deadline = KpClockNow() + KpMs(50);
    std::atomic<NTSTATUS> result{kPending};
    std::thread waiter([&] { result = WaitFor(&event, deadline); });
    AwaitWaiters(1);
    Advance(KpMs(49));
    Settle();
    EXPECT_EQ(result.load(), kPending);
    Advance(KpMs(1));
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);

    // The same wait signalled in time ends with success, and the clock stands still.
    result = kPending;
    std::thread second([&] { result = WaitFor(&event, -KpMs(10)); });
    AwaitWaiters(1);
    KeSetEvent(&event, 0, FALSE);
    second.join();
    EXPECT_EQ(result.load(), STATUS_SUCCESS);
}

TEST_F(WaitTest, ZeroTimeoutTestsAndReturnsEvenAtDispatchLevel) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(WaitFor(&event, 0), STATUS_TIMEOUT);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(WaitFor(&event, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "a satisfied wait resets a synchronization event";
    KeLowerIrql(old);
}

TEST_F(WaitTest, EventStatesAndPreviousValues) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(WaitFor(&event, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "a notification event stays set";
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(WaitTest, SynchronizationEventWakesExactlyOneWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                      STATUS_SUCCESS);
            ++woken;
        });
    }
    AwaitWaiters(3);
    KeSetEvent(&event, 0, FALSE);
    while (woken.load() < 1) std::this_thread::yield();
    Settle();
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, 0, FALSE);
    while (woken.load() < 2) std::this_thread::yield();
    KeSetEvent(&event, 0, FALSE);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 3);
}

TEST_F(WaitTest, NotificationEventWakesEveryWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                      STATUS_SUCCESS);
        });
    }
    AwaitWaiters(3);
    KeSetEvent(&event, 0, FALSE);
    for (auto& t : waiters) t.join();
}

TEST_F(WaitTest, MutexIsRecursiveForItsOwnerAndExcludesOthers) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(KeReadStateMutex(&mutex), -2);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());

    NTSTATUS other = kPending;
    std::thread([&] { other = WaitFor(&mutex, 0); }).join();
    EXPECT_EQ(other, STATUS_TIMEOUT);

    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -2);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread()) << "still held once";
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(mutex.OwnerThread, nullptr);

    std::thread([&] {
        other = WaitFor(&mutex, 0);
        KeReleaseMutex(&mutex, FALSE);
    }).join();
    EXPECT_EQ(other, STATUS_SUCCESS);
}

TEST_F(WaitTest, MutexWaiterGetsItWhenTheOwnerReleases) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    std::atomic<bool> owned{false};
    std::thread waiter([&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        owned = mutex.OwnerThread == KeGetCurrentThread();
        KeReleaseMutex(&mutex, FALSE);
    });
    AwaitWaiters(1);
    KeReleaseMutex(&mutex, FALSE);
    waiter.join();
    EXPECT_TRUE(owned.load());
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(WaitTest, SemaphoreCountsAndLimit) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 2, 3);
    EXPECT_EQ(WaitFor(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitFor(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitFor(&semaphore, 0), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 3, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
}

TEST_F(WaitTest, WaitAnyReturnsTheLowestSignalledIndexAndTakesOnlyIt) {
    KEVENT events[4];
    PVOID objects[4];
    for (int i = 0; i < 4; ++i) {
        KeInitializeEvent(&events[i], SynchronizationEvent, FALSE);
        objects[i] = &events[i];
    }
    KWAIT_BLOCK blocks[4];
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(
        KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, &zero, blocks),
        STATUS_TIMEOUT);
    KeSetEvent(&events[3], 0, FALSE);
    KeSetEvent(&events[1], 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                       blocks),
              STATUS_WAIT_0 + 1);
    EXPECT_EQ(KeReadStateEvent(&events[1]), 0);
    EXPECT_EQ(KeReadStateEvent(&events[3]), 1);
    EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                       blocks),
              STATUS_WAIT_0 + 3);
}

TEST_F(WaitTest, WaitAllTakesEverythingAtOnceOrNothing) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 1);
    PVOID objects[3] = {&event, &mutex, &semaphore};
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(
        KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "a wait-all that fails takes nothing";
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);

    std::atomic<NTSTATUS> result{kPending};
    std::thread waiter([&] {
        result = KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE,
                                          nullptr, nullptr);
        EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
        KeReleaseMutex(&mutex, FALSE);
    });
    AwaitWaiters(1);
    KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

TEST_F(WaitTest, DelayAndSleepFollowTheManualClock) {
    UseManualClock();
    LONGLONG start = KpClockNow();
    std::atomic<bool> delayed{false}, slept{false};
    std::thread delayer([&] {
        LARGE_INTEGER interval = KpRelativeTimeout(KpMs(10));
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
        delayed = true;
    });
    std::thread sleeper([&] {
        KpClockSleepUntil(start + KpMs(20));
        slept = true;
    });
    AwaitWaiters(2);
    Advance(KpMs(10));
    delayer.join();
    EXPECT_TRUE(delayed.load());
    EXPECT_FALSE(slept.load());
    Advance(KpMs(10));
    sleeper.join();
    EXPECT_TRUE(slept.load());
}

TEST_F(WaitTest, ClockQueriesAgreeAndListenersHearAdvances) {
    UseManualClock();
    LARGE_INTEGER t0, t1, f;
    KeQuerySystemTime(&t0);
    LARGE_INTEGER c0 = KeQueryPerformanceCounter(&f);
    EXPECT_EQ(f.QuadPart, 10000000);
    std::vector<LONGLONG> heard;
    ULONG id = KpClockAddListener(
        [](void* ctx, LONGLONG now) { static_cast<std::vector<LONGLONG>*>(ctx)->push_back(now); },
        &heard);
    Advance(KpMs(250));
    KpClockRemoveListener(id);
    Advance(1);
    KeQuerySystemTime(&t1);
    LARGE_INTEGER c1 = KeQueryPerformanceCounter(nullptr);
    EXPECT_EQ(t1.QuadPart - t0.QuadPart, KpMs(250) + 1);
    EXPECT_EQ(c1.QuadPart - c0.QuadPart, KpMs(250) + 1);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], t0.QuadPart + KpMs(250));
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(static_cast<ULONGLONG>(ticks.QuadPart),
              KeQueryInterruptTime() / KeQueryTimeIncrement());
    // System time counts from 1601: any date after 2020 is past 1.3e17.
    EXPECT_GT(t1.QuadPart, 132000000000000000LL);
}

TEST_F(WaitTest, ScaledClockRunsMachineTimeFaster) {
    KpClockMode saved = KpClockGetMode();
    KpClockSetMode(KpClockMode::Scaled, 100000.0);
    LONGLONG start = KpClockNow();
    LARGE_INTEGER interval =
        KpRelativeTimeout(10LL * 10000000);  // 10 s of machine time, 0.1 ms of host time
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_GE(KpClockNow() - start, 10LL * 10000000);
    KpClockSetMode(saved);
}

// Wake-ups of sleeping waiters so far (the runner's counter).
ULONGLONG Wakes() {
    ULONGLONG wakes = 0;
    KpSystemThreadsIdle(&wakes);
    return wakes;
}

// A zero delay gives the processor to another ready thread and returns at
// once, the manual clock standing still: a thread polling with it neither
// sleeps (it is not an idle thread the runner could move the clock for) nor
// keeps a thread that shares its processor from running.
TEST_F(WaitTest, AZeroDelayYieldsAndReturnsAtOnce) {
    UseManualClock();
    const LONGLONG start = KpClockNow();
    cpu_set_t saved, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    std::atomic<bool> stop{false}, spinning{false};
    std::thread other([&] {  // inherits the one processor
        spinning = true;
        while (!stop.load()) sched_yield();  // hands the processor straight back
    });
    while (!spinning.load()) std::this_thread::yield();
    const ULONGLONG wakes = Wakes();
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    constexpr int kDelays = 200;
    LARGE_INTEGER none;
    none.QuadPart = 0;
    for (int i = 0; i < kDelays; ++i)
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &none), STATUS_SUCCESS);
    getrusage(RUSAGE_THREAD, &after);
    stop = true;
    other.join();
    sched_setaffinity(0, sizeof saved, &saved);
    EXPECT_EQ(KpClockNow(), start);
    EXPECT_EQ(Wakes(), wakes) << "a zero delay slept";
    EXPECT_EQ(KpBlockedWaiterCount(), 0u);
    // Each delay handed the processor to the other thread (a switch the host
    // counts as involuntary); without yielding, the 200 delays fit in one
    // time slice.
    EXPECT_GE(after.ru_nivcsw - before.ru_nivcsw, kDelays / 2);
}

// A signal or a clock move wakes the waiters of what changed and no one else:
// a timed waiter sleeps through unrelated signals and clock moves short of its
// deadline, and each wake-up is one sleeper's.
// A runner moves the machine clock while a caller is blocked in the kernel.
// Once a signal has woken the caller it no longer counts as blocked, though
// the host has not run it yet: a runner must not go on moving the clock
// through the caller's wake-up.  The caller is held inside a signal handler
// so that the host cannot run it between the signal and the count.
#if !defined(__SANITIZE_THREAD__)
sem_t gHandlerEntered;
sem_t gHandlerGate;
void HoldInHandler(int) {
    sem_post(&gHandlerEntered);
    while (sem_wait(&gHandlerGate) != 0) {
    }
}
#endif

TEST_F(WaitTest, AWokenWaiterTheHostHasNotRunIsNoLongerBlocked) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer defers signals to a thread asleep in a system call";
#else
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    ASSERT_EQ(sem_init(&gHandlerEntered, 0, 0), 0);
    ASSERT_EQ(sem_init(&gHandlerGate, 0, 0), 0);
    struct sigaction hold {
    }, old{};
    hold.sa_handler = HoldInHandler;
    sigemptyset(&hold.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &hold, &old), 0);
    std::atomic<NTSTATUS> result{kPending};
    std::thread waiter([&] { result = WaitFor(&event, -KpMs(1000)); });
    AwaitWaiters(1);
    pthread_kill(waiter.native_handle(), SIGUSR1);
    while (sem_wait(&gHandlerEntered) != 0) {
    }
    EXPECT_EQ(KpBlockedWaiterCount(), 1u) << "asleep, only held in the handler";
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(KpBlockedWaiterCount(), 0u) << "woken, though not yet run";
    EXPECT_EQ(result.load(), kPending);
    sem_post(&gHandlerGate);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_WAIT_0);
    sigaction(SIGUSR1, &old, nullptr);
    sem_destroy(&gHandlerEntered);
    sem_destroy(&gHandlerGate);
#endif
}

TEST_F(WaitTest, OnlyTheWaitersOfWhatChangedWake) {
    UseManualClock();
    KEVENT first, second, unrelated;
    KeInitializeEvent(&first, SynchronizationEvent, FALSE);
    KeInitializeEvent(&second, NotificationEvent, FALSE);
    KeInitializeEvent(&unrelated, NotificationEvent, FALSE);
    KSEMAPHORE idle;
    KeInitializeSemaphore(&idle, 0, 4);
    std::atomic<NTSTATUS> untimed{kPending}, timed{kPending};
    std::thread a(
        [&] { untimed = KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr); });
    std::thread b([&] { timed = WaitFor(&second, -KpMs(100)); });
    AwaitWaiters(2);
    const ULONGLONG before = Wakes();
    KeSetEvent(&unrelated, 0, FALSE);
    KeReleaseSemaphore(&idle, 0, 2, FALSE);
    KeResetEvent(&unrelated);
    KeSetEvent(&unrelated, 0, FALSE);
    Advance(KpMs(99));
    EXPECT_EQ(Wakes(), before) << "a sleeper woke for an object it does not wait on";

    KeSetEvent(&first, 0, FALSE);
    a.join();
    EXPECT_EQ(untimed.load(), STATUS_SUCCESS);
    EXPECT_EQ(Wakes(), before + 1);
    EXPECT_EQ(KeReadStateEvent(&first), 0) << "its waiter took the signal";
    Settle();
    EXPECT_EQ(timed.load(), kPending);

    Advance(KpMs(1));
    b.join();
    EXPECT_EQ(timed.load(), STATUS_TIMEOUT);
    EXPECT_EQ(Wakes(), before + 2);
}

// A signal wakes only as many sleepers as the object can satisfy, and no
// wait-all whose other objects are not all there.
TEST_F(WaitTest, ASignalWakesOnlyTheSleepersItCanSatisfy) {
    KEVENT autoReset, half, gate;
    KeInitializeEvent(&autoReset, SynchronizationEvent, FALSE);
    KeInitializeEvent(&half, SynchronizationEvent, FALSE);
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 3);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    std::atomic<int> through{0};
    std::vector<std::thread> threads;
    auto start = [&](PVOID object) {
        threads.emplace_back([&through, object] {
            KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
            if (static_cast<DISPATCHER_HEADER*>(object)->Type == MutantObject)
                KeReleaseMutex(static_cast<PKMUTEX>(object), FALSE);
            ++through;
        });
    };
    for (int i = 0; i < 3; ++i) start(&autoReset);
    for (int i = 0; i < 3; ++i) start(&semaphore);
    for (int i = 0; i < 2; ++i) start(&mutex);
    PVOID both[2] = {&half, &gate};
    std::atomic<NTSTATUS> all{kPending};
    threads.emplace_back([&] {
        all = KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                       nullptr);
    });
    AwaitWaiters(9);
    const ULONGLONG before = Wakes();
    auto expect = [&](int passed, ULONGLONG wakes, const char* what) {
        while (through.load() < passed) std::this_thread::yield();
        Settle();
        EXPECT_EQ(through.load(), passed) << what;
        EXPECT_EQ(Wakes() - before, wakes) << what;
    };
    KeSetEvent(&autoReset, 0, FALSE);
    expect(1, 1, "an auto-reset event set once");
    KeReleaseSemaphore(&semaphore, 0, 2, FALSE);
    expect(3, 3, "a semaphore released by two");
    KeReleaseMutex(&mutex, FALSE);
    expect(5, 5, "a mutex released, then released again by its next owner");
    KeSetEvent(&half, 0, FALSE);
    expect(5, 5, "a wait-all with one of its objects still unsignalled");
    EXPECT_EQ(all.load(), kPending);
    KeSetEvent(&gate, 0, FALSE);
    while (all.load() == kPending) std::this_thread::yield();
    EXPECT_EQ(all.load(), STATUS_WAIT_0);
    EXPECT_EQ(Wakes() - before, 6u);
    EXPECT_EQ(KeReadStateEvent(&half), 0);
    KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
    KeSetEvent(&autoReset, 0, FALSE);
    while (through.load() < 7) std::this_thread::yield();
    KeSetEvent(&autoReset, 0, FALSE);
    for (auto& t : threads) t.join();
    EXPECT_EQ(through.load(), 8);
}

// Of two sleepers on an auto-reset event, the first also waits for a second
// event; both events are set at once.  Woken for the first, it may find the
// second there and take that instead: the first event then goes to the other
// sleeper rather than staying set with a sleeper on it.
TEST_F(WaitTest, AWokenWaiterThatTakesAnotherObjectPassesTheSignalOn) {
    for (int round = 0; round < 20; ++round) {
        KEVENT shared, other;
        KeInitializeEvent(&shared, SynchronizationEvent, FALSE);
        KeInitializeEvent(&other, SynchronizationEvent, FALSE);
        PVOID objects[2] = {&other, &shared};
        std::atomic<NTSTATUS> first{kPending};
        std::atomic<bool> secondDone{false};
        std::thread a([&] {
            first = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                             nullptr, nullptr);
        });
        AwaitWaiters(1);
        std::thread b([&] {
            KeWaitForSingleObject(&shared, Executive, KernelMode, FALSE, nullptr);
            secondDone = true;
        });
        AwaitWaiters(2);
        KeSetEvent(&shared, 0, FALSE);
        KeSetEvent(&other, 0, FALSE);
        a.join();
        if (first.load() == STATUS_WAIT_0 + 1)
            KeSetEvent(&shared, 0, FALSE);  // it took the shared one
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!secondDone.load() && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
        EXPECT_TRUE(secondDone.load()) << "round " << round << ": the event stayed set, its "
                                       << "sleeper asleep";
        if (!secondDone.load()) KeSetEvent(&shared, 0, FALSE);
        b.join();
        if (!secondDone.load()) break;
    }
}

TEST_F(WaitTest, WaitAnyOnTwoObjectsIsWokenByEither) {
    KEVENT events[2];
    PVOID objects[2] = {&events[0], &events[1]};
    for (auto& e : events) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    std::vector<NTSTATUS> results;
    std::thread waiter([&] {
        for (int i = 0; i < 2; ++i) {
            results.push_back(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode,
                                                       FALSE, nullptr, nullptr));
        }
    });
    AwaitWaiters(1);
    KeSetEvent(&events[1], 0, FALSE);
    while (KeReadStateEvent(&events[1]) != 0) std::this_thread::yield();
    KeSetEvent(&events[0], 0, FALSE);
    waiter.join();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0], STATUS_WAIT_0 + 1);
    EXPECT_EQ(results[1], STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&events[0]), 0);
    EXPECT_EQ(KeReadStateEvent(&events[1]), 0);

    // A semaphore released by two satisfies two of its three waiters.
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 3);
    std::atomic<int> through{0};
    std::vector<std::thread> takers;
    for (int i = 0; i < 3; ++i) {
        takers.emplace_back([&] {
            KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, nullptr);
            ++through;
        });
    }
    AwaitWaiters(3);
    KeReleaseSemaphore(&semaphore, 0, 2, FALSE);
    while (through.load() < 2) std::this_thread::yield();
    Settle();
    EXPECT_EQ(through.load(), 2);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
    KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
    for (auto& t : takers) t.join();
}

// The objects of a wait-all come one at a time, one of them twice; the waiter
// holds none of them before the last, and takes all of them with it.
TEST_F(WaitTest, WaitAllEndsWithItsLastObjectWhateverTheOrder) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    PVOID objects[3] = {&event, &semaphore, &mutex};
    std::atomic<NTSTATUS> result{kPending};
    std::atomic<bool> owner{false};
    std::thread waiter([&] {
        result = KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE,
                                          nullptr, nullptr);
        owner = mutex.OwnerThread == KeGetCurrentThread();
        KeReleaseMutex(&mutex, FALSE);
    });
    AwaitWaiters(1);
    KeSetEvent(&event, 0, FALSE);
    Settle();
    EXPECT_EQ(result.load(), kPending);
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "taken before the wait-all could end";
    EXPECT_EQ(WaitFor(&event, 0), STATUS_SUCCESS) << "anyone else may take it meanwhile";
    KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
    Settle();
    EXPECT_EQ(result.load(), kPending);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);
    KeReleaseMutex(&mutex, FALSE);
    Settle();
    EXPECT_EQ(result.load(), kPending) << "ended without the event";
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    KeSetEvent(&event, 0, FALSE);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_WAIT_0);
    EXPECT_TRUE(owner.load());
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

// Two threads hand a turn back and forth through auto-reset events while a
// third feeds a semaphore to a consumer that also watches a stop event: every
// signal lands right as its waiter checks or goes to sleep, and none is lost
// (a lost one leaves a thread asleep for ever).
TEST_F(WaitTest, NoWakeUpIsLostWhenSignalsRaceTheWaits) {
    constexpr int kRounds = 3000;
    KEVENT ping, pong, stop;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    KeInitializeEvent(&stop, NotificationEvent, FALSE);
    KSEMAPHORE items;
    KeInitializeSemaphore(&items, 0, kRounds);
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(&pong, 0, FALSE);
        }
    });
    int consumed = 0;
    std::thread consumer([&] {
        PVOID objects[2] = {&items, &stop};
        while (KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                        nullptr) == STATUS_WAIT_0)
            ++consumed;
    });
    for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&ping, 0, FALSE);
        KeReleaseSemaphore(&items, 0, 1, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    other.join();
    while (KeReadStateSemaphore(&items) != 0) std::this_thread::yield();
    KeSetEvent(&stop, 0, FALSE);
    consumer.join();
    EXPECT_EQ(consumed, kRounds);
}

// A timed wait made on the manual clock carries on when the clock starts to
// run by itself, and ends at its deadline in host time.
TEST_F(WaitTest, TimedWaitersFollowTheClockIntoRunningMode) {
    UseManualClock();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> result{kPending};
    std::thread waiter([&] { result = WaitFor(&event, -KpMs(5)); });
    AwaitWaiters(1);
    KpClockSetMode(KpClockMode::RealTime);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
}

class WaitDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(WaitDeathTest, MutexReleaseByANonOwnerBugChecks) {
    EXPECT_DEATH(
        {
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KeReleaseMutex(&mutex, FALSE);
        },
        "STOP: 0xC0000046.*\n.*KeReleaseMutex: mutex .* is not owned");
    EXPECT_DEATH(
        {
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            std::thread([&] { KeReleaseMutex(&mutex, FALSE); }).join();
        },
        "owned by another thread");
}

TEST_F(WaitDeathTest, MutexWaitWhileHoldingItAtDispatchLevelBugChecks) {
    EXPECT_DEATH(
        {
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER zero;
            zero.QuadPart = 0;
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
        },
        "already held by this thread, waited for at DISPATCH_LEVEL");
}

TEST_F(WaitDeathTest, TheClockIsAdvancedAtPassiveLevel) {
    EXPECT_DEATH(
        {
            KpClockSetMode(KpClockMode::Manual);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KpClockAdvance(1);
        },
        "KpClockSetTime called at DISPATCH_LEVEL");
}

TEST_F(WaitDeathTest, BadWaitsBugCheck) {
    EXPECT_DEATH(
        {
            KEVENT events[4];
            PVOID objects[4];
            for (int i = 0; i < 4; ++i) {
                KeInitializeEvent(&events[i], NotificationEvent, TRUE);
                objects[i] = &events[i];
            }
            KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                     nullptr);
        },
        "need a wait block array");
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, TRUE);
            PVOID objects[65];
            for (auto& o : objects) o = &event;
            KWAIT_BLOCK blocks[65];
            KeWaitForMultipleObjects(65, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                     blocks);
        },
        "STOP: 0x0000000C");
    EXPECT_DEATH(
        {
            alignas(8) unsigned char garbage[64];
            std::memset(garbage, 0xCD, sizeof garbage);
            KeWaitForSingleObject(garbage, Executive, KernelMode, FALSE, nullptr);
        },
        "is not an initialised dispatcher object");
    EXPECT_DEATH(
        {
            KSEMAPHORE semaphore;
            KeInitializeSemaphore(&semaphore, 1, 1);
            KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
        },
        "exceeds the limit 1");
    // A copied header's wait list still points into the original.
    EXPECT_DEATH(
        {
            KEVENT original;
            KEVENT copy;
            KeInitializeEvent(&original, NotificationEvent, FALSE);
            std::memcpy(&copy, &original, sizeof copy);
            KeSetEvent(&copy, 0, FALSE);
        },
        "was copied or moved after it was initialised");
}

}  // namespace
