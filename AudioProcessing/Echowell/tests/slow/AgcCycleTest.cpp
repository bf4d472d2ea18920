// The gain control over several of its cycles and a 500-block pause: a loud
// near end steps the camera down to the bottom of the range, the clamp there
// pauses the control, and quiet speech afterwards steps it back up.
#include "AgcMachine.h"

namespace zvecho {
namespace {

constexpr LONG kStep = 103784;

TEST_F(AgcMachineTest, ALoudNearEndReachesTheBottomPausesAndQuietSpeechClimbsBack) {
    LoudNearEnd(1.2);  // clipped at first; its peaks stay above 13000 six steps down
    SetControl(10, 1);
    SetControl(11, 1);  // the near end as the camera delivered it
    Start();
    if (HasFatalFailure()) return;
    // The far-end queue's drift steering makes passes trail the blocks
    // streamed a little: the checks sit a few blocks off each decision.
    struct Check {
        LONGLONG Passes;
        LONG Volume;
    } const checks[] = {
        {25, kPreset},
        {35, kPreset - kStep},
        {165, kPreset - 5 * kStep},
        {195, 2980778},  // a sixth step would leave the range: clamped, 500 blocks' pause
        {300, 2980778},
        {700, 2980778},  // the pause ends at block 680, the next cycle at 710
        {720, 2980778 + kStep},
        {750, 2980778 + 2 * kStep},
    };
    for (const Check& c : checks) {
        SCOPED_TRACE(testing::Message() << c.Passes << " blocks");
        for (int i = 0; i < 2000 && InterlockedExchangeAdd64(&g_AecTiming.OutPasses, 0) < c.Passes;
             ++i) {
            StreamBlocks(1, silence_);
            if (HasFatalFailure()) return;
            for (int k = 0;
                 k < 20 && InterlockedExchangeAdd64(&g_AecTiming.OutPasses, 0) < c.Passes; ++k)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const LONGLONG passes = InterlockedExchangeAdd64(&g_AecTiming.OutPasses, 0);
        ASSERT_GE(passes, c.Passes);
        ASSERT_LT(passes, c.Passes + 5);
        EXPECT_EQ(CameraVolume(), c.Volume);
        // Speech quiet enough to step up, even at the top of the range (-20 dB of full scale).
        if (c.Passes == 300) LoudNearEnd(0.1);
    }
}

}  // namespace
}  // namespace zvecho
