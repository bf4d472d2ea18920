#include "kp/restingclock.h"

#include <algorithm>
#include <cstdlib>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "kp/io.h"
#include "kp/simaudio.h"
#include "kp/thread.h"

namespace kp::testing {

RestingWait AdvanceUntil(const std::function<bool()>& done, bool callerInKernel, LONGLONG machineMs,
                         std::chrono::steady_clock::duration host) {
    const LONGLONG start = KpClockNow();
    const auto giveUp = std::chrono::steady_clock::now() + host;
    for (;;) {
        const LONGLONG moved = (KpClockNow() - start) / KpMs(1);
        // One more step at the limit: a wait that ends with it still counts.
        if (kp::sim::AdvanceWhileResting(
                done, callerInKernel, static_cast<ULONG>(std::max<LONGLONG>(machineMs - moved, 1))))
            return RestingWait::Done;
        if (std::chrono::steady_clock::now() > giveUp) return RestingWait::NeverRested;
        if ((KpClockNow() - start) / KpMs(1) >= machineMs) return RestingWait::MachineTime;
    }
}

namespace {

// Every system thread and every work item asleep in a kernel wait: the
// waiters counted are at least as many as the two together.
bool AllAsleep(ULONGLONG* wakes) {
    return KpSystemThreadsIdle(wakes) &&
           KpBlockedWaiterCount() >= KpRunningSystemThreadCount() + KpIoQueuedWorkItemCount();
}

}  // namespace

RestingWait AdvanceUntilAsleep(const std::function<bool()>& done, LONGLONG machineMs,
                               std::chrono::steady_clock::duration host) {
    const LONGLONG start = KpClockNow();
    const auto giveUp = std::chrono::steady_clock::now() + host;
    for (; !done(); std::this_thread::sleep_for(std::chrono::microseconds(100))) {
        if (std::chrono::steady_clock::now() > giveUp) return RestingWait::NeverRested;
        if ((KpClockNow() - start) / KpMs(1) >= machineMs) return RestingWait::MachineTime;
        kp::sim::DrainCompletions();
        ULONGLONG before = 0, after = 0;
        if (!AllAsleep(&before)) continue;
        // A second look with the same wake count: nothing ran in between.
        kp::sim::DrainCompletions();
        if (!done() && AllAsleep(&after) && after == before) KpClockAdvance(KpMs(1));
    }
    return RestingWait::Done;
}

void WaitResting(const std::function<bool()>& done, bool callerInKernel, const std::string& what) {
    const RestingWait end = AdvanceUntil(done, callerInKernel);
    if (end == RestingWait::Done) return;
    ADD_FAILURE() << what
                  << (end == RestingWait::NeverRested ? ": the machine never rested for a minute"
                                                      : ": 10 s of machine time went by");
    std::abort();  // rather than hang the run
}

void RunBounded(const std::function<void()>& action, std::chrono::steady_clock::duration host,
                const std::string& what) {
    std::promise<void> returned;
    std::thread bound([done = returned.get_future(), host, what] {
        if (done.wait_for(host) == std::future_status::ready) return;
        ADD_FAILURE() << what << ": did not return in "
                      << std::chrono::duration_cast<std::chrono::seconds>(host).count()
                      << " s of host time";
        std::abort();  // rather than hang the run
    });
    action();
    returned.set_value();
    bound.join();
}

}  // namespace kp::testing
