// Interrupt levels and spin locks: the rules are enforced, and the locks really
// exclude across host threads.
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kp/irql.h"
#include "kp/testing.h"
#include "platform/ex.h"
#include "platform/ke.h"

namespace {

using IrqlTest = kp::testing::KernelTest;

TEST_F(IrqlTest, RaiseAndLowerTrackTheLevelPerThread) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KIRQL older;
    KeRaiseIrql(DISPATCH_LEVEL, &older);
    EXPECT_EQ(older, APC_LEVEL);
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL) << "the level belongs to the thread";
    KeLowerIrql(older);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), PASSIVE_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlTest, SpinLockRaisesToDispatchAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeTestSpinLock(&lock));
    EXPECT_EQ(KpHeldSpinLockCount(), 1u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeTestSpinLock(&lock));

    old = KeAcquireSpinLockRaiseToDpc(&lock);
    KSPIN_LOCK inner;
    KeInitializeSpinLock(&inner);
    KeAcquireSpinLockAtDpcLevel(&inner);
    EXPECT_EQ(KpHeldSpinLockCount(), 2u);
    KeReleaseSpinLockFromDpcLevel(&inner);
    EXPECT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&inner));
    KeReleaseSpinLockFromDpcLevel(&inner);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KpHeldSpinLockCount(), 0u);
}

TEST_F(IrqlTest, SpinLockExcludesAcrossThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    // A plain (non-atomic) read-modify-write with a yield in the middle: without
    // exclusion, updates are lost.
    long counter = 0;
    constexpr int kThreads = 4, kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                long v = counter;
                if (i % 64 == 0) std::this_thread::yield();
                counter = v + 1;
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, kThreads * kRounds);
}

TEST_F(IrqlTest, TryAcquireFailsWhileAnotherThreadHoldsTheLock) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    BOOLEAN got = TRUE;
    std::thread([&] {
        KIRQL o = KeRaiseIrqlToDpcLevel();
        got = KeTryToAcquireSpinLockAtDpcLevel(&lock);
        KeLowerIrql(o);
    }).join();
    EXPECT_FALSE(got);
    KeReleaseSpinLock(&lock, old);
}

TEST_F(IrqlTest, AssertIrqlPassesAtOrBelowTheLimit) {
    KpAssertIrql(PASSIVE_LEVEL, "ZwOpenKey");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KpAssertIrql(DISPATCH_LEVEL, "KeSetEvent");
    KeLowerIrql(old);
    EXPECT_STREQ(KpIrqlName(DISPATCH_LEVEL), "DISPATCH_LEVEL");
    EXPECT_STREQ(KpIrqlName(5), "IRQL 5");
}

class IrqlDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(IrqlDeathTest, WaitWithTimeoutAtDispatchLevelBugChecks) {
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER timeout;
            timeout.QuadPart = -10000;
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "STOP: 0x0000000A.*\n.*KeWaitForSingleObject called at DISPATCH_LEVEL; allowed at most "
        "APC_LEVEL");
}

TEST_F(IrqlDeathTest, InfiniteWaitUnderSpinLockBugChecks) {
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, TRUE);
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "KeWaitForSingleObject called at DISPATCH_LEVEL");
}

TEST_F(IrqlDeathTest, LevelRuleViolationsBugCheck) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            KeLowerIrql(DISPATCH_LEVEL);
        },
        "KeLowerIrql to DISPATCH_LEVEL from the lower APC_LEVEL");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        },
        "STOP: 0x00000009");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KpAssertIrql(PASSIVE_LEVEL, "ZwQueryValueKey");
        },
        "ZwQueryValueKey called at DISPATCH_LEVEL; allowed at most PASSIVE_LEVEL");
    EXPECT_DEATH(
        {
            LARGE_INTEGER interval;
            interval.QuadPart = -1;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        },
        "KeDelayExecutionThread called at DISPATCH_LEVEL");
}

TEST_F(IrqlDeathTest, SpinLockMisuseBugChecks) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old = KeRaiseIrqlToDpcLevel();
            KeReleaseSpinLock(&lock, old);
        },
        "STOP: 0x00000010.*\n.*KeReleaseSpinLock: spin lock .* is not held");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLock(&lock, &old);
        },
        "already held by this thread");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            std::thread([&] {
                KIRQL o = KeRaiseIrqlToDpcLevel();
                KeReleaseSpinLock(&lock, o);
            }).join();
        },
        "held by another thread");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeLowerIrql(PASSIVE_LEVEL);
        },
        "while holding 1 spin lock");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        "KeAcquireSpinLockAtDpcLevel called at PASSIVE_LEVEL; needs DISPATCH_LEVEL");
}

}  // namespace
