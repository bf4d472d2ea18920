// Minutes of machine time with the sound card's clock 1000 ppm fast: the
// render stream outpaces the camera's capture.  The processing thread first
// eats into the near-end queue's start offset, then the far-end queue takes up
// the lead, 1 ms a second, far from its 4 s; the application's render thread
// never stalls and the echo is still cancelled at the end.  The queue levels
// are the filter's own, through a bound probe collector.
#include "EchowellRun.h"

namespace {

using zvecho::EchowellProbeTest;

TEST_F(EchowellProbeTest, ASoundCardClockThousandPpmFastNeitherHangsNorLosesTheEcho) {
    BootDefault({.SpeakerPpm = 1000});
    auto run = Run(120, 118);
    ASSERT_EQ(run.R.Status, STATUS_SUCCESS) << run.R.Error;
    // 120 s at +1000 ppm: the sound card consumed faster than the camera
    // produced, by at most its clock's lead (it may run dry now and then).
    auto frames = [](ULONGLONG bytes, const std::vector<uint8_t>& format) {
        return static_cast<double>(bytes) / kp::ks::WaveOf(format).nBlockAlign;
    };
    double ratio = frames(run.R.RenderPosition.PlayOffset, run.R.RenderFormat) /
                   frames(run.R.CapturePosition.WriteOffset, run.R.CaptureFormat);
    EXPECT_GT(ratio, 1.0002);
    EXPECT_LT(ratio, 1.0011);
    EXPECT_GT(run.R.WritesCompleted, 11000u) << "the render thread never stalled";
    // The far-end queue took up the clock's lead and no more: nowhere near its
    // 4 s, so the bounded far-end write never had to drop the far end.
    ExpectFarEndQueueBounded(run, 120, 1000);
    EXPECT_GE(run.ErleDb, 20.0);
    RecordProperty("erle_db", std::to_string(run.ErleDb));
}

}  // namespace
