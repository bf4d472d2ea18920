// Late wake-ups of a chosen image's system threads, on the manual clock: each
// wait that blocked ends a random 0 to MaxMs milliseconds of machine time
// after its signal, the same milliseconds for the same seed; other threads
// and waits that did not block are not delayed.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kp/clock.h"
#include "kp/testing.h"
#include "kp/thread.h"
#include "platform/ke.h"
#include "platform/ob.h"

namespace {

constexpr ULONG kWakes = 40;

struct Waiter {
    KEVENT Go;
    std::atomic<ULONG> Done{0};
    LONGLONG WokeAt[kWakes] = {};
};

void WaitLoop(PVOID context) {
    auto* w = static_cast<Waiter*>(context);
    for (ULONG i = 0; i < kWakes; ++i) {
        KeWaitForSingleObject(&w->Go, Executive, KernelMode, FALSE, nullptr);
        w->WokeAt[i] = KpClockNow();
        w->Done = i + 1;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

class WakeDelayTest : public kp::testing::KernelTest {
protected:
    void TearDown() override {
        KpSetThreadWakeDelay(nullptr, 0, 0);
        kp::testing::KernelTest::TearDown();
    }

    // The image of this program's system threads, as the stand-in names it.
    static std::string OwnImage() {
        auto threads = KpSystemThreads();
        return threads.empty() ? std::string() : threads.back().Image;
    }

    // Signals a system thread's waits one by one, moving the clock a
    // millisecond at a time while the woken thread sleeps; the machine
    // milliseconds from each signal to the thread's wake-up.  `ready`
    // leaves the event signalled throughout, so that no wait blocks.
    static std::vector<LONGLONG> Wakes(const char* image, ULONG maxMs, ULONG seed,
                                       bool ready = false) {
        Waiter w;
        KeInitializeEvent(&w.Go, ready ? NotificationEvent : SynchronizationEvent, ready);
        if (image != nullptr) KpSetThreadWakeDelay(image, maxMs, seed);
        HANDLE handle = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       WaitLoop, &w),
                  STATUS_SUCCESS);
        std::vector<LONGLONG> delays;
        for (ULONG i = 0; i < kWakes; ++i) {
            if (!ready) {
                while (KpBlockedWaiterCount() < 1) std::this_thread::yield();
                LONGLONG signalled = KpClockNow();
                const ULONGLONG chosen = KpThreadWakeDelayMs();
                KeSetEvent(&w.Go, 0, FALSE);
                while (w.Done.load() < i + 1) {
                    // Asleep on the clock, nothing woken since: its delay runs.
                    if (KpSystemThreadsIdle(nullptr)) KpClockAdvance(KpMs(1));
                    std::this_thread::yield();
                }
                delays.push_back((w.WokeAt[i] - signalled) / KpMs(1));
                EXPECT_EQ(static_cast<ULONGLONG>(delays.back()), KpThreadWakeDelayMs() - chosen);
            } else {
                while (w.Done.load() < i + 1) std::this_thread::yield();
                delays.push_back(0);
            }
        }
        while (KpRunningSystemThreadCount() != 0) std::this_thread::yield();
        ZwClose(handle);
        return delays;
    }
};

TEST_F(WakeDelayTest, ABlockedWaitEndsLateByTheSeedsMilliseconds) {
    UseManualClock();
    auto plain = Wakes(nullptr, 0, 0);
    const std::string image = OwnImage();
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(plain, std::vector<LONGLONG>(kWakes, 0)) << "no knob: on time";

    auto first = Wakes(image.c_str(), 30, 7);
    LONGLONG least = 30, most = 0;
    for (LONGLONG d : first) {
        least = std::min(least, d);
        most = std::max(most, d);
    }
    EXPECT_GE(least, 0);
    EXPECT_LE(most, 30);
    EXPECT_GE(most - least, 15) << "spread over the range";
    EXPECT_EQ(Wakes(image.c_str(), 30, 7), first) << "the same seed, the same delays";
    EXPECT_NE(Wakes(image.c_str(), 30, 8), first);
    EXPECT_EQ(Wakes("Other.sys", 30, 7), plain) << "another image's threads";
    KpSetThreadWakeDelay(nullptr, 0, 0);
    EXPECT_EQ(Wakes(nullptr, 0, 0), plain) << "switched off";
}

TEST_F(WakeDelayTest, AWaitThatDoesNotBlockIsNotDelayed) {
    UseManualClock();
    Wakes(nullptr, 0, 0);  // names this program's image
    const ULONGLONG before = KpThreadWakeDelayMs();
    Wakes(OwnImage().c_str(), 30, 7, true);
    EXPECT_EQ(KpThreadWakeDelayMs(), before);
}

}  // namespace
