// Random sequences of what applications and the system do to the filter:
// the streams run, pause and stop, a control application sets the private
// properties, the clock moves on with nothing streamed, and the camera's
// driver stack unloads and loads the master again.  Every wait runs with the
// manual clock moving and a bound on it (a hang aborts); after each sequence
// processing still works, and the fixture's teardown finds nothing left.
#include <random>

#include "FilterLogicServices.h"
#include "StreamPair.h"
#include "kp/io.h"
#include "kp/pnp.h"

// Two hundred in the slow run.
#ifndef ZV_ECHOWELL_ROBUSTNESS_SEQUENCES
#define ZV_ECHOWELL_ROBUSTNESS_SEQUENCES 20
#endif

namespace zvecho {
namespace {

class RobustnessTest : public EchowellPairTest {
protected:
    // A control application's set; the work items it queues run meanwhile.
    void Control(ULONG id, ULONG value) {
        WhileClockRuns(
            [&] {
                KSPROPERTY p{KSPROPSETID_AecControl, id, KSPROPERTY_TYPE_SET};
                ULONG returned = 0;
                EXPECT_EQ(captureFilter_.Property(&p, sizeof p, &value, sizeof value, &returned),
                          STATUS_SUCCESS)
                    << "id " << id << " := " << value;
                KpIoDrainWorkQueues();
            },
            "a property set");
    }
    void SetState(kp::ks::KsPin* pin, KSSTATE state) {
        ASSERT_EQ(SetStateWhileClockRuns(pin, state), STATUS_SUCCESS);
        (pin == &mic_ ? micState_ : speakerState_) = state;
    }
    // The applications close their pins; the camera's stack unloads the
    // master (its logic goes) and loads it again; the applications reopen.
    void Reload() {
        ReopenPins([] {
            WhileClockRuns([] { EXPECT_EQ(KpPnpQueryRemove(Pdo(kCamera)), STATUS_SUCCESS); },
                           "the removal query");
            ASSERT_EQ(g_pAecModule, nullptr) << "the logic unloaded";
            WhileClockRuns(
                [] {
                    EXPECT_EQ(KpPnpCancelRemove(Pdo(kCamera)), STATUS_SUCCESS);
                    KpIoDrainWorkQueues();
                },
                "the reload");
            ASSERT_NE(g_pAecModule, nullptr) << "the logic loaded again";
        });
    }
    // The applications stop and close their pins, `between` runs, and they
    // open them again.
    void ReopenPins(const std::function<void()>& between = [] {}) {
        SetState(&mic_, KSSTATE_STOP);
        SetState(&speaker_, KSSTATE_STOP);
        writes_.clear();  // the STOP completed them
        ClosePins();
        between();
        OpenPins();
    }

    KSSTATE micState_ = KSSTATE_STOP, speakerState_ = KSSTATE_STOP;
};

TEST_F(RobustnessTest, RandomStreamStatesPropertiesPausesAndReloadsNeitherHangNorLeak) {
    std::vector<uint8_t> tone(320);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<uint8_t>(i * 13);
    // Values each id takes (all valid ones, the engine's defaults among them).
    struct Property {
        ULONG Id;
        std::vector<ULONG> Values;
    } const properties[] = {
        {4, {0, 1, 1}}, {5, {0, 1}},     {6, {0, 10}}, {7, {32, 64}}, {8, {0, 2, 3}},
        {9, {0, 1, 2}}, {10, {0, 1, 5}}, {11, {1, 2}}, {12, {1}},
    };
    const KSSTATE states[] = {KSSTATE_RUN, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_STOP};
    for (unsigned sequence = 0; sequence < ZV_ECHOWELL_ROBUSTNESS_SEQUENCES; ++sequence) {
        SCOPED_TRACE(testing::Message() << "sequence " << sequence);
        std::mt19937 random(sequence);
        for (int step = 0; step < 12; ++step) {
            SCOPED_TRACE(testing::Message() << "step " << step);
            const unsigned what = random() % 12;
            if (what < 4) {  // a stream's state
                SetState(random() % 2 ? &mic_ : &speaker_, states[random() % 4]);
            } else if (what < 7) {
                const Property& p = properties[random() % std::size(properties)];
                Control(p.Id, p.Values[random() % p.Values.size()]);
            } else if (what < 8) {  // a pause: nothing streamed for a while
                AdvanceMs(random() % 1500);
            } else if (what < 11) {
                if (micState_ == KSSTATE_RUN && speakerState_ == KSSTATE_RUN)
                    StreamBlocks(1 + random() % 20, tone);
            } else {
                Reload();
            }
            if (HasFatalFailure()) return;
        }
        // Processing on, and the applications open their pins again (the
        // framework follows only pins opened while processing is on) and
        // run them: the canceller runs.
        Control(4, 1);
        ReopenPins();
        SetState(&speaker_, KSSTATE_RUN);
        SetState(&mic_, KSSTATE_RUN);
        if (HasFatalFailure()) return;
        ASSERT_EQ(InterlockedOr(&g_bAecActive, 0), 1);
        const LONGLONG passes = InterlockedExchangeAdd64(&g_AecTiming.OutPasses, 0);
        StreamBlocks(12, tone);
        if (HasFatalFailure()) return;
        ASSERT_TRUE(AwaitOutPasses(passes + 3)) << "the canceller processes";
    }
}

// A lull of both streams is no stream delivering alone: the canceller stays
// on.  The loudspeaker alone for over a second latches the shut-off, whose
// stop waits for the sound card to play the driver's own requests: the clock
// moves on meanwhile and the camera goes on delivering.
TEST_F(RobustnessTest, ALullOfBothKeepsTheCancellerAndOneStreamAloneStopsIt) {
    const std::vector<uint8_t> tone(320, 0x40);
    SetState(&speaker_, KSSTATE_RUN);
    SetState(&mic_, KSSTATE_RUN);
    ASSERT_EQ(Active(), 1);
    StreamBlocks(5, tone);
    AdvanceMs(1200);
    StreamBlocks(20, tone);
    EXPECT_EQ(Active(), 1) << "a lull of both streams stopped the canceller";
    for (int i = 0; i < 120; ++i) {
        std::shared_ptr<kp::ks::StreamRequest> w;
        ASSERT_TRUE(NT_SUCCESS(
            speaker_.Submit(true, {{320, 320, tone.data()}}, sizeof(KSSTREAM_HEADER), &w)));
        writes_.push_back(w);
        // 10 ms, moved only while the machine rests, as a paced player's.
        (void)kp::sim::AdvanceWhileResting([] { return false; }, false, 10);
    }
    StreamBlocks(20, tone);
    EXPECT_EQ(Active(), 0) << "the loudspeaker alone for 1.2 s did not stop the canceller";
}

}  // namespace
}  // namespace zvecho
