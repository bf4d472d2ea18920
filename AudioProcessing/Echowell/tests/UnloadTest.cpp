// Stream buffers inside OnBuffer on both directions' threads while the
// processing thread runs: they share the last buffer times, and the master's
// unload waits for them; they leave without touching what it frees.
#include <atomic>
#include <thread>

#include "FilterLogicServices.h"
#include "FrameworkTesting.h"
#include "LogicTestSupport.h"

namespace zvecho {
namespace {

class UnloadTest : public LogicTest {
protected:
    // The master loaded with both channels running, processing on and the
    // canceller started by hand (no devices here).
    void StartCanceller() {
        LoadMaster();
        OpenChannel(CHANNEL_RENDER, Pcm(16000, 16, 1));
        OpenChannel(CHANNEL_CAPTURE, Pcm(16000, 16, 1));
        ASSERT_EQ(SetChannelState(1, CHANNEL_RENDER, CHANNEL_STATE_RUNNING), ZV_OK);
        ASSERT_EQ(SetChannelState(1, CHANNEL_CAPTURE, CHANNEL_STATE_RUNNING), ZV_OK);
        // No device here for the processing switch's DirectSound side effect.
        ResetDeviceList();
        ULONG on = 1;
        ASSERT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &on, sizeof on), ZV_OK);
        ASSERT_EQ(InitOutGraph(CHANNEL_CAPTURE, 1), ZV_OK);
        ASSERT_EQ(InitInGraph(CHANNEL_RENDER, 1), ZV_OK);
        InitQueues();
        ResetAecTiming();
        // As a start stamps them: the shut-off measures from here.
        const LONGLONG now = static_cast<LONGLONG>(QueryTime100ns() / 10);
        InterlockedExchange64(&g_llLastRenderTime, now);
        InterlockedExchange64(&g_llLastCaptureTime, now);
        KeSetEvent(&g_AllIrpsCompleteEvent, IO_NO_INCREMENT, FALSE);
        ASSERT_TRUE(NT_SUCCESS(StartAudioProcThread()));
        InterlockedExchange(&g_bAecActive, 1);
    }
    static ZvStatus Buffer(ULONG direction, std::vector<UCHAR>* data) {
        KSSTREAM_HEADER h{};
        h.Size = sizeof h;
        h.FrameExtent = h.DataUsed = static_cast<ULONG>(data->size());
        h.Data = data->data();
        return OnBuffer(nullptr, direction, &h, sizeof h, 1, nullptr);
    }
};

TEST_F(UnloadTest, UnloadWaitsForBuffersInsideOnBufferOnBothThreads) {
    StartCanceller();
    if (HasFatalFailure()) return;

    // Render outpaces capture: the far-end queue fills and the render
    // thread waits inside OnBuffer for room.
    std::atomic<int> inside{0};
    auto feed = [&](ULONG direction, ULONG bytes) {
        std::vector<UCHAR> data(bytes, 0x21);
        for (int i = 0; i < 100000; ++i) {
            ++inside;
            ZvStatus status = Buffer(direction, &data);
            --inside;
            if (status == ZV_NOT_READY) return;
        }
        ADD_FAILURE() << "OnBuffer never saw the unload";
    };
    std::thread render(feed, CHANNEL_RENDER, 32000u);  // a second per buffer
    std::thread capture(feed, CHANNEL_CAPTURE, 320u);
    for (int i = 0; i < 10000 && g_pDataQueue1->GetReadable() < 100000; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(g_pDataQueue1->GetReadable(), 100000u) << "the far end piled up";
    EXPECT_EQ(OnFilterUnload(nullptr, 1), ZV_OK);
    EXPECT_EQ(g_pDataQueue1, nullptr);
    EXPECT_EQ(g_pInAllocator, nullptr);
    render.join();
    capture.join();
    EXPECT_EQ(inside.load(), 0);
    EXPECT_EQ(InterlockedOr(&g_AudioProcThread.Running, 0), 0);
}

// Render and capture buffers arrive on their own threads, each noting its
// time and comparing it with the other's for the automatic shut-off: the
// thread sanitizer sees any plain access to the two times.  The clock
// stands, so that a host that runs one thread a second or more before the
// other (a loaded machine, a sanitizer) cannot set the shut-off off.
TEST_F(UnloadTest, RenderAndCaptureBuffersOnTheirOwnThreadsShareTheLastTimes) {
    UseManualClock();
    StartCanceller();
    if (HasFatalFailure()) return;
    auto feed = [](ULONG direction) {
        std::vector<UCHAR> data(320, 0x21);
        for (int i = 0; i < 300; ++i) EXPECT_EQ(Buffer(direction, &data), ZV_OK);
    };
    std::thread render(feed, CHANNEL_RENDER);
    std::thread capture(feed, CHANNEL_CAPTURE);
    render.join();
    capture.join();
    EXPECT_EQ(InterlockedOr(&g_bAecActive, 0), 1) << "the clock stood: no shut-off";
    EXPECT_EQ(OnFilterUnload(nullptr, 1), ZV_OK);
}

}  // namespace
}  // namespace zvecho
