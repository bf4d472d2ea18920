// The streaming thread's awkward moments: completions out of order, stops
// while the device holds or ignores, a thread that cannot be made, the master
// device pulled out, and the old system's stop through the thread's event.
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "BridgeFixture.h"
#include "CircBuff.h"
#include "kp/io.h"
#include "kp/pnp.h"
#include "kp/restingclock.h"
#include "kp/simaudio.h"
#include "kp/thread.h"

namespace zvbridge {
namespace {

using AudioStreamTest = BridgeTest;

void HoldReads(kp::sim::SimAudioDevice& device, ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
        kp::sim::Fault hold;
        hold.IoControl = IOCTL_KS_READ_STREAM;
        hold.NeverComplete = true;
        device.AddFault(hold);  // each takes the first read that no earlier one took
    }
}

// Connection-state requests the master device saw.
ULONG StateSetsOf(kp::sim::SimAudioDevice& device) {
    ULONG n = 0;
    for (const kp::sim::RequestRecord& r : device.Requests())
        n += r.IsProperty && r.Set == KSPROPSETID_Connection && (r.Flags & KSPROPERTY_TYPE_SET);
    return n;
}

ULONG ReadsAnswered(kp::sim::SimAudioDevice& device, NTSTATUS status) {
    ULONG n = 0;
    for (const kp::sim::RequestRecord& r : device.Requests())
        n += r.IoControl == IOCTL_KS_READ_STREAM && r.Status == status;
    return n;
}

// The first read is held while the seven after it complete: nothing reaches
// the ring until it is back, and the thread sleeps between looks instead of
// spinning.  Released, all are taken in the order they were sent.
TEST_F(AudioStreamTest, CompletionsOutOfOrderAreTakenInSendOrder) {
    BootMaster();
    HoldReads(*m_device, 1);
    StartPin(false);
    WaitUntil([this] { return m_device->QueuedStreamRequests() == kTransfersInFlight - 1; },
              "seven reads queued, one held");
    ResetDelayCalls();
    for (int step = 0; step < 5; ++step) {
        // The thread's deadline is fixed before the clock moves past it.
        WaitUntil([] { return KpBlockedWaiterCount() >= 1; }, "the thread waiting");
        const ULONG looks = DelayCalls();
        AdvanceMs(10);
        WaitUntil([&] { return DelayCalls() > looks; }, "the thread looking again");
    }
    ULONG level = 0;
    m_pin->GetCircBuff()->GetCount(&level, CircBuff::kReadable);
    EXPECT_EQ(level, 0u) << "a later read was taken before the first";
    EXPECT_EQ(m_device->QueuedStreamRequests(), 2u);  // five done, none sent again
    EXPECT_LE(DelayCalls(), 10u) << "the thread spins while it waits for the first";
    m_device->ReleaseHeld(STATUS_SUCCESS);  // the first comes back empty
    // The thread's pause between looks ends with the clock.  Wait for the five
    // blocks in the ring rather than for eight requests queued: every step of
    // the clock also lets the device complete reads, so the queue count may
    // never be seen at eight when the thread runs slowly.
    std::vector<UCHAR> out(5 * 160 + 64);
    ULONG count = 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        m_pin->GetCircBuff()->GetCount(&count, CircBuff::kReadable);
        if (count >= 5u * 160 || std::chrono::steady_clock::now() > give_up) break;
        AdvanceMs(1);
        std::this_thread::yield();
    }
    ASSERT_GE(count, 5u * 160);
    count = std::min(count, static_cast<ULONG>(out.size()));
    ASSERT_EQ(m_pin->ReadData(out.data(), &count, FALSE), 1u);
    // Five blocks of the ramp in order (the ring's start-up correction adds a
    // few interpolated frames; the ramp never steps backwards).
    int backwards = 0;
    for (ULONG i = 2; i < count; i += 2) backwards += out[i] < out[i - 2] && out[i - 2] < 240;
    EXPECT_EQ(backwards, 0);
}

// Stops with every request in flight: a device that completes on STOP, one
// that ignores STOP, one that holds the requests and ignores STOP.  Each
// request is cancelled at most once, all are freed, and the stop returns.
TEST_F(AudioStreamTest, StopReturnsWhateverTheDeviceDoesWithItsRequests) {
    struct Case {
        const char* name;
        bool ignoreStop;
        ULONG held;
    };
    const Case cases[] = {
        {"completes on STOP", false, 0},
        {"ignores STOP", true, 0},
        {"holds and ignores STOP", true, kTransfersInFlight},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BootMaster();
        HoldReads(*m_device, c.held);
        StartPin(false);
        WaitUntil([] { return KpIoLiveIrpCount() == kTransfersInFlight; }, "eight reads sent");
        if (c.ignoreStop) {
            kp::sim::Fault stop;
            stop.MatchSet = true;
            stop.Set = KSPROPSETID_Connection;
            stop.Id = KSPROPERTY_CONNECTION_STATE;
            stop.Nth = 2;  // PAUSE goes through, STOP is refused
            m_device->AddFault(stop);
        }
        ResetCancelCalls();
        NTSTATUS status = STATUS_PENDING;
        // Machine time moves only once the stop has reached the device (the
        // pin paused), so that nothing completes by itself any more.
        AdvanceWhile([&] { status = m_pin->DestroyStream(); },
                     [this] { return StateSetsOf(*m_device) == 4; });
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(KpIoLiveIrpCount(), 0u);
        if (c.ignoreStop) {
            EXPECT_EQ(CancelCalls(), kTransfersInFlight);
        } else {
            EXPECT_LE(CancelCalls(), kTransfersInFlight);  // only those STOP had not reached yet
        }
        CloseAll();
        m_device.reset();
        kp::machine::Shutdown();
    }
}

// A request that cannot be made is left out of the wait, the cancels, the
// frees and the count: the stream runs with the others; without the first,
// the thread ends at once.  The start's two state requests come first.
TEST_F(AudioStreamTest, RequestsThatCannotBeMadeAreLeftOutEverywhere) {
    struct Case {
        ULONG failedIndex;
        ULONG queued;
    };
    for (const Case& c :
         {Case{2, kTransfersInFlight - 1}, Case{7, kTransfersInFlight - 1}, Case{0, 0}}) {
        SCOPED_TRACE(c.failedIndex);
        BootMaster();
        OpenFilter(KSCATEGORY_CAPTURE, 1);
        WAVEFORMATEX format = Pcm(8000, 16, 1);
        m_pin = m_filter->CreateCapturePin(&format);
        ASSERT_NE(m_pin, nullptr);
        ASSERT_EQ(m_pin->CreateStream(50), STATUS_SUCCESS);
        KpIoFailCall(KpFaultAllocateIrp, 2 + c.failedIndex + 1);
        ASSERT_EQ(m_pin->Run(), STATUS_SUCCESS);
        if (c.queued == 0) {
            WaitUntil([] { return KpRunningSystemThreadCount() == 0; }, "the thread ended");
        } else {
            WaitUntil([&] { return m_device->QueuedStreamRequests() == c.queued; }, "reads queued");
            for (int step = 0; step < 20; ++step) {
                AdvanceMs(10);
                WaitUntil([&] { return m_device->QueuedStreamRequests() == c.queued; },
                          "reads queued again");
            }
        }
        KpIoClearFailures();
        EXPECT_EQ(KpIoLiveIrpCount(), c.queued);
        EXPECT_EQ(m_pin->DestroyStream(), STATUS_SUCCESS);
        EXPECT_EQ(KpIoLiveIrpCount(), 0u);
        CloseAll();
        m_device.reset();
        kp::machine::Shutdown();
    }
}

// Without a thread the pin does not run, and a stop waits for nothing.
TEST_F(AudioStreamTest, AThreadThatCannotBeMadeLeavesThePinStoppedAndTheStopReturns) {
    BootMaster();
    OpenFilter(KSCATEGORY_CAPTURE, 1);
    WAVEFORMATEX format = Pcm(8000, 16, 1);
    m_pin = m_filter->CreateCapturePin(&format);
    ASSERT_NE(m_pin, nullptr);
    ASSERT_EQ(m_pin->CreateStream(50), STATUS_SUCCESS);
    FailThreadCreations(1);
    EXPECT_EQ(m_pin->Run(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_pin->IsRunning(), 0u);
    EXPECT_EQ(m_pin->GetStream()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(m_pin->Run(), STATUS_SUCCESS);  // a later start works
    EXPECT_EQ(m_pin->DestroyStream(), STATUS_SUCCESS);
    EXPECT_EQ(KpIoLiveIrpCount(), 0u);
}

// The master device is pulled out while a reader waits on the ring: with the
// unplugged answer (STATUS_DEVICE_NOT_CONNECTED) and with the answer of a
// stack going away (STATUS_CANCELLED, then STATUS_DELETE_PENDING) the thread
// frees its requests and ends, and the reader returns empty-handed.
TEST_F(AudioStreamTest, SurpriseRemovalEndsTheThreadAndReleasesTheRingsReader) {
    for (bool disconnect : {true, false}) {
        SCOPED_TRACE(disconnect ? "DisconnectOnRemoval" : "default answers");
        BootMaster(disconnect);
        StartPin(false);
        WaitUntil([this] { return m_device->QueuedStreamRequests() == kTransfersInFlight; },
                  "eight reads queued");
        const ULONG threads = KpRunningSystemThreadCount();
        std::atomic<bool> returned{false};
        ULONG result = 9, count = 800;
        std::vector<UCHAR> out(count);
        std::thread reader([&] {
            result = m_pin->ReadData(out.data(), &count, TRUE);
            returned = true;
        });
        WaitUntil([] { return KpBlockedWaiterCount() >= 2; }, "the reader waiting");
        ASSERT_EQ(KpPnpSurpriseRemove(m_pdo), STATUS_SUCCESS);
        // Machine time goes on while the thread winds down, each step only
        // once it rests (a busy host must not outrun it): at most 2 s.
        if (kp::testing::AdvanceUntil([&] { return returned.load(); }, false, 2000) !=
            kp::testing::RestingWait::Done) {
            ADD_FAILURE() << "the ring's reader still waits 2 s after the device's loss";
            m_pin->GetCircBuff()->Flush();  // ends its wait: the run goes on
        }
        reader.join();
        EXPECT_EQ(result, 0u);
        WaitUntil([&] { return KpRunningSystemThreadCount() == threads - 1; }, "the thread ended");
        EXPECT_EQ(KpIoLiveIrpCount(), 0u);
        EXPECT_EQ(ReadsAnswered(*m_device, STATUS_DEVICE_NOT_CONNECTED),
                  disconnect ? kTransfersInFlight : 0u);
        EXPECT_GE(ReadsAnswered(*m_device, STATUS_DELETE_PENDING), disconnect ? 0u : 1u);
        EXPECT_EQ(m_pin->DestroyStream(), STATUS_SUCCESS);
        CloseAll();
        EXPECT_EQ(KpPnpRemove(m_pdo), STATUS_SUCCESS);
        m_device.reset();
        kp::machine::Shutdown();
    }
}

// A device that answers every read with an error other than its loss (here
// STATUS_UNSUCCESSFUL, synchronously): the thread goes on asking, but waits a
// moment before each request it sends again instead of spinning at its
// priority, so a second of machine time sees about a thousand of them, not
// as many as the host can send.
TEST_F(AudioStreamTest, ADeviceFailingEveryRequestIsNotAskedInASpin) {
    BootMaster();
    constexpr ULONG kFailures = 3000;  // more than the 100 ms below may take
    for (ULONG i = 0; i < kFailures; ++i) {
        kp::sim::Fault fail;
        fail.IoControl = IOCTL_KS_READ_STREAM;
        fail.Status = STATUS_UNSUCCESSFUL;
        m_device->AddFault(fail);
    }
    StartPin(false);
    for (int ms = 0; ms < 100; ++ms) {
        kp::sim::SettleMachine(200);  // a spinning thread never rests: 200 ms of host time
        AdvanceMs(1);
    }
    kp::sim::SettleMachine(200);
    const ULONG failed = ReadsAnswered(*m_device, STATUS_UNSUCCESSFUL);
    EXPECT_GE(failed, 50u) << "the thread kept asking";
    EXPECT_LE(failed, kTransfersInFlight + 110u) << "requests sent in 100 ms of machine time";
    NTSTATUS status = STATUS_PENDING;
    AdvanceWhile([&] { status = m_pin->DestroyStream(); }, [] { return true; });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(KpIoLiveIrpCount(), 0u);
}

// Before WDM 1.10 the stop waits for the thread's own event, not its object.
TEST_F(AudioStreamTest, AnOlderSystemStopsOnTheThreadsEvent) {
    KpIoSetWdmVersion(1, 0);
    BootMaster();
    const ULONG threads = KpRunningSystemThreadCount();
    StartPin(false);
    WaitUntil([this] { return m_device->QueuedStreamRequests() == kTransfersInFlight; },
              "eight reads queued");
    Step();
    EXPECT_EQ(m_pin->DestroyStream(), STATUS_SUCCESS);
    EXPECT_EQ(KpIoLiveIrpCount(), 0u);
    WaitUntil([&] { return KpRunningSystemThreadCount() == threads; }, "the thread gone");
    KpIoSetWdmVersion(1, 0x30);
}

}  // namespace
}  // namespace zvbridge
