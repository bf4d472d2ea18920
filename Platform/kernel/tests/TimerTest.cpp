// Timers and DPCs on the machine clock.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kp/clock.h"
#include "kp/testing.h"
#include "kp/thread.h"
#include "platform/ke.h"

namespace {

struct DpcLog {
    std::atomic<int> Runs{0};
    KIRQL Irql = PASSIVE_LEVEL;
    PVOID Argument1 = nullptr;
    PKDPC Dpc = nullptr;
};

void LogDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID) {
    auto* log = static_cast<DpcLog*>(Context);
    log->Irql = KeGetCurrentIrql();
    log->Argument1 = Argument1;
    log->Dpc = Dpc;
    ++log->Runs;
}

class TimerTest : public kp::testing::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        UseManualClock();
        KeInitializeDpc(&dpc_, LogDpc, &log_);
    }
    DpcLog log_;
    KDPC dpc_;
};

TEST_F(TimerTest, OneShotTimerFiresItsDpcWhenTheClockPassesItsDueTime) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, KpRelativeTimeout(KpMs(10)), &dpc_));
    Advance(KpMs(9));
    EXPECT_EQ(log_.Runs.load(), 0);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    Advance(KpMs(1));
    EXPECT_EQ(log_.Runs.load(), 1) << "the advance returns after the DPC ran";
    EXPECT_EQ(log_.Irql, DISPATCH_LEVEL);
    EXPECT_EQ(log_.Dpc, &dpc_);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer)) << "a fired one-shot timer is no longer armed";
    Advance(KpMs(100));
    EXPECT_EQ(log_.Runs.load(), 1);
}

TEST_F(TimerTest, PeriodicTimerRearmsWithoutMakingUpMissedPeriods) {
    KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeSetTimerEx(&timer, KpRelativeTimeout(KpMs(5)), 5, &dpc_);
    Advance(KpMs(5));
    EXPECT_EQ(log_.Runs.load(), 1);
    Advance(KpMs(5));
    EXPECT_EQ(log_.Runs.load(), 2);
    Advance(KpMs(12));  // due at 15 and 20: one firing, the next due 5 ms from now
    EXPECT_EQ(log_.Runs.load(), 3);
    Advance(KpMs(4));
    EXPECT_EQ(log_.Runs.load(), 3);
    Advance(KpMs(1));
    EXPECT_EQ(log_.Runs.load(), 4);
    EXPECT_TRUE(KeCancelTimer(&timer));
    Advance(KpMs(50));
    EXPECT_EQ(log_.Runs.load(), 4);
}

TEST_F(TimerTest, RearmingReplacesTheDueTime) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, KpRelativeTimeout(KpMs(5)), &dpc_);
    EXPECT_TRUE(KeSetTimer(&timer, KpRelativeTimeout(KpMs(20)), &dpc_));
    Advance(KpMs(10));
    EXPECT_EQ(log_.Runs.load(), 0);
    LARGE_INTEGER absolute;
    absolute.QuadPart = KpClockNow() + KpMs(1);
    KeSetTimer(&timer, absolute, &dpc_);
    Advance(KpMs(1));
    EXPECT_EQ(log_.Runs.load(), 1);
}

TEST_F(TimerTest, ThreadsWaitOnSynchronizationTimers) {
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimer(&timer, KpRelativeTimeout(KpMs(30)), nullptr);
    std::atomic<NTSTATUS> result{-1};
    std::thread waiter(
        [&] { result = KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr); });
    while (KpBlockedWaiterCount() < 1) std::this_thread::yield();
    Advance(KpMs(30));
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "the satisfied wait reset it";
}

// Whoever fires a timer readies its waiters under the dispatcher lock and
// wakes them once the lock is released: more waiters than it can hold aside
// at once, a synchronization timer's single waiter, and a thread waiting on an
// event the timer's DPC sets all wake.
void SetEventDpc(PKDPC, PVOID Context, PVOID, PVOID) {
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
}

TEST_F(TimerTest, NoWaiterOfAFiredTimerIsLeftAsleep) {
    constexpr int kWaiters = 34;
    KTIMER notification, synchronization, withDpc;
    KeInitializeTimerEx(&notification, NotificationTimer);
    KeInitializeTimerEx(&synchronization, SynchronizationTimer);
    KeInitializeTimer(&withDpc);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KDPC setEvent;
    KeInitializeDpc(&setEvent, SetEventDpc, &event);
    KeSetTimer(&notification, KpRelativeTimeout(KpMs(10)), nullptr);
    KeSetTimer(&synchronization, KpRelativeTimeout(KpMs(20)), nullptr);
    KeSetTimer(&withDpc, KpRelativeTimeout(KpMs(30)), &setEvent);
    std::atomic<int> woken{0};
    auto waitOn = [&woken](PVOID object) {
        return std::thread([&woken, object] {
            EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr),
                      STATUS_SUCCESS);
            ++woken;
        });
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i) threads.push_back(waitOn(&notification));
    threads.push_back(waitOn(&synchronization));
    threads.push_back(waitOn(&event));
    while (KpBlockedWaiterCount() < kWaiters + 2) std::this_thread::yield();
    // A lost wake-up leaves its thread asleep for good: fail instead of hanging.
    auto awaitWoken = [&woken](int count) {
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (woken.load() < count && std::chrono::steady_clock::now() < give_up)
            std::this_thread::yield();
        return woken.load();
    };
    Advance(KpMs(10));
    EXPECT_EQ(awaitWoken(kWaiters), kWaiters) << "the notification timer's waiters";
    Advance(KpMs(10));
    EXPECT_EQ(awaitWoken(kWaiters + 1), kWaiters + 1) << "the synchronization timer's waiter";
    Advance(KpMs(10));
    EXPECT_EQ(awaitWoken(kWaiters + 2), kWaiters + 2) << "the waiter of the DPC's event";
    if (woken.load() != kWaiters + 2) std::abort();  // the sleepers cannot be joined
    for (std::thread& t : threads) t.join();
}

TEST_F(TimerTest, DpcQueueRunsEachDpcOnceAndCanBeFlushed) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID argument = &log_;
    BOOLEAN first = KeInsertQueueDpc(&dpc_, argument, nullptr);
    KeLowerIrql(old);
    BOOLEAN second = KeInsertQueueDpc(&dpc_, nullptr, nullptr);
    EXPECT_TRUE(first);
    KeFlushQueuedDpcs();
    EXPECT_GE(log_.Runs.load(), 1);
    EXPECT_LE(log_.Runs.load(), 2);
    EXPECT_EQ(log_.Runs.load(), second ? 2 : 1) << "a DPC already queued is not queued twice";
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc_));
}

TEST(TimerRealClockTest, TimersFireOnTheRunningClock) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, KpRelativeTimeout(KpMs(1)), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
}

}  // namespace
