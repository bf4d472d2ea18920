#include "IoTestSupport.h"

#include <atomic>
#include <cstdio>

#include "kp/machinetest.h"
#include "kp/registry.h"

namespace kp::iotest {

namespace fs = std::filesystem;

void IoTest::SetUp() {
    KernelTest::SetUp();
    KpIoClearFailures();
    KpIoTraceClear();
    devices_ = KpIoLiveDeviceObjectCount();
    notifications_ = KpPnpNotificationCount();
}

void IoTest::TearDown() {
    KpIoDrainWorkQueues();
    KpIoClearFailures();
    EXPECT_EQ(KpIoLiveIrpCount(), 0u) << KpIoDescribeLiveObjects();
    EXPECT_EQ(KpIoLiveMdlCount(), 0u) << KpIoDescribeLiveObjects();
    EXPECT_EQ(KpIoLiveFileObjectCount(), 0u) << KpIoDescribeLiveObjects();
    EXPECT_EQ(KpMmLiveSystemMappingCount(), 0u);
    EXPECT_EQ(KpIoLiveDeviceObjectCount(), devices_);
    EXPECT_EQ(KpPnpNotificationCount(), notifications_);
    KernelTest::TearDown();
}

// ---------------------------------------------------------------------------
// Lambda drivers
// ---------------------------------------------------------------------------
namespace {

NTSTATUS LambdaDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto lambda = *static_cast<LambdaDevice**>(device->DeviceExtension);
    return lambda->OnIrp(device, irp);
}

NTSTATUS LambdaEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& fn : driver->MajorFunction) fn = LambdaDispatch;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

std::atomic<int> g_lambdaSerial{0};

}  // namespace

LambdaDriver::LambdaDriver() {
    std::u16string name = U16("KpLambda" + std::to_string(++g_lambdaSerial));
    NTSTATUS status = KpLoadBuiltinDriver(name.c_str(), LambdaEntry, &driver_);
    KpUnregisterBuiltinDriver(name.c_str());
    if (!NT_SUCCESS(status)) ADD_FAILURE() << "lambda driver did not load";
}

LambdaDriver::~LambdaDriver() {
    while (!devices_.empty()) {
        // Remove from the top of any stack down.
        LambdaDevice* top = devices_.back();
        Remove(top->Device);
    }
    EXPECT_EQ(KpUnloadDriver(driver_), STATUS_SUCCESS);
}

PDEVICE_OBJECT LambdaDriver::Add(Handler handler, PDEVICE_OBJECT below, const char16_t* name) {
    UNICODE_STRING deviceName;
    if (name != nullptr) RtlInitUnicodeString(&deviceName, name);
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(LambdaDevice*), name ? &deviceName : nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        ADD_FAILURE() << "IoCreateDevice failed";
        return nullptr;
    }
    auto lambda = new LambdaDevice{device, std::move(handler)};
    *static_cast<LambdaDevice**>(device->DeviceExtension) = lambda;
    if (below != nullptr && IoAttachDeviceToDeviceStack(device, below) == nullptr)
        ADD_FAILURE() << "attach failed";
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_.push_back(lambda);
    return device;
}

void LambdaDriver::Remove(PDEVICE_OBJECT device) {
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if ((*it)->Device != device) continue;
        LambdaDevice* lambda = *it;
        devices_.erase(it);
        while (device->AttachedDevice != nullptr) Remove(device->AttachedDevice);
        if (device->KpAttachedTo != nullptr) IoDetachDevice(device->KpAttachedTo);
        IoDeleteDevice(device);
        delete lambda;
        return;
    }
}

void LambdaDriver::Forget(PDEVICE_OBJECT device) {
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if ((*it)->Device == device) {
            delete *it;
            devices_.erase(it);
            return;
        }
    }
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->KpAttachedTo, irp);
}

// ---------------------------------------------------------------------------
// Machine folder
// ---------------------------------------------------------------------------
TestMachine::TestMachine() {
    folder_ = kp::testing::NewTestFolder("kp-io-machine");
    std::string error;
    if (!KpMachineSetFolder(folder_, &error)) ADD_FAILURE() << error;
    fs::path drivers = folder_ / "Windows" / "System32" / "drivers";
    fs::copy_file(KP_TEST_FUNCTION_IMAGE, drivers / "KpTestFunction.sys");
    fs::copy_file(KP_TEST_FILTER_IMAGE, drivers / "kptestfilter.SYS");
}

TestMachine::~TestMachine() {
    KpPnpShutdown();
    kp::reg::Machine().Clear();
    std::error_code ec;
    fs::remove_all(folder_, ec);
}

void TestMachine::WriteRegistry(const std::string& body) {
    FILE* file = std::fopen((folder_ / "registry.reg").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n" + body;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

std::string RegDword(ULONG value) {
    char text[24];
    std::snprintf(text, sizeof text, "dword:%08x", value);
    return text;
}

std::string StandardServices() {
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KpTestFunction]\r\n"
           "\"ImagePath\"=\"\\\\SystemRoot\\\\System32\\\\drivers\\\\KpTestFunction.sys\"\r\n"
           "\"Type\"=dword:00000001\r\n\"Start\"=dword:00000003\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KpTestFilter]\r\n"
           "\"ImagePath\"=\"system32\\\\DRIVERS\\\\KpTestFilter.sys\"\r\n"
           "\"Type\"=dword:00000001\r\n\"Start\"=dword:00000003\r\n\r\n";
}

std::string TestDevice(const std::string& instance, bool withFilter, const std::string& extra,
                       const std::string& deviceParameters) {
    std::string key =
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_ABCD\\" + instance;
    std::string text = "[" + key + "]\r\n\"HardwareID\"=" +
                       RegMultiSz({"USB\\VID_1234&PID_ABCD&REV_0102", "USB\\VID_1234&PID_ABCD"}) +
                       "\r\n\"Service\"=\"KpTestFunction\"\r\n"
                       "\"ClassGUID\"=\"{5a0e1c2b-7f31-4d6a-9b1e-2c4d6e8f0aff}\"\r\n"
                       "\"Driver\"=\"{5a0e1c2b-7f31-4d6a-9b1e-2c4d6e8f0aff}\\\\" +
                       instance + "\"\r\n";
    if (withFilter) text += "\"UpperFilters\"=" + RegMultiSz({"KpTestFilter"}) + "\r\n";
    text += extra + "\r\n";
    text += "[" + key + "\\Device Parameters]\r\n" + deviceParameters + "\r\n";
    return text;
}

std::string IrpText(UCHAR major, UCHAR minor) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x/0x%02x", major, minor);
    return text;
}

std::vector<std::string> TraceOf(const std::string& who) {
    std::vector<std::string> out;
    for (auto& entry : KpIoTraceEntries()) {
        if (entry.Who != who) continue;
        out.push_back(entry.Event == "irp" ? IrpText(entry.Major, entry.Minor) : entry.Event);
    }
    return out;
}

std::u16string U16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out.push_back(static_cast<char>(c));
    return out;
}

}  // namespace kp::iotest
