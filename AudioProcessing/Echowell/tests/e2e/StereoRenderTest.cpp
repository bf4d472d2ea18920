// An application that plays stereo on the sound card while Echowell runs:
// the filter mixes every frame down in place, so the loudspeaker plays the mix
// on both channels and the canceller's far end is what the room carries.
#include <cstring>

#include "EchowellRun.h"

namespace {

using zvecho::EchowellScenarioTest;

constexpr ULONG kRate = 16000;

// The sample the application's runner writes for frame `frame` of a looped
// signal (the same arithmetic as the runner's).
int16_t Written(const std::vector<float>& signal, ULONGLONG frame, ULONG signalRate) {
    double t = static_cast<double>(frame) / kRate;
    double v = signal[static_cast<size_t>(t * signalRate) % signal.size()];
    return static_cast<int16_t>(std::lround(std::clamp(v, -1.0, 32767.0 / 32768.0) * 32768.0));
}

TEST_F(EchowellScenarioTest, AStereoRenderReachesTheLoudspeakerAndTheCancellerAsTheChannelsMix) {
    BootDefault();
    std::vector<float> right;
    ULONG rightRate = 0;
    auto run = Run(6, 6, [&](kp::scenario::Options* o) {
        o->RenderChannels = 2;
        std::string error;
        // The near talker's clip as the second channel: a signal of its own.
        ASSERT_TRUE(kp::scenario::ReadWavMono(
            std::string(KP_SOURCE_DIR) + "/testdata/speech/near_talker_16k.wav", &right, &rightRate,
            &error))
            << error;
        o->FarEndRight = right;
        ASSERT_EQ(rightRate, o->FarRate);
    });
    ASSERT_EQ(run.R.Status, STATUS_SUCCESS) << run.R.Error;
    const WAVEFORMATEX wave = kp::ks::WaveOf(run.R.RenderFormat);
    ASSERT_EQ(wave.nChannels, 2) << "the filter offers the sound card's stereo";
    ASSERT_EQ(wave.nSamplesPerSec, kRate);

    // What the application wrote, channel by channel; the first as played.
    const size_t frames = run.R.Played.size();
    std::vector<int16_t> l(frames), r(frames);
    for (size_t f = 0; f < frames; ++f) {
        l[f] = static_cast<int16_t>(run.R.Played[f] * 32768.0f);
        r[f] = Written(right, f, rightRate);
    }

    std::vector<uint8_t> bytes;
    for (const auto& pin : Device(kp::machine::DefaultDevices()[1].Instance)->PinRecords()) {
        if (!pin.Rendered.empty()) bytes = pin.Rendered;
    }
    std::vector<int16_t> device(bytes.size() / 2);
    std::memcpy(device.data(), bytes.data(), device.size() * 2);
    const size_t played = device.size() / 2;
    // Frames the application wrote before the canceller started pass as they
    // came; there the filter's 70 ms of silence begin.
    size_t start = 0;
    while (start < played && start < frames && device[2 * start] == l[start] &&
           device[2 * start + 1] == r[start])
        ++start;
    const size_t holdBack = kRate * 70 / 1000;
    ASSERT_GT(played, start + holdBack + kRate) << "a second of mixed frames";
    for (size_t f = start; f < start + holdBack; ++f) {
        ASSERT_EQ(device[2 * f], 0) << "frame " << f;
        ASSERT_EQ(device[2 * f + 1], 0) << "frame " << f;
    }
    // Then every frame carries (left + right) / 2, truncated toward zero, in
    // both channels.
    size_t mixed = 0;
    for (size_t f = start + holdBack; f < played && f - holdBack < frames; ++f, ++mixed) {
        const int expected = (l[f - holdBack] + r[f - holdBack]) / 2;
        ASSERT_EQ(device[2 * f], expected) << "frame " << f;
        ASSERT_EQ(device[2 * f + 1], expected) << "frame " << f;
    }
    EXPECT_GT(mixed, 4u * kRate);

    // The room carries the mix, which the canceller took as its far end
    // (44 dB run after run, whatever the host's load).
    EXPECT_GE(run.ErleDb, 40.0);
    RecordProperty("erle_db", std::to_string(run.ErleDb));
}

}  // namespace
