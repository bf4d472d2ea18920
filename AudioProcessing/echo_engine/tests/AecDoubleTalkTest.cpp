// Double talk on recorded speech with a known echo path: the far-end clip
// through a room echo path (100 ms, 10 dB echo return loss, 64 ms tail) and,
// from 12 s on, the near-end clip talking over it.  Because the echo and the
// near talker are known apart, the output minus the clean near end (through
// the engine's high-pass) is the echo the engine leaves, and the filter's
// error minus the clean near end is what the adaptive filter alone leaves.
//
// The activity detector counts a near-end sample as talk only when it stands
// above the far-end peak scaled by sqrt(6 x the taps' energy): with a 10 dB
// echo return loss that is 0.75 x the far-end peak and more (it rises as the
// taps grow), well above most samples of a near talker 9 dB louder than the
// echo.  So the filter keeps adapting through
// most of the double talk, the near talker drags its taps away within the
// first second, and little of the echo comes off while both talk, although
// the same filter removes some 30 dB of it in far-end single talk.  The test
// measures the three stages and holds each to the level found.
#include "AecHarness.h"
#include "DoubleTalkScene.h"

#include <cmath>
#include <string>

using namespace aec;
using namespace aectest;

namespace doubletalk {

size_t At(double seconds, int rate) {
    return size_t(seconds * rate);
}

struct Figures {
    double linearSingle = 0;  // dB the filter removes, far end alone (4-12 s)
    double linearOnset = 0;   // dB the filter removes in the talk's first half second
    double linearDouble = 0;  // dB the filter removes while both talk, after that
    double outputDouble = 0;  // dB the whole engine removes while both talk
    double adaptedShare = 0;  // of the double talk's sub-blocks, adapted
    double nearSnrOut = 0;    // near talker over what else the output holds
    double nearSnrMic = 0;    // the same in the microphone
};

double Db(double num, double den) {
    return echotest::RatioDb(num, den);
}

Figures MeasureDoubleTalk(int rate, bool* found) {
    Figures fig;
    const size_t frame = size_t(rate / 100), n = At(20, rate);
    echotest::DoubleTalkScene scene;
    *found = echotest::MakeDoubleTalkScene(ZV_SPEECH_DIR, rate, n, At(12, rate), &scene);
    if (!*found) return fig;
    const size_t talkFrom = scene.talkFrom;
    const auto& echo = scene.echo;
    const auto& nearTalk = scene.nearTalk;
    const auto& noise = scene.noise;
    const auto mic = echotest::Microphone(scene);
    const auto farPcm = echotest::ToPcm(scene.far);
    // What the engine's high-pass makes of each part on its own.
    const auto hpEcho = HighPassModel(echotest::ToPcm(echo), rate);
    const auto hpClean = HighPassModel(echotest::ToPcm(echotest::Mix({nearTalk, noise})), rate);
    const auto hpTalker = HighPassModel(echotest::ToPcm(nearTalk), rate);

    Engine e;
    if (rate == 16000) e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    e.Set(AEC_PROP_COMFORT_NOISE, 0);
    const AecCanceller& c = e.canceller();
    std::vector<int16_t> out(n);
    int16_t delay = 100;
    double echoSingle = 0, leftSingle = 0, echoOnset = 0, leftOnset = 0, echoDouble = 0,
           leftDouble = 0;
    long adapted = 0, subBlocks = 0;
    const size_t doubleFrom = talkFrom + At(0.5, rate);  // the talker's first syllable
    for (size_t f = 0; f < n / frame; ++f) {
        const int16_t countBefore = c.adaptCount;
        EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_FAR_END, farPcm.data() + f * frame,
                            uint32_t(2 * frame), nullptr, 0, nullptr),
                  0u);
        EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_NEAR_END, mic.data() + f * frame, uint32_t(2 * frame),
                            out.data() + f * frame, uint32_t(2 * frame), &delay),
                  0u);
        const size_t at = f * frame;
        if (at < At(4, rate)) continue;
        // The filter's error of the frame's last sub-frame.
        const size_t piece = at + frame - kPiece;
        double echoEnergy = 0, leftEnergy = 0;
        for (int i = 0; i < kPiece; ++i) {
            const double left = c.errors[i] - hpClean[piece + size_t(i)];
            echoEnergy += hpEcho[piece + size_t(i)] * hpEcho[piece + size_t(i)];
            leftEnergy += left * left;
        }
        if (at + frame <= talkFrom) {
            echoSingle += echoEnergy;
            leftSingle += leftEnergy;
        } else if (at < doubleFrom) {
            echoOnset += echoEnergy;
            leftOnset += leftEnergy;
        } else {
            echoDouble += echoEnergy;
            leftDouble += leftEnergy;
            // Sub-blocks adapted in this frame (the count only rises, by one
            // per adapted sub-block, unless the canceller restarts).
            if (c.adaptCount >= countBefore) adapted += c.adaptCount - countBefore;
            subBlocks += kSubBlocks * (rate / 8000);
        }
    }
    fig.linearSingle = Db(echoSingle, leftSingle);
    fig.linearOnset = Db(echoOnset, leftOnset);
    fig.linearDouble = Db(echoDouble, leftDouble);
    fig.adaptedShare = double(adapted) / double(subBlocks);
    double echoOut = 0, leftOut = 0, talker = 0, restOut = 0, restMic = 0;
    for (size_t i = doubleFrom; i < n; ++i) {
        const double left = out[i] - hpClean[i];
        echoOut += hpEcho[i] * hpEcho[i];
        leftOut += left * left;
        talker += hpTalker[i] * hpTalker[i];
        restOut += (out[i] - hpTalker[i]) * (out[i] - hpTalker[i]);
        const double micRest = hpEcho[i] + hpClean[i] - hpTalker[i];
        restMic += micRest * micRest;
    }
    fig.outputDouble = Db(echoOut, leftOut);
    fig.nearSnrOut = Db(talker, restOut);
    fig.nearSnrMic = Db(talker, restMic);
    return fig;
}

class DoubleTalkMeasured : public testing::TestWithParam<int> {};

TEST_P(DoubleTalkMeasured, TheEchoLeftWhileBothTalkIsHeldToTheLevelFound) {
    const int rate = GetParam();
    bool found = false;
    const Figures fig = MeasureDoubleTalk(rate, &found);
    if (!found) GTEST_SKIP() << "speech clips not found in " ZV_SPEECH_DIR;
    RecordProperty("linear_single_dB", int(std::lround(fig.linearSingle)));
    RecordProperty("linear_double_dB", int(std::lround(fig.linearDouble)));
    RecordProperty("output_double_dB", int(std::lround(fig.outputDouble)));
    RecordProperty("adapted_percent", int(std::lround(100 * fig.adaptedShare)));
    RecordProperty("snr_out_dB", int(std::lround(fig.nearSnrOut)));
    RecordProperty("snr_mic_dB", int(std::lround(fig.nearSnrMic)));
    RecordProperty("linear_onset_dB", int(std::lround(fig.linearOnset)));
    // Far end alone the filter removes some 32-33 dB of the echo.
    EXPECT_GT(fig.linearSingle, 28.0);
    // The near talker's first half second still finds most of that (22-24 dB) ...
    EXPECT_GT(fig.linearOnset, 16.0);
    EXPECT_LT(fig.linearOnset, fig.linearSingle);
    // ... because the detector holds only about half of the double talk's
    // sub-blocks (46-49 %); the other half adapt on the talker ...
    EXPECT_GT(fig.adaptedShare, 0.3);
    EXPECT_LT(fig.adaptedShare, 0.7);
    // ... and from then on the filter leaves about as much echo as there was
    // (-2.3 to 0.2 dB), and so does the output (-0.9 to 0.3 dB): the state
    // machine stops suppressing while the talker speaks.
    EXPECT_GT(fig.linearDouble, -6.0);
    EXPECT_LT(fig.linearDouble, 4.0);
    EXPECT_GT(fig.outputDouble, -5.0);
    EXPECT_LT(fig.outputDouble, 4.0);
    // The talker stands above the rest of the output about as far as above
    // the rest of the microphone (-0.9 to +0.3 dB found): what the filter
    // adds makes up for what the output selection takes off.
    EXPECT_GT(fig.nearSnrOut, fig.nearSnrMic - 3.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, DoubleTalkMeasured, testing::Values(8000, 16000));

}  // namespace doubletalk
