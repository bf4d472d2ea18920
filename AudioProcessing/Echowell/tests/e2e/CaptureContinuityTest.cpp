// The recording application receives the processed near end without gaps:
// once the filter's start offset has passed, no 10 ms of exact silence stand
// where the microphone had sound, with the clocks together and apart.
#include "EchowellRun.h"

namespace {

using zvecho::EchowellScenarioTest;
using zvecho::Knobs;

struct Clocks {
    LONG SpeakerPpm, CameraPpm;
};

class CaptureContinuityTest : public EchowellScenarioTest,
                              public testing::WithParamInterface<Clocks> {};

// Runs of at least `shortest` exact zeros in `processed` after `from` where
// the raw capture has sound over the same samples: "start s (length)".
std::string SilencedRuns(const std::vector<float>& processed, const std::vector<float>& raw,
                         size_t from, size_t shortest, ULONG rate) {
    std::string found;
    const size_t end = std::min(processed.size(), raw.size());
    for (size_t i = from; i < end;) {
        if (processed[i] != 0.0f) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < end && processed[j] == 0.0f) ++j;
        double sound = 0;
        for (size_t k = i; k < j; ++k) sound += std::abs(raw[k]);
        if (j - i >= shortest && sound > 0)
            found += std::to_string(static_cast<double>(i) / rate) + " s (" +
                     std::to_string(j - i) + ") ";
        i = j;
    }
    return found;
}

TEST_P(CaptureContinuityTest, NoTenMsOfSilenceWhereTheMicrophoneHadSound) {
    BootDefault({.SpeakerPpm = GetParam().SpeakerPpm, .CameraPpm = GetParam().CameraPpm});
    auto run = Run(10, 6);
    ASSERT_EQ(run.R.Status, STATUS_SUCCESS) << run.R.Error;
    const ULONG rate = run.R.CaptureRate;
    ASSERT_GT(run.R.Captured.size(), 9u * rate);
    // Before the first sound, the filter's start offset.
    const auto& c = run.R.Captured;
    const size_t from =
        std::find_if(c.begin(), c.end(), [](float v) { return v != 0; }) - c.begin();
    EXPECT_EQ(SilencedRuns(run.R.Captured, run.R.RawCaptured, from, rate / 100, rate), "");
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, CaptureContinuityTest,
    testing::Values(Clocks{0, 0}, Clocks{500, 0}, Clocks{-500, 0}, Clocks{0, 500}),
    [](const testing::TestParamInfo<Clocks>& info) {
        auto name = [](LONG ppm) {
            return (ppm < 0 ? "Minus" : "Plus") + std::to_string(std::abs(ppm));
        };
        return "Speaker" + name(info.param.SpeakerPpm) + "Camera" + name(info.param.CameraPpm);
    });

}  // namespace
