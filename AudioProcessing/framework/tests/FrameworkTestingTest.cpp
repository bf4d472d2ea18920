// The framework's test library: the driver-wide state a test of a logic sets
// up itself is the state DriverEntry leaves, whatever a previous test left.
#include "DrvMain.h"
#include "FrameworkTestSupport.h"
#include "FrameworkTesting.h"
#include "ZvKAPFWiTables.h"

namespace {

class FrameworkTestingTest : public zvtest::FrameworkTest {};

TEST_F(FrameworkTestingTest, TheResetsLeaveNoChannelVariableOrDeviceOfAnEarlierTest) {
    ResetChannelsAndVariables();
    ResetDeviceList();
    // What an earlier test may leave: a channel in use, variables set, a device.
    int pinFile = 0;
    ASSERT_EQ(AcquireChannel(3, CHANNEL_CAPTURE, nullptr, reinterpret_cast<PFILE_OBJECT>(&pinFile),
                             nullptr),
              ZV_OK);
    ASSERT_EQ(SetChannelState(3, CHANNEL_CAPTURE, CHANNEL_STATE_RUNNING), ZV_OK);
    for (ULONG id = VID_SHARED_DSDISABLE; id <= VID_SHARED_MUTEMODE; ++id) {
        ULONG value = 1;
        ASSERT_EQ(SetSharedVariable(id, &value, sizeof value), ZV_OK);
    }
    PdoListEntry stale{};
    InsertHeadList(&PdoList, &stale.Links);

    ResetChannelsAndVariables();
    ResetDeviceList();
    ULONG state = 0;
    EXPECT_EQ(GetChannelState(3, CHANNEL_CAPTURE, &state), ZV_NOT_READY);
    EXPECT_EQ(ChannelTable[3 + ZV_CHANNEL_COUNT].PinFile, nullptr);
    for (ULONG id = VID_SHARED_DSDISABLE; id <= VID_SHARED_MUTEMODE; ++id) {
        ULONG value = 7, size = sizeof value;
        EXPECT_EQ(GetSharedVariable(id, &value, &size), ZV_OK);
        EXPECT_EQ(value, 0u) << "id " << id;
    }
    EXPECT_TRUE(IsListEmpty(&PdoList));
    // The channel can be had again, as after a DriverEntry.
    EXPECT_EQ(AcquireChannel(3, CHANNEL_CAPTURE, nullptr, nullptr, nullptr), ZV_OK);
    EXPECT_EQ(ReleaseChannel(3, CHANNEL_CAPTURE), ZV_OK);
}

}  // namespace
