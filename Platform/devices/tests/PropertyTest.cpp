// Property answers of the simulated device: the size protocol of every answer,
// data ranges, intersections and their knobs, the volume node, bad requests.
#include <algorithm>
#include <cstring>

#include "SimTestSupport.h"

namespace kp::simtest {
namespace {

using kp::ks::KsFilter;

DEFINE_GUID(kAecControlSet, 0x05F610B4, 0xA4F5, 0x4471, 0x9B, 0xF6, 0x5A, 0x17, 0xB4, 0xD1, 0x3E,
            0x7F);
DEFINE_GUID(kSwitchMuteSet, 0xB6DA90F1, 0xC840, 0x4EEB, 0x9A, 0x2C, 0xFD, 0xF3, 0xE0, 0x43, 0xBD,
            0x67);

class PropertyTest : public SimTest {};

// Zero length asks for the size, one byte short is an error, exact fills.
void ExpectSizeProtocol(KsFilter& f, ULONG pin, ULONG id, ULONG size, const void* expected) {
    SCOPED_TRACE("property " + std::to_string(id));
    ULONG returned = 99;
    EXPECT_EQ(f.GetPinProperty(pin, id, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, size);
    std::vector<uint8_t> value(size);
    EXPECT_EQ(f.GetPinProperty(pin, id, value.data(), size - 1, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(f.GetPinProperty(pin, id, value.data(), size, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, size);
    EXPECT_EQ(std::memcmp(value.data(), expected, size), 0);
}

TEST_F(PropertyTest, PinPropertiesFollowTheSizeProtocol) {
    Boot();
    KsFilter f;
    OpenFilter(&f);
    ULONG count = 0;
    ASSERT_EQ(f.PinCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 4u);
    ULONG in = KSPIN_DATAFLOW_IN, out = KSPIN_DATAFLOW_OUT, sink = KSPIN_COMMUNICATION_SINK,
          none = KSPIN_COMMUNICATION_NONE;
    ExpectSizeProtocol(f, 0, KSPROPERTY_PIN_DATAFLOW, 4, &in);
    ExpectSizeProtocol(f, 1, KSPROPERTY_PIN_DATAFLOW, 4, &out);
    ExpectSizeProtocol(f, 0, KSPROPERTY_PIN_COMMUNICATION, 4, &sink);
    ExpectSizeProtocol(f, 2, KSPROPERTY_PIN_COMMUNICATION, 4, &none);
    ExpectSizeProtocol(f, 0, KSPROPERTY_PIN_CATEGORY, 16, &KSCATEGORY_AUDIO);
    ExpectSizeProtocol(f, 1, KSPROPERTY_PIN_CATEGORY, 16, &KSCATEGORY_CAPTURE);
    KSPIN_CINSTANCES instances{1, 0};
    ExpectSizeProtocol(f, 0, KSPROPERTY_PIN_CINSTANCES, 8, &instances);
}

TEST_F(PropertyTest, DataRangesAnswerTheSizeTheHeaderAndTheList) {
    Boot();
    KsFilter f;
    OpenFilter(&f);
    ULONG returned = 0;
    EXPECT_EQ(f.GetPinProperty(0, KSPROPERTY_PIN_DATARANGES, nullptr, 0, &returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, 96u);
    KSMULTIPLE_ITEM head{};
    EXPECT_EQ(f.GetPinProperty(0, KSPROPERTY_PIN_DATARANGES, &head, 8, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(head.Size, 96u);
    EXPECT_EQ(head.Count, 1u);
    std::vector<uint8_t> list(200);
    EXPECT_EQ(f.GetPinProperty(0, KSPROPERTY_PIN_DATARANGES, list.data(), 12, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(f.GetPinProperty(0, KSPROPERTY_PIN_DATARANGES, list.data(), 95, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(f.GetPinProperty(0, KSPROPERTY_PIN_DATARANGES, list.data(), 200, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 96u);
    KSDATARANGE_AUDIO r;
    std::memcpy(&r, list.data() + 8, sizeof r);
    EXPECT_EQ(r.DataRange.FormatSize, 88u);
    EXPECT_TRUE(r.DataRange.MajorFormat == KSDATAFORMAT_TYPE_AUDIO);
    EXPECT_TRUE(r.DataRange.SubFormat == KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_TRUE(r.DataRange.Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    EXPECT_EQ(r.MaximumChannels, 2u);
    EXPECT_EQ(r.MinimumBitsPerSample, 8u);
    EXPECT_EQ(r.MaximumBitsPerSample, 16u);
    EXPECT_EQ(r.MinimumSampleFrequency, 8000u);
    EXPECT_EQ(r.MaximumSampleFrequency, 48000u);

    // A bridge pin lists one plain 64-byte range that is not PCM.
    std::vector<uint8_t> bridge;
    ASSERT_EQ(f.DataRanges(2, &bridge), STATUS_SUCCESS);
    ASSERT_EQ(bridge.size(), 72u);
    KSDATARANGE plain;
    std::memcpy(&plain, bridge.data() + 8, sizeof plain);
    EXPECT_EQ(plain.FormatSize, 64u);
    EXPECT_FALSE(plain.SubFormat == KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_EQ(Device()->QueriesAnswered(0, KSPROPERTY_PIN_DATARANGES), 5u);
}

TEST_F(PropertyTest, BadRequestsGetTheirOwnStatus) {
    Boot();
    KsFilter f;
    OpenFilter(&f);
    ULONG v = 0;
    EXPECT_EQ(f.GetPinProperty(9, KSPROPERTY_PIN_DATAFLOW, &v, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(f.GetPinProperty(0, 77, &v, 4), STATUS_NOT_FOUND);
    // The private sets of the filter drivers are not the device's.
    EXPECT_EQ(f.GetProperty(kAecControlSet, 1, &v, 4), STATUS_NOT_FOUND);
    EXPECT_EQ(f.GetProperty(kSwitchMuteSet, 0, &v, 4), STATUS_NOT_FOUND);
    // A pin property with only a KSPROPERTY (no pin id), and one shorter still.
    EXPECT_EQ(f.GetProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &v, 4),
              STATUS_INVALID_PARAMETER);
    KSPROPERTY p{KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(f.Property(&p, 20, &v, 4), STATUS_INVALID_PARAMETER);
    // Connection and position properties belong to pins, not to the filter.
    EXPECT_EQ(f.GetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &v, 4),
              STATUS_INVALID_DEVICE_REQUEST);
    KSAUDIO_POSITION pos;
    EXPECT_EQ(f.GetProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, &pos, sizeof pos),
              STATUS_INVALID_DEVICE_REQUEST);
    // Every request is in the device's log with what it carried.
    auto log = Device()->Requests();
    ASSERT_FALSE(log.empty());
    auto it = std::find_if(log.begin(), log.end(),
                           [](const kp::sim::RequestRecord& r) { return r.PinId == 9; });
    ASSERT_NE(it, log.end());
    const auto& first = *it;
    EXPECT_EQ(first.IoControl, static_cast<ULONG>(IOCTL_KS_PROPERTY));
    EXPECT_TRUE(first.Set == KSPROPSETID_Pin);
    EXPECT_EQ(first.PinId, 9u);
    EXPECT_EQ(first.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(first.Mode, UserMode);
    EXPECT_LT(log[log.size() - 2].Sequence, log.back().Sequence);
}

TEST_F(PropertyTest, IntersectionAnswersTheHighestCommonPoint) {
    Boot();
    KsFilter f;
    OpenFilter(&f);
    std::vector<uint8_t> format;
    ASSERT_EQ(f.Intersect(0, kp::ks::OfferPoint(16000, 16, 2), &format), STATUS_SUCCESS);
    ASSERT_EQ(format.size(), 82u);
    EXPECT_EQ(format, kp::ks::PcmFormat(16000, 16, 2));
    // Any number of channels offered: the device's maximum.
    ASSERT_EQ(f.Intersect(0, kp::ks::OfferPoint(8000, 8, 0xFFFFFFFF), &format), STATUS_SUCCESS);
    EXPECT_EQ(format, kp::ks::PcmFormat(8000, 8, 2));
    // The capture pin has one channel at 16 bits only.
    ASSERT_EQ(f.Intersect(1, kp::ks::OfferPoint(48000, 16, 2), &format), STATUS_SUCCESS);
    EXPECT_EQ(format, kp::ks::PcmFormat(48000, 16, 1));
    EXPECT_EQ(f.Intersect(1, kp::ks::OfferPoint(44100, 24, 2), &format), STATUS_NO_MATCH);
    EXPECT_EQ(f.Intersect(0, kp::ks::OfferPoint(96000, 16, 2), &format), STATUS_NO_MATCH);

    // Two offered ranges: the first that intersects wins.
    auto a = kp::ks::OfferPoint(96000, 16, 2), b = kp::ks::OfferPoint(11025, 16, 1);
    std::vector<uint8_t> two(a.begin(), a.end());
    two.insert(two.end(), b.begin() + 8, b.end());
    KSMULTIPLE_ITEM head{static_cast<ULONG>(two.size()), 2};
    std::memcpy(two.data(), &head, sizeof head);
    ASSERT_EQ(f.Intersect(0, two, &format), STATUS_SUCCESS);
    EXPECT_EQ(format, kp::ks::PcmFormat(11025, 16, 1));

    // The size protocol of the answer.
    std::vector<uint8_t> in(32 + a.size());
    KSP_PIN p{{KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET}, 0, 0};
    auto ok = kp::ks::OfferPoint(16000, 16, 2);
    in.assign(32 + ok.size(), 0);
    std::memcpy(in.data(), &p, 32);
    std::memcpy(in.data() + 32, ok.data(), ok.size());
    std::vector<uint8_t> out(82);
    ULONG returned = 0;
    EXPECT_EQ(f.Property(in.data(), static_cast<ULONG>(in.size()), nullptr, 0, &returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, 82u);
    EXPECT_EQ(f.Property(in.data(), static_cast<ULONG>(in.size()), out.data(), 81, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Device()->QueriesAnswered(0, KSPROPERTY_PIN_DATAINTERSECTION), 9u);
}

TEST_F(PropertyTest, IntersectionWalksOfferedRangesWithinTheInputOnly) {
    Boot();
    KsFilter f;
    OpenFilter(&f);
    std::vector<uint8_t> format;
    // A list that claims more ranges and bytes than were sent.
    auto offer = kp::ks::OfferPoint(16000, 16, 2);
    KSMULTIPLE_ITEM lie{100000, 1000};
    std::memcpy(offer.data(), &lie, sizeof lie);
    offer.resize(8 + 40);  // the range itself is cut short
    EXPECT_EQ(f.Intersect(0, offer, &format), STATUS_NO_MATCH);
    // A range whose FormatSize runs past the input.
    offer = kp::ks::OfferPoint(16000, 16, 2);
    ULONG huge = 0x7FFFFFF0;
    std::memcpy(offer.data() + 8, &huge, 4);
    EXPECT_EQ(f.Intersect(0, offer, &format), STATUS_NO_MATCH);
    // No list at all.
    EXPECT_EQ(f.Intersect(0, {}, &format), STATUS_NO_MATCH);
}

TEST_F(PropertyTest, IntersectionKnobsShapeTheAnswer) {
    Boot();
    auto device = Device();
    auto pins = device->Pins();
    pins[0].OnlyChannels = 2;
    pins[0].ExtensibleAnswer = true;
    pins[1].Rejected = {{16000, 16}};
    pins[1].Ranges[0].MaxChannels = 2;
    device->SetPins(pins);
    KsFilter f;
    OpenFilter(&f);
    std::vector<uint8_t> format;
    ASSERT_EQ(f.Intersect(0, kp::ks::OfferPoint(16000, 16, 1), &format), STATUS_SUCCESS);
    ASSERT_EQ(format.size(), 104u);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE x;
    std::memcpy(&x, format.data(), sizeof x);
    EXPECT_EQ(x.DataFormat.FormatSize, 104u);
    EXPECT_EQ(x.WaveFormatExt.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(x.WaveFormatExt.Format.nChannels, 2);  // "only two channels" whatever was offered
    EXPECT_EQ(x.WaveFormatExt.Format.cbSize, 22);
    EXPECT_EQ(x.WaveFormatExt.Format.nBlockAlign, 4);
    EXPECT_EQ(x.WaveFormatExt.Format.nAvgBytesPerSec, 64000u);
    EXPECT_EQ(x.WaveFormatExt.Samples.wValidBitsPerSample, 16);
    EXPECT_TRUE(x.WaveFormatExt.SubFormat == KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_EQ(f.Intersect(1, kp::ks::OfferPoint(16000, 16, 2), &format), STATUS_NO_MATCH);
    ASSERT_EQ(f.Intersect(1, kp::ks::OfferPoint(8000, 16, 2), &format), STATUS_SUCCESS);
    EXPECT_EQ(format, kp::ks::PcmFormat(8000, 16, 2));

    // Supported points: the highest allowed one inside the offer.
    pins[0].ExtensibleAnswer = false;
    pins[0].OnlyChannels = 0;
    pins[0].Supported = {{8000, 16}, {22050, 16}, {44100, 8}};
    device->SetPins(pins);
    auto offer = kp::ks::OfferPoint(8000, 8, 1);
    KSDATARANGE_AUDIO r;
    std::memcpy(&r, offer.data() + 8, sizeof r);
    r.MaximumBitsPerSample = 16;
    r.MaximumSampleFrequency = 32000;
    std::memcpy(offer.data() + 8, &r, sizeof r);
    ASSERT_EQ(f.Intersect(0, offer, &format), STATUS_SUCCESS);
    EXPECT_EQ(format, kp::ks::PcmFormat(22050, 16, 1));
}

TEST_F(PropertyTest, TheExtendedDeviceListsMidiWideAndUnusualRanges) {
    auto device = FullDevice();
    device.Profile = "extended";
    Boot({device});
    KsFilter f;
    OpenFilter(&f);
    ULONG count = 0;
    ASSERT_EQ(f.PinCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 7u);
    std::vector<uint8_t> list, format;
    ASSERT_EQ(f.DataRanges(4, &list), STATUS_SUCCESS);
    KSDATARANGE midi;
    std::memcpy(&midi, list.data() + 8, sizeof midi);
    EXPECT_TRUE(midi.MajorFormat == KSDATAFORMAT_TYPE_MUSIC);
    EXPECT_EQ(f.Intersect(4, kp::ks::OfferPoint(16000, 16, 1), &format), STATUS_NO_MATCH);
    ASSERT_EQ(f.DataRanges(5, &list), STATUS_SUCCESS);
    EXPECT_EQ(list.size(), 8u + 96u);
    ASSERT_EQ(f.Intersect(5, kp::ks::OfferPoint(16000, 16, 1), &format), STATUS_SUCCESS);
    EXPECT_EQ(f.Intersect(6, kp::ks::OfferPoint(16000, 16, 2), &format), STATUS_NO_MATCH);
    ASSERT_EQ(f.Intersect(6, kp::ks::OfferPoint(44100, 24, 2), &format), STATUS_SUCCESS);
    EXPECT_EQ(format, kp::ks::PcmFormat(44100, 24, 2));
}

TEST_F(PropertyTest, TheVolumeNodeKeepsALevelPerChannelInItsRange) {
    Boot();
    KsFilter f;
    OpenFilter(&f);
    KSNODEPROPERTY_AUDIO_CHANNEL p{
        {{KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET}, 0, 0}, 1, 0};
    LONG level = -6 * 65536;
    EXPECT_EQ(f.Property(&p, sizeof p, &level, sizeof level), STATUS_SUCCESS);
    level = 12 * 65536;  // above the top: clamped
    p.Channel = 0;
    EXPECT_EQ(f.Property(&p, sizeof p, &level, sizeof level), STATUS_SUCCESS);
    EXPECT_EQ(Device()->VolumeLevel(1), -6 * 65536);
    EXPECT_EQ(Device()->VolumeLevel(0), 0);
    p.NodeProperty.Property.Flags = KSPROPERTY_TYPE_GET;
    p.Channel = 1;
    level = 0;
    EXPECT_EQ(f.Property(&p, sizeof p, &level, sizeof level), STATUS_SUCCESS);
    EXPECT_EQ(level, -6 * 65536);
    p.Channel = 2;
    EXPECT_EQ(f.Property(&p, sizeof p, &level, sizeof level), STATUS_INVALID_PARAMETER);
    p.Channel = 0;
    p.NodeProperty.NodeId = 3;
    EXPECT_EQ(f.Property(&p, sizeof p, &level, sizeof level), STATUS_NOT_FOUND);

    p.NodeProperty.NodeId = 0;
    p.NodeProperty.Property.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
    ULONG returned = 0;
    EXPECT_EQ(f.Property(&p, sizeof p, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
    ASSERT_EQ(returned, 72u);
    std::vector<uint8_t> support(72);
    ASSERT_EQ(f.Property(&p, sizeof p, support.data(), 72, &returned), STATUS_SUCCESS);
    KSPROPERTY_STEPPING_LONG range;
    std::memcpy(&range, support.data() + 56, sizeof range);
    EXPECT_EQ(range.Bounds.SignedMinimum, -96 * 65536);
    EXPECT_EQ(range.Bounds.SignedMaximum, 0);

    // The topology names the node.
    std::vector<uint8_t> nodes(24);
    ASSERT_EQ(
        f.GetProperty(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, nodes.data(), 24, &returned),
        STATUS_SUCCESS);
    GUID node;
    std::memcpy(&node, nodes.data() + 8, sizeof node);
    EXPECT_TRUE(node == KSNODETYPE_VOLUME);
}

TEST_F(PropertyTest, InjectedFaultsAnswerTheNthMatchingRequest) {
    Boot();
    auto device = Device();
    kp::sim::Fault fault;
    fault.MatchSet = true;
    fault.Set = KSPROPSETID_Pin;
    fault.Id = KSPROPERTY_PIN_DATARANGES;
    fault.PinId = 1;
    fault.Nth = 2;
    fault.Status = STATUS_INSUFFICIENT_RESOURCES;
    device->AddFault(fault);
    KsFilter f;
    OpenFilter(&f);
    std::vector<uint8_t> list;
    EXPECT_EQ(f.DataRanges(0, &list), STATUS_SUCCESS);  // pin 0 does not count
    ULONG size = 0;
    EXPECT_EQ(f.GetPinProperty(1, KSPROPERTY_PIN_DATARANGES, nullptr, 0, &size),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(f.GetPinProperty(1, KSPROPERTY_PIN_DATARANGES, nullptr, 0, &size),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(f.GetPinProperty(1, KSPROPERTY_PIN_DATARANGES, nullptr, 0, &size),
              STATUS_BUFFER_OVERFLOW);
}

TEST_F(PropertyTest, AsynchronousAnswersAtDispatchLevelReachTheCaller) {
    Boot();
    auto device = Device();
    device->SetCompletion(kp::sim::RequestClass::Property, {true, DISPATCH_LEVEL});
    device->SetCompletion(kp::sim::RequestClass::Create, {true, DISPATCH_LEVEL});
    KsFilter f;
    OpenFilter(&f);
    std::vector<uint8_t> list;
    EXPECT_EQ(f.DataRanges(0, &list), STATUS_SUCCESS);
    EXPECT_EQ(list.size(), 96u);
    ULONG v = 0;
    EXPECT_EQ(f.GetPinProperty(1, KSPROPERTY_PIN_DATAFLOW, &v, 4), STATUS_SUCCESS);
    EXPECT_EQ(v, static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
    // A kernel client waits for the pended answer.
    KSP_PIN p{{KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET}, 0, 0};
    ULONG value = 0, returned = 0;
    EXPECT_EQ(KernelGetUlong(f.Handle(), &p, sizeof p, &value, &returned), STATUS_SUCCESS);
    EXPECT_EQ(value, static_cast<ULONG>(KSPIN_DATAFLOW_IN));
    EXPECT_EQ(returned, 4u);
    auto log = device->Requests();
    EXPECT_EQ(log.back().Mode, KernelMode);
    kp::sim::DrainCompletions();
}

}  // namespace
}  // namespace kp::simtest
