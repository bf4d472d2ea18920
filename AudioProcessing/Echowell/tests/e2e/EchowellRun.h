// kssim's echo-cancelling scenario on the test fixture's machine: the default
// devices with Echowell.sys on the camera as master, the far end played on the
// sound card, the near end off for a first phase, then double talk.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

#include "kp/machinetest.h"
#include "kp/restingclock.h"
#include "ProbeCollector.h"
#include "Scenario.h"
#include "WavFile.h"

namespace zvecho {

struct EchowellRun {
    kp::scenario::Result R;
    double ErleDb = NAN;       // converged end of the far-end phase
    double EchoDelayMs = NAN;  // played far end to raw capture
};

// What a test changes of the default machine.
struct Knobs {
    LONG SpeakerPpm = 0;      // the sound card's sample clock against the machine's
    LONG CameraPpm = 0;       // the camera's
    bool SpeakerMdl = false;  // an MDL on the filter's own render requests
    ULONG EchoDelayMs = 40;   // the room's path from the loudspeaker to the microphone
};

class EchowellScenarioTest : public kp::testing::MachineTest {
protected:
    static void Replace(std::string* text, const std::string& from, const std::string& to) {
        size_t at = text->find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text->replace(at, from.size(), to);
    }

    // Boots the default machine with the filter.
    void BootDefault(const Knobs& knobs = {}) {
        UseDriverImage("Echowell", ECHOWELL_IMAGE);
        auto devices = kp::machine::DefaultDevices();
        devices[0].UpperFilters = {"Echowell"};
        devices[0].DriverOptions = {{"ZAECAudioFilterMaster", 1}};
        devices[0].ClockOffsetPpm = knobs.CameraPpm;
        devices[1].ClockOffsetPpm = knobs.SpeakerPpm;
        devices[1].KernelStreamMdl = knobs.SpeakerMdl;
        // The fixture reads no WAV files: the near end is set from the test.
        std::string room = kp::machine::DefaultRoomText();
        Replace(&room, "\"File\"=\"C:\\\\Program Files\\\\KpSim\\\\near.wav\"", "\"File\"=\"\"");
        char delay[40];
        std::snprintf(delay, sizeof delay, "\"DelayMs\"=dword:%08x", knobs.EchoDelayMs);
        Replace(&room, "\"DelayMs\"=dword:00000028", delay);
        BootMachine(devices, room);
    }

    // Runs Seconds of speech with the near end off for FarOnly seconds;
    // Adjust changes the application's options.
    EchowellRun Run(double seconds, double farOnly,
                    const std::function<void(kp::scenario::Options*)>& adjust = {}) {
        EchowellRun run;
        kp::scenario::Options o;
        o.Seconds = seconds;
        o.ThreadImage = "Echowell.sys";
        std::string error;
        std::string speech = std::string(KP_SOURCE_DIR) + "/testdata/speech/";
        EXPECT_TRUE(
            kp::scenario::ReadWavMono(speech + "far_talker_16k.wav", &o.FarEnd, &o.FarRate, &error))
            << error;
        kp::sim::NearEnd near;
        near.Device = "camera";
        EXPECT_TRUE(kp::scenario::ReadWavMono(speech + "near_talker_16k.wav", &near.Samples,
                                              &near.Rate, &error))
            << error;
        near.Enabled = false;
        kp::sim::RoomSetNearEnd(near);
        o.Actions = {{farOnly, [] { kp::sim::RoomEnableNearEnd("camera", true); }}};
        if (adjust) adjust(&o);
        // The requests go down on the thread that moves the stepped clock: a
        // filter waiting in one for machine time would stop the run for good.
        kp::testing::RunBounded([&] { run.R = kp::scenario::Run(o); }, std::chrono::minutes(5),
                                "the run (a request waits for machine time?)");
        // Every step came to rest: the run does not depend on the host's load.
        EXPECT_EQ(run.R.UnsettledSteps, 0u);
        const ULONG rate = run.R.CaptureRate;
        auto far = static_cast<size_t>(farOnly * rate);
        if (run.R.RawCaptured.size() < far || run.R.Captured.size() < far) return run;
        std::vector<float> played(
            run.R.Played.begin(),
            run.R.Played.begin() + static_cast<long>(std::min(far, run.R.Played.size())));
        std::vector<float> raw(run.R.RawCaptured.begin(),
                               run.R.RawCaptured.begin() + static_cast<long>(far));
        run.EchoDelayMs = kp::scenario::MeasureEcho(played, run.R.PlayRate, raw, rate).DelayMs;
        size_t to = far - rate / 10, from = to - std::min(to / 2, 2 * static_cast<size_t>(rate));
        run.ErleDb =
            kp::scenario::ErleDb(run.R.RawCaptured, run.R.Captured, from, to, 0, rate / 10);
        return run;
    }
};

// The same with a recording collector that answers on the camera from its
// creation, so the master binds its probes to it at the boot: the filter's
// probe values reach the test.
class EchowellProbeTest : public EchowellScenarioTest {
protected:
    void SetUp() override {
        EchowellScenarioTest::SetUp();
        const std::string camera = kp::machine::DefaultDevices()[0].Instance;
        collector_.AttachAtBoot(std::u16string(camera.begin(), camera.end()));
        collector_.RecordOnly({"main.11"});
    }

    // Queue 1 holds what the application wrote since the thread's last pass:
    // about 10 ms (a few buffers more where a loaded host let the thread fall
    // behind the manual clock).  Two clocks apart add their lead over the run
    // at most.  Silence inserted into the far end, or a far end the thread
    // stopped reading, grows it by milliseconds every 10; a drift correction
    // that added the render device's whole buffered time instead of its change
    // by 2-3 ms a second, which the minutes-long run shows.  Its level, in bytes of
    // the render format, is reported once every 100 passes (probe value 0).
    void ExpectFarEndQueueBounded(const EchowellRun& run, double seconds, LONG ppmApart) const {
        const double bytesPerMs = kp::ks::WaveOf(run.R.RenderFormat).nAvgBytesPerSec / 1000.0;
        const double bound = 50.0 + seconds * std::abs(ppmApart) / 1000.0;
        auto levels = collector_.Values(0);
        ASSERT_GE(levels.size(), static_cast<size_t>(seconds) - 2) << "reported every second";
        for (size_t i = 0; i < levels.size(); ++i)
            EXPECT_LE(levels[i] / bytesPerMs, bound) << "report " << i;
    }

    // A member, so it goes after TearDown has shut the machine down: the
    // master's removal releases the interfaces through it.
    zvtest::RecordingCollector collector_;
};

}  // namespace zvecho
