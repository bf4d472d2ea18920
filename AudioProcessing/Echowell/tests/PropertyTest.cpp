// The private property set as a control application reaches it: requests on
// the camera's filter, through the framework to the logic.
#include <atomic>
#include <thread>

#include "CKAUDPEAEC.h"
#include "FilterLogicServices.h"
#include "LogicTestSupport.h"
#include "StreamPair.h"
#include "kp/io.h"

namespace zvecho {
namespace {

class PropertyTest : public EchowellPairTest {
protected:
    NTSTATUS Request(ULONG id, ULONG flags, void* value, ULONG size, ULONG* returned) {
        KSPROPERTY p{KSPROPSETID_AecControl, id, flags};
        return captureFilter_.Property(&p, sizeof p, value, size, returned);
    }
};

TEST_F(PropertyTest, EveryIdAnswersEveryKindOfRequest) {
    constexpr NTSTATUS kOk = STATUS_SUCCESS, kFail = STATUS_UNSUCCESSFUL;
    struct Case {
        ULONG Id, Flags, Size, In;
        NTSTATUS Status;
        ULONG Returned, Out;
    } const cases[] = {
        {0, KSPROPERTY_TYPE_GET, 4, 0, kOk, 4, 1},
        {2, KSPROPERTY_TYPE_GET, 4, 0, kOk, 4, 1},
        {0, KSPROPERTY_TYPE_GET, 2, 0, kFail, 0, 0},  // too small
        {0, KSPROPERTY_TYPE_SET, 4, 1, kFail, 0, 1},  // not settable
        {12, KSPROPERTY_TYPE_GET, 4, 0, kFail, 0, 0},
        {13, KSPROPERTY_TYPE_GET, 4, 0, kFail, 0, 0},
        {13, KSPROPERTY_TYPE_SET, 4, 1, kFail, 0, 1},
        {9, KSPROPERTY_TYPE_SET, 4, 3, kFail, 0, 3},  // out of range, the mode stays
        {9, KSPROPERTY_TYPE_GET, 4, 0, kOk, 4, 2},
        {9, KSPROPERTY_TYPE_SET, 4, 1, kOk, 4, 1},
        {9, KSPROPERTY_TYPE_GET, 4, 0, kOk, 4, 1},
        {11, KSPROPERTY_TYPE_SET, 4, 0, kFail, 0, 0},
        {11, KSPROPERTY_TYPE_SET, 4, 1, kOk, 4, 1},
        {11, KSPROPERTY_TYPE_GET, 4, 0, kOk, 4, 1},
        {7, KSPROPERTY_TYPE_SET, 4, 3, kFail, 0, 3},  // the canceller refuses it
        {7, KSPROPERTY_TYPE_SET, 4, 32, kOk, 4, 32},
        {7, KSPROPERTY_TYPE_GET, 4, 0, kOk, 4, 32},
        {12, KSPROPERTY_TYPE_SET, 4, 1, kOk, 4, 1},
        {5, KSPROPERTY_TYPE_SETSUPPORT, 4, 0, kOk, 4, 0},
        {5, KSPROPERTY_TYPE_BASICSUPPORT, 4, 0, kOk, 4, 0x303},
        {5, KSPROPERTY_TYPE_BASICSUPPORT, 8, 0, kFail, 0, 0},
        {5, 0, 4, 0, kFail, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "id " << c.Id << " flags " << c.Flags << " size " << c.Size);
        ULONG value[2] = {c.In, 0};
        ULONG returned = 0xFFFF;
        NTSTATUS status = Request(c.Id, c.Flags, value, c.Size, &returned);
        EXPECT_EQ(status, c.Status);
        if (c.Status == kOk) {
            if (c.Flags == KSPROPERTY_TYPE_GET || c.Flags == KSPROPERTY_TYPE_BASICSUPPORT) {
                EXPECT_EQ(returned, c.Returned);
                EXPECT_EQ(value[0], c.Out);
            }
        }
    }
    EXPECT_EQ(g_ulRateMode, 1);

    KSPROPERTY_DESCRIPTION d;
    std::memset(&d, 0xAB, sizeof d);
    ULONG returned = 0;
    ASSERT_EQ(Request(5, KSPROPERTY_TYPE_BASICSUPPORT, &d, sizeof d, &returned), kOk);
    EXPECT_EQ(returned, sizeof d);
    EXPECT_EQ(d.AccessFlags, 0x303u);
    EXPECT_EQ(d.DescriptionSize, sizeof d);
    EXPECT_EQ(d.MembersListCount, 0u);

    // A larger buffer gets the description in its first 40 bytes; the byte
    // count stays as it came and the rest is left alone.
    UCHAR big[64];
    std::memset(big, 0xAB, sizeof big);
    returned = 0;
    ASSERT_EQ(Request(5, KSPROPERTY_TYPE_BASICSUPPORT, big, sizeof big, &returned), kOk);
    EXPECT_EQ(returned, sizeof big);
    std::memcpy(&d, big, sizeof d);
    EXPECT_EQ(d.AccessFlags, 0x303u);
    EXPECT_EQ(d.DescriptionSize, sizeof d);
    EXPECT_EQ(big[sizeof d], 0xAB);
}

// A control application may change the rate mode while another opens a pin
// (the framework asks for the processing format then): each create sees one
// of the modes, and nothing races.
TEST_F(PropertyTest, TheRateModeChangesWhilePinsAskForTheirFormat) {
    std::atomic<bool> stop{false};
    std::thread control([&] {
        for (ULONG i = 0; i < 300; ++i) {
            ULONG mode = 1 + i % 2, returned = 0;
            EXPECT_EQ(Request(9, KSPROPERTY_TYPE_SET, &mode, sizeof mode, &returned),
                      STATUS_SUCCESS);
        }
        stop = true;
    });
    ULONG seen[2] = {};
    while (!stop) {
        ChannelFormat f{};
        ASSERT_EQ(OnGetRequiredFunctionFormat(1, CHANNEL_RENDER, &f), ZV_OK);
        ASSERT_TRUE(f.SamplesPerSec == 8000 || f.SamplesPerSec == 16000) << f.SamplesPerSec;
        ++seen[f.SamplesPerSec == 16000];
    }
    control.join();
    EXPECT_GT(seen[0] + seen[1], 0u);
}

// A control application changes the canceller's parameters and asks for a
// new correlation while the processing thread runs its passes: the engine
// and the correlator take one caller at a time (the thread sanitizer sees
// any overlap), each value reads back as set, and processing goes on.
TEST_F(PropertyTest, CancellerParametersChangeWhileTheThreadProcesses) {
    ASSERT_EQ(mic_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(InterlockedOr(&g_bAecActive, 0), 1);
    struct Param {
        ULONG Id, Values[2];  // in turn; the second is the engine's default
    } const params[] = {{5, {1, 0}}, {6, {0, 10}}, {7, {32, 64}}, {8, {3, 2}}, {12, {1, 1}}};
    std::atomic<bool> stop{false};
    std::atomic<ULONG> sets{0};
    std::thread control([&] {
        for (ULONG i = 0; !stop || i % 10 != 0; ++i) {
            const Param& p = params[i % 5];
            ULONG value = p.Values[i / 5 % 2], returned = 0;
            ASSERT_EQ(Request(p.Id, KSPROPERTY_TYPE_SET, &value, sizeof value, &returned),
                      STATUS_SUCCESS)
                << p.Id;
            if (p.Id == 12) continue;  // set only
            ULONG back = 0xFFFF;
            ASSERT_EQ(Request(p.Id, KSPROPERTY_TYPE_GET, &back, sizeof back, &returned),
                      STATUS_SUCCESS);
            EXPECT_EQ(back, value) << p.Id;
            sets = i + 1;
        }
    });
    const std::vector<uint8_t> tone(320, 0x35);
    StreamBlocks(40, tone);  // the thread's passes, 400 ms of machine time
    stop = true;
    control.join();
    if (HasFatalFailure()) return;
    EXPECT_GT(sets.load(), 0u);
    const LONGLONG passes = InterlockedExchangeAdd64(&g_AecTiming.OutPasses, 0);
    EXPECT_GT(passes, 0);
    StreamBlocks(10, tone);
    EXPECT_TRUE(AwaitOutPasses(passes + 5)) << "the canceller keeps running";
    EXPECT_EQ(InterlockedOr(&g_bAecActive, 0), 1);
}

// Processing off reaches DirectSound's switch and stops the canceller; on
// starts it again.
TEST_F(PropertyTest, ProcessSwitchesTheCancellerThroughWorkItems) {
    ASSERT_EQ(mic_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(InterlockedOr(&g_bAecActive, 0), 1);
    struct Step {
        ULONG Value;
        ULONG DsDisable;
        LONG Active;
    } const steps[] = {{0, 0, 0}, {1, 1, 1}, {0, 0, 0}};
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "process " << s.Value);
        ULONG value = s.Value, returned = 0;
        ASSERT_EQ(Request(4, KSPROPERTY_TYPE_SET, &value, sizeof value, &returned), STATUS_SUCCESS);
        KpIoDrainWorkQueues();
        EXPECT_EQ(InterlockedOr(&g_bAecActive, 0), s.Active);
        ULONG ds = 7, size = sizeof ds;
        ASSERT_EQ(GetSharedVariable(VID_SHARED_DSDISABLE, &ds, &size), ZV_OK);
        EXPECT_EQ(ds, s.DsDisable);
        value = 9;
        ASSERT_EQ(Request(4, KSPROPERTY_TYPE_GET, &value, sizeof value, &returned), STATUS_SUCCESS);
        EXPECT_EQ(value, s.Value);
    }
}

}  // namespace
}  // namespace zvecho
