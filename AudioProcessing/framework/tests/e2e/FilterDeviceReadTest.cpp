// The framework's test library reading filter devices of a loaded driver
// image, as the logics' and the tools' tests read them: the master role and
// the interceptor the framework keeps for each device.
#include "E2ESupport.h"
#include "FrameworkTesting.h"
#include "kp/io.h"
#include "kp/pnp.h"

namespace zvtest {
namespace {

using FilterDeviceReadTest = E2ETest;

TEST_F(FilterDeviceReadTest, TheMasterFlagAndTheInterceptorAreTheFrameworksOwn) {
    WriteMachine({
        {"1", {}, {}, 1},                                          // hooked as slave
        {"2", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1},  // the master
    });
    PDEVICE_OBJECT slave = Plug("1");
    PDEVICE_OBJECT master = Plug("2");
    KpIoDrainWorkQueues();
    PDEVICE_OBJECT masterFdo = FilterOf(master, u"\\Driver\\ZvEchowell");
    PDEVICE_OBJECT slaveFdo = FilterOf(slave, u"\\Driver\\ZvEchowell");
    ASSERT_NE(masterFdo, nullptr);
    ASSERT_NE(slaveFdo, nullptr);
    EXPECT_EQ(FilterDeviceMasterFlag(masterFdo), 1u);
    EXPECT_EQ(FilterDeviceMasterFlag(slaveFdo), 0u);
    // Each device's interceptor, told apart by the services a logic calls.
    CGenDisp* masterGenDisp = FilterDeviceGenDisp(masterFdo);
    CGenDisp* slaveGenDisp = FilterDeviceGenDisp(slaveFdo);
    ASSERT_NE(masterGenDisp, nullptr);
    ASSERT_NE(slaveGenDisp, nullptr);
    EXPECT_EQ(GetFilterDevice(masterGenDisp), masterFdo);
    EXPECT_EQ(GetFilterDevice(slaveGenDisp), slaveFdo);
    ULONG stack = 7, size = sizeof stack;
    ASSERT_EQ(GetInstantiatedVariable(masterGenDisp, VID_INST_MASTERSTACK, &stack, &size), ZV_OK);
    EXPECT_EQ(stack, 1u);

    // The role handed back and taken again: the flag follows.
    ASSERT_EQ(KpPnpQueryRemove(master), STATUS_SUCCESS);
    ASSERT_EQ(KpPnpCancelRemove(master), STATUS_SUCCESS);
    KpIoDrainWorkQueues();
    EXPECT_EQ(FilterDeviceMasterFlag(masterFdo), 1u);
    ASSERT_EQ(KpPnpRemoveDevice(slave), STATUS_SUCCESS);
    ASSERT_EQ(KpPnpRemoveDevice(master), STATUS_SUCCESS);
}

}  // namespace
}  // namespace zvtest
