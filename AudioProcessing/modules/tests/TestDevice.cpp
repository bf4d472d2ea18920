#include "TestDevice.h"

#include <gtest/gtest.h>
#include <kp/io.h>
#include <kp/pnp.h>
#include <kp/registry.h>

namespace zvmodtest {
namespace {

constexpr char16_t kService[] = u"ZvModTestFn";
constexpr char16_t kInstance[] = u"ROOT\\ZVMODTEST\\0000";
constexpr char16_t kDriverValue[] = u"{5A564D4F-4454-4553-5400-000000000001}\\0000";

// The function driver keeps the device below it in its extension.
PDEVICE_OBJECT& LowerOf(PDEVICE_OBJECT device) {
    return *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = LowerOf(device);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool remove =
        stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    LowerOf(device) = IoAttachDeviceToDeviceStack(device, pdo);
    if (LowerOf(device) == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& major : driver->MajorFunction) major = PassDown;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

std::u16string InstanceKeyPath() {
    return std::u16string(kKpEnumPath) + u"\\" + kInstance;
}

}  // namespace

std::u16string TestDevice::DriverKeyPath() {
    return std::u16string(kKpClassPath) + u"\\" + kDriverValue;
}

TestDevice::TestDevice() {
    KpRegisterBuiltinDriver(kService, DriverEntry);
    kp::reg::SetString(InstanceKeyPath(), u"Service", kService);
    kp::reg::SetString(InstanceKeyPath(), u"Driver", kDriverValue);
    kp::reg::CreateKeyPath(std::u16string(kKpServicesPath) + u"\\" + kService);
    kp::reg::CreateKeyPath(DriverKeyPath());
    NTSTATUS status = KpPnpAddDevice(kInstance, &m_pdo);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) m_pdo = nullptr;
}

TestDevice::~TestDevice() {
    if (m_pdo != nullptr) {
        EXPECT_EQ(KpPnpRemoveDevice(m_pdo), STATUS_SUCCESS);
    }
    KpUnregisterBuiltinDriver(kService);
    kp::reg::DeleteTree(InstanceKeyPath());
    kp::reg::DeleteTree(DriverKeyPath());
    kp::reg::DeleteTree(std::u16string(kKpServicesPath) + u"\\" + kService);
}

}  // namespace zvmodtest
