// The interceptor under conditions a careful application or a failing machine
// creates: pins that lose their channel, failed allocations at awkward
// moments, malformed stream requests and stream states held by the device.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "CDevice.h"
#include "InterceptFixture.h"
#include "ZvKAPFWi.h"
#include "ZvKAPFWiTables.h"
#include "kp/clock.h"
#include "kp/io.h"
#include "kp/pnp.h"
#include "MemAlloc.h"
#include "kp/pool.h"
#include "kp/restingclock.h"
#include "kp/simaudio.h"

namespace zvstream {
namespace {

using kp::ks::Chunk;
using kp::ks::KsFilter;
using kp::ks::KsObject;
using kp::ks::KsPin;
using kp::ks::StreamRequest;
using Request = std::shared_ptr<StreamRequest>;

const ChannelRecord& Channel1(ULONG direction) {
    return ChannelTable[1 + (direction == CHANNEL_CAPTURE ? ZV_CHANNEL_COUNT : 0)];
}

class HardeningTest : public InterceptTest {
protected:
    void TearDown() override {
        for (KsPin* pin : {&a_, &b_}) pin->Close();
        filter_.Close();
        InterceptTest::TearDown();
    }
    // The full device with two instances allowed on each streaming pin.
    void BootTwoInstances() {
        Boot();
        auto pins = Device()->Pins();
        for (auto& p : pins) p.MaxInstances = 2;
        Device()->SetPins(pins);
        OpenFilter(&filter_);
    }
    std::vector<uint8_t> FormatOf(ULONG pinId) {
        std::vector<uint8_t> format;
        EXPECT_EQ(filter_.Intersect(pinId, Offer(1, 200000, 8, 32, 0xFFFFFFFF), &format),
                  STATUS_SUCCESS);
        return format;
    }
    // One request of one 10 ms block on pin (a read, or a write of a pattern).
    NTSTATUS Stream(KsPin& pin, bool write, ULONG bytes) {
        std::vector<uint8_t> data(bytes, 0x11);
        Request r;
        NTSTATUS status = pin.Submit(write, {{bytes, write ? bytes : 0, data.data()}},
                                     sizeof(KSSTREAM_HEADER), &r);
        if (status != STATUS_PENDING) return status;
        AdvanceMs(30);
        r->Wait();
        return r->Status();
    }
    // A control request as an application sends it, its output buffer in
    // application memory (outSize bytes of out, or an empty buffer when out is
    // null), on its own thread while this one moves the machine clock (a
    // stream request waits for the device).
    NTSTATUS ControlAdvancing(KsPin& pin, ULONG code, const void* out, ULONG outSize) {
        kp::ks::UserBlock block(outSize != 0 ? outSize : 16);
        if (out != nullptr) std::memcpy(block.Get(), out, outSize);
        auto done = std::async(std::launch::async, [&] {
            IO_STATUS_BLOCK iosb{};
            return NtDeviceIoControlFile(pin.Handle(), nullptr, nullptr, nullptr, &iosb, code,
                                         nullptr, 0, block.Get(), outSize);
        });
        for (int i = 0;
             i < 1000 && done.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready;
             ++i) {
            AdvanceMs(10);
        }
        return done.get();
    }
    // The device below takes every request of one property as it comes,
    // answering success without looking at it.
    void DeviceAccepts(const GUID& set, ULONG id) {
        kp::sim::Fault accept;
        accept.Major = IRP_MJ_DEVICE_CONTROL;
        accept.IoControl = IOCTL_KS_PROPERTY;
        accept.MatchSet = true;
        accept.Set = set;
        accept.Id = id;
        accept.Status = STATUS_SUCCESS;
        Device()->AddFault(accept);
    }
    ULONG StateCallsWithChannel(LONG channel) {
        ULONG n = 0;
        for (auto& c : CallsOf("OnSetStreamState")) n += c.Channel == channel;
        return n;
    }

    KsFilter filter_;
    KsPin a_, b_;
};

struct LossCase {
    ULONG PinId, Direction;
    bool Write;
    ULONG Bytes;  // one 10 ms block of the pin's format
};

class ChannelLossTest : public HardeningTest, public ::testing::WithParamInterface<LossCase> {};

// A pin whose channel the master's unload released, and another pin then took,
// acts on the new owner's record no more: not on its position or count, not in
// OnBuffer, not at its close.
TEST_P(ChannelLossTest, PinThatLostItsChannelLeavesTheNewOwnerAlone) {
    const LossCase& c = GetParam();
    BootTwoInstances();
    auto format = FormatOf(c.PinId);
    ASSERT_EQ(a_.Create(filter_, c.PinId, format), STATUS_SUCCESS);
    ASSERT_EQ(Channel1(c.Direction).Acquired, 1u);
    // As the master's unload does, with the pin still open.
    ASSERT_EQ(ReleaseChannel(1, c.Direction), ZV_OK);
    ASSERT_EQ(b_.Create(filter_, c.PinId, format), STATUS_SUCCESS);
    PFILE_OBJECT owner = Channel1(c.Direction).PinFile;
    ASSERT_EQ(CallsOf("OnOpen").back().Channel, 1);

    ASSERT_EQ(b_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(a_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(StateCallsWithChannel(1), 1u) << "only B's state is followed";
    EXPECT_EQ(StateCallsWithChannel(-1), 0u);

    ASSERT_EQ(Stream(b_, c.Write, c.Bytes), STATUS_SUCCESS);
    const ULONGLONG position = Channel1(c.Direction).Position;
    const ULONGLONG count = Channel1(c.Direction).CompletedCount;
    EXPECT_GT(position, 0u);
    const size_t buffers = CallsOf("OnBuffer").size();
    EXPECT_EQ(buffers, 1u);

    // Without a mute mode a pin without a channel is not followed at all.
    ASSERT_EQ(Stream(a_, c.Write, c.Bytes), STATUS_SUCCESS);
    EXPECT_EQ(Channel1(c.Direction).Position, position);
    EXPECT_EQ(Channel1(c.Direction).CompletedCount, count);
    EXPECT_EQ(CallsOf("OnBuffer").size(), buffers);

    // With one, its buffers reach the logic without a channel.
    ULONG mute = 1, none = 0;
    ASSERT_EQ(SetSharedVariable(VID_SHARED_MUTEMODE, &mute, sizeof mute), ZV_OK);
    ASSERT_EQ(Stream(a_, c.Write, c.Bytes), STATUS_SUCCESS);
    ASSERT_EQ(SetSharedVariable(VID_SHARED_MUTEMODE, &none, sizeof none), ZV_OK);
    auto calls = CallsOf("OnBuffer");
    ASSERT_EQ(calls.size(), buffers + 1);
    EXPECT_EQ(calls.back().Channel, -1);
    EXPECT_EQ(Channel1(c.Direction).Position, position);
    EXPECT_EQ(Channel1(c.Direction).CompletedCount, count);

    // A's STOP resets nothing of B's; A's close leaves B's channel acquired.
    ASSERT_EQ(a_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Channel1(c.Direction).Position, position);
    ASSERT_EQ(a_.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Channel1(c.Direction).Acquired, 1u);
    EXPECT_EQ(Channel1(c.Direction).PinFile, owner);
    EXPECT_EQ(CallsOf("OnClose").size(), 0u);

    ASSERT_EQ(b_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(b_.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Channel1(c.Direction).Acquired, 0u);
}

INSTANTIATE_TEST_SUITE_P(Directions, ChannelLossTest,
                         ::testing::Values(LossCase{0, CHANNEL_RENDER, true, 640},
                                           LossCase{1, CHANNEL_CAPTURE, false, 160}),
                         [](const auto& info) {
                             return info.param.Write ? std::string("Render")
                                                     : std::string("Capture");
                         });

// The logics free in OnFilterUnload (and build in OnFilterLoad) what OnBuffer
// uses: an unload that begins while the stream worker is inside OnBuffer waits
// for it, and so does the load of a cancelled removal.
TEST_F(HardeningTest, UnloadAndReloadWaitForAnOnBufferInProgress) {
    Boot();
    OpenFilter(&filter_);
    ASSERT_EQ(a_.Create(filter_, 1, FormatOf(1)), STATUS_SUCCESS);
    ASSERT_EQ(a_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Settings().HoldBuffers.store(true);
    Request r;
    ASSERT_EQ(a_.Submit(false, {{160, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &r), STATUS_PENDING);
    AdvanceMs(20);
    WaitHeld(1);

    std::thread pnp([this] {
        EXPECT_EQ(KpPnpQueryRemove(pdo_), STATUS_SUCCESS);
        EXPECT_EQ(KpPnpCancelRemove(pdo_), STATUS_SUCCESS);
    });
    // Long enough for an unload that does not wait to have been recorded.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(CallsOf("OnFilterUnload").size(), 0u) << "unload ran beside OnBuffer";
    ReleaseHeld();
    pnp.join();
    r->Wait();
    auto unloads = CallsOf("OnFilterUnload");
    auto loads = CallsOf("OnFilterLoad");
    ASSERT_EQ(unloads.size(), 1u);
    ASSERT_EQ(loads.size(), 2u);
    EXPECT_GT(unloads[0].Sequence, CallsOf("OnBuffer")[0].Sequence);
    EXPECT_GT(loads[1].Sequence, unloads[0].Sequence);
}

// Requests an application may send that the logic must never see: a write
// without a header, a header with bytes and no buffer, a state outside
// STOP..RUN.  They go to the device as they came.
class MalformedRequestTest : public HardeningTest {
protected:
    void OpenRunningRender() {
        Boot();
        OpenFilter(&filter_);
        ASSERT_EQ(a_.Create(filter_, 0, FormatOf(0)), STATUS_SUCCESS);
        ASSERT_EQ(a_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    size_t DeviceWrites() {
        return DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_WRITE_STREAM).size();
    }
};

TEST_F(MalformedRequestTest, WriteWithoutAHeader) {
    OpenRunningRender();
    const size_t writes = DeviceWrites();
    ControlAdvancing(a_, IOCTL_KS_WRITE_STREAM, nullptr, 0);
    EXPECT_EQ(CallsOf("OnBuffer").size(), 0u);
    EXPECT_EQ(DeviceWrites(), writes + 1);
}

TEST_F(MalformedRequestTest, HeaderWithBytesAndNoBuffer) {
    OpenRunningRender();
    const size_t writes = DeviceWrites();
    KSSTREAM_HEADER header = {};
    header.Size = sizeof header;
    header.FrameExtent = 640;
    header.DataUsed = 640;
    header.Data = nullptr;
    ControlAdvancing(a_, IOCTL_KS_WRITE_STREAM, &header, sizeof header);
    EXPECT_EQ(CallsOf("OnBuffer").size(), 0u);
    EXPECT_EQ(DeviceWrites(), writes + 1);
}

TEST_F(MalformedRequestTest, StateOutsideStopToRun) {
    OpenRunningRender();
    const size_t states = CallsOf("OnSetStreamState").size();
    ULONG bogus = 0xFFFFFFF0;
    EXPECT_FALSE(NT_SUCCESS(
        a_.SetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &bogus, sizeof bogus)));
    EXPECT_EQ(CallsOf("OnSetStreamState").size(), states);
    ASSERT_EQ(a_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(CallsOf("OnSetStreamState").size(), states + 1);
}

// A create the device completes at DISPATCH_LEVEL finishes in a work item.
// One that cannot be had is found out before the create goes down: the create
// then passes untracked, and never leaves an entry behind (keyed by a file
// object the I/O manager will reuse) or a pin the logic was not told of.
class WorkItemTest : public HardeningTest, public ::testing::WithParamInterface<NTSTATUS> {};

TEST_P(WorkItemTest, CreateWithoutAWorkItemPassesUntracked) {
    const NTSTATUS below = GetParam();
    Boot();
    Device()->SetCompletion(kp::sim::RequestClass::Create, {true, DISPATCH_LEVEL});
    OpenFilter(&filter_);
    auto format = FormatOf(1);
    if (below != STATUS_SUCCESS) {
        kp::sim::Fault f;
        f.Major = IRP_MJ_CREATE;
        f.PinId = 1;
        f.Status = below;
        Device()->AddFault(f);
    }
    KpIoFailCall(KpFaultAllocateWorkItem, 1);
    EXPECT_EQ(a_.Create(filter_, 1, format), below);
    KpIoClearFailures();
    kp::sim::DrainCompletions();
    KpIoDrainWorkQueues();
    EXPECT_EQ(GenDisp()->OpenPinCount(), 0);
    EXPECT_EQ(CallsOf("OnOpen").size(), 0u);
    a_.Close();
    // The next create is followed again.
    ASSERT_EQ(b_.Create(filter_, 1, format), STATUS_SUCCESS);
    kp::sim::DrainCompletions();
    KpIoDrainWorkQueues();
    EXPECT_EQ(CallsOf("OnOpen").size(), 1u);
    EXPECT_EQ(GenDisp()->OpenPinCount(), 1);
    b_.Close();
    kp::sim::DrainCompletions();
    KpIoDrainWorkQueues();
}

INSTANTIATE_TEST_SUITE_P(DeviceAnswers, WorkItemTest,
                         ::testing::Values(STATUS_SUCCESS, STATUS_DEVICE_NOT_READY),
                         [](const auto& info) {
                             return info.param == STATUS_SUCCESS ? std::string("Succeeded")
                                                                 : std::string("Failed");
                         });

// A DATAFORMAT set the device took: the logic is told the new format, and the
// stream paths count in its frames.  A pin whose new format cannot be kept (no
// memory for the copy, or no block alignment to divide by), or whose set could
// not be followed at all (no context for it), is no longer followed: the old
// block would count the device's data wrongly.
enum class FormatRoad { Kept, NotKept, NoBlockAlign, NoContext };

const char* const kRoadNames[] = {"Kept", "NotKept", "NoBlockAlign", "NoContext"};

class FormatSetTest : public HardeningTest, public ::testing::WithParamInterface<FormatRoad> {};

TEST_P(FormatSetTest, LogicHearsTheNewFormatAndTheStreamFollowsIt) {
    const FormatRoad road = GetParam();
    Boot();
    OpenFilter(&filter_);
    ASSERT_EQ(a_.Create(filter_, 0, FormatOf(0)), STATUS_SUCCESS);  // 16 kHz stereo
    std::vector<uint8_t> mono = kp::ks::PcmFormat(16000, 16, 1);
    if (road == FormatRoad::NoBlockAlign) {
        const USHORT none = 0;
        std::memcpy(mono.data() + offsetof(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx.nBlockAlign),
                    &none, sizeof none);
        // A lax device takes it (the simulated one, as most, refuses it).
        DeviceAccepts(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT);
    }
    if (road == FormatRoad::NotKept) KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, 1);
    if (road == FormatRoad::NoContext) KpIoFailCall(KpFaultAllocateWorkItem, 1);
    ASSERT_EQ(a_.SetDataFormat(mono), STATUS_SUCCESS);
    KpPoolClearFailures();
    KpIoClearFailures();
    auto sets = CallsOf("OnSetFormat");
    if (road == FormatRoad::NoContext) {
        EXPECT_EQ(sets.size(), 0u);
    } else {
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0].Channels, 1u);
    }
    ASSERT_EQ(a_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // 640 bytes: 320 mono frames (160 in the old stereo format), or not followed at all.
    const bool followed = road == FormatRoad::Kept;
    ASSERT_EQ(Stream(a_, true, 640), STATUS_SUCCESS);
    EXPECT_EQ(Channel1(CHANNEL_RENDER).Position, followed ? 320u : 0u);
    EXPECT_EQ(CallsOf("OnBuffer").size(), followed ? 1u : 0u);
    ASSERT_EQ(a_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Roads, FormatSetTest,
                         ::testing::Values(FormatRoad::Kept, FormatRoad::NotKept,
                                           FormatRoad::NoBlockAlign, FormatRoad::NoContext),
                         [](const auto& info) {
                             return std::string(kRoadNames[static_cast<int>(info.param)]);
                         });

// A device that refuses every intersection: no rewritten range is verified at
// any level, so applications are offered none (never one the device refuses),
// and the all-failed default format keeps its channel limit.
TEST_F(HardeningTest, DeviceRefusingEveryIntersectionIsOfferedNoRange) {
    Boot();
    auto pins = Device()->Pins();
    pins[1].Supported = {{1, 8}};  // a point no range holds
    Device()->SetPins(pins);
    OpenFilter(&filter_);
    std::vector<uint8_t> list;
    ASSERT_EQ(filter_.DataRanges(1, &list), STATUS_SUCCESS);
    ASSERT_EQ(list.size(), sizeof(KSMULTIPLE_ITEM));
    KSMULTIPLE_ITEM item;
    std::memcpy(&item, list.data(), sizeof item);
    EXPECT_EQ(item.Count, 0u);

    std::vector<uint8_t> fallback;
    ASSERT_EQ(filter_.Intersect(1, Offer(1, 200000, 8, 32, 0xFFFFFFFF), &fallback), STATUS_SUCCESS);
    WAVEFORMATEX wave = kp::ks::WaveOf(fallback);
    EXPECT_EQ(wave.wFormatTag, WAVE_FORMAT_PCM);
    ASSERT_GE(wave.nChannels, 1u);
    EXPECT_EQ(wave.nBlockAlign, wave.nChannels * wave.wBitsPerSample / 8);
    // One channel more than the limit is refused here, before the device sees it.
    const size_t creates = DeviceRequests(IRP_MJ_CREATE).size();
    auto wider = kp::ks::PcmFormat(wave.nSamplesPerSec, wave.wBitsPerSample, wave.nChannels + 1);
    EXPECT_EQ(a_.Create(filter_, 1, wider), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(DeviceRequests(IRP_MJ_CREATE).size(), creates);
}

// Requests without a file object (as kernel clients send them) racing the
// removal of the device: each either goes through before the removal or is
// refused; none reaches a freed CDevice or the lower driver after its removal.
// Clean under AddressSanitizer and ThreadSanitizer, round after round.
class RemovalRaceTest : public HardeningTest, public ::testing::WithParamInterface<int> {};

NTSTATUS SendControl(PDEVICE_OBJECT device, ULONG code) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

TEST_P(RemovalRaceTest, RequestsRacingTheRemovalNeverReachAFreedDevice) {
    Boot();
    KpIoDrainWorkQueues();  // the master's look at arriving interfaces opens the device
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_);
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::vector<std::thread> senders;
    const ULONG codes[] = {IOCTL_KS_PROPERTY, IOCTL_KS_READ_STREAM,
                           CTL_CODE(FILE_DEVICE_UNKNOWN, 0x955, METHOD_BUFFERED, FILE_ANY_ACCESS),
                           IOCTL_KS_WRITE_STREAM};
    for (ULONG code : codes) {
        senders.emplace_back([&, code] {
            while (!stop.load()) {
                SendControl(top, code);
                sent.fetch_add(1);
            }
        });
    }
    while (sent.load() < 8 * (GetParam() % 4 + 1)) std::this_thread::yield();
    EXPECT_EQ(KpPnpSurpriseRemove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpRemove(pdo_), STATUS_SUCCESS);
    const int atRemoval = sent.load();
    while (sent.load() < atRemoval + 16) std::this_thread::yield();
    stop.store(true);
    for (auto& t : senders) t.join();
    // After the removal the filter device refuses what still reaches it.
    EXPECT_FALSE(NT_SUCCESS(SendControl(top, IOCTL_KS_PROPERTY)));
    ObDereferenceObject(top);
}

INSTANTIATE_TEST_SUITE_P(Rounds, RemovalRaceTest, ::testing::Range(0, 12));

// The application gets its own FrameExtent back on every road a cut capture
// request can take: handed to the logic, failed by the device, or completed
// without a worker thread.
class ExtentTest : public HardeningTest, public ::testing::WithParamInterface<int> {};

TEST_P(ExtentTest, CutExtentIsRestoredOnEveryRoad) {
    enum { Delivered, Failed, NoWorker };
    const int road = GetParam();
    if (road == NoWorker) FailThreadCreations(1);
    Boot();
    OpenFilter(&filter_);
    ASSERT_EQ(a_.Create(filter_, 1, FormatOf(1)), STATUS_SUCCESS);  // 8 kHz mono: 160-byte blocks
    ASSERT_EQ(a_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    if (road == Failed) {
        kp::sim::Fault f;
        f.Major = IRP_MJ_DEVICE_CONTROL;
        f.IoControl = IOCTL_KS_READ_STREAM;
        f.Status = STATUS_DEVICE_NOT_READY;
        Device()->AddFault(f);
    }
    Request r;
    ASSERT_EQ(a_.Submit(false, {{500, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &r), STATUS_PENDING);
    AdvanceMs(40);
    r->Wait();
    EXPECT_EQ(r->Status(), road == Failed ? STATUS_DEVICE_NOT_READY : STATUS_SUCCESS);
    std::vector<ULONG> extents;
    for (auto& p : Device()->PinRecords()) {
        if (p.PinId == 1) extents = p.ReadFrameExtents;
    }
    if (road != Failed) {
        EXPECT_EQ(extents, std::vector<ULONG>{480});
    }
    EXPECT_EQ(r->FrameExtent(0), 500u);
    EXPECT_EQ(CallsOf("OnBuffer").size(), road == Delivered ? 1u : 0u);
    ASSERT_EQ(a_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Roads, ExtentTest, ::testing::Values(0, 1, 2));

// A RUN the device holds pending keeps the sync-control lock: a render write
// that arrives meanwhile reaches OnBuffer only after the RUN was told.
TEST_F(HardeningTest, WriteWaitsForAPendingRun) {
    Boot();
    OpenFilter(&filter_);
    ASSERT_EQ(a_.Create(filter_, 0, FormatOf(0)), STATUS_SUCCESS);
    Device()->SetCompletion(kp::sim::RequestClass::Property, {true, PASSIVE_LEVEL, KpMs(100)});
    auto stateSets = [this] {
        size_t n = 0;
        for (auto& r : DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_PROPERTY))
            n += r.IsProperty && r.Id == KSPROPERTY_CONNECTION_STATE;
        return n;
    };
    auto run = std::async(std::launch::async, [this] { return a_.SetState(KSSTATE_RUN); });
    while (stateSets() == 0) std::this_thread::yield();
    std::vector<uint8_t> data(640, 0x22);
    Request w;
    auto write = std::async(std::launch::async, [&] {
        return a_.Submit(true, {{640, 640, data.data()}}, sizeof(KSSTREAM_HEADER), &w);
    });
    // Long enough for a write that does not wait to have reached the logic.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(CallsOf("OnBuffer").size(), 0u) << "OnBuffer ran while RUN was pending";
    while (run.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) AdvanceMs(20);
    EXPECT_EQ(run.get(), STATUS_SUCCESS);
    ASSERT_EQ(write.get(), STATUS_PENDING);
    AdvanceMs(30);
    w->Wait();
    auto buffers = CallsOf("OnBuffer");
    auto states = CallsOf("OnSetStreamState");
    ASSERT_EQ(buffers.size(), 1u);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_GT(buffers[0].Sequence, states[0].Sequence);
    Device()->SetCompletion(kp::sim::RequestClass::Property, {});
    ASSERT_EQ(a_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// A state set the device holds keeps the sync-control lock, and the device
// ends what it holds only when it hears of its removal.  A surprise removal
// meanwhile returns within bounded machine time; the held request is ended
// by the device, and the logic is unloaded once, never beside a RUN.
class HeldStateRemovalTest : public HardeningTest, public ::testing::WithParamInterface<KSSTATE> {};

TEST_P(HeldStateRemovalTest, SurpriseRemovalGetsPastAStateTheDeviceHolds) {
    const KSSTATE held = GetParam();
    Boot();
    OpenFilter(&filter_);
    ASSERT_EQ(a_.Create(filter_, 0, FormatOf(0)), STATUS_SUCCESS);
    if (held == KSSTATE_RUN) {
        ASSERT_EQ(a_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    }
    kp::sim::Fault hold;
    hold.Major = IRP_MJ_DEVICE_CONTROL;
    hold.IoControl = IOCTL_KS_PROPERTY;
    hold.MatchSet = true;
    hold.Set = KSPROPSETID_Connection;
    hold.Id = KSPROPERTY_CONNECTION_STATE;
    hold.NeverComplete = true;
    Device()->AddFault(hold);
    const size_t before = DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_PROPERTY).size();
    auto state = std::async(std::launch::async, [this, held] { return a_.SetState(held); });
    // Once the device has it, the request holds the lock.
    while (DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_PROPERTY).size() == before)
        std::this_thread::yield();

    auto removal = std::async(std::launch::async, [this] { return KpPnpSurpriseRemove(pdo_); });
    // 10 s of machine time: the lock is waited for in 3 s steps.  The clock
    // moves only while the machine rests and an application thread waits in
    // the kernel, so a removal the host runs late still finds its 3 s ahead.
    auto removed = [&removal] {
        return removal.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    };
    (void)kp::testing::AdvanceUntil(removed, true);
    if (!removed()) {
        ADD_FAILURE() << "the removal waits behind the held state request";
        Device()->ReleaseHeld(STATUS_CANCELLED);  // lets the removal and the test end
    }
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(state.get(), STATUS_CANCELLED);
    // The device ended the RUN: it is never told, and the unload came once.
    for (const Call& c : CallsOf("OnSetStreamState")) EXPECT_NE(c.Value, ULONG{KSSTATE_RUN});
    EXPECT_EQ(CallsOf("OnFilterUnload").size(), 1u);
    a_.Close();
    filter_.Close();
    EXPECT_EQ(KpPnpRemove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(CallsOf("OnFilterUnload").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(States, HeldStateRemovalTest,
                         ::testing::Values(KSSTATE_RUN, KSSTATE_PAUSE), [](const auto& info) {
                             return info.param == KSSTATE_RUN ? std::string("Run")
                                                              : std::string("Pause");
                         });

}  // namespace
}  // namespace zvstream

namespace zvstream {
namespace {

// A pin created with a DirectSound buffer description carries no wave format
// the stream paths can read (its block size is not where a wave format keeps
// it).  With processing off such a create is not refused; a mute mode follows
// pins without a channel, but never such a pin.
TEST_F(HardeningTest, DirectSoundFormatIsNotFollowedUnderAMuteMode) {
    kp::sim::PinConfig render;
    render.Dataflow = KSPIN_DATAFLOW_IN;
    kp::sim::AudioRange dsound;
    dsound.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
    render.Ranges = {kp::sim::AudioRange{}, dsound};
    std::vector<kp::sim::PinConfig> pins = {render};
    Boot(&pins);
    OpenFilter(&filter_);
    // KSDATAFORMAT, then flags, control and the wave format of the buffer.
    const ULONG size = sizeof(KSDATAFORMAT) + 8 + sizeof(WAVEFORMATEX);
    std::vector<uint8_t> format(size, 0);
    KSDATAFORMAT head = {};
    head.FormatSize = size;
    head.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    head.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    head.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
    std::memcpy(format.data(), &head, sizeof head);
    WAVEFORMATEX wave = {WAVE_FORMAT_PCM, 1, 16000, 32000, 2, 16, 0};
    std::memcpy(format.data() + sizeof(KSDATAFORMAT) + 8, &wave, sizeof wave);
    ULONG mute = 1, none = 0;
    ASSERT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &none, sizeof none), ZV_OK);
    ASSERT_EQ(a_.Create(filter_, 0, format), STATUS_SUCCESS);
    ASSERT_EQ(a_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(SetSharedVariable(VID_SHARED_MUTEMODE, &mute, sizeof mute), ZV_OK);
    const size_t writes = DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_WRITE_STREAM).size();
    // The device streams no DirectSound buffer: what matters is what the logic saw.
    (void)Stream(a_, true, 640);
    ASSERT_EQ(SetSharedVariable(VID_SHARED_MUTEMODE, &none, sizeof none), ZV_OK);
    EXPECT_EQ(CallsOf("OnBuffer").size(), 0u);
    EXPECT_EQ(DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_WRITE_STREAM).size(), writes + 1);
    ASSERT_EQ(a_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// The device below closes a filter only after its pins, so the close that
// names a filter while two of its pins are open is made here: every entry
// created on the filter forgets it, not only the first one found.
TEST_F(HardeningTest, FilterClosedUnderTwoOpenPinsIsForgottenByBoth) {
    Boot();
    OpenFilter(&filter_);
    ASSERT_EQ(a_.Create(filter_, 0, FormatOf(0)), STATUS_SUCCESS);
    ASSERT_EQ(b_.Create(filter_, 1, FormatOf(1)), STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(filter_.Handle(), 0, *IoFileObjectType, KernelMode, &object,
                                        nullptr),
              STATUS_SUCCESS);
    auto filterFile = static_cast<PFILE_OBJECT>(object);
    PIRP close = IoAllocateIrp(1, FALSE);
    ASSERT_NE(close, nullptr);
    IoSetNextIrpStackLocation(close);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(close);
    stack->MajorFunction = IRP_MJ_CLOSE;
    stack->FileObject = filterFile;
    CGenDisp* genDisp = GenDisp();
    genDisp->LockFilterList();
    genDisp->LockOpenPinList();
    EXPECT_EQ(genDisp->RemoveFilter(close, RequestFile::Own), 1u);
    OpenPinEntry* left = nullptr;
    EXPECT_EQ(genDisp->FindOpenPinByFilter(close, filterFile, &left), 0u)
        << "an open pin still names the closed filter";
    genDisp->UnlockOpenPinList();
    genDisp->UnlockFilterList();
    IoFreeIrp(close);
    ObDereferenceObject(filterFile);
    EXPECT_EQ(genDisp->FilterCount(), 0);
    EXPECT_EQ(genDisp->OpenPinCount(), 2);
    ASSERT_EQ(a_.Close(), STATUS_SUCCESS);
    ASSERT_EQ(b_.Close(), STATUS_SUCCESS);
    EXPECT_EQ(CallsOf("OnClose").size(), 2u);
    EXPECT_EQ(genDisp->OpenPinCount(), 0);
}

// Requests the interceptor answers itself are no longer counted by the time
// anyone hears of their completion (here the application's callback, which
// the I/O manager calls inside the completion): a count that outlives the
// completion it counts tells an unload that work is still inside.
TEST_F(HardeningTest, RequestsAnsweredHereAreUncountedWhenTheirCompletionIsHeard) {
    Boot();
    OpenFilter(&filter_);
    struct Heard {
        CGenDisp* GenDisp;
        LONG Pending = -1;
        NTSTATUS Status = STATUS_PENDING;
    };
    KP_IO_DONE* done = [](PVOID context, PIO_STATUS_BLOCK iosb) {
        auto* heard = static_cast<Heard*>(context);
        heard->Pending = heard->GenDisp->PendingCount();
        heard->Status = iosb->Status;
    };
    kp::ks::UserBlock in(sizeof(KSP_PIN)), out(16);
    KSP_PIN query = {};
    query.Property.Set = KSPROPSETID_Pin;
    query.Property.Id = KSPROPERTY_PIN_DATARANGES;
    query.Property.Flags = KSPROPERTY_TYPE_GET;
    std::memcpy(in.Get(), &query, sizeof query);
    // The size of the rewritten range list, answered here.
    Heard ranges{GenDisp()};
    KpDeviceIoControlAsync(filter_.Handle(), IOCTL_KS_PROPERTY, in.Get(), sizeof query, out.Get(),
                           0, done, &ranges);
    EXPECT_EQ(ranges.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ranges.Pending, 0);
    // A handshake refused while DirectSound is disabled.
    ULONG on = 1, off = 0;
    ASSERT_EQ(SetSharedVariable(VID_SHARED_DSDISABLE, &on, sizeof on), ZV_OK);
    Heard handshake{GenDisp()};
    KpDeviceIoControlAsync(filter_.Handle(), IOCTL_KS_HANDSHAKE, in.Get(), 16, out.Get(), 16, done,
                           &handshake);
    EXPECT_EQ(handshake.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(handshake.Pending, 0);
    ASSERT_EQ(SetSharedVariable(VID_SHARED_DSDISABLE, &off, sizeof off), ZV_OK);
}

}  // namespace
}  // namespace zvstream

namespace zvstream {
namespace {

// The interceptor's counts are read from any thread (diagnostics, a test
// waiting for a close) while requests change them: every access is
// interlocked, the log lines' included, so a reader racing the opens and
// closes sees whole values and the thread sanitizer no race.
TEST_F(HardeningTest, CountsReadOnAnotherThreadWhileFiltersAndPinsComeAndGo) {
    Boot();
    CGenDisp* genDisp = GenDisp();
    std::atomic<bool> done{false};
    std::atomic<LONG> highest{0}, lowest{0};
    std::thread reader([&] {
        while (!done) {
            for (LONG count : {genDisp->FilterCount(), genDisp->OpenPinCount(),
                               genDisp->Device()->OutstandingRequests()}) {
                if (count > highest) highest = count;
                if (count < lowest) lowest = count;
            }
        }
    });
    for (int i = 0; i < 10 && !HasFailure(); ++i) {
        OpenFilter(&filter_);
        EXPECT_EQ(a_.Create(filter_, 0, FormatOf(0)), STATUS_SUCCESS);
        EXPECT_EQ(a_.Close(), STATUS_SUCCESS);
        EXPECT_EQ(filter_.Close(), STATUS_SUCCESS);
    }
    done = true;
    reader.join();
    EXPECT_EQ(genDisp->FilterCount(), 0);
    EXPECT_EQ(genDisp->OpenPinCount(), 0);
    EXPECT_EQ(lowest, 0);
    EXPECT_LE(highest, 2);
}

// Every property the interceptor takes up, row by row of its table, at the
// lengths around each row's minimums: answered here with the size protocol
// of the reply (an empty buffer asks for the size, a large enough one gets
// the value, any other is too small and answered here too, since the
// device's answer would not describe the rewritten list), followed down so
// that the logic hears of it, or left to the device alone.
TEST_F(HardeningTest, EveryInterceptedPropertyRowKeepsItsSizeProtocol) {
    Boot();
    OpenFilter(&filter_);
    std::vector<uint8_t> list;
    ASSERT_EQ(filter_.DataRanges(0, &list), STATUS_SUCCESS);
    const ULONG listSize = static_cast<ULONG>(list.size());
    const std::vector<uint8_t> format = FormatOf(0);
    const ULONG formatSize = static_cast<ULONG>(format.size());
    ASSERT_GT(listSize, sizeof(KSMULTIPLE_ITEM));
    ASSERT_GE(formatSize, sizeof(KSDATAFORMAT_WAVEFORMATEX));
    ASSERT_EQ(a_.Create(filter_, 0, format), STATUS_SUCCESS);
    // The pin's format at a rate its ranges do not offer.
    std::vector<uint8_t> refused = format;
    const ULONG rate = 11025;
    std::memcpy(refused.data() + offsetof(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx.nSamplesPerSec),
                &rate, sizeof rate);
    const std::vector<uint8_t> pause = {KSSTATE_PAUSE, 0, 0, 0};
    const ULONG kspPin = sizeof(KSP_PIN), position = sizeof(KSAUDIO_POSITION);

    enum Who { Here, Below };
    enum On { Filter, Pin };
    struct Case {
        const GUID* Set;
        ULONG Id, Flags;
        On Target;
        ULONG InputBytes;   // KSPROPERTY, or KSP_PIN and the offered ranges
        ULONG OutputBytes;  // of Value, or of 0xEE bytes
        const std::vector<uint8_t>* Value;
        Who Answered;
        NTSTATUS Status;  // when answered here
        ULONG Returned;
        const char* Told;  // the callback that hears of it, or null
    };
    const GUID* pinSet = &KSPROPSETID_Pin;
    const GUID* connection = &KSPROPSETID_Connection;
    const GUID* audio = &KSPROPSETID_Audio;
    const ULONG get = KSPROPERTY_TYPE_GET, set = KSPROPERTY_TYPE_SET;
    const ULONG offer = kspPin + static_cast<ULONG>(Offer(1, 200000, 8, 32, ~0u).size());
    const Case cases[] = {
        {pinSet, KSPROPERTY_PIN_COMMUNICATION, get, Filter, kspPin, 0, nullptr, Below, 0, 0,
         nullptr},
        {pinSet, KSPROPERTY_PIN_COMMUNICATION, get, Filter, kspPin, 2, nullptr, Below, 0, 0,
         nullptr},
        {pinSet, KSPROPERTY_PIN_COMMUNICATION, get, Filter, kspPin, 4, nullptr, Here,
         STATUS_SUCCESS, 4, nullptr},
        {pinSet, KSPROPERTY_PIN_COMMUNICATION, get, Filter, kspPin, 12, nullptr, Here,
         STATUS_SUCCESS, 4, nullptr},
        {pinSet, KSPROPERTY_PIN_DATARANGES, get, Filter, kspPin, 0, nullptr, Here,
         STATUS_BUFFER_OVERFLOW, listSize, nullptr},
        {pinSet, KSPROPERTY_PIN_DATARANGES, get, Filter, kspPin, 4, nullptr, Here,
         STATUS_BUFFER_TOO_SMALL, 0, nullptr},
        {pinSet, KSPROPERTY_PIN_DATARANGES, get, Filter, kspPin, 8, nullptr, Here, STATUS_SUCCESS,
         8, nullptr},
        {pinSet, KSPROPERTY_PIN_DATARANGES, get, Filter, kspPin, 12, nullptr, Here,
         STATUS_BUFFER_TOO_SMALL, 0, nullptr},
        {pinSet, KSPROPERTY_PIN_DATARANGES, get, Filter, kspPin, listSize - 1, nullptr, Here,
         STATUS_BUFFER_TOO_SMALL, 0, nullptr},
        {pinSet, KSPROPERTY_PIN_DATARANGES, get, Filter, kspPin, listSize, nullptr, Here,
         STATUS_SUCCESS, listSize, nullptr},
        {pinSet, KSPROPERTY_PIN_DATARANGES, get, Filter, kspPin, listSize + 16, nullptr, Here,
         STATUS_SUCCESS, listSize, nullptr},
        {pinSet, KSPROPERTY_PIN_DATAINTERSECTION, get, Filter, offer, 0, nullptr, Here,
         STATUS_BUFFER_OVERFLOW, formatSize, nullptr},
        {pinSet, KSPROPERTY_PIN_DATAINTERSECTION, get, Filter, offer, 8, nullptr, Here,
         STATUS_BUFFER_TOO_SMALL, 0, nullptr},
        {pinSet, KSPROPERTY_PIN_DATAINTERSECTION, get, Filter, offer, 40, nullptr, Here,
         STATUS_BUFFER_TOO_SMALL, 0, nullptr},
        {pinSet, KSPROPERTY_PIN_DATAINTERSECTION, get, Filter, offer, formatSize - 1, nullptr, Here,
         STATUS_BUFFER_TOO_SMALL, 0, nullptr},
        {pinSet, KSPROPERTY_PIN_DATAINTERSECTION, get, Filter, offer, formatSize, nullptr, Here,
         STATUS_SUCCESS, formatSize, nullptr},
        {pinSet, KSPROPERTY_PIN_DATAINTERSECTION, get, Filter, offer, formatSize + 16, nullptr,
         Here, STATUS_SUCCESS, formatSize, nullptr},
        // Without offered ranges there is nothing to intersect with.
        {pinSet, KSPROPERTY_PIN_DATAINTERSECTION, get, Filter, kspPin, formatSize, nullptr, Below,
         0, 0, nullptr},
        {pinSet, KSPROPERTY_PIN_CATEGORY, get, Filter, kspPin, sizeof(GUID), nullptr, Below, 0, 0,
         nullptr},
        {connection, KSPROPERTY_CONNECTION_STATE, set, Pin, sizeof(KSPROPERTY), 0, nullptr, Below,
         0, 0, nullptr},
        {connection, KSPROPERTY_CONNECTION_STATE, set, Pin, sizeof(KSPROPERTY), 3, &pause, Below, 0,
         0, nullptr},
        {connection, KSPROPERTY_CONNECTION_STATE, set, Pin, sizeof(KSPROPERTY), 4, &pause, Below, 0,
         0, "OnSetStreamState"},
        {connection, KSPROPERTY_CONNECTION_DATAFORMAT, set, Pin, sizeof(KSPROPERTY),
         sizeof(KSDATAFORMAT) - 1, &format, Below, 0, 0, nullptr},
        // A bare KSDATAFORMAT is no wave format: neither compared nor followed.
        {connection, KSPROPERTY_CONNECTION_DATAFORMAT, set, Pin, sizeof(KSPROPERTY),
         sizeof(KSDATAFORMAT), &format, Below, 0, 0, nullptr},
        {connection, KSPROPERTY_CONNECTION_DATAFORMAT, set, Pin, sizeof(KSPROPERTY), formatSize,
         &refused, Here, STATUS_NO_MATCH, 0, nullptr},
        {connection, KSPROPERTY_CONNECTION_DATAFORMAT, set, Pin, sizeof(KSPROPERTY), formatSize,
         &format, Below, 0, 0, "OnSetFormat"},
        {audio, KSPROPERTY_AUDIO_POSITION, get, Pin, sizeof(KSPROPERTY), position - 1, nullptr,
         Below, 0, 0, nullptr},
        {audio, KSPROPERTY_AUDIO_POSITION, get, Pin, sizeof(KSPROPERTY), position, nullptr, Below,
         0, 0, "OnGetAudioPosition"},
    };
    const char* const followedBy[] = {"OnSetStreamState", "OnSetFormat", "OnGetAudioPosition"};
    auto deviceAsked = [this](const GUID* set, ULONG id) {
        size_t n = 0;
        for (auto& r : DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_PROPERTY))
            n += r.IsProperty && IsEqualGUID(r.Set, *set) && r.Id == id;
        return n;
    };
    ULONG rowCount = 0;
    const CGenDisp::PropertyRow* rows = CGenDisp::InterceptedProperties(&rowCount);
    std::vector<bool> rowRun(rowCount, false);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "property " << c.Id << " of set " << c.Set->Data1
                                          << ", output " << c.OutputBytes);
        std::vector<uint8_t> in(c.InputBytes, 0);
        KSP_PIN header = {};
        header.Property.Set = *c.Set;
        header.Property.Id = c.Id;
        header.Property.Flags = c.Flags;
        header.PinId = 0;
        std::memcpy(in.data(), &header, std::min<size_t>(sizeof header, in.size()));
        if (c.InputBytes > kspPin) {
            auto ranges = Offer(1, 200000, 8, 32, 0xFFFFFFFF);
            std::memcpy(in.data() + kspPin, ranges.data(), c.InputBytes - kspPin);
        }
        const CGenDisp::PropertyRow* row = CGenDisp::FindInterceptedProperty(
            reinterpret_cast<const KSPROPERTY*>(in.data()), c.InputBytes);
        ASSERT_NE(row, nullptr);
        rowRun[row - rows] = true;

        std::vector<uint8_t> out(c.OutputBytes, 0xEE);
        if (c.Value != nullptr)
            std::memcpy(out.data(), c.Value->data(), std::min(out.size(), c.Value->size()));
        const size_t asked = deviceAsked(c.Set, c.Id);
        std::vector<size_t> told;
        for (const char* name : followedBy) told.push_back(CallsOf(name).size());
        // The device below takes whatever it is sent: a request with too little
        // output for a row comes back successful, and only the table keeps it
        // from the logic.
        if (c.Answered == Below) DeviceAccepts(*c.Set, c.Id);
        KsObject& target = c.Target == Filter ? static_cast<KsObject&>(filter_) : a_;
        ULONG returned = 99;
        NTSTATUS status =
            target.Property(in.data(), c.InputBytes, c.OutputBytes != 0 ? out.data() : nullptr,
                            c.OutputBytes, &returned);
        Device()->ClearFaults();
        EXPECT_EQ(deviceAsked(c.Set, c.Id) - asked, c.Answered == Below ? 1u : 0u);
        // The device's answer reaches the application untouched.
        EXPECT_EQ(status, c.Answered == Here ? c.Status : STATUS_SUCCESS);
        EXPECT_EQ(returned, c.Answered == Here ? c.Returned : 0u);
        for (size_t i = 0; i < told.size(); ++i) {
            const bool expected = c.Told != nullptr && std::string(c.Told) == followedBy[i];
            EXPECT_EQ(CallsOf(followedBy[i]).size() - told[i], expected ? 1u : 0u) << followedBy[i];
        }
        if (c.Id == KSPROPERTY_PIN_DATARANGES && c.Set == pinSet && status == STATUS_SUCCESS) {
            EXPECT_EQ(std::memcmp(out.data(), list.data(), returned), 0);
        }
    }
    for (ULONG i = 0; i < rowCount; ++i)
        EXPECT_TRUE(rowRun[i]) << "no case runs row " << i << " (id " << rows[i].Id << ")";
}

}  // namespace
}  // namespace zvstream
