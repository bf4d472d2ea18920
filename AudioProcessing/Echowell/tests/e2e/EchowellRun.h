// kssim's echo-cancelling scenario on the test fixture's machine: the default
// devices with Echowell.sys on the camera as master, the far end played on the
// sound card, the near end off for a first phase, then double talk.
#pragma once

#include <algorithm>
#include <cmath>

#include "MachineFixture.h"
#include "Scenario.h"
#include "WavFile.h"

namespace zvecho {

struct EchowellRun {
    kp::scenario::Result R;
    double ErleDb = NAN;       // converged end of the far-end phase
    double EchoDelayMs = NAN;  // played far end to raw capture
};

class EchowellScenarioTest : public zvtest::MachineTest {
protected:
    // Boots the default machine with the filter; Speaker adjusts the sound card.
    void BootDefault(LONG speakerPpm = 0, bool speakerMdl = false) {
        UseDriverImage("Echowell", ECHOWELL_IMAGE);
        auto devices = kp::machine::DefaultDevices();
        devices[0].UpperFilters = {"Echowell"};
        devices[0].DriverOptions = {{"ZAECAudioFilterMaster", 1}};
        devices[1].ClockOffsetPpm = speakerPpm;
        devices[1].KernelStreamMdl = speakerMdl;
        // The fixture reads no WAV files: the near end is set from the test.
        std::string room = kp::machine::DefaultRoomText();
        const std::string file = "\"File\"=\"C:\\\\Program Files\\\\KpSim\\\\near.wav\"";
        size_t at = room.find(file);
        if (at != std::string::npos) room.replace(at, file.size(), "\"File\"=\"\"");
        BootMachine(devices, room);
    }

    // Runs Seconds of speech with the near end off for FarOnly seconds.
    EchowellRun Run(double seconds, double farOnly) {
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
        run.R = kp::scenario::Run(o);
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

}  // namespace zvecho
