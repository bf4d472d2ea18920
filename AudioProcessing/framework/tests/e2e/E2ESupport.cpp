#include "E2ESupport.h"

#include <cstdio>

#include "FakeAudioDriver.h"
#include "MemAlloc.h"
#include "Probe.h"
#include "ZDebug.h"
#include "kp/io.h"
#include "kp/machine.h"
#include "kp/machinetest.h"
#include "kp/pnp.h"
#include "kp/registry.h"

namespace fs = std::filesystem;

namespace zvtest {
namespace {
const char* const kClassGuid = "{4d36e96c-e325-11ce-bfc1-08002be10318}";

std::u16string U16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::string Narrow(const char16_t* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) out.push_back(static_cast<char>(text[i]));
    return out;
}

std::string Dword(ULONG value) {
    char text[24];
    std::snprintf(text, sizeof text, "dword:%08x", value);
    return text;
}

std::string Service(const std::string& name) {
    return kp::machine::ServiceText(name, name + ".sys");
}
}  // namespace

void E2ETest::SetUp() {
    KernelTest::SetUp();
    m_folder = kp::testing::NewTestFolder("zv-e2e");
    std::string error;
    ASSERT_TRUE(KpMachineSetFolder(m_folder, &error)) << error;
    fs::path drivers = m_folder / "Windows" / "System32" / "drivers";
    fs::copy_file(ZV_TEST_ECHOWELL_IMAGE, drivers / "ZvEchowell.sys");
    fs::copy_file(ZV_TEST_MUTEWELL_IMAGE, drivers / "ZvMutewell.sys");
    RegisterFakeAudioDriver();
    KpIoTraceClear();
    // The framework linked into the test program itself (the sender, the
    // disabler) logs through its own live probe slots.
    ZDebugSetDriverName("Echowell");
    ProbeEnable();
    MemInitialize();
}

void E2ETest::TearDown() {
    KpIoSetAttachHook(nullptr, nullptr);
    UnblockRequests();
    ReleaseHeldRequests();
    KpPnpShutdown();
    KpIoDrainWorkQueues();
    KpUnregisterBuiltinDriver(ZV_FAKE_AUDIO_SERVICE);
    kp::reg::Machine().Clear();
    std::error_code ec;
    fs::remove_all(m_folder, ec);
    KpIoSetWorkerThreadCount(2);
    KpIoSetWdmVersion(1, 0x30);
    MemShutdown();
    ProbeDisable();
    KernelTest::TearDown();
}

std::u16string E2ETest::InstancePath(const std::string& instance) {
    return U16("USB\\VID_1234&PID_ABCD\\" + instance);
}

void E2ETest::WriteMachine(const std::vector<E2EDevice>& devices) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n" + Service("ZvEchowell") +
                       Service("ZvMutewell") + Service("ZvFakeAudio");
    for (auto& d : devices) {
        std::string key =
            "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_ABCD\\" +
            d.Instance;
        std::string classKey = std::string(kClassGuid) + "\\000" + d.Instance;
        text += "[" + key + "]\r\n\"HardwareID\"=" +
                kp::machine::RegMultiSz({d.HardwareId, "USB\\VID_1234&PID_ABCD"}) +
                "\r\n\"Service\"=\"ZvFakeAudio\"\r\n\"ClassGUID\"=\"" + kClassGuid +
                "\"\r\n\"Driver\"=\"" + std::string(kClassGuid) + "\\\\000" + d.Instance + "\"\r\n";
        if (!d.UpperFilters.empty())
            text += "\"UpperFilters\"=" + kp::machine::RegMultiSz(d.UpperFilters) + "\r\n";
        text += "\r\n[" + key + "\\Device Parameters]\r\n\"Categories\"=" + Dword(d.Categories) +
                "\r\n\"StateBits\"=" + Dword(d.StateBits) +
                "\r\n\"PendStart\"=" + Dword(d.PendStart) +
                "\r\n\"FailStart\"=" + Dword(d.FailStart) + "\r\n\r\n";
        text +=
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + classKey + "]\r\n";
        for (auto& [name, value] : d.Options) text += "\"" + name + "\"=" + Dword(value) + "\r\n";
        text += "\r\n" + d.ExtraKeys;
    }
    FILE* file = std::fopen((m_folder / "registry.reg").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    std::string error;
    ASSERT_TRUE(KpMachineLoadRegistry(&error)) << error;
}

PDEVICE_OBJECT E2ETest::Plug(const std::string& instance) {
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = KpPnpAddDevice(InstancePath(instance), &pdo);
    EXPECT_EQ(status, STATUS_SUCCESS) << instance;
    // The master's registration queues a work item per present interface.
    KpIoDrainWorkQueues();
    return pdo;
}

std::vector<std::string> E2ETest::StackDrivers(PDEVICE_OBJECT pdo) {
    std::vector<std::string> out;
    for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) {
        out.push_back(
            Narrow(d->DriverObject->DriverName.Buffer, d->DriverObject->DriverName.Length / 2));
    }
    return out;
}

PDEVICE_OBJECT E2ETest::FilterOf(PDEVICE_OBJECT pdo, const char16_t* driverName) {
    std::u16string wanted(driverName);
    for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) {
        std::u16string name(d->DriverObject->DriverName.Buffer,
                            d->DriverObject->DriverName.Length / 2);
        if (name == wanted) return d;
    }
    return nullptr;
}

FilterDeviceExtension* E2ETest::ExtensionOf(PDEVICE_OBJECT pdo, const char16_t* driverName) {
    PDEVICE_OBJECT fdo = FilterOf(pdo, driverName);
    return fdo != nullptr ? FilterExtension(fdo) : nullptr;
}

std::vector<std::string> E2ETest::LogicCalls(const std::string& driver, PDEVICE_OBJECT fdo) {
    std::vector<std::string> out;
    for (auto& e : KpIoTraceEntries()) {
        if (e.Who == driver && (fdo == nullptr || e.Device == fdo)) out.push_back(e.Event);
    }
    return out;
}

std::vector<std::string> E2ETest::FakeAudioRequests(PDEVICE_OBJECT pdo) {
    std::vector<std::string> out;
    PDEVICE_OBJECT own = pdo->AttachedDevice;
    for (auto& e : KpIoTraceEntries()) {
        if (e.Who != ZV_FAKE_AUDIO_LABEL || e.Event != "irp" || e.Device != own) continue;
        char text[16];
        std::snprintf(text, sizeof text, "0x%02x/0x%02x", e.Major, e.Minor);
        out.push_back(text);
    }
    return out;
}

ULONG E2ETest::DsValue(const std::string& instance, bool render, const char* subkey,
                       const char16_t* name, ULONG missing) {
    std::u16string path = std::u16string(kKpHwProfilePath) + u"\\Enum\\" + InstancePath(instance) +
                          (render ? u"\\DirectSound\\" : u"\\DirectSoundCapture\\") + U16(subkey);
    auto value = kp::reg::GetDword(path, name);
    return value ? *value : missing;
}

}  // namespace zvtest
