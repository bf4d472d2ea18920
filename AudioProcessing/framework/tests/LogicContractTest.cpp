// The logic adapters check the contract of FilterLogic.h in builds with
// assertions: a call at the wrong level, without the lock the contract
// promises, or under a lock it excludes, is a bug check.
#include "CGenDisp.h"
#include "DrvMain.h"
#include "FrameworkTestSupport.h"
#include "LogicCalls.h"

namespace zvtest {
namespace {

class LogicContractTest : public FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        KeInitializeEvent(&SyncControlLock, SynchronizationEvent, TRUE);
    }
    // OnBuffer as the stream paths call it, with an empty request.
    static void Buffer(CGenDisp* genDisp) {
        (void)logic::OnBuffer(genDisp, CHANNEL_RENDER, nullptr, 0, -1, nullptr);
    }
    static void Open(CGenDisp* genDisp) {
        ChannelFormat format = {};
        LONG channel = -1;
        (void)logic::OnOpen(genDisp, CHANNEL_RENDER, &format, &channel, nullptr, nullptr, nullptr);
    }
};

constexpr char Breach[] = "STOP: 0x5A564C43";

TEST_F(LogicContractTest, CallsAsTheContractSaysPass) {
#ifdef NDEBUG
    GTEST_SKIP() << "the contract is checked in builds with assertions";
#endif
    CGenDisp genDisp;
    GetSyncControlLock();
    Buffer(&genDisp);
    ChannelFormat format = {};
    (void)logic::OnSetStreamState(&genDisp, CHANNEL_RENDER, KSSTATE_RUN, 1);
    ReleaseSyncControlLock();
    (void)logic::OnSetStreamState(&genDisp, CHANNEL_RENDER, KSSTATE_PAUSE, 1);
    (void)logic::OnSetFormat(&genDisp, CHANNEL_RENDER, &format, 1);
    genDisp.LockFilterList();
    genDisp.LockOpenPinList();
    Open(&genDisp);
    (void)logic::OnClose(&genDisp, CHANNEL_RENDER, 1);
    genDisp.UnlockOpenPinList();
    genDisp.UnlockFilterList();
}

TEST_F(LogicContractTest, CallsAgainstTheContractBugCheck) {
#ifdef NDEBUG
    GTEST_SKIP() << "the contract is checked in builds with assertions";
#endif
    CGenDisp genDisp;
    // Above PASSIVE_LEVEL.
    EXPECT_DEATH(
        {
            GetSyncControlLock();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            Buffer(&genDisp);
        },
        Breach);
    // OnBuffer and RUN without the sync-control lock.
    EXPECT_DEATH(Buffer(&genDisp), Breach);
    EXPECT_DEATH((void)logic::OnSetStreamState(&genDisp, CHANNEL_CAPTURE, KSSTATE_RUN, 1), Breach);
    // OnOpen without the lists; OnSetFormat and OnBuffer under them.
    EXPECT_DEATH(Open(&genDisp), Breach);
    EXPECT_DEATH(
        {
            ChannelFormat format = {};
            genDisp.LockOpenPinList();
            (void)logic::OnSetFormat(&genDisp, CHANNEL_RENDER, &format, 1);
        },
        Breach);
    EXPECT_DEATH(
        {
            GetSyncControlLock();
            genDisp.LockOpenPinList();
            Buffer(&genDisp);
        },
        Breach);
}

}  // namespace
}  // namespace zvtest
