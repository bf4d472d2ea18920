// The canceller on synthetic echo scenes: a planted delay and echo path,
// ERLE after convergence above measured thresholds, no divergence in double
// talk, transparency without far end, recovery after a path change, the
// automatic bypass, comfort-noise levels, robustness and determinism.
#include "AecHarness.h"

#include <cmath>
#include <string>

using namespace aec;
using namespace aectest;
using echotest::ErleDb;

namespace {

size_t Sec(double s, int rate) {
    return size_t(s * rate);
}

// Fingerprints of the reference runs' output (see Determinism below).
constexpr uint64_t kGolden8k = 0x830127211c708c59ull;
// ERLE asserted on recorded speech after convergence (measured above 40 dB).
constexpr double kSpeechErle = 25.0;
constexpr uint64_t kGolden16k = 0x685cbb48a799f043ull;

struct RateCase {
    int rate;
    double steadyErle;  // dB asserted in far-end single talk after convergence
};

class FarEndSingleTalk : public testing::TestWithParam<RateCase> {};

TEST_P(FarEndSingleTalk, ConvergesAndHoldsTheEchoDown) {
    const RateCase rc = GetParam();
    Scene s;
    s.rate = rc.rate;
    s.seconds = 12;
    s.Build();
    Engine e;
    if (rc.rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    e.Set(AEC_PROP_COMFORT_NOISE, 0);
    RunResult r = RunEngine(e.get(), rc.rate, s.far, s.mic, 100);
    // The first frames pass untouched while the delay is learnt.
    const size_t frame = size_t(rc.rate / 100);
    for (size_t i = 0; i < 6 * frame; ++i) ASSERT_EQ(r.out[i], s.mic[i]) << i;
    for (uint32_t st : r.status) ASSERT_EQ(st, AEC_ZV_SUCCESS);
    const size_t window = Sec(0.1, rc.rate);
    // ERLE (echo active windows) in the seconds after 3 s.
    double erle = ErleDb(s.mic, r.out, s.echo, Sec(3, rc.rate), r.out.size(), window);
    EXPECT_GT(erle, rc.steadyErle);
    // And within the first two seconds of far-end activity it already passes 15 dB.
    double early = ErleDb(s.mic, r.out, s.echo, Sec(1, rc.rate), Sec(3, rc.rate), window);
    EXPECT_GT(early, 15.0);
    EXPECT_EQ(e.canceller().activeLength, e.canceller().fullLength);
    EXPECT_EQ(e.canceller().restoreCount, 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, FarEndSingleTalk,
                         testing::Values(RateCase{8000, 25.0}, RateCase{16000, 25.0}),
                         [](const testing::TestParamInfo<RateCase>& i) {
                             return std::to_string(i.param.rate / 1000) + "kHz";
                         });

// Near-end attenuation during double talk: out = alpha * HPF(near) + rest,
// alpha by least squares; returns 20 log10 alpha.
double NearGainDb(const std::vector<int16_t>& out, const std::vector<int16_t>& near, int rate,
                  size_t begin, size_t end) {
    auto hn = HighPassModel(near, rate);
    double num = 0, den = 0;
    for (size_t i = begin; i < end; ++i) {
        num += out[i] * hn[i];
        den += hn[i] * hn[i];
    }
    return 20 * std::log10(std::max(num / den, 1e-6));
}

class DoubleTalk : public testing::TestWithParam<int> {};

TEST_P(DoubleTalk, NeitherDivergesNorSwallowsTheNearEnd) {
    const int rate = GetParam();
    Scene s;
    s.rate = rate;
    s.seconds = 12;
    s.farSpurts = false;
    s.nearTalk = {{5.0, 7.0}};
    s.Build();
    Engine e;
    if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    e.Set(AEC_PROP_COMFORT_NOISE, 0);
    RunResult r = RunEngine(e.get(), rate, s.far, s.mic, 100);
    const size_t window = Sec(0.1, rate);
    double before = ErleDb(s.mic, r.out, s.echo, Sec(3.5, rate), Sec(5, rate), window);
    double after = ErleDb(s.mic, r.out, s.echo, Sec(8, rate), Sec(10, rate), window);
    EXPECT_GT(before, 25.0);
    EXPECT_GT(after, before - 3.0);  // no divergence: one second after the talk it is as good
    // The near talker comes through, attenuated by no more than 6 dB.
    EXPECT_GT(NearGainDb(r.out, s.nearTalker, rate, Sec(5.2, rate), Sec(7, rate)), -6.0);
    EXPECT_EQ(e.canceller().restoreCount, 0);
    // The 16 kHz crossfade between error and near end does not click: no step
    // in the output beyond what the input has.
    int maxStepIn = 0, maxStepOut = 0;
    for (size_t i = 1; i < r.out.size(); ++i) {
        maxStepIn = std::max(maxStepIn, std::abs(s.mic[i] - s.mic[i - 1]));
        maxStepOut = std::max(maxStepOut, std::abs(r.out[i] - r.out[i - 1]));
    }
    EXPECT_LE(maxStepOut, maxStepIn * 5 / 4);
}

INSTANTIATE_TEST_SUITE_P(Rates, DoubleTalk, testing::Values(8000, 16000));

TEST(NearEndSingleTalk, PassesTheNearEndThroughTheHighPassOnly) {
    for (int rate : {8000, 16000}) {
        SCOPED_TRACE(rate);
        Scene s;
        s.rate = rate;
        s.seconds = 5;
        s.nearTalk = {{0.0, 5.0}};
        s.Build();
        std::fill(s.far.begin(), s.far.end(), int16_t(0));
        // The microphone hears only the near talker and the room noise.
        s.mic = echotest::ToPcm(
            echotest::Mix({std::vector<double>(s.nearTalker.begin(), s.nearTalker.end()),
                           echotest::Noise(s.seed + 3, s.nearTalker.size(), s.noiseDbfs, false)}));
        Engine e;
        if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
        RunResult r = RunEngine(e.get(), rate, s.far, s.mic, 100);
        auto expected = HighPassModel(s.mic, rate);
        double level =
            echotest::RatioDb(echotest::MeanSquare(r.out.data(), Sec(1, rate), r.out.size()),
                              echotest::MeanSquare(expected, Sec(1, rate), expected.size()));
        EXPECT_NEAR(level, 0.0, 1.0);
        // Sample by sample: nothing but the high-pass happened to it.
        double err = 0;
        for (size_t i = Sec(1, rate); i < r.out.size(); ++i)
            err += (r.out[i] - expected[i]) * (r.out[i] - expected[i]);
        EXPECT_LT(err / double(r.out.size() - Sec(1, rate)), 4.0);
    }
}

TEST(EchoPathChange, RecoversWithinThreeSeconds) {
    for (int rate : {8000, 16000}) {
        SCOPED_TRACE(rate);
        Scene s;
        s.rate = rate;
        s.seconds = 16;
        s.pathChangeAt = 10;
        s.Build();
        Engine e;
        if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
        e.Set(AEC_PROP_COMFORT_NOISE, 0);
        RunResult r = RunEngine(e.get(), rate, s.far, s.mic, 100);
        EXPECT_GT(ErleDb(s.mic, r.out, s.echo, Sec(13, rate), r.out.size(), Sec(0.1, rate)), 15.0);
        // Bounded throughout: never louder than the microphone by more than 1 dB.
        for (auto v : echotest::WindowErle(s.mic, r.out, s.echo, 0, r.out.size(), Sec(0.1, rate)))
            EXPECT_GT(v, -1.0);
    }
}

struct DelayCase {
    double trueMs;
    int16_t reportedMs;
    double minErle;
};

class ReportedDelay : public testing::TestWithParam<DelayCase> {};

TEST_P(ReportedDelay, CancelsWhileTheWindowCoversTheEcho) {
    const DelayCase dc = GetParam();
    Scene s;
    s.seconds = 10;
    s.delayMs = dc.trueMs;
    s.Build();
    Engine e;
    e.Set(AEC_PROP_COMFORT_NOISE, 0);
    RunResult r = RunEngine(e.get(), 8000, s.far, s.mic, dc.reportedMs);
    EXPECT_GT(ErleDb(s.mic, r.out, s.echo, Sec(4, 8000), r.out.size(), 800), dc.minErle);
}

// Reporting 20 ms too little still works: the window starts before the echo
// and the 64 ms tail covers it.  (Reporting too much puts the echo before the
// window: a limit of the design, not tested as a fault.)  A delay under one
// piece (10 ms) keeps the piece the frame needs in the FIFO: dropping it
// would leave the canceller with a dry FIFO and a far end that never moves.
INSTANTIATE_TEST_SUITE_P(Delays, ReportedDelay,
                         testing::Values(DelayCase{100, 100, 25.0}, DelayCase{100, 80, 25.0},
                                         DelayCase{250, 250, 25.0}, DelayCase{40, 40, 25.0},
                                         DelayCase{5, 5, 25.0}));

TEST(ReportedDelay, ADelayChangeWithAnUpdatedReportIsFollowed) {
    Scene a, b;
    a.seconds = b.seconds = 14;
    a.delayMs = 100;
    b.delayMs = 140;
    a.Build();
    b.Build();
    // Same far end; the echo path's delay grows by 40 ms at 7 s.
    std::vector<int16_t> mic = a.mic, echo = a.echo;
    std::copy(b.mic.begin() + long(Sec(7, 8000)), b.mic.end(), mic.begin() + long(Sec(7, 8000)));
    std::copy(b.echo.begin() + long(Sec(7, 8000)), b.echo.end(), echo.begin() + long(Sec(7, 8000)));
    std::vector<int16_t> delays(mic.size() / 80, 100);
    std::fill(delays.begin() + 700, delays.end(), int16_t(140));
    Engine e;
    e.Set(AEC_PROP_COMFORT_NOISE, 0);
    RunResult r = RunEngine(e.get(), 8000, a.far, mic, 0, &delays);
    EXPECT_GT(ErleDb(mic, r.out, echo, Sec(10, 8000), r.out.size(), 800), 20.0);
}

class AutomaticBypassRate : public testing::TestWithParam<int> {};

TEST_P(AutomaticBypassRate, SwitchesOffWithoutEchoAndOnWhenEchoReturns) {
    const int rate = GetParam();
    const size_t frame = size_t(rate / 100);
    const long subFrames = rate / 8000;  // per 10 ms frame
    Scene quiet, echoing;
    quiet.rate = echoing.rate = rate;
    quiet.seconds = echoing.seconds = 28;
    quiet.erlDb = 300;  // the loudspeaker does not reach the microphone
    quiet.Build();
    echoing.Build();
    std::vector<int16_t> mic = quiet.mic;
    const size_t echoFrom = Sec(20, rate);
    std::copy(echoing.mic.begin() + long(echoFrom), echoing.mic.end(),
              mic.begin() + long(echoFrom));
    Engine e;
    if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    ASSERT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_AUTO_OFF, 1), 0u);
    AecState* st = e.get();
    std::vector<int16_t> out(mic.size());
    int16_t delay = 100;
    long offAt = -1, onAt = -1;
    uint32_t activeWhileOff = 1;
    for (size_t f = 0; f < mic.size() / frame; ++f) {
        AecSubmit(st, AEC_PIN_FAR_END, quiet.far.data() + f * frame, uint32_t(2 * frame), nullptr,
                  0, nullptr);
        AecSubmit(st, AEC_PIN_NEAR_END, mic.data() + f * frame, uint32_t(2 * frame),
                  out.data() + f * frame, uint32_t(2 * frame), &delay);
        if (offAt < 0 && !e.canceller().active) {
            offAt = long(f);
            AecConfig config;
            AecReadConfig(st, &config);
            activeWhileOff = config.active;
        }
        if (offAt >= 0 && onAt < 0 && e.canceller().active) onAt = long(f);
    }
    // Off after more than 1500 sub-frames (the learning frames come first).
    EXPECT_GT(offAt * subFrames, 1500);
    EXPECT_LT(offAt * subFrames, 1600);
    EXPECT_EQ(activeWhileOff, 0u);
    // While off the output is the near end through the high-pass only.
    auto expected = HighPassModel(mic, rate);
    const size_t from = size_t(offAt + 10) * frame;
    double err = 0;
    for (size_t i = from; i < echoFrom; ++i) err += (out[i] - expected[i]) * (out[i] - expected[i]);
    EXPECT_LT(err / double(echoFrom - from), 4.0);
    // Echo comes back at 20 s: on again within about four seconds, with auto-off still 1.
    EXPECT_GT(onAt, long(echoFrom / frame));
    EXPECT_LT(onAt, long(echoFrom / frame) + 400);
    EXPECT_EQ(e.canceller().autoOff, 1);
}

INSTANTIATE_TEST_SUITE_P(Rates, AutomaticBypassRate, testing::Values(8000, 16000));

TEST(AutomaticBypass, NeverActsWithAutoOffZero) {
    Scene s;
    s.seconds = 25;
    s.erlDb = 300;
    s.Build();
    Engine e;
    AecState* st = e.get();
    std::vector<int16_t> out(80);
    int16_t delay = 100;
    for (size_t f = 0; f < s.mic.size() / 80; ++f) {
        AecSubmit(st, AEC_PIN_FAR_END, s.far.data() + f * 80, 160, nullptr, 0, nullptr);
        AecSubmit(st, AEC_PIN_NEAR_END, s.mic.data() + f * 80, 160, out.data(), 160, &delay);
        ASSERT_EQ(e.canceller().active, 1) << f;
    }
    EXPECT_EQ(e.canceller().bypassCounter, 0);
}

// Output level over the windows of clear echo after 10 s, relative to the room noise
// as the high-pass leaves it.
double ComfortLevelDb(int rate, uint16_t parameter) {
    Scene s;
    s.rate = rate;
    s.seconds = 20;
    s.noiseDbfs = -45;
    s.pinkNoise = true;
    s.Build();
    Engine e;
    if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    e.Set(AEC_PROP_COMFORT_NOISE, parameter);
    RunResult r = RunEngine(e.get(), rate, s.far, s.mic, 100);
    auto noise = echotest::ToPcm(HighPassModel(
        echotest::ToPcm(echotest::Noise(s.seed + 3, s.mic.size(), s.noiseDbfs, true)), rate));
    const size_t window = Sec(0.1, rate);
    double out = 0, background = 0;
    for (size_t w = Sec(10, rate); w + window <= r.out.size(); w += window) {
        if (echotest::LevelDbfs(s.echo.data(), w, w + window) < -35) continue;  // clearly in echo
        out += echotest::MeanSquare(r.out.data(), w, w + window);
        background += echotest::MeanSquare(noise.data(), w, w + window);
    }
    return echotest::RatioDb(out, background);
}

class ComfortNoise : public testing::TestWithParam<int> {};

TEST_P(ComfortNoise, FillsSuppressedEchoAtTheLevelsTheParameterAsks) {
    const int rate = GetParam();
    const double level2 = ComfortLevelDb(rate, 3), level1 = ComfortLevelDb(rate, 2),
                 level0 = ComfortLevelDb(rate, 1), off = ComfortLevelDb(rate, 0);
    RecordProperty("level2_dB", int(level2));
    EXPECT_GT(level2, -6.0);  // 0.75 of the background: about -2.5 dB
    EXPECT_LT(level2, 2.0);
    EXPECT_NEAR(level1, -12.0, 4.0);
    EXPECT_GT(level2, level1 + 6.0);
    EXPECT_GT(level1, level0 + 4.0);
    EXPECT_GE(level0, off - 0.5);
    EXPECT_LT(off, level2 - 12.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, ComfortNoise, testing::Values(8000, 16000));

TEST(Robustness, ClippedFarEndLoudBurstsAndBadFramesAreHandled) {
    Scene s;
    s.seconds = 6;
    s.farDbfs = -3;  // clipped far end
    s.erlDb = 3;
    s.Build();
    for (size_t i = Sec(3, 8000); i < Sec(3, 8000) + 400; ++i)
        s.mic[i] = -32768;  // a burst at full scale
    Engine e;
    RunResult r = RunEngine(e.get(), 8000, s.far, s.mic, 100);
    for (uint32_t st : r.status) EXPECT_EQ(st, AEC_ZV_SUCCESS);
    // Nothing louder comes out than went in (plus rounding of the high-pass).
    double in = echotest::MeanSquare(s.mic.data(), 0, r.out.size());
    double out = echotest::MeanSquare(r.out.data(), 0, r.out.size());
    EXPECT_LT(out, in * 1.1);
    // Random frame sizes are refused without touching the output.
    echotest::Rng rng(99);
    std::vector<int16_t> buffer(400, 123), output(400, 7);
    int16_t delay = 100;
    for (int i = 0; i < 200; ++i) {
        uint32_t bytes = uint32_t(rng.Next() % 800);
        if (bytes / 2 == 80 || bytes / 2 == 160) continue;  // whole frames (an odd byte is ignored)
        EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_FAR_END, buffer.data(), bytes, nullptr, 0, nullptr),
                  AEC_ZV_FAILED);
        EXPECT_EQ(
            AecSubmit(e.get(), AEC_PIN_NEAR_END, buffer.data(), bytes, output.data(), 800, &delay),
            AEC_ZV_FAILED);
    }
    EXPECT_EQ(output, std::vector<int16_t>(400, 7));
}

// One of the recorded speech clips at `rate` (8000 or 16000); false when
// the clip is not there.
bool LoadClip(const char* name, int rate, std::vector<double>* out) {
    std::vector<int16_t> clip;
    int clipRate = 0;
    if (!echotest::ReadWav16((std::string(ZV_SPEECH_DIR "/") + name).c_str(), &clip, &clipRate))
        return false;
    EXPECT_EQ(clipRate, 16000);
    out->assign(clip.begin(), clip.end());
    if (rate == 8000) *out = echotest::Decimate2(*out);
    return true;
}

// Far-end single talk on recorded speech: the adaptive filter's own echo
// reduction, the near end (after the high-pass) against the filter's error,
// before the echo control's suppression and comfort noise.  Sub-frames are
// sampled after each 10 ms frame (the last sub-frame of a 16 kHz frame).
class LinearEchoReduction : public testing::TestWithParam<int> {};

TEST_P(LinearEchoReduction, TheFilterAloneRemovesTheEchoOfRecordedSpeech) {
    const int rate = GetParam();
    std::vector<double> far;
    if (!LoadClip("far_talker_16k.wav", rate, &far))
        GTEST_SKIP() << "speech clips not found in " ZV_SPEECH_DIR;
    const size_t n = std::min(far.size(), Sec(16, rate));
    far.resize(n);
    echotest::EchoPathParams ep;
    ep.rate = rate;
    ep.delayMs = 100;
    ep.erlDb = 10;
    ep.lengthMs = 64;
    auto echo = echotest::Convolve(far, echotest::EchoImpulse(ep));
    auto mic = echotest::ToPcm(echotest::Mix({echo, echotest::Noise(5, n, -60, false)}));
    auto farPcm = echotest::ToPcm(far);
    Engine e;
    if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    e.Set(AEC_PROP_COMFORT_NOISE, 0);
    const AecCanceller& c = e.canceller();
    const size_t frame = size_t(rate / 100);
    std::vector<int16_t> out(frame);
    int16_t delay = 100;
    double nearSum = 0, errorSum = 0;
    for (size_t f = 0; f < n / frame; ++f) {
        ASSERT_EQ(AecSubmit(e.get(), AEC_PIN_FAR_END, farPcm.data() + f * frame,
                            uint32_t(2 * frame), nullptr, 0, nullptr),
                  0u);
        ASSERT_EQ(AecSubmit(e.get(), AEC_PIN_NEAR_END, mic.data() + f * frame, uint32_t(2 * frame),
                            out.data(), uint32_t(2 * frame), &delay),
                  0u);
        if (f * frame < Sec(4, rate)) continue;
        const double nearMs = echotest::MeanSquare(c.nearIn, 0, kPiece);
        if (nearMs < 100.0) continue;  // the far end pauses: no echo to measure
        nearSum += nearMs;
        errorSum += echotest::MeanSquare(c.errors, 0, kPiece);
    }
    const double reduction = echotest::RatioDb(nearSum, errorSum);
    RecordProperty("linear_echo_reduction_dB", int(reduction));
    EXPECT_GT(reduction, 25.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, LinearEchoReduction, testing::Values(8000, 16000));

// Recorded speech: a spoken far end through the echo path, a spoken near
// end in double talk.
class RecordedSpeech : public testing::TestWithParam<int> {};

TEST_P(RecordedSpeech, CancelsTheEchoOfASpokenFarEndAndKeepsTheNearTalker) {
    const int rate = GetParam();
    std::vector<double> far, near;
    if (!LoadClip("far_talker_16k.wav", rate, &far) ||
        !LoadClip("near_talker_16k.wav", rate, &near))
        GTEST_SKIP() << "speech clips not found in " ZV_SPEECH_DIR;
    const size_t n = std::min(far.size(), Sec(24, rate));
    far.resize(n);
    // The near talker speaks from 14 s to 18 s.
    std::vector<double> nearTalk(n, 0.0);
    for (size_t i = Sec(14, rate); i < Sec(18, rate) && i - Sec(14, rate) < near.size(); ++i)
        nearTalk[i] = near[i - Sec(14, rate)];
    echotest::EchoPathParams ep;
    ep.rate = rate;
    auto echo = echotest::Convolve(far, echotest::EchoImpulse(ep));
    auto mic = echotest::ToPcm(echotest::Mix({echo, nearTalk, echotest::Noise(5, n, -60, false)}));
    auto farPcm = echotest::ToPcm(far), echoPcm = echotest::ToPcm(echo),
         nearPcm = echotest::ToPcm(nearTalk);
    Engine e;
    if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    e.Set(AEC_PROP_COMFORT_NOISE, 0);
    RunResult r = RunEngine(e.get(), rate, farPcm, mic, 100);
    const size_t window = Sec(0.1, rate);
    double before = ErleDb(mic, r.out, echoPcm, Sec(4, rate), Sec(14, rate), window);
    double after = ErleDb(mic, r.out, echoPcm, Sec(19, rate), r.out.size(), window);
    RecordProperty("erle_before_dt", int(before));
    RecordProperty("erle_after_dt", int(after));
    EXPECT_GT(before, kSpeechErle);
    // No divergence through the double talk: still cancelling strongly (where
    // the suppression silences the output entirely, ERLE runs far past 30 dB).
    EXPECT_GT(after, std::min(before, 30.0) - 3.0);
    EXPECT_GT(NearGainDb(r.out, nearPcm, rate, Sec(14.2, rate), Sec(18, rate)), -6.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, RecordedSpeech, testing::Values(8000, 16000));

// One fixed 20-second run with far-end talk, double talk and a path change.
std::vector<int16_t> ReferenceRun(int rate) {
    Scene s;
    s.rate = rate;
    s.seconds = 20;
    s.nearTalk = {{6.0, 8.0}, {14.0, 15.0}};
    s.pathChangeAt = 11;
    s.Build();
    Engine e;
    if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    return RunEngine(e.get(), rate, s.far, s.mic, 100).out;
}

TEST(Determinism, AFixedRunGivesTheSameOutput) {
    auto first = ReferenceRun(8000);
    auto second = ReferenceRun(8000);
    EXPECT_EQ(first, second);
    // A regression guard: the output of this build, optimised or not.
    EXPECT_EQ(echotest::Fingerprint(first), kGolden8k) << std::hex << echotest::Fingerprint(first);
    EXPECT_EQ(echotest::Fingerprint(ReferenceRun(16000)), kGolden16k)
        << std::hex << echotest::Fingerprint(ReferenceRun(16000));
}

// Every setting that changes the engine's path (rate, tail, state-machine
// hold, comfort noise, auto-off) on the reference scene and on recorded
// speech keeps its exact output: a regression guard for the engine's
// arithmetic, whatever the code's shape.
struct Setting {
    int rate;
    uint16_t tail, stateMachine, comfortNoise, autoOff;
    bool speech;
    uint64_t fingerprint;
};

class EveryConfiguration : public testing::TestWithParam<Setting> {};

TEST_P(EveryConfiguration, KeepsItsExactOutput) {
    const Setting st = GetParam();
    std::vector<int16_t> far, mic;
    if (st.speech) {
        std::vector<double> f, n;
        if (!LoadClip("far_talker_16k.wav", st.rate, &f) ||
            !LoadClip("near_talker_16k.wav", st.rate, &n))
            GTEST_SKIP() << "speech clips not found in " ZV_SPEECH_DIR;
        const size_t len = std::min(f.size(), Sec(12, st.rate));
        f.resize(len);
        std::vector<double> talk(len, 0.0);
        for (size_t i = Sec(7, st.rate); i < Sec(9, st.rate) && i - Sec(7, st.rate) < n.size(); ++i)
            talk[i] = n[i - Sec(7, st.rate)];
        echotest::EchoPathParams ep;
        ep.rate = st.rate;
        auto echo = echotest::Convolve(f, echotest::EchoImpulse(ep));
        far = echotest::ToPcm(f);
        mic = echotest::ToPcm(echotest::Mix({echo, talk, echotest::Noise(9, len, -55, true)}));
    } else {
        Scene s;
        s.rate = st.rate;
        s.seconds = 12;
        s.nearTalk = {{6.0, 7.5}};
        s.pathChangeAt = 9;
        s.Build();
        far = s.far;
        mic = s.mic;
    }
    Engine e;
    if (st.rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    e.Set(AEC_PROP_TAIL_LENGTH, st.tail);
    e.Set(AEC_PROP_STATE_MACHINE, st.stateMachine ? 10 : 0);
    e.Set(AEC_PROP_COMFORT_NOISE, st.comfortNoise);
    e.Set(AEC_PROP_AUTO_OFF, st.autoOff);
    const uint64_t fp = echotest::Fingerprint(RunEngine(e.get(), st.rate, far, mic, 100).out);
    EXPECT_EQ(fp, st.fingerprint) << std::hex << "0x" << fp;
}

INSTANTIATE_TEST_SUITE_P(Settings, EveryConfiguration,
                         testing::Values(Setting{8000, 64, 1, 3, 0, false, 0xb89a0ab84bd4c302ull},
                                         Setting{8000, 32, 1, 3, 0, false, 0xfe9fe1e198ebb6fdull},
                                         Setting{8000, 64, 0, 0, 0, false, 0x16dfd7ed5e5531bcull},
                                         Setting{8000, 32, 0, 2, 1, false, 0x3e0d8f4790431fdaull},
                                         Setting{16000, 64, 1, 3, 0, false, 0xe3431e3063047725ull},
                                         Setting{16000, 32, 1, 3, 0, false, 0x26f63817f621de4bull},
                                         Setting{16000, 64, 0, 0, 0, false, 0x437d7043a129cd29ull},
                                         Setting{16000, 32, 0, 2, 1, false, 0xa49a3612758304f2ull},
                                         Setting{8000, 64, 1, 3, 0, true, 0x55d88f2589e6c666ull},
                                         Setting{8000, 32, 0, 1, 0, true, 0x306c4dab59b6b11full},
                                         Setting{16000, 64, 1, 3, 0, true, 0xc83787efacfea063ull},
                                         Setting{16000, 32, 0, 1, 0, true, 0x8c335d7607c1cb64ull}));

}  // namespace
