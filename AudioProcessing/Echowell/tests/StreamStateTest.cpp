// Starting and stopping the canceller as applications and the device make
// it happen at awkward moments: the device's property answers late or at
// DISPATCH_LEVEL, a render writer blocked on a full far-end queue, own
// render requests the device holds, a RUN racing a start work item; and what
// applications see of the render position and of the capture once the
// canceller shut itself off.
#include <atomic>
#include <functional>
#include <cstring>
#include <random>

#include "FilterLogicServices.h"
#include "LogicTestSupport.h"
#include "StreamPair.h"
#include "kp/io.h"
#include "kp/pnp.h"
#include "kp/thread.h"

// A thousand in the slow run.
#ifndef ZV_ECHOWELL_RACE_ROUNDS
#define ZV_ECHOWELL_RACE_ROUNDS 100
#endif

namespace zvecho {
namespace {

class StreamStateTest : public EchowellPairTest {
protected:
    void StartBoth() {
        ASSERT_EQ(mic_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(Active(), 1);
    }
    // 10 ms from the camera while the sound card gets nothing; the clock
    // moves 10 ms.
    std::vector<uint8_t> ReadCameraAlone() {
        std::shared_ptr<kp::ks::StreamRequest> r;
        NTSTATUS status = mic_.Submit(false, {{320, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &r);
        if (status != STATUS_PENDING) {
            ADD_FAILURE() << "read submitted: " << std::hex << status;
            return {};
        }
        AdvanceMs(10);
        for (int k = 0; k < 5000 && !r->Done(); ++k)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (!r->Done()) {
            ADD_FAILURE() << "the camera did not deliver";
            writes_.push_back(r);  // kept until the STOP completes it
            return {};
        }
        return std::vector<uint8_t>(r->Data(0), r->Data(0) + r->DataUsed(0));
    }
    // Fills the far-end queue until a render writer waits inside OnBuffer
    // for room (the processing thread waits for capture that does not come),
    // runs `release` and checks that the writer got out.
    void BlockARenderWriterThen(const std::function<void()>& release) {
        StartBoth();
        if (HasFatalFailure()) return;
        StreamBlocks(10, tone_);  // past the start's own render requests
        if (HasFatalFailure()) return;
        std::vector<uint8_t> hundredMs(3200, 0x11);
        std::vector<std::shared_ptr<kp::ks::StreamRequest>> requests(45);
        std::atomic<int> submitted{0};
        {
            Background writer([&] {
                for (auto& r : requests) {
                    (void)speaker_.Submit(true, {{3200, 3200, hundredMs.data()}},
                                          sizeof(KSSTREAM_HEADER), &r);
                    ++submitted;
                }
            });
            // Queue 1 holds 4 s: the writer blocks at about its 41st buffer.
            for (int i = 0; i < 10000 && g_pDataQueue1->GetReadable() < 128000 - 3200; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_FALSE(writer.Finished()) << "the writer waits for room";
            EXPECT_LT(submitted.load(), 45);
            release();
            EXPECT_TRUE(writer.AwaitFinished()) << "the writer got out";
            EXPECT_EQ(speaker_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        }
        for (auto& r : requests) {
            ASSERT_NE(r, nullptr);
            EXPECT_TRUE(r->Done());
        }
        EXPECT_EQ(AecOwnIrpsPending(), 0);
    }
    const std::vector<uint8_t> tone_ = [] {
        std::vector<uint8_t> b(320);
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7);
        return b;
    }();
};

// The state paths do the same whether the device answers the framework's
// property requests at once, later from its own thread, or at DISPATCH_LEVEL.
TEST_F(StreamStateTest, StateChangesBehaveTheSameForEveryKindOfPropertyCompletion) {
    struct Mode {
        const char* Name;
        kp::sim::CompletionMode Completion;
    } const modes[] = {
        {"synchronous", {}},
        {"asynchronous", {true, PASSIVE_LEVEL, 0}},
        {"at DISPATCH_LEVEL", {true, DISPATCH_LEVEL, 0}},
    };
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.Name);
        for (const std::string& device : {kCamera, kSpeaker})
            Device(device)->SetCompletion(kp::sim::RequestClass::Property, m.Completion);
        struct Step {
            kp::ks::KsPin* Pin;
            KSSTATE State;
            LONG Active;
            ULONG Blocks;  // streamed afterwards
        } const steps[] = {
            {&mic_, KSSTATE_RUN, 0, 0},       {&speaker_, KSSTATE_RUN, 1, 10},
            {&speaker_, KSSTATE_PAUSE, 0, 0}, {&speaker_, KSSTATE_RUN, 1, 10},
            {&mic_, KSSTATE_PAUSE, 0, 0},     {&mic_, KSSTATE_RUN, 1, 10},
            {&mic_, KSSTATE_STOP, 0, 0},      {&speaker_, KSSTATE_STOP, 0, 0},
        };
        int i = 0;
        for (const Step& s : steps) {
            SCOPED_TRACE(testing::Message() << "step " << i++);
            ASSERT_EQ(SetStateWhileClockRuns(s.Pin, s.State), STATUS_SUCCESS);
            EXPECT_EQ(Active(), s.Active);
            EXPECT_EQ(ThreadRunning(), s.Active != 0);
            StreamBlocks(s.Blocks, tone_);
            if (HasFatalFailure()) return;
        }
        writes_.clear();  // the STOP completed them
        EXPECT_EQ(AecOwnIrpsPending(), 0);
        EXPECT_EQ(g_InGraph.Stages[0].InUse, 0);
        EXPECT_EQ(g_OutGraph.Stages[0].InUse, 0);
    }
}

// A render writer waits for room in a full far-end queue (the processing
// thread waits for capture that does not come); a PAUSE of the render stream
// stops the canceller and releases it.
TEST_F(StreamStateTest, APauseReleasesARenderWriterBlockedOnAFullFarEndQueue) {
    BlockARenderWriterThen([&] {
        ASSERT_EQ(speaker_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_EQ(Active(), 0);
    });
}

// The same with the camera pulled out.  The removal takes the sync-control
// lock the writer holds: it waits out the writer's bounded wait for room
// (100 ms of machine time), so the clock moves meanwhile.
TEST_F(StreamStateTest, TheCamerasRemovalGetsPastARenderWriterBlockedOnAFullFarEndQueue) {
    BlockARenderWriterThen([&] {
        Background removal([&] { EXPECT_EQ(KpPnpSurpriseRemove(Pdo(kCamera)), STATUS_SUCCESS); });
        for (int i = 0; i < 10000 && !removal.Finished(); ++i) {
            if (i < 2000) AdvanceMs(5);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!removal.Finished()) {
            ADD_FAILURE() << "the removal did not return within 10 s";
            std::abort();
        }
        EXPECT_EQ(Active(), 0);
    });
}

// A render buffer beyond the far-end queue's free room (4.5 s against 4 s;
// no capture comes to drain it) gets one bounded wait, not one a 10 ms piece.
TEST_F(StreamStateTest, ARenderBufferBeyondTheFarEndQueuesRoomWaitsOnce) {
    StartBoth();
    StreamBlocks(10, tone_);
    if (HasFatalFailure()) return;
    std::vector<uint8_t> long_(144000, 0x11);
    auto write = [&] {
        (void)speaker_.Submit(true, {{144000, 144000, long_.data()}}, sizeof(KSSTREAM_HEADER),
                              &writes_.emplace_back());
    };
    const LONGLONG start = KpClockNow();
    WhileClockRuns(write, "the write");
    EXPECT_LE(KpClockNow() - start, KpMs(150)) << "one wait of 100 ms";
    EXPECT_EQ(g_pDataQueue1->GetLevel(), 128000u);
}

// The processing thread's last act waits for the driver's own render
// requests: a stop with one held by the device waits until the device lets
// it go, then finishes with nothing left.
TEST_F(StreamStateTest, AStopWaitsForOwnRenderRequestsTheDeviceStillHolds) {
    StartBoth();
    if (HasFatalFailure()) return;
    HoldTheSpeakersNextWrite();  // an own request of the prefill
    StreamBlocks(10, tone_);
    if (HasFatalFailure()) return;
    EXPECT_EQ(AecOwnIrpsPending(), 1);
    {
        Background pause([&] { EXPECT_EQ(speaker_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(pause.Finished()) << "the stop waits for the held request";
        EXPECT_EQ(AecOwnIrpsPending(), 1);
        Device(kSpeaker)->ReleaseHeld(STATUS_SUCCESS);
        ASSERT_TRUE(pause.AwaitFinished());
    }
    EXPECT_EQ(AecOwnIrpsPending(), 0);
    EXPECT_FALSE(ThreadRunning());
    EXPECT_EQ(Active(), 0);
}

// A RUN of the render stream racing starts queued by the property set (and
// pauses racing both) leave one processing thread and nothing else behind:
// both starts and stops take the start/stop mutex.
TEST_F(StreamStateTest, RunsAndQueuedStartsRacingLeaveOneThread) {
    StartBoth();
    if (HasFatalFailure()) return;
    constexpr int kRounds = ZV_ECHOWELL_RACE_ROUNDS;
    {
        Background control([&] {
            std::mt19937 random(7);
            for (int i = 0; i < kRounds; ++i) {
                ULONG on = 1, returned = 0;
                KSPROPERTY p{KSPROPSETID_AecControl, 4, KSPROPERTY_TYPE_SET};
                EXPECT_EQ(captureFilter_.Property(&p, sizeof p, &on, sizeof on, &returned),
                          STATUS_SUCCESS);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
            }
        });
        std::mt19937 random(11);
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_EQ(speaker_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
            ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        }
        ASSERT_TRUE(control.AwaitFinished());
    }
    KpIoDrainWorkQueues();
    EXPECT_EQ(Active(), 1);
    EXPECT_TRUE(ThreadRunning());
    const ULONG threads = KpRunningSystemThreadCount();
    ASSERT_EQ(speaker_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(KpRunningSystemThreadCount(), threads - 1) << "exactly one processing thread";
    EXPECT_EQ(AecPendingWorkItems(), 0);
}

// While processing runs the application's render position is 70 ms of bytes
// ahead of the device's, and equal to it with processing off.
TEST_F(StreamStateTest, TheRenderWriteOffsetRunsSeventyMillisecondsAheadWhileProcessing) {
    StartBoth();
    if (HasFatalFailure()) return;
    StreamBlocks(12, tone_);
    if (HasFatalFailure()) return;
    for (ULONG process : {1u, 0u}) {
        SCOPED_TRACE(testing::Message() << "processing " << process);
        KSAUDIO_POSITION app{};
        ASSERT_EQ(speaker_.GetPosition(&app), STATUS_SUCCESS);
        const ULONGLONG device = Device(kSpeaker)->PinRecords().back().BytesReceived;
        EXPECT_EQ(app.WriteOffset, device + (process ? 70 * 32 : 0));
        ULONG off = 0, returned = 0;
        KSPROPERTY p{KSPROPSETID_AecControl, 4, KSPROPERTY_TYPE_SET};
        ASSERT_EQ(captureFilter_.Property(&p, sizeof p, &off, sizeof off, &returned),
                  STATUS_SUCCESS);
        KpIoDrainWorkQueues();
    }
}

// Once the canceller shut itself off (render silent for over a second),
// capture reaches the application exactly as the camera delivered it.
TEST_F(StreamStateTest, AfterTheShutOffCaptureIsTheCamerasOwnBitForBit) {
    StartBoth();
    if (HasFatalFailure()) return;
    StreamBlocks(10, tone_);
    if (HasFatalFailure()) return;
    for (int i = 0; i < 200 && Active(); ++i) {
        (void)ReadCameraAlone();
        if (HasFailure()) return;
        KpIoDrainWorkQueues();
    }
    ASSERT_EQ(Active(), 0) << "the shut-off came";
    const size_t before = Device(kCamera)->PinRecords().back().Captured.size();
    std::vector<uint8_t> received;
    for (int i = 0; i < 5; ++i) {
        std::vector<uint8_t> block = ReadCameraAlone();
        if (HasFailure()) return;
        received.insert(received.end(), block.begin(), block.end());
    }
    const std::vector<uint8_t> captured = Device(kCamera)->PinRecords().back().Captured;
    ASSERT_EQ(captured.size() - before, received.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), captured.begin() + before));
}

}  // namespace
}  // namespace zvecho
