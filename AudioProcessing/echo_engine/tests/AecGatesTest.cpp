// The engine's gates and tables driven one by one, so that a changed
// constant names itself: the step's sign and size against the projection it
// stands for, the whitening against a double-precision model, the floors'
// factors, the adaptation gates, the backup limit, the tap-energy ceiling,
// the state machine's factors and suppression hold.
#include "AecHarness.h"

#include <cmath>

using namespace aec;
using namespace aectest;

namespace {

// ---- the step and the whitening ------------------------------------------------

TEST(AecStep, IsTheNumeratorOverTheSignedRegularisedCrossEnergy) {
    Engine e;
    AecCanceller& c = e.canceller();
    const int64_t reg = c.regulariser;
    for (int32_t numerator : {0x36666666, 0x10000000, 0x40000000}) {
        for (int64_t cross : {int64_t(0), int64_t(1000), int64_t(123456789), int64_t(1) << 40,
                              int64_t(-5), -reg / 2, -2 * reg, -(int64_t(1) << 40)}) {
            SCOPED_TRACE(testing::Message() << numerator << " " << cross);
            c.stepNumerator = numerator;
            c.windowCross = cross;
            int16_t mu = 0;
            int exponent = 0;
            FilterStepSize(&c, &mu, &exponent);
            // mu * 2^(exponent - 46) stands for numerator / 2^30 / (cross + regulariser).
            const double step = std::ldexp(double(mu), exponent - 46);
            const double exact = numerator / 1073741824.0 / double(cross + reg);
            EXPECT_NEAR(step / exact, 1.0, 2e-3);
            EXPECT_GE(std::abs(int32_t(mu)), 16384);  // a normalised 16-bit mantissa
        }
    }
}

// Where the update direction x1 points against the measuring direction x2
// over the window (negative cross energy), the normalised step still removes
// the error it was taken for: its a-posteriori error is smaller, not larger.
TEST(AecStep, ANegativeCrossEnergyStillProjectsTheErrorAway) {
    Engine e;
    AecCanceller& c = e.canceller();
    echotest::Rng rng(21);
    for (int i = 0; i < c.history2Length; ++i)
        c.history2[i] = int16_t(std::lround(rng.Gaussian() * 3000));
    for (int i = 0; i < c.history1Length; ++i) c.history1[i] = int16_t(-c.history2[i] / 2);
    c.subBlockStart = 0;
    FilterRecomputeWindow(&c);
    ASSERT_LT(c.windowCross + c.regulariser, 0);
    c.stepNumerator = 0x40000000;  // 1.0
    c.adaptFlag = 1;
    int16_t near[kPiece] = {};
    near[0] = 4000;
    FilterPass(&c, near, 0);
    ASSERT_EQ(c.errors[0], 4000);  // zero taps: the error is the microphone
    // The same first sample against the adapted taps.
    const int p = c.bulkDelay + kPiece - 1;
    const int32_t estimate = dot(c.taps, c.history2 + p, c.activeLength) >> 15;
    EXPECT_LT(std::abs(near[0] - estimate), 4000 / 2);
}

TEST(AecWhitening, FullScaleInputWithLargeCoefficientsSaturatesInsteadOfWrapping) {
    // Five Q13 coefficients near +4 on full-scale samples: the sum passes 32
    // bits; the whitened sample saturates with the sum's sign.
    const int16_t coefficients[kWhiteningOrder + 1] = {0, 32767, 32767, 32767, 32767, 32767};
    const int16_t up[kWhiteningOrder + 1] = {32767, 32767, 32767, 32767, 32767, 32767};
    const int16_t down[kWhiteningOrder + 1] = {-32768, -32768, -32768, -32768, -32768, -32768};
    EXPECT_EQ(WhitenSample(coefficients, up, 0), 32767);
    EXPECT_EQ(WhitenSample(coefficients, down, 0), -32768);
}

// Double-precision Levinson-Durbin: prediction-error filter 1 + sum a_j z^-j.
std::vector<double> Levinson(const std::vector<double>& r, int p) {
    std::vector<double> a(size_t(p) + 1, 0.0), prev;
    a[0] = 1.0;
    double err = r[0];
    for (int i = 1; i <= p; ++i) {
        double acc = r[size_t(i)];
        for (int j = 1; j < i; ++j) acc += a[size_t(j)] * r[size_t(i - j)];
        const double k = -acc / err;
        prev = a;
        for (int j = 1; j < i; ++j) a[size_t(j)] = prev[size_t(j)] + k * prev[size_t(i - j)];
        a[size_t(i)] = k;
        err *= 1.0 - k * k;
    }
    return a;
}

// The whitening is the order-5 prediction-error filter of the far end over
// the filter window, its autocorrelation loaded with r0 / 8 plus a floor of
// 300000: on a far end near that floor both loads shape the filter.
TEST(AecWhitening, MatchesTheLoadedDoublePrecisionPredictor) {
    for (double amplitude : {40.0, 80.0, 300.0, 3000.0}) {
        SCOPED_TRACE(amplitude);
        Engine e;
        AecCanceller& c = e.canceller();
        // A low-pass far end: strongly predictable.
        echotest::Rng rng(5);
        double y1 = 0, y2 = 0;
        for (int i = c.history2Length - 1; i >= 0; --i) {
            const double y = 1.6 * y1 - 0.8 * y2 + rng.Gaussian();
            y2 = y1;
            y1 = y;
            c.history2[i] = int16_t(std::lround(y * amplitude / 3.0));
        }
        FilterRecomputeWhitening(&c);
        std::vector<double> r(kWhiteningOrder + 1, 0.0);
        for (int k = 0; k <= kWhiteningOrder; ++k)
            for (int i = c.bulkDelay; i < c.bulkDelay + c.activeLength; ++i)
                r[size_t(k)] += double(c.history2[i]) * c.history2[i + k];
        r[0] += r[0] / 8 + 300000.0;
        const std::vector<double> a = Levinson(r, kWhiteningOrder);
        for (int j = 1; j <= kWhiteningOrder; ++j)
            EXPECT_NEAR(c.whitening[j] / 8192.0, a[size_t(j)], 0.01) << j;
    }
}

// ---- floors and adaptation gates ------------------------------------------------

TEST(AecFloors, FollowTheirMinimaByTheirFactors) {
    Engine e;
    AecCanceller& c = e.canceller();
    fill32(c.outputMinimum, 1000000, kMinimumSlots);
    fill32(c.farMinimum, 2000000, kMinimumSlots);
    c.outputMinimumSmallest = 1000000;
    c.farMinimumSmallest = 2000000;
    c.frameCounter = 50;  // early: the fast leak (2^-4)
    for (int i = 0; i < 1000; ++i) UpdateFloors(&c);
    // Near end: 2.1 x the output minimum; far end: 1.1 x the far minimum.
    const int32_t nearTarget = int32_t((int64_t(1000000) * 17203) >> 13);
    const int32_t farTarget = int32_t((int64_t(2000000) * 9011) >> 13);
    EXPECT_NEAR(double(nearTarget), 2.1 * 1000000, 50.0);
    EXPECT_NEAR(double(farTarget), 1.1 * 2000000, 50.0);
    EXPECT_LE(c.noiseFloor, nearTarget);
    EXPECT_GT(c.noiseFloor, nearTarget - 16);
    EXPECT_LE(c.farFloor, farTarget);
    EXPECT_GT(c.farFloor, farTarget - 16);
}

// The smallest slot each minimum array keeps is the array's smallest after
// every frame, also when the slot holding it is reset: the quiet start's
// minima age out and both floors' minima rise again.
TEST(AecFloors, KeptSmallestSlotsAreTheArraysSmallestThroughARun) {
    for (int rate : {8000, 16000}) {
        SCOPED_TRACE(rate);
        Scene scene;
        scene.rate = rate;
        scene.seconds = 12.0;
        scene.noiseDbfs = -45.0;
        scene.nearTalk = {{7.0, 8.5}};
        scene.Build();
        // The first two seconds 18 dB quieter.
        for (size_t i = 0; i < size_t(2 * rate); ++i) {
            scene.far[i] = int16_t(scene.far[i] / 8);
            scene.mic[i] = int16_t(scene.mic[i] / 8);
        }
        Engine e;
        const AecCanceller& c = e.canceller();
        const size_t frame = size_t(rate / 100);
        std::vector<int16_t> out(frame);
        int16_t delay = 100;
        int rises[2] = {0, 0};
        int32_t last[2] = {c.farMinimumSmallest, c.outputMinimumSmallest};
        for (size_t f = 0; f + 1 < scene.far.size() / frame; ++f) {
            AecSubmit(e.get(), AEC_PIN_FAR_END, &scene.far[f * frame], uint32_t(frame * 2), nullptr,
                      0, nullptr);
            AecSubmit(e.get(), AEC_PIN_NEAR_END, &scene.mic[f * frame], uint32_t(frame * 2),
                      out.data(), uint32_t(frame * 2), &delay);
            ASSERT_EQ(c.farMinimumSmallest, min32(c.farMinimum, kMinimumSlots)) << f;
            ASSERT_EQ(c.outputMinimumSmallest, min32(c.outputMinimum, kMinimumSlots)) << f;
            rises[0] += c.farMinimumSmallest > last[0] ? 1 : 0;
            rises[1] += c.outputMinimumSmallest > last[1] ? 1 : 0;
            last[0] = c.farMinimumSmallest;
            last[1] = c.outputMinimumSmallest;
        }
        EXPECT_GT(rises[0], 0);
        EXPECT_GT(rises[1], 0);
    }
}

// A canceller set up by hand for the gate tests: past its first sub-frame,
// no activity, every gate but the one under test open.
void OpenGates(AecCanceller& c) {
    c.frameCounter = 1000;
    c.activeLength = c.targetLength = c.fullLength;
    c.lengthChanged = 0;
    c.subBlock = 0;
    c.activity[0] = 0;
    c.farFloor = 1;
    c.noiseFloor = kLevelSoft;
    c.tapEnergyTotal = 0;
    c.adaptCount = 0;
    c.estimateEnergy = 1000000;
}

bool Adapts(AecCanceller& c) {
    c.adaptFlag = 1;
    AdaptationControl(&c);
    return c.adaptFlag != 0;
}

TEST(AecGates, TheFarEndMustReach29ThirtySecondsOfItsAverage) {
    Engine e;
    AecCanceller& c = e.canceller();
    // Below the other gates' thresholds (about 1.3e10 for the echo's
    // audibility with these floors).
    const int64_t average = int64_t(1) << 32;
    for (double ratio : {29.0 / 32 * 1.003, 29.0 / 32 * 0.997}) {
        SCOPED_TRACE(ratio);
        OpenGates(c);
        c.smoothFarWindow = average;
        c.windowFar = int64_t(double(average) * ratio);
        EXPECT_EQ(Adapts(c), ratio > 29.0 / 32);
    }
}

TEST(AecGates, AMatureFilterNeedsAnEchoEstimateOf6000) {
    Engine e;
    AecCanceller& c = e.canceller();
    for (int32_t estimate : {5999, 6000}) {
        for (int past : {0, 1}) {
            SCOPED_TRACE(testing::Message() << estimate << " " << past);
            OpenGates(c);
            c.adaptCount = int16_t(c.threshold50 + past);
            c.smoothFarWindow = 0;
            c.windowFar = int64_t(1) << 40;
            c.estimateEnergy = estimate;
            EXPECT_EQ(Adapts(c), estimate >= 6000 || !past);
        }
    }
}

// ---- output selection, backup and divergence --------------------------------------

// Sub-blocks of clear echo reduction until the taps are backed up.
int SubBlocksToBackUp(AecCanceller& c, int adaptCount) {
    c.adaptCount = int16_t(adaptCount);
    c.adaptFlag = 1;
    c.noiseFloor = 100;
    c.nearEnergy = 100000;
    c.errorEnergy = 1000;
    c.goodFilterCounter = 0;
    fill16(c.taps, 77, kMaxTaps);
    fill16(c.backupTaps, 0, kMaxTaps);
    for (int n = 1; n < 4 * kMaxTaps; ++n) {
        SelectOutput(&c, 0);
        if (c.backupTaps[0] == 77) return n;
    }
    return -1;
}

TEST(AecBackup, TheLimitIsAQuarterOfTheLengthAtFirstAndHalfOnceMature) {
    for (int rate : {8000, 16000}) {
        SCOPED_TRACE(rate);
        Engine e;
        if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
        AecCanceller& c = e.canceller();
        const int L = c.fullLength;
        EXPECT_EQ(SubBlocksToBackUp(c, c.threshold50), L / 4 + 1);
        EXPECT_EQ(SubBlocksToBackUp(c, c.threshold50 + 1), L / 2 + 1);
        EXPECT_EQ(c.savedLength, c.activeLength);
    }
}

TEST(AecDivergence, TapsAtTheEnergyCeilingAskForAFreshStart) {
    for (int32_t energy : {66317769, 66317770}) {
        SCOPED_TRACE(energy);
        Engine e;
        AecCanceller& c = e.canceller();
        c.adaptFlag = 1;
        c.adaptCount = 100;
        c.noiseFloor = 100;
        c.nearEnergy = 100000;
        c.errorEnergy = 1000;  // the filter is doing well
        c.tapEnergyTotal = energy;
        DivergenceCheck(&c);
        EXPECT_EQ(c.reinitRequest, energy >= 66317770 ? 1 : 0);
    }
}

// ---- the state machine ------------------------------------------------------------

// The smallest multiple m of X = estimate / 16 + floor / 16 at which the
// near end (P = near / 4, at m * X + offset) makes `state` take its step.
int MeasureFactor(AecCanceller& c, int state, int32_t hold, int offset,
                  bool (*stepped)(const AecCanceller&)) {
    for (int m = 1; m < 40; ++m) {
        c.state = state;
        c.holdCounter = hold;
        c.suppressHold = 0;
        c.estimateEnergy = 1600;
        c.noiseFloor = 16;  // X = 101
        c.outputEnergy = 1;
        c.nearEnergy = 4 * (m * 101 + offset);
        EchoStateMachine(&c, 0);
        if (stepped(c)) return m;
    }
    return -1;
}

struct FactorCase {
    int rate;
    int tail;
    int t4, t5, t6, t7;
};

class AecStateMachineFactors : public testing::TestWithParam<FactorCase> {};

TEST_P(AecStateMachineFactors, EachTransitionTakesItsFactor) {
    const FactorCase fc = GetParam();
    Engine e;
    if (fc.rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    e.Set(AEC_PROP_TAIL_LENGTH, uint16_t(fc.tail));
    AecCanceller& c = e.canceller();
    ASSERT_EQ(c.fullLength, fc.rate * fc.tail / 1000);
    // State 1 leaves for 2 once the hold is past H0 and P > T4 X.
    EXPECT_EQ(
        MeasureFactor(c, 1, c.hold[0] + 1, 1, [](const AecCanceller& s) { return s.state == 2; }),
        fc.t4);
    // State 2 goes to 3 once the hold is past H2 and P > T5 X.
    EXPECT_EQ(MeasureFactor(c, 2, c.hold[2], 1, [](const AecCanceller& s) { return s.state == 3; }),
              fc.t5);
    // State 3 restarts its hold while P >= T6 X.
    EXPECT_EQ(MeasureFactor(c, 3, 5, 0, [](const AecCanceller& s) { return s.holdCounter == 0; }),
              fc.t6);
    // State 4 counts down by 10 while P > T7 X.
    EXPECT_EQ(MeasureFactor(c, 4, 20, 1, [](const AecCanceller& s) { return s.holdCounter == 10; }),
              fc.t7);
    // One echo-only sub-block with a residual suppresses for T8 = 50 k sub-blocks.
    c.state = 1;
    c.holdCounter = 0;
    c.noiseFloor = 1000;
    c.outputEnergy = 2000;
    c.estimateEnergy = 5000;
    c.nearEnergy = 4000;
    EchoStateMachine(&c, 0);
    ASSERT_EQ(c.suppress[0], 1);
    int suppressed = 1;
    c.state = 3;
    c.nearEnergy = 4 * 10000000;
    for (int n = 0; n < 1000 && (EchoStateMachine(&c, 0), c.suppress[0]); ++n) ++suppressed;
    EXPECT_EQ(suppressed, 50 * fc.rate / 8000);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, AecStateMachineFactors,
    testing::Values(FactorCase{8000, 32, 10, 8, 9, 10}, FactorCase{8000, 64, 10, 8, 8, 16},
                    FactorCase{16000, 32, 10, 8, 8, 16}, FactorCase{16000, 64, 10, 8, 8, 16}),
    [](const testing::TestParamInfo<FactorCase>& i) {
        return std::to_string(i.param.rate / 1000) + "kHz" + std::to_string(i.param.tail) + "ms";
    });

}  // namespace
