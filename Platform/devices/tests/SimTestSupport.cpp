#include "SimTestSupport.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

#include "kp/dbgsink.h"
#include "kp/io.h"

namespace kp::simtest {

namespace fs = std::filesystem;

std::string ReadFileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

kp::machine::SimDevice FullDevice(const std::string& room, const std::string& source) {
    kp::machine::SimDevice d;
    d.Instance = kFullDevice;
    d.Profile = "full";
    d.RoomName = room;
    d.Description = "Simulated audio device";
    d.CaptureSource = source;
    return d;
}

std::vector<kp::machine::SimDevice> SpeakerAndCamera(LONG speakerPpm, LONG cameraPpm) {
    kp::machine::SimDevice speaker, camera;
    speaker.Instance = "PCI\\VEN_1111&DEV_2222\\1";
    speaker.Profile = "speaker";
    speaker.RoomName = "spk";
    speaker.Description = "speaker";
    speaker.ClockOffsetPpm = speakerPpm;
    camera.Instance = "USB\\VID_3333&PID_4444\\2";
    camera.Profile = "camera";
    camera.RoomName = "cam";
    camera.Description = "camera";
    camera.ClockOffsetPpm = cameraPpm;
    return {speaker, camera};
}

std::vector<float> Noise(size_t count) {
    std::vector<float> out(count);
    uint32_t seed = 1;
    for (float& v : out) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(seed >> 8) / 16777216.0f * 0.6f - 0.3f;
    }
    return out;
}

double DelayMsAt(const kp::scenario::Result& r, double at, double leadMs) {
    const size_t rate = r.CaptureRate, from = static_cast<size_t>(at * rate);
    const auto lead = static_cast<size_t>(leadMs * rate / 1000);
    std::vector<float> played(r.Played.begin() + static_cast<long>(from - lead),
                              r.Played.begin() + static_cast<long>(from - lead + rate));
    std::vector<float> captured(r.Captured.begin() + static_cast<long>(from),
                                r.Captured.begin() + static_cast<long>(from + rate));
    return kp::scenario::MeasureEcho(played, r.PlayRate, captured, r.CaptureRate, 100).DelayMs +
           leadMs;
}

void SimTest::SetUp() {
    KernelTest::SetUp();
    UseManualClock();
    static int serial = 0;
    folder_ = fs::path(::testing::TempDir()) /
              ("kp-sim-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
}

void SimTest::TearDown() {
    kp::machine::Shutdown();
    EXPECT_EQ(kp::ks::ClientRuleViolations(), 0u);
    EXPECT_EQ(KpIoLiveIrpCount(), 0u) << KpIoDescribeLiveObjects();
    std::error_code ec;
    fs::remove_all(folder_, ec);
    KernelTest::TearDown();
}

void SimTest::Boot(std::vector<kp::machine::SimDevice> devices, const std::string& extra) {
    if (devices.empty()) devices.push_back(FullDevice());
    {
        std::ofstream out(folder_ / "registry.reg", std::ios::binary);
        out << kp::machine::RegistryText(devices, extra);
    }
    std::string error;
    ASSERT_EQ(kp::machine::Boot(folder_, nullptr, &error), STATUS_SUCCESS)
        << error << ::testing::PrintToString(KpDbgLines());
}

std::shared_ptr<kp::sim::SimAudioDevice> SimTest::Device(const std::string& instance) {
    std::u16string path(instance.begin(), instance.end());
    PDEVICE_OBJECT pdo = KpPnpFindPdo(path);
    return pdo == nullptr ? nullptr : kp::sim::SimAudioDevice::FromPdo(pdo);
}

void SimTest::OpenFilter(kp::ks::KsFilter* filter, const GUID& category) {
    auto links = kp::ks::FindDevices(category);
    ASSERT_FALSE(links.empty());
    ASSERT_EQ(filter->Open(links[0]), STATUS_SUCCESS);
}

NTSTATUS KernelGetUlong(HANDLE handle, const void* property, ULONG propertySize, ULONG* value,
                        ULONG* returned) {
    PFILE_OBJECT file;
    NTSTATUS status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode,
                                                reinterpret_cast<PVOID*>(&file), nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = KsSynchronousIoControlDevice(file, KernelMode, IOCTL_KS_PROPERTY,
                                          const_cast<void*>(property), propertySize, value,
                                          value ? sizeof *value : 4, returned);
    ObDereferenceObject(file);
    return status;
}

}  // namespace kp::simtest
