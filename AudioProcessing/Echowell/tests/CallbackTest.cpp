// The filter-logic callbacks in-process: the loaded flag through failed and
// successful master loads, the channel callbacks, the processing format and
// the audio position.
#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "FilterLogicServices.h"
#include "LogicTestSupport.h"
#include "MemAlloc.h"
#include "kp/pool.h"
#include "kp/thread.h"

namespace zvecho {
namespace {

// Every filled callback but load and unload, with harmless arguments.
std::vector<std::pair<const char*, ZvStatus>> CallEveryCallback() {
    ChannelFormat f = Pcm(16000, 16, 1);
    LONG channel = 0;
    KSAUDIO_POSITION position{};
    ULONG value = 0;
    return {
        {"OnDecidePinDirs", OnDecidePinDirs(nullptr, 1)},
        {"OnGetRequiredFunctionFormat", OnGetRequiredFunctionFormat(1, 1, &f)},
        {"OnSetChannelState", OnSetChannelState(1, 1, 3)},
        {"OnSharedVariableChange", OnSharedVariableChange(VID_SHARED_BWLIMIT, &value, 4)},
        {"OnOpen", OnOpen(nullptr, 1, &f, &channel, nullptr, nullptr, nullptr)},
        {"OnClose", OnClose(nullptr, 1, 1)},
        {"OnSetFormat", OnSetFormat(nullptr, 1, &f, 1)},
        {"OnGetAudioPosition", OnGetAudioPosition(nullptr, 1, &position, 1)},
    };
}

using CallbackTest = LogicTest;

TEST_F(CallbackTest, BeforeAnyMasterLoadTheCallbacksWorkAndASlaveChangesNothing) {
    EXPECT_EQ(OnSetChannelState(1, 1, 3), ZV_OK);
    EXPECT_EQ(OnFilterLoad(nullptr, 0, nullptr, nullptr), ZV_OK);
    EXPECT_EQ(g_pAecModule, nullptr);
    EXPECT_EQ(g_pDataQueue1, nullptr);
    EXPECT_EQ(OnFilterUnload(nullptr, 0), ZV_OK);
    EXPECT_EQ(OnSetChannelState(1, 1, 3), ZV_OK);

    LoadMaster();
    EXPECT_NE(g_pWaveCorr, nullptr);
    EXPECT_NE(g_pTraceBuffer, nullptr);
    EXPECT_EQ(g_ulRateMode, 2);
    EXPECT_EQ(g_llDelayEstimate, kAecUnset);
    // A slave's load and unload leave the master's logic alone.
    EXPECT_EQ(OnFilterLoad(nullptr, 0, nullptr, nullptr), ZV_OK);
    EXPECT_EQ(OnFilterUnload(nullptr, 0), ZV_OK);
    EXPECT_NE(g_pAecModule, nullptr);
    EXPECT_EQ(OnSetChannelState(1, 1, 3), ZV_OK);

    (void)OnFilterUnload(nullptr, 1);
    for (auto& [name, status] : CallEveryCallback()) EXPECT_EQ(status, ZV_NOT_READY) << name;
    EXPECT_EQ(LiveBytes(), 0u);
    LoadMaster();
    EXPECT_EQ(OnSetChannelState(1, 1, 3), ZV_OK);
}

TEST_F(CallbackTest, AFailedMasterLoadNamesWhatFailedAndItsUnloadFreesWhatWasMade) {
    zvtest::RecordProbeSlots();
    std::set<std::string> named;
    bool traceLess = false;
    for (ULONG nth = 1; nth < 400; ++nth) {
        SCOPED_TRACE(nth);
        zvtest::ClearProbeCalls();
        KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, nth);
        ZvStatus status = OnFilterLoad(nullptr, 1, nullptr, nullptr);
        KpPoolClearFailures();
        if (status == ZV_OK) {
            // Past the creations the trace buffer is the one allocation left:
            // without it the load still succeeds, with tracing off.
            if (g_pTraceBuffer == nullptr) {
                traceLess = true;
                (void)OnFilterUnload(nullptr, 1);
                continue;
            }
            (void)OnFilterUnload(nullptr, 1);
            break;
        }
        ASSERT_EQ(status, ZV_FAILED);
        for (auto& [name, result] : CallEveryCallback()) EXPECT_EQ(result, ZV_NOT_READY) << name;
        std::string message;
        for (auto& call : zvtest::ProbeCalls()) {
            auto at = call.Text.find("OnFilterLoad> Failed to Instantiate ");
            if (at != std::string::npos) message = call.Text.substr(at);
        }
        ASSERT_FALSE(message.empty()) << "no message named the failure";
        std::string name = message.substr(36, message.find(' ', 36) - 36);
        named.insert(name);
        (void)OnFilterUnload(nullptr, 1);
        ASSERT_EQ(LiveBytes(), 0u) << "after the unload of a load that failed at " << name;
    }
    EXPECT_TRUE(traceLess);
    const std::set<std::string> all = {
        "AEC",           "Channel",       "InFmtConv1",    "InFmtConv2",    "InResampler1",
        "OutFmtConv1",   "OutFmtConv2",   "OutFmtConv3",   "OutFmtConv4",   "OutResampler1",
        "OutResampler2", "g_pWaveCorr",   "g_pDataQueue1", "g_pDataQueue2", "g_pDataQueue3",
        "g_pDataQueue4", "g_pInAllocator"};
    EXPECT_EQ(named, all);
}

TEST_F(CallbackTest, TheFirstPinOfEachDirectionGetsChannelOneWithItsFormat) {
    LoadMaster();
    ChannelFormat first = Pcm(48000, 16, 2), second = Pcm(16000, 16, 1);
    auto* lower = reinterpret_cast<PDEVICE_OBJECT>(0x1000);
    auto* pin1 = reinterpret_cast<PFILE_OBJECT>(0x2000);
    auto* pin2 = reinterpret_cast<PFILE_OBJECT>(0x3000);
    for (ULONG direction : {1u, 2u}) {
        SCOPED_TRACE(direction);
        LONG channel = 7;
        EXPECT_EQ(OnOpen(nullptr, direction, &first, &channel, lower, pin1, nullptr), ZV_OK);
        EXPECT_EQ(channel, 1);
        ChannelFormat stored;
        ASSERT_EQ(GetChannelFormat(1, direction, &stored), ZV_OK);
        EXPECT_EQ(stored.SamplesPerSec, 48000u);
        channel = 7;
        EXPECT_NE(OnOpen(nullptr, direction, &second, &channel, lower, pin2, nullptr), ZV_OK);
        EXPECT_EQ(channel, -1);
        EXPECT_EQ(OnSetFormat(nullptr, direction, &second, 1), ZV_OK);
        ASSERT_EQ(GetChannelFormat(1, direction, &stored), ZV_OK);
        EXPECT_EQ(stored.SamplesPerSec, 16000u);
        EXPECT_EQ(OnClose(nullptr, direction, 1), ZV_OK);
        EXPECT_NE(OnClose(nullptr, direction, 1), ZV_OK) << "released twice";
    }
}

TEST_F(CallbackTest, TheProcessingFormatFollowsTheRateMode) {
    LoadMaster();
    struct Case {
        ULONG Mode, RenderRate, CaptureRate, Rate;
    } cases[] = {
        {0, 44100, 16000, 16000}, {0, 11025, 8000, 8000},  {0, 8000, 48000, 16000},
        {1, 8000, 8000, 16000},   {2, 48000, 48000, 8000}, {5, 48000, 48000, 8000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "mode " << c.Mode << " " << c.RenderRate << "/" << c.CaptureRate);
        OpenChannel(1, Pcm(c.RenderRate, 16, 2));
        OpenChannel(2, Pcm(c.CaptureRate, 16, 1));
        g_ulRateMode = static_cast<LONG>(c.Mode);
        ChannelFormat f{};
        ASSERT_EQ(GetRequiredFunctionFormat(1, 2, &f), ZV_OK);
        EXPECT_EQ(f.SamplesPerSec, c.Rate);
        EXPECT_EQ(f.AvgBytesPerSec, c.Rate * 2);
        EXPECT_EQ(f.FormatTagAndChannels, 1u | (1u << 16));
        EXPECT_EQ(f.BitsPerSample & 0xFFFF, 16u);
        EXPECT_EQ(f.ChannelMask, 4u);
        ASSERT_EQ(ReleaseChannel(1, 1), ZV_OK);
        ASSERT_EQ(ReleaseChannel(1, 2), ZV_OK);
    }
    // Mode 0 without a capture channel: its status, nothing written.
    OpenChannel(1, Pcm(44100, 16, 2));
    g_ulRateMode = 0;
    ChannelFormat untouched;
    std::memset(&untouched, 0x5A, sizeof untouched);
    ChannelFormat f = untouched;
    EXPECT_EQ(OnGetRequiredFunctionFormat(1, 2, &f), ZV_NOT_READY);
    EXPECT_EQ(0, std::memcmp(&f, &untouched, sizeof f));
}

TEST_F(CallbackTest, UnloadWaitsForTheWorkItemsAndRefusesNewOnes) {
    LoadMaster();
    ASSERT_TRUE(AecWorkItemBegin());
    ASSERT_TRUE(AecWorkItemBegin());
    std::atomic<bool> unloaded{false};
    std::thread unload([&] {
        (void)OnFilterUnload(nullptr, 1);
        unloaded = true;
    });
    while (KpBlockedWaiterCount() == 0) std::this_thread::yield();
    EXPECT_FALSE(AecWorkItemBegin()) << "unloading: no new item";
    AecWorkItemEnd();
    EXPECT_FALSE(unloaded.load());
    EXPECT_NE(g_pAecModule, nullptr) << "freed under a pending item";
    AecWorkItemEnd();
    unload.join();
    EXPECT_TRUE(unloaded.load());
    EXPECT_EQ(AecPendingWorkItems(), 0);
    EXPECT_EQ(g_pAecModule, nullptr);
}

}  // namespace
}  // namespace zvecho
