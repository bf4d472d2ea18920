// The machine description (setup class, software key, options, interface
// reference string) and the registry written back at shutdown.
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "SimTestSupport.h"
#include "kp/io.h"
#include "kp/registry.h"

namespace kp::simtest {
namespace {

namespace fs = std::filesystem;

// A kernel driver's view of the device's software key.
std::optional<ULONG> DriverKeyDword(const std::string& instance, const char16_t* name) {
    PDEVICE_OBJECT pdo = KpPnpFindPdo(std::u16string(instance.begin(), instance.end()));
    if (pdo == nullptr) return std::nullopt;
    HANDLE key;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key)))
        return std::nullopt;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer,
                                      sizeof buffer, &length);
    ZwClose(key);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    if (!NT_SUCCESS(status) || info->Type != REG_DWORD) return std::nullopt;
    return *reinterpret_cast<ULONG*>(info->Data);
}

using MachineTest = SimTest;

TEST_F(MachineTest, DeviceClassSoftwareKeyAndOptionsReachTheDriverKey) {
    auto camera = FullDevice();
    camera.DriverOptions = {{"ZAECAudioFilterMaster", 1}, {"ZAECAudioFilterNoLoad", 0}};
    Boot({camera});
    std::u16string instance = std::u16string(kKpEnumPath) + u"\\USB\\VID_1234&PID_5678\\1";
    EXPECT_EQ(kp::reg::GetString(instance, u"ClassGUID"),
              std::u16string(u"{4d36e96c-e325-11ce-bfc1-08002be10318}"));
    EXPECT_EQ(kp::reg::GetString(instance, u"Driver"),
              std::u16string(u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000"));
    EXPECT_EQ(DriverKeyDword(kFullDevice, u"ZAECAudioFilterMaster"), 1u);
    EXPECT_EQ(DriverKeyDword(kFullDevice, u"ZAECAudioFilterNoLoad"), 0u);
}

TEST_F(MachineTest, DevicesLeftAtTheirDefaultsGetSoftwareKeysOfTheirOwn) {
    auto a = FullDevice("a");
    auto b = FullDevice("b");
    b.Instance = "USB\\VID_1234&PID_5678\\2";
    b.Driver = "{4d36e96c-e325-11ce-bfc1-08002be10318}\\0042";
    b.DriverOptions = {{"Marker", 7}};
    Boot({a, b});
    EXPECT_EQ(DriverKeyDword(b.Instance, u"Marker"), 7u);
    EXPECT_EQ(DriverKeyDword(a.Instance, u"Marker"), std::nullopt);
    EXPECT_TRUE(kp::reg::KeyExists(std::u16string(kKpClassPath) +
                                   u"\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000"));
}

TEST_F(MachineTest, ClassFilterListsApplyThroughTheDevicesClass) {
    // A class upper filter naming a service that does not exist fails the
    // device's stack: proof that the class key was read.
    std::string classKey =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
        "{4d36e96c-e325-11ce-bfc1-08002be10318}]\r\n\"UpperFilters\"=" +
        kp::machine::RegMultiSz({"NoSuchFilter"}) + "\r\n\r\n";
    {
        std::ofstream out(folder_ / "registry.reg", std::ios::binary);
        out << kp::machine::RegistryText({FullDevice()}, classKey);
    }
    std::string error;
    EXPECT_NE(kp::machine::Boot(folder_, nullptr, &error), STATUS_SUCCESS);
    EXPECT_EQ(Device(), nullptr);
}

TEST_F(MachineTest, FilterNameIsTheInterfacesReferenceString) {
    struct Case {
        std::string Name;
    } cases[] = {{"Wave"}, {"global"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        auto d = FullDevice();
        d.FilterName = c.Name;
        Boot({d});
        auto links = kp::ks::FindDevices(KSCATEGORY_AUDIO);
        ASSERT_EQ(links.size(), 1u);
        std::u16string suffix = u"\\" + std::u16string(c.Name.begin(), c.Name.end());
        ASSERT_GE(links[0].size(), suffix.size());
        EXPECT_TRUE(kp::reg::NamesEqual(links[0].substr(links[0].size() - suffix.size()), suffix))
            << kp::reg::Utf16ToUtf8(links[0]);
        EXPECT_TRUE(kp::machine::Shutdown());
    }
}

TEST_F(MachineTest, ShutdownSavesWhatDriversStoredAndTheNextBootReadsItBack) {
    Boot();
    std::u16string software =
        std::u16string(kKpClassPath) + u"\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000";
    ASSERT_EQ(kp::reg::SetDword(software, u"GAEC_AutoOff_ZAEC", 1), STATUS_SUCCESS);
    std::string error;
    ASSERT_TRUE(kp::machine::Shutdown(&error)) << error;
    EXPECT_EQ(kp::reg::GetDword(software, u"GAEC_AutoOff_ZAEC"), std::nullopt) << "store cleared";
    EXPECT_NE(ReadFileText(folder_ / "registry.reg").find("\"GAEC_AutoOff_ZAEC\"=dword:00000001"),
              std::string::npos);
    fs::path leftover = folder_ / "registry.reg.tmp";
    EXPECT_FALSE(fs::exists(leftover));

    ASSERT_EQ(kp::machine::Boot(folder_, nullptr, &error), STATUS_SUCCESS) << error;
    EXPECT_EQ(DriverKeyDword(kFullDevice, u"GAEC_AutoOff_ZAEC"), 1u);
    ASSERT_NE(Device(), nullptr) << "a saved machine boots again";
}

// A filter that, like a master hooking its slaves, leaves work behind in a
// work item queued from AddDevice; the work takes a while of host time.
std::atomic<bool> g_bootWorkDone{false};

VOID SlowBootWork(PDEVICE_OBJECT, PVOID context) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    g_bootWorkDone = true;
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
}

NTSTATUS SlowFilterDispatch(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    bool remove = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP &&
                  minor == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS SlowFilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    PIO_WORKITEM item = IoAllocateWorkItem(fdo);
    if (item != nullptr) IoQueueWorkItem(item, SlowBootWork, DelayedWorkQueue, item);
    return STATUS_SUCCESS;
}

NTSTATUS SlowFilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& fn : driver->MajorFunction) fn = SlowFilterDispatch;
    driver->DriverExtension->AddDevice = SlowFilterAddDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

// A machine is booted when the work its drivers queued while starting has
// run: a shutdown that follows at once must not race a driver still hooking
// devices (the framework's hooks wait on the clock, which stands still here).
TEST_F(MachineTest, BootReturnsOnceTheWorkQueuedWhileStartingHasRun) {
    g_bootWorkDone = false;
    KpRegisterBuiltinDriver(u"KpSlowFilter", SlowFilterEntry);
    kp::machine::SimDevice device = FullDevice();
    device.UpperFilters = {"KpSlowFilter"};
    Boot({device}, kp::machine::ServiceText("KpSlowFilter", "KpSlowFilter.sys"));
    EXPECT_TRUE(g_bootWorkDone);
    EXPECT_EQ(KpIoQueuedWorkItemCount(), 0u);
    EXPECT_TRUE(kp::machine::Shutdown());
    KpUnregisterBuiltinDriver(u"KpSlowFilter");
}

TEST_F(MachineTest, NothingIsSavedWithoutARegistryThatBootLoaded) {
    const std::string broken = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_NOWHERE\\x\r\n";
    {
        std::ofstream out(folder_ / "registry.reg", std::ios::binary);
        out << broken;
    }
    std::string error;
    EXPECT_NE(kp::machine::Boot(folder_, nullptr, &error), STATUS_SUCCESS);
    EXPECT_TRUE(kp::machine::Shutdown());
    EXPECT_EQ(ReadFileText(folder_ / "registry.reg"), broken);
    // A second shutdown, with no boot at all, writes nothing either.
    fs::remove(folder_ / "registry.reg");
    EXPECT_TRUE(kp::machine::Shutdown());
    EXPECT_FALSE(fs::exists(folder_ / "registry.reg"));
}

}  // namespace
}  // namespace kp::simtest
