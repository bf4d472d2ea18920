// The kit's waits on a manual clock: the clock moves only while the machine
// rests, and a work item asleep on a lock the test holds is rest only to the
// wait made for it.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "kp/clock.h"
#include "kp/io.h"
#include "kp/restingclock.h"
#include "kp/testing.h"
#include "platform/io.h"

namespace {

using kp::testing::RestingWait;

NTSTATUS NoDispatchEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

// A driver with one device, for work items to run on, and a mutex the test
// holds while an item waits for it.
class RestingClockTest : public kp::testing::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        UseManualClock();
        ASSERT_EQ(KpLoadBuiltinDriver(u"KpRestingClock", NoDispatchEntry, &driver_),
                  STATUS_SUCCESS);
        KpUnregisterBuiltinDriver(u"KpRestingClock");
        ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        item_ = IoAllocateWorkItem(device_);
        ASSERT_NE(item_, nullptr);
        KeInitializeMutex(&mutex_, 0);
    }
    void TearDown() override {
        KpIoDrainWorkQueues();
        if (item_ != nullptr) IoFreeWorkItem(item_);
        if (device_ != nullptr) IoDeleteDevice(device_);
        if (driver_ != nullptr) {
            EXPECT_EQ(KpUnloadDriver(driver_), STATUS_SUCCESS);
        }
        KernelTest::TearDown();
    }
    // Queues the item: it takes the mutex and lets it go, or, when `busy`,
    // runs without sleeping until busy_ clears.
    void Queue(bool busy = false) {
        busy_ = busy;
        IoQueueWorkItem(
            item_,
            [](PDEVICE_OBJECT, PVOID context) {
                auto* self = static_cast<RestingClockTest*>(context);
                if (self->busy_.load()) {
                    while (self->busy_.load()) std::this_thread::yield();
                    return;
                }
                KeWaitForSingleObject(&self->mutex_, Executive, KernelMode, FALSE, nullptr);
                KeReleaseMutex(&self->mutex_, FALSE);
            },
            DelayedWorkQueue, this);
    }
    static std::function<bool()> MovedMs(LONGLONG ms) {
        const LONGLONG start = KpClockNow();
        return [start, ms] { return KpClockNow() - start >= KpMs(ms); };
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PIO_WORKITEM item_ = nullptr;
    KMUTEX mutex_;
    std::atomic<bool> busy_{false};
};

TEST_F(RestingClockTest, AWaitEndsWhenDoneOrWhenItsMachineTimeIsUp) {
    const LONGLONG start = KpClockNow();
    EXPECT_EQ(kp::testing::AdvanceUntil(MovedMs(7), false), RestingWait::Done);
    EXPECT_EQ(KpClockNow() - start, KpMs(7)) << "1 ms at a time, no further than needed";
    EXPECT_EQ(kp::testing::AdvanceUntil([] { return false; }, false, 30), RestingWait::MachineTime);
    EXPECT_EQ(KpClockNow() - start, KpMs(7 + 30));
    EXPECT_EQ(kp::testing::AdvanceUntilAsleep([] { return false; }, 20), RestingWait::MachineTime);
    EXPECT_EQ(KpClockNow() - start, KpMs(7 + 30 + 20));
}

// The item waits for the mutex the test holds: the wait made for that moves
// the clock; the item's end comes once the test lets go.
TEST_F(RestingClockTest, AWorkItemAsleepOnAHeldMutexIsRest) {
    KeWaitForSingleObject(&mutex_, Executive, KernelMode, FALSE, nullptr);
    Queue();
    const LONGLONG start = KpClockNow();
    EXPECT_EQ(kp::testing::AdvanceUntilAsleep(MovedMs(20), 100), RestingWait::Done);
    EXPECT_EQ(KpClockNow() - start, KpMs(20));
    EXPECT_EQ(KpIoQueuedWorkItemCount(), 1u) << "the item still waits";
    KeReleaseMutex(&mutex_, FALSE);
}

// An item at work (it never sleeps) is no rest: the clock stands, and the
// wait ends with the host time it was given.
TEST_F(RestingClockTest, AWorkItemAtWorkIsNoRest) {
    Queue(true);
    const LONGLONG start = KpClockNow();
    EXPECT_EQ(kp::testing::AdvanceUntilAsleep(MovedMs(5), 100, std::chrono::milliseconds(200)),
              RestingWait::NeverRested);
    EXPECT_EQ(KpClockNow(), start);
    busy_ = false;
}

// An item asleep in a wait for machine time (as a stop waits for a device to
// play) is rest like a sleeping system thread: the clock moves it on.
TEST_F(RestingClockTest, AWorkItemWaitingForMachineTimeIsRest) {
    std::atomic<bool> woke{false};
    IoQueueWorkItem(
        item_,
        [](PDEVICE_OBJECT, PVOID context) {
            LARGE_INTEGER due;
            due.QuadPart = -KpMs(30);
            KeDelayExecutionThread(KernelMode, FALSE, &due);
            *static_cast<std::atomic<bool>*>(context) = true;
        },
        DelayedWorkQueue, &woke);
    EXPECT_EQ(
        kp::testing::AdvanceUntil([&] { return woke.load(); }, false, 100, std::chrono::seconds(5)),
        RestingWait::Done);
    if (!woke.load()) Advance(KpMs(30));  // the item ends, and the test with it
}

}  // namespace
