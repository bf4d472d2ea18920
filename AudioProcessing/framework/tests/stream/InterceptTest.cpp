// The interceptor end to end: an application (the KS client) on the simulated
// device below the framework with the stream test logic.
#include <chrono>
#include <cstring>
#include <thread>

#include "EchowellControl.h"
#include "InterceptFixture.h"
#include "ZvKAPFWi.h"
#include "ZvKAPFWiTables.h"
#include "kp/io.h"
#include "kp/pool.h"

namespace zvstream {
namespace {

using kp::ks::Chunk;
using kp::ks::KsFilter;
using kp::ks::KsPin;
using kp::ks::StreamRequest;
using Request = std::shared_ptr<StreamRequest>;

struct RangePoint {
    ULONG Bits, Rate, Channels;
    bool operator==(const RangePoint&) const = default;
};

std::vector<RangePoint> PointsOf(const std::vector<uint8_t>& list) {
    std::vector<RangePoint> out;
    KSMULTIPLE_ITEM item;
    std::memcpy(&item, list.data(), sizeof item);
    size_t offset = sizeof item;
    for (ULONG i = 0; i < item.Count && offset + sizeof(KSDATARANGE_AUDIO) <= list.size(); ++i) {
        KSDATARANGE_AUDIO r;
        std::memcpy(&r, list.data() + offset, sizeof r);
        EXPECT_EQ(r.MinimumBitsPerSample, r.MaximumBitsPerSample);
        out.push_back({r.MaximumBitsPerSample, r.MaximumSampleFrequency, r.MaximumChannels});
        offset += r.DataRange.FormatSize;
    }
    return out;
}

ULONGLONG ChannelPosition(ULONG direction) {
    ULONGLONG p = 0;
    EXPECT_EQ(GetChannelPosition(1, direction, &p), ZV_OK);
    return p;
}

// Channel 1's completed count (the table is read directly: the services hand
// out the position for render).
ULONGLONG ChannelCount(ULONG direction) {
    return ChannelTable[1 + (direction == CHANNEL_CAPTURE ? ZV_CHANNEL_COUNT : 0)].CompletedCount;
}

// Polls a condition that another thread makes true; false after 10 s.
template <class Condition>
bool WaitUntil(Condition condition) {
    for (int i = 0; i < 10000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    return v;
}

class BackboneTest : public InterceptTest {
protected:
    void TearDown() override {
        render_.Close();
        capture_.Close();
        filter_.Close();
        InterceptTest::TearDown();
    }
    // Opens both pins with the formats the intersection answers.
    void OpenPins() {
        OpenFilter(&filter_);
        std::vector<uint8_t> format;
        ASSERT_EQ(filter_.Intersect(0, Offer(1, 200000, 8, 32, 0xFFFFFFFF), &format),
                  STATUS_SUCCESS);
        ASSERT_EQ(render_.Create(filter_, 0, format), STATUS_SUCCESS);
        ASSERT_EQ(filter_.Intersect(1, Offer(1, 200000, 8, 32, 0xFFFFFFFF), &format),
                  STATUS_SUCCESS);
        ASSERT_EQ(capture_.Create(filter_, 1, format), STATUS_SUCCESS);
    }
    Request Read(std::vector<ULONG> extents, ULONG headerSize = sizeof(KSSTREAM_HEADER)) {
        std::vector<Chunk> chunks;
        for (ULONG e : extents) chunks.push_back({e, 0, nullptr});
        Request r;
        EXPECT_EQ(capture_.Submit(false, chunks, headerSize, &r), STATUS_PENDING);
        return r;
    }
    Request Write(const std::vector<uint8_t>& data) {
        Request r;
        EXPECT_EQ(render_.Submit(true,
                                 {{static_cast<ULONG>(data.size()), static_cast<ULONG>(data.size()),
                                   data.data()}},
                                 sizeof(KSSTREAM_HEADER), &r),
                  STATUS_PENDING);
        return r;
    }

    KsFilter filter_;
    KsPin render_, capture_;
};

TEST_F(BackboneTest, RangesFormatsStatesBuffersAndClose) {
    Boot();
    OpenFilter(&filter_);
    std::vector<uint8_t> list;
    ASSERT_EQ(filter_.DataRanges(0, &list), STATUS_SUCCESS);
    EXPECT_EQ(PointsOf(list), (std::vector<RangePoint>{{16, 16000, 2}, {16, 8000, 2}}));
    ASSERT_EQ(filter_.DataRanges(1, &list), STATUS_SUCCESS);
    EXPECT_EQ(PointsOf(list), (std::vector<RangePoint>{{16, 8000, 1}, {16, 16000, 1}}));
    filter_.Close();

    OpenPins();
    auto opens = CallsOf("OnOpen");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].Direction, 1u);
    EXPECT_EQ(opens[0].Value, 16000u);
    EXPECT_EQ(opens[0].Channels, 2u);
    EXPECT_EQ(opens[0].Mask, 3u);
    EXPECT_EQ(opens[0].Channel, 1);
    EXPECT_EQ(opens[1].Direction, 2u);
    EXPECT_EQ(opens[1].Value, 8000u);
    EXPECT_EQ(opens[1].Channels, 1u);
    EXPECT_EQ(opens[1].Mask, 4u);
    EXPECT_EQ(opens[1].AvgBytes, 16000u);
    EXPECT_EQ(GenDisp()->OpenPinCount(), 2);

    // PAUSE is told before the device sees it, RUN after the device took it.
    ASSERT_EQ(capture_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(capture_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(render_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto states = CallsOf("OnSetStreamState");
    auto sets = DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_PROPERTY);
    std::vector<ULONGLONG> deviceStateSeq;
    for (auto& r : sets) {
        if (r.IsProperty && IsEqualGUID(r.Set, KSPROPSETID_Connection) &&
            r.Id == KSPROPERTY_CONNECTION_STATE && (r.Flags & KSPROPERTY_TYPE_SET) != 0) {
            deviceStateSeq.push_back(r.Sequence);
        }
    }
    ASSERT_EQ(states.size(), 3u);
    ASSERT_EQ(deviceStateSeq.size(), 3u);
    EXPECT_EQ(states[0].Value, static_cast<ULONG>(KSSTATE_PAUSE));
    EXPECT_LT(states[0].Sequence, deviceStateSeq[0]);
    EXPECT_EQ(states[1].Value, static_cast<ULONG>(KSSTATE_RUN));
    EXPECT_GT(states[1].Sequence, deviceStateSeq[1]);

    // Render: the logic changes the samples before the device sees them.
    Settings().XorBuffers.store(0x5A);
    auto data = Pattern(640, 3);  // 10 ms at 16 kHz stereo 16 bit
    Request w = Write(data);
    // Capture: 25 ms at 8 kHz mono asks the device for two whole 10 ms blocks.
    Request r = Read({400});
    AdvanceMs(40);
    w->Wait();
    r->Wait();
    ASSERT_EQ(w->Status(), STATUS_SUCCESS);
    ASSERT_EQ(r->Status(), STATUS_SUCCESS);
    auto pin = Device()->PinRecords();
    std::vector<uint8_t> changed = data;
    for (auto& b : changed) b ^= 0x5A;
    ASSERT_GE(pin.size(), 2u);
    const kp::sim::PinRecord* renderRec = nullptr;
    const kp::sim::PinRecord* captureRec = nullptr;
    for (auto& p : pin) (p.PinId == 0 ? renderRec : captureRec) = &p;
    ASSERT_NE(renderRec, nullptr);
    ASSERT_NE(captureRec, nullptr);
    EXPECT_EQ(renderRec->Rendered, changed);
    ASSERT_EQ(captureRec->ReadFrameExtents.size(), 1u);
    EXPECT_EQ(captureRec->ReadFrameExtents[0], 320u);
    // The application gets its own extent back and the device's data, as the logic changed them.
    KSSTREAM_HEADER* header = nullptr;
    (void)header;
    ASSERT_EQ(r->DataUsed(0), 320u);
    for (ULONG i = 0; i < 320; ++i) {
        ASSERT_EQ(r->Data(0)[i], static_cast<uint8_t>(kp::sim::RampByte(i) ^ 0x5A)) << i;
    }
    auto buffers = CallsOf("OnBuffer");
    ASSERT_EQ(buffers.size(), 2u);
    EXPECT_EQ(buffers[0].Direction, 1u);
    EXPECT_EQ(buffers[0].Thread, std::this_thread::get_id());
    EXPECT_EQ(buffers[1].Direction, 2u);
    EXPECT_NE(buffers[1].Thread, std::this_thread::get_id());
    EXPECT_EQ(buffers[1].Extent[0], 400u);
    EXPECT_EQ(buffers[1].Used[0], 320u);
    for (auto& b : buffers) {
        EXPECT_TRUE(b.HeadersSystem);
        ASSERT_EQ(b.SystemData.size(), 1u);
        EXPECT_TRUE(b.SystemData[0]);
    }
    // Positions and counts in frames of each pin's format.
    EXPECT_EQ(ChannelPosition(1), 160u);
    EXPECT_EQ(ChannelCount(1), 160u);
    EXPECT_EQ(ChannelPosition(2), 200u);  // 400 bytes of 2-byte frames
    EXPECT_EQ(ChannelCount(2), 200u);

    ASSERT_EQ(capture_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(ChannelPosition(2), 0u);
    EXPECT_EQ(ChannelCount(2), 0u);
    render_.Close();
    capture_.Close();
    filter_.Close();
    // A pin's close arrives when the last request that referenced it is freed.
    CGenDisp* genDisp = GenDisp();
    ASSERT_TRUE(WaitUntil([genDisp] {
        return CallsOf("OnClose").size() == 2 && genDisp->OpenPinCount() == 0 &&
               genDisp->FilterCount() == 0;
    }));
    EXPECT_EQ(GenDisp()->PendingCount(), 0);
}

TEST_F(BackboneTest, CaptureCutToWholeBlocksAndRestoredOnEveryPath) {
    Boot();
    OpenPins();
    ASSERT_EQ(capture_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // 8 kHz mono 16 bit: one block is 160 bytes.
    Request whole = Read({320});
    Request cut = Read({500});
    Request small = Read({100});
    AdvanceMs(80);
    for (auto& r : {whole, cut, small}) {
        r->Wait();
        EXPECT_EQ(r->Status(), STATUS_SUCCESS);
    }
    auto rec = Device()->PinRecords();
    std::vector<ULONG> extents;
    for (auto& p : rec) {
        if (p.PinId == 1) extents = p.ReadFrameExtents;
    }
    EXPECT_EQ(extents, (std::vector<ULONG>{320, 480, 100}));
    auto buffers = CallsOf("OnBuffer");
    ASSERT_EQ(buffers.size(), 3u);
    EXPECT_EQ(buffers[1].Extent[0], 500u);
    EXPECT_EQ(buffers[2].Extent[0], 100u);
    // A failed read: no OnBuffer, and the application's extent comes back.
    kp::sim::Fault f;
    f.Major = IRP_MJ_DEVICE_CONTROL;
    f.IoControl = IOCTL_KS_READ_STREAM;
    f.Status = STATUS_DEVICE_NOT_READY;
    Device()->AddFault(f);
    Request failed = Read({500});
    AdvanceMs(10);
    failed->Wait();
    EXPECT_EQ(failed->Status(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(CallsOf("OnBuffer").size(), 3u);
    ASSERT_EQ(capture_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(BackboneTest, TwoHeadersOfExtendedSizeAreBothMapped) {
    Boot();
    OpenPins();
    ASSERT_EQ(capture_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Request r = Read({160, 320}, sizeof(KSSTREAM_HEADER) + 16);
    AdvanceMs(60);
    r->Wait();
    ASSERT_EQ(r->Status(), STATUS_SUCCESS);
    auto buffers = CallsOf("OnBuffer");
    ASSERT_EQ(buffers.size(), 1u);
    ASSERT_EQ(buffers[0].SystemData.size(), 2u);
    EXPECT_TRUE(buffers[0].SystemData[0] && buffers[0].SystemData[1]);
    EXPECT_EQ(ChannelPosition(2), 240u);
    ASSERT_EQ(capture_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(BackboneTest, BadStreamHeadersPassUntouched) {
    Boot();
    OpenPins();
    ASSERT_EQ(render_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // DataUsed beyond FrameExtent: the logic never sees it.
    auto data = Pattern(640, 1);
    // DataUsed beyond FrameExtent goes to the device as it came (the device refuses it).
    Request r;
    if (render_.Submit(true, {{320, 640, data.data()}}, sizeof(KSSTREAM_HEADER), &r) ==
        STATUS_PENDING) {
        AdvanceMs(30);
        r->Wait();
    }
    // Eleven headers: not handed to the logic either.
    std::vector<Chunk> eleven(11, Chunk{64, 64, data.data()});
    Request many;
    if (render_.Submit(true, eleven, sizeof(KSSTREAM_HEADER), &many) == STATUS_PENDING) {
        AdvanceMs(60);
        many->Wait();
    }
    EXPECT_EQ(CallsOf("OnBuffer").size(), 0u);
    ASSERT_EQ(render_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(BackboneTest, HeldCaptureBuffersDelayRemovalUntilCompleted) {
    Boot();
    OpenPins();
    ASSERT_EQ(capture_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Settings().HoldBuffers.store(true);
    Request a = Read({160});
    Request b = Read({160});
    AdvanceMs(30);
    WaitHeld(1);
    EXPECT_FALSE(a->Done());
    EXPECT_GT(GenDisp()->PendingCount(), 0);
    ReleaseHeld();
    a->Wait();
    b->Wait();
    EXPECT_EQ(a->Status(), STATUS_SUCCESS);
    EXPECT_EQ(b->Status(), STATUS_SUCCESS);
    auto buffers = CallsOf("OnBuffer");
    ASSERT_EQ(buffers.size(), 2u);
    EXPECT_LT(buffers[0].Sequence, buffers[1].Sequence);
    ASSERT_EQ(capture_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(GenDisp()->PendingCount(), 0);
}

TEST_F(BackboneTest, AsynchronousDispatchLevelCompletionsDeferTheirWork) {
    Boot();
    for (auto c : {kp::sim::RequestClass::Create, kp::sim::RequestClass::Property,
                   kp::sim::RequestClass::Stream, kp::sim::RequestClass::Close}) {
        Device()->SetCompletion(c, {true, DISPATCH_LEVEL});
    }
    OpenPins();
    auto opens = CallsOf("OnOpen");
    ASSERT_EQ(opens.size(), 2u);
    for (auto& o : opens) EXPECT_EQ(o.Irql, PASSIVE_LEVEL);
    ASSERT_EQ(capture_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Request r = Read({320});
    AdvanceMs(50);
    kp::sim::DrainCompletions();
    r->Wait();
    EXPECT_EQ(r->Status(), STATUS_SUCCESS);
    for (auto& c : Calls()) EXPECT_EQ(c.Irql, PASSIVE_LEVEL) << c.What;
    ASSERT_EQ(capture_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    kp::sim::DrainCompletions();
    KpIoDrainWorkQueues();
}

TEST_F(BackboneTest, PositionAndInterceptedSets) {
    Boot();
    OpenPins();
    ASSERT_EQ(capture_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Settings().AddWriteOffset = 1120;
    KSAUDIO_POSITION p{};
    ASSERT_EQ(capture_.GetPosition(&p), STATUS_SUCCESS);
    EXPECT_EQ(p.WriteOffset, 1120u);
    EXPECT_EQ(CallsOf("OnGetAudioPosition").size(), 1u);
    // The logic's own set completes without the device.
    Settings().PropertyAnswer = STATUS_SUCCESS;
    Settings().PropertyBytes = 4;
    size_t before = DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_PROPERTY).size();
    ULONG value = 0, returned = 0;
    EXPECT_EQ(capture_.GetProperty(KSPROPSETID_AecControl, 1, &value, sizeof value, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_PROPERTY).size(), before);
    ASSERT_EQ(capture_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(BackboneTest, DataFormatSetsAreCheckedAndFollowed) {
    Boot();
    OpenPins();
    size_t before = DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_PROPERTY).size();
    EXPECT_EQ(capture_.SetDataFormat(kp::ks::PcmFormat(44100, 16, 1)), STATUS_NO_MATCH);
    EXPECT_EQ(DeviceRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_KS_PROPERTY).size(), before);
    ASSERT_EQ(capture_.SetDataFormat(kp::ks::PcmFormat(8000, 16, 1)), STATUS_SUCCESS);
    auto sets = CallsOf("OnSetFormat");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].Value, 8000u);
}

TEST_F(BackboneTest, HandshakeBlockedWhileDirectSoundIsDisabled) {
    Boot();
    OpenFilter(&filter_);
    ULONG on = 1, off = 0;
    ASSERT_EQ(SetSharedVariable(VID_SHARED_DSDISABLE, &on, sizeof on), ZV_OK);
    UCHAR in[16] = {}, out[16] = {};
    EXPECT_EQ(filter_.Handshake(in, sizeof in, out, sizeof out), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Device()->HandshakeCount(), 0u);
    ASSERT_EQ(SetSharedVariable(VID_SHARED_DSDISABLE, &off, sizeof off), ZV_OK);
    filter_.Handshake(in, sizeof in, out, sizeof out);
    EXPECT_EQ(Device()->HandshakeCount(), 1u);
}

TEST_F(BackboneTest, PinCreateNamesOfEveryLengthAreSafe) {
    Boot();
    OpenFilter(&filter_);
    auto good = kp::ks::PcmFormat(8000, 16, 1);
    // Formats cut short, and FormatSize claiming more than the name holds: passed down untouched.
    for (size_t keep : {2ul, 10ul, 63ul, 64ul, 81ul}) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + keep);
        KsPin pin;
        pin.Create(filter_, 1, cut);
        pin.Close();
    }
    auto lying = good;
    ULONG big = 4000;
    std::memcpy(lying.data(), &big, 4);
    KsPin pin;
    pin.Create(filter_, 1, lying);
    pin.Close();
    EXPECT_EQ(CallsOf("OnOpen").size(), 0u);
    EXPECT_EQ(GenDisp()->OpenPinCount(), 0);
    // A well-formed create of a format outside the ranges is refused here.
    EXPECT_EQ(pin.Create(filter_, 1, kp::ks::PcmFormat(44100, 16, 1)), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(GenDisp()->OpenPinCount(), 0);
}

TEST_F(BackboneTest, CreateWithoutContextPassesUntracked) {
    Boot();
    OpenFilter(&filter_);
    std::vector<uint8_t> format;
    ASSERT_EQ(filter_.Intersect(1, Offer(1, 200000, 8, 32, 0xFFFFFFFF), &format), STATUS_SUCCESS);
    const ULONG zvap = ((ULONG)'P' << 24) | ((ULONG)'A' << 16) | ((ULONG)'V' << 8) | (ULONG)'Z';
    FailAllocation(zvap, 1, 1000);
    KsPin pin;
    EXPECT_EQ(pin.Create(filter_, 1, format), STATUS_SUCCESS);
    KpPoolClearFailures();
    EXPECT_EQ(CallsOf("OnOpen").size(), 0u);
    EXPECT_EQ(GenDisp()->OpenPinCount(), 0);
    pin.Close();
    ASSERT_EQ(capture_.Create(filter_, 1, format), STATUS_SUCCESS);
    EXPECT_EQ(CallsOf("OnOpen").size(), 1u);
}

std::vector<kp::sim::PinConfig> PinsWithHiddenCapture() {
    kp::sim::PinConfig render;
    render.Dataflow = KSPIN_DATAFLOW_IN;
    render.Ranges = {kp::sim::AudioRange{}};
    kp::sim::PinConfig capture;
    capture.Dataflow = KSPIN_DATAFLOW_OUT;
    kp::sim::AudioRange r24;
    r24.MinBits = r24.MaxBits = 24;
    capture.Ranges = {r24};
    return {render, capture};
}

TEST_F(BackboneTest, PinWithNoRewrittenRangeIsHidden) {
    auto pins = PinsWithHiddenCapture();
    Boot(&pins);
    OpenFilter(&filter_);
    std::vector<uint8_t> list;
    ASSERT_EQ(filter_.DataRanges(1, &list), STATUS_SUCCESS);
    ASSERT_EQ(list.size(), 8u);
    EXPECT_EQ(PointsOf(list).size(), 0u);
    std::vector<uint8_t> format;
    EXPECT_EQ(filter_.Intersect(1, Offer(1, 200000, 8, 32, 0xFFFFFFFF), &format), STATUS_NO_MATCH);
    ULONG communication = 99;
    ASSERT_EQ(filter_.GetPinProperty(1, KSPROPERTY_PIN_COMMUNICATION, &communication,
                                     sizeof communication),
              STATUS_SUCCESS);
    EXPECT_EQ(communication, static_cast<ULONG>(KSPIN_COMMUNICATION_NONE));
    // Its creates go to the device untouched.
    KsPin pin;
    auto f24 = kp::ks::PcmFormat(16000, 24, 1);
    EXPECT_EQ(pin.Create(filter_, 1, f24), STATUS_SUCCESS);
    EXPECT_EQ(CallsOf("OnOpen").size(), 0u);
    // A range list asked for with an odd length is not the device's to answer.
    ULONG small[3] = {};
    EXPECT_EQ(filter_.GetPinProperty(0, KSPROPERTY_PIN_DATARANGES, small, sizeof small),
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(BackboneTest, FilterClosedBeforeItsPins) {
    Boot();
    OpenPins();
    // The pins keep their filter's file object referenced: its close comes after theirs.
    filter_.Close();
    EXPECT_EQ(CallsOf("OnClose").size(), 0u);
    render_.Close();
    capture_.Close();
    EXPECT_EQ(CallsOf("OnClose").size(), 2u);
    EXPECT_EQ(GenDisp()->OpenPinCount(), 0);
    EXPECT_EQ(GenDisp()->FilterCount(), 0);
}

TEST_F(BackboneTest, CreateTheDeviceFailsLeavesNoEntry) {
    Boot();
    OpenFilter(&filter_);
    std::vector<uint8_t> format;
    ASSERT_EQ(filter_.Intersect(1, Offer(1, 200000, 8, 32, 0xFFFFFFFF), &format), STATUS_SUCCESS);
    kp::sim::Fault f;
    f.Major = IRP_MJ_CREATE;
    f.PinId = 1;
    f.Status = STATUS_INSUFFICIENT_RESOURCES;
    Device()->AddFault(f);
    EXPECT_EQ(capture_.Create(filter_, 1, format), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(GenDisp()->OpenPinCount(), 0);
    EXPECT_EQ(CallsOf("OnOpen").size(), 0u);
    EXPECT_EQ(CallsOf("OnClose").size(), 0u);
    ASSERT_EQ(capture_.Create(filter_, 1, format), STATUS_SUCCESS);
    EXPECT_EQ(CallsOf("OnOpen").size(), 1u);
}

TEST_F(BackboneTest, RebuildEmptiesTheListsAndAppliesTheLimit) {
    Boot();
    OpenPins();
    ULONG limit = 20000;
    ASSERT_EQ(SetSharedVariable(VID_SHARED_BWLIMIT, &limit, sizeof limit), ZV_OK);
    std::vector<uint8_t> list;
    ASSERT_EQ(filter_.DataRanges(1, &list), STATUS_SUCCESS);
    EXPECT_EQ(CallsOf("OnClose").size(), 2u);
    // 2 bytes x 8000 = 16000 is within the limit; the device range's minimum decides.
    EXPECT_FALSE(PointsOf(list).empty());
    limit = 1000;
    ASSERT_EQ(SetSharedVariable(VID_SHARED_BWLIMIT, &limit, sizeof limit), ZV_OK);
    ASSERT_EQ(filter_.DataRanges(1, &list), STATUS_SUCCESS);
    EXPECT_EQ(list.size(), 8u);
}

TEST_F(BackboneTest, EmptyBufferSlotTakesNoStreamRequest) {
    Boot();
    OpenPins();
    SetBufferSlot(false);
    ASSERT_EQ(render_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(capture_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Request w = Write(Pattern(640, 2));
    Request r = Read({500});
    AdvanceMs(80);
    w->Wait();
    r->Wait();
    EXPECT_EQ(ChannelPosition(1), 160u);  // still counted at dispatch
    EXPECT_EQ(ChannelCount(1), 0u);
    for (auto& p : Device()->PinRecords()) {
        if (p.PinId == 1) {
            EXPECT_EQ(p.ReadFrameExtents, (std::vector<ULONG>{500}));
        }
    }
    SetBufferSlot(true);
    ASSERT_EQ(capture_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(render_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(BackboneTest, UnmappableCaptureBufferPassesUntouched) {
    Boot();
    OpenPins();
    ASSERT_EQ(capture_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    KpIoFailCall(KpFaultMapLockedPages, 2);  // the headers map, the data does not
    Request r = Read({500});
    KpIoClearFailures();
    AdvanceMs(80);
    r->Wait();
    EXPECT_EQ(r->Status(), STATUS_SUCCESS);
    EXPECT_EQ(CallsOf("OnBuffer").size(), 0u);
    for (auto& p : Device()->PinRecords()) {
        if (p.PinId == 1) {
            EXPECT_EQ(p.ReadFrameExtents, (std::vector<ULONG>{500}));
        }
    }
    ASSERT_EQ(capture_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(BackboneTest, WithoutAWorkerThreadCaptureStillCompletes) {
    FailThreadCreations(1);
    Boot();
    OpenPins();
    ASSERT_EQ(capture_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Request r = Read({500});
    AdvanceMs(80);
    r->Wait();
    EXPECT_EQ(r->Status(), STATUS_SUCCESS);
    EXPECT_EQ(CallsOf("OnBuffer").size(), 0u);
    ASSERT_EQ(capture_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(GenDisp()->PendingCount(), 0);
}

TEST_F(BackboneTest, SlaveStackNeverAsksTheLogicForItsSets) {
    Boot(nullptr, false);
    OpenPins();
    Settings().PropertyAnswer = STATUS_SUCCESS;
    ULONG value = 0;
    capture_.GetProperty(KSPROPSETID_AecControl, 1, &value, sizeof value);
    EXPECT_EQ(CallsOf("OnKSProperty").size(), 0u);
}

// Property requests of every length and random content, on the filter and on
// the pins: each gets an answer (any status), nothing is read out of bounds
// (AddressSanitizer), and the lists stay consistent.
TEST_F(BackboneTest, RandomPropertyRequestsGetAnswers) {
    Boot();
    OpenPins();
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    const GUID sets[] = {KSPROPSETID_Pin, KSPROPSETID_Connection, KSPROPSETID_Audio,
                         KSPROPSETID_AecControl};
    for (int i = 0; i < 600; ++i) {
        std::vector<uint8_t> in(next() % 160), out(next() % 130);
        for (auto& b : in) b = static_cast<uint8_t>(next());
        if (in.size() >= sizeof(KSPROPERTY)) {
            KSPROPERTY p = {
                sets[next() % 4], next() % 8,
                static_cast<ULONG>((next() % 2) != 0 ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET)};
            std::memcpy(in.data(), &p, sizeof p);
            if (in.size() >= sizeof(KSP_PIN)) {
                ULONG pinId = next() % 3;
                std::memcpy(in.data() + 24, &pinId, 4);
            }
            if (in.size() >= 40 && next() % 2 == 0) {
                KSMULTIPLE_ITEM item = {next() % 400, next() % 5};
                std::memcpy(in.data() + 32, &item, sizeof item);
            }
        }
        kp::ks::KsObject* target = (i % 3 == 0)   ? static_cast<kp::ks::KsObject*>(&filter_)
                                   : (i % 3 == 1) ? static_cast<kp::ks::KsObject*>(&render_)
                                                  : static_cast<kp::ks::KsObject*>(&capture_);
        // Never a state change: the pins stay as they are.
        if (in.size() >= sizeof(KSPROPERTY)) {
            KSPROPERTY p;
            std::memcpy(&p, in.data(), sizeof p);
            if (IsEqualGUID(p.Set, KSPROPSETID_Connection) && p.Id == KSPROPERTY_CONNECTION_STATE)
                continue;
        }
        ULONG returned = 0;
        target->Control(IOCTL_KS_PROPERTY, in.empty() ? nullptr : in.data(),
                        static_cast<ULONG>(in.size()), out.empty() ? nullptr : out.data(),
                        static_cast<ULONG>(out.size()), &returned);
        EXPECT_LE(returned, out.size() > 0 ? out.size() : 0xFFFFFFFFu);
    }
    EXPECT_EQ(GenDisp()->OpenPinCount(), 2);
}

}  // namespace
}  // namespace zvstream
