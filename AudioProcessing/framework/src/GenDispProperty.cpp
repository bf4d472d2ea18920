// Property interception: the pin property answers with the rewritten ranges,
// the connection-state and data-format sets and the audio position followed to
// their completion, the filter logic's own sets, and the device queries that
// build a pin's rewritten ranges.
#include <cstring>

#include "CGenDisp.h"
#include "DrvMain.h"
#include "LogicCalls.h"
#include "MemAlloc.h"
#include "ZDebug.h"
#include "ZvKAPFWi.h"

namespace {
using ThisModule = LogModule<LogModuleGenDisp>;

const ULONG FormatAnswerSize = ZV_FMT_SIZE_EXTENSIBLE;
// A device's range list larger than this is not believed.
const ULONG MaxDeviceRangeBytes = 1u << 20;

// The property data of a request: SystemBuffer when buffered, else UserBuffer.
PVOID PropertyData(PIRP irp) {
    return (irp->Flags & IRP_BUFFERED_IO) != 0 ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
}

// Two tries of an intersection: a 104-byte answer, then an 82-byte one.
NTSTATUS Intersect(CGenDisp* genDisp, PIRP irp, PVOID request, ULONG requestSize, PUCHAR format,
                   PULONG byteCount, RequestFile useRelated) {
    NTSTATUS status = genDisp->SyncIoctl(irp, IOCTL_KS_PROPERTY, request, requestSize, format,
                                         FormatAnswerSize, byteCount, useRelated);
    if (!NT_SUCCESS(status)) {
        status = genDisp->SyncIoctl(irp, IOCTL_KS_PROPERTY, request, requestSize, format,
                                    ZV_FMT_SIZE_WAVE, byteCount, useRelated);
    }
    return status;
}

// The device's DATARANGES list of a pin, allocated (MemFree); its usable size in *size.
NTSTATUS QueryDeviceRanges(CGenDisp* genDisp, PIRP irp, ULONG pinId, PUCHAR* list, PULONG size,
                           RequestFile useRelated) {
    *list = nullptr;
    *size = 0;
    KSMULTIPLE_ITEM header = {};
    NTSTATUS status = genDisp->GetPinProperty(irp, pinId, KSPROPERTY_PIN_DATARANGES, &header,
                                              sizeof header, useRelated);
    if (!NT_SUCCESS(status)) return status;
    if (header.Size < sizeof header || header.Size > MaxDeviceRangeBytes)
        return STATUS_INVALID_DEVICE_REQUEST;
    PUCHAR buffer = static_cast<PUCHAR>(MemAlloc(header.Size));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(buffer, 0, header.Size);
    KSP_PIN pin = {{KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET}, pinId, 0};
    ULONG returned = 0;
    status = genDisp->SyncIoctl(irp, IOCTL_KS_PROPERTY, &pin, sizeof pin, buffer, header.Size,
                                &returned, useRelated);
    if (!NT_SUCCESS(status)) {
        MemFree(buffer);
        return status;
    }
    *list = buffer;
    *size = returned < header.Size ? returned : header.Size;
    return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS CGenDisp::GetSupportedDataRangeSize(PIRP irp, ULONG pinId, ULONG dataFlow, PULONG sizeOut,
                                             ULONG bwLimit, PULONG level, PULONG foundOut,
                                             RequestFile useRelated) {
    *sizeOut = 0;
    *foundOut = 0;
    const DataRangePreferenceTable* table = RangePreferencesFor(dataFlow);
    if (table == nullptr) return STATUS_INVALID_PARAMETER;
    PUCHAR list = nullptr;
    ULONG listSize = 0;
    NTSTATUS status = QueryDeviceRanges(this, irp, pinId, &list, &listSize, useRelated);
    if (!NT_SUCCESS(status)) return status;
    ThisModule::ModulePrint(
        5, "CGenDisp::GetSupportedDataRangeSize KSPROPERTY_PIN_DATARANGES>> Success\n");
    for (ULONG l = *level; l < table->Count; ++l) {
        BuildRangeListSize(list, listSize, &table->Levels[l], sizeOut, foundOut, bwLimit);
        *level = l;
        if (*sizeOut > sizeof(KSMULTIPLE_ITEM)) break;
    }
    MemFree(list);
    return STATUS_SUCCESS;
}

NTSTATUS CGenDisp::GetSupportedDataRange(PIRP irp, ULONG pinId, ULONG dataFlow, PVOID buffer,
                                         ULONG size, ULONG bwLimit, ULONG level,
                                         RequestFile useRelated) {
    const DataRangePreferenceTable* table = RangePreferencesFor(dataFlow);
    if (table == nullptr || level >= table->Count) return STATUS_INVALID_PARAMETER;
    PUCHAR list = nullptr;
    ULONG listSize = 0;
    NTSTATUS status = QueryDeviceRanges(this, irp, pinId, &list, &listSize, useRelated);
    if (!NT_SUCCESS(status)) return status;
    ThisModule::ModulePrint(5, "GetDataRanges KSPROPERTY_PIN_DATARANGES>> Success\n");
    ThisModule::ModulePrint(3,
                            "CGenDisp::GetSupportedDataRange>>-----------ActualDataRange From "
                            "Device(only WaveFormat) ----------\n");
    DisplayMultipleItemDataRanges(list, listSize);
    ThisModule::ModulePrint(
        3, "CGenDisp::GetSupportedDataRange>>--------------------------------------------------\n");
    BuildRangeList(list, listSize, &table->Levels[level], buffer, size, bwLimit);
    if (ZvReadU32(buffer, 4) == 0) {
        ThisModule::ModulePrint(
            3, "CGenDisp::GetSupportedDataRange>> Modified Data Ranges is Empty !!!\n");
    } else {
        ThisModule::ModulePrint(
            3, "CGenDisp::GetSupportedDataRange>>-----------Modified Data Ranges----------\n");
        DisplayMultipleItemDataRanges(buffer, size);
    }
    MemFree(list);
    return STATUS_SUCCESS;
}

NTSTATUS CGenDisp::VerifyAndUpdateSupportedDataRanges(PIRP irp, PUCHAR buffer, ULONG size,
                                                      PinRecord* record, const KSP_PIN* kspPin,
                                                      PUCHAR* formatOut, PULONG formatSizeOut,
                                                      RequestFile useRelated) {
    *formatOut = nullptr;
    *formatSizeOut = 0;
    PUCHAR list = buffer + sizeof(KSP_PIN);
    PUCHAR verified = static_cast<PUCHAR>(MemAlloc(size));
    PUCHAR format = static_cast<PUCHAR>(MemAlloc(FormatAnswerSize));
    // One range at a time: the KSP_PIN, a one-item header and the range itself.
    PUCHAR request = static_cast<PUCHAR>(MemAlloc(sizeof(KSP_PIN) + size));
    if (verified == nullptr || format == nullptr || request == nullptr) {
        MemFree(verified);
        MemFree(format);
        MemFree(request);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(format, 0, FormatAnswerSize);
    MemFree(record->RangeList);
    record->RangeList = verified;
    record->RangeListSize = sizeof(KSMULTIPLE_ITEM);
    ZvWriteU32(verified, 0, sizeof(KSMULTIPLE_ITEM));
    ZvWriteU32(verified, 4, 0);
    std::memcpy(request, kspPin, sizeof(KSP_PIN));
    ULONG count = ZvReadU32(list, 4), offset = sizeof(KSMULTIPLE_ITEM),
          verifiedSize = sizeof(KSMULTIPLE_ITEM);
    ULONG verifiedCount = 0;
    for (ULONG i = 0; i < count && offset + ZV_RANGE_SIZE_AUDIO <= size; ++i) {
        const UCHAR* range = list + offset;
        ULONG rangeSize = ZvFormatSize(range);
        if (rangeSize < ZV_RANGE_SIZE_AUDIO || rangeSize > size - offset) break;
        ZvWriteU32(request, sizeof(KSP_PIN), rangeSize + sizeof(KSMULTIPLE_ITEM));
        ZvWriteU32(request, sizeof(KSP_PIN) + 4, 1);
        std::memcpy(request + sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), range, rangeSize);
        ULONG returned = 0;
        NTSTATUS status =
            Intersect(this, irp, request, sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + rangeSize,
                      format, &returned, useRelated);
        if (!NT_SUCCESS(status)) {
            ThisModule::ModulePrint(
                1, "VerifyAndUpdateSupportedDataRanges>> Failed Data Intersection status - 0x%x\n",
                status);
        } else {
            std::memcpy(verified + verifiedSize, range, rangeSize);
            verifiedSize += rangeSize;
            verifiedCount += 1;
        }
        offset += rangeSize;
    }
    MemFree(request);
    ZvWriteU32(verified, 0, verifiedSize);
    ZvWriteU32(verified, 4, verifiedCount);
    record->RangeListSize = verifiedSize;
    if (verifiedCount == 0) {
        MemFree(format);
        return STATUS_NO_MATCH;
    }
    // The whole verified list in one intersection: the device's own choice.
    std::memcpy(buffer, kspPin, sizeof(KSP_PIN));
    std::memcpy(list, verified, verifiedSize);
    std::memset(format, 0, FormatAnswerSize);
    ULONG returned = 0;
    NTSTATUS status =
        Intersect(this, irp, buffer, sizeof(KSP_PIN) + verifiedSize, format, &returned, useRelated);
    ULONG formatSize = ZvFormatSize(format);
    if (formatSize > returned) formatSize = returned;
    if (formatSize > FormatAnswerSize) formatSize = FormatAnswerSize;
    *formatOut = format;
    *formatSizeOut = NT_SUCCESS(status) ? formatSize : 0;
    return status;
}

// ---------------------------------------------------------------------------
// Pin properties answered from the records
// ---------------------------------------------------------------------------
bool CGenDisp::AnswerPinCommunication(const PropertyRequest& request, FollowedProperty*,
                                      NTSTATUS* status) {
    const PinRecord* record = request.Record;
    ULONG answer = record->fNotUsed != 0 ? static_cast<ULONG>(KSPIN_COMMUNICATION_NONE)
                                         : record->Communication;
    if (record->fNotUsed != 0) {
        ThisModule::ModulePrint(1,
                                "HandleKSProperty> KSPROPERTY_PIN_COMMUNICATION for "
                                "pin %d returning KSPIN_COMMUNICATION_NONE\n",
                                request.PinId);
    }
    *status = AnswerSized(request.Reply, request.Data, request.OutLength, &answer, sizeof answer);
    return true;
}

bool CGenDisp::AnswerPinDataRanges(const PropertyRequest& request, FollowedProperty*,
                                   NTSTATUS* status) {
    static const UCHAR EmptyList[8] = {8, 0, 0, 0, 0, 0, 0, 0};
    const PinRecord* record = request.Record;
    const UCHAR* list = record->fNotUsed != 0 ? EmptyList : record->RangeList;
    const ULONG listSize = record->fNotUsed != 0 ? sizeof EmptyList : record->RangeListSize;
    // A buffer of a list header's size gets the header alone (size and count).
    const ULONG size =
        request.OutLength == sizeof(KSMULTIPLE_ITEM) ? sizeof(KSMULTIPLE_ITEM) : listSize;
    if (request.OutLength != 0 && request.OutLength < size) {
        // The application asked about the rewritten list: the device's answer would not be it.
        ThisModule::ModulePrint(
            1, "HandleKSProperty> GetDataRanges: OutputBufferLength is not valid!!!\n");
    }
    *status = AnswerSized(request.Reply, request.Data, request.OutLength, list, size);
    return true;
}

bool CGenDisp::AnswerPinDataIntersection(const PropertyRequest& request, FollowedProperty*,
                                         NTSTATUS* status) {
    PinRecord* record = request.Record;
    if (record->fNotUsed != 0 || record->DefaultFormat == nullptr) {
        *status = CompleteKsIrp(request.Reply, STATUS_NO_MATCH, 0);
        return true;
    }
    const ULONG formatSize = ZvFormatSize(record->DefaultFormat);
    if (request.OutLength < formatSize) {
        if (request.OutLength != 0) {
            ThisModule::ModulePrint(
                1, "HandleKSProperty> GetDataIntersection: OutputBufferLength is not valid!!!\n");
        }
        *status = AnswerSized(request.Reply, request.Data, request.OutLength, nullptr, formatSize);
        return true;
    }
    const UCHAR* answer = IntersectDataFormat(record, request.Property, request.InLength) != 0
                              ? record->ChosenFormat
                              : record->DefaultFormat;
    ULONG answerSize = ZvFormatSize(answer);
    if (answerSize > request.OutLength) answerSize = request.OutLength;
    ThisModule::ModulePrint(
        1, "HandleKSProperty> -----------------Intersect Format-----------------\n");
    DisplayDataFormat(answer, answerSize);
    ThisModule::ModulePrint(
        1, "HandleKSProperty> --------------------------------------------------\n");
    *status = AnswerSized(request.Reply, request.Data, request.OutLength, answer, answerSize);
    return true;
}

// ---------------------------------------------------------------------------
// Requests of open pins followed to their completion
// ---------------------------------------------------------------------------
namespace {
// The followed request's context and the pin it was followed for.
void Follow(FollowedProperty* followed, IrpContext* ctx, const OpenPinEntry* entry) {
    if (ctx == nullptr) return;
    followed->Context = ctx;
    followed->Channel = entry->Channel;
    followed->Direction = entry->Direction;
}
}  // namespace

// A connection set's pin, with both list mutexes held.
bool CGenDisp::FindOpenPinForSet(PropertyRequest* request) {
    PIRP irp = request->Reply.Irp;
    OpenPinEntry* entry = nullptr;
    FilterEntry* filter = nullptr;
    PinRecord* record = nullptr;
    if (GetOpenPinFromList(irp, IoGetCurrentIrpStackLocation(irp)->FileObject, nullptr, 0, &entry,
                           ListLookup::Find) == 0) {
        ThisModule::ModulePrint(1,
                                "HandleKSProperty> IsConnectionProperty: GetOpenPinFromList "
                                "Failed!!! (No Create File for this pin before)\n");
        return false;
    }
    if (GetFilterFromList(irp, entry->RFO, entry->PinId, &filter, &record, ListLookup::Find,
                          RequestFile::Related) == 0 ||
        record == nullptr) {
        ThisModule::ModulePrint(
            1, "HandleKSProperty> IsConnectionProperty: GetFilterFromList Failed!!!\n");
        return false;
    }
    if (record->fDontCare != 0 || record->fNotUsed != 0) {
        ThisModule::ModulePrint(1,
                                "HandleKSProperty> IsConnectionProperty: Pin Created has "
                                "attribute %s so bail out!!!\n",
                                record->fDontCare != 0 ? "fDontCare" : "fNotUsed");
        return false;
    }
    request->Entry = entry;
    request->Record = record;
    return entry->Active != 0;
}

// A position read's pin, with the open-pin-list mutex held.
bool CGenDisp::FindOpenPinForRead(PropertyRequest* request) {
    PIRP irp = request->Reply.Irp;
    OpenPinEntry* entry = nullptr;
    if (GetOpenPinFromList(irp, IoGetCurrentIrpStackLocation(irp)->FileObject, nullptr, 0, &entry,
                           ListLookup::Find) == 0) {
        ThisModule::ModulePrint(1,
                                "HandleKSProperty> IsGetAudioPosition: GetOpenPinFromList "
                                "Failed!!! (No Create File for this pin before)\n");
        return false;
    }
    request->Entry = entry;
    return entry->Active != 0;
}

// A data-format set: refused here when the pin's ranges do not hold the
// format, else followed when the pin holds a channel.
bool CGenDisp::FollowConnectionFormat(const PropertyRequest& request, FollowedProperty* followed,
                                      NTSTATUS* status) {
    const PinRecord* record = request.Record;
    ULONG proposedSize = ZvFormatSize(request.Data);
    if (proposedSize > request.OutLength) proposedSize = request.OutLength;
    const UCHAR* reference =
        record->ChosenFormat != nullptr ? record->ChosenFormat : record->DefaultFormat;
    if (proposedSize < ZV_FMT_SIZE_WAVE || request.OutLength < ZV_FMT_SIZE_WAVE ||
        std::memcmp(request.Data + 48, &KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, sizeof(GUID)) != 0) {
        // Not a wave format: nothing to compare, and nothing the stream paths could use.
        ThisModule::ModulePrint(
            1, "HandleKSProperty>IsConnectionDataFormat: Proposed Size not WaveFormatEx!!!\n");
        return false;
    }
    if (reference != nullptr &&
        CompareDataFormat(request.Data, proposedSize, reference, record->ChannelLimit) == 0) {
        ThisModule::ModulePrint(1,
                                "HandleKSProperty>IsConnectionDataFormat: DataFormat mismatch "
                                "Failing KSPROPERTY_CONNECTION_DATAFORMAT SET!!!\n");
        *status = CompleteKsIrp(request.Reply, STATUS_NO_MATCH, 0);
        return true;
    }
    if (OwnedChannel(request.Entry) == NoChannel) return false;
    IrpContext* ctx = AllocateContext(request.Reply.Irp, IRP_CTX_DATAFORMAT);
    if (ctx == nullptr) {
        ThisModule::ModulePrint(
            ZDBG_ERR | 1, "HandleKSProperty>IsConnectionDataFormat: no memory for IRP context!!\n");
        // The set goes down unfollowed: should the device take it, the pin's
        // kept format no longer says how its blocks are cut and counted, so
        // the stream paths stop following the pin, as when a new format
        // cannot be kept.
        request.Entry->Active = 0;
    }
    Follow(followed, ctx, request.Entry);
    return false;
}

// A stream-state set of a pin that holds a channel: followed, holding the
// sync-control lock from before it goes down until its completion.
bool CGenDisp::FollowConnectionState(const PropertyRequest& request, FollowedProperty* followed,
                                     NTSTATUS*) {
    OpenPinEntry* entry = request.Entry;
    // A state outside STOP..RUN is the device's to refuse, never the logic's to hear.
    if (ZvReadU32(request.Data, 0) > KSSTATE_RUN || OwnedChannel(entry) == NoChannel) return false;
    IrpContext* ctx = AllocateContext(request.Reply.Irp, IRP_CTX_STATE);
    if (ctx == nullptr) {
        ThisModule::ModulePrint(
            ZDBG_ERR | 1, "HandleKSProperty>IsConnectionState(SET): no memory for IRP context!!\n");
        return false;
    }
    // Kept: the application's buffer may change before the completion reads it.
    ULONG state = ZvReadU32(request.Data, 0);
    ctx->State = state;
    ctx->SyncLockHeld = 1;
    ThisModule::ModulePrint(1,
                            "HandleKSProperty>IsConnectionProperty: Seting Completion routine For "
                            "KSPROPERTY_CONNECTION_STATE SET Direction - %x; state (%d)\n",
                            entry->Direction, state);
    if (state != KSSTATE_RUN) {
        ctx->DontCare = 1;
        if (state == KSSTATE_STOP) {
            UpdateOwnedChannelPosition(entry->Channel, entry->Direction, entry->PinFile, 0,
                                       CountUpdate::Set);
            UpdateOwnedChannelTransferCount(entry->Channel, entry->Direction, entry->PinFile, 0,
                                            CountUpdate::Set);
        }
        followed->StateToTell = state;
    }
    Follow(followed, ctx, entry);
    return false;
}

// A position read of a pin that holds a channel: followed, so that the logic
// may change the position the application receives.
bool CGenDisp::FollowPositionRead(const PropertyRequest& request, FollowedProperty* followed,
                                  NTSTATUS*) {
    if (OwnedChannel(request.Entry) == NoChannel) return false;
    Follow(followed, AllocateContext(request.Reply.Irp, IRP_CTX_POSITION), request.Entry);
    return false;
}

// ---------------------------------------------------------------------------
// HandleKSProperty
// ---------------------------------------------------------------------------
const CGenDisp::PropertyRow CGenDisp::kInterceptedProperties[] = {
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, KSPROPERTY_TYPE_GET, sizeof(KSP_PIN),
     sizeof(ULONG), PropertyScope::PinRecord, &CGenDisp::AnswerPinCommunication},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, sizeof(KSP_PIN), 0,
     PropertyScope::PinRecord, &CGenDisp::AnswerPinDataRanges},
    // An intersection carries the application's offered ranges after the KSP_PIN.
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET, sizeof(KSP_PIN) + 1, 0,
     PropertyScope::PinRecord, &CGenDisp::AnswerPinDataIntersection},
    // Every other pin property, and these with too little input, only make the pin's record.
    {&KSPROPSETID_Pin, AnyPropertyId, KSPROPERTY_TYPE_GET, sizeof(KSP_PIN), 0,
     PropertyScope::PinRecord, nullptr},
    // A format shorter than a KSDATAFORMAT is the device's to refuse.
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_SET,
     sizeof(KSPROPERTY), sizeof(KSDATAFORMAT), PropertyScope::OpenPinSet,
     &CGenDisp::FollowConnectionFormat},
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET, sizeof(KSPROPERTY),
     sizeof(ULONG), PropertyScope::OpenPinSet, &CGenDisp::FollowConnectionState},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY),
     sizeof(KSAUDIO_POSITION), PropertyScope::OpenPinRead, &CGenDisp::FollowPositionRead},
};

const CGenDisp::PropertyRow* CGenDisp::InterceptedProperties(ULONG* count) {
    *count = sizeof kInterceptedProperties / sizeof kInterceptedProperties[0];
    return kInterceptedProperties;
}

const CGenDisp::PropertyRow* CGenDisp::FindInterceptedProperty(const KSPROPERTY* property,
                                                               ULONG inLength) {
    if (property == nullptr || inLength < sizeof(KSPROPERTY)) return nullptr;
    for (const PropertyRow& row : kInterceptedProperties) {
        if (IsEqualGUID(property->Set, *row.Set) &&
            (row.Id == AnyPropertyId || row.Id == property->Id) &&
            (property->Flags & row.Kind) != 0 && inLength >= row.MinInput)
            return &row;
    }
    return nullptr;
}

bool CGenDisp::RunInterceptedProperty(const PropertyRow& row, ULONG process,
                                      PropertyRequest* request, FollowedProperty* followed,
                                      NTSTATUS* status) {
    PIRP irp = request->Reply.Irp;
    const bool enough = request->OutLength >= row.MinOutput && row.Handle != nullptr;
    switch (row.Scope) {
        case PropertyScope::PinRecord: {
            LockFilterList();
            request->Reply.Held = ListsHeld::Filter;
            request->PinId = reinterpret_cast<const KSP_PIN*>(request->Property)->PinId;
            FilterEntry* filter = nullptr;
            if (GetFilterFromList(irp, IoGetCurrentIrpStackLocation(irp)->FileObject,
                                  request->PinId, &filter, &request->Record, ListLookup::FindOrAdd,
                                  RequestFile::Own) == 0 ||
                request->Record == nullptr) {
                ThisModule::ModulePrint(1, "HandleKSProperty> GetFilterFromList Failed!!!\n");
            } else if (process != 0 && request->Record->fDontCare == 0 && enough &&
                       (this->*row.Handle)(*request, followed, status)) {
                return true;
            }
            UnlockFilterList();
            return false;
        }
        case PropertyScope::OpenPinSet:
            LockFilterList();
            LockOpenPinList();
            request->Reply.Held = ListsHeld::FilterAndOpenPin;
            if (FindOpenPinForSet(request) && enough &&
                (this->*row.Handle)(*request, followed, status))
                return true;
            UnlockOpenPinList();
            UnlockFilterList();
            return false;
        case PropertyScope::OpenPinRead:
            LockOpenPinList();
            request->Reply.Held = ListsHeld::OpenPin;
            if (FindOpenPinForRead(request) && enough &&
                (this->*row.Handle)(*request, followed, status))
                return true;
            UnlockOpenPinList();
            return false;
    }
    return false;
}

NTSTATUS CGenDisp::HandleKSProperty(PIRP irp, PULONG taken) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG process = 0, size = sizeof process;
    ZvStatus zvStatus = GetSharedVariable(VID_SHARED_PROCESS, &process, &size);
    if (zvStatus != ZV_OK) {
        ThisModule::ModulePrint(1, "HandleKSProperty> GetSharedVariable Failed zvStatus 0x%lx \n",
                                zvStatus);
        process = 0;
    }
    PMDL outMdl = nullptr, inMdl = nullptr;
    // A request whose buffers cannot be mapped goes on to the device, which validates them.
    if (MapPropertyOutput(irp, &outMdl) == 0) return STATUS_SUCCESS;
    if (MapPropertyInput(irp, &inMdl) == 0) {
        UndoPropertyOutput(irp, outMdl, MappingUndo::Release);
        return STATUS_SUCCESS;
    }
    PUCHAR data = static_cast<PUCHAR>(PropertyData(irp));
    if (outLength != 0 && data == nullptr) {
        UndoPropertyInput(irp, inMdl, MappingUndo::Release);
        UndoPropertyOutput(irp, outMdl, MappingUndo::Release);
        return STATUS_SUCCESS;
    }
    auto* property =
        inLength >= sizeof(KSPROPERTY)
            ? static_cast<PKSPROPERTY>(stack->Parameters.DeviceIoControl.Type3InputBuffer)
            : nullptr;

    KsReply reply = {irp, inMdl, outMdl, taken, ListsHeld::None};
    // The filter logic's own sets, on the master stack only.
    ULONG master = 0;
    size = sizeof master;
    // Unreadable, it stays 0: not the master stack.
    (void)GetInstantiatedVariable(this, VID_INST_MASTERSTACK, &master, &size);
    if (property != nullptr && master != 0 && g_FilterLogic->OnKSProperty != nullptr &&
        CKsIrpTarget::IsInterceptedPropertySet(irp) != 0) {
        ULONG byteCount = outLength;
        NTSTATUS status = logic::OnKSProperty(this, property, inLength, data, &byteCount);
        if (status != STATUS_NOT_SUPPORTED) {
            if (byteCount > outLength) byteCount = outLength;
            return CompleteKsIrp(reply, status, byteCount);
        }
    }

    // The framework's own rows: answered here, followed down with a context
    // whose completion tells the logic, or left to the device.
    const PropertyRow* row =
        stack->FileObject != nullptr ? FindInterceptedProperty(property, inLength) : nullptr;
    FollowedProperty followed;
    if (row != nullptr) {
        PropertyRequest request = {reply, property, data, inLength, outLength, 0, nullptr, nullptr};
        NTSTATUS status = STATUS_SUCCESS;
        if (RunInterceptedProperty(*row, process, &request, &followed, &status)) return status;
    }
    IrpContext* ctx = followed.Context;
    const LONG channel = followed.Channel;
    const ULONG direction = followed.Direction;
    const ULONG stateToTell = followed.StateToTell;
    if (ctx == nullptr) {
        UndoPropertyInput(irp, inMdl, MappingUndo::Release);
        UndoPropertyOutput(irp, outMdl, MappingUndo::Release);
        return STATUS_SUCCESS;
    }
    ctx->Channel = channel;
    ctx->Direction = direction;
    ctx->InputMdl = inMdl;
    ctx->OutputMdl = outMdl;
    ctx->ForcePending = 1;
    // Every state but RUN is told before the device sees it (outside the sync-control lock).
    if (stateToTell != ~0u) {
        (void)logic::OnSetStreamState(this, direction, static_cast<KSSTATE>(stateToTell), channel);
    }
    UndoPropertyInput(irp, inMdl, MappingUndo::KeepMdl);
    UndoPropertyOutput(irp, outMdl, MappingUndo::KeepMdl);
    if (ctx->SyncLockHeld != 0) {
        GetSyncControlLock();
        KeSetEvent(&SyncControlHeldByState, IO_NO_INCREMENT, FALSE);
    }
    return PassDownWithContext(irp, ctx, taken);
}

// The PASSIVE_LEVEL part of the property completions.  The callbacks run
// after the open-pin-list mutex is released, with the entry's values copied.
void CGenDisp::PropertyCompletionWork(IrpContext* ctx) {
    PIRP irp = ctx->Irp;
    if (NT_SUCCESS(irp->IoStatus.Status) && ctx->DontCare == 0) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        UndoPropertyOutput(irp, ctx->OutputMdl, MappingUndo::Reread);
        PUCHAR data = static_cast<PUCHAR>(PropertyData(irp));
        ULONG found = 0, direction = 0;
        LONG channel = NoChannel;
        ChannelFormat format = {};
        LockOpenPinList();
        OpenPinEntry* entry = nullptr;
        if (GetOpenPinFromList(irp, stack->FileObject, nullptr, 0, &entry, ListLookup::Find) == 0) {
            ThisModule::ModulePrint(1, "GetOpenPinFromList Failed!!!\n");
        } else {
            direction = entry->Direction;
            channel = OwnedChannel(entry);
            // A pin that lost its channel since the request went down is not followed further.
            found = channel != NoChannel ? 1 : 0;
            if (ctx->Kind == IRP_CTX_DATAFORMAT && data != nullptr) {
                // The application's buffer is read again: its size is checked again.
                ULONG formatSize = ZvFormatSize(data);
                if (formatSize < ZV_FMT_SIZE_WAVE || formatSize > outLength) {
                    found = 0;
                } else {
                    // The logic hears the format the device now runs, whatever
                    // becomes of the copy.
                    FormatToChannelFormat(data, formatSize, &format);
                    // The stream paths divide by the block: a format without
                    // one, or one that cannot be kept, leaves a pin the stream
                    // paths can no longer follow.
                    PUCHAR copy = ZvReadU16(data, ZV_FMT_OFF_BLOCKALIGN) != 0
                                      ? static_cast<PUCHAR>(MemAlloc(formatSize))
                                      : nullptr;
                    if (copy != nullptr) {
                        std::memcpy(copy, data, formatSize);
                        MemFree(entry->Format);
                        entry->Format = copy;
                    } else {
                        ThisModule::ModulePrint(
                            3, "PropertyCompletionWork> format not kept; pin no longer followed\n");
                        entry->Active = 0;
                    }
                }
            }
        }
        UnlockOpenPinList();
        if (found != 0 && data != nullptr) {
            if (ctx->Kind == IRP_CTX_DATAFORMAT) {
                ThisModule::ModulePrint(1, "KSPROPERTY_CONNECTION_DATAFORMAT Set SUCCESS!!!\n");
                (void)logic::OnSetFormat(this, direction, &format, channel);
            } else if (ctx->Kind == IRP_CTX_STATE) {
                ThisModule::ModulePrint(1, "KSPROPERTY_CONNECTION_STATE Set SUCCESS!!!\n");
                {
                    (void)logic::OnSetStreamState(this, direction, static_cast<KSSTATE>(ctx->State),
                                                  channel);
                }
            } else if (ctx->Kind == IRP_CTX_POSITION) {
                (void)logic::OnGetAudioPosition(this, direction,
                                                reinterpret_cast<PKSAUDIO_POSITION>(data), channel);
            }
        }
    }
    if (ctx->SyncLockHeld != 0) {
        ctx->SyncLockHeld = 0;
        KeClearEvent(&SyncControlHeldByState);
        ReleaseSyncControlLock();
    }
}
