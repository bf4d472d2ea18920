// kssim's echowell figures against rooms whose echo is known: the delay found
// wherever the canceller may meet it, and "not measured" (NaN) in place of a
// figure the run cannot give.  No filter on the camera, so the raw capture is
// the processed one: the added latency is 0 and the enhancement 0 dB.
#include <cmath>
#include <fstream>

#include "Runner.h"
#include "SimTestSupport.h"

namespace kp::simtest {
namespace {

class KssimFiguresTest : public SimTest {
protected:
    // A machine folder written by hand (so kssim keeps it): the default
    // devices (the sound card's clock SpeakerPpm off), one echo path of
    // DelayMs, the generated near end.
    kp::scenario::Measures RunScenario(ULONG delayMs, double seconds, double farOnly,
                                       LONG speakerPpm = 0) {
        char room[600];
        std::snprintf(room, sizeof room,
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room\\Paths\\0]\r\n\"From\"="
                      "\"speaker\"\r\n\"To\"=\"camera\"\r\n\"DelayMs\"=dword:%08x\r\n"
                      "\"GainPermille\"=dword:0000013c\r\n\"TailMs\"=dword:0000001e\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room\\NearEnd\\camera]\r\n"
                      "\"GainPermille\"=dword:000001f4\r\n\r\n",
                      delayMs);
        std::vector<kp::machine::SimDevice> devices = kp::machine::DefaultDevices();
        devices[1].ClockOffsetPpm = speakerPpm;
        std::ofstream(folder_ / "registry.reg", std::ios::binary)
            << kp::machine::RegistryText(devices, room);
        kp::scenario::Settings s;
        s.Machine = folder_;
        s.Out = folder_ / "out";
        s.Quiet = true;
        s.Stream.Seconds = seconds;
        s.FarOnly = farOnly;
        kp::scenario::Measures m;
        EXPECT_EQ(kp::scenario::RunEchowellScenario(s, &m), 0);
        return m;
    }
};

TEST_F(KssimFiguresTest, TheEchoDelayIsFoundAcrossTheCancellersRange) {
    for (ULONG delay : {40u, 150u, 320u, 490u}) {
        SCOPED_TRACE(delay);
        auto m = RunScenario(delay, 3.5, 2.0);
        EXPECT_NEAR(m["echo_delay_ms"], delay, 0.1);
        EXPECT_NEAR(m["added_latency_ms"], 0.0, 0.1);
        EXPECT_NEAR(m["erle_db"], 0.0, 0.01);
        TearDown();
        SetUp();
    }
}

// A far-end phase that lasts to the run's end is measured as far as the
// recordings reach; on a drifting clock the delay at the phase's start and
// at its end, 1 ms apart per second at 1000 ppm.
TEST_F(KssimFiguresTest, TheDelayIsMeasuredToThePhasesEndAndAtBothEndsOfADrift) {
    auto m = RunScenario(150, 10, 10);
    EXPECT_NEAR(m["echo_delay_ms"], 150, 0.1);
    EXPECT_NEAR(m["echo_delay_end_ms"], 150, 0.1);
    TearDown();
    SetUp();
    m = RunScenario(150, 12, 12, 1000);
    EXPECT_NEAR(m["echo_delay_ms"], 150, 4) << m["echo_delay_end_ms"];
    EXPECT_NEAR(m["echo_delay_ms"] - m["echo_delay_end_ms"], 10, 2.5) << m["echo_delay_end_ms"];
}

TEST_F(KssimFiguresTest, WhatARunCannotMeasureIsNotMeasured) {
    struct Case {
        const char* Name;
        double Seconds, FarOnly;
        bool Delay, Latency;
    } cases[] = {
        // No double talk: the processed capture cannot be aligned, so no ERLE.
        {"far end only", 2.5, 2.5, true, false},
        // A far-end phase shorter than the lags searched: no delay either.
        {"a short run", 0.05, -1, false, false},
        {"a short far-end phase", 1.5, 0.5, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        auto m = RunScenario(320, c.Seconds, c.FarOnly);
        EXPECT_EQ(std::isnan(m["echo_delay_ms"]), !c.Delay) << m["echo_delay_ms"];
        EXPECT_EQ(std::isnan(m["added_latency_ms"]), !c.Latency) << m["added_latency_ms"];
        if (!c.Latency) {
            EXPECT_TRUE(std::isnan(m["erle_db"])) << m["erle_db"];
        }
        TearDown();
        SetUp();
    }
}

}  // namespace
}  // namespace kp::simtest
