// Half a minute of machine time with the loudspeaker's or the microphone's
// clock 200 ppm off: the echo in the raw capture slides against what was
// played by 0.2 ms a second, each way.
#include "SimTestSupport.h"

namespace kp::simtest {
namespace {

using RoomDriftTest = SimTest;

TEST_F(RoomDriftTest, TwoHundredPpmMoveTheEchoByTheirRateOverHalfAMinute) {
    ExpectEchoSlide(200, 30);
}

}  // namespace
}  // namespace kp::simtest
