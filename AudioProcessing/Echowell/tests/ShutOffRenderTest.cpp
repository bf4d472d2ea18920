// The automatic shut-off while the far end plays on: the recording
// application stops reading, a second later the filter stops the canceller
// from the render path, and the loudspeaker must still play every sample the
// playing application wrote, in order; only silence (the hold-back) may come
// between them.
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>

#include "StreamPair.h"
#include "kp/io.h"
#include "kp/simaudio.h"
#include "kp/thread.h"

namespace zvecho {
namespace {

constexpr ULONG kBlockBytes = 640;  // 20 ms of 16 kHz 16-bit mono
constexpr size_t kInFlight = 8;
#ifndef ZV_ECHOWELL_SHUTOFF_ROUNDS
#define ZV_ECHOWELL_SHUTOFF_ROUNDS 4
#endif

class ShutOffRenderTest : public EchowellPairTest {
protected:
    // Whatever the last step started finishes: completions, work items,
    // system threads asleep with no wake-up between two looks (at most
    // 200 ms of host time: a stop waiting for the clock is not waited for).
    static bool Quiet() {
        kp::sim::DrainCompletions();
        ULONGLONG first = 0, second = 0;
        return KpIoQueuedWorkItemCount() == 0 && KpSystemThreadsIdle(&first) &&
               KpSystemThreadsIdle(&second) && first == second;
    }
    static void Settle() {
        for (int i = 0; i < 1000 && !(Quiet() && Quiet()); ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    // Runs `ms` of machine time in 10 ms steps, keeping eight 20 ms writes of
    // never-silent samples in flight, and eight reads while `reading`.
    void Play(ULONG ms, bool reading) {
        for (ULONG t = 0; t < ms; t += 10) {
            while (writes_.size() < kInFlight) {
                std::vector<uint8_t> block(kBlockBytes);
                for (ULONG i = 0; i < kBlockBytes / 2; ++i) {
                    int16_t s = static_cast<int16_t>(1 + written_.size() / 2 % 32000);
                    std::memcpy(&block[2 * i], &s, 2);
                    written_.insert(written_.end(), block.begin() + 2 * i,
                                    block.begin() + 2 * i + 2);
                }
                std::shared_ptr<kp::ks::StreamRequest> w;
                ASSERT_TRUE(
                    NT_SUCCESS(speaker_.Submit(true, {{kBlockBytes, kBlockBytes, block.data()}},
                                               sizeof(KSSTREAM_HEADER), &w)));
                writes_.push_back(w);
            }
            while (reading && reads_.size() < kInFlight) {
                std::shared_ptr<kp::ks::StreamRequest> r;
                ASSERT_TRUE(NT_SUCCESS(
                    mic_.Submit(false, {{kBlockBytes, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &r)));
                reads_.push_back(r);
            }
            Settle();
            AdvanceMs(10);
            Settle();
            while (!writes_.empty() && writes_.front()->Done()) writes_.erase(writes_.begin());
            while (!reads_.empty() && reads_.front()->Done()) reads_.pop_front();
        }
    }

    // Every byte the sound card played since `from`, against what the
    // application wrote since `writtenFrom`: the written samples in order,
    // none missing, with only silence between them.
    void ExpectPlayedWhole(size_t from, size_t writtenFrom) {
        std::vector<uint8_t> played;
        for (const auto& pin : Device(kSpeaker)->PinRecords()) {
            if (!pin.Rendered.empty()) played = pin.Rendered;
        }
        ASSERT_GE(played.size(), from);
        size_t w = writtenFrom, silence = 0;
        for (size_t at = from; at + 2 <= played.size(); at += 2) {
            int16_t s, expected;
            std::memcpy(&s, &played[at], 2);
            if (w + 2 <= written_.size()) std::memcpy(&expected, &written_[w], 2);
            if (w + 2 <= written_.size() && s == expected) {
                w += 2;
            } else {
                ASSERT_EQ(s, 0) << "byte " << at << " of the played stream: sample " << w / 2
                                << " onwards lost";
                silence += 2;
            }
        }
        // All but what is still queued at the device has been played.
        EXPECT_GE(w + kInFlight * kBlockBytes, written_.size());
        EXPECT_LE(silence, 2u * 16000 * 2 * 80 / 1000) << "hold-back silence only";
    }

    std::deque<std::shared_ptr<kp::ks::StreamRequest>> reads_;
    std::vector<uint8_t> written_;
};

TEST_F(ShutOffRenderTest, TheFarEndPlaysWholeAcrossTheAutomaticShutOff) {
    for (int round = 0; round < ZV_ECHOWELL_SHUTOFF_ROUNDS; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        size_t playedBefore = 0;
        for (const auto& pin : Device(kSpeaker)->PinRecords())
            playedBefore = std::max<size_t>(playedBefore, pin.Rendered.size());
        const size_t writtenBefore = written_.size();
        ASSERT_EQ(mic_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(InterlockedOr(&g_bAecActive, 0), 1);
        // Both play a while; the recording application then stops reading
        // (its pin still running) and the far end plays on alone.
        Play(500 + 10 * static_cast<ULONG>(round % 7), true);
        if (HasFatalFailure()) return;
        Play(1800 + 10 * static_cast<ULONG>(round % 5), false);
        if (HasFatalFailure()) return;
        EXPECT_EQ(InterlockedOr(&g_bAecActive, 0), 0) << "the shut-off came";
        ASSERT_EQ(SetStateWhileClockRuns(&speaker_, KSSTATE_STOP), STATUS_SUCCESS);
        ASSERT_EQ(SetStateWhileClockRuns(&mic_, KSSTATE_STOP), STATUS_SUCCESS);
        Settle();
        // The STOP completed what was queued; the next round writes anew.
        for (auto& w : writes_) w->Wait();
        for (auto& r : reads_) r->Wait();
        writes_.clear();
        reads_.clear();
        ExpectPlayedWhole(playedBefore, writtenBefore);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace zvecho
