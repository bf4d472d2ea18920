// The near-end stage of the processing thread against the property path:
// the thread calls the canceller with the near end only under the engine
// mutex, which a property request holds while it reads or sets the
// canceller and the correlator.
#include "ProcessingThread.h"

namespace zvecho {
namespace {

// A pass's far end goes through first; then a property request holds the
// engine.  The thread takes its near end from queue 3 and waits at the
// canceller, handing nothing on, until the request lets go.
TEST_F(ThreadTest, TheNearEndWaitsForTheEngineAtTheCancellerStage) {
    Start(Pcm(16000, 16, 1), Pcm(16000, 16, 1), 1);
    Write(g_pDataQueue1, Tone(320, 8));
    // The far-end pass is made; the thread waits for the near end.
    while (InterlockedExchangeAdd64(&g_AecTiming.InPasses, 0) != 1 || KpBlockedWaiterCount() == 0)
        std::this_thread::yield();
    EXPECT_EQ(g_ulTraceCount, 1u) << "the far end reached the canceller";
    KeWaitForSingleObject(&g_EngineMutex, Executive, KernelMode, FALSE, nullptr);
    Write(g_pDataQueue3, Tone(320 * 8, 9));
    // The near end is read, then the thread waits for the engine.
    while (g_pDataQueue3->GetLevel() != 320u * 7 || KpBlockedWaiterCount() == 0)
        std::this_thread::yield();
    EXPECT_EQ(g_ulTraceCount, 1u) << "no near end reached the canceller meanwhile";
    EXPECT_EQ(g_pDataQueue4->GetLevel(), 0u);
    EXPECT_EQ(InterlockedExchangeAdd64(&g_AecTiming.OutPasses, 0), 0);
    KeReleaseMutex(&g_EngineMutex, FALSE);
    AwaitOutPasses(1);
    EXPECT_EQ(g_ulTraceCount, 2u);
    EXPECT_EQ(g_pDataQueue4->GetLevel(), 320u);
    Stop();
}

}  // namespace
}  // namespace zvecho
