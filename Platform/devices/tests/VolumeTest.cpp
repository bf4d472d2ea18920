// The volume node as a gain control steers it: requests on the filter and on
// its pins, the node's place in the topology, the camera's range, and the
// room's signal scaled by the camera's level.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "SimTestSupport.h"
#include "kp/simaudio.h"

namespace kp::simtest {
namespace {

using kp::ks::KsFilter;
using kp::ks::KsPin;

DEFINE_GUID(kOtherNode, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55);

const char kCamera[] = "USB\\VID_2A1C&PID_0C41&MI_01\\1";
constexpr LONG kUnity = 3537609;

kp::machine::SimDevice Camera() {
    kp::machine::SimDevice d;
    d.Instance = kCamera;
    d.Profile = "camera";
    d.RoomName = "mic";
    return d;
}

KSNODEPROPERTY_AUDIO_CHANNEL VolumeRequest(ULONG flags, ULONG node, LONG channel = 0) {
    return {{{KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, flags}, node, 0}, channel, 0};
}

class VolumeTest : public SimTest {
protected:
    void TearDown() override {
        pin_.Close();
        filter_.Close();
        SimTest::TearDown();
    }
    // A 10 ms capture of the camera's pin at 16 kHz mono.
    std::vector<int16_t> Capture10Ms() {
        std::shared_ptr<kp::ks::StreamRequest> r;
        EXPECT_EQ(pin_.Submit(false, {{320, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &r),
                  STATUS_PENDING);
        AdvanceMs(10);
        r->Wait();
        std::vector<int16_t> samples(160);
        if (r->Status() == STATUS_SUCCESS && r->DataUsed(0) == 320)
            std::memcpy(samples.data(), r->Data(0), 320);
        return samples;
    }
    KsFilter filter_;
    KsPin pin_;
};

TEST_F(VolumeTest, PinsAnswerForTheirFilterAtTheNodeTheTopologyNames) {
    Boot({Camera()});
    auto device = Device(kCamera);
    device->SetTopologyNodes({kOtherNode, kOtherNode, kOtherNode, KSNODETYPE_VOLUME});
    OpenFilter(&filter_, KSCATEGORY_CAPTURE);
    ASSERT_EQ(pin_.Create(filter_, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);

    // The node list: its header alone into 8 bytes, then all of it.
    KSPROPERTY nodes{KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, KSPROPERTY_TYPE_GET};
    KSMULTIPLE_ITEM head{};
    ULONG returned = 0;
    ASSERT_EQ(filter_.Property(&nodes, sizeof nodes, &head, sizeof head, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(head.Size, 8u + 4 * 16u);
    EXPECT_EQ(head.Count, 4u);
    std::vector<uint8_t> list(head.Size);
    ASSERT_EQ(filter_.Property(&nodes, sizeof nodes, list.data(), head.Size, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(list.data() + 8 + 3 * 16, &KSNODETYPE_VOLUME, 16), 0);

    struct Case {
        kp::ks::KsObject* On;
        ULONG Flags, Node;
        LONG Level;
        NTSTATUS Status;
        LONG Stored;
    } const cases[] = {
        {&pin_, 0x10000002, 3, 2980778, STATUS_SUCCESS, 2980778},  // the bottom of a gain control
        {&pin_, 0x10000002, 3, 3932160, STATUS_SUCCESS, 3932160},  // its top, the range's top
        {&filter_, KSPROPERTY_TYPE_SET, 3, 3780421, STATUS_SUCCESS, 3780421},
        {&pin_, 0x10000002, 3, 61 * 65536, STATUS_SUCCESS, 60 * 65536},  // clamped
        {&pin_, 0x10000002, 3, -5, STATUS_SUCCESS, 0},
        {&pin_, 0x10000002, 0, 3537609, STATUS_NOT_FOUND, 0},  // not the volume node
        {&pin_, 0x10000002, 2, 3537609, STATUS_NOT_FOUND, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "node " << c.Node << " level " << c.Level);
        KSNODEPROPERTY_AUDIO_CHANNEL set = VolumeRequest(c.Flags, c.Node);
        LONG level = c.Level;
        EXPECT_EQ(c.On->Property(&set, sizeof set, &level, sizeof level), c.Status);
        EXPECT_EQ(device->VolumeLevel(0), c.Stored);
        KSNODEPROPERTY_AUDIO_CHANNEL get = VolumeRequest(0x10000001, 3);
        level = -1;
        EXPECT_EQ(pin_.Property(&get, sizeof get, &level, sizeof level, &returned), STATUS_SUCCESS);
        EXPECT_EQ(level, c.Stored);
    }

    // The range a gain control reads back from the node.
    KSNODEPROPERTY_AUDIO_CHANNEL support = VolumeRequest(KSPROPERTY_TYPE_BASICSUPPORT, 3);
    struct {
        KSPROPERTY_DESCRIPTION Description;
        KSPROPERTY_MEMBERSHEADER Members;
        KSPROPERTY_STEPPING_LONG Range;
    } range{};
    ASSERT_EQ(pin_.Property(&support, sizeof support, &range, sizeof range, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(range.Range.Bounds.SignedMinimum, 0);
    EXPECT_EQ(range.Range.Bounds.SignedMaximum, 60 * 65536);

    // A topology without a volume node has none to set.
    device->SetTopologyNodes({kOtherNode});
    KSNODEPROPERTY_AUDIO_CHANNEL set = VolumeRequest(0x10000002, 0);
    LONG level = kUnity;
    EXPECT_EQ(pin_.Property(&set, sizeof set, &level, sizeof level), STATUS_NOT_FOUND);
}

// gain_dB = (level - 3537609) / 65536 on everything the room brings to the
// camera, clipped at 16 bits; the unity level captures the room unchanged.
TEST_F(VolumeTest, TheCameraCapturesTheRoomScaledByItsLevel) {
    Boot({Camera()});
    auto device = Device(kCamera);
    EXPECT_EQ(device->VolumeLevel(0), kUnity) << "a camera starts at unity";
    OpenFilter(&filter_, KSCATEGORY_CAPTURE);
    ASSERT_EQ(pin_.Create(filter_, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    struct Case {
        double Near;  // a constant near end, of full scale
        LONG Level;
        int16_t Expected;
    } const cases[] = {
        {0.25, kUnity, 8192},
        {0.25, kUnity + 394566, 16384},    // +6.0206 dB: twice
        {0.25, kUnity - 1310720, 819},     // -20 dB: a tenth (819.2)
        {0.25, 2980778, 3080},             // the bottom of a gain control: -8.4965 dB
        {0.75, kUnity + 394566, 32767},    // clipped at the top
        {-0.75, kUnity + 394566, -32768},  // and at the bottom
        {0.25, kUnity - 103784, 6827},     // one gain-control step down: -1.5837 dB
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "near " << c.Near << " level " << c.Level);
        kp::sim::NearEnd n;
        n.Device = "mic";
        n.Samples = {1.0f};
        n.Gain = c.Near;
        kp::sim::RoomSetNearEnd(n);
        KSNODEPROPERTY_AUDIO_CHANNEL set = VolumeRequest(0x10000002, 0);
        LONG level = c.Level;
        ASSERT_EQ(pin_.Property(&set, sizeof set, &level, sizeof level), STATUS_SUCCESS);
        std::vector<int16_t> samples = Capture10Ms();
        const double expected =
            std::clamp(c.Near * 32768.0 * std::pow(10.0, (c.Level - kUnity) / 65536.0 / 20.0),
                       -32768.0, 32767.0);
        EXPECT_NEAR(expected, c.Expected, 0.5) << "the table's own arithmetic";
        for (int16_t s : samples) ASSERT_EQ(s, c.Expected);
    }
    // Channel 1's level is not the microphone's.
    KSNODEPROPERTY_AUDIO_CHANNEL set = VolumeRequest(0x10000002, 0, 1);
    LONG level = 0;
    ASSERT_EQ(pin_.Property(&set, sizeof set, &level, sizeof level), STATUS_SUCCESS);
    EXPECT_EQ(Capture10Ms()[0], 6827);
    ASSERT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// A device of the default range captures unscaled at its starting level.
TEST_F(VolumeTest, OtherProfilesKeepTheirRangeAndStartUnscaled) {
    Boot({FullDevice("dev", "room")});
    auto device = Device();
    kp::sim::VolumeRange range = device->GetVolumeRange();
    EXPECT_EQ(range.Min, -96 * 65536);
    EXPECT_EQ(range.Max, 0);
    EXPECT_EQ(range.Unity, 0);
    EXPECT_EQ(device->VolumeLevel(0), 0);
    range.Unity = -6 * 65536;
    device->SetVolumeRange(range);
    EXPECT_EQ(device->VolumeLevel(0), -6 * 65536) << "the levels start again at unity";
    OpenFilter(&filter_, KSCATEGORY_CAPTURE);
    ASSERT_EQ(pin_.Create(filter_, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    kp::sim::NearEnd n;
    n.Device = "dev";
    n.Samples = {0.5f};
    n.Gain = 1.0;
    kp::sim::RoomSetNearEnd(n);
    EXPECT_EQ(Capture10Ms()[0], 16384);
    ASSERT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kp::simtest
