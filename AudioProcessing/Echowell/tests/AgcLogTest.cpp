// The gain control's volume steps in the log at level 1, the level of the
// logic's lines that no other level is asked for: a step names the volume it
// set, in hex and in decimal.
#include "AgcMachine.h"
#include "kp/dbgsink.h"

namespace zvecho {
namespace {

TEST_F(AgcMachineTest, AVolumeStepIsLoggedAtLevelOne) {
    using Log = LogModule<LogModuleFilterLogic>;
    const ULONG level = Log::Level(), enable = Log::Enable();
    Log::ModuleSetLevel(1, 1);
    LoudNearEnd(0.6);
    SetControl(10, 1);
    Start();
    if (HasFatalFailure()) return Log::ModuleSetLevel(level, enable);
    KpDbgClear();
    StreamBlocks(30, silence_);
    const bool passed = AwaitOutPasses(30);
    const std::string log = KpDbgText();
    Log::ModuleSetLevel(level, enable);
    ASSERT_TRUE(passed);
    const LONG volume = kPreset - 103784;
    EXPECT_EQ(CameraVolume(), volume) << "a cycle of a loud near end steps down";
    char line[64];
    std::snprintf(line, sizeof line, "DoAGC>> Volume set is 0x%lx %ld\n",
                  static_cast<unsigned long>(volume), static_cast<long>(volume));
    EXPECT_NE(log.find(line), std::string::npos) << line;
    ASSERT_EQ(speaker_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(mic_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
}

}  // namespace
}  // namespace zvecho
