// Half a minute of machine time with the loudspeaker's or the microphone's
// clock 200 ppm off: the echo in the raw capture slides against what was
// played by 0.2 ms a second, each way.
#include <cmath>

#include "SimTestSupport.h"

namespace kp::simtest {
namespace {

using RoomDriftTest = SimTest;

TEST_F(RoomDriftTest, TwoHundredPpmMoveTheEchoByTheirRateOverHalfAMinute) {
    struct Case {
        LONG SpeakerPpm, CameraPpm;
        double MsPerSecond;
    } cases[] = {{200, 0, -0.2}, {-200, 0, 0.2}, {0, 200, 0.2}, {0, -200, -0.2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.SpeakerPpm << " " << c.CameraPpm);
        Boot(SpeakerAndCamera(c.SpeakerPpm, c.CameraPpm),
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room\\Paths\\0]\r\n\"From\"=\"spk\"\r\n"
             "\"To\"=\"cam\"\r\n\"DelayMs\"=dword:00000050\r\n\"GainPermille\"=dword:000001f4\r\n"
             "\"TailMs\"=dword:00000014\r\n\r\n");
        kp::scenario::Options o;
        o.Seconds = 30;
        o.FarEnd = Noise(31 * o.FarRate);
        auto r = kp::scenario::Run(o);
        ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
        ASSERT_GT(r.Captured.size(), 29.5 * r.CaptureRate);
        double early = DelayMsAt(r, 0.5, 60), late = DelayMsAt(r, 28.5, 60);
        EXPECT_NEAR((late - early) / 28.0, c.MsPerSecond, 0.1 * std::abs(c.MsPerSecond));
        TearDown();
        SetUp();
    }
}

}  // namespace
}  // namespace kp::simtest
