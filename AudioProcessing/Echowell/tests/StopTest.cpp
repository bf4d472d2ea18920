// Stopping the canceller: the automatic shut-off queues exactly one stop and
// answers its status; a stop waits for a stream buffer still inside OnBuffer;
// a master load over an earlier load's objects frees them first and leaves
// the start/stop mutex to whoever waits on it.
#include "FilterLogicServices.h"
#include "FrameworkTesting.h"
#include "LogicTestSupport.h"
#include "StreamPair.h"
#include "kp/io.h"

namespace zvecho {
namespace {

class StopLogicTest : public LogicTest {
protected:
    static ZvStatus Capture(std::vector<UCHAR>* data) {
        KSSTREAM_HEADER h{};
        h.Size = sizeof h;
        h.FrameExtent = h.DataUsed = static_cast<ULONG>(data->size());
        h.Data = data->data();
        return OnBuffer(nullptr, CHANNEL_CAPTURE, &h, sizeof h, 1, nullptr);
    }
};

// Capture arrived alone for two seconds: the buffer that notices queues the
// stop and answers the stop's status (here the failure of a capture channel
// without a device to queue it on); the next buffer queues nothing more.
TEST_F(StopLogicTest, TheBufferThatShutsOffAnswersTheQueuedStopsStatus) {
    LoadMaster();
    OpenChannel(CHANNEL_RENDER, Pcm(16000, 16, 1));
    OpenChannel(CHANNEL_CAPTURE, Pcm(16000, 16, 1));
    ASSERT_EQ(SetChannelState(1, CHANNEL_RENDER, CHANNEL_STATE_RUNNING), ZV_OK);
    ASSERT_EQ(SetChannelState(1, CHANNEL_CAPTURE, CHANNEL_STATE_RUNNING), ZV_OK);
    ResetDeviceList();  // no device for the switch's DirectSound side
    ULONG on = 1;
    ASSERT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &on, sizeof on), ZV_OK);
    InitQueues();
    InterlockedExchange(&g_bAecActive, 1);
    std::vector<UCHAR> data(320, 0x21);
    EXPECT_EQ(Capture(&data), ZV_OK) << "both times at 0: no shut-off";
    InterlockedExchange64(&g_llLastRenderTime,
                          InterlockedCompareExchange64(&g_llLastCaptureTime, 0, 0) - 2000000);
    EXPECT_EQ(Capture(&data), ZV_FAILED) << "the stop could not be queued";
    EXPECT_EQ(g_bAutoOffLatched, 1u);
    EXPECT_EQ(Capture(&data), ZV_OK) << "latched: no second stop";
    InterlockedExchange(&g_bAecActive, 0);
}

// A master load with no unload before it (the earlier load's objects still
// there) frees them first: nothing leaks, and the logic works.
TEST_F(StopLogicTest, AMasterLoadOverAnEarlierLoadFreesItsObjects) {
    LoadMaster();
    const ULONGLONG once = LiveBytes();
    for (int i = 0; i < 3; ++i) LoadMaster();
    EXPECT_EQ(LiveBytes(), once);
    ULONG value = 0, size = sizeof value;
    KSPROPERTY p{KSPROPSETID_AecControl, 6, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(OnKSProperty(nullptr, &p, sizeof p, &value, &size), STATUS_SUCCESS);
}

// A PAUSE waits for the start/stop mutex (a stop holds it) when the camera's
// stack loads the master again: the mutex it waits on stays the one it
// waits on, and the PAUSE goes through once the holder lets go.
TEST_F(StopLogicTest, AMasterLoadLeavesTheStartStopMutexToItsWaiters) {
    LoadMaster();
    KeWaitForSingleObject(&g_AecMutex, Executive, KernelMode, FALSE, nullptr);
    ZvStatus paused = ZV_FAILED;
    {
        Background pause(
            [&] { paused = OnSetStreamState(nullptr, CHANNEL_CAPTURE, KSSTATE_PAUSE, 1); });
        EXPECT_TRUE(ApplicationThreadsAsleep(
            1, [] { return true; }, [&] { return pause.Finished(); }))
            << "the PAUSE is asleep";
        EXPECT_FALSE(pause.Finished()) << "the PAUSE waits for the mutex";
        LoadMaster();
        KeReleaseMutex(&g_AecMutex, FALSE);
        EXPECT_TRUE(pause.AwaitFinished());
    }
    EXPECT_EQ(paused, ZV_OK);
}

class StopMachineTest : public EchowellPairTest {
protected:
    void StartBoth() {
        ASSERT_EQ(SetStateWhileClockRuns(&mic_, KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(SetStateWhileClockRuns(&speaker_, KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(Active(), 1);
    }
    const std::vector<uint8_t> tone_ = std::vector<uint8_t>(320, 0x35);
};

// The render stream stops arriving while the camera delivers on.  The stop
// work item waits for the start/stop mutex (held here) meanwhile: every
// camera buffer after the second without render sees the times apart, and
// exactly one stop is queued.
TEST_F(StopMachineTest, TheShutOffQueuesExactlyOneStop) {
    StartBoth();
    if (HasFatalFailure()) return;
    StreamBlocks(10, tone_);
    if (HasFatalFailure()) return;
    KeWaitForSingleObject(&g_AecMutex, Executive, KernelMode, FALSE, nullptr);
    for (int i = 0; i < 150; ++i) {
        std::shared_ptr<kp::ks::StreamRequest> r;
        ASSERT_EQ(mic_.Submit(false, {{320, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &r),
                  STATUS_PENDING);
        // The clock moves only while the machine rests (the stop's work
        // item asleep on the mutex), so the camera's buffers reach the logic
        // in machine time however late the host runs its threads (half a
        // second of machine time, or a minute of host time without rest, is
        // a camera that does not deliver).
        if (kp::testing::AdvanceUntilAsleep([&r] { return r->Done(); }, 500) !=
            kp::testing::RestingWait::Done) {
            KeReleaseMutex(&g_AecMutex, FALSE);
            FAIL() << "the camera did not deliver";
        }
    }
    const LONG pending = AecPendingWorkItems();
    KeReleaseMutex(&g_AecMutex, FALSE);
    EXPECT_EQ(pending, 1) << "one stop for the shut-off";
    KpIoDrainWorkQueues();
    EXPECT_EQ(Active(), 0);
    EXPECT_EQ(AecPendingWorkItems(), 0);
}

// A render buffer is inside OnBuffer (the device holds the position request
// of the first buffer after the start) when the camera's application
// pauses: the stop waits for it before it frees the chains and resets the
// queues the buffer is about to use.
TEST_F(StopMachineTest, AStopWaitsForABufferInsideOnBuffer) {
    StartBoth();
    if (HasFatalFailure()) return;
    kp::sim::Fault hold;
    hold.Major = IRP_MJ_DEVICE_CONTROL;
    hold.IoControl = IOCTL_KS_PROPERTY;
    hold.MatchSet = true;
    hold.Set = KSPROPSETID_Audio;
    hold.Id = KSPROPERTY_AUDIO_POSITION;
    hold.NeverComplete = true;
    Device(kSpeaker)->AddFault(hold);
    std::shared_ptr<kp::ks::StreamRequest> w;
    {
        Background write([&] {
            EXPECT_TRUE(NT_SUCCESS(
                speaker_.Submit(true, {{320, 320, tone_.data()}}, sizeof(KSSTREAM_HEADER), &w)));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_FALSE(write.Finished()) << "the buffer waits inside OnBuffer";
        Background pause([&] { EXPECT_EQ(mic_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(pause.Finished()) << "the stop waits for the buffer";
        EXPECT_NE(g_InGraph.Stages[0].InUse, 0) << "the chains are still there";
        Device(kSpeaker)->ReleaseHeld(STATUS_SUCCESS);
        EXPECT_TRUE(write.AwaitFinished());
        EXPECT_TRUE(pause.AwaitFinished(true));
    }
    EXPECT_EQ(Active(), 0);
    EXPECT_EQ(g_InGraph.Stages[0].InUse, 0);
    ASSERT_NE(w, nullptr);
    writes_.push_back(w);
}

}  // namespace
}  // namespace zvecho
