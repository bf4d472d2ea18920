#include "kp/machinetest.h"

#include <unistd.h>

#include <atomic>
#include <fstream>

#include "kp/dbgsink.h"
#include "kp/io.h"
#include "kp/pnp.h"

namespace kp::testing {

namespace fs = std::filesystem;

namespace {

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

}  // namespace

fs::path NewTestFolder(const std::string& prefix) {
    static std::atomic<int> serial{0};
    fs::path folder = fs::path(::testing::TempDir()) /
                      (prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

void MachineTest::SetUp() {
    KernelTest::SetUp();
    UseManualClock();
    folder_ = NewTestFolder("kp-machine");
}

void MachineTest::TearDown() {
    kp::machine::Shutdown();
    for (const std::string& service : m_builtins) KpUnregisterBuiltinDriver(Wide(service).c_str());
    EXPECT_EQ(kp::ks::ClientRuleViolations(), 0u);
    EXPECT_EQ(KpIoLiveIrpCount(), 0u) << KpIoDescribeLiveObjects();
    EXPECT_EQ(KpIoLiveMdlCount(), 0u) << KpIoDescribeLiveObjects();
    KpIoClearFailures();
    std::error_code ec;
    fs::remove_all(folder_, ec);
    KernelTest::TearDown();
}

void MachineTest::UseBuiltinDriver(const std::string& service, PDRIVER_INITIALIZE entry) {
    KpRegisterBuiltinDriver(Wide(service).c_str(), entry);
    m_builtins.push_back(service);
    m_services += kp::machine::ServiceText(service, service + ".sys");
}

void MachineTest::UseDriverImage(const std::string& service, const fs::path& image) {
    std::string error;
    ASSERT_TRUE(kp::machine::InstallDriverImage(folder_, image, &error)) << error;
    m_services += kp::machine::ServiceText(service, image.filename().string());
}

void MachineTest::CopyDriverImage(const fs::path& image, const std::string& fileName) {
    const fs::path drivers = folder_ / "Windows" / "System32" / "drivers";
    std::error_code ec;
    fs::create_directories(drivers, ec);
    fs::copy_file(image, drivers / fileName, fs::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << "cannot copy " << image << ": " << ec.message();
}

void MachineTest::BootMachine(const std::vector<kp::machine::SimDevice>& devices,
                              const std::string& extra) {
    {
        std::ofstream out(folder_ / "registry.reg", std::ios::binary);
        out << kp::machine::RegistryText(devices, m_services + extra);
    }
    std::string error;
    ASSERT_EQ(kp::machine::Boot(folder_, nullptr, &error), STATUS_SUCCESS)
        << error << ::testing::PrintToString(KpDbgLines());
}

PDEVICE_OBJECT MachineTest::Pdo(const std::string& instance) {
    return KpPnpFindPdo(Wide(instance));
}

std::shared_ptr<kp::sim::SimAudioDevice> MachineTest::Device(const std::string& instance) {
    PDEVICE_OBJECT pdo = Pdo(instance);
    return pdo == nullptr ? nullptr : kp::sim::SimAudioDevice::FromPdo(pdo);
}

PDEVICE_OBJECT MachineTest::FilterDevice(const std::string& instance, const std::string& service) {
    std::u16string driver = u"\\Driver\\" + Wide(service);
    for (PDEVICE_OBJECT d = Pdo(instance); d != nullptr; d = d->AttachedDevice) {
        std::u16string name(d->DriverObject->DriverName.Buffer,
                            d->DriverObject->DriverName.Length / 2);
        if (name == driver) return d;
    }
    return nullptr;
}

void MachineTest::OpenFilter(kp::ks::KsFilter* filter, const GUID& category, size_t index) {
    auto links = kp::ks::FindDevices(category);
    ASSERT_GT(links.size(), index);
    ASSERT_EQ(filter->Open(links[index]), STATUS_SUCCESS);
}

std::vector<kp::sim::RequestRecord> MachineTest::DeviceRequests(const std::string& instance,
                                                                UCHAR major, ULONG ioControl) {
    std::vector<kp::sim::RequestRecord> out;
    auto device = Device(instance);
    if (device == nullptr) return out;
    for (auto& r : device->Requests()) {
        if (r.Major == major && (ioControl == 0 || r.IoControl == ioControl)) out.push_back(r);
    }
    return out;
}

}  // namespace kp::testing
