// Waits on a machine with a manual clock that keep pace with its threads:
// the clock moves 1 ms at a time, and only while the machine rests (every
// system thread and running work item asleep, none queued) and, when an
// application thread is on its way through the driver, while that thread
// waits there.  However
// slowly a busy host runs the driver's threads, none of them finds the clock
// gone past a wait it had yet to enter.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "kp/clock.h"

namespace kp::testing {

// How a wait with the clock moving ended.
enum class RestingWait {
    Done,         // `done` held
    MachineTime,  // the machine time allowed went by first
    NeverRested,  // the host time allowed went by first: the machine never rested
};

// Waits until `done`, moving the clock as above, for `machineMs` of machine
// time and `host` of host time at most.
RestingWait AdvanceUntil(const std::function<bool()>& done, bool callerInKernel,
                         LONGLONG machineMs = 10000,
                         std::chrono::steady_clock::duration host = std::chrono::minutes(1));

// The same on a machine whose work items wait for something the test holds
// (a lock), so that a work item is never done: the clock moves while every
// system thread and every work item's thread sleeps in a kernel wait that
// nothing woke meanwhile.  No application thread may wait in the kernel.
RestingWait AdvanceUntilAsleep(const std::function<bool()>& done, LONGLONG machineMs = 10000,
                               std::chrono::steady_clock::duration host = std::chrono::minutes(1));

// The same for a wait that must end: a wait that 10 s of machine time does
// not end (a hang in a wait), or a minute of host time (a thread that never
// rests), fails the test with `what` and the reason, and ends the run rather
// than hang it.
void WaitResting(const std::function<bool()>& done, bool callerInKernel, const std::string& what);

// Runs `action` on the calling thread, which may be the one that moves a
// manual clock: an action that waits in the kernel for machine time only
// this thread moves never returns.  After `host` of host time the test fails
// with `what` and the run ends rather than hang.
void RunBounded(const std::function<void()>& action, std::chrono::steady_clock::duration host,
                const std::string& what);

}  // namespace kp::testing
