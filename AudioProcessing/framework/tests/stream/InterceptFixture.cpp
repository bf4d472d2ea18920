#include "InterceptFixture.h"

#include <cstring>

#include "CDevice.h"
#include "DrvMain.h"
#include "ZvKAPFWi.h"

namespace zvstream {

void InterceptTest::SetUp() {
    MachineTest::SetUp();
    Reset();
    UseBuiltinDriver("ZvStreamTest", DriverEntry);
}

void InterceptTest::TearDown() {
    ReleaseHeld();
    MachineTest::TearDown();
}

void InterceptTest::Boot(const std::vector<kp::sim::PinConfig>* pins, bool master) {
    kp::machine::SimDevice d;
    d.Instance = kDevice;
    d.Profile = "full";
    d.RoomName = "dev";
    d.Description = "Simulated audio device";
    d.CaptureSource = "ramp";
    d.UpperFilters = {"ZvStreamTest"};
    d.DriverOptions = {{"ZAECAudioFilterMaster", master ? 1u : 0u}};
    BootMachine({d});
    if (HasFatalFailure()) return;
    pdo_ = Pdo(kDevice);
    ASSERT_NE(pdo_, nullptr);
    ASSERT_NE(GenDisp(), nullptr) << "the filter did not attach";
    if (pins != nullptr) Device()->SetPins(*pins);
    ULONG on = 1;
    ASSERT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &on, sizeof on), ZV_OK);
}

CGenDisp* InterceptTest::GenDisp() {
    PDEVICE_OBJECT d = FilterDevice(kDevice, "ZvStreamTest");
    auto* ext = d != nullptr ? FilterExtension(d) : nullptr;
    CDevice* device = ext != nullptr ? DeviceOf(ext) : nullptr;
    return device != nullptr ? device->GenDisp() : nullptr;
}

std::vector<uint8_t> Offer(ULONG minRate, ULONG maxRate, ULONG minBits, ULONG maxBits,
                           ULONG maxChannels) {
    std::vector<uint8_t> list(8 + sizeof(KSDATARANGE_AUDIO), 0);
    KSMULTIPLE_ITEM item = {static_cast<ULONG>(list.size()), 1};
    std::memcpy(list.data(), &item, sizeof item);
    KSDATARANGE_AUDIO r = {};
    r.DataRange.FormatSize = sizeof r;
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    r.MaximumChannels = maxChannels;
    r.MinimumBitsPerSample = minBits;
    r.MaximumBitsPerSample = maxBits;
    r.MinimumSampleFrequency = minRate;
    r.MaximumSampleFrequency = maxRate;
    std::memcpy(list.data() + 8, &r, sizeof r);
    return list;
}

}  // namespace zvstream
