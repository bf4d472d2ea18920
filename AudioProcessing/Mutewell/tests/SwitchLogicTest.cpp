// The switch-and-mute logic in-process, without devices: the master load and
// its failures, the buffer decisions, the mute pieces, the private property
// set and the graphs' shapes and failures.
#include <cmath>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "CKAUDPASrc.h"
#include "CKAUDPBRes.h"
#include "CKAUDPFCnv.h"
#include "CKAUDPSiBu.h"
#include "FrameworkTestSupport.h"
#include "FrameworkTesting.h"
#include "GraphRecorders.h"
#include "LogicFixture.h"
#include "MutewellLogic.h"
#include "FilterLogicServices.h"
#include "kp/pool.h"

namespace {

ChannelFormat Pcm(ULONG rate, ULONG bits, ULONG channels) {
    ChannelFormat f{};
    f.FormatTagAndChannels = 1 | (channels << 16);
    f.SamplesPerSec = rate;
    f.AvgBytesPerSec = rate * bits * channels / 8;
    f.BitsPerSample = bits;
    f.ChannelMask = channels == 1 ? 4 : 3;
    return f;
}

// One stream header over `data`.
struct OneHeader {
    KSSTREAM_HEADER header{};
    explicit OneHeader(std::vector<UCHAR>* data) {
        header.Size = sizeof header;
        header.Data = data->data();
        header.DataUsed = header.FrameExtent = static_cast<ULONG>(data->size());
    }
};

class SwitchLogicTest : public zvlogic::LogicFixture {
protected:
    void SetUp() override {
        LogicFixture::SetUp();
        SetShared(VID_SHARED_PROCESS, 1);
    }
    static void SetShared(ULONG id, ULONG value) {
        ASSERT_EQ(SetSharedVariable(id, &value, sizeof value), ZV_OK);
    }
    static ULONG Shared(ULONG id) {
        ULONG value = 0xFFFF, size = sizeof value;
        EXPECT_EQ(GetSharedVariable(id, &value, &size), ZV_OK);
        return value;
    }
    static NTSTATUS Property(ULONG flags, ULONG id, PVOID value, ULONG* size,
                             const GUID& set = KSPROPSETID_SwitchMute) {
        KSPROPERTY p = {set, id, flags};
        return OnKSProperty(nullptr, &p, sizeof p, value, size);
    }
    // The chain as text: "A<bytes>" or "S<bytes>" (source) per pool, modules by name.
    static std::string Describe(const SwitchGraph& graph) {
        const std::pair<const void*, const char*> names[] = {
            {InCFCnv1, "InCFCnv1"},   {InCFCnv2, "InCFCnv2"},   {InCBRes, "InCBRes"},
            {OutCFCnv1, "OutCFCnv1"}, {OutCFCnv2, "OutCFCnv2"}, {OutCBRes, "OutCBRes"},
        };
        std::string out;
        for (const SwitchGraphStage& s : graph.Stages) {
            if (!s.InUse) break;
            if (!out.empty()) out += ' ';
            if (s.Allocator) {
                ULONG size = 0;
                s.Pool->GetBufferSize(&size);
                out += (s.Source ? "S" : "A") + std::to_string(size);
            }
            for (auto& n : names)
                if (!s.Allocator && n.first == s.Module) out += n.second;
        }
        return out;
    }
};

TEST_F(SwitchLogicTest, AFailedModuleCreationLeavesTheLogicUnloaded) {
    ULONG failures = 0;
    for (ULONG nth = 1; nth < 200; ++nth) {
        SCOPED_TRACE(nth);
        KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, nth);
        ZvStatus status = OnFilterLoad(nullptr, 1, nullptr, nullptr);
        KpPoolClearFailures();
        if (status == ZV_OK) break;
        ++failures;
        EXPECT_EQ(status, ZV_FAILED);
        EXPECT_EQ(g_bFilterLoaded, 0);
        EXPECT_EQ(OnDecidePinDirs(nullptr, 1), ZV_NOT_READY);
        KSPROPERTY p = {KSPROPSETID_SwitchMute, 0, KSPROPERTY_TYPE_GET};
        ULONG value = 0, size = 4;
        EXPECT_EQ(OnKSProperty(nullptr, &p, sizeof p, &value, &size), STATUS_UNSUCCESSFUL);
        (void)OnFilterUnload(nullptr, 1);
    }
    EXPECT_GE(failures, 12u) << "each of the twelve modules can fail";
    ASSERT_EQ(g_bFilterLoaded, 1);
}

TEST_F(SwitchLogicTest, TheMasterLoadSetsUpTheSourceAndTheSink) {
    auto lower = reinterpret_cast<PDEVICE_OBJECT>(static_cast<ULONG_PTR>(0x123456789ull));
    ASSERT_EQ(OnFilterLoad(nullptr, 1, nullptr, lower), ZV_OK);
    struct Case {
        CKAUDPABridge* module;
        ULONG id, expected;
    } cases[] = {
        {g_pAudioSource, CKAUDPASrc::kPropBits, 16},
        {g_pAudioSource, CKAUDPASrc::kPropRate, 8000},
        {g_pAudioSource, CKAUDPASrc::kPropLength, 50},
        {g_pAudioSource, CKAUDPASrc::kPropState, 0},
        {g_pAudioSink, CKAUDPASnk::kPropBits, 16},
        {g_pAudioSink, CKAUDPASnk::kPropRate, 8000},
        {g_pAudioSink, CKAUDPASnk::kPropChannels, 1},
        {g_pAudioSink, CKAUDPASnk::kPropLength, 50},
        {g_pAudioSink, CKAUDPASnk::kPropState, 0},
    };
    for (const Case& c : cases) {
        ULONG value = 0xFFFF;
        ASSERT_EQ(c.module->GetPropertyDword(c.id, &value), ZV_OK);
        EXPECT_EQ(value, c.expected) << c.id;
    }
    for (CKAUDPABridge* module :
         {static_cast<CKAUDPABridge*>(g_pAudioSource), static_cast<CKAUDPABridge*>(g_pAudioSink)}) {
        PVOID pointer = nullptr;
        ULONG size = sizeof pointer;
        ASSERT_EQ(module->GetProperty(CKAUDPASrc::kPropLower, &pointer, &size), ZV_OK);
        EXPECT_EQ(pointer, lower) << "the whole 64-bit pointer";
    }
    EXPECT_EQ(g_lSpeakerMuteCount, 1);
    EXPECT_EQ(g_lMicMuteCount, 1);
    EXPECT_EQ(g_lSpeakerFadeCount, 1);
    EXPECT_EQ(g_bSwitch, 0);
}

// A control application's SET waits for the switch mutex while the master
// unloads (a removal): the unload waits for it, and the request, once it
// holds the mutex, finds the logic unloaded and leaves the modules alone.
TEST_F(SwitchLogicTest, AnUnloadWaitsForThePropertyRequestsInFlight) {
    ASSERT_EQ(OnFilterLoad(nullptr, 1, nullptr, nullptr), ZV_OK);
    // A control path in progress holds the mutex.
    ASSERT_EQ(KeWaitForSingleObject(&g_SwitchMutex, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    std::atomic<NTSTATUS> set{STATUS_PENDING};
    std::thread request([&] {
        ULONG value = 0, size = sizeof value;
        set = Property(KSPROPERTY_TYPE_SET, KSPROPERTY_SWITCHMUTE_SWITCH, &value, &size);
    });
    // Host time, at most 5 s each: a wait that fails says so and the test goes on.
    auto waitFor = [](const std::function<bool()>& done, const char* what) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
        EXPECT_TRUE(done()) << what;
    };
    waitFor([] { return g_PropertiesInFlight.Count() != 0; }, "the request is not counted");
    std::atomic<bool> unloaded{false};
    std::thread unload([&] {
        (void)OnFilterUnload(nullptr, 1);
        unloaded = true;
    });
    waitFor([] { return InterlockedOr(&g_bFilterLoaded, 0) == 0; }, "the unload never began");
    EXPECT_FALSE(unloaded) << "the unload went on with a request in flight";
    KeReleaseMutex(&g_SwitchMutex, FALSE);
    request.join();
    unload.join();
    EXPECT_EQ(set, STATUS_UNSUCCESSFUL) << "the request ran on an unloaded logic";
    EXPECT_EQ(g_pAudioSource, nullptr);
    EXPECT_EQ(g_pAudioSink, nullptr);
    g_bFilterLoaded = 1;  // as the next master load finds it
}

// A master reload (a cancelled removal) starts unmuted, and the shared mute
// mode the framework reports says so.
TEST_F(SwitchLogicTest, AMasterReloadReportsTheMuteModeItStartsWith) {
    ASSERT_EQ(OnFilterLoad(nullptr, 1, nullptr, nullptr), ZV_OK);
    ULONG mode = MUTE_BOTH, size = sizeof mode;
    ASSERT_EQ(Property(KSPROPERTY_TYPE_SET, KSPROPERTY_SWITCHMUTE_MUTE, &mode, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(Shared(VID_SHARED_MUTEMODE), ULONG{MUTE_BOTH});
    (void)OnFilterUnload(nullptr, 1);
    ASSERT_EQ(OnFilterLoad(nullptr, 1, nullptr, nullptr), ZV_OK);
    ASSERT_EQ(Property(KSPROPERTY_TYPE_GET, KSPROPERTY_SWITCHMUTE_MUTE, &mode, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(mode, ULONG{MUTE_NONE});
    EXPECT_EQ(Shared(VID_SHARED_MUTEMODE), ULONG{MUTE_NONE});
}

// The graphs' shapes for the formats of a slave's channel.
TEST_F(SwitchLogicTest, GraphsConvertBetweenTheChannelAndTheBridgeFormat) {
    ASSERT_EQ(OnFilterLoad(nullptr, 1, nullptr, nullptr), ZV_OK);
    struct Case {
        ULONG direction;
        ChannelFormat format;
        const char* shape;
    } cases[] = {
        {CHANNEL_RENDER, Pcm(48000, 16, 2), "A960 InCFCnv1 A160 InCBRes"},
        {CHANNEL_RENDER, Pcm(8000, 16, 1), ""},
        {CHANNEL_RENDER, Pcm(8000, 16, 2), "A160 InCFCnv2"},
        {CHANNEL_CAPTURE, Pcm(16000, 16, 2), "S160 A320 OutCBRes A640 OutCFCnv2"},
        {CHANNEL_CAPTURE, Pcm(8000, 16, 1), "S160"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shape);
        ASSERT_EQ(AcquireChannel(1, c.direction, nullptr, nullptr, nullptr), ZV_OK);
        ASSERT_EQ(SetChannelFormat(1, c.direction, &c.format), ZV_OK);
        ASSERT_EQ(InitChannelGraph(nullptr, c.direction, 3, 1), ZV_OK);
        const SwitchGraph& graph = c.direction == CHANNEL_RENDER ? g_InGraph : g_OutGraph;
        EXPECT_EQ(Describe(graph), c.shape);
        EXPECT_EQ(graph.PieceBytes, c.format.AvgBytesPerSec / 100);
        FreeGraph(c.direction);
        ASSERT_EQ(ReleaseChannel(1, c.direction), ZV_OK);
    }
}

// Each pool of a graph can fail; the half-built graph frees and nothing leaks.
TEST_F(SwitchLogicTest, APoolFailureLeavesAFreeableGraph) {
    ASSERT_EQ(OnFilterLoad(nullptr, 1, nullptr, nullptr), ZV_OK);
    const ChannelFormat format = Pcm(48000, 16, 2);
    ASSERT_EQ(AcquireChannel(1, CHANNEL_CAPTURE, nullptr, nullptr, nullptr), ZV_OK);
    ASSERT_EQ(SetChannelFormat(1, CHANNEL_CAPTURE, &format), ZV_OK);
    ZvStatus status = ZV_FAILED;
    ULONG failures = 0;
    for (ULONG nth = 1; nth < 50 && status != ZV_OK; ++nth) {
        KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, nth);
        status = InitOutGraph(nullptr, CHANNEL_CAPTURE, 3, 1);
        KpPoolClearFailures();
        if (status != ZV_OK) {
            ++failures;
            FreeOutGraph();
        }
    }
    ASSERT_EQ(status, ZV_OK);
    EXPECT_GE(failures, 5u) << "carry, and the source, resampler and converter pools";
    ASSERT_EQ(InitOutGraph(nullptr, CHANNEL_CAPTURE, 3, 1), ZV_OK) << "a rebuild frees the old";
    FreeOutGraph();
}

// Mute pieces: whole frames of about 10 ms, the last taking the rest; no
// division by a byte rate of 0.
ChannelFormat Lying(ChannelFormat format, ULONG bytesPerSecond) {
    format.AvgBytesPerSec = bytesPerSecond;
    return format;
}

TEST_F(SwitchLogicTest, MutePiecesAreWholeFramesOfTenMilliseconds) {
    struct Case {
        ChannelFormat format;
        ULONG used;
        std::vector<ULONG> pieces;
    } cases[] = {
        {Pcm(16000, 16, 1), 800, {400, 400}},  // 25 ms at 32000 bytes per second
        {Pcm(8000, 16, 2), 804, {400, 404}},   // never a split frame
        {Pcm(48000, 16, 2), 1344, {1344}},     // 7 ms: one piece
        {Pcm(48000, 16, 2), 3840, {1920, 1920}},
        {ChannelFormat{}, 320, {}},  // nothing to cut by
        // The rate and the block align decide, not the format's byte rate.
        {Lying(Pcm(16000, 16, 1), 0), 800, {400, 400}},
        {Lying(Pcm(16000, 16, 1), 8000), 800, {400, 400}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.used);
        std::vector<UCHAR> data(c.used);
        OneHeader h(&data);
        std::vector<ULONG> seen;
        ULONG total = 0;
        ULONG n =
            ForEachMutePiece(&h.header, sizeof h.header, c.format, [&](PUCHAR p, ULONG bytes) {
                EXPECT_EQ(p, data.data() + total);
                seen.push_back(bytes);
                total += bytes;
            });
        EXPECT_EQ(seen, c.pieces);
        EXPECT_EQ(n, c.pieces.size());
    }
}

// Which path a buffer of channel 1 takes: unchanged, the mute path or the
// bridge (both leave silence here: the mute modules are silent and the
// bridge's modules do not stream).  The counts tell the paths apart.
TEST_F(SwitchLogicTest, BufferDecisions) {
    ASSERT_EQ(OnFilterLoad(nullptr, 1, nullptr, nullptr), ZV_OK);
    for (ULONG direction : {CHANNEL_RENDER, CHANNEL_CAPTURE}) {
        const ChannelFormat format = Pcm(8000, 16, 1);
        ASSERT_EQ(AcquireChannel(1, direction, nullptr, nullptr, nullptr), ZV_OK);
        ASSERT_EQ(SetChannelFormat(1, direction, &format), ZV_OK);
        ASSERT_EQ(InitChannelGraph(nullptr, direction, 3, 1), ZV_OK);
    }
    enum Path { kUnchanged, kMuted, kBridged };
    for (ULONG process : {0u, 1u})
        for (ULONG mode = 0; mode <= 3; ++mode)
            for (LONG on : {0, 1})
                for (LONG started : {0, 1})
                    for (ULONG direction : {CHANNEL_RENDER, CHANNEL_CAPTURE}) {
                        SCOPED_TRACE(testing::Message()
                                     << "process " << process << " mode " << mode << " switch "
                                     << on << " started " << started << " direction " << direction);
                        SetShared(VID_SHARED_PROCESS, process);
                        g_ulMuteMode = static_cast<LONG>(mode);
                        g_bSwitch = on;
                        g_bSinkStarted = started;
                        g_bSourceStarted = started;
                        const bool speaker = direction == CHANNEL_RENDER;
                        const bool muted =
                            speaker ? (mode == 2 || mode == 3) : (mode == 1 || mode == 3);
                        Path expected = kUnchanged;
                        if (process != 0 && muted) {
                            expected = kMuted;
                        } else if (process != 0 && on && started) {
                            expected = kBridged;
                        } else if (process != 0 && on && speaker) {
                            continue;  // silence in the pin's own format: the machine tests
                        }
                        volatile LONG* muteCount =
                            speaker ? &g_lSpeakerMuteCount : &g_lMicMuteCount;
                        volatile LONG* bridgeCount =
                            speaker ? &g_lSpeakerBridgeCount : &g_lMicBridgeCount;
                        const LONG mute0 = *muteCount, bridge0 = *bridgeCount;
                        std::vector<UCHAR> data(160, 0x11);
                        OneHeader h(&data);
                        (void)OnBuffer(nullptr, direction, &h.header, sizeof h.header, 1, nullptr);
                        const bool untouched = data == std::vector<UCHAR>(160, 0x11);
                        EXPECT_EQ(untouched, expected == kUnchanged);
                        EXPECT_EQ(*muteCount - mute0, expected == kMuted ? 1 : 0);
                        EXPECT_EQ(*bridgeCount - bridge0, expected == kBridged ? 1 : 0);
                        if (!untouched) {
                            for (UCHAR b : data) ASSERT_EQ(b, 0);
                        }
                    }
    g_bSinkStarted = 0;
    g_bSourceStarted = 0;
}

// Both directions muted before a graph was ever built (no saved format):
// the buffers are silenced, not passed.
TEST_F(SwitchLogicTest, AMutedDirectionWithoutAFormatIsSilenced) {
    ASSERT_EQ(OnFilterLoad(nullptr, 1, nullptr, nullptr), ZV_OK);
    g_ulMuteMode = MUTE_BOTH;
    for (ULONG direction : {CHANNEL_RENDER, CHANNEL_CAPTURE}) {
        std::vector<UCHAR> data(320, 0x11);
        OneHeader h(&data);
        EXPECT_EQ(OnBuffer(nullptr, direction, &h.header, sizeof h.header, 1, nullptr), ZV_OK);
        EXPECT_EQ(data, std::vector<UCHAR>(320, 0)) << direction;
    }
    g_ulMuteMode = MUTE_NONE;
}

TEST_F(SwitchLogicTest, ThePrivatePropertySet) {
    ASSERT_EQ(OnFilterLoad(nullptr, 1, nullptr, nullptr), ZV_OK);
    ULONG value = 0, size = 4;
    EXPECT_EQ(Property(KSPROPERTY_TYPE_GET, 0, &value, &size), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    // Mute modes restart only the fades of the directions they mute.
    struct Case {
        ULONG mode;
        LONG speaker, mic;
    } cases[] = {{1, 7, 0}, {2, 0, 7}, {3, 0, 0}, {0, 7, 7}};
    for (const Case& c : cases) {
        g_lSpeakerMuteCount = 7;
        g_lMicMuteCount = 7;
        value = c.mode;
        size = 4;
        ASSERT_EQ(Property(KSPROPERTY_TYPE_SET, KSPROPERTY_SWITCHMUTE_MUTE, &value, &size),
                  STATUS_SUCCESS);
        EXPECT_EQ(g_lSpeakerMuteCount, c.speaker) << c.mode;
        EXPECT_EQ(g_lMicMuteCount, c.mic) << c.mode;
        EXPECT_EQ(Shared(VID_SHARED_MUTEMODE), c.mode) << "pins without a channel follow";
    }
    value = 2;
    ASSERT_EQ(Property(KSPROPERTY_TYPE_SET, KSPROPERTY_SWITCHMUTE_MUTE, &value, &size),
              STATUS_SUCCESS);
    value = 4;
    EXPECT_EQ(Property(KSPROPERTY_TYPE_SET, KSPROPERTY_SWITCHMUTE_MUTE, &value, &size),
              STATUS_UNSUCCESSFUL);
    size = 4;
    ASSERT_EQ(Property(KSPROPERTY_TYPE_GET, KSPROPERTY_SWITCHMUTE_MUTE, &value, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 2u) << "unchanged";
    size = 2;
    EXPECT_EQ(Property(KSPROPERTY_TYPE_SET, KSPROPERTY_SWITCHMUTE_BWLIMIT, &value, &size),
              STATUS_UNSUCCESSFUL);
    size = 4;
    EXPECT_EQ(Property(KSPROPERTY_TYPE_BASICSUPPORT, 0, &value, &size), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x303u);
    KSPROPERTY_DESCRIPTION description;
    std::memset(&description, 0xEE, sizeof description);
    size = sizeof description;
    EXPECT_EQ(Property(KSPROPERTY_TYPE_BASICSUPPORT, 0, &description, &size), STATUS_SUCCESS);
    EXPECT_EQ(description.AccessFlags, 0x303u);
    EXPECT_EQ(description.DescriptionSize, sizeof description);
    EXPECT_EQ(description.Reserved, 0u);
    size = 8;
    EXPECT_EQ(Property(KSPROPERTY_TYPE_BASICSUPPORT, 0, &description, &size), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Property(KSPROPERTY_TYPE_SETSUPPORT, 0, nullptr, nullptr), STATUS_SUCCESS);
    size = 4;
    EXPECT_EQ(Property(KSPROPERTY_TYPE_GET, 7, &value, &size), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(size, 0u);
    size = 4;
    EXPECT_EQ(Property(KSPROPERTY_TYPE_GET, 0, &value, &size, KSPROPSETID_Pin), STATUS_UNSUCCESSFUL)
        << "the master's pins stay hidden";
}

std::vector<UCHAR> StereoTone(ULONG frames) {
    std::vector<UCHAR> data(frames * 4);
    auto* s = reinterpret_cast<SHORT*>(data.data());
    for (ULONG i = 0; i < frames; ++i) {
        s[2 * i] = static_cast<SHORT>(9000 * std::sin(i * 0.05));
        s[2 * i + 1] = static_cast<SHORT>(5000 * std::sin(i * 0.011));
    }
    return data;
}

// `input` through `modules` in blocks of `block` bytes, each stage writing a
// buffer of its `outBytes`; side values 0, 1, 2, ... per block.
std::vector<UCHAR> Reference(const std::vector<UCHAR>& input, ULONG block,
                             const std::vector<std::pair<CKAUDPModule*, ULONG>>& stages) {
    std::vector<UCHAR> out;
    for (ULONG offset = 0, n = 0; offset + block <= input.size(); offset += block, ++n) {
        std::vector<UCHAR> current(input.begin() + offset, input.begin() + offset + block);
        for (const auto& stage : stages) {
            std::vector<UCHAR> next(stage.second);
            ULONGLONG side = n;
            EXPECT_EQ(
                stage.first->SubmitPinData(0, current.data(), static_cast<ULONG>(current.size()),
                                           next.data(), stage.second, &side),
                ZV_OK);
            current.swap(next);
        }
        out.insert(out.end(), current.begin(), current.end());
    }
    return out;
}

class GraphReferenceTest : public SwitchLogicTest {
protected:
    void SetUp() override {
        SwitchLogicTest::SetUp();
        ASSERT_EQ(OnFilterLoad(nullptr, 1, nullptr, nullptr), ZV_OK);
        m_realSink = g_pAudioSink;
        m_realSource = g_pAudioSource;
        g_pAudioSink = m_sink = NewRecordingSink(&m_record);
        g_pAudioSource = m_source = NewCountingSource(&m_record);
        g_bSwitch = 1;
    }
    void TearDown() override {
        g_bSinkStarted = 0;
        g_bSourceStarted = 0;
        g_bSwitch = 0;
        delete m_sink;
        delete m_source;
        g_pAudioSink = m_realSink;
        g_pAudioSource = m_realSource;
        SwitchLogicTest::TearDown();
    }
    void Open(ULONG direction, const ChannelFormat& format) {
        ASSERT_EQ(AcquireChannel(1, direction, nullptr, nullptr, nullptr), ZV_OK);
        ASSERT_EQ(SetChannelFormat(1, direction, &format), ZV_OK);
        ASSERT_EQ(InitChannelGraph(nullptr, direction, 3, 1), ZV_OK);
    }
    CKAUDPASnk* m_realSink = nullptr;
    CKAUDPASrc* m_realSource = nullptr;
    CKAUDPASnk* m_sink = nullptr;
    CKAUDPASrc* m_source = nullptr;
    GraphRecord m_record;
};

// Render buffers of any length reach the sink as whole 10 ms pieces of
// 160 bytes, equal to the reference conversion of the stream; the slave's
// own loudspeaker data is silent from 1/20 s of frames on.
TEST_F(GraphReferenceTest, RenderBuffersReachTheSinkAsTheReferenceConversion) {
    for (ULONG ms : {7u, 10u, 15u, 20u, 25u}) {
        SCOPED_TRACE(ms);
        Open(CHANNEL_RENDER, Pcm(48000, 16, 2));
        m_record.sizes.clear();
        m_record.sent.clear();
        g_bSinkStarted = 1;
        g_lSpeakerBridgeCount = 0;
        g_lSpeakerFadeCount = 0;  // as the switch sets it
        const std::vector<UCHAR> input = StereoTone(48 * 120);
        std::vector<UCHAR> played;
        for (ULONG offset = 0; offset < input.size(); offset += ms * 192) {
            const ULONG n = std::min<ULONG>(ms * 192, static_cast<ULONG>(input.size()) - offset);
            std::vector<UCHAR> buffer(input.begin() + offset, input.begin() + offset + n);
            OneHeader h(&buffer);
            ASSERT_EQ(OnBuffer(nullptr, CHANNEL_RENDER, &h.header, sizeof h.header, 1, nullptr),
                      ZV_OK);
            played.insert(played.end(), buffer.begin(), buffer.end());
        }
        for (ULONG size : m_record.sizes) ASSERT_EQ(size, 160u);
        ULONG status = 0;
        auto* convert = new CKAUDPFCnv(nullptr, ZvFourCC("ZSAM"), &status);
        auto* resample = new CKAUDPBRes(nullptr, ZvFourCC("ZSAM"), &status);
        const ULONG props[][2] = {{2, 16}, {3, 2}, {4, 3}, {5, 16}, {6, 1}, {7, 4}, {8, 1}};
        for (const auto& p : props) ASSERT_EQ(convert->SetPropertyDword(p[0], p[1]), ZV_OK);
        ASSERT_EQ(resample->SetPropertyDword(CKAUDPBRes::kPropInputRate, 48000), ZV_OK);
        ASSERT_EQ(resample->SetPropertyDword(CKAUDPBRes::kPropOutputRate, 8000), ZV_OK);
        const std::vector<UCHAR> expected =
            Reference(input, 1920, {{convert, 960}, {resample, 160}});
        delete convert;
        delete resample;
        EXPECT_EQ(m_record.sent, expected);
        for (size_t i = 2400 * 4; i < played.size(); ++i) ASSERT_EQ(played[i], 0) << i;
        FreeInGraph();
        ASSERT_EQ(ReleaseChannel(1, CHANNEL_RENDER), ZV_OK);
    }
}

// A conversion stage that fails once: its piece never reaches the camera
// (half-converted data in another format would), and the pieces after it
// go on.
TEST_F(GraphReferenceTest, APieceWhoseConversionFailedIsNotSent) {
    CKAUDPBRes* const resampler = InCBRes;
    InCBRes = NewResamplerFailingOnce(2);
    Open(CHANNEL_RENDER, Pcm(48000, 16, 2));
    g_bSinkStarted = 1;
    std::vector<UCHAR> buffer = StereoTone(48 * 60);  // six pieces
    OneHeader h(&buffer);
    (void)OnBuffer(nullptr, CHANNEL_RENDER, &h.header, sizeof h.header, 1, nullptr);
    EXPECT_EQ(m_record.sizes, std::vector<ULONG>(5, 160));
    FreeInGraph();
    delete InCBRes;
    InCBRes = resampler;
    ASSERT_EQ(ReleaseChannel(1, CHANNEL_RENDER), ZV_OK);
}

// Capture buffers of any length are filled with the source's data converted
// to the slave's format, continuous across buffers; no byte of the slave's
// own microphone remains.
TEST_F(GraphReferenceTest, CaptureBuffersAreFilledWithTheConvertedSource) {
    for (ULONG ms : {7u, 10u, 15u, 25u}) {
        SCOPED_TRACE(ms);
        Open(CHANNEL_CAPTURE, Pcm(16000, 16, 2));
        m_record.next = 0;
        g_bSourceStarted = 1;
        g_lMicBridgeCount = 0;
        std::vector<UCHAR> captured;
        for (int i = 0; i < 12; ++i) {
            std::vector<UCHAR> buffer(ms * 64, 0xA5);  // the slave's own microphone
            OneHeader h(&buffer);
            ASSERT_EQ(OnBuffer(nullptr, CHANNEL_CAPTURE, &h.header, sizeof h.header, 1, nullptr),
                      ZV_OK);
            captured.insert(captured.end(), buffer.begin(), buffer.end());
        }
        std::vector<UCHAR> source(m_record.next * 2);
        auto* samples = reinterpret_cast<SHORT*>(source.data());
        for (ULONG n = 0; n < m_record.next; ++n) samples[n] = CountingSample(n);
        ULONG status = 0;
        auto* resample = new CKAUDPBRes(nullptr, ZvFourCC("ZSAM"), &status);
        auto* convert = new CKAUDPFCnv(nullptr, ZvFourCC("ZSAM"), &status);
        const ULONG props[][2] = {{2, 16}, {3, 1}, {4, 4}, {5, 16}, {6, 2}, {7, 3}, {8, 1}};
        for (const auto& p : props) ASSERT_EQ(convert->SetPropertyDword(p[0], p[1]), ZV_OK);
        ASSERT_EQ(resample->SetPropertyDword(CKAUDPBRes::kPropInputRate, 8000), ZV_OK);
        ASSERT_EQ(resample->SetPropertyDword(CKAUDPBRes::kPropOutputRate, 16000), ZV_OK);
        std::vector<UCHAR> expected = Reference(source, 160, {{resample, 320}, {convert, 640}});
        delete convert;
        delete resample;
        ASSERT_GE(expected.size(), captured.size());
        expected.resize(captured.size());
        EXPECT_EQ(captured, expected);
        FreeOutGraph();
        ASSERT_EQ(ReleaseChannel(1, CHANNEL_CAPTURE), ZV_OK);
    }
}

}  // namespace
