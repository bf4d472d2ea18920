// State that a stream's thread and another share changes only under the lock
// that guards it: the completion event of the driver's own render requests
// (under the requests' list lock), and a queue's ring (under the queue lock).
#include <atomic>
#include <thread>
#include <vector>

#include "DataQueue.h"
#include "FrameworkTestSupport.h"
#include "LogicTestSupport.h"
#include "StreamPair.h"

namespace zvecho {
namespace {

// The first render buffer after a start sends the driver's own requests for
// the 70 ms hold-back.  A completion that empties their list sets the event
// under the list's lock; an insertion that cleared it before taking the lock
// could be overtaken by such a completion and leave the event set over a
// request still out, which a stop would then not wait for.  Here the test
// holds the lock while the render buffer arrives: the event stays as the
// list has it until the insertion holds the lock.
TEST_F(EchowellPairTest, TheOwnRequestsEventChangesOnlyUnderTheirListsLock) {
    ASSERT_EQ(SetStateWhileClockRuns(&mic_, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(SetStateWhileClockRuns(&speaker_, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(Active(), 1);
    ASSERT_EQ(AecOwnIrpsPending(), 0);
    ASSERT_NE(KeReadStateEvent(&g_AllIrpsCompleteEvent), 0) << "no own request is out";
    const std::vector<uint8_t> tone(320, 0x35);
    std::shared_ptr<kp::ks::StreamRequest> w;
    KIRQL irql;
    KeAcquireSpinLock(&g_OwnIrpLock, &irql);
    bool changed = false;
    {
        Background write([&] {
            EXPECT_TRUE(NT_SUCCESS(
                speaker_.Submit(true, {{320, 320, tone.data()}}, sizeof(KSSTREAM_HEADER), &w)));
        });
        // The render buffer's thread reaches its first own request and waits
        // for the lock (a change, if any, comes at once).
        for (int i = 0; i < 100 && !changed; ++i) {
            changed = KeReadStateEvent(&g_AllIrpsCompleteEvent) == 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        KeReleaseSpinLock(&g_OwnIrpLock, irql);
        EXPECT_TRUE(write.AwaitFinished());
    }
    EXPECT_FALSE(changed) << "the event was cleared outside the list's lock";
    EXPECT_GT(AecOwnIrpsPending(), 0);
    EXPECT_EQ(KeReadStateEvent(&g_AllIrpsCompleteEvent), 0) << "own requests are out";
    ASSERT_NE(w, nullptr);
    writes_.push_back(w);
    // The stop waits until the sound card has played the own requests.
    EXPECT_EQ(SetStateWhileClockRuns(&mic_, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(AecOwnIrpsPending(), 0);
    EXPECT_NE(KeReadStateEvent(&g_AllIrpsCompleteEvent), 0);
}

using QueueResetTest = zvtest::FrameworkTest;

// A queue reset while a writer and a reader still copy (a buffer that a stop
// did not wait for): the ring leaves under the queue's lock, so neither end
// copies into a freed ring, and nothing moves afterwards.  The sanitizers
// see a ring freed under a copy.
TEST_F(QueueResetTest, AResetWhileBothEndsCopyTakesTheRingUnderTheQueueLock) {
    const ChannelFormat format = Pcm(16000, 16, 1);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        DataQueue q(1);
        ASSERT_EQ(q.Init(500, &format, 0, 10, 1000, 1, 1, 0), 1u);
        std::atomic<bool> stop{false};
        std::atomic<int> moves{0};
        std::thread writer([&] {
            std::vector<UCHAR> data(320, 0x11);
            while (!stop) {
                LONG n = 320;
                q.WriteData(data.data(), &n, 0);
                ++moves;
            }
        });
        std::thread reader([&] {
            std::vector<UCHAR> data(320);
            while (!stop) {
                LONG n = 320;
                q.ReadReady(data.data(), &n);
                ++moves;
            }
        });
        while (moves < 200) std::this_thread::yield();
        q.Reset();
        const int atReset = moves;
        while (moves < atReset + 200) std::this_thread::yield();
        stop = true;
        writer.join();
        reader.join();
        std::vector<UCHAR> data(320, 0x22);
        LONG n = 320;
        EXPECT_EQ(q.WriteData(data.data(), &n, 0), 0u);
        EXPECT_EQ(q.GetLevel(), 0u);
    }
}

}  // namespace
}  // namespace zvecho
