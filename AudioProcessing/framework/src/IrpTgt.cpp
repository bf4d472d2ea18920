// KS request sender and the classification of incoming property requests.
#include "CKsIrpTarget.h"

#include "FilterLogic.h"
#include "ZDebug.h"

namespace {
using ThisModule = LogModule<LogModuleIrpTgt>;

// The property header of an IOCTL_KS_PROPERTY request, when it is at least
// minimum bytes long.
const KSPROPERTY* PropertyOf(PIRP irp, ULONG minimum) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < minimum) return nullptr;
    return static_cast<const KSPROPERTY*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
}

ULONG InputLength(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
}
ULONG OutputLength(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

// A GET of the pin set with a KSP_PIN input (and the given id, unless any).
const KSP_PIN* PinGet(PIRP irp, bool anyId, ULONG id) {
    const KSPROPERTY* property = PropertyOf(irp, sizeof(KSPROPERTY));
    if (property == nullptr || !IsEqualGUID(property->Set, KSPROPSETID_Pin)) return nullptr;
    if ((property->Flags & KSPROPERTY_TYPE_GET) == 0 || InputLength(irp) < sizeof(KSP_PIN))
        return nullptr;
    if (!anyId && property->Id != id) return nullptr;
    return reinterpret_cast<const KSP_PIN*>(property);
}

NTSTATUS SendAndWait(ULONG code, PDEVICE_OBJECT device, PFILE_OBJECT file, PVOID input,
                     ULONG inputLength, PVOID output, ULONG outputLength, PULONG byteCount) {
    if ((outputLength != 0 && output == nullptr) || (inputLength != 0 && input == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    // A request with no file object cannot reach a KS object below.
    if (device == nullptr || file == nullptr) return STATUS_INVALID_PARAMETER;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength,
                                             FALSE, &event, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (byteCount != nullptr) *byteCount = static_cast<ULONG>(iosb.Information);
    return status;
}
}  // namespace

NTSTATUS SendKsIoctl(ULONG code, PDEVICE_OBJECT device, PFILE_OBJECT file, PVOID input,
                     ULONG inputLength, PVOID output, ULONG outputLength, PULONG byteCount) {
    return SendAndWait(code, device, file, input, inputLength, output, outputLength, byteCount);
}

ZvStatus GetAudioPosition(PDEVICE_OBJECT device, PFILE_OBJECT pinFile, PKSAUDIO_POSITION position) {
    KSPROPERTY property = {KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET};
    NTSTATUS status = SendKsIoctl(IOCTL_KS_PROPERTY, device, pinFile, &property, sizeof property,
                                  position, sizeof(KSAUDIO_POSITION), nullptr);
    return NT_SUCCESS(status) ? ZV_OK : ZV_FAILED;
}

NTSTATUS CKsIrpTarget::SyncIoctl(PIRP current, ULONG code, PVOID input, ULONG inputLength,
                                 PVOID output, ULONG outputLength, PULONG byteCount,
                                 RequestFile useRelated) {
    PFILE_OBJECT file =
        current != nullptr ? IoGetCurrentIrpStackLocation(current)->FileObject : nullptr;
    if (file != nullptr && useRelated != RequestFile::Own) file = file->RelatedFileObject;
    return SendAndWait(code, m_target, file, input, inputLength, output, outputLength, byteCount);
}

NTSTATUS CKsIrpTarget::GetPinProperty(PIRP current, ULONG pinId, ULONG propertyId, PVOID output,
                                      ULONG outputLength, RequestFile useRelated) {
    KSP_PIN pin = {{KSPROPSETID_Pin, propertyId, KSPROPERTY_TYPE_GET}, pinId, 0};
    return SyncIoctl(current, IOCTL_KS_PROPERTY, &pin, sizeof pin, output, outputLength, nullptr,
                     useRelated);
}

NTSTATUS CKsIrpTarget::GetPinCommunication(PIRP current, ULONG pinId, PVOID output,
                                           ULONG outputLength, RequestFile useRelated) {
    if (output == nullptr || outputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    return GetPinProperty(current, pinId, KSPROPERTY_PIN_COMMUNICATION, output, outputLength,
                          useRelated);
}

NTSTATUS CKsIrpTarget::GetPinDataFlow(PIRP current, ULONG pinId, PVOID output, ULONG outputLength,
                                      RequestFile useRelated) {
    if (output == nullptr || outputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    return GetPinProperty(current, pinId, KSPROPERTY_PIN_DATAFLOW, output, outputLength,
                          useRelated);
}

NTSTATUS CKsIrpTarget::GetPinCategory(PIRP current, ULONG pinId, PVOID output, ULONG outputLength,
                                      RequestFile useRelated) {
    if (output == nullptr || outputLength < sizeof(GUID)) return STATUS_INVALID_PARAMETER;
    return GetPinProperty(current, pinId, KSPROPERTY_PIN_CATEGORY, output, outputLength,
                          useRelated);
}

ULONG CKsIrpTarget::GetPinDescription(PIRP current, ULONG pinId, GUID* category, PULONG dataFlow,
                                      PULONG communication, RequestFile useRelated) {
    GUID localCategory;
    if (!NT_SUCCESS(
            GetPinCategory(current, pinId, &localCategory, sizeof localCategory, useRelated)))
        return 0;
    if (category != nullptr) *category = localCategory;
    ULONG value;
    if (!NT_SUCCESS(GetPinDataFlow(current, pinId, &value, sizeof value, useRelated))) return 0;
    if (dataFlow != nullptr) *dataFlow = value;
    if (!NT_SUCCESS(GetPinCommunication(current, pinId, &value, sizeof value, useRelated)))
        return 0;
    if (communication != nullptr) *communication = value;
    return 1;
}

ULONG CKsIrpTarget::IsPinProperty(PIRP irp, PULONG pinId) {
    const KSP_PIN* pin = PinGet(irp, true, 0);
    if (pin == nullptr) return 0;
    if (pinId != nullptr) *pinId = pin->PinId;
    return 1;
}

ULONG CKsIrpTarget::IsGetDataRanges(PIRP irp, PULONG pinId) {
    const KSP_PIN* pin = PinGet(irp, false, KSPROPERTY_PIN_DATARANGES);
    if (pin == nullptr) return 0;
    if (pinId != nullptr) *pinId = pin->PinId;
    ThisModule::ModulePrint(
        1, "CKsIrpTarget::IsGetDataRanges>> Yes; PinId - %d; OutputBufferLength: %d\n", pin->PinId,
        OutputLength(irp));
    return 1;
}

ULONG CKsIrpTarget::IsGetDataIntersection(PIRP irp, PULONG pinId) {
    const KSP_PIN* pin = PinGet(irp, false, KSPROPERTY_PIN_DATAINTERSECTION);
    if (pin == nullptr) return 0;
    if (pinId != nullptr) *pinId = pin->PinId;
    ThisModule::ModulePrint(
        1, "CKsIrpTarget::IsGetDataIntersection>> Yes; PinId - %d; InputBufferLength: %d\n",
        pin->PinId, InputLength(irp));
    if (InputLength(irp) > 40) {
        ThisModule::ModulePrint(1,
                                "CKsIrpTarget::IsGetDataIntersection>>-----------"
                                "DisplayMultipleItemDataRanges----------\n");
        ThisModule::ModulePrint(1,
                                "CKsIrpTarget::IsGetDataIntersection>>-----------------------------"
                                "---------------------\n");
    }
    return 1;
}

ULONG CKsIrpTarget::IsGetPinCommunication(PIRP irp, PULONG pinId) {
    const KSP_PIN* pin = PinGet(irp, false, KSPROPERTY_PIN_COMMUNICATION);
    if (pin == nullptr) return 0;
    if (pinId != nullptr) *pinId = pin->PinId;
    ThisModule::ModulePrint(1,
                            "CKsIrpTarget::IsGetPinCommunication>> Yes; PinId - %d; "
                            "InputBufferLength: %d OutputBufferLength - %d\n",
                            pin->PinId, InputLength(irp), OutputLength(irp));
    return 1;
}

ULONG CKsIrpTarget::IsGetAudioPosition(PIRP irp) {
    const KSPROPERTY* property = PropertyOf(irp, sizeof(KSPROPERTY));
    return property != nullptr && IsEqualGUID(property->Set, KSPROPSETID_Audio) &&
                   (property->Flags & KSPROPERTY_TYPE_GET) != 0 &&
                   property->Id == KSPROPERTY_AUDIO_POSITION
               ? 1
               : 0;
}

ULONG CKsIrpTarget::IsConnectionProperty(PIRP irp, PULONG propertyId, PULONG kind) {
    if (kind != nullptr) *kind = 0;
    const KSPROPERTY* property = PropertyOf(irp, sizeof(KSPROPERTY));
    if (property == nullptr || !IsEqualGUID(property->Set, KSPROPSETID_Connection)) return 0;
    if (propertyId != nullptr) *propertyId = property->Id;
    ULONG found = (property->Flags & KSPROPERTY_TYPE_SET) != 0   ? 2
                  : (property->Flags & KSPROPERTY_TYPE_GET) != 0 ? 1
                                                                 : 0;
    if (kind != nullptr) *kind = found;
    return found != 0 ? 1 : 0;
}

ULONG CKsIrpTarget::IsInterceptedPropertySet(PIRP irp) {
    const KSPROPERTY* property = PropertyOf(irp, sizeof(KSPROPERTY));
    if (property == nullptr || InterceptedPropertySets == nullptr) return 0;
    for (ULONG i = 0; i < InterceptedPropertySets->Count; ++i) {
        if (IsEqualGUID(property->Set, InterceptedPropertySets->Sets[i])) return 1;
    }
    return 0;
}
