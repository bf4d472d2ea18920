// The canceller core white-box: the filter pass and its update, the
// restore, the high-pass, energy gates, the activity detector, the
// divergence watch, the state machine and the output ramp.
#include "AecHarness.h"

#include <algorithm>
#include <cmath>

using namespace aec;
using namespace aectest;

namespace {

std::vector<int16_t> White(uint64_t seed, size_t n, double rms) {
    echotest::Rng rng(seed);
    std::vector<int16_t> v(n);
    for (auto& x : v) x = int16_t(std::clamp(std::lround(rng.Gaussian() * rms), -32768L, 32767L));
    return v;
}

TEST(AecFilter, ZeroTapsGiveNoEstimateAndTheMicrophoneAsError) {
    Engine e;
    AecCanceller& c = e.canceller();
    auto far = White(1, kPiece, 3000);
    FilterPushFarEnd(&c, far.data());
    auto near = White(2, kPiece, 2000);
    c.adaptFlag = 0;
    for (int sb = 0; sb < kSubBlocks; ++sb) FilterPass(&c, near.data(), sb * kSubBlock);
    EXPECT_EQ(std::vector<int16_t>(c.estimates, c.estimates + kPiece),
              std::vector<int16_t>(kPiece, 0));
    EXPECT_EQ(std::vector<int16_t>(c.errors, c.errors + kPiece), near);
}

TEST(AecFilter, ErrorSaturatesInsteadOfWrapping) {
    Engine e;
    AecCanceller& c = e.canceller();
    c.bulkDelay = 0;
    c.history2[kPiece - 1] = 2;  // the far sample aligned with near sample 0
    c.taps[0] = 16384;           // 0.5: estimate 1
    int16_t near[kPiece] = {};
    near[0] = -32768;
    c.adaptFlag = 0;
    FilterPass(&c, near, 0);
    EXPECT_EQ(c.estimates[0], 1);
    EXPECT_EQ(c.errors[0], -32768);
}

TEST(AecFilter, AZeroErrorLeavesTheTapsUnchanged) {
    Engine e;
    AecCanceller& c = e.canceller();
    auto far = White(3, kPiece, 3000);
    FilterPushFarEnd(&c, far.data());
    for (int i = 0; i < 40; ++i) c.taps[i] = int16_t(i * 100 - 2000);
    std::vector<int16_t> before(c.taps, c.taps + kMaxTaps);
    // A near end equal to the estimate: every error is 0.
    c.adaptFlag = 0;
    int16_t near[kPiece] = {};
    FilterPass(&c, near, 0);
    std::vector<int16_t> exact(c.estimates, c.estimates + kSubBlock);
    exact.resize(kPiece, 0);
    c.adaptFlag = 1;
    c.subBlockStart = 0;
    FilterRecomputeWindow(&c);
    FilterPass(&c, exact.data(), 0);
    EXPECT_EQ(std::vector<int16_t>(c.errors, c.errors + kSubBlock),
              std::vector<int16_t>(kSubBlock, 0));
    EXPECT_EQ(std::vector<int16_t>(c.taps, c.taps + kMaxTaps), before);
}

TEST(AecFilter, TheTapsConvergeToAPlantedEchoPath) {
    // White far end, echo = 0.3 x[n-5] - 0.2 x[n-6] + 0.1 x[n-20].
    Engine e;
    AecCanceller& c = e.canceller();
    const int frames = 200;  // two seconds at 8 kHz
    auto far = White(4, size_t(frames * kPiece), 3000);
    const struct {
        int lag;
        double gain;
    } path[] = {{5, 0.3}, {6, -0.2}, {20, 0.1}};
    std::vector<int16_t> near(far.size());
    for (size_t n = 0; n < far.size(); ++n) {
        double acc = 0;
        for (auto p : path)
            if (n >= size_t(p.lag)) acc += p.gain * far[n - size_t(p.lag)];
        near[n] = int16_t(std::lround(acc));
    }
    for (int f = 0; f < frames; ++f) {
        FilterPushFarEnd(&c, far.data() + f * kPiece);
        for (int sb = 0; sb < kSubBlocks; ++sb) {
            c.subBlockStart = sb * kSubBlock;
            if (c.windowChanged)
                FilterRecomputeWindow(&c);
            else
                FilterUpdateWindow(&c);
            c.adaptFlag = 1;
            FilterPass(&c, near.data() + f * kPiece, sb * kSubBlock);
        }
    }
    double err = 0, ref = 0;
    for (int i = 0; i < c.activeLength; ++i) {
        double target = 0;
        for (auto p : path)
            if (p.lag == i) target = p.gain * 32768.0;
        err += (c.taps[i] - target) * (c.taps[i] - target);
        ref += target * target;
    }
    EXPECT_LT(10 * std::log10(err / ref), -15.0);
    EXPECT_NEAR(c.taps[5], 0.3 * 32768, 0.03 * 32768);
    // The window energies kept up to date by sub-block match a full recount.
    int64_t far2 = c.windowFar, cross = c.windowCross;
    FilterRecomputeWindow(&c);
    EXPECT_EQ(far2, c.windowFar);
    EXPECT_EQ(cross, c.windowCross);
}

TEST(AecFilter, AnOversizedStepSaturatesInsteadOfWrapping) {
    Engine e;
    AecCanceller& c = e.canceller();
    auto far = White(5, kPiece, 3000);
    FilterPushFarEnd(&c, far.data());
    c.regulariser = 1;
    c.windowCross = 0;  // a step far beyond what 32 bits hold
    c.adaptFlag = 1;
    int16_t near[kPiece];
    fill16(near, 20000, kPiece);
    FilterPass(&c, near, 0);
    // Per sample every tap moves by at most |x1| / 2, the saturated step.
    const int p = c.bulkDelay + kPiece - 1;
    for (int i = 0; i < c.activeLength; ++i) {
        const int32_t x = c.history1[p + i];
        ASSERT_LE(std::abs(int32_t(c.taps[i])), kSubBlock * (std::abs(x) / 2 + 1) + 32768) << i;
    }
    // The step did take effect: the error of the first sample moved the taps.
    int64_t moved = 0;
    for (int i = 0; i < c.activeLength; ++i) moved += std::abs(int32_t(c.taps[i]));
    EXPECT_GT(moved, 0);
}

TEST(AecFilter, RestoreBringsBackTheBackupAndRestartsTheStep) {
    Engine e;
    AecCanceller& c = e.canceller();
    for (int i = 0; i < kMaxTaps; ++i) {
        c.taps[i] = 999;
        c.backupTaps[i] = int16_t(i);
    }
    c.savedLength = 128;
    c.adaptCount = 900;
    c.divergenceCounter = 7;
    c.classCounter[1] = 4;
    c.crossfadeCounter = 3;
    FilterRestore(&c);
    for (int i = 0; i < c.fullLength; ++i) ASSERT_EQ(c.taps[i], i < 128 ? i : 0) << i;
    EXPECT_EQ(c.activeLength, c.fullLength);
    EXPECT_EQ(c.savedLength, c.fullLength);
    EXPECT_EQ(c.stepNumerator, 0x40000000);
    EXPECT_EQ(c.adaptCount, 0);
    EXPECT_EQ(c.divergenceCounter, 0);
    EXPECT_EQ(c.classCounter[1], 0);
    EXPECT_EQ(c.crossfadeCounter, 32);
    EXPECT_EQ(c.windowChanged, 1);
    int64_t sum = 0;
    for (int i = 0; i < 128; ++i) sum += i * i;
    EXPECT_EQ(c.tapEnergyTotal, int32_t(sum >> 9));
}

double ToneGainDb(AecCanceller& c, int rate, double freq, double dc = 0.0) {
    std::vector<int16_t> x(static_cast<size_t>(rate));
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = int16_t(std::lround(dc + 8000.0 * std::sin(2 * M_PI * freq * double(i) / rate)));
    std::vector<int16_t> y(x.size());
    HighPass(&c, x.data(), y.data(), int(x.size()));
    const size_t settle = x.size() / 2;
    std::vector<double> xd(x.begin(), x.end());
    for (double& v : xd) v -= dc;
    return echotest::RatioDb(echotest::MeanSquare(y.data(), settle, y.size()),
                             echotest::MeanSquare(xd, settle, xd.size()));
}

class HighPassTest : public testing::TestWithParam<int> {};

TEST_P(HighPassTest, RemovesDcAndRumbleAndPassesSpeech) {
    const int rate = GetParam();
    {
        Engine e;
        if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
        // DC of 2000 is gone after 100 ms.
        std::vector<int16_t> x(size_t(rate / 2), 2000), y(x.size());
        HighPass(&e.canceller(), x.data(), y.data(), int(x.size()));
        double mean = 0;
        for (size_t i = size_t(rate / 10); i < y.size(); ++i) mean += y[i];
        mean /= double(y.size() - size_t(rate / 10));
        EXPECT_LT(std::fabs(mean), 20.0);
    }
    {
        Engine e;
        if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
        EXPECT_NEAR(ToneGainDb(e.canceller(), rate, 1000.0), 0.0, 0.5);
    }
    {
        Engine e;
        if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
        EXPECT_LT(ToneGainDb(e.canceller(), rate, 50.0), -6.0);
    }
    {
        // Sample by sample against the floating-point model, within rounding.
        Engine e;
        if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
        auto x = White(9, 4000, 4000);
        std::vector<int16_t> y(x.size());
        HighPass(&e.canceller(), x.data(), y.data(), int(x.size()));
        auto ref = HighPassModel(x, rate);
        for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(y[i], ref[i], 2.0) << i;
    }
}

TEST_P(HighPassTest, MemoriesCarryAcrossCallsBitForBit) {
    // The filter keeps its memories between calls: a signal cut into pieces
    // of any length (1 sample, odd, a whole sub-frame) gives the bits of one
    // call over all of it.
    const int rate = GetParam();
    Engine whole, pieces;
    if (rate == 16000) {
        whole.Set(AEC_PROP_SAMPLE_RATE, 16000);
        pieces.Set(AEC_PROP_SAMPLE_RATE, 16000);
    }
    auto x = White(11, 1000, 9000);
    std::vector<int16_t> once(x.size()), cut(x.size());
    HighPass(&whole.canceller(), x.data(), once.data(), int(x.size()));
    size_t at = 0;
    for (size_t length : {size_t(1), size_t(2), size_t(37), size_t(kPiece), size_t(3)}) {
        for (; at + length <= x.size() && at < x.size() / 2 + length * 40; at += length)
            HighPass(&pieces.canceller(), x.data() + at, cut.data() + at, int(length));
    }
    HighPass(&pieces.canceller(), x.data() + at, cut.data() + at, int(x.size() - at));
    EXPECT_EQ(cut, once);
}

// The high-pass as first written, its past outputs split into y/2 and a
// 15-bit fraction, one step of it on the canceller's memories.
int16_t SplitHighPassStep(AecCanceller* c, int16_t in) {
    const int32_t b0 = c->hpCoefficients[0], b1 = c->hpCoefficients[1], b2 = c->hpCoefficients[2];
    const int32_t a1 = c->hpCoefficients[3], a2 = c->hpCoefficients[4];
    const int32_t feedback =
        a1 * c->hpY1High + ((a1 * c->hpY1Low) >> 15) + a2 * c->hpY2High + ((a2 * c->hpY2Low) >> 15);
    const int32_t acc = Saturate32(int64_t(b0) * in + int64_t(b1) * c->hpX1 +
                                   int64_t(b2) * c->hpX2 + 2 * int64_t(feedback));
    const int32_t rounded = std::clamp(acc + 2048, -0x8000000, 0x7FFFFFF);
    c->hpX2 = c->hpX1;
    c->hpX1 = in;
    c->hpY2High = c->hpY1High;
    c->hpY2Low = c->hpY1Low;
    c->hpY1High = acc >> 13;
    c->hpY1Low = int16_t((acc & 0x1FFF) * 4);
    return int16_t(rounded >> 12);
}

TEST_P(HighPassTest, KeepsTheSplitFormsBits) {
    const int rate = GetParam();
    Engine e, split;
    if (rate == 16000) {
        e.Set(AEC_PROP_SAMPLE_RATE, 16000);
        split.Set(AEC_PROP_SAMPLE_RATE, 16000);
    }
    // Noise at every level, then full-scale steps and alternations, which
    // drive the accumulator furthest.
    std::vector<int16_t> x = White(12, 6000, 12000);
    for (size_t i = 0; i < 6000; ++i) x.push_back(int16_t((i / 300) % 2 ? -32768 : 32767));
    for (size_t i = 0; i < 2000; ++i) x.push_back(int16_t(i % 2 ? -32768 : 32767));
    AecCanceller& c = e.canceller();
    AecCanceller& r = split.canceller();
    for (size_t at = 0; at < x.size(); at += kPiece) {
        int16_t out[kPiece];
        HighPass(&c, x.data() + at, out, kPiece);
        for (int i = 0; i < kPiece; ++i)
            ASSERT_EQ(out[i], SplitHighPassStep(&r, x[at + size_t(i)])) << at + size_t(i);
        ASSERT_EQ(c.hpY1High, r.hpY1High);
        ASSERT_EQ(c.hpY1Low, r.hpY1Low);
        ASSERT_EQ(c.hpY2High, r.hpY2High);
        ASSERT_EQ(c.hpY2Low, r.hpY2Low);
    }
}

TEST_P(HighPassTest, FullScaleInputNeitherWrapsNorOverflows) {
    const int rate = GetParam();
    Engine e;
    if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    // A full-scale step, then a full-scale tone at half the Nyquist rate and
    // at the Nyquist rate itself.
    std::vector<int16_t> x(3000);
    for (size_t i = 0; i < x.size(); ++i) {
        if (i < 1000)
            x[i] = i < 10 ? -32768 : 32767;
        else if (i < 2000)
            x[i] = int16_t((i / 2) % 2 ? 32767 : -32768);
        else
            x[i] = int16_t(i % 2 ? 32767 : -32768);
    }
    std::vector<int16_t> y(x.size());
    HighPass(&e.canceller(), x.data(), y.data(), int(x.size()));
    auto ref = HighPassModel(x, rate);
    for (size_t i = 0; i < x.size(); ++i) {
        // Never a wrap: wherever the exact response is clearly away from 0,
        // the output is on its side.
        if (std::fabs(ref[i]) > 4000) {
            ASSERT_EQ(y[i] > 0, ref[i] > 0) << i;
        }
    }
    // Once a tone has settled the filter follows the exact response again
    // (clipped to the 16-bit range).
    for (size_t i = 2500; i < x.size(); ++i)
        ASSERT_NEAR(y[i], std::clamp(ref[i], -32768.0, 32767.0), 0.02 * 32768) << i;
}

INSTANTIATE_TEST_SUITE_P(Rates, HighPassTest, testing::Values(8000, 16000));

TEST(AecCore, SilenceOnBothEndsNeverAdaptsAndGivesSilence) {
    Engine e;
    std::vector<int16_t> zeros(16000, 0);
    RunResult r = RunEngine(e.get(), 8000, zeros, zeros, 100);
    EXPECT_EQ(e.canceller().adaptCount, 0);
    EXPECT_EQ(e.canceller().tapEnergyTotal, 0);
    for (int i = 0; i < kMaxTaps; ++i) ASSERT_EQ(e.canceller().taps[i], 0);
    EXPECT_EQ(r.out, zeros);
}

TEST(AecCore, TheFilterGrowsToFullLengthOnceItHasAdaptedEnough) {
    Scene s;
    s.seconds = 3;
    s.farSpurts = false;
    s.Build();
    Engine e;
    AecState* st = e.get();
    const AecCanceller& c = e.canceller();
    std::vector<int16_t> out(80);
    int16_t delay = 100;
    bool grown = false;
    for (size_t f = 0; f < s.mic.size() / 80; ++f) {
        AecSubmit(st, AEC_PIN_FAR_END, s.far.data() + f * 80, 160, nullptr, 0, nullptr);
        AecSubmit(st, AEC_PIN_NEAR_END, s.mic.data() + f * 80, 160, out.data(), 160, &delay);
        if (c.activeLength == c.fullLength) {
            grown = true;
            // It grew in the sub-block after the count passed (L/2) * 10/16.
            EXPECT_GT(c.adaptCount, c.thresholdGrow);
            EXPECT_LE(c.adaptCount, c.thresholdGrow + kSubBlocks);
            break;
        }
        ASSERT_EQ(c.activeLength, c.fullLength / 2);
    }
    EXPECT_TRUE(grown);
}

TEST(AecCore, TheNoiseFloorFollowsADropInTheBackground) {
    // Far end silent; room noise at -40 dBFS for 5 s, then at -50 dBFS.
    const size_t n = 8000 * 7;
    auto loud = echotest::Noise(31, n, -40, false);
    auto soft = echotest::Noise(32, n, -50, false);
    std::vector<double> noise(loud.begin(), loud.begin() + 8000 * 5);
    noise.insert(noise.end(), soft.begin() + 8000 * 5, soft.end());
    auto mic = echotest::ToPcm(noise);
    std::vector<int16_t> far(n, 0);
    Engine e;
    std::vector<int16_t> head(mic.begin(), mic.begin() + 8000 * 5),
        headFar(far.begin(), far.begin() + 8000 * 5);
    RunEngine(e.get(), 8000, headFar, head, 100);
    const double loudMs = echotest::MeanSquare(loud, 0, n),
                 softMs = echotest::MeanSquare(soft, 0, n);
    EXPECT_GT(e.canceller().noiseFloor, 0.5 * loudMs);
    EXPECT_LT(e.canceller().noiseFloor, 4.0 * loudMs);
    std::vector<int16_t> tail(mic.begin() + 8000 * 5, mic.begin() + 8000 * 6), tailFar(8000, 0);
    RunEngine(e.get(), 8000, tailFar, tail, 100);
    // Within a second it has come down to the new background.
    EXPECT_GT(e.canceller().noiseFloor, 0.5 * softMs);
    EXPECT_LT(e.canceller().noiseFloor, 4.0 * softMs);
}

// One sub-block's adaptation decision, starting from "allowed".
bool Adapts(AecCanceller& c) {
    c.adaptFlag = 1;
    AdaptationControl(&c);
    return c.adaptFlag != 0;
}

// A canceller set up by hand for the gate tests: filter grown, floors low.
void Prime(AecCanceller& c) {
    c.frameCounter = 1000;
    c.noiseFloor = 100;
    c.activeLength = c.fullLength;
    c.targetLength = c.fullLength;
}

TEST(AecCore, ElevenLargeErrorsRestoreTheTapsOnceTheFilterIsMature) {
    Engine e;
    AecCanceller& c = e.canceller();
    Prime(c);
    c.adaptFlag = 1;
    c.nearEnergy = 100000;
    c.errorEnergy = 1000000;  // 10 x the near end: between about 5 and 20 x
    c.adaptCount = int16_t(c.threshold2x15 + 1);
    c.backupTaps[3] = 1234;
    c.savedLength = c.fullLength;
    for (int i = 0; i < 10; ++i) DivergenceCheck(&c);
    EXPECT_EQ(c.restoreCount, 0);
    EXPECT_EQ(c.divergenceCounter, 10);
    DivergenceCheck(&c);
    EXPECT_EQ(c.restoreCount, 1);
    EXPECT_EQ(c.taps[3], 1234);
    EXPECT_EQ(c.adaptCount, 0);
    EXPECT_EQ(c.reinitRequest, 0);
}

TEST(AecCore, LargeErrorsOfAYoungFilterOrHugeOnesAskForAFreshStart) {
    {
        Engine e;
        AecCanceller& c = e.canceller();
        Prime(c);
        c.adaptFlag = 1;
        c.nearEnergy = 100000;
        c.errorEnergy = 1000000;
        c.adaptCount = int16_t(c.threshold15 + 1);  // not above 2 * L * 15/16
        for (int i = 0; i < 11; ++i) DivergenceCheck(&c);
        EXPECT_EQ(c.restoreCount, 0);
        EXPECT_EQ(c.reinitRequest, 1);
    }
    {
        Engine e;
        AecCanceller& c = e.canceller();
        Prime(c);
        c.adaptFlag = 1;
        c.nearEnergy = 100000;
        c.errorEnergy = 2500000;  // 25 x: diverged badly
        DivergenceCheck(&c);
        EXPECT_EQ(c.reinitRequest, 1);
    }
    {
        // An interrupted run starts counting again.
        Engine e;
        AecCanceller& c = e.canceller();
        Prime(c);
        c.adaptFlag = 1;
        c.nearEnergy = 100000;
        c.adaptCount = int16_t(c.threshold2x15 + 1);
        for (int i = 0; i < 30; ++i) {
            c.errorEnergy = (i % 10 == 9) ? 100000 : 1000000;
            DivergenceCheck(&c);
        }
        EXPECT_EQ(c.restoreCount, 0);
        EXPECT_EQ(c.reinitRequest, 0);
        // And without adaptation nothing is watched.
        c.adaptFlag = 0;
        c.errorEnergy = 25 * 100000;
        DivergenceCheck(&c);
        EXPECT_EQ(c.reinitRequest, 0);
    }
}

// A far end of 1000 and a near end of 500, but for `active` samples of more
// than five times the far-end peak at the start of sub-block 3; runs the
// activity detector over the sub-frame.
void DetectBurstInSubBlockThree(AecCanceller& c, int active) {
    Prime(c);
    c.noiseFloor = 4;
    fill16(c.history2, 1000, c.history2Length);
    fill16(c.peakHistory, 1000, kPeakHistoryLength);
    fill16(c.nearIn, 500, kPiece);
    for (int j = 0; j < active; ++j) c.nearIn[3 * kSubBlock + j] = 6000;
    for (int sb = 0; sb < kSubBlocks; ++sb) c.activity[sb] = 0;
    for (int sb = 0; sb < kSubBlocks; ++sb) ActivityDetect(&c, sb);
}

TEST(AecCore, TheHangoverGrowsWithTheBurst) {
    const struct {
        int active;
        int32_t loaded;  // per sub-frame of the frame: x 1 at 8 kHz, x 2 at 16 kHz
    } cases[] = {{1, 32}, {2, 128}, {7, 128}, {8, 256}, {12, 256}};
    for (int rate : {8000, 16000}) {
        for (auto k : cases) {
            SCOPED_TRACE(testing::Message() << rate << " " << k.active);
            Engine e;
            if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
            DetectBurstInSubBlockThree(e.canceller(), k.active);
            // Loaded at the last active sample, then one less per quiet sample.
            EXPECT_EQ(e.canceller().hangover,
                      k.loaded * (rate / 8000) - (2 * kSubBlock - k.active));
        }
    }
}

TEST(AecCore, ANearEndBurstFlagsItsSubBlockAndTheTwoBeforeAndStopsAdaptation) {
    Engine e;
    AecCanceller& c = e.canceller();
    DetectBurstInSubBlockThree(c, 4);
    EXPECT_EQ(c.activity[0], 0);
    EXPECT_EQ(c.activity[1], 1);
    EXPECT_EQ(c.activity[2], 1);
    EXPECT_EQ(c.activity[3], 1);
    EXPECT_EQ(c.activity[4], 1);           // the hangover carries on
    EXPECT_EQ(c.hangover, 128 - 12 - 16);  // 128 from the second active sample, then -1 per sample
    // Adaptation is off in a flagged sub-block.
    c.subBlock = 3;
    c.windowFar = int64_t(1) << 40;
    EXPECT_FALSE(Adapts(c));
    c.subBlock = 0;
    EXPECT_TRUE(Adapts(c));
}

TEST(AecCore, AQuietFarEndWindowKeepsAdaptationOff) {
    Engine e;
    AecCanceller& c = e.canceller();
    Prime(c);
    c.farFloor = 1000;
    c.subBlock = 0;
    c.windowFar = 5 * int64_t(c.activeLength) * c.farFloor - 1;  // below 5 x the far floor
    EXPECT_FALSE(Adapts(c));
    c.windowFar = 5 * int64_t(c.activeLength) * c.farFloor * 4;
    EXPECT_TRUE(Adapts(c));
    // Right after initialisation the first sub-frame never adapts.
    c.frameCounter = 1;
    EXPECT_FALSE(Adapts(c));
}

TEST(AecCore, TheStepFollowsHowFarTheErrorStandsAboveTheFloor) {
    Engine e;
    AecCanceller& c = e.canceller();
    Prime(c);
    c.subBlock = 0;
    c.windowFar = int64_t(1) << 40;
    c.adaptCount = int16_t(c.threshold15 + 1);
    const struct {
        int32_t error;
        int32_t step;
    } cases[] = {{300, 0x10000000}, {1000, 357913906}, {100000, 0x20000000}};
    for (auto k : cases) {
        SCOPED_TRACE(k.error);
        c.errorEnergy = k.error;  // floor 100: N = 400
        for (int i = 0; i < 11; ++i) {
            ASSERT_TRUE(Adapts(c));
        }
        EXPECT_EQ(c.stepNumerator, k.step);
    }
}

int SubBlocksToLeaveStateOne(uint16_t stateMachineFlag) {
    Engine e;
    AecCanceller& c = e.canceller();
    c.stateMachineFlag = stateMachineFlag;
    CancellerResetHoldTimes(&c);
    c.state = 1;
    c.holdCounter = 0;
    c.estimateEnergy = 16;
    c.noiseFloor = 16;          // X = 2
    c.nearEnergy = 4 * 200000;  // P far above 4 * T4 * X and 26055
    for (int n = 1; n < 1000; ++n) {
        EchoStateMachine(&c, 0);
        if (c.state != 1) {
            EXPECT_EQ(c.state, 2);
            EXPECT_EQ(c.holdCounter, 10);
            return n;
        }
    }
    return -1;
}

TEST(AecCore, TheStateMachineOptionOnlyShortensTheFirstHold) {
    // +5 per sub-block: leaving once the counter exceeds 32 (long) or 16 (short).
    EXPECT_EQ(SubBlocksToLeaveStateOne(1), 8);
    EXPECT_EQ(SubBlocksToLeaveStateOne(0), 5);
}

TEST(AecCore, EchoOnlySuppressesAndHoldsTheSuppression) {
    Engine e;
    AecCanceller& c = e.canceller();
    c.state = 1;
    c.noiseFloor = 1000;
    c.outputEnergy = 2000;    // residual above 11/32 of the floor
    c.estimateEnergy = 5000;  // echo expected
    c.nearEnergy = 4000;
    EchoStateMachine(&c, 0);
    EXPECT_EQ(c.suppress[0], 1);
    EXPECT_EQ(c.suppressHold, c.factor[4] - 1);
    // Leaving state 1 keeps suppressing for the hold.
    c.state = 3;
    c.nearEnergy = 4 * 10000000;
    EchoStateMachine(&c, 1);
    EXPECT_EQ(c.suppress[1], 1);
    EXPECT_EQ(c.smState[1], 3);
    c.suppressHold = 0;
    EchoStateMachine(&c, 2);
    EXPECT_EQ(c.suppress[2], 0);
    // A very loud far end at the echo position forces echo only.
    c.farEnergyHistory[c.bulkDelay / 16] = 300000000;
    EchoStateMachine(&c, 3);
    EXPECT_EQ(c.state, 1);
}

TEST(AecCore, EchoPositionsBeyondTheEnergyHistoryReadItsLastEntry) {
    Engine e;
    AecCanceller& c = e.canceller();
    c.farEnergyHistory[kFarEnergyHistory - 1] = 777;
    EXPECT_EQ(FarEnergyAt(&c, 100), 777);
    EXPECT_EQ(FarEnergyAt(&c, 128), 777);
    EXPECT_EQ(FarEnergyAt(&c, 200), 777);
    c.bulkDelay = kMaxBulkDelay;
    EchoStateMachine(&c, 0);  // reads entry 128 of 100: must stay in bounds
    BypassLogic(&c);
}

TEST(AecCore, TheOutputRampStaysInRangeAndCapsOutsideStateOne) {
    Engine e;
    AecCanceller& c = e.canceller();
    c.comfortNoiseOn = 0;
    int16_t out[kPiece];
    fill16(c.processed, 10000, kPiece);
    for (int sb = 0; sb < kSubBlocks; ++sb) {
        c.suppress[sb] = 1;
        c.smState[sb] = 1;
    }
    MixOutput(&c, out);
    EXPECT_EQ(c.rampPosition, 320);
    fill16(c.processed, 10000, kPiece);
    MixOutput(&c, out);
    EXPECT_EQ(c.rampPosition, 512);
    EXPECT_EQ(out[kPiece - 1], 0);  // fully attenuated, no comfort noise
    // Suppressed outside state 1: at most half.
    for (int sb = 0; sb < kSubBlocks; ++sb) c.smState[sb] = 3;
    fill16(c.processed, 10000, kPiece);
    MixOutput(&c, out);
    EXPECT_EQ(c.rampPosition, 256);
    EXPECT_EQ(out[0], (256 * 10000 + 256) >> 9);
    // Not suppressed: back to no attenuation.
    for (int sb = 0; sb < kSubBlocks; ++sb) c.suppress[sb] = 0;
    fill16(c.processed, 10000, kPiece);
    MixOutput(&c, out);
    EXPECT_EQ(c.rampPosition, 0);
    EXPECT_EQ(out[kPiece - 1], 10000);
    // Comfort noise fills in what the ramp takes away.
    c.comfortNoiseOn = 1;
    fill16(c.comfort, 100, kPiece);
    fill16(c.processed, 0, kPiece);
    for (int sb = 0; sb < kSubBlocks; ++sb) {
        c.suppress[sb] = 1;
        c.smState[sb] = 1;
    }
    c.rampPosition = 512;
    MixOutput(&c, out);
    EXPECT_EQ(out[5], 100);
}

// One step of the bypass logic from a given far end at the echo position (R),
// near end (N), noise floor (F) and bypass counter; the counter it leaves.
int BypassStep(AecCanceller& c, int32_t r, int32_t n, int32_t f, int16_t y) {
    c.bulkDelay = 0;
    c.farEnergyHistory[0] = r;
    c.nearEnergy = n;
    c.noiseFloor = f;
    c.bypassCounter = y;
    BypassLogic(&c);
    return c.bypassCounter;
}

TEST(AecCore, TheBypassCounterWeighsFarEndAgainstNearEndAndFloor) {
    Engine e;
    AecCanceller& c = e.canceller();
    c.autoOff = 1;
    c.state = 2;
    const int32_t n = 4000, atFloor = 4000, justAbove = 1600;  // N/4 <= 2F/4; 2F/4 < N/4 <= 3F/4
    // Far end more than 500 times the near end: +5 at the floor, nothing
    // just above it, -5 (processing) beyond.
    EXPECT_EQ(BypassStep(c, 501 * n, n, atFloor, 100), 105);
    EXPECT_EQ(BypassStep(c, 501 * n, n, justAbove, 100), 100);
    EXPECT_EQ(BypassStep(c, 501 * n, n, 100, 100), 95);
    // Between 100 and 500 times: +2 at the floor, -1 just above, -5 beyond.
    EXPECT_EQ(BypassStep(c, 450 * n, n, atFloor, 100), 102);
    EXPECT_EQ(BypassStep(c, 101 * n, n, justAbove, 100), 99);
    EXPECT_EQ(BypassStep(c, 101 * n, n, 100, 100), 95);
    // A far end that is not loud (at most 260537) changes nothing.
    EXPECT_EQ(BypassStep(c, 260537, 100, 100, 100), 100);
    // In state 1 a near end above the far end takes 2u off.
    c.state = 1;
    EXPECT_EQ(BypassStep(c, 300000, 400000, 100000, 100), 90);
    // Far end between 1 and 10 times the near end with the near end not far
    // above the floor: -1.
    EXPECT_EQ(BypassStep(c, 2000000, 400000, 100000, 100), 99);
    // The counter stays within 0..1200.
    EXPECT_EQ(BypassStep(c, 300000, 400000, 100000, 3), 0);
    c.state = 2;
    EXPECT_EQ(BypassStep(c, 501 * n, n, atFloor, 1198), 1200);
    // Switched off the steps are u = 3 and v = 6, and the far end's share
    // decides nothing else.
    c.active = 0;
    EXPECT_EQ(BypassStep(c, 450 * n, n, atFloor, 100), 106);
    EXPECT_EQ(BypassStep(c, 501 * n, n, 100, 100), 97);
    EXPECT_EQ(c.active, 0);
}

TEST(AecCore, TheBypassSwitchesOffPastAThousandAndOnAgainAtZero) {
    Engine e;
    AecCanceller& c = e.canceller();
    c.autoOff = 1;
    c.state = 2;
    c.frameCounter = 1500;  // not yet more than 1500 sub-frames
    BypassStep(c, 501 * 4000, 4000, 4000, 1000);
    EXPECT_EQ(c.active, 1);
    c.frameCounter = 1501;
    BypassStep(c, 501 * 4000, 4000, 4000, 1000);
    EXPECT_EQ(c.active, 0);
    EXPECT_EQ(c.state, 1);
    // Echo returns while switched off: at 0 the canceller starts again with
    // auto-off still on, keeping comfort noise, level, bulk delay and the
    // state-machine flag.
    c.comfortNoiseOn = 0;
    c.comfortNoise.level = 1;
    c.stateMachineFlag = 0;
    c.frameCounter = 5000;
    BypassStep(c, 501 * 4000, 4000, 100, 3);
    EXPECT_EQ(c.active, 1);
    EXPECT_EQ(c.autoOff, 1);
    EXPECT_EQ(c.bypassCounter, 0);
    EXPECT_EQ(c.frameCounter, 0u);
    EXPECT_EQ(c.comfortNoiseOn, 0);
    EXPECT_EQ(c.comfortNoise.level, 1);
    EXPECT_EQ(c.stateMachineFlag, 0);
    EXPECT_EQ(c.hold[0], 16);
}

TEST(AecCore, OneActiveSampleFlagsThePreviousSubBlockAndTwoTheTwoBefore) {
    for (int active = 1; active <= 2; ++active) {
        Engine e;
        AecCanceller& c = e.canceller();
        DetectBurstInSubBlockThree(c, active);
        EXPECT_EQ(c.activity[0], 0) << active;
        EXPECT_EQ(c.activity[1], active >= 2 ? 1 : 0) << active;
        EXPECT_EQ(c.activity[2], 1) << active;
        EXPECT_EQ(c.activity[3], 1) << active;
    }
}

}  // namespace
