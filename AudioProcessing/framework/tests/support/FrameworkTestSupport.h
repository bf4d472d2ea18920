// Test support for the framework: a fixture that starts and stops the driver-wide
// services as DriverEntry and the unload do, and recording routines that tests
// put into the live probe slots to see what the code under test reports.
#pragma once

#include <gtest/gtest.h>
#include <kp/testing.h>

#include <string>
#include <vector>

#include "MemAlloc.h"
#include "Probe.h"
#include "ZDebug.h"

namespace zvtest {

// One call of a probe slot as the recording routines saw it.
struct ProbeCall {
    ULONG Slot = 0;               // slot index (5 to 22)
    std::vector<LONGLONG> Words;  // the slot's arguments; 64-bit values whole
    std::string Text;             // the text argument of slots 5, 11 and 15
};

// Puts recording routines into slots 5 to 17 and 22 (the slots that unbound
// code reaches) and clears the record.  The slot table must be live.
void RecordProbeSlots();
std::vector<ProbeCall> ProbeCalls();
std::vector<ProbeCall> ProbeCallsOf(ULONG slot);
void ClearProbeCalls();
// A counter's value as ProbeSetCounter / ProbeAddCounter calls left it since
// the last clear (starting from 0).
LONGLONG ProbeCounter(ULONG counter);

// The driver-wide services of one driver start, in DriverEntry's order:
// driver name, probe slots live, allocator, interface list.  TearDown checks
// that the test left no live block of the allocator, then unloads (interfaces
// released, allocator shut down, slots trapped) and lets the kernel's checks
// find what else leaked (pool blocks, handles, objects, threads).
class FrameworkTest : public kp::testing::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Leaves the check for live blocks out of TearDown (a test that shows
    // what a leak looks like).
    void ExpectLiveBlocksAtEnd() { m_checkLeaks = false; }

private:
    bool m_checkLeaks = true;
};

// Registers the eleven log modules in DriverEntry's order (probe indices 0 to 10).
void RegisterAllLogModules();

// Removes "\Registry\Machine\Software\Korvane" and everything below it.
void ClearKorvaneKeys();

}  // namespace zvtest
