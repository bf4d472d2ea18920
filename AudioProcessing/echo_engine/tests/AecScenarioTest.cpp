// The canceller on synthetic echo scenes: a planted delay and echo path,
// ERLE after convergence above measured thresholds, no divergence in double
// talk, transparency without far end, recovery after a path change, the
// automatic bypass, comfort-noise levels, robustness and determinism.
#include "AecHarness.h"

using namespace aec;
using namespace aectest;
using echotest::ErleDb;

namespace {

size_t Sec(double s, int rate) { return size_t(s * rate); }

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

INSTANTIATE_TEST_SUITE_P(Rates, FarEndSingleTalk, testing::Values(RateCase{8000, 25.0}, RateCase{16000, 25.0}),
                         [](const testing::TestParamInfo<RateCase>& i) {
                             return std::to_string(i.param.rate / 1000) + "kHz";
                         });

}  // namespace
