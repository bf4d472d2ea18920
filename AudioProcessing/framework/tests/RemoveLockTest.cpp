// The remove lock: counting, the removal's wait, and acquires racing a removal.
#include <atomic>
#include <thread>
#include <vector>

#include "FrameworkTestSupport.h"
#include "RemoveLock.h"
#include "RemoveLockTracker.h"

namespace {

PVOID Tag(int n) {
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(0x1000 + n));
}

TEST(RemoveLockTest, AcquireAndReleaseCountHolders) {
    RemoveLock lock;
    InitializeRemoveLock(&lock);
    EXPECT_EQ(RemoveLockCount(&lock), 1);
    EXPECT_EQ(AcquireRemoveLock(Tag(1), &lock), STATUS_SUCCESS);
    EXPECT_EQ(AcquireRemoveLock(Tag(2), &lock), STATUS_SUCCESS);
    EXPECT_EQ(RemoveLockCount(&lock), 3);
    ReleaseRemoveLock(Tag(1), &lock);
    ReleaseRemoveLock(Tag(2), &lock);
    EXPECT_EQ(RemoveLockCount(&lock), 1);
    EXPECT_EQ(KeReadStateEvent(&lock.Event), 0);
}

TEST(RemoveLockTest, RemovalWithoutOtherHoldersReturnsAtOnceAndLaterAcquiresFail) {
    RemoveLock lock;
    InitializeRemoveLock(&lock);
    ASSERT_EQ(AcquireRemoveLock(Tag(0), &lock), STATUS_SUCCESS);  // the remove request's own
    ReleaseRemoveLockAndWait(Tag(0), &lock);
    EXPECT_EQ(RemoveLockCount(&lock), 0);
    EXPECT_NE(KeReadStateEvent(&lock.Event), 0);
    EXPECT_EQ(AcquireRemoveLock(Tag(1), &lock), STATUS_DELETE_PENDING);
    EXPECT_EQ(RemoveLockCount(&lock), 0);  // the failed acquire backed out
}

TEST(RemoveLockTest, RemovalWaitsForTheLastHolder) {
    RemoveLock lock;
    InitializeRemoveLock(&lock);
    constexpr int kHolders = 3;
    for (int i = 1; i <= kHolders; ++i) ASSERT_EQ(AcquireRemoveLock(Tag(i), &lock), STATUS_SUCCESS);
    ASSERT_EQ(AcquireRemoveLock(Tag(0), &lock), STATUS_SUCCESS);

    std::atomic<bool> removed{false};
    std::thread remover([&] {
        ReleaseRemoveLockAndWait(Tag(0), &lock);
        removed = true;
    });
    // Once the remover gave back its two references only the holders count.
    while (!(__atomic_load_n(&lock.Removing, __ATOMIC_SEQ_CST) == 1 &&
             RemoveLockCount(&lock) == kHolders)) {
        std::this_thread::yield();
    }
    EXPECT_EQ(AcquireRemoveLock(Tag(9), &lock), STATUS_DELETE_PENDING);
    for (int i = 1; i <= kHolders; ++i) {
        EXPECT_FALSE(removed) << "the removal returned while " << kHolders - i + 1
                              << " holders remained";
        ReleaseRemoveLock(Tag(i), &lock);
    }
    remover.join();
    EXPECT_TRUE(removed);
    EXPECT_EQ(RemoveLockCount(&lock), 0);
}

TEST(RemoveLockTest, AcquiresRacingTheRemovalNeverOutliveIt) {
    for (int round = 0; round < 20; ++round) {
        RemoveLock lock;
        InitializeRemoveLock(&lock);
        std::atomic<bool> removed{false};
        std::atomic<bool> violation{false};
        std::atomic<int> started{0};
        std::vector<std::thread> holders;
        for (int t = 0; t < 4; ++t) {
            holders.emplace_back([&, t] {
                started++;
                for (int i = 0; i < 2000; ++i) {
                    if (AcquireRemoveLock(Tag(t), &lock) == STATUS_SUCCESS) {
                        if (removed) violation = true;  // held after the removal finished
                        if (RemoveLockCount(&lock) < 1) violation = true;
                        std::this_thread::yield();
                        ReleaseRemoveLock(Tag(t), &lock);
                    } else if (RemoveLockCount(&lock) < 0) {
                        violation = true;
                    }
                }
            });
        }
        while (started < 4) std::this_thread::yield();
        ASSERT_EQ(AcquireRemoveLock(Tag(99), &lock), STATUS_SUCCESS);
        ReleaseRemoveLockAndWait(Tag(99), &lock);
        removed = true;
        for (auto& holder : holders) holder.join();
        EXPECT_FALSE(violation) << "round " << round;
        EXPECT_EQ(RemoveLockCount(&lock), 0);
    }
}

TEST(RemoveLockTest, TrackerSeesEveryHoldAndAWrongRelease) {
    RemoveLock lock;
    InitializeRemoveLock(&lock);
    zvtest::RemoveLockTracker tracker;
    ASSERT_EQ(AcquireRemoveLock(Tag(1), &lock), STATUS_SUCCESS);
    ASSERT_EQ(AcquireRemoveLock(Tag(2), &lock), STATUS_SUCCESS);
    ASSERT_EQ(AcquireRemoveLock(Tag(2), &lock), STATUS_SUCCESS);
    EXPECT_EQ(tracker.Holders(&lock), (std::vector<PVOID>{Tag(1), Tag(2), Tag(2)}));
    ReleaseRemoveLock(Tag(2), &lock);
    ReleaseRemoveLock(Tag(1), &lock);
    EXPECT_EQ(tracker.Holders(&lock), (std::vector<PVOID>{Tag(2)}));
    EXPECT_EQ(tracker.OutstandingHolds(), 1u);
    EXPECT_TRUE(tracker.BadReleases().empty());

    ReleaseRemoveLock(Tag(1), &lock);  // a second release of request 1
    ASSERT_EQ(tracker.BadReleases().size(), 1u);
    EXPECT_NE(tracker.BadReleases()[0].find("does not hold it"), std::string::npos);

    // The removal's own acquire and release balance; a refused acquire is no hold.
    RemoveLock other;
    InitializeRemoveLock(&other);
    ASSERT_EQ(AcquireRemoveLock(Tag(0), &other), STATUS_SUCCESS);
    ReleaseRemoveLockAndWait(Tag(0), &other);
    EXPECT_EQ(AcquireRemoveLock(Tag(4), &other), STATUS_DELETE_PENDING);
    EXPECT_TRUE(tracker.Holders(&other).empty());
    EXPECT_EQ(tracker.BadReleases().size(), 1u);
}

}  // namespace
