// The master's interface notification on the roads that end before a slave
// work item is queued: each leaves the probe section it entered.
#include <kp/io.h>
#include <kp/pool.h>

#include <memory>

#include "DrvMain.h"
#include "ProbeCollector.h"

namespace {

using zvtest::FrameworkTest;

class InterfaceNotificationTest : public FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        m_stack = std::make_unique<zvtest::TestDeviceStack>();
        ASSERT_EQ(m_stack->Status(), STATUS_SUCCESS);
    }
    void TearDown() override {
        KpPoolClearFailures();
        KpIoClearFailures();
        m_stack.reset();
        FrameworkTest::TearDown();
    }
    std::unique_ptr<zvtest::TestDeviceStack> m_stack;
};

struct EarlyExit {
    const char* Name;
    bool Arrival;        // else a removal
    bool Link;           // the notification names a link
    bool NoWorkItem;     // the work item cannot be had
    bool NoWorkContext;  // the work context cannot be allocated
};

TEST_F(InterfaceNotificationTest, EveryEarlyExitLeavesTheSectionItEntered) {
    const EarlyExit exits[] = {
        {"removal", false, true, false, false},
        {"no link", true, false, false, false},
        {"no work item", true, true, true, false},
        {"no work context", true, true, false, true},
    };
    std::u16string text = u"\\??\\USB#VID_1234&PID_ABCD#1#{6994ad04-93ef-11d0-a3cc-00a0c9223196}";
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, text.c_str());
    zvtest::RecordProbeSlots();
    for (const EarlyExit& exit : exits) {
        SCOPED_TRACE(exit.Name);
        zvtest::ClearProbeCalls();
        DEVICE_INTERFACE_CHANGE_NOTIFICATION change = {};
        change.Version = 1;
        change.Size = sizeof change;
        change.Event = exit.Arrival ? GUID_DEVICE_INTERFACE_ARRIVAL : GUID_DEVICE_INTERFACE_REMOVAL;
        change.InterfaceClassGuid = KSCATEGORY_AUDIO;
        change.SymbolicLinkName = exit.Link ? &link : nullptr;
        if (exit.NoWorkItem) KpIoFailCall(KpFaultAllocateWorkItem, 1);
        if (exit.NoWorkContext) KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, 1);
        EXPECT_EQ(FilterInterfaceNotificationCB(&change, m_stack->Fdo()), STATUS_SUCCESS);
        KpIoClearFailures();
        KpPoolClearFailures();
        EXPECT_EQ(KpIoQueuedWorkItemCount(), 0u);
        ASSERT_EQ(zvtest::ProbeCallsOf(6).size(), 1u);
        EXPECT_EQ(zvtest::ProbeCallsOf(6)[0].Words, std::vector<LONGLONG>{0});
        ASSERT_EQ(zvtest::ProbeCallsOf(7).size(), 1u) << "section 0 entered and never left";
        EXPECT_EQ(zvtest::ProbeCallsOf(7)[0].Words, std::vector<LONGLONG>{0});
    }
}

}  // namespace
