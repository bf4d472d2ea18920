// The logic under the framework on a booted machine: the camera is master by
// its driver-key option, the sound card is hooked as slave by the master's
// interface notification.  The framework runs in-process (its DriverEntry is
// the built-in driver "Echowell"), so the test sees the logic's state.
#include "CKAUDPEAEC.h"
#include "FilterLogicServices.h"
#include "FrameworkTesting.h"
#include "LogicTestSupport.h"
#include "kp/machinetest.h"
#include "SavedRegistry.h"
#include "StreamPair.h"
#include "kp/io.h"
#include "kp/pnp.h"
#include "kp/registry.h"
#include "Scenario.h"

namespace zvecho {
namespace {

std::vector<kp::machine::SimDevice> CameraAndSpeaker() {
    auto devices = kp::machine::DefaultDevices();
    devices[0].UpperFilters = {"Echowell"};
    devices[0].DriverOptions = {{"ZAECAudioFilterMaster", 1}};
    return devices;
}

class MachineLogicTest : public StreamPairTest {
protected:
    void SetUp() override {
        StreamPairTest::SetUp();
        g_bFilterLoaded = 1;  // as a freshly loaded image holds it
        UseBuiltinDriver("Echowell", DriverEntry);
    }
    static PDEVICE_OBJECT Fdo(const std::string& instance) {
        return FilterDevice(instance, "Echowell");
    }
    static ULONG PinDirs(const std::string& instance) {
        PDEVICE_OBJECT fdo = Fdo(instance);
        ULONG value = 0, size = sizeof value;
        if (fdo == nullptr || FilterDeviceGenDisp(fdo) == nullptr ||
            GetInstantiatedVariable(FilterDeviceGenDisp(fdo), VID_INST_PINDIRS, &value, &size) !=
                ZV_OK)
            return 0;
        return value;
    }
};

TEST_F(MachineLogicTest, TheCameraIsMasterByItsOptionAndTheSoundCardItsSlave) {
    BootMachine(CameraAndSpeaker());
    ASSERT_NE(Fdo(kCamera), nullptr);
    ASSERT_NE(Fdo(kSpeaker), nullptr) << "the master hooks the sound card";
    EXPECT_EQ(FilterDeviceMasterFlag(Fdo(kCamera)), 1u);
    EXPECT_EQ(FilterDeviceMasterFlag(Fdo(kSpeaker)), 0u);
    EXPECT_EQ(PinDirs(kCamera), 2u);
    EXPECT_EQ(PinDirs(kSpeaker), 1u);
    EXPECT_EQ(g_bFilterLoaded, 1);
    EXPECT_NE(g_pAecModule, nullptr);
}

// The thread runs right after the capture piece that first makes the near end readable, before
// the piece is refilled, ahead on the far end queued first: the capture has no hole all the same.
TEST_F(MachineLogicTest, TheProcessedCaptureHasNoHoleWhenTheThreadRunsFirstAtTheStart) {
    const char* noise =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room\\Noise\\camera]\r\n\"RmsMicro\"=dword:12c";
    BootMachine(CameraAndSpeaker(), noise);
    std::atomic<bool> ranFirst{false};
    auto hook = [](PVOID flag) {  // 10 s of host time at most
        auto& ranFirst = *static_cast<std::atomic<bool>*>(flag);
        for (int i = 0; i < 100000 && g_pDataQueue3->GetStartLevel() != 0 && !ranFirst; ++i)
            if (!(ranFirst = g_pDataQueue4->GetLevel() >= 35 * 32)) KeStallExecutionProcessor(100);
    };
    KpSetEventSignalHook(g_pDataQueue3->DataEvent(), hook, &ranFirst);
    auto r = kp::scenario::Run(kp::scenario::Options());
    KpSetEventSignalHook(nullptr, nullptr, nullptr);
    ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
    EXPECT_TRUE(ranFirst) << "the thread filled the processed queue's hold-back first";
    auto first = std::find_if(r.Captured.begin(), r.Captured.end(), [](float v) { return v != 0; });
    ASSERT_NE(first, r.Captured.end()) << "the room's noise came through";
    auto hole = std::search_n(first, r.Captured.end(), r.CaptureRate / 100, 0.0f);
    EXPECT_EQ(hole, r.Captured.end()) << "at sample " << hole - r.Captured.begin();
}

TEST_F(MachineLogicTest, ThePositionRunsSeventyMillisecondsAheadWhileProcessing) {
    BootMachine(CameraAndSpeaker());
    ASSERT_EQ(AcquireChannel(1, 1, nullptr, nullptr, nullptr), ZV_OK);
    ChannelFormat render = Pcm(48000, 16, 2);  // 192000 bytes per second
    ASSERT_EQ(SetChannelFormat(1, 1, &render), ZV_OK);
    struct Case {
        ULONG Process, Active;
        ULONGLONG Write, Expected;
    } cases[] = {
        {1, 1, 1000, 1000 + 13440},
        {1, 1, 0x00000000FFFFF000ull, 0x00000000FFFFF000ull + 13440},  // carry into the high word
        {0, 1, 1000, 1000},
        {1, 0, 1000, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Process << c.Active << " " << c.Write);
        ULONG process = c.Process;
        ASSERT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &process, 4), ZV_OK);
        ULONG ds = 0xFF, size = 4;
        ASSERT_EQ(GetSharedVariable(VID_SHARED_DSDISABLE, &ds, &size), ZV_OK);
        EXPECT_EQ(ds, c.Process) << "DirectSound is off exactly while processing is on";
        InterlockedExchange(&g_bAecActive, static_cast<LONG>(c.Active));
        KSAUDIO_POSITION p{777, c.Write};
        EXPECT_EQ(OnGetAudioPosition(nullptr, 1, &p, 1), ZV_OK);
        EXPECT_EQ(p.WriteOffset, c.Expected);
        EXPECT_EQ(p.PlayOffset, 777u);
    }
    InterlockedExchange(&g_bAecActive, 0);
    // Without a channel in that direction: the read's status, nothing changed.
    ULONG on = 1;
    ASSERT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &on, 4), ZV_OK);
    InterlockedExchange(&g_bAecActive, 1);
    KSAUDIO_POSITION p{1, 2};
    EXPECT_EQ(OnGetAudioPosition(nullptr, 2, &p, 1), ZV_NOT_READY);
    EXPECT_EQ(p.WriteOffset, 2u);
    InterlockedExchange(&g_bAecActive, 0);
}

TEST_F(MachineLogicTest, TheCancellersParametersPersistInTheCamerasDriverKey) {
    BootMachine(CameraAndSpeaker());
    ASSERT_NE(g_pAecModule, nullptr);
    ULONG tail = 0;
    ASSERT_EQ(g_pAecModule->GetPropertyDword(4, &tail), ZV_OK);
    EXPECT_EQ(tail, 64u);
    ASSERT_EQ(g_pAecModule->SetPropertyDword(4, 32), ZV_OK);
    std::string error;
    ASSERT_TRUE(kp::machine::Shutdown(&error)) << error;
    std::string saved = ReadSavedRegistry(folder_);
    ExpectCancellerParametersSaved(saved);
    EXPECT_NE(saved.find("\"GAEC_TailLength_ZAEC\"=dword:00000020"), std::string::npos);

    // The next boot's master load reads them back.
    ASSERT_EQ(kp::machine::Boot(folder_, nullptr, &error), STATUS_SUCCESS) << error;
    ASSERT_NE(g_pAecModule, nullptr);
    ASSERT_EQ(g_pAecModule->GetPropertyDword(4, &tail), ZV_OK);
    EXPECT_EQ(tail, 32u);
}

TEST_F(MachineLogicTest, AfterTheMastersRemovalEveryCallbackAnswersNotReady) {
    BootMachine(CameraAndSpeaker());
    ASSERT_EQ(KpPnpRemoveDevice(Pdo(kCamera)), STATUS_SUCCESS);
    EXPECT_EQ(g_bFilterLoaded, 0);
    EXPECT_EQ(g_pAecModule, nullptr);
    ChannelFormat f = Pcm(16000, 16, 1);
    LONG channel = 0;
    KSAUDIO_POSITION position{};
    EXPECT_EQ(OnDecidePinDirs(nullptr, 0), ZV_NOT_READY);
    EXPECT_EQ(OnGetRequiredFunctionFormat(1, 1, &f), ZV_NOT_READY);
    EXPECT_EQ(OnSetChannelState(1, 1, 3), ZV_NOT_READY);
    EXPECT_EQ(OnOpen(nullptr, 1, &f, &channel, nullptr, nullptr, nullptr), ZV_NOT_READY);
    EXPECT_EQ(channel, 0) << "the channel word is not written";
    EXPECT_EQ(OnGetAudioPosition(nullptr, 1, &position, 1), ZV_NOT_READY);
    // The slave still streams: its pins pass through untouched.
    kp::ks::KsFilter filter;
    OpenFilter(&filter, KSCATEGORY_RENDER);
}

}  // namespace
}  // namespace zvecho

namespace zvecho {
namespace {

// Pins of the simulated devices streaming through the filter: the render
// pin on the sound card (channel 1 render), the capture pin on the camera
// (channel 1 capture).
class StreamTimingTest : public MachineLogicTest {
protected:
    void SetUp() override {
        MachineLogicTest::SetUp();
        BootMachine(CameraAndSpeaker());
        if (HasFatalFailure()) return;
        OpenPins();
        if (HasFatalFailure()) return;
        ASSERT_EQ(mic_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        // The streams' start started the canceller: stop it, so that the
        // chains and queues below are the test's and the buffers pass through.
        EXPECT_EQ(InterlockedOr(&g_bAecActive, 0), 1);
        KeWaitForSingleObject(&g_AecMutex, Executive, KernelMode, FALSE, nullptr);
        StopAECGraph();
        KeReleaseMutex(&g_AecMutex, FALSE);
        ASSERT_EQ(InitOutGraph(2, 1), ZV_OK);
        ASSERT_EQ(InitInGraph(1, 1), ZV_OK);
        InitLogicQueues();
        ResetAecTiming();
        // 100 ms written, 30 ms read, 40 ms of device time.
        std::vector<uint8_t> data(3200, 0x22);
        std::shared_ptr<kp::ks::StreamRequest> w, r;
        ASSERT_EQ(speaker_.Submit(true, {{3200, 3200, data.data()}}, sizeof(KSSTREAM_HEADER), &w),
                  STATUS_PENDING);
        ASSERT_EQ(mic_.Submit(false, {{960, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &r),
                  STATUS_PENDING);
        AdvanceMs(40);
        r->Wait();
        pending_ = w;
    }
    void TearDown() override {
        if (mic_.Handle() != nullptr) {
            (void)mic_.SetState(KSSTATE_STOP);
            (void)speaker_.SetState(KSSTATE_STOP);
        }
        if (pending_) pending_->Wait();
        pending_.reset();
        ClosePins();
        InterlockedExchange(&g_bAecActive, 0);
        MachineLogicTest::TearDown();
    }
    static kp::sim::PinRecord Record(const std::string& instance) {
        return Device(instance)->PinRecords().back();
    }
    static LONGLONG Micro(ULONGLONG bytes, ULONG perSecond) {
        return static_cast<LONGLONG>(bytes * 1000000 / perSecond);
    }
    std::shared_ptr<kp::ks::StreamRequest> pending_;
};

TEST_F(StreamTimingTest, TheDelayAddsBothSidesLatenciesToTheStartDifference) {
    ULONG q3 = 640;
    std::vector<UCHAR> near(q3, 0);
    ASSERT_EQ(g_pDataQueue3->PutData(near.data(), &q3, 0), 1u);
    ULONGLONG frames = 0;
    ASSERT_EQ(GetChannelInfo(1, 2, nullptr, nullptr, &frames, nullptr), ZV_OK);
    auto render = Record(kSpeaker);
    auto capture = Record(kCamera);
    ASSERT_GT(render.BytesReceived, render.BytesConsumed) << "the device holds data";
    const LONGLONG buffered =
        Micro(render.BytesReceived, 32000) - Micro(render.BytesConsumed, 32000);
    const LONGLONG renderQueued = Micro(2240, 32000);  // queue 2's 70 ms of prefill
    const LONGLONG lag = Micro(capture.BytesDelivered, 32000) - Micro(frames, 16000);
    const LONGLONG captureQueued = Micro(640, 32000);

    struct Case {
        LONGLONG FirstRender, FirstCapture, TInfo, RenderStart;
    } cases[] = {
        {20000, 5000, static_cast<LONGLONG>(kAecUnset), static_cast<LONGLONG>(kAecUnset)},
        {5000, 20000, static_cast<LONGLONG>(kAecUnset), static_cast<LONGLONG>(kAecUnset)},
        {5000, 20000, 12345, static_cast<LONGLONG>(kAecUnset)},
        {0, 3000000, 12345, 7000},  // a start difference far below zero
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.FirstRender << " " << c.FirstCapture << " " << c.TInfo
                                        << " " << c.RenderStart);
        g_AecTiming.FirstRenderTime = c.FirstRender;
        g_AecTiming.FirstCaptureReadTime = c.FirstCapture;
        g_AecTiming.TInfo = c.TInfo;
        g_AecTiming.RenderStartOffset = c.RenderStart;
        LONGLONG delay = 0, renderBuffered = 0;
        ASSERT_EQ(EstimateStreamDelay(&delay, &renderBuffered), ZV_OK);
        LONGLONG renderLatency = c.RenderStart != static_cast<LONGLONG>(kAecUnset)
                                     ? c.RenderStart
                                     : std::max<LONGLONG>(buffered, 0) + renderQueued;
        LONGLONG captureLatency = c.TInfo != static_cast<LONGLONG>(kAecUnset)
                                      ? c.TInfo
                                      : std::max<LONGLONG>(lag, 0) + captureQueued;
        EXPECT_EQ(renderBuffered, buffered);
        EXPECT_EQ(delay, c.FirstRender - c.FirstCapture + captureLatency + renderLatency);
    }
}

TEST_F(StreamTimingTest, TheFirstOutPassMeasuresTInfoAndSeedsTheDelay) {
    // 100 ms of near end: the read takes 10 ms, 90 ms stay queued.
    ULONG q3 = 3200;
    std::vector<UCHAR> near(q3, 0);
    ASSERT_EQ(g_pDataQueue3->PutData(near.data(), &q3, 0), 1u);
    ASSERT_EQ(g_llDelayEstimate, kAecUnset);
    RunOutGraph();
    ULONGLONG frames = 0;
    ASSERT_EQ(GetChannelInfo(1, 2, nullptr, nullptr, &frames, nullptr), ZV_OK);
    auto capture = Record(kCamera);
    const LONGLONG queued = Micro(2880, 32000);
    EXPECT_EQ(g_AecTiming.CaptureQueueLatency, queued);
    EXPECT_EQ(g_AecTiming.TInfo,
              Micro(capture.BytesDelivered, 32000) - Micro(frames, 16000) + queued + 10000);
    EXPECT_NE(g_llDelayEstimate, kAecUnset) << "the first estimate seeds the canceller's delay";
    EXPECT_EQ(g_pDataQueue4->GetLevel(), 320u) << "10 ms of near end out";
}

// A capture read first seconds after the first render buffer (the render
// stream ran alone before) gives a start difference, and so an estimate,
// below zero: the canceller starts from no delay rather than from a
// wrapped-around one.
TEST_F(StreamTimingTest, AnEstimateBelowZeroSeedsTheDelayAtZero) {
    ULONG q3 = 3200;
    std::vector<UCHAR> near(q3, 0);
    ASSERT_EQ(g_pDataQueue3->PutData(near.data(), &q3, 0), 1u);
    g_AecTiming.FirstRenderTime = 1;
    g_AecTiming.FirstCaptureReadSeen = 1;
    g_AecTiming.FirstCaptureReadTime = 3000000;
    RunOutGraph();
    EXPECT_EQ(g_llDelayEstimate, 0u);
    ASSERT_GE(g_ulTraceCount, 1u);
    const AecTraceRecord& record = g_pTraceBuffer[g_ulTraceCount - 1];
    EXPECT_EQ(record.Kind, 1u);
    EXPECT_EQ(record.DelayGiven, 0u);
    EXPECT_NE(record.Status, static_cast<ULONG>(ZV_DELAY_TOO_SHORT));
}

// A capture buffer is queued in pieces; the pass that the piece reaching the
// start offset woke may look at queue 3 before or after the next piece.
TEST_F(StreamTimingTest, TheFirstDelayDoesNotDependOnWhetherTheNextNearEndPieceCameFirst) {
    std::vector<UCHAR> near(2240, 0);
    LONGLONG latency[2] = {0, 0};
    for (int nextFirst = 0; nextFirst < 2; ++nextFirst) {
        SCOPED_TRACE(nextFirst ? "the next piece first" : "the pass first");
        InitLogicQueues();
        ResetAecTiming();
        ULONG start = 2240, piece = 320;  // the 70 ms start offset, then 10 ms more
        ASSERT_EQ(g_pDataQueue3->PutData(near.data(), &start, 0), 1u);
        if (nextFirst) {
            ASSERT_EQ(g_pDataQueue3->PutData(near.data(), &piece, 0), 1u);
        }
        RunOutGraph();
        if (!nextFirst) {
            ASSERT_EQ(g_pDataQueue3->PutData(near.data(), &piece, 0), 1u);
        }
        latency[nextFirst] = g_AecTiming.CaptureQueueLatency;
    }
    EXPECT_EQ(latency[0], Micro(1920, 32000)) << "what the read left of the start offset";
    EXPECT_EQ(latency[1], latency[0]);
}

// Both devices run on the machine's clock: the far end has no drift to
// correct, wherever the thread's passes fall against the render requests'
// arrival at the sound card (before the device played on, after it) and
// however that changes from one second to the next.
TEST_F(StreamTimingTest, TheFarEndKeepsItsLengthWhereverThePassesFallAgainstTheRenderDevice) {
    InterlockedExchange(&g_bAecActive, 1);  // the buffers below are processed
    std::vector<uint8_t> far(320, 0x10), near(2240, 0);
    ULONG prefill = 2240;  // queue 3's start offset: no pass waits for the camera
    ASSERT_EQ(g_pDataQueue3->PutData(near.data(), &prefill, 0), 1u);
    std::vector<std::shared_ptr<kp::ks::StreamRequest>> writes;
    auto pass = [&](ULONG step) {
        ASSERT_GE(g_pDataQueue1->GetReadable(), 320u) << "the far end came short at " << step;
        RunInGraph();
        RunOutGraph();
    };
    for (ULONG step = 0; step < 320; ++step) {
        // As the capture stream would: 10 ms in, 10 ms out, and no shut-off.
        InterlockedExchange64(&g_llLastCaptureTime, static_cast<LONGLONG>(QueryTime100ns() / 10));
        ULONG in = 320;
        ASSERT_EQ(g_pDataQueue3->PutData(near.data(), &in, 0), 1u);
        std::shared_ptr<kp::ks::StreamRequest> w;
        ASSERT_EQ(speaker_.Submit(true, {{320, 320, far.data()}}, sizeof(KSSTREAM_HEADER), &w),
                  STATUS_PENDING);
        writes.push_back(w);
        // A second of passes right after the request reached the device, one
        // after the device played on, then the two mixed.
        const bool beforeTheDevicePlays = step < 100 || (step >= 200 && step % 3 == 0);
        if (beforeTheDevicePlays) pass(step);
        if (HasFatalFailure()) return;
        AdvanceMs(10);
        if (!beforeTheDevicePlays) pass(step);
        if (HasFatalFailure()) return;
        std::vector<UCHAR> out(320);
        LONG got = 320;
        g_pDataQueue4->ReadData(out.data(), &got, 0);
    }
    DataQueueState q1{};
    g_pDataQueue1->GetState(&q1);
    EXPECT_EQ(q1.PendingDrift, 0) << "no frames to insert or drop";
    EXPECT_EQ(g_AecTiming.HeldDropFrames, 0) << "no drop held back";
    EXPECT_EQ(g_pDataQueue1->GetLevel(), 0u) << "the far end read as it was written";
    InterlockedExchange(&g_bAecActive, 0);
    for (auto& w : writes) {
        for (int k = 0; k < 100 && !w->Done(); ++k) AdvanceMs(10);
    }
}

}  // namespace
}  // namespace zvecho

namespace zvecho {
namespace {

TEST_F(MachineLogicTest, AfterAMasterReloadAnOldPinsCloseLeavesTheNewOwnersChannel) {
    BootMachine(CameraAndSpeaker());
    auto camera = Device(kCamera);
    auto pins = camera->Pins();
    pins[1].MaxInstances = 2;  // the capture pin
    camera->SetPins(pins);
    kp::ks::KsFilter filter;
    OpenFilter(&filter, KSCATEGORY_CAPTURE);
    kp::ks::KsPin old;
    ASSERT_EQ(old.Create(filter, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
    PFILE_OBJECT oldOwner = nullptr;
    ASSERT_EQ(GetChannelInfo(1, 2, nullptr, &oldOwner, nullptr, nullptr), ZV_OK);

    // A cancelled removal unloads and reloads the master's logic: channel 1
    // is free again while the old pin stays open.
    ASSERT_EQ(KpPnpQueryRemove(Pdo(kCamera)), STATUS_SUCCESS);
    EXPECT_EQ(g_bFilterLoaded, 0);
    ASSERT_EQ(KpPnpCancelRemove(Pdo(kCamera)), STATUS_SUCCESS);
    KpIoDrainWorkQueues();
    ASSERT_EQ(g_bFilterLoaded, 1);
    PFILE_OBJECT none = nullptr;
    EXPECT_NE(GetChannelInfo(1, 2, nullptr, &none, nullptr, nullptr), ZV_OK);

    kp::ks::KsPin fresh;
    ASSERT_EQ(fresh.Create(filter, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
    PFILE_OBJECT owner = nullptr;
    ASSERT_EQ(GetChannelInfo(1, 2, nullptr, &owner, nullptr, nullptr), ZV_OK);
    EXPECT_NE(owner, oldOwner);
    old.Close();
    PFILE_OBJECT after = nullptr;
    ASSERT_EQ(GetChannelInfo(1, 2, nullptr, &after, nullptr, nullptr), ZV_OK)
        << "the old pin's close released the new pin's channel";
    EXPECT_EQ(after, owner);
}

}  // namespace
}  // namespace zvecho

namespace zvecho {
namespace {

// The canceller's parameters as a control application sets them (ids 5-8)
// come back after the master's logic reloads, and after the machine shuts
// down and boots again from its folder.
TEST_F(MachineLogicTest, ParametersSetThroughThePropertySetSurviveAReloadAndAReboot) {
    BootMachine(CameraAndSpeaker());
    const ULONG values[4] = {1, 0, 32, 3};  // AutoOff, StateMachine, TailLength, ComfortNoiseLvl
    auto control = [](ULONG id, ULONG flags, ULONG* value) {
        kp::ks::KsFilter filter;
        OpenFilter(&filter, KSCATEGORY_CAPTURE);
        KSPROPERTY p{KSPROPSETID_AecControl, id, flags};
        ULONG returned = 0;
        return filter.Property(&p, sizeof p, value, sizeof *value, &returned);
    };
    for (ULONG id = 5; id <= 8; ++id) {
        ULONG v = values[id - 5];
        ASSERT_EQ(control(id, KSPROPERTY_TYPE_SET, &v), STATUS_SUCCESS) << id;
    }
    auto expectValues = [&](const char* when) {
        SCOPED_TRACE(when);
        for (ULONG id = 5; id <= 8; ++id) {
            ULONG v = 0xFFFF;
            EXPECT_EQ(control(id, KSPROPERTY_TYPE_GET, &v), STATUS_SUCCESS) << id;
            EXPECT_EQ(v, values[id - 5]) << id;
        }
    };
    ASSERT_EQ(KpPnpQueryRemove(Pdo(kCamera)), STATUS_SUCCESS);
    ASSERT_EQ(g_pAecModule, nullptr) << "the logic unloaded";
    ASSERT_EQ(KpPnpCancelRemove(Pdo(kCamera)), STATUS_SUCCESS);
    KpIoDrainWorkQueues();
    ASSERT_EQ(g_bFilterLoaded, 1);
    expectValues("after a reload");

    std::string error;
    ASSERT_TRUE(kp::machine::Shutdown(&error)) << error;
    ASSERT_EQ(kp::machine::Boot(folder_, nullptr, &error), STATUS_SUCCESS) << error;
    KpIoDrainWorkQueues();
    expectValues("after a reboot");
}

}  // namespace
}  // namespace zvecho
