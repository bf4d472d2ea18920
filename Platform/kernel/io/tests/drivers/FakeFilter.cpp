// A small upper filter for the I/O manager's tests: it attaches on top of
// whatever stack it is given, passes everything down, answers one control code
// of its own and records every request in the I/O trace.  With the Device
// Parameters value "QueryInterfaceAtStart" it asks the stack below for an
// interface while the device starts, as a driver binding to a bus service
// does, and traces the answer.
#include <cstdio>

#include "TestDriverProtocol.h"
#include "kp/io.h"
#include "platform/zw.h"

namespace {

struct Extension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    ULONG QueryAtStart;
};

const char* const kWho = kKpTestFilterLabel;

// Asks the stack below for KPTEST_UNUSED_CLASS; traces
// "query-interface 0x<status> version <n>".
void QueryBelow(Extension* ext) {
    INTERFACE record{};
    NTSTATUS status = KpTestQueryInterface(ext->Lower, &record);
    char text[64];
    std::snprintf(text, sizeof text, "query-interface 0x%08X version %u",
                  static_cast<unsigned>(status), static_cast<unsigned>(record.Version));
    KpIoTraceEvent(kWho, text, ext->Self);
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    KpIoTraceIrp(kWho, device, irp);
    auto ext = static_cast<Extension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_KPTEST_FILTER_COUNTER) {
        NTSTATUS status = STATUS_BUFFER_TOO_SMALL;
        irp->IoStatus.Information = 0;
        if (stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG)) {
            ULONG count = KpTestLoadCount();
            memcpy(irp->AssociatedIrp.SystemBuffer, &count, sizeof count);
            irp->IoStatus.Information = sizeof count;
            status = STATUS_SUCCESS;
        }
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_START_DEVICE &&
        ext->QueryAtStart != 0)
        QueryBelow(ext);
    if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    bool removal =
        stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(ext->Lower, irp);  // the request may be gone after this
    if (removal) {
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(ext->Self);
    }
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    KpIoTraceEvent(kWho, "add-device", pdo);
    PDEVICE_OBJECT device;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto ext = static_cast<Extension*>(device->DeviceExtension);
    ext->Self = device;
    ext->QueryAtStart = 0;
    HANDLE key;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, &key))) {
        ext->QueryAtStart = KpTestReadDword(key, u"QueryInterfaceAtStart");
        ZwClose(key);
    }
    ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->Lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= ext->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->DeviceType = ext->Lower->DeviceType;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {
    KpIoTraceEvent(kWho, "unload", nullptr);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    return KpTestDriverEntry(driver, kWho, AddDevice, Dispatch, Unload);
}
