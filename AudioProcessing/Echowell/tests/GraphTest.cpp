// The processing chains: their shape for the format pairs the framework can
// hand over, their pools, and a pass through them by the audio processing
// thread with the real modules.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "CKAUDPWAVC.h"
#include "FilterLogicServices.h"
#include "LogicTestSupport.h"
#include "ProcessingThread.h"
#include "MemAlloc.h"
#include "kp/io.h"
#include "kp/pool.h"
#include "kp/thread.h"

namespace zvecho {
namespace {

using GraphTest = ChainTest;

TEST_F(GraphTest, ChainsFitEveryFormatPairAndRateMode) {
    LoadMaster();
    struct Case {
        ChannelFormat Render, Capture;
        ULONG Mode;
        const char* In;
        const char* Out;
    } cases[] = {
        {Pcm(48000, 16, 2), Pcm(48000, 16, 2), 1, "A1920 R1 A960 InFmtConv1 A320 InResampler1",
         "A1920 R3 A960 OutFmtConv1 A320 OutResampler1 A320 AEC/1 A960 OutResampler2 A1920 "
         "OutFmtConv4 W4"},
        {Pcm(16000, 16, 1), Pcm(16000, 16, 1), 1, "A320 R1", "A320 R3 A320 AEC/1 W4"},
        {Pcm(8000, 8, 1), Pcm(8000, 32, 1), 2, "A80 R1 A160 InFmtConv2",
         "A320 R3 A160 OutFmtConv2 A160 AEC/1 A320 OutFmtConv4 W4"},
        {Pcm(48000, 32, 6), Pcm(44100, 16, 1), 2, "A11520 R1 A960 InFmtConv1 A160 InResampler1",
         "A882 R3 A160 OutResampler1 A160 AEC/1 A882 OutResampler2 W4"},
        {Pcm(44100, 16, 2), Pcm(16000, 8, 2), 0, "A1764 R1 A882 InFmtConv1 A320 InResampler1",
         "A320 R3 A320 OutFmtConv2 A320 AEC/1 A320 OutFmtConv4 W4"},
        {Pcm(16000, 16, 6), Pcm(8000, 16, 1), 2, "A1920 R1 A320 InFmtConv1 A160 InResampler1",
         "A160 R3 A160 AEC/1 W4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.In << " | " << c.Out);
        OpenChannel(1, c.Render);
        OpenChannel(2, c.Capture);
        g_ulRateMode = c.Mode;
        EXPECT_EQ(InitOutGraph(2, 1), ZV_OK);
        EXPECT_EQ(InitInGraph(1, 1), ZV_OK);
        EXPECT_EQ(Describe(g_InGraph), c.In);
        EXPECT_EQ(Describe(g_OutGraph), c.Out);
        ULONG size = 0;
        EXPECT_EQ(g_pInAllocator->GetBufferSize(&size), ZV_OK);
        EXPECT_EQ(size, c.Render.AvgBytesPerSec / 100) << "own render buffers: 10 ms each";
        EXPECT_EQ(g_RenderFormat.SamplesPerSec, c.Render.SamplesPerSec);
        EXPECT_EQ(g_CaptureFormat.SamplesPerSec, c.Capture.SamplesPerSec);
        // Building again frees the chains built before.
        ULONGLONG built = LiveBytes();
        EXPECT_EQ(InitOutGraph(2, 1), ZV_OK);
        EXPECT_EQ(InitInGraph(1, 1), ZV_OK);
        EXPECT_EQ(LiveBytes(), built);
        FreeInGraph();
        FreeOutGraph();
        ASSERT_EQ(ReleaseChannel(1, 1), ZV_OK);
        ASSERT_EQ(ReleaseChannel(1, 2), ZV_OK);
    }
}

// Every stream format the framework can hand over, at both processing rates:
// a pass takes 10 ms from its queue and (near end) puts 10 ms of the stream's
// own format back, with no stage refusing its buffers.
TEST_F(GraphTest, APassMovesTenMillisecondsForEveryStreamFormat) {
    LoadMaster();
    for (ULONG rate : {8000u, 16000u, 44100u, 48000u}) {
        for (ULONG bits : {8u, 16u, 32u}) {
            for (ULONG channels : {1u, 2u, 6u}) {
                for (ULONG mode : {1u, 2u}) {
                    ChannelFormat f = Pcm(rate, bits, channels);
                    SCOPED_TRACE(testing::Message() << rate << " Hz " << bits << " bits "
                                                    << channels << " ch, mode " << mode);
                    ASSERT_NO_FATAL_FAILURE(BuildChains(f, f, mode));
                    const ULONG block = f.AvgBytesPerSec / 100;
                    std::vector<UCHAR> data(block * 8, bits == 8 ? 0x80 : 0);
                    ULONG n = block * 8;
                    ASSERT_EQ(g_pDataQueue1->PutData(data.data(), &n, 0), 1u);
                    n = block * 8;
                    ASSERT_EQ(g_pDataQueue3->PutData(data.data(), &n, 0), 1u);
                    EXPECT_NE(RunInGraph(), static_cast<ULONG>(ZV_INVALID_PARAMETER));
                    EXPECT_NE(RunOutGraph(), static_cast<ULONG>(ZV_INVALID_PARAMETER));
                    EXPECT_EQ(g_pDataQueue1->GetLevel(), block * 7);
                    EXPECT_EQ(g_pDataQueue3->GetLevel(), block * 7);
                    EXPECT_EQ(g_pDataQueue4->GetLevel(), block);
                    FreeInGraph();
                    FreeOutGraph();
                    for (DataQueue* q :
                         {g_pDataQueue1, g_pDataQueue2, g_pDataQueue3, g_pDataQueue4})
                        q->Reset();
                    ASSERT_EQ(ReleaseChannel(1, 1), ZV_OK);
                    ASSERT_EQ(ReleaseChannel(1, 2), ZV_OK);
                }
            }
        }
    }
}

TEST_F(GraphTest, StreamsWhoseTenMillisecondsAreNotWholeFramesAreRefused) {
    LoadMaster();
    OpenChannel(1, Pcm(22050, 16, 1));
    OpenChannel(2, Pcm(11025, 16, 1));
    EXPECT_EQ(InitOutGraph(2, 1), ZV_INVALID_PARAMETER);
    EXPECT_EQ(InitInGraph(1, 1), ZV_INVALID_PARAMETER);
    EXPECT_FALSE(g_OutGraph.Stages[0].InUse);
    EXPECT_FALSE(g_InGraph.Stages[0].InUse);
}

TEST_F(GraphTest, APoolThatCannotBeSizedStopsTheChainAndFreeingItLeavesNothing) {
    LoadMaster();
    OpenChannel(1, Pcm(48000, 16, 2));
    OpenChannel(2, Pcm(48000, 16, 2));
    ULONGLONG loaded = LiveBytes();
    bool built = false;
    for (ULONG nth = 1; nth < 100 && !built; ++nth) {
        SCOPED_TRACE(nth);
        KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, nth);
        ZvStatus out = static_cast<ZvStatus>(InitOutGraph(2, 1));
        ZvStatus in = out == ZV_OK ? static_cast<ZvStatus>(InitInGraph(1, 1)) : out;
        KpPoolClearFailures();
        built = out == ZV_OK && in == ZV_OK;
        FreeOutGraph();
        FreeInGraph();
        ASSERT_EQ(LiveBytes(), loaded);
    }
    EXPECT_TRUE(built);
}

// Processing on or off (the near end then passes through, copied into the
// canceller's work buffer).
TEST_F(GraphTest, AStageWithoutAWorkBufferIsRefusedAndNothingFollowsIt) {
    LoadMaster();
    OpenChannel(1, Pcm(16000, 16, 1));
    OpenChannel(2, Pcm(16000, 16, 1));
    g_ulRateMode = 1;
    ASSERT_EQ(InitOutGraph(2, 1), ZV_OK);
    ASSERT_EQ(Describe(g_OutGraph), "A320 R3 A320 AEC/1 W4");
    for (LONG processing : {1, 0}) {
        SCOPED_TRACE(processing);
        InterlockedExchange(&g_bProcessing, processing);
        InitQueues();
        ResetAecTiming();
        ULONG bytes = 3200;
        std::vector<UCHAR> near(bytes, 0x40);
        ASSERT_EQ(g_pDataQueue3->PutData(near.data(), &bytes, 0), 1u);
        // The canceller's output pool has no free buffer this pass.
        PVOID taken = nullptr;
        ASSERT_EQ(g_OutGraph.Stages[2].Pool->GetBuffer(&taken, 0), ZV_OK);
        EXPECT_EQ(RunOutGraph(), static_cast<ULONG>(ZV_INVALID_PARAMETER));
        EXPECT_EQ(g_pDataQueue4->GetLevel(), 0u);
        EXPECT_EQ(g_pDataQueue3->GetLevel(), 2880u);
        ASSERT_EQ(g_OutGraph.Stages[2].Pool->PutBuffer(taken), ZV_OK);
        RunOutGraph();  // the canceller's own answer (the delay is not known yet)
        EXPECT_EQ(g_pDataQueue4->GetLevel(), 320u);
    }
}

// Queue 4 holding `ms` of processed capture.
void FillProcessed(ULONG ms) {
    std::vector<uint8_t> data(32 * ms, 1);
    LONG count = static_cast<LONG>(data.size());
    ASSERT_EQ(g_pDataQueue4->WriteData(data.data(), &count, 0), 1u);
}

// Both streams 16000 Hz 16-bit mono, the queues sized, the timing reset.
class ElapsedFramesTest : public LogicTest {
protected:
    void SetUp() override {
        LogicTest::SetUp();
        LoadMaster();
        OpenChannel(1, Pcm(16000, 16, 1));
        OpenChannel(2, Pcm(16000, 16, 1));
        InitQueues();
        g_RenderFormat = g_CaptureFormat = Pcm(16000, 16, 1);
        ResetAecTiming();
    }
};

TEST_F(ElapsedFramesTest, MoveTheFarEndDriftByTheirChange) {
    FillProcessed(40);  // drops cannot run the processed capture dry
    struct Step {
        LONGLONG Frames, Pending;
    } steps[] = {{100, 0}, {130, 30}, {90, -10}, {90, -10}, {-50, -150}};
    for (const Step& s : steps) {
        SCOPED_TRACE(s.Frames);
        EXPECT_EQ(AddElapsedFrames(s.Frames), ZV_OK);
        DataQueueState state;
        g_pDataQueue1->GetState(&state);
        EXPECT_EQ(state.PendingDrift, s.Pending);
    }
}

// With no processed capture to spare, frames to drop wait for a surplus in
// queue 1 beyond the pass (the thread reads what is queued each second), and
// frames to insert cancel them first; once queue 4 holds more than a stalled
// pass can take, what is held goes at once.
TEST_F(ElapsedFramesTest, DropTheFarEndOnlyWhereNoPassCanStall) {
    std::vector<uint8_t> block(2 * 100, 0);
    struct Step {
        LONGLONG Frames;
        LONG QueuedFrames;  // queue 1's surplus before the call
        ULONG ProcessedMs;  // written to queue 4 before the call
        LONGLONG Pending;   // the far end's pending drift after it
        LONGLONG Held;
    } steps[] = {
        {500, 0, 0, 0, 0},      // the first value is only noted
        {540, 0, 0, 40, 0},     // growing: inserted at once
        {500, 0, 0, 40, -40},   // shrinking, nothing to spare: held
        {480, 0, 0, 40, -60},   //
        {480, 30, 0, 10, -30},  // 30 frames queued beyond the pass: dropped
        {530, 0, 0, 30, 0},     // growing: what is held cancels part of it
        {400, 0, 0, 30, -130},  // held again
        {400, 0, 40, -100, 0},  // queue 4 can outlast a stall: dropped
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.Frames);
        if (s.QueuedFrames != 0) {
            LONG bytes = s.QueuedFrames * 2;
            ASSERT_EQ(g_pDataQueue1->WriteData(block.data(), &bytes, 0), 1u);
        }
        if (s.ProcessedMs != 0) FillProcessed(s.ProcessedMs);
        EXPECT_EQ(AddElapsedFrames(s.Frames), ZV_OK);
        DataQueueState state;
        g_pDataQueue1->GetState(&state);
        EXPECT_EQ(state.PendingDrift, s.Pending);
        EXPECT_EQ(g_AecTiming.HeldDropFrames, s.Held);
        std::vector<uint8_t> sink(g_pDataQueue1->GetReadable() + 1);
        LONG count = static_cast<LONG>(sink.size() - 1);
        if (count > 0) g_pDataQueue1->ReadData(sink.data(), &count, 0);
    }
}

TEST_F(ThreadTest, WithProcessingOffTheNearEndComesBackBitExact) {
    Start(Pcm(16000, 16, 1), Pcm(16000, 16, 1), 1, 0);
    constexpr ULONG kBlocks = 30;
    auto far = Tone(320 * kBlocks, 1), near = Tone(320 * kBlocks, 2);
    Write(g_pDataQueue1, far);
    Write(g_pDataQueue3, near);
    // Queue 3 held back 70 ms, then lets everything through.
    AwaitOutPasses(kBlocks);
    EXPECT_EQ(g_pDataQueue4->GetLevel(), 320u * kBlocks);
    std::vector<UCHAR> out(320 * kBlocks);
    LONG n = static_cast<LONG>(out.size());
    ASSERT_EQ(g_pDataQueue4->ReadData(out.data(), &n, 0), 1u);
    EXPECT_EQ(0, std::memcmp(out.data(), near.data(), out.size()));
    // The trace: far and near records in turn, the far end without delay.
    ASSERT_NE(g_pTraceBuffer, nullptr);
    EXPECT_EQ(g_ulTraceCount, 2 * kBlocks);
    for (ULONG i = 0; i + 1 < 2 * kBlocks; i += 2) {
        EXPECT_EQ(g_pTraceBuffer[i].Kind, 0u);
        EXPECT_EQ(g_pTraceBuffer[i].DelayGiven, 0u);
        EXPECT_EQ(g_pTraceBuffer[i + 1].Kind, 1u);
    }
    Stop();  // the thread blocks reading queue 1
}

TEST_F(ThreadTest, EachPassTurnsTenMillisecondsOfCaptureIntoTenMilliseconds) {
    Start(Pcm(48000, 16, 2), Pcm(48000, 16, 2), 1);
    constexpr ULONG kBlocks = 20;
    Write(g_pDataQueue1, Tone(1920 * (kBlocks + 5), 3));
    Write(g_pDataQueue3, Tone(1920 * kBlocks, 4));
    // The thread ends up waiting for queue 3 (queue 1 still holds data).
    AwaitOutPasses(kBlocks);
    EXPECT_EQ(g_pDataQueue4->GetLevel(), 1920u * kBlocks);
    EXPECT_EQ(g_pDataQueue3->GetLevel(), 0u);
    // The 21st In pass took its block before the Out pass found queue 3 empty.
    EXPECT_EQ(g_pDataQueue1->GetLevel(), 1920u * 4);
    Stop();
}

TEST_F(ThreadTest, TheCancellerAndTheCorrelatorAreCalledOnlyUnderTheEngineMutex) {
    Start(Pcm(16000, 16, 1), Pcm(16000, 16, 1), 1);
    // A property request holding the engine keeps the thread out of it.
    KeWaitForSingleObject(&g_EngineMutex, Executive, KernelMode, FALSE, nullptr);
    Write(g_pDataQueue1, Tone(320 * 8, 6));
    Write(g_pDataQueue3, Tone(320 * 8, 7));
    // The far end is read, then the thread waits for the engine.
    while (g_pDataQueue1->GetLevel() != 320u * 7 || KpBlockedWaiterCount() == 0)
        std::this_thread::yield();
    EXPECT_EQ(InterlockedExchangeAdd64(&g_AecTiming.InPasses, 0), 0);
    EXPECT_EQ(g_pDataQueue3->GetLevel(), 320u * 8) << "no near end was taken meanwhile";
    KeReleaseMutex(&g_EngineMutex, FALSE);
    AwaitOutPasses(8);
    EXPECT_EQ(g_ulTraceCount, 16u);
    Stop();
}

TEST_F(ThreadTest, AStopWithoutAThreadObjectWaitsForTheEndEvent) {
    // A system before WDM 1.10 cannot wait on a thread object.
    KpIoSetWdmVersion(1, 0x00);
    Start(Pcm(16000, 16, 1), Pcm(16000, 16, 1), 1);
    Stop();
    KpIoSetWdmVersion(1, 0x30);
    // The event comes just before the thread's last step.
    while (KpRunningSystemThreadCount() != 0) std::this_thread::yield();
}

TEST_F(ThreadTest, UnloadEndsARunningThread) {
    Start(Pcm(16000, 16, 1), Pcm(16000, 16, 1), 1);
    AwaitOutPasses(0);
    (void)OnFilterUnload(nullptr, 1);
    EXPECT_EQ(KpRunningSystemThreadCount(), 0u);
}

TEST_F(ThreadTest, TheTraceStopsAtFiveThousandRecordsAndTheCountGoesOn) {
    Start(Pcm(8000, 16, 1), Pcm(8000, 16, 1), 2);
    constexpr ULONG kPasses = 2600;
    auto block = Tone(160, 5);
    for (ULONG i = 0; i < kPasses; ++i) {
        Write(g_pDataQueue1, block);
        Write(g_pDataQueue3, block);
        LONG n = 160;
        std::vector<UCHAR> out(160);
        g_pDataQueue4->ReadData(out.data(), &n, 0);
    }
    AwaitOutPasses(kPasses);
    EXPECT_EQ(g_ulTraceCount, 2 * kPasses);
    AecTraceRecord zero{};
    EXPECT_NE(g_pTraceBuffer[kAecTraceRecords - 1].Time, 0u);
    const UCHAR* buffer = reinterpret_cast<UCHAR*>(g_pTraceBuffer);
    EXPECT_TRUE(std::all_of(buffer + sizeof zero * kAecTraceRecords, buffer + kAecTraceBufferBytes,
                            [](UCHAR b) { return b == 0; }))
        << "nothing written past the last record";
    Stop();
}

}  // namespace
}  // namespace zvecho
