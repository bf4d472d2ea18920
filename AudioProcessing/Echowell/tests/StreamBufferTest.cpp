// The stream paths through the framework on a booted machine, as
// applications drive them: the streams' states start and stop the
// canceller, and the render stream reaches the sound card 70 ms late through
// requests of the driver's own and the application's refilled buffers.
#include <chrono>
#include <thread>

#include "FilterLogicServices.h"
#include "LogicTestSupport.h"
#include "MemAlloc.h"
#include "StreamPair.h"
#include "kp/dbgsink.h"
#include "kp/io.h"
#include "kp/pool.h"

namespace zvecho {
namespace {

class StreamBufferTest : public EchowellPairTest {
protected:
    // Writes `data` (or reads 10 ms when null), advancing the clock until
    // the device completed the request.
    static void Transfer(kp::ks::KsPin* pin, std::vector<uint8_t>* data) {
        std::shared_ptr<kp::ks::StreamRequest> r;
        const bool write = data != nullptr;
        ULONG size = write ? static_cast<ULONG>(data->size()) : 320;
        NTSTATUS status =
            pin->Submit(write, {{size, write ? size : 0, write ? data->data() : nullptr}},
                        sizeof(KSSTREAM_HEADER), &r);
        ASSERT_TRUE(status == STATUS_PENDING || status == STATUS_SUCCESS) << std::hex << status;
        for (int k = 0; k < 1000 && !r->Done(); ++k) {
            AdvanceMs(5);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        r->Wait();
        ASSERT_EQ(r->Status(), STATUS_SUCCESS);
    }
    static void Play(kp::ks::KsPin* pin, std::vector<uint8_t>* data) { Transfer(pin, data); }
    static void Record(kp::ks::KsPin* pin) { Transfer(pin, nullptr); }

    static ULONG LiveBytes() {
        MemStatistics m;
        MemGetStatistics(&m);
        return m.NonPagedBytes + m.PagedBytes;
    }
};

TEST_F(StreamBufferTest, TheStreamStatesStartAndStopTheCanceller) {
    struct Step {
        bool Mic;
        KSSTATE State;
        LONG Active;
    } const steps[] = {
        {true, KSSTATE_ACQUIRE, 0}, {true, KSSTATE_RUN, 0},  // the render stream is not running
        {false, KSSTATE_RUN, 1},    {false, KSSTATE_PAUSE, 0},
        {true, KSSTATE_RUN, 0},  // RUN again while render pauses
        {false, KSSTATE_RUN, 1},    {true, KSSTATE_PAUSE, 0},
        {true, KSSTATE_RUN, 1},     {true, KSSTATE_STOP, 0},
    };
    int i = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "step " << i++);
        ASSERT_EQ((s.Mic ? mic_ : speaker_).SetState(s.State), STATUS_SUCCESS);
        EXPECT_EQ(InterlockedOr(&g_bAecActive, 0), s.Active);
        EXPECT_EQ(ThreadRunning(), s.Active != 0) << "a thread exactly while active";
        if (!s.Active) {
            EXPECT_EQ(g_InGraph.Stages[0].InUse, 0) << "the chains are freed";
        }
    }
}

// The sound card gets the hold-back's silence once, then exactly the
// application's samples, whatever the application's buffer length.
TEST_F(StreamBufferTest, TheSoundCardGetsSeventyMillisecondsOfSilenceThenTheStreamExactly) {
    const ULONG kBufferMs[] = {10, 20, 25, 100};
    for (ULONG ms : kBufferMs) {
        SCOPED_TRACE(testing::Message() << ms << " ms buffers");
        ASSERT_EQ(mic_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(InterlockedOr(&g_bAecActive, 0), 1);
        const size_t before = Device(kSpeaker)->PinRecords().back().Rendered.size();
        std::vector<uint8_t> sent;
        const ULONG bytes = ms * 32;
        for (ULONG n = 0; n < 400 / ms; ++n) {
            std::vector<uint8_t> data(bytes);
            for (ULONG b = 0; b < bytes; b += 2) {
                const uint16_t v = static_cast<uint16_t>(sent.size() / 2 + b / 2 + 1);
                data[b] = static_cast<uint8_t>(v);
                data[b + 1] = static_cast<uint8_t>(v >> 8);
            }
            sent.insert(sent.end(), data.begin(), data.end());
            Play(&speaker_, &data);
            if (HasFatalFailure()) return;
        }
        const std::vector<uint8_t> all = Device(kSpeaker)->PinRecords().back().Rendered;
        std::vector<uint8_t> rendered(all.begin() + static_cast<ptrdiff_t>(before), all.end());
        std::vector<uint8_t> expected(70 * 32, 0);
        expected.insert(expected.end(), sent.begin(), sent.end());
        EXPECT_EQ(rendered, expected);
        EXPECT_EQ(AecOwnIrpsPending(), 0);
        ASSERT_EQ(speaker_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        ASSERT_EQ(mic_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_EQ(KpIoLiveIrpCount(), 0);
    }
}

// A start that fails at any step reports it, logs which step, and leaves
// nothing built: both chains and every queue go, the memory it took comes
// back, and the next start works.  Its thread's creation fails, then each
// allocation it makes in turn (the chains' pools, the far-end buffers, the
// queues' rings) until a start gets through.
TEST_F(StreamBufferTest, AStartThatFailsAtAnyStepFreesEverythingAndSaysSo) {
    ASSERT_EQ(mic_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(speaker_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(SetChannelState(1, CHANNEL_RENDER, CHANNEL_STATE_RUNNING), ZV_OK);
    using Log = LogModule<LogModuleFilterLogic>;
    const ULONG level = Log::Level(), enable = Log::Enable();
    Log::ModuleSetLevel(1, 1);
    const ULONG before = LiveBytes();
    struct Step {
        const char* Name;
        ULONG Failures;
    } steps[] = {{"InitOutGraph", 0},
                 {"InitInGraph", 0},
                 {"InitializeDataQueue", 0},
                 {"StartAudioProcThread", 0}};
    // n: the start's nth allocation fails; 0: its thread's creation.
    for (ULONG n = 0; n < 500; ++n) {
        SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
        KpDbgClear();
        if (n == 0)
            FailThreadCreations(1);
        else
            KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, n);
        KeWaitForSingleObject(&g_AecMutex, Executive, KernelMode, FALSE, nullptr);
        const ZvStatus status = StartAECGraph();
        KeReleaseMutex(&g_AecMutex, FALSE);
        KpPoolClearFailures();
        if (status == ZV_OK && n > 0) break;
        EXPECT_NE(status, ZV_OK) << "the failure is reported";
        EXPECT_EQ(InterlockedOr(&g_bAecActive, 0), 0);
        EXPECT_EQ(g_InGraph.Stages[0].InUse, 0) << "the far-end chain is freed";
        EXPECT_EQ(g_OutGraph.Stages[0].InUse, 0) << "the near-end chain is freed";
        for (DataQueue* queue : {g_pDataQueue1, g_pDataQueue2, g_pDataQueue3, g_pDataQueue4}) {
            DataQueueState q;
            queue->GetState(&q);
            EXPECT_FALSE(q.HasRing) << "the queues are reset";
        }
        EXPECT_EQ(LiveBytes(), before);
        const std::string log = KpDbgText();
        for (Step& s : steps)
            s.Failures += log.find(std::string("OnSetStreamState> ") + s.Name + " Failed") !=
                          std::string::npos;
    }
    Log::ModuleSetLevel(level, enable);
    for (const Step& s : steps) EXPECT_GT(s.Failures, 0u) << s.Name << " never failed";
    EXPECT_EQ(InterlockedOr(&g_bAecActive, 0), 1) << "a start gets through";
    ASSERT_EQ(speaker_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(InterlockedOr(&g_bAecActive, 0), 1);
}

// Capture alone for more than a second stops the canceller once; a pause
// and run of the streams starts it again with the shut-off re-armed.
TEST_F(StreamBufferTest, CaptureAloneForASecondShutsTheCancellerOffOnce) {
    ASSERT_EQ(mic_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        ASSERT_EQ(InterlockedOr(&g_bAecActive, 0), 1);
        EXPECT_EQ(g_bAutoOffLatched, 0u);
        const LONGLONG start = InterlockedCompareExchange64(&g_llLastRenderTime, 0, 0);
        while (InterlockedCompareExchange64(&g_llLastCaptureTime, 0, 0) - start <= 1000000 &&
               InterlockedOr(&g_bAecActive, 0)) {
            Record(&mic_);
            if (HasFatalFailure()) return;
        }
        Record(&mic_);  // the buffer that sees the gap
        for (int i = 0; i < 5; ++i) Record(&mic_);
        KpIoDrainWorkQueues();
        EXPECT_EQ(InterlockedOr(&g_bAecActive, 0), 0);
        EXPECT_EQ(g_bAutoOffLatched, 1u);
        EXPECT_EQ(AecPendingWorkItems(), 0);
        EXPECT_FALSE(ThreadRunning());
        ASSERT_EQ(speaker_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace zvecho
