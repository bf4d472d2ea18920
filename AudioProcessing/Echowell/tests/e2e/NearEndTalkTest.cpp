// The near talker reaches the recording application whole through the double
// talk: where the far end is silent the microphone hears the near talker
// alone, and the processed capture carries the same speech, later by the
// filter's added latency.
#include "EchowellRun.h"

namespace {

using zvecho::EchowellScenarioTest;

double EnergyOf(const std::vector<float>& x, size_t from, size_t to) {
    double e = 0;
    for (size_t i = from; i < to && i < x.size(); ++i) e += double(x[i]) * x[i];
    return e;
}

TEST_F(EchowellScenarioTest, TheNearTalkerComesThroughWhereTheFarEndIsSilent) {
    BootDefault();
    constexpr double kFarOnly = 5, kSeconds = 16;
    auto run = Run(kSeconds, kFarOnly);
    ASSERT_EQ(run.R.Status, STATUS_SUCCESS) << run.R.Error;
    const std::vector<float>& raw = run.R.RawCaptured;
    const std::vector<float>& processed = run.R.Captured;
    const std::vector<float>& played = run.R.Played;
    const ULONG rate = run.R.CaptureRate, playRate = run.R.PlayRate;
    ASSERT_EQ(raw.size(), processed.size());
    ASSERT_GT(raw.size(), static_cast<size_t>(kSeconds - 1) * rate);
    ASSERT_FALSE(std::isnan(run.EchoDelayMs));
    // The double talk, from its first half second on.
    const auto talk = static_cast<size_t>((kFarOnly + 0.5) * rate);
    const size_t end = raw.size() - rate / 4;
    // The processed capture trails the raw one by the filter's added latency:
    // the lag at which the two agree best over the double talk.
    const std::vector<float> rawTalk(raw.begin() + long(talk), raw.begin() + long(end));
    const std::vector<float> processedTalk(processed.begin() + long(talk), processed.end());
    const auto lagged = kp::scenario::MeasureEcho(rawTalk, rate, processedTalk, rate, 250.0);
    const auto lag = static_cast<size_t>(std::lround(lagged.DelayMs * rate / 1000.0));
    RecordProperty("added_latency_ms", std::to_string(lagged.DelayMs));
    EXPECT_GT(lagged.DelayMs, 20.0) << "the filter holds the capture back";
    EXPECT_LT(lagged.DelayMs, 200.0);
    // Windows of 20 ms in which the microphone hears no echo (nothing was
    // played over the echo delay and the room's 30 ms tail before it) but the
    // near talker (30 dB above the room's noise).
    const size_t window = rate / 50;
    const double echoMs = run.EchoDelayMs, noise = 3e-4 * 3e-4 * double(window);
    double cross = 0, rawEnergy = 0, processedEnergy = 0;
    size_t windows = 0;
    for (size_t w = talk; w + window + lag <= processed.size() && w + window <= end; w += window) {
        const double from = double(w) / rate - (echoMs + 40.0) / 1000.0,
                     to = double(w + window) / rate - (echoMs - 10.0) / 1000.0;
        const double farEnergy = EnergyOf(played, static_cast<size_t>(from * playRate),
                                          static_cast<size_t>(to * playRate));
        if (farEnergy > 3e-5 * (to - from) * playRate) continue;  // -45 dBFS
        if (EnergyOf(raw, w, w + window) < 1000 * noise) continue;
        for (size_t i = w; i < w + window; ++i) {
            cross += double(raw[i]) * processed[i + lag];
            rawEnergy += double(raw[i]) * raw[i];
            processedEnergy += double(processed[i + lag]) * processed[i + lag];
        }
        ++windows;
    }
    RecordProperty("windows", std::to_string(windows));
    ASSERT_GE(windows, 25u) << "half a second of the near talker alone";
    const double correlation = cross / std::sqrt(rawEnergy * processedEnergy);
    RecordProperty("correlation", std::to_string(correlation));
    // 0.92-0.94 found: the echo control still attenuates the first tens of
    // ms after some far-end pauses begin, and the engine's high-pass takes
    // the lowest tones.
    EXPECT_GE(correlation, 0.9);
}

}  // namespace
