// Probe slots: the trapped, live and unbound fillings, module registration and
// the dispatch hook.
#include "FrameworkTestSupport.h"

namespace {

using zvtest::FrameworkTest;

// Calls slot `index` with harmless arguments.
ULONG_PTR CallSlot(ULONG index) {
    switch (index) {
        case 0:
            ProbeInit(nullptr, nullptr, nullptr);
            break;  // not reached while live: see the tests
        case 1:
            ProbeShutdown();
            break;
        case 2:
            ProbeHookDispatch(nullptr);
            break;
        case 3:
            ProbeUnhookDispatch();
            break;
        case 4:
            return static_cast<ULONG_PTR>(ProbeRegisterModule("Test", 1, nullptr));
        case 5:
            ProbeTrace(1, "line");
            break;
        case 6:
            ProbeEnter(0);
            break;
        case 7:
            ProbeLeave(0);
            break;
        case 8:
            ProbeDefineCounter(1);
            break;
        case 9:
            ProbeAddCounter(5, -40);
            break;
        case 10:
            ProbeSetCounter(6, 1);
            break;
        case 11:
            ProbeNameTimer(5, "timer");
            break;
        case 12:
            ProbeTimerStart(5);
            break;
        case 13:
            ProbeTimerStop(5);
            break;
        case 14:
            ProbeSlot14(1);
            break;
        case 15:
            ProbeNameValue(0, "value");
            break;
        case 16:
            ProbeSlot16(1, 2, 3);
            break;
        case 17:
            ProbeSetValue(0, 1);
            break;
        case 18:
            ProbeSlot18(1, 2);
            break;
        case 19:
            ProbeSlot19(1, 2);
            break;
        case 20:
            ProbeSlot20(1, 2, 3, 4);
            break;
        case 21:
            ProbeSlot21(1, 2);
            break;
        case 22:
            return ProbeSlot22(7);
    }
    return 0;
}

TEST(ProbeImageDeathTest, SlotsAreTrappedBeforeDriverEntry) {
    // A fresh process: the image's own table.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CallSlot(6), "DEADBEEF");
    EXPECT_DEATH(CallSlot(4), "DEADBEEF");
}

class ProbeSlotTest : public FrameworkTest {};

TEST_F(ProbeSlotTest, LiveSlotsWithoutCollectorDoNothing) {
    for (ULONG index = 5; index <= 21; ++index) {
        SCOPED_TRACE(index);
        EXPECT_EQ(CallSlot(index), 0u);
    }
    EXPECT_EQ(CallSlot(22), 0u);
}

using ProbeSlotDeathTest = ProbeSlotTest;

TEST_F(ProbeSlotDeathTest, EverySlotIsATrapAfterDisable) {
    ProbeDisable();
    for (ULONG index = 0; index < PROBE_SLOT_COUNT; ++index) {
        SCOPED_TRACE(index);
        EXPECT_DEATH(CallSlot(index), "DEADBEEF");
    }
    ProbeEnable();  // for the fixture's unload
}

TEST_F(ProbeSlotTest, ModuleTableHoldsFiftyModules) {
    for (LONG i = 0; i < PROBE_MAX_MODULES; ++i) EXPECT_EQ(ProbeRegisterModule("M", 2, nullptr), i);
    EXPECT_EQ(ProbeRegisterModule("Late", 2, nullptr), -1);
    EXPECT_EQ(ProbeRegisterModule("Later", 2, nullptr), -1);
    EXPECT_EQ(ProbeGetModuleCount(), PROBE_MAX_MODULES);
    EXPECT_STREQ(ProbeGetModuleTable()[49].Name, "M");
}

TEST_F(ProbeSlotTest, EnableAndDisableClearTheModuleTable) {
    ASSERT_EQ(ProbeRegisterModule("A", 1, nullptr), 0);
    ASSERT_EQ(ProbeRegisterModule("B", 3, nullptr), 1);
    ProbeEnable();
    EXPECT_EQ(ProbeGetModuleCount(), 0);
    EXPECT_EQ(ProbeGetModuleTable()[0].Name, nullptr);
    EXPECT_EQ(ProbeRegisterModule("C", 1, nullptr), 0);
    ProbeDisable();
    EXPECT_EQ(ProbeGetModuleCount(), 0);
    ProbeEnable();
}

TEST_F(ProbeSlotTest, ShutdownWithoutBindingKeepsRegistrationsAndLiveSlots) {
    ASSERT_EQ(ProbeRegisterModule("A", 1, nullptr), 0);
    zvtest::RecordProbeSlots();  // stands for a bound filling
    ProbeShutdown();
    EXPECT_EQ(ProbeGetModuleCount(), 1);
    EXPECT_EQ(ProbeRegisterModule("B", 1, nullptr), 1);
    EXPECT_EQ(ProbeSlot22(3), 0u);
    ProbeAddCounter(5, 1);
    EXPECT_TRUE(zvtest::ProbeCalls().empty()) << "shutdown must put the empty routines back";
    ProbeBindingState state;
    ProbeGetBindingState(&state);
    EXPECT_EQ(state.Fdo, nullptr);
    EXPECT_EQ(state.MainRecord, nullptr);
}

NTSTATUS FirstDispatch(PDEVICE_OBJECT, PIRP) {
    return STATUS_SUCCESS;
}
NTSTATUS SecondDispatch(PDEVICE_OBJECT, PIRP) {
    return STATUS_PENDING;
}

TEST_F(ProbeSlotTest, DispatchHookRoutesEveryMajorFunctionOnceAndUnhooks) {
    DRIVER_OBJECT driver;
    std::memset(&driver, 0, sizeof driver);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver.MajorFunction[major] = (major % 2) != 0 ? &FirstDispatch : &SecondDispatch;
    }
    zvtest::RecordProbeSlots();
    ProbeHookDispatch(&driver);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        EXPECT_NE(driver.MajorFunction[major], &FirstDispatch);
        EXPECT_NE(driver.MajorFunction[major], &SecondDispatch);
    }
    PDRIVER_DISPATCH wrapper = driver.MajorFunction[0];
    EXPECT_EQ(zvtest::ProbeCallsOf(8).size(), 3u);   // counters 1, 2, 3 defined
    EXPECT_EQ(zvtest::ProbeCallsOf(10).size(), 4u);  // counters 0 to 3 set to 0

    ProbeHookDispatch(&driver);  // already hooked: nothing changes
    EXPECT_EQ(driver.MajorFunction[0], wrapper);
    EXPECT_EQ(zvtest::ProbeCallsOf(8).size(), 3u);

    ProbeUnhookDispatch();
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        EXPECT_EQ(driver.MajorFunction[major], (major % 2) != 0 ? &FirstDispatch : &SecondDispatch);
    }
}

}  // namespace
