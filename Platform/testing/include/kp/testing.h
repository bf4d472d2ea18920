// GoogleTest support for code that runs on the stand-in kernel.
//
// KernelChecks remembers the kernel's state when made and, in Verify(), fails the
// running test for what changed: pool blocks allocated since and still live,
// handles and reference-counted objects left open, system threads still running,
// the test thread not back at PASSIVE_LEVEL or with floating-point saves open.
// It also clears the DbgPrint capture, pool and thread-creation failure
// injections at both ends.  Use it through the KernelTest fixture, through the
// listener (every test of a program), or directly in a fixture of your own.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kp/clock.h"
#include "platform/ntdef.h"

namespace kp::testing {

class KernelChecks {
public:
    KernelChecks();
    // Adds a GoogleTest failure for each leak; puts the thread back at PASSIVE_LEVEL.
    void Verify();

    // Names of what Verify would report, empty when clean (for custom reporting).
    std::vector<std::string> Problems() const;

private:
    ULONGLONG poolSerial_;
    ULONG handles_;
    ULONG objects_;
    ULONG threads_;
};

// A fixture: checks around every test, with helpers for the kernel's test hooks.
class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Counting allocations of Tag (0 = any), the Nth from now fails (and Count - 1 more).
    static void FailAllocation(ULONG Tag, ULONG Nth, ULONG Count = 1);
    static void FailThreadCreations(ULONG Count);
    // What kernel code printed since the test began, line by line.
    static std::vector<std::string> DbgLines();
    // Runs the machine clock by hand for the rest of the test (restored afterwards).
    void UseManualClock();
    static void Advance(LONGLONG Delta100ns);

private:
    KernelChecks* checks_ = nullptr;
    bool restoreClock_ = false;
    KpClockMode savedMode_ = KpClockMode::RealTime;
};

// Runs the KernelChecks around every test of the program.  Call once from main
// (or a global test environment) before RUN_ALL_TESTS.
void InstallKernelCheckListener();
// The listener itself (the caller owns it until handed to GoogleTest).
::testing::TestEventListener* NewKernelCheckListener();

}  // namespace kp::testing
