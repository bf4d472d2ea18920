// The driver allocator: size classes, accounting, refusals, injected failures
// and concurrent use.
#include <kp/pool.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "FrameworkTestSupport.h"

namespace {

using zvtest::FrameworkTest;

class MemAllocTest : public FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        zvtest::RecordProbeSlots();
    }
    void TearDown() override {
        KpPoolClearFailures();
        FrameworkTest::TearDown();
    }

    static MemStatistics Stats() {
        MemStatistics stats;
        MemGetStatistics(&stats);
        return stats;
    }
};

TEST_F(MemAllocTest, SizeClassesFollowTheRequestedSize) {
    struct Case {
        ULONG size;
        ULONG sizeClass;  // 0: from the pool
    };
    const Case cases[] = {{0, 1},  {1, 1},  {10, 1}, {11, 2}, {26, 2},  {27, 3},
                          {42, 3}, {43, 4}, {58, 4}, {59, 0}, {1000, 0}};
    for (ULONG poolType : {ZV_POOL_NONPAGED, ZV_POOL_PAGED}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "pool type " << poolType << ", size " << c.size);
            PVOID data = MemAllocPool(poolType, c.size);
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(MemBlockSizeClass(data), c.sizeClass);
            MemFreeBlock(data);
        }
    }
}

TEST_F(MemAllocTest, EveryBlockComesFromMemoryOfItsPoolType) {
    // A paged request is served by the paged list of its class (or paged pool),
    // a non-paged one by the non-paged list (or non-paged pool): non-paged
    // callers run at DISPATCH_LEVEL and must never touch pageable memory.
    const ULONGLONG serial = KpPoolSerial();
    std::vector<std::pair<PVOID, ULONG>> blocks;
    for (ULONG poolType : {ZV_POOL_NONPAGED, ZV_POOL_PAGED}) {
        for (ULONG size : {3u, 20u, 30u, 50u, 59u, 500u}) {
            PVOID data = MemAllocPool(poolType, size);
            ASSERT_NE(data, nullptr);
            blocks.emplace_back(data, poolType);
        }
    }
    const auto live = KpPoolLiveBlocks(serial, ZV_POOL_TAG_ZCAM);
    for (const auto& [data, poolType] : blocks) {
        SCOPED_TRACE(testing::Message()
                     << "pool type " << poolType << ", class " << MemBlockSizeClass(data));
        const auto* byte = static_cast<const char*>(data);
        const KpPoolBlockInfo* holder = nullptr;
        for (const KpPoolBlockInfo& block : live) {
            const auto* start = static_cast<const char*>(block.Address);
            if (byte >= start && byte < start + block.Size) holder = &block;
        }
        ASSERT_NE(holder, nullptr);
        EXPECT_EQ(holder->PoolType, poolType == ZV_POOL_PAGED ? static_cast<ULONG>(PagedPool)
                                                              : static_cast<ULONG>(NonPagedPool));
    }
    for (const auto& block : blocks) MemFreeBlock(block.first);
}

TEST_F(MemAllocTest, PoolBlocksHoldHeaderRequestAndOneSpareByte) {
    const ULONGLONG serial = KpPoolSerial();
    PVOID data = MemAlloc(59);
    ASSERT_NE(data, nullptr);
    auto blocks = KpPoolLiveBlocks(serial, ZV_POOL_TAG_ZCAM);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(KpPoolTagText(blocks[0].Tag), "ZCam");
    // The header is a multiple of 16 bytes, at least the five fields.
    const SIZE_T header = blocks[0].Size - 59 - 1;
    EXPECT_EQ(header % 16, 0u);
    EXPECT_GE(header, 2 * sizeof(PVOID) + sizeof(PVOID) + 2 * sizeof(ULONG));
    EXPECT_EQ(static_cast<const char*>(data) - static_cast<const char*>(blocks[0].Address),
              static_cast<ptrdiff_t>(header));
    MemFree(data);
}

TEST_F(MemAllocTest, DataIsSixteenByteAlignedAndFullyUsable) {
    std::vector<PVOID> blocks;
    for (ULONG size = 0; size <= 200; ++size) {
        auto* data = static_cast<unsigned char*>(MemAlloc(size));
        ASSERT_NE(data, nullptr) << size;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 16, 0u) << size;
        std::memset(data, 0xA5,
                    size);  // every byte the caller asked for (the sanitizer watches the edges)
        blocks.push_back(data);
    }
    for (PVOID data : blocks) MemFree(data);
}

TEST_F(MemAllocTest, ZeroSizeGivesDistinctCountedBlocks) {
    PVOID a = MemAlloc(0);
    PVOID b = MemAlloc(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(MemBlockSizeClass(a), 1u);
    EXPECT_EQ(Stats().NonPagedBytes, 0u);
    EXPECT_EQ(MemCheckLiveLists(), 2);
    MemFree(a);
    MemFree(b);
    MemFree(nullptr);  // ignored
}

TEST_F(MemAllocTest, TotalsAndCountersFollowLiveBlocks) {
    const ULONG sizes[] = {5, 17, 40, 58, 59, 100, 4000, 0, 33};
    std::vector<PVOID> blocks;
    ULONG total = 0;
    for (ULONG size : sizes) {
        blocks.push_back(MemAlloc(size));
        ASSERT_NE(blocks.back(), nullptr);
        total += size;
        EXPECT_EQ(Stats().NonPagedBytes, total);
        EXPECT_EQ(zvtest::ProbeCounter(PROBE_COUNTER_NONPAGED_BYTES), static_cast<LONGLONG>(total));
    }
    EXPECT_EQ(MemCheckLiveLists(), static_cast<LONG>(std::size(sizes)));
    EXPECT_EQ(Stats().LargestRequest, 4000u);
    EXPECT_EQ(zvtest::ProbeCounter(PROBE_COUNTER_LARGEST_REQUEST), 4000);

    // Free in another order than allocated.
    for (size_t i = 0; i < blocks.size(); i += 2) MemFree(blocks[i]);
    for (size_t i = 1; i < blocks.size(); i += 2) MemFree(blocks[i]);
    EXPECT_EQ(Stats().NonPagedBytes, 0u);
    EXPECT_EQ(zvtest::ProbeCounter(PROBE_COUNTER_NONPAGED_BYTES), 0);
    EXPECT_EQ(Stats().LargestRequest, 4000u);  // the largest request stays
    EXPECT_EQ(zvtest::ProbeCounter(PROBE_COUNTER_PAGED_BYTES), 0);

    // The counter calls carry whole 64-bit deltas, negative on free.
    auto adds = zvtest::ProbeCallsOf(9);
    ASSERT_FALSE(adds.empty());
    EXPECT_EQ(adds.back().Words[0], PROBE_COUNTER_NONPAGED_BYTES);
    EXPECT_EQ(adds.back().Words[1], -static_cast<LONGLONG>(sizes[std::size(sizes) - 2]));
}

TEST_F(MemAllocTest, LargestRequestOnlyGrowsAndIsReportedWhenItDoes) {
    MemFree(MemAlloc(100));
    MemFree(MemAlloc(50));
    MemFree(MemAlloc(300));
    MemFree(MemAlloc(300));
    auto sets = zvtest::ProbeCallsOf(10);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].Words, (std::vector<LONGLONG>{PROBE_COUNTER_LARGEST_REQUEST, 100}));
    EXPECT_EQ(sets[1].Words, (std::vector<LONGLONG>{PROBE_COUNTER_LARGEST_REQUEST, 300}));
}

TEST_F(MemAllocTest, PagedBlocksAreCountedApart) {
    PVOID paged = MemAllocPool(ZV_POOL_PAGED, 70);
    PVOID small = MemAllocPool(ZV_POOL_PAGED, 7);
    PVOID nonPaged = MemAlloc(30);
    ASSERT_NE(paged, nullptr);
    ASSERT_NE(small, nullptr);
    ASSERT_NE(nonPaged, nullptr);
    EXPECT_EQ(Stats().PagedBytes, 77u);
    EXPECT_EQ(Stats().NonPagedBytes, 30u);
    EXPECT_EQ(zvtest::ProbeCounter(PROBE_COUNTER_PAGED_BYTES), 77);
    EXPECT_EQ(zvtest::ProbeCounter(PROBE_COUNTER_NONPAGED_BYTES), 30);
    EXPECT_EQ(MemCheckLiveLists(), 3);
    MemFreeBlock(paged);
    MemFreeBlock(small);
    MemFree(nonPaged);
    EXPECT_EQ(Stats().PagedBytes, 0u);
    EXPECT_EQ(zvtest::ProbeCounter(PROBE_COUNTER_PAGED_BYTES), 0);
}

TEST_F(MemAllocTest, InjectedPoolFailureLinksAndCountsNothing) {
    PVOID live = MemAlloc(20);
    const ULONG before = Stats().NonPagedBytes;
    zvtest::ClearProbeCalls();

    KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, 1);
    EXPECT_EQ(MemAlloc(1000), nullptr);
    EXPECT_EQ(Stats().NonPagedBytes, before);
    EXPECT_EQ(Stats().LargestRequest, 1000u);  // noted although it failed
    EXPECT_TRUE(zvtest::ProbeCallsOf(9).empty());
    EXPECT_EQ(MemCheckLiveLists(), 1);

    // A lookaside entry comes from the pool too and fails the same way.
    KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, 1);
    EXPECT_EQ(MemAlloc(8), nullptr);
    EXPECT_EQ(Stats().NonPagedBytes, before);
    KpPoolClearFailures();

    PVOID after = MemAlloc(1000);
    EXPECT_NE(after, nullptr);
    MemFree(after);
    MemFree(live);
}

TEST_F(MemAllocTest, OversizedRequestsAreRefusedBeforeAnyAllocation) {
    const KpPoolTagUsage before = KpPoolUsage(ZV_POOL_TAG_ZCAM);
    for (ULONG size : {0xFFFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFEBu, MEM_MAX_REQUEST + 1}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(MemAlloc(size), nullptr);
        EXPECT_EQ(MemAllocPool(ZV_POOL_PAGED, size), nullptr);
    }
    const KpPoolTagUsage after = KpPoolUsage(ZV_POOL_TAG_ZCAM);
    EXPECT_EQ(after.TotalAllocations, before.TotalAllocations);
    EXPECT_EQ(after.FailedAllocations, before.FailedAllocations);
    EXPECT_EQ(Stats().NonPagedBytes, 0u);
    EXPECT_EQ(Stats().LargestRequest, 0xFFFFFFFFu);
}

TEST_F(MemAllocTest, DisabledClassIsServedFromThePool) {
    MemShutdown();
    MemClassEnabled[2] = 0;
    MemInitialize();
    PVOID data = MemAlloc(20);   // class 2
    PVOID other = MemAlloc(30);  // class 3 still enabled
    MemClassEnabled[2] = 1;
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(MemBlockSizeClass(data), 0u);
    EXPECT_EQ(MemBlockSizeClass(other), 3u);
    std::memset(data, 0x11, 20);
    MemFree(data);
    MemFree(other);
}

TEST_F(MemAllocTest, LiveBlocksStayCountedAfterShutdown) {
    ExpectLiveBlocksAtEnd();
    PVOID leaked = MemAlloc(100);
    ASSERT_NE(leaked, nullptr);
    MemShutdown();
    EXPECT_EQ(Stats().NonPagedBytes, 100u);
    EXPECT_EQ(MemCheckLiveLists(), 1);
    MemFree(leaked);  // a pool block goes back to the pool, lists or not
    EXPECT_EQ(Stats().NonPagedBytes, 0u);
}

using MemAllocDeathTest = MemAllocTest;

TEST_F(MemAllocDeathTest, PagedBlockAtDispatchLevelIsABugCheck) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            MemAllocPool(ZV_POOL_PAGED, 100);
        },
        "STOP");
}

TEST_F(MemAllocTest, ConcurrentUseKeepsListsAndTotalsConsistent) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 4000;
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failed] {
            std::mt19937 random(1234 + t);
            PVOID held[16] = {};
            for (int round = 0; round < kRounds; ++round) {
                const int slot = static_cast<int>(random() % 16);
                const bool raised = (random() % 4) == 0;
                KIRQL old = PASSIVE_LEVEL;
                if (raised) KeRaiseIrql(DISPATCH_LEVEL, &old);
                if (held[slot] != nullptr) {
                    MemFree(held[slot]);
                    held[slot] = nullptr;
                } else {
                    const ULONG size = static_cast<ULONG>(random() % 130);
                    held[slot] = MemAlloc(size);
                    if (held[slot] == nullptr)
                        failed = true;
                    else
                        std::memset(held[slot], t, size);
                }
                if (raised) KeLowerIrql(old);
            }
            for (PVOID data : held) MemFree(data);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(Stats().NonPagedBytes, 0u);
    EXPECT_EQ(MemCheckLiveLists(), 0);
    EXPECT_EQ(zvtest::ProbeCounter(PROBE_COUNTER_NONPAGED_BYTES), 0);
    EXPECT_LT(Stats().LargestRequest, 130u);
}

}  // namespace
