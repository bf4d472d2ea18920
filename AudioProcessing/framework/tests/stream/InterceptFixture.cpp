#include "InterceptFixture.h"

#include <unistd.h>

#include <cstring>
#include <fstream>

#include "CDevice.h"
#include "DrvMain.h"
#include "ZvKAPFWi.h"
#include "kp/io.h"
#include "kp/machine.h"
#include "kp/pnp.h"

namespace zvstream {

namespace fs = std::filesystem;

void InterceptTest::SetUp() {
    KernelTest::SetUp();
    UseManualClock();
    static int serial = 0;
    folder_ = fs::path(::testing::TempDir()) /
              ("zv-intercept-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    Reset();
    KpRegisterBuiltinDriver(u"ZvStreamTest", DriverEntry);
}

void InterceptTest::TearDown() {
    ReleaseHeld();
    kp::machine::Shutdown();
    KpUnregisterBuiltinDriver(u"ZvStreamTest");
    EXPECT_EQ(kp::ks::ClientRuleViolations(), 0u);
    EXPECT_EQ(KpIoLiveIrpCount(), 0u) << KpIoDescribeLiveObjects();
    EXPECT_EQ(KpIoLiveMdlCount(), 0u) << KpIoDescribeLiveObjects();
    KpIoClearFailures();
    std::error_code ec;
    fs::remove_all(folder_, ec);
    KernelTest::TearDown();
}

void InterceptTest::Boot(const std::vector<kp::sim::PinConfig>* pins, bool master) {
    kp::machine::SimDevice d;
    d.Instance = kDevice;
    d.Profile = "full";
    d.RoomName = "dev";
    d.Description = "Simulated audio device";
    d.CaptureSource = "ramp";
    d.UpperFilters = {"ZvStreamTest"};
    const std::string classGuid = "{4d36e96c-e325-11ce-bfc1-08002be10318}";
    std::string extra =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZvStreamTest]\r\n"
        "\"ImagePath\"=\"\\\\SystemRoot\\\\System32\\\\drivers\\\\ZvStreamTest.sys\"\r\n"
        "\"Type\"=dword:00000001\r\n\"Start\"=dword:00000003\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" +
        std::string(kDevice) +
        "]\r\n"
        "\"Driver\"=\"" +
        classGuid + "\\\\0001\"\r\n\"ClassGUID\"=\"" + classGuid +
        "\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" +
        classGuid +
        "\\0001]\r\n"
        "\"ZAECAudioFilterMaster\"=dword:0000000" +
        (master ? "1" : "0") + "\r\n\r\n";
    {
        std::ofstream out(folder_ / "registry.reg", std::ios::binary);
        out << kp::machine::RegistryText({d}, extra);
    }
    std::string error;
    ASSERT_EQ(kp::machine::Boot(folder_, nullptr, &error), STATUS_SUCCESS) << error;
    std::u16string path(kDevice, kDevice + std::strlen(kDevice));
    pdo_ = KpPnpFindPdo(path);
    ASSERT_NE(pdo_, nullptr);
    ASSERT_NE(GenDisp(), nullptr) << "the filter did not attach";
    if (pins != nullptr) Device()->SetPins(*pins);
    ULONG on = 1;
    ASSERT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &on, sizeof on), 0u);
}

std::shared_ptr<kp::sim::SimAudioDevice> InterceptTest::Device() {
    return kp::sim::SimAudioDevice::FromPdo(pdo_);
}

CGenDisp* InterceptTest::GenDisp() {
    for (PDEVICE_OBJECT d = pdo_; d != nullptr; d = d->AttachedDevice) {
        std::u16string name(d->DriverObject->DriverName.Buffer,
                            d->DriverObject->DriverName.Length / 2);
        if (name == u"\\Driver\\ZvStreamTest") {
            auto* ext = FilterExtension(d);
            return ext != nullptr && ext->Device != nullptr ? ext->Device->GenDisp() : nullptr;
        }
    }
    return nullptr;
}

void InterceptTest::OpenFilter(kp::ks::KsFilter* filter) {
    auto links = kp::ks::FindDevices(KSCATEGORY_AUDIO);
    ASSERT_FALSE(links.empty());
    ASSERT_EQ(filter->Open(links[0]), STATUS_SUCCESS);
}

std::vector<kp::sim::RequestRecord> InterceptTest::DeviceRequests(UCHAR major, ULONG ioControl) {
    std::vector<kp::sim::RequestRecord> out;
    for (auto& r : Device()->Requests()) {
        if (r.Major == major && (ioControl == 0 || r.IoControl == ioControl)) out.push_back(r);
    }
    return out;
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
