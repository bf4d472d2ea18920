// Applications with buffers from 10 ms to a second, longer than the filter's
// 500 ms near-end rings and its 570 ms render pass-through ring: every
// buffer is processed (the echo cancelled in what the recording application
// receives) and the loudspeaker plays exactly what the playing application
// wrote, 70 ms later.
#include <cstring>

#include "EchowellRun.h"

namespace {

using zvecho::EchowellScenarioTest;

class LongBufferTest : public EchowellScenarioTest, public testing::WithParamInterface<ULONG> {};

// The device's rendered samples against the application's: those written
// before the canceller started pass as they came, then the 70 ms hold-back
// of silence, then every written sample in order.  A far end that begins
// with silence leaves the switch point open: the first one that fits.
void ExpectRenderedIsWrittenSeventyMsLater(const std::vector<int16_t>& device,
                                           const std::vector<int16_t>& written, ULONG rate,
                                           size_t* switchedAt) {
    const size_t holdBack = rate * 70 / 1000;
    ASSERT_GT(device.size(), holdBack + 2 * rate) << "two seconds played";
    auto fits = [&](size_t start, size_t* mismatch) {
        for (size_t f = start; f < start + holdBack; ++f) {
            if (device[f] != 0) return *mismatch = f, false;
        }
        for (size_t f = start + holdBack; f < device.size() && f - holdBack < written.size(); ++f) {
            if (device[f] != written[f - holdBack]) return *mismatch = f, false;
        }
        return true;
    };
    size_t start = 0, mismatch = 0, latest = 0;
    for (; start + holdBack < device.size(); ++start) {
        if (fits(start, &mismatch)) break;
        latest = std::max(latest, mismatch);
        ASSERT_EQ(device[start], written[start]) << "no switch point fits; the latest mismatch "
                                                 << "came at frame " << latest;
    }
    *switchedAt = start;
}

TEST_P(LongBufferTest, EveryBufferLengthIsProcessedAndPlayedWhole) {
    const ULONG ms = GetParam();
    BootDefault();
    auto run = Run(12, 10, [&](kp::scenario::Options* o) {
        o->WriteMs = ms;
        o->ReadMs = ms;
        o->InFlight = ms >= 600 ? 2 : 4;
    });
    ASSERT_EQ(run.R.Status, STATUS_SUCCESS) << run.R.Error;
    RecordProperty("erle_db", std::to_string(run.ErleDb));

    std::vector<uint8_t> bytes;
    for (const auto& pin : Device(kp::machine::DefaultDevices()[1].Instance)->PinRecords()) {
        if (!pin.Rendered.empty()) bytes = pin.Rendered;
    }
    // Channel 0 of every frame the sound card played.
    const WAVEFORMATEX wave = kp::ks::WaveOf(run.R.RenderFormat);
    ASSERT_GT(wave.nBlockAlign, 0);
    std::vector<int16_t> device(bytes.size() / wave.nBlockAlign);
    for (size_t f = 0; f < device.size(); ++f)
        std::memcpy(&device[f], bytes.data() + f * wave.nBlockAlign, 2);
    std::vector<int16_t> written(run.R.Played.size());
    for (size_t f = 0; f < written.size(); ++f)
        written[f] = static_cast<int16_t>(run.R.Played[f] * 32768.0f);
    size_t switched = 0;
    ExpectRenderedIsWrittenSeventyMsLater(device, written, run.R.PlayRate, &switched);
    // What the application queued before the pins ran passes as it came.
    EXPECT_LE(switched, run.R.PlayRate * (ms * (ms >= 600 ? 2 : 4) + 100) / 1000);

    // The recording application received processed audio, as much as the
    // device delivered.
    EXPECT_EQ(run.R.RawCaptured.size(), run.R.Captured.size());
    // Past the start, every 10 ms block came through the canceller (and its
    // latency): none is the raw microphone's.  How much echo is removed
    // varies with where the processing thread's passes fall against
    // buffers this long (2-57 dB seen, recorded as erle_db).
    const size_t block = run.R.CaptureRate / 100;
    size_t blocks = 0, raw = 0;
    for (size_t at = 2 * run.R.CaptureRate; at + block <= run.R.Captured.size(); at += block) {
        ++blocks;
        raw += std::equal(run.R.Captured.begin() + static_cast<long>(at),
                          run.R.Captured.begin() + static_cast<long>(at + block),
                          run.R.RawCaptured.begin() + static_cast<long>(at));
    }
    EXPECT_GT(blocks, 500u);
    EXPECT_EQ(raw, 0u) << "of " << blocks << " blocks";
}

INSTANTIATE_TEST_SUITE_P(Milliseconds, LongBufferTest, testing::Values(10u, 100u, 600u, 1000u));

}  // namespace
