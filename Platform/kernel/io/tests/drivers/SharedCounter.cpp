// What both test driver images link: a driver-wide counter (each image has its
// own), the common driver entry and two helpers.
#include "TestDriverProtocol.h"
#include "kp/io.h"

static ULONG g_loadCount;

ULONG KpTestLoadCount() {
    return g_loadCount;
}

NTSTATUS KpTestDriverEntry(PDRIVER_OBJECT driver, const char* who, PDRIVER_ADD_DEVICE addDevice,
                           PDRIVER_DISPATCH dispatch, PDRIVER_UNLOAD unload) {
    ++g_loadCount;
    KpIoTraceEvent(who, "driver-entry", nullptr);
    driver->DriverUnload = unload;
    driver->DriverExtension->AddDevice = addDevice;
    for (auto& fn : driver->MajorFunction) fn = dispatch;
    return STATUS_SUCCESS;
}

ULONG KpTestReadDword(HANDLE key, PCWSTR name) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 4];
    ULONG length;
    auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info,
                                    sizeof buffer, &length)) ||
        info->Type != REG_DWORD || info->DataLength != 4) {
        return 0;
    }
    ULONG value;
    memcpy(&value, info->Data, 4);
    return value;
}

NTSTATUS KpTestQueryInterface(PDEVICE_OBJECT device, INTERFACE* record) {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &KPTEST_UNUSED_CLASS;
    next->Parameters.QueryInterface.Size = sizeof *record;
    next->Parameters.QueryInterface.Interface = record;
    if (IoCallDriver(device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
}
