// What the filter reports to a probe collector bound at the master's start:
// the wave correlator's delay estimate and the queue levels, on the default
// machine with speech.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "EchowellRun.h"

namespace {

using zvecho::EchowellProbeTest;

constexpr ULONG kRate = 16000;  // both pins: 16-bit mono

// The first sample where two streams differ (their common length when none).
template <class A, class B>
size_t FirstDifference(const A& a, const B& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return i;
    }
    return n;
}

// The first channel of 16-bit frames of `channels` samples.
std::vector<int16_t> FirstChannel(const std::vector<uint8_t>& bytes, ULONG channels) {
    std::vector<int16_t> out(bytes.size() / 2 / channels);
    for (size_t f = 0; f < out.size(); ++f) std::memcpy(&out[f], &bytes[f * 2 * channels], 2);
    return out;
}

class CorrelatorTest : public EchowellProbeTest, public ::testing::WithParamInterface<ULONG> {};

// The correlator compares the far end as the application wrote it (queue 1)
// with the near end as the camera delivered it (queue 3), pass by pass.  Its
// delay is therefore the echo's lag between the played and the raw capture
// streams plus how far into each stream the canceller started: the render
// stream where the device then played the hold-back's silence, the capture
// stream where the application then got the processed stream.
TEST_P(CorrelatorTest, FindsTheEchosLagBetweenTheStreamsItPairs) {
    BootDefault({.EchoDelayMs = GetParam()});
    auto run = Run(6, 6);
    ASSERT_EQ(run.R.Status, STATUS_SUCCESS) << run.R.Error;
    ASSERT_EQ(run.R.PlayRate, kRate);
    ASSERT_EQ(run.R.CaptureRate, kRate);
    // The room's path behind the render hold-back.
    EXPECT_NEAR(run.EchoDelayMs, 70.0 + GetParam(), 1.0);

    std::vector<int16_t> played;
    for (float v : run.R.Played) played.push_back(static_cast<int16_t>(v * 32768.0f));
    std::vector<int16_t> rendered;
    for (const auto& pin : Device(kp::machine::DefaultDevices()[1].Instance)->PinRecords()) {
        if (!pin.Rendered.empty())
            rendered = FirstChannel(pin.Rendered, kp::ks::WaveOf(run.R.RenderFormat).nChannels);
    }
    const size_t holdBack = kRate * 70 / 1000;
    size_t renderStart = FirstDifference(played, rendered);
    ASSERT_GE(rendered.size(), renderStart + holdBack);
    for (size_t i = renderStart; i < renderStart + holdBack; ++i)
        ASSERT_EQ(rendered[i], 0) << "the hold-back at " << renderStart << ", sample " << i;
    size_t captureStart = FirstDifference(run.R.RawCaptured, run.R.Captured);
    ASSERT_LT(captureStart, run.R.Captured.size());

    const double expected =
        run.EchoDelayMs +
        (static_cast<double>(renderStart) - static_cast<double>(captureStart)) * 1000.0 / kRate;
    // One estimate per pass, in milliseconds; it is final once the correlator
    // trusts it, well before the last second.
    auto delays = collector_.Values(4);
    ASSERT_GE(delays.size(), 500u);
    for (size_t i = delays.size() - 100; i < delays.size(); ++i)
        ASSERT_NEAR(static_cast<double>(delays[i]), expected, 2.0) << "pass " << i;
    RecordProperty("correlator_ms", std::to_string(delays.back()));
}

INSTANTIATE_TEST_SUITE_P(RoomPaths, CorrelatorTest, ::testing::Values(40u, 75u),
                         [](const auto& info) { return std::to_string(info.param) + "ms"; });

// The far-end queue with one device's clock 1000 ppm off the other's.
struct DriftCase {
    const char* Name;
    LONG SpeakerPpm, CameraPpm;
};
void PrintTo(const DriftCase& c, std::ostream* os) {
    *os << c.Name;
}

class QueueLevelTest : public EchowellProbeTest, public ::testing::WithParamInterface<DriftCase> {};

TEST_P(QueueLevelTest, TheFarEndQueueStaysAFewBuffersDeepWithAClockOff) {
    const DriftCase& c = GetParam();
    BootDefault({.SpeakerPpm = c.SpeakerPpm, .CameraPpm = c.CameraPpm});
    const double seconds = 6;
    auto run = Run(seconds, seconds);
    ASSERT_EQ(run.R.Status, STATUS_SUCCESS) << run.R.Error;
    ExpectFarEndQueueBounded(run, seconds, c.SpeakerPpm - c.CameraPpm);
}

INSTANTIATE_TEST_SUITE_P(Clocks, QueueLevelTest,
                         ::testing::Values(DriftCase{"SoundCardFast", 1000, 0},
                                           DriftCase{"CameraFast", 0, 1000},
                                           DriftCase{"SoundCardSlow", -1000, 0}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
