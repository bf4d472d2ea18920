// A processing thread that wakes late is normal on a busy machine: with every
// wake-up of the filter's thread delayed by a random 0-30 ms of machine time
// (a sequence fixed per seed), the echo is cancelled as well as on a quiet
// machine.
#include "EchowellRun.h"
#include "kp/thread.h"

#ifndef ZV_ECHOWELL_LATE_WAKE_SEEDS
#define ZV_ECHOWELL_LATE_WAKE_SEEDS 3
#endif

namespace {

using zvecho::EchowellScenarioTest;

class LateWakeTest : public EchowellScenarioTest, public testing::WithParamInterface<ULONG> {
protected:
    void TearDown() override {
        KpSetThreadWakeDelay(nullptr, 0, 0);
        EchowellScenarioTest::TearDown();
    }
};

TEST_P(LateWakeTest, TheEchoIsCancelledAsOnAQuietMachine) {
    BootDefault();
    auto quiet = Run(7, 5);
    ASSERT_EQ(quiet.R.Status, STATUS_SUCCESS) << quiet.R.Error;
    KpSetThreadWakeDelay("Echowell.sys", 30, GetParam());
    const ULONGLONG delayed = KpThreadWakeDelayMs();
    auto late = Run(7, 5);
    // Seconds of delays over the run: most passes begin late.
    EXPECT_GT(KpThreadWakeDelayMs() - delayed, 3000u) << "the thread woke late";
    ASSERT_EQ(late.R.Status, STATUS_SUCCESS) << late.R.Error;
    RecordProperty("quiet_erle_db", std::to_string(quiet.ErleDb));
    RecordProperty("late_erle_db", std::to_string(late.ErleDb));
    RecordProperty("delayed_ms", std::to_string(KpThreadWakeDelayMs() - delayed));
    EXPECT_GE(quiet.ErleDb, 45.0);
    EXPECT_GE(late.ErleDb, quiet.ErleDb - 3.0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, LateWakeTest,
                         testing::Range<ULONG>(1, 1 + ZV_ECHOWELL_LATE_WAKE_SEEDS));

}  // namespace
