// Buffer pool: sizing, taking and giving back with and without waiting, Free
// waiting for every buffer, failures, and a stress run in which no buffer may
// ever have two holders.
#include <BufferPool.h>

#include <kp/clock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "ModuleTestSupport.h"

namespace zvmodtest {
namespace {

using namespace std::chrono_literals;

class BufferPoolTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        m_pool = new BufferPool();
        ASSERT_NE(m_pool, nullptr);
    }
    void TearDown() override {
        if (m_pool != nullptr) {
            EXPECT_EQ(m_pool->Free(), ZV_OK);
            delete m_pool;
        }
        KpClockSetMode(KpClockMode::RealTime);
        ModuleTest::TearDown();
    }
    std::vector<PVOID> TakeAll(ULONG count) {
        std::vector<PVOID> taken;
        for (ULONG i = 0; i < count; ++i) {
            PVOID b = nullptr;
            EXPECT_EQ(m_pool->GetBuffer(&b, 0), ZV_OK);
            taken.push_back(b);
        }
        return taken;
    }
    void PutAll(const std::vector<PVOID>& taken) {
        for (PVOID b : taken) EXPECT_EQ(m_pool->PutBuffer(b), ZV_OK);
    }

    BufferPool* m_pool = nullptr;
};

// Runs `op` on another thread; the manual clock moves on in small steps until
// it is done, so a waiter that was not woken times out instead of hanging.
template <class Op>
auto RunWhileAdvancingClock(Op op, LONGLONG step100ns) {
    auto done = std::async(std::launch::async, op);
    while (done.wait_for(2ms) != std::future_status::ready) KpClockAdvance(step100ns);
    return done.get();
}

TEST_F(BufferPoolTest, SizingFromFormatAndFromTotal) {
    ULONG size = 123;
    EXPECT_EQ(m_pool->GetBufferSize(&size), ZV_NOT_READY);
    EXPECT_EQ(size, 0u);
    ASSERT_EQ(m_pool->InitFormat(1, 8000, 16, 1, 10), ZV_OK);
    ASSERT_EQ(m_pool->GetBufferSize(&size), ZV_OK);
    EXPECT_EQ(size, 160u);
    EXPECT_EQ(m_pool->InitFormat(1, 8000, 16, 1, 10), ZV_FAILED);  // sized already
    EXPECT_EQ(m_pool->InitSize(2, 100), ZV_FAILED);
    ASSERT_EQ(m_pool->Free(), ZV_OK);
    EXPECT_EQ(m_pool->GetBufferSize(&size), ZV_NOT_READY);

    ASSERT_EQ(m_pool->InitFormat(16, 44100, 16, 2, 10), ZV_OK);
    ASSERT_EQ(m_pool->GetBufferSize(&size), ZV_OK);
    EXPECT_EQ(size, 1764u);
    auto taken = TakeAll(16);
    PutAll(taken);
    ASSERT_EQ(m_pool->Free(), ZV_OK);

    ASSERT_EQ(m_pool->InitSize(3, 1000), ZV_OK);
    ASSERT_EQ(m_pool->GetBufferSize(&size), ZV_OK);
    EXPECT_EQ(size, 333u);
    EXPECT_EQ(m_pool->GetBufferSize(nullptr), ZV_INVALID_PARAMETER);
}

TEST_F(BufferPoolTest, SizingRefusals) {
    EXPECT_EQ(m_pool->InitFormat(0, 8000, 16, 1, 10), ZV_FAILED);
    EXPECT_EQ(m_pool->InitFormat(1, 0, 16, 1, 10), ZV_FAILED);
    EXPECT_EQ(m_pool->InitFormat(1, 8000, 0, 1, 10), ZV_FAILED);
    EXPECT_EQ(m_pool->InitFormat(1, 8000, 16, 0, 10), ZV_FAILED);
    EXPECT_EQ(m_pool->InitFormat(1, 8000, 16, 1, 0), ZV_FAILED);
    EXPECT_EQ(m_pool->InitSize(0, 100), ZV_FAILED);
    EXPECT_EQ(m_pool->InitSize(1, 0), ZV_FAILED);
    // A buffer size that does not fit 32 bits.
    EXPECT_EQ(m_pool->InitFormat(2, 0xFFFFFFFF, 32, 8, 1000), ZV_FAILED);
    EXPECT_EQ(m_pool->InitSize(0x10000, 0xFFFFFFFF), ZV_FAILED);
    {
        ScopedIrql raised(APC_LEVEL);
        EXPECT_EQ(m_pool->InitFormat(1, 8000, 16, 1, 10), ZV_FAILED);
        EXPECT_EQ(m_pool->InitSize(1, 100), ZV_FAILED);
    }
    {
        ScopedIrql raised(DISPATCH_LEVEL);
        EXPECT_EQ(m_pool->InitSize(1, 100), ZV_FAILED);
        EXPECT_EQ(m_pool->Free(), ZV_FAILED);
    }
    ULONG size = 1;
    EXPECT_EQ(m_pool->GetBufferSize(&size), ZV_NOT_READY);
    PVOID b = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(m_pool->GetBuffer(&b, 0), ZV_NOT_READY);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(m_pool->PutBuffer(&size), ZV_NOT_READY);
}

TEST_F(BufferPoolTest, EveryBufferIsDistinctAndWholeThenThePoolIsEmpty) {
    ASSERT_EQ(m_pool->InitSize(7, 7 * 101), ZV_OK);  // an odd size per buffer
    auto taken = TakeAll(7);
    std::set<PVOID> distinct(taken.begin(), taken.end());
    EXPECT_EQ(distinct.size(), 7u);
    // Writing each whole buffer must not touch another's bytes (ASan watches the ends).
    for (size_t i = 0; i < taken.size(); ++i) std::memset(taken[i], static_cast<int>(i + 1), 101);
    for (size_t i = 0; i < taken.size(); ++i) {
        const auto* p = static_cast<const UCHAR*>(taken[i]);
        for (int k = 0; k < 101; ++k) ASSERT_EQ(p[k], i + 1) << "buffer " << i << " byte " << k;
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(taken[i]) % alignof(void*), 0u);
    }
    PVOID none = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(m_pool->GetBuffer(&none, 0), ZV_FAILED);
    EXPECT_EQ(none, nullptr);
    PutAll(taken);
}

TEST_F(BufferPoolTest, TakingAndGivingBackAtDispatchLevel) {
    ASSERT_EQ(m_pool->InitSize(2, 64), ZV_OK);
    PVOID b = nullptr;
    {
        ScopedIrql raised(DISPATCH_LEVEL);
        ASSERT_EQ(m_pool->GetBuffer(&b, 0), ZV_OK);
        PVOID waited = nullptr;
        EXPECT_EQ(m_pool->GetBuffer(&waited, 10), ZV_FAILED);  // waiting needs PASSIVE_LEVEL
        EXPECT_EQ(m_pool->PutBuffer(b), ZV_OK);
    }
    ASSERT_EQ(m_pool->GetBuffer(&b, 0), ZV_OK);
    {
        ScopedIrql raised(kDeviceIrql);
        PVOID other = nullptr;
        EXPECT_EQ(m_pool->GetBuffer(&other, 0), ZV_FAILED);
        EXPECT_EQ(m_pool->PutBuffer(b), ZV_FAILED);
    }
    EXPECT_EQ(m_pool->GetBuffer(nullptr, 0), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_pool->PutBuffer(b), ZV_OK);
}

TEST_F(BufferPoolTest, PutBufferRefusesNullForeignAndRepeatedBuffers) {
    ASSERT_EQ(m_pool->InitSize(2, 64), ZV_OK);
    PVOID a = nullptr, b = nullptr;
    ASSERT_EQ(m_pool->GetBuffer(&a, 0), ZV_OK);
    ASSERT_EQ(m_pool->GetBuffer(&b, 0), ZV_OK);
    UCHAR foreign[32];
    EXPECT_EQ(m_pool->PutBuffer(nullptr), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_pool->PutBuffer(foreign), ZV_FAILED);
    EXPECT_EQ(m_pool->PutBuffer(static_cast<UCHAR*>(a) + 1), ZV_FAILED);
    EXPECT_EQ(m_pool->PutBuffer(a), ZV_OK);
    EXPECT_EQ(m_pool->PutBuffer(a), ZV_FAILED);  // given back twice
    // The repeated give-back did not count: b is still out, so a Free must
    // wait for it, and proceeds once it is back.
    auto freed = std::async(std::launch::async, [this] { return m_pool->Free(); });
    EXPECT_EQ(freed.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(m_pool->PutBuffer(b), ZV_OK);
    EXPECT_EQ(freed.get(), ZV_OK);
}

TEST_F(BufferPoolTest, WaiterGetsTheBufferGivenBack) {
    KpClockSetMode(KpClockMode::Manual);  // no time-out unless the test moves the clock
    ASSERT_EQ(m_pool->InitSize(3, 300), ZV_OK);
    auto taken = TakeAll(3);
    auto waiter = std::async(std::launch::async, [this] {
        PVOID b = nullptr;
        ZvStatus status = m_pool->GetBuffer(&b, 500);
        return std::make_pair(status, b);
    });
    EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
    ASSERT_EQ(m_pool->PutBuffer(taken[1]), ZV_OK);
    if (waiter.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "the waiter was not woken";
        KpClockAdvance(KpMs(1000));
    }
    auto [status, buffer] = waiter.get();
    EXPECT_EQ(status, ZV_OK);
    EXPECT_EQ(buffer, taken[1]);
    taken[1] = buffer;
    PutAll(taken);
}

TEST_F(BufferPoolTest, WaitTimesOutAfterTheMachineTimeHasPassed) {
    KpClockSetMode(KpClockMode::Manual);
    ASSERT_EQ(m_pool->InitSize(2, 64), ZV_OK);
    auto taken = TakeAll(2);
    const LONGLONG start = KpClockNow();
    auto result = RunWhileAdvancingClock(
        [this] {
            PVOID b = reinterpret_cast<PVOID>(1);
            ZvStatus status = m_pool->GetBuffer(&b, 50);
            return std::make_pair(status, b);
        },
        KpMs(5));
    EXPECT_EQ(result.first, ZV_FAILED);
    EXPECT_EQ(result.second, nullptr);
    EXPECT_GE(KpClockNow() - start, KpMs(50));
    PutAll(taken);
}

TEST_F(BufferPoolTest, WaitingFailsCleanlyWhenItCannotBeSetUp) {
    // The clock stands still: a call that went on to wait would not return.
    KpClockSetMode(KpClockMode::Manual);
    ASSERT_EQ(m_pool->InitSize(2, 64), ZV_OK);
    auto taken = TakeAll(2);
    for (ULONG nth : {1u, 2u}) {
        SCOPED_TRACE(::testing::Message() << "allocation " << nth << " of the wait fails");
        const ULONGLONG failedBefore = KpPoolUsage(ZV_POOL_TAG_ZCAM).FailedAllocations;
        FailAllocation(nth);
        auto result = std::async(std::launch::async, [this] {
            PVOID b = reinterpret_cast<PVOID>(1);
            ZvStatus status = m_pool->GetBuffer(&b, 1000);
            return std::make_pair(status, b);
        });
        if (result.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "GetBuffer waited although its wait could not be set up";
            KpClockAdvance(KpMs(2000));
        }
        auto [status, b] = result.get();
        KpPoolClearFailures();
        EXPECT_EQ(status, ZV_FAILED);
        EXPECT_EQ(b, nullptr);
        EXPECT_EQ(KpPoolUsage(ZV_POOL_TAG_ZCAM).FailedAllocations, failedBefore + 1);
    }
    PutAll(taken);
}

TEST_F(BufferPoolTest, PoolsBeyondTheWaitLimitAreNotWaitedOn) {
    ASSERT_EQ(m_pool->InitSize(BufferPool::kMaxWaitedBuffers + 1,
                               (BufferPool::kMaxWaitedBuffers + 1) * 8),
              ZV_OK);
    auto taken = TakeAll(BufferPool::kMaxWaitedBuffers + 1);
    PVOID b = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(m_pool->GetBuffer(&b, 1000), ZV_FAILED);
    EXPECT_EQ(b, nullptr);
    PutAll(taken);
}

TEST_F(BufferPoolTest, FreeWaitsForTheLastBuffer) {
    ASSERT_EQ(m_pool->InitFormat(4, 8000, 16, 1, 10), ZV_OK);
    auto taken = TakeAll(4);
    auto freed = std::async(std::launch::async, [this] { return m_pool->Free(); });
    for (size_t i = 0; i + 1 < taken.size(); ++i) ASSERT_EQ(m_pool->PutBuffer(taken[i]), ZV_OK);
    EXPECT_EQ(freed.wait_for(100ms), std::future_status::timeout);
    ASSERT_EQ(m_pool->PutBuffer(taken.back()), ZV_OK);
    EXPECT_EQ(freed.get(), ZV_OK);
    ULONG size = 1;
    EXPECT_EQ(m_pool->GetBufferSize(&size), ZV_NOT_READY);
}

TEST_F(BufferPoolTest, TenFreeAndResizeCyclesLeakNothing) {
    const LONG before = LiveBlocks();
    for (ULONG cycle = 1; cycle <= 10; ++cycle) {
        ASSERT_EQ(m_pool->InitFormat(cycle, 8000 * cycle, 16, 2, 10), ZV_OK);
        auto taken = TakeAll(cycle);
        PutAll(taken);
        ASSERT_EQ(m_pool->Free(), ZV_OK);
    }
    EXPECT_EQ(LiveBlocks(), before);
}

TEST_F(BufferPoolTest, FailedAllocationLeavesThePoolEmptyAndSizableAgain) {
    FailAllocation(1);
    EXPECT_EQ(m_pool->InitSize(4, 400), ZV_FAILED);
    KpPoolClearFailures();
    ULONG size = 1;
    EXPECT_EQ(m_pool->GetBufferSize(&size), ZV_NOT_READY);
    PVOID b = nullptr;
    EXPECT_EQ(m_pool->GetBuffer(&b, 0), ZV_NOT_READY);
    ASSERT_EQ(m_pool->InitSize(4, 400), ZV_OK);
    ASSERT_EQ(m_pool->GetBufferSize(&size), ZV_OK);
    EXPECT_EQ(size, 100u);
}

TEST_F(BufferPoolTest, FailedObjectAllocationGivesNull) {
    FailAllocation(1);
    IBufferPool* pool = new BufferPool();
    KpPoolClearFailures();
    EXPECT_EQ(pool, nullptr);
    delete pool;
}

TEST_F(BufferPoolTest, StressNoBufferEverHasTwoHolders) {
    constexpr ULONG kBuffers = 3;  // fewer than the threads: some must wait
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    ASSERT_EQ(m_pool->InitSize(kBuffers, kBuffers * 32), ZV_OK);
    // The pool's buffers in memory order, for an index per pointer.
    std::vector<PVOID> all = TakeAll(kBuffers);
    PutAll(all);
    std::sort(all.begin(), all.end());
    std::atomic<int> holders[kBuffers] = {};
    std::atomic<int> doubleHeld{0}, unknown{0}, taken{0};
    auto worker = [&](int seed) {
        std::mt19937 rng(static_cast<unsigned>(seed));
        for (int round = 0; round < kRounds; ++round) {
            PVOID b = nullptr;
            const ULONG timeout = std::uniform_int_distribution<int>(0, 3)(rng) == 0 ? 0 : 20;
            if (m_pool->GetBuffer(&b, timeout) != ZV_OK) continue;
            auto it = std::lower_bound(all.begin(), all.end(), b);
            if (it == all.end() || *it != b) {
                ++unknown;
                continue;
            }
            const size_t index = static_cast<size_t>(it - all.begin());
            if (holders[index].fetch_add(1) != 0) ++doubleHeld;
            std::memset(b, seed, 32);
            ++taken;
            if (round % 7 == 0) std::this_thread::yield();
            holders[index].fetch_sub(1);
            if (m_pool->PutBuffer(b) != ZV_OK) ++unknown;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t + 1);
    for (auto& t : threads) t.join();
    EXPECT_EQ(doubleHeld.load(), 0);
    EXPECT_EQ(unknown.load(), 0);
    EXPECT_GT(taken.load(), kRounds);
}

}  // namespace
}  // namespace zvmodtest
