// Far-end FIFO, delay learning, alignment and the residual-delay tracker.
#include "AecHarness.h"

using namespace aec;
using namespace aectest;

namespace {

std::vector<int16_t> Ramp(int n, int16_t start) {
    std::vector<int16_t> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[size_t(i)] = int16_t(start + i);
    return v;
}

// Checks the FIFO's invariants: counts are 0 or 80, indices in range.
void CheckFifo(const AecState* s) {
    ASSERT_GE(s->fifoRead, 0);
    ASSERT_LT(s->fifoRead, kFifoSlots);
    ASSERT_GE(s->fifoWrite, 0);
    ASSERT_LT(s->fifoWrite, kFifoSlots);
    for (int i = 0; i < kFifoSlots; ++i)
        ASSERT_TRUE(s->fifoCount[i] == 0 || s->fifoCount[i] == kPiece) << i;
}

TEST(AecFifo, WritesReadsInOrderAndRepeatsZerosWhenEmpty) {
    Engine e;
    AecState* s = e.get();
    int16_t out[kPiece];
    EXPECT_EQ(FifoRead(s, out), -1);
    EXPECT_EQ(std::vector<int16_t>(out, out + kPiece), std::vector<int16_t>(kPiece, 0));
    for (int p = 0; p < 3; ++p) FifoWrite(s, Ramp(kPiece, int16_t(p * 100)).data(), kPiece);
    EXPECT_EQ(FifoFill(s), 3);
    CheckFifo(s);
    for (int p = 0; p < 3; ++p) {
        ASSERT_EQ(FifoRead(s, out), 0);
        EXPECT_EQ(out[0], p * 100);
    }
    EXPECT_EQ(FifoFill(s), 0);
    EXPECT_EQ(FifoRead(s, out), -1);
}

TEST(AecFifo, OverrunOverwritesTheOldestAndKeepNewestDropsTheRest) {
    Engine e;
    AecState* s = e.get();
    for (int p = 0; p < kFifoSlots; ++p) FifoWrite(s, Ramp(kPiece, int16_t(p)).data(), kPiece);
    // Fifty pieces: the write index met the read index, which moved on, so
    // the oldest piece still counts in the fill level but is skipped.
    EXPECT_EQ(FifoFill(s), kFifoSlots);
    EXPECT_EQ(s->fifoRead, 1);
    CheckFifo(s);
    int16_t out[kPiece];
    FifoRead(s, out);
    EXPECT_EQ(out[0], 1);
    // Two more: pieces 50 and 51 take the slots of pieces 0 and 1.
    FifoWrite(s, Ramp(kPiece, 50).data(), kPiece);
    FifoWrite(s, Ramp(kPiece, 51).data(), kPiece);
    FifoKeepNewest(s, 3);
    EXPECT_EQ(FifoFill(s), 3);
    CheckFifo(s);
    for (int16_t expected : {49, 50, 51}) {
        ASSERT_EQ(FifoRead(s, out), 0);
        EXPECT_EQ(out[0], expected);
    }
    EXPECT_EQ(FifoFill(s), 0);
    FifoWrite(s, Ramp(kPiece, 7).data(), kPiece);
    FifoKeepNewest(s, 0);
    EXPECT_EQ(FifoFill(s), 0);
    FifoReset(s);
    EXPECT_EQ(s->fifoRead, 0);
    EXPECT_EQ(s->fifoWrite, 0);
}

TEST(AecFrameDriver, FarEndFramesBecomePiecesOfEighty) {
    Engine e;
    std::vector<int16_t> frame = Ramp(160, 0);
    EXPECT_EQ(AecProcessFarEnd(e.get(), frame.data(), 160), AEC_STATUS_SUCCESS);
    EXPECT_EQ(FifoFill(e.get()), 2);  // 160 samples at 8 kHz: two pieces, no error
    EXPECT_EQ(AecProcessFarEnd(e.get(), frame.data(), 80), AEC_STATUS_SUCCESS);
    EXPECT_EQ(FifoFill(e.get()), 3);
    for (uint16_t bad : {0, 1, 79, 81, 120, 159, 161, 320})
        EXPECT_EQ(AecProcessFarEnd(e.get(), frame.data(), bad), AEC_STATUS_BAD_FRAME_LENGTH) << bad;
    EXPECT_EQ(FifoFill(e.get()), 3);
    int16_t out[160];
    EXPECT_EQ(AecProcessNearEnd(e.get(), frame.data(), out, 100, 0), AEC_STATUS_BAD_FRAME_LENGTH);
    EXPECT_EQ(AecProcessFrame(e.get(), out, 100, 0), AEC_STATUS_FRAME_REFUSED);
    e.get()->magic = 0;
    EXPECT_EQ(AecProcessFrame(e.get(), out, 80, 0), AEC_STATUS_FRAME_REFUSED);
    EXPECT_EQ(AecProcessFarEnd(e.get(), frame.data(), 80), AEC_STATUS_NOT_INITIALISED);
    e.get()->magic = AEC_MAGIC;
}

TEST(AecFrameDriver, AConstantDelayIsLearntAndAlignedBeforeProcessingStarts) {
    Scene s;
    s.seconds = 0.2;
    s.Build();
    Engine e;
    AecState* st = e.get();
    std::vector<int16_t> out(s.mic.size());
    int16_t delay = 100;
    size_t f = 0;
    for (; f < 20; ++f) {
        AecSubmit(st, AEC_PIN_FAR_END, s.far.data() + f * 80, 160, nullptr, 0, nullptr);
        AecSubmit(st, AEC_PIN_NEAR_END, s.mic.data() + f * 80, 160, out.data() + f * 80, 160,
                  &delay);
        if (!st->alignmentPending) break;
        ASSERT_EQ(
            std::vector<int16_t>(out.begin() + long(f * 80), out.begin() + long(f * 80 + 80)),
            std::vector<int16_t>(s.mic.begin() + long(f * 80), s.mic.begin() + long(f * 80 + 80)))
            << "frame " << f;
    }
    // Six stable frames give T = trunc(0.75 * 100 / 10) = 7; alignment ends
    // once the FIFO holds seven pieces.
    EXPECT_EQ(st->fifoTarget, 7);
    EXPECT_EQ(st->learning, 0);
    EXPECT_EQ(f, 6u);
    EXPECT_EQ(FifoFill(st), 7);
}

TEST(AecFrameDriver, JitteryDelaysAreLearntFromTheFiftyFirstFrame) {
    Engine e;
    AecState* st = e.get();
    int16_t frame[80] = {}, out[80];
    for (int f = 0; f < 50; ++f) {
        // Alternating 60 and 140 ms never stays within 20 % of the reference.
        int16_t delay = f % 2 ? 140 : 60;
        AecSubmit(st, AEC_PIN_NEAR_END, frame, 160, out, 160, &delay);
        ASSERT_EQ(st->learning, 1) << f;
    }
    int16_t delay = 120;
    AecSubmit(st, AEC_PIN_NEAR_END, frame, 160, out, 160, &delay);
    EXPECT_EQ(st->learning, 0);
    EXPECT_EQ(st->fifoTarget, 9);  // trunc(0.075 * 120)
}

TEST(AecFrameDriver, LearningAtSixteenKilohertzCountsHalfPieces) {
    Engine e;
    e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    AecState* st = e.get();
    int16_t frame[160] = {}, out[160];
    int16_t delay = 100;
    for (int f = 0; f < 6; ++f) AecSubmit(st, AEC_PIN_NEAR_END, frame, 320, out, 320, &delay);
    EXPECT_EQ(st->fifoTarget, 15);  // 0.75 * 2 * 100 / 10
}

TEST(AecFrameDriver, WithoutFarEndTheCancellerSeesZerosAndTheNearEndPasses) {
    Engine e;
    e.Set(AEC_PROP_COMFORT_NOISE, 0);
    AecState* st = e.get();
    echotest::SpeechParams p;
    p.spurts = false;
    auto near = echotest::ToPcm(echotest::SpeechLike(p, 8000));
    std::vector<int16_t> out(near.size());
    int16_t delay = 0;  // T = 0: aligned as soon as the delay is learnt
    for (size_t f = 0; f < near.size() / 80; ++f)
        ASSERT_EQ(AecSubmit(st, AEC_PIN_NEAR_END, near.data() + f * 80, 160, out.data() + f * 80,
                            160, &delay),
                  AEC_ZV_SUCCESS);
    EXPECT_EQ(st->alignmentPending, 0);
    EXPECT_EQ(std::vector<int16_t>(st->lastFar, st->lastFar + 160), std::vector<int16_t>(160, 0));
    EXPECT_EQ(e.canceller().tapEnergyTotal, 0);
    // Output is the near end through the high-pass only: less than 1 dB away.
    double level = echotest::RatioDb(echotest::MeanSquare(out.data(), 800, out.size()),
                                     echotest::MeanSquare(near.data(), 800, near.size()));
    EXPECT_NEAR(level, 0.0, 1.0);
}

TEST(AecFrameDriver, ResidualDelayBecomesTheBulkDelay) {
    // 100 ms reported: the FIFO covers 70 ms (7 pieces of 10 ms at 8 kHz, 15
    // of 5 ms at 16 kHz); the rest, as smoothed when it is evaluated, less a
    // margin of 25 samples per sub-frame of the frame, becomes the
    // canceller's bulk delay.
    const struct {
        int rate;
        int fill;
        int residual;
    } cases[] = {{8000, 7, 240}, {16000, 15, 400}};
    for (auto k : cases) {
        SCOPED_TRACE(k.rate);
        const int subFrames = k.rate / 8000;
        Scene s;
        s.rate = k.rate;
        s.seconds = 3;
        s.farSpurts = false;
        s.Build();
        Engine e;
        if (k.rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
        const size_t frame = size_t(k.rate / 100);
        std::vector<int16_t> out(frame);
        int16_t delay = 100;
        int changes = 0;
        for (size_t f = 0; f < s.mic.size() / frame; ++f) {
            const int16_t before = e.canceller().bulkDelay;
            AecSubmit(e.get(), AEC_PIN_FAR_END, s.far.data() + f * frame, uint32_t(2 * frame),
                      nullptr, 0, nullptr);
            AecSubmit(e.get(), AEC_PIN_NEAR_END, s.mic.data() + f * frame, uint32_t(2 * frame),
                      out.data(), uint32_t(2 * frame), &delay);
            if (e.canceller().bulkDelay == before) continue;
            ++changes;
            EXPECT_EQ(e.canceller().bulkDelay, int(e.get()->smoothedResidual) - 25 * subFrames);
        }
        EXPECT_GE(changes, 1);
        EXPECT_EQ(FifoFill(e.get()), k.fill);
        EXPECT_NEAR(e.get()->smoothedResidual, k.residual, 1.0);
        // Settled within the 50-sample (per sub-frame) band that triggers
        // no further evaluation.
        EXPECT_LE(k.residual - e.canceller().bulkDelay, 50 * subFrames);
        EXPECT_GT(k.residual - e.canceller().bulkDelay, 25 * subFrames);
    }
}

TEST(AecFrameDriver, AStalledFarEndDrivesTheBulkDelayToItsLimitSafely) {
    Scene s;
    s.seconds = 3;
    s.delayMs = 400;
    s.farSpurts = false;
    s.Build();
    Engine e;
    AecState* st = e.get();
    std::vector<int16_t> out(s.mic.size());
    int16_t delay = 500;
    for (size_t f = 0; f < s.mic.size() / 80; ++f) {
        // The far end stops after one second: the FIFO runs dry, the
        // residual grows past 2048 samples and the window sits at the end
        // of the histories.
        if (f < 100)
            AecSubmit(st, AEC_PIN_FAR_END, s.far.data() + f * 80, 160, nullptr, 0, nullptr);
        AecSubmit(st, AEC_PIN_NEAR_END, s.mic.data() + f * 80, 160, out.data() + f * 80, 160,
                  &delay);
    }
    EXPECT_EQ(e.canceller().bulkDelay, kMaxBulkDelay);
    EXPECT_EQ(FifoFill(st), 0);
    // The far end comes back: the catch-up rule refills the FIFO.
    for (size_t f = 0; f < 20; ++f) {
        AecSubmit(st, AEC_PIN_FAR_END, s.far.data() + f * 80, 160, nullptr, 0, nullptr);
        AecSubmit(st, AEC_PIN_NEAR_END, s.mic.data() + f * 80, 160, out.data() + f * 80, 160,
                  &delay);
    }
    EXPECT_GT(FifoFill(st), 0);
    CheckFifo(st);
}

TEST(AecFrameDriver, LastingFifoExcessReinitialisesWithAutoOffCleared) {
    Scene s;
    s.seconds = 3;
    s.farSpurts = false;
    s.delayMs = 0;
    s.Build();
    Engine e;
    AecState* st = e.get();
    EXPECT_EQ(AecSetPropertyDword(st, AEC_PROP_AUTO_OFF, 1), 0u);
    std::vector<int16_t> out(s.mic.size());
    int16_t delay = 0;
    size_t f = 0;
    for (; f < 150; ++f) {
        AecSubmit(st, AEC_PIN_FAR_END, s.far.data() + f * 80, 160, nullptr, 0, nullptr);
        AecSubmit(st, AEC_PIN_NEAR_END, s.mic.data() + f * 80, 160, out.data() + f * 80, 160,
                  &delay);
    }
    ASSERT_EQ(st->alignmentPending, 0);
    ASSERT_GT(e.canceller().tapEnergyTotal, 0);
    ASSERT_EQ(e.canceller().autoOff, 1);
    // Far end now arrives five pieces per frame, more than the trimming of
    // the FIFO takes away: it stays above the delay plus 20 ms, and after
    // ten sub-frames of that the canceller starts again.
    ASSERT_EQ(st->overflowCount, 0);
    bool reinitialised = false;
    int excessFrames = 0;
    for (int n = 0; n < 30 && !reinitialised; ++n, ++f) {
        for (int k = 0; k < 5; ++k)
            AecSubmit(st, AEC_PIN_FAR_END, s.far.data() + f * 80, 160, nullptr, 0, nullptr);
        uint32_t before = e.canceller().frameCounter;
        AecSubmit(st, AEC_PIN_NEAR_END, s.mic.data() + f * 80, 160, out.data() + f * 80, 160,
                  &delay);
        reinitialised = e.canceller().frameCounter < before;
        if (reinitialised || st->overflowCount > 0) ++excessFrames;
    }
    EXPECT_TRUE(reinitialised);
    EXPECT_EQ(excessFrames, 10);  // on the tenth sub-frame in a row with excess
    EXPECT_EQ(e.canceller().tapEnergyTotal, 0);
    // The re-initialisation clears the auto-off switch (and reports it so).
    EXPECT_EQ(e.canceller().autoOff, 0);
    uint32_t autoOff = 7;
    AecGetPropertyDword(st, AEC_PROP_AUTO_OFF, &autoOff);
    EXPECT_EQ(autoOff, 0u);
    // Delay learning and the FIFO are not restarted.
    EXPECT_EQ(st->alignmentPending, 0);
}

}  // namespace
