// Pool accounting, fill patterns, injected failures, lookaside lists and fast mutexes.
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kp/pool.h"
#include "kp/testing.h"
#include "platform/ex.h"

namespace {

constexpr ULONG kTagA = 0x5A43616D;  // 'ZCam'
constexpr ULONG kTagB = 0x5A564150;  // 'ZVAP'

using PoolTest = kp::testing::KernelTest;

TEST_F(PoolTest, BlocksAreAccountedPerTagAndFilledWithAPattern) {
    KpPoolTagUsage a0 = KpPoolUsage(kTagA), b0 = KpPoolUsage(kTagB);
    auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTagA));
    auto* q = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 28, kTagA));
    auto* r = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTagB));
    ASSERT_TRUE(p && q && r);
    EXPECT_NE(p, q);
    EXPECT_NE(r, p);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], KP_POOL_ALLOC_FILL) << i;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    KpPoolTagUsage a1 = KpPoolUsage(kTagA);
    EXPECT_EQ(a1.LiveBytes - a0.LiveBytes, 128u);
    EXPECT_EQ(a1.LiveBlocks - a0.LiveBlocks, 2u);
    EXPECT_EQ(KpPoolUsage(kTagB).LiveBlocks - b0.LiveBlocks, 1u);
    EXPECT_EQ(KpPoolTagText(kTagA), "ZCam");

    ULONGLONG since = KpPoolSerial() - 3;
    std::vector<KpPoolBlockInfo> live = KpPoolLiveBlocks(since);
    ASSERT_EQ(live.size(), 3u);
    EXPECT_EQ(live[0].Address, p);
    EXPECT_EQ(live[1].Size, 28u);
    EXPECT_EQ(live[1].PoolType, static_cast<ULONG>(PagedPool));
    EXPECT_EQ(live[2].Tag, kTagB);
    EXPECT_EQ(KpPoolDescribeLiveBlocks(since, kTagB),
              "1 block(s), 0 bytes: 'ZVAP' 0 bytes #" + std::to_string(live[2].Serial));

    ExFreePoolWithTag(p, kTagA);
    ExFreePool(q);
    ExFreePool(r);
    EXPECT_EQ(KpPoolUsage(kTagA).LiveBytes, a0.LiveBytes);
    EXPECT_EQ(KpPoolUsage(kTagA).TotalAllocations, a0.TotalAllocations + 2);
    EXPECT_TRUE(KpPoolLiveBlocks(since).empty());
}

TEST_F(PoolTest, NthAllocationFailsGloballyOrPerTag) {
    ULONGLONG failed = KpPoolUsage(kTagB).FailedAllocations;
    FailAllocation(kTagB, 2, 2);  // the 2nd and 3rd 'ZVAP' allocations fail
    std::vector<void*> got;
    for (int i = 0; i < 3; ++i) got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA));
    for (int i = 0; i < 4; ++i) got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kTagB));
    EXPECT_NE(got[0], nullptr);
    EXPECT_NE(got[2], nullptr) << "other tags are not counted";
    EXPECT_NE(got[3], nullptr);
    EXPECT_EQ(got[4], nullptr);
    EXPECT_EQ(got[5], nullptr);
    EXPECT_NE(got[6], nullptr) << "the rule ends after its count";
    EXPECT_EQ(KpPoolUsage(kTagB).FailedAllocations, failed + 2);

    FailAllocation(0, 1);  // the next allocation of any tag
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 1, kTagA), nullptr);
    void* after = ExAllocatePool(PagedPool, 1);
    EXPECT_NE(after, nullptr);
    got.push_back(after);

    FailAllocation(kTagA, 1);
    KpPoolClearFailures();
    void* cleared = ExAllocatePoolWithTag(NonPagedPool, 1, kTagA);
    EXPECT_NE(cleared, nullptr);
    got.push_back(cleared);
    for (void* p : got) {
        if (p) ExFreePool(p);
    }
}

TEST_F(PoolTest, NonPagedPoolWorksAtDispatchLevel) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, kTagA);
    KeLowerIrql(old);
}

TEST_F(PoolTest, LookasideEntriesComeFromThePoolWithTheListsTag) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 40, kTagB, 0);
    ULONGLONG live = KpPoolUsage(kTagB).LiveBlocks;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    auto* a = static_cast<UCHAR*>(ExAllocateFromNPagedLookasideList(&list));
    void* b = ExAllocateFromNPagedLookasideList(&list);
    KeLowerIrql(old);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a[39], KP_POOL_ALLOC_FILL) << "entries are not zeroed";
    EXPECT_EQ(KpPoolUsage(kTagB).LiveBlocks, live + 2);
    EXPECT_EQ(list.L.TotalAllocates, 2u);
    EXPECT_EQ(list.L.LiveEntries, 2);
    ExFreeToNPagedLookasideList(&list, a);
    EXPECT_EQ(list.L.TotalFrees, 1u);
    EXPECT_EQ(list.L.LiveEntries, 1);

    FailAllocation(kTagB, 1);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    EXPECT_EQ(list.L.FailedAllocates, 1u);
    EXPECT_EQ(list.L.TotalAllocates, 3u);
    ExFreeToNPagedLookasideList(&list, b);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(KpPoolUsage(kTagB).LiveBlocks, live);
}

PVOID CountingAllocate(POOL_TYPE Type, SIZE_T Bytes, ULONG Tag) {
    return ExAllocatePoolWithTag(Type, Bytes + 8, Tag);
}
int gFrees = 0;
void CountingFree(PVOID Buffer) {
    ++gFrees;
    ExFreePool(Buffer);
}

TEST_F(PoolTest, PagedLookasideUsesTheCallersRoutines) {
    PAGED_LOOKASIDE_LIST list;
    ExInitializePagedLookasideList(&list, CountingAllocate, CountingFree, 0, 24, kTagA, 0);
    void* p = ExAllocateFromPagedLookasideList(&list);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(KpPoolLiveBlocks(KpPoolSerial() - 1).at(0).Size, 32u);
    gFrees = 0;
    ExFreeToPagedLookasideList(&list, p);
    EXPECT_EQ(gFrees, 1);
    ExDeletePagedLookasideList(&list);
}

TEST_F(PoolTest, FastMutexExcludesAndRaisesToApcLevel) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    BOOLEAN other = TRUE;
    std::thread([&] { other = ExTryToAcquireFastMutex(&mutex); }).join();
    EXPECT_FALSE(other);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                ExAcquireFastMutex(&mutex);
                long v = counter;
                if (i % 50 == 0) std::this_thread::yield();
                counter = v + 1;
                ExReleaseFastMutex(&mutex);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 2000);
}

TEST_F(PoolTest, InterlockedListsReturnTheFormerEnds) {
    LIST_ENTRY head, a, b;
    KSPIN_LOCK lock;
    InitializeListHead(&head);
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertHeadList(&head, &b, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

class PoolDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PoolDeathTest, BadFreesBugCheck) {
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
            ExFreePool(p);
            ExFreePool(p);
        },
        "STOP: 0x000000C2.*\n.*not an allocated pool block");
    EXPECT_DEATH(
        {
            int local = 0;
            ExFreePool(&local);
        },
        "not an allocated pool block");
    EXPECT_DEATH(ExFreePool(nullptr), "ExFreePool\\(NULL\\)");
    EXPECT_DEATH(ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), kTagB),
                 "tag 'ZVAP' but the block was allocated with 'ZCam'");
    EXPECT_DEATH(
        {
            auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA));
            p[8] = 0;  // inside the guard, beyond the block
            ExFreePool(p);
        },
        "written past its end");
}

TEST_F(PoolDeathTest, MustSucceedAllocationsMayNotFail) {
    EXPECT_DEATH(
        {
            KpPoolFailAllocation(0, 1);
            ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, kTagA);
        },
        "STOP: 0x00000041.*\n.*a must-succeed allocation of 8 bytes failed");
}

TEST_F(PoolDeathTest, PagedMemoryNeedsApcLevelOrBelow) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 8, kTagA);
        },
        "ExAllocatePoolWithTag called at DISPATCH_LEVEL; allowed at most APC_LEVEL");
    EXPECT_DEATH(
        {
            PAGED_LOOKASIDE_LIST list;
            ExInitializePagedLookasideList(&list, nullptr, nullptr, 0, 8, kTagA, 0);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocateFromPagedLookasideList(&list);
        },
        "ExAllocateFromPagedLookasideList called at DISPATCH_LEVEL");
    EXPECT_DEATH(
        {
            NPAGED_LOOKASIDE_LIST list;
            ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 8, kTagA, 0);
            ExDeleteNPagedLookasideList(&list);
            ExAllocateFromNPagedLookasideList(&list);
        },
        "is not initialised \\(or was deleted\\)");
}

}  // namespace
