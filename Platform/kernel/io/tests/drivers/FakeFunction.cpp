// A small function driver for the I/O manager's tests: it attaches over the
// bus driver's PDO, publishes an interface (and an alias) while started, answers
// a few control codes and records every request in the I/O trace.  Its device
// key ("Device Parameters") scripts it: FailStart and FailQueryRemove (status
// DWORDs), PnpStateBits (DWORD).
#include "TestDriverProtocol.h"
#include "kp/io.h"
#include "platform/zw.h"

namespace {

struct Extension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    UNICODE_STRING Link;
    UNICODE_STRING AliasLink;
    KSPIN_LOCK Lock;
    LIST_ENTRY Pended;  // IOCTL_KPTEST_PEND requests, through Tail.Overlay.ListEntry
    NTSTATUS FailStart;
    NTSTATUS FailQueryRemove;
    ULONG StateBits;
};

const char* const kWho = kKpTestFunctionLabel;

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits for the lower drivers to finish it.
NTSTATUS ForwardAndWait(Extension* ext, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(Extension* ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->Lower, irp);
}

void SetInterfaces(Extension* ext, BOOLEAN enable) {
    IoSetDeviceInterfaceState(&ext->Link, enable);
    IoSetDeviceInterfaceState(&ext->AliasLink, enable);
}

NTSTATUS DispatchPnp(Extension* ext, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(ext, irp);
            if (NT_SUCCESS(status) && ext->FailStart != 0) status = ext->FailStart;
            if (NT_SUCCESS(status)) SetInterfaces(ext, TRUE);
            return Complete(irp, status);
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (ext->FailQueryRemove != 0) return Complete(irp, ext->FailQueryRemove);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(ext, irp);
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) SetInterfaces(ext, FALSE);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(ext, irp);
        case IRP_MN_REMOVE_DEVICE: {
            SetInterfaces(ext, FALSE);
            irp->IoStatus.Status = STATUS_SUCCESS;
            NTSTATUS status = PassDown(ext, irp);
            IoDetachDevice(ext->Lower);
            RtlFreeUnicodeString(&ext->Link);
            RtlFreeUnicodeString(&ext->AliasLink);
            IoDeleteDevice(ext->Self);
            return status;
        }
        case IRP_MN_QUERY_PNP_DEVICE_STATE: {
            NTSTATUS status = ForwardAndWait(ext, irp);
            ULONG_PTR bits = NT_SUCCESS(status) ? irp->IoStatus.Information | ext->StateBits : 0;
            return Complete(irp, status, bits);
        }
        default:
            return PassDown(ext, irp);
    }
}

void CancelPended(PDEVICE_OBJECT device, PIRP irp) {
    auto ext = static_cast<Extension*>(device->DeviceExtension);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->Lock, irql);
    Complete(irp, STATUS_CANCELLED);
}

void ReleasePended(Extension* ext, bool atDispatch) {
    LIST_ENTRY ready;
    InitializeListHead(&ready);
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    while (!IsListEmpty(&ext->Pended)) {
        PLIST_ENTRY entry = RemoveHeadList(&ext->Pended);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
            InitializeListHead(
                entry);  // being cancelled: its cancel routine unlinks and completes it
            continue;
        }
        InsertTailList(&ready, entry);
    }
    KeReleaseSpinLock(&ext->Lock, irql);
    while (!IsListEmpty(&ready)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&ready), IRP, Tail.Overlay.ListEntry);
        KIRQL old = PASSIVE_LEVEL;
        if (atDispatch) KeRaiseIrql(DISPATCH_LEVEL, &old);
        Complete(irp, STATUS_SUCCESS);
        if (atDispatch) KeLowerIrql(old);
    }
}

NTSTATUS DispatchControl(Extension* ext, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_KPTEST_COUNTER: {
            if (outLength < sizeof(ULONG)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
            ULONG count = KpTestLoadCount();
            memcpy(irp->AssociatedIrp.SystemBuffer, &count, sizeof count);
            return Complete(irp, STATUS_SUCCESS, sizeof count);
        }
        case IOCTL_KPTEST_PEND: {
            KIRQL irql;
            KeAcquireSpinLock(&ext->Lock, &irql);
            IoMarkIrpPending(irp);
            InsertTailList(&ext->Pended, &irp->Tail.Overlay.ListEntry);
            IoSetCancelRoutine(irp, CancelPended);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                RemoveEntryList(&irp->Tail.Overlay.ListEntry);
                KeReleaseSpinLock(&ext->Lock, irql);
                Complete(irp, STATUS_CANCELLED);
                return STATUS_PENDING;
            }
            KeReleaseSpinLock(&ext->Lock, irql);
            return STATUS_PENDING;
        }
        case IOCTL_KPTEST_RELEASE: {
            ULONG atDispatch = 0;
            if (inLength >= sizeof atDispatch)
                memcpy(&atDispatch, irp->AssociatedIrp.SystemBuffer, sizeof atDispatch);
            ReleasePended(ext, atDispatch != 0);
            return Complete(irp, STATUS_SUCCESS);
        }
        case IOCTL_KPTEST_ECHO_NEITHER: {
            PVOID in = stack->Parameters.DeviceIoControl.Type3InputBuffer;
            PVOID out = irp->UserBuffer;
            ULONG length = inLength < outLength ? inLength : outLength;
            if (length == 0) return Complete(irp, STATUS_SUCCESS);
            if (irp->RequestorMode == KernelMode) {
                memcpy(out, in, length);
                return Complete(irp, STATUS_SUCCESS, length);
            }
            PMDL inMdl = IoAllocateMdl(in, length, FALSE, FALSE, nullptr);
            PMDL outMdl = IoAllocateMdl(out, length, FALSE, FALSE, nullptr);
            NTSTATUS status = inMdl && outMdl ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            bool inLocked = false, outLocked = false;
            if (NT_SUCCESS(status)) status = KpProbeAndLockPages(inMdl, UserMode, IoReadAccess);
            inLocked = NT_SUCCESS(status);
            if (NT_SUCCESS(status)) status = KpProbeAndLockPages(outMdl, UserMode, IoWriteAccess);
            outLocked = inLocked && NT_SUCCESS(status);
            if (NT_SUCCESS(status)) {
                PVOID source = MmGetSystemAddressForMdlSafe(inMdl, NormalPagePriority);
                PVOID target = MmGetSystemAddressForMdlSafe(outMdl, NormalPagePriority);
                if (source && target)
                    memcpy(target, source, length);
                else
                    status = STATUS_INSUFFICIENT_RESOURCES;
            }
            if (outLocked) MmUnlockPages(outMdl);
            if (inLocked) MmUnlockPages(inMdl);
            if (outMdl) IoFreeMdl(outMdl);
            if (inMdl) IoFreeMdl(inMdl);
            return Complete(irp, status, NT_SUCCESS(status) ? length : 0);
        }
        case IOCTL_KPTEST_RAW_NEITHER: {
            ULONG value =
                *static_cast<volatile ULONG*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
            return Complete(irp, value == 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        }
        case IOCTL_KPTEST_BUSY_NEITHER: {
            auto* flag = static_cast<ULONG*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
            if (inLength >= 2 * sizeof(ULONG)) __atomic_store_n(flag + 1, 1, __ATOMIC_RELEASE);
            while (__atomic_load_n(flag, __ATOMIC_ACQUIRE) == 0) KeStallExecutionProcessor(10);
            return Complete(irp, STATUS_SUCCESS);
        }
        case IOCTL_KPTEST_FILL_DIRECT: {
            if (irp->MdlAddress == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
            PVOID target = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
            if (target == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            memset(target, 0xA5, outLength);
            return Complete(irp, STATUS_SUCCESS, outLength);
        }
        default:
            return PassDown(ext, irp);
    }
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    KpIoTraceIrp(kWho, device, irp);
    auto ext = static_cast<Extension*>(device->DeviceExtension);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_PNP:
            return DispatchPnp(ext, irp);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(ext->Lower, irp);
        case IRP_MJ_CREATE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_DEVICE_CONTROL:
            return DispatchControl(ext, irp);
        default:
            return PassDown(ext, irp);
    }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    KpIoTraceEvent(kWho, "add-device", pdo);
    PDEVICE_OBJECT device;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto ext = static_cast<Extension*>(device->DeviceExtension);
    ext->Self = device;
    ext->Pdo = pdo;
    KeInitializeSpinLock(&ext->Lock);
    InitializeListHead(&ext->Pended);
    HANDLE key;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, &key))) {
        ext->FailStart = static_cast<NTSTATUS>(KpTestReadDword(key, u"FailStart"));
        ext->FailQueryRemove = static_cast<NTSTATUS>(KpTestReadDword(key, u"FailQueryRemove"));
        ext->StateBits = KpTestReadDword(key, u"PnpStateBits");
        ZwClose(key);
    }
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, u"global");
    status = IoRegisterDeviceInterface(pdo, &KPTEST_INTERFACE_CLASS, &reference, &ext->Link);
    if (NT_SUCCESS(status)) {
        status = IoRegisterDeviceInterface(pdo, &KPTEST_ALIAS_CLASS, &reference, &ext->AliasLink);
        if (!NT_SUCCESS(status)) RtlFreeUnicodeString(&ext->Link);
    }
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->Lower == nullptr) {
        RtlFreeUnicodeString(&ext->Link);
        RtlFreeUnicodeString(&ext->AliasLink);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
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
