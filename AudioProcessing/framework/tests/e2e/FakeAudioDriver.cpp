#include "FakeAudioDriver.h"

#include <ks.h>
#include <ksmedia.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "kp/io.h"
#include "platform/zw.h"

namespace zvtest {
namespace {

struct Extension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    UNICODE_STRING Links[3];
    ULONG LinkCount;
    ULONG StateBits;
    ULONG PendStart;  // START: answer STATUS_PENDING, finish on a system thread
    NTSTATUS FailStart;
};

std::mutex HeldLock;
std::vector<PIRP> Held;

// Requests kept inside the dispatch: each waits for the release generation to move on.
std::mutex BlockLock;
std::condition_variable BlockChanged;
ULONG Blocked = 0;
ULONG BlockGeneration = 0;

NTSTATUS BlockInDispatch() {
    std::unique_lock<std::mutex> guard(BlockLock);
    const ULONG generation = BlockGeneration;
    ++Blocked;
    BlockChanged.notify_all();
    BlockChanged.wait(guard, [&] { return BlockGeneration != generation; });
    --Blocked;
    return STATUS_SUCCESS;
}

ULONG ReadParameter(PDEVICE_OBJECT pdo, PCWSTR name) {
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) return 0;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 4];
    auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONG length = 0, value = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, sizeof buffer,
                                   &length)) &&
        info->Type == REG_DWORD && info->DataLength == 4) {
        memcpy(&value, info->Data, 4);
    }
    ZwClose(key);
    return value;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

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

NTSTATUS PassDown(Extension* ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->Lower, irp);
}

void SetInterfaces(Extension* ext, BOOLEAN enable) {
    for (ULONG i = 0; i < ext->LinkCount; ++i) IoSetDeviceInterfaceState(&ext->Links[i], enable);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto ext = static_cast<Extension*>(fdo->DeviceExtension);
    ext->Self = fdo;
    ext->Pdo = pdo;
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    ext->StateBits = ReadParameter(pdo, u"StateBits");
    ext->PendStart = ReadParameter(pdo, u"PendStart");
    ext->FailStart = static_cast<NTSTATUS>(ReadParameter(pdo, u"FailStart"));
    ULONG categories = ReadParameter(pdo, u"Categories");
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, u"wave");
    const GUID* guids[] = {&KSCATEGORY_AUDIO, &KSCATEGORY_CAPTURE, &KSCATEGORY_RENDER};
    ULONG wanted[] = {1, categories & 1, categories & 2};
    for (ULONG i = 0; i < 3; ++i) {
        if (wanted[i] != 0 && NT_SUCCESS(IoRegisterDeviceInterface(pdo, guids[i], &reference,
                                                                   &ext->Links[ext->LinkCount]))) {
            ++ext->LinkCount;
        }
    }
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    KpIoTraceEvent(ZV_FAKE_AUDIO_LABEL, "add-device", fdo);
    return STATUS_SUCCESS;
}

NTSTATUS FinishStart(Extension* ext, PIRP irp) {
    NTSTATUS status = ForwardAndWait(ext, irp);
    if (NT_SUCCESS(status) && ext->FailStart != 0) status = ext->FailStart;
    if (NT_SUCCESS(status)) SetInterfaces(ext, TRUE);
    return Complete(irp, status);
}

struct PendedStart {
    Extension* Ext;
    PIRP Irp;
};

VOID FinishStartLater(PVOID context) {
    auto pended = static_cast<PendedStart*>(context);
    LARGE_INTEGER delay;
    delay.QuadPart = -20 * 10000;  // the caller is waiting by now
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    FinishStart(pended->Ext, pended->Irp);
    delete pended;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS DispatchPnp(Extension* ext, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            if (ext->PendStart == 0) return FinishStart(ext, irp);
            IoMarkIrpPending(irp);
            HANDLE thread = nullptr;
            if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr,
                                                nullptr, FinishStartLater,
                                                new PendedStart{ext, irp}))) {
                ZwClose(thread);
            }
            return STATUS_PENDING;
        }
        case IRP_MN_QUERY_PNP_DEVICE_STATE: {
            NTSTATUS status = ForwardAndWait(ext, irp);
            ULONG_PTR bits = NT_SUCCESS(status) ? irp->IoStatus.Information | ext->StateBits : 0;
            return Complete(irp, status, bits);
        }
        case IRP_MN_SURPRISE_REMOVAL:
            SetInterfaces(ext, FALSE);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(ext, irp);
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(ext, irp);
        case IRP_MN_REMOVE_DEVICE: {
            SetInterfaces(ext, FALSE);
            ReleaseHeldRequests();
            irp->IoStatus.Status = STATUS_SUCCESS;
            NTSTATUS status = PassDown(ext, irp);
            IoDetachDevice(ext->Lower);
            for (ULONG i = 0; i < ext->LinkCount; ++i) RtlFreeUnicodeString(&ext->Links[i]);
            IoDeleteDevice(ext->Self);
            return status;
        }
        default:
            return PassDown(ext, irp);
    }
}

NTSTATUS DispatchControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (code == IOCTL_ZVTEST_HOLD) {
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> guard(HeldLock);
        Held.push_back(irp);
        return STATUS_PENDING;
    }
    if (code == IOCTL_ZVTEST_BLOCK) return Complete(irp, BlockInDispatch());
    if (code == IOCTL_ZVTEST_RELEASE) {
        ReleaseHeldRequests();
        return Complete(irp, STATUS_SUCCESS);
    }
    if (code != IOCTL_KS_PROPERTY || inLength < sizeof(KSPROPERTY))
        return Complete(irp, STATUS_SUCCESS);
    auto property =
        static_cast<const KSPROPERTY*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    PVOID out = irp->UserBuffer;
    if (IsEqualGUID(property->Set, KSPROPSETID_Audio) &&
        property->Id == KSPROPERTY_AUDIO_POSITION) {
        if (outLength < sizeof(KSAUDIO_POSITION)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        KSAUDIO_POSITION position = {4800, 9600};
        memcpy(out, &position, sizeof position);
        return Complete(irp, STATUS_SUCCESS, sizeof position);
    }
    if (!IsEqualGUID(property->Set, KSPROPSETID_Pin) || inLength < sizeof(KSP_PIN)) {
        return Complete(irp, STATUS_NOT_FOUND);
    }
    ULONG pinId = reinterpret_cast<const KSP_PIN*>(property)->PinId;
    if (pinId > 1) return Complete(irp, STATUS_INVALID_PARAMETER);
    switch (property->Id) {
        case KSPROPERTY_PIN_CATEGORY: {
            if (outLength < sizeof(GUID)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
            memcpy(out, pinId == 0 ? &KSCATEGORY_CAPTURE : &KSCATEGORY_RENDER, sizeof(GUID));
            return Complete(irp, STATUS_SUCCESS, sizeof(GUID));
        }
        case KSPROPERTY_PIN_DATAFLOW:
        case KSPROPERTY_PIN_COMMUNICATION: {
            if (outLength < sizeof(ULONG)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
            ULONG value = property->Id == KSPROPERTY_PIN_DATAFLOW ? 2 - pinId : 1;
            memcpy(out, &value, sizeof value);
            return Complete(irp, STATUS_SUCCESS, sizeof value);
        }
        default:
            return Complete(irp, STATUS_NOT_FOUND);
    }
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto ext = static_cast<Extension*>(device->DeviceExtension);
    KpIoTraceIrp(ZV_FAKE_AUDIO_LABEL, device, irp);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_PNP:
            return DispatchPnp(ext, irp);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(ext->Lower, irp);
        case IRP_MJ_SYSTEM_CONTROL:
            return PassDown(ext, irp);
        case IRP_MJ_DEVICE_CONTROL:
            return DispatchControl(irp);
        default:
            return Complete(irp, STATUS_SUCCESS);
    }
}

void Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Dispatch;
    return STATUS_SUCCESS;
}

}  // namespace

void RegisterFakeAudioDriver() {
    KpRegisterBuiltinDriver(ZV_FAKE_AUDIO_SERVICE, Entry);
}

void ReleaseHeldRequests() {
    std::vector<PIRP> ready;
    {
        std::lock_guard<std::mutex> guard(HeldLock);
        ready.swap(Held);
    }
    for (PIRP irp : ready) Complete(irp, STATUS_SUCCESS);
}

bool WaitForBlockedRequests(ULONG count) {
    std::unique_lock<std::mutex> guard(BlockLock);
    return BlockChanged.wait_for(guard, std::chrono::seconds(10), [&] { return Blocked >= count; });
}

void UnblockRequests() {
    std::lock_guard<std::mutex> guard(BlockLock);
    ++BlockGeneration;
    BlockChanged.notify_all();
}

ULONG HeldRequestCount() {
    std::lock_guard<std::mutex> guard(HeldLock);
    return static_cast<ULONG>(Held.size());
}

}  // namespace zvtest
