// The interceptor's lists: open filters with their pin records (each pin's
// data ranges negotiated with the device as it is first seen), open pins, and
// their removal.  The filter-list mutex guards the first, the open-pin-list
// mutex the second; callers hold them.
#include "CGenDisp.h"

#include <cstring>

#include "LogicCalls.h"
#include "MemAlloc.h"
#include "OSDep.h"
#include "ZDebug.h"
#include "ZvKAPFWi.h"

namespace {
using ThisModule = LogModule<LogModuleGenDisp>;

void FreeFormats(PinRecord* record) {
    MemFree(record->RangeList);
    MemFree(record->DefaultFormat);
    MemFree(record->ChosenFormat);
    record->RangeList = nullptr;
    record->DefaultFormat = nullptr;
    record->ChosenFormat = nullptr;
    record->RangeListSize = 0;
}

PUCHAR CopyBytes(const void* source, ULONG size) {
    PUCHAR copy = static_cast<PUCHAR>(MemAlloc(size));
    if (copy != nullptr) std::memcpy(copy, source, size);
    return copy;
}
}  // namespace

// ---------------------------------------------------------------------------
// Lists
// ---------------------------------------------------------------------------
ULONG CGenDisp::GetFilterFromList(PIRP irp, PFILE_OBJECT filterFile, ULONG pinId,
                                  FilterEntry** filterOut, PinRecord** pinOut, ListLookup add,
                                  RequestFile useRelated) {
    *filterOut = nullptr;
    *pinOut = nullptr;
    if (filterFile == nullptr) return 0;
    FilterEntry* filter = nullptr;
    for (PLIST_ENTRY link = m_filterList.Flink; link != &m_filterList; link = link->Flink) {
        FilterEntry* candidate = CONTAINING_RECORD(link, FilterEntry, Links);
        if (candidate->FilterFile == filterFile) {
            filter = candidate;
            break;
        }
    }
    if (filter == nullptr && add != ListLookup::Find) {
        filter = static_cast<FilterEntry*>(MemAlloc(sizeof(FilterEntry)));
        if (filter != nullptr) {
            std::memset(filter, 0, sizeof *filter);
            filter->FilterFile = filterFile;
            InitializeListHead(&filter->Pins);
            InterlockedIncrement(&m_filterCount);
            ThisModule::ModulePrint(1, "Adding Filter in the List FilterCount-%d FileObject-%x\n",
                                    FilterCount(), Low32(filterFile));
            InsertHeadList(&m_filterList, &filter->Links);
        }
    }
    if (filter == nullptr) return 0;
    *filterOut = filter;
    return GetPinFromList(irp, filterFile, pinId, filter, pinOut, add, useRelated);
}

ULONG CGenDisp::IsAcceptedPinCategory(PIRP, ULONG, PinRecord* record) {
    const PinCategoryTable* table = record->DataFlow == KSPIN_DATAFLOW_IN    ? &RenderPinCategories
                                    : record->DataFlow == KSPIN_DATAFLOW_OUT ? &CapturePinCategories
                                                                             : nullptr;
    if (table == nullptr) return 1;
    if (record->Communication != KSPIN_COMMUNICATION_SINK &&
        record->Communication != KSPIN_COMMUNICATION_BOTH)
        return 1;
    for (ULONG i = 0; i < table->Count; ++i) {
        if (IsEqualGUID(record->Category, table->Categories[i])) return 0;
    }
    return 1;
}

void CGenDisp::SetDefaultFormat(PinRecord* record, PUCHAR format, ULONG formatSize,
                                const UCHAR* firstRange) {
    ZvWriteU32(format, 0, formatSize);
    record->DefaultFormat = format;
    ULONG maxChannels = ZvReadU32(firstRange, 64);
    ULONG maxBits = ZvReadU32(firstRange, 72);
    ULONG maxRate = ZvReadU32(firstRange, 80);
    if (formatSize >= ZV_FMT_OFF_CBSIZE) {
        if (formatSize < ZV_FMT_SIZE_WAVE) ZvWriteU16(format, ZV_FMT_OFF_TAG, WAVE_FORMAT_PCM);
        ULONG channels = ZvReadU16(format, ZV_FMT_OFF_CHANNELS);
        bool lowered = channels > maxChannels;
        if (lowered) channels = maxChannels;
        record->ChannelLimit = maxChannels;
        ZvWriteU32(format, ZV_FMT_OFF_RATE, maxRate);
        ZvWriteU16(format, ZV_FMT_OFF_BITS, static_cast<USHORT>(maxBits));
        ZvWriteU16(format, ZV_FMT_OFF_CHANNELS, static_cast<USHORT>(channels));
        if (formatSize >= ZV_FMT_SIZE_WAVE &&
            ZvReadU16(format, ZV_FMT_OFF_TAG) == WAVE_FORMAT_EXTENSIBLE) {
            if (formatSize >= ZV_FMT_SIZE_VALIDBITS)
                ZvWriteU16(format, ZV_FMT_OFF_VALIDBITS, static_cast<USHORT>(maxBits));
            if (lowered && formatSize >= ZV_FMT_SIZE_MASK) {
                ZvWriteU32(format, ZV_FMT_OFF_MASK,
                           FittedChannelMask(channels, ZvReadU32(format, ZV_FMT_OFF_MASK)));
            }
        }
        USHORT blockAlign = static_cast<USHORT>(maxBits * channels / 8);
        ZvWriteU16(format, ZV_FMT_OFF_BLOCKALIGN, blockAlign);
        ZvWriteU32(format, ZV_FMT_OFF_AVGBYTES, blockAlign * maxRate);
    }
    ThisModule::ModulePrint(
        1, "GetPinFromList> -----------------Pin Default Format-----------------\n");
    DisplayDataFormat(format, formatSize);
    ThisModule::ModulePrint(1,
                            "GetPinFromList> --------------------------------------------------\n");
}

ULONG CGenDisp::FallbackDefaultFormat(PinRecord* record, const UCHAR* firstRange) {
    PUCHAR format = static_cast<PUCHAR>(MemAlloc(ZV_FMT_SIZE_WAVE));
    if (format == nullptr) return 0;
    std::memset(format, 0, ZV_FMT_SIZE_WAVE);
    ZvWriteU32(format, 0, ZV_FMT_SIZE_WAVE);
    std::memcpy(format + 16, &KSDATAFORMAT_TYPE_AUDIO, sizeof(GUID));
    std::memcpy(format + 32, &KSDATAFORMAT_SUBTYPE_PCM, sizeof(GUID));
    std::memcpy(format + 48, &KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, sizeof(GUID));
    ZvWriteU16(format, ZV_FMT_OFF_TAG, WAVE_FORMAT_PCM);
    ULONG channels = ZvReadU32(firstRange, 64), bits = ZvReadU32(firstRange, 72),
          rate = ZvReadU32(firstRange, 80);
    ZvWriteU16(format, ZV_FMT_OFF_CHANNELS, static_cast<USHORT>(channels));
    ZvWriteU32(format, ZV_FMT_OFF_RATE, rate);
    ZvWriteU16(format, ZV_FMT_OFF_BITS, static_cast<USHORT>(bits));
    USHORT blockAlign = static_cast<USHORT>(bits * channels / 8);
    ZvWriteU16(format, ZV_FMT_OFF_BLOCKALIGN, blockAlign);
    ZvWriteU32(format, ZV_FMT_OFF_AVGBYTES, blockAlign * rate);
    record->DefaultFormat = format;
    // Without a limit every format would be refused for too many channels.
    record->ChannelLimit = channels;
    ThisModule::ModulePrint(
        1, "GetPinFromList> -----------------Pin Default Format-----------------\n");
    DisplayDataFormat(format, ZV_FMT_SIZE_WAVE);
    ThisModule::ModulePrint(1,
                            "GetPinFromList> --------------------------------------------------\n");
    return 1;
}

ULONG CGenDisp::GetPinFromList(PIRP irp, PFILE_OBJECT filterFile, ULONG pinId, FilterEntry* filter,
                               PinRecord** pinOut, ListLookup add, RequestFile useRelated) {
    *pinOut = nullptr;
    for (PLIST_ENTRY link = filter->Pins.Flink; link != &filter->Pins; link = link->Flink) {
        PinRecord* candidate = CONTAINING_RECORD(link, PinRecord, Links);
        if (candidate->PinId == pinId) {
            *pinOut = candidate;
            return 1;
        }
    }
    if (add == ListLookup::Find) return 0;
    ULONG bwLimit = RangeBandwidthLimit();
    PinRecord* record = AddPinRecord(filterFile, pinId, filter);
    if (record == nullptr) return 0;
    *pinOut = record;

    if (GetPinDescription(irp, pinId, &record->Category, &record->DataFlow, &record->Communication,
                          useRelated) == 0) {
        return 0;
    }
    if (IsAcceptedPinCategory(irp, pinId, record) != 0) {
        ThisModule::ModulePrint(1, "\tNot an I/O Pin bail out!!!\n");
        return 1;
    }
    record->fDontCare = 0;
    record->Communication = KSPIN_COMMUNICATION_SINK;
    return NegotiateDataRanges(irp, pinId, record, bwLimit, useRelated);
}

ULONG CGenDisp::RangeBandwidthLimit() {
    ULONG process = 0, bwLimit = 0, size = sizeof process;
    ZvStatus zvStatus = GetSharedVariable(VID_SHARED_PROCESS, &process, &size);
    if (zvStatus != ZV_OK) {
        ThisModule::ModulePrint(
            1, "GetPinFromList> GetSharedVariable(VID_SHARED_PROCESS) Failed zvStatus 0x%lx \n",
            zvStatus);
        process = 0;
    }
    if (process != 0) {
        size = sizeof bwLimit;
        zvStatus = GetSharedVariable(VID_SHARED_BWLIMIT, &bwLimit, &size);
        if (zvStatus != ZV_OK) {
            ThisModule::ModulePrint(
                1, "GetPinFromList> GetSharedVariable(VID_SHARED_BWLIMIT) Failed zvStatus 0x%lx \n",
                zvStatus);
            bwLimit = 0;
        }
    }
    return bwLimit;
}

PinRecord* CGenDisp::AddPinRecord(PFILE_OBJECT filterFile, ULONG pinId, FilterEntry* filter) {
    auto* record = static_cast<PinRecord*>(MemAlloc(sizeof(PinRecord)));
    if (record == nullptr) return nullptr;
    std::memset(record, 0, sizeof *record);
    record->PinId = pinId;
    record->FilterFile = filterFile;
    record->fDontCare = 1;
    record->Reserved1 = 1;
    filter->PinCount += 1;
    ThisModule::ModulePrint(
        1, "Adding Pin in the FilterList FilterCount-%d PinCount-%d FileObject-%x\n", FilterCount(),
        filter->PinCount, Low32(filterFile));
    InsertHeadList(&filter->Pins, &record->Links);
    return record;
}

ULONG CGenDisp::NegotiateDataRanges(PIRP irp, ULONG pinId, PinRecord* record, ULONG bwLimit,
                                    RequestFile useRelated) {
    KSP_PIN kspPin = {
        {KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET}, pinId, 0};
    const ULONG levels = RangePreferencesFor(record->DataFlow)->Count;
    ULONG level = 0, found = 0, size = 0;
    PUCHAR buffer = nullptr;
    PUCHAR format = nullptr;
    // A device that cannot be asked leaves the loop at once.
    NTSTATUS status = GetSupportedDataRangeSize(irp, pinId, record->DataFlow, &size, bwLimit,
                                                &level, &found, useRelated);
    while (NT_SUCCESS(status)) {
        if (found == 0) {
            ThisModule::ModulePrint(1,
                                    "\tNo AudioData Range available for this pin (May be MIDI)\n");
            record->fDontCare = 1;
            return 1;
        }
        if (size <= sizeof(KSMULTIPLE_ITEM)) {
            ThisModule::ModulePrint(
                1, size == 0 ? "\tNot an I/O Pin (should have caught earlier)bail out!!!\n"
                             : "\tNo DataRange Matches our Need!!!\n");
            record->fNotUsed = 1;
            return 1;
        }
        buffer = static_cast<PUCHAR>(MemAlloc(size + sizeof(KSP_PIN)));
        if (buffer == nullptr) break;
        std::memset(buffer, 0, size + sizeof(KSP_PIN));
        PUCHAR list = buffer + sizeof(KSP_PIN);
        status = GetSupportedDataRange(irp, pinId, record->DataFlow, list, size, bwLimit, level,
                                       useRelated);
        if (!NT_SUCCESS(status) || ZvReadU32(list, 4) == 0) {
            ThisModule::ModulePrint(1, "\tGetSupportedDataRange Failed Status-%x!!!\n", status);
            break;
        }
        // The first rewritten range, kept aside: the verified list may end up empty.
        UCHAR firstRange[ZV_RANGE_SIZE_AUDIO];
        std::memcpy(firstRange, list + sizeof(KSMULTIPLE_ITEM), sizeof firstRange);
        ULONG formatSize = 0;
        status = VerifyAndUpdateSupportedDataRanges(irp, buffer, size, record, &kspPin, &format,
                                                    &formatSize, useRelated);
        if (NT_SUCCESS(status) && formatSize >= ZV_FMT_SIZE_WAVE && record->RangeList != nullptr &&
            ZvReadU16(format, ZV_FMT_OFF_CHANNELS) >
                ZvReadU32(record->RangeList, sizeof(KSMULTIPLE_ITEM) + 64)) {
            status = STATUS_NO_MATCH;
        }
        if (status == STATUS_NO_MATCH && level + 1 < levels) {
            // The next preference level: nothing of this one is kept.
            ThisModule::ModulePrint(1, "\tGetDataFormat For supported Range Failed Status-%x!!!\n",
                                    status);
            MemFree(buffer);
            buffer = nullptr;
            MemFree(format);
            format = nullptr;
            FreeFormats(record);
            level += 1;
            status = GetSupportedDataRangeSize(irp, pinId, record->DataFlow, &size, bwLimit, &level,
                                               &found, useRelated);
            continue;
        }
        // Nothing verified at the last level: the (empty) verified list stays, so
        // that applications are never offered a range the device refuses.
        ULONG done;
        if (NT_SUCCESS(status) && formatSize >= ZV_FMT_SIZE_HEADER) {
            SetDefaultFormat(record, format, formatSize,
                             record->RangeList != nullptr
                                 ? record->RangeList + sizeof(KSMULTIPLE_ITEM)
                                 : firstRange);
            format = nullptr;
            done = 1;
        } else {
            ThisModule::ModulePrint(1,
                                    "GetPinFromList> Could not GetDataFormat For supported Range "
                                    "(All Failed!!!) status - 0x%x\n",
                                    status);
            done = FallbackDefaultFormat(record, firstRange);
        }
        MemFree(format);
        format = nullptr;
        MemFree(buffer);
        buffer = nullptr;
        if (done != 0 && record->RangeList != nullptr) return 1;
        break;
    }
    // The one failure exit: the pin is left alone, nothing of its negotiation kept.
    MemFree(format);
    MemFree(buffer);
    FreeFormats(record);
    record->fDontCare = 1;
    return 0;
}

ULONG CGenDisp::GetOpenPinFromList(PIRP, PFILE_OBJECT pinFile, const void* dataFormat, ULONG pinId,
                                   OpenPinEntry** out, ListLookup add) {
    *out = nullptr;
    for (PLIST_ENTRY link = m_openPinList.Flink; link != &m_openPinList; link = link->Flink) {
        OpenPinEntry* entry = CONTAINING_RECORD(link, OpenPinEntry, Links);
        if (entry->PinFile == pinFile) {
            *out = entry;
            return 1;
        }
    }
    if (add == ListLookup::Find || pinFile == nullptr || dataFormat == nullptr) return 0;
    auto* entry = static_cast<OpenPinEntry*>(MemAlloc(sizeof(OpenPinEntry)));
    if (entry == nullptr) return 0;
    std::memset(entry, 0, sizeof *entry);
    entry->Format = CopyBytes(dataFormat, ZvFormatSize(dataFormat));
    if (entry->Format == nullptr) {
        MemFree(entry);
        return 0;
    }
    entry->PinFile = pinFile;
    entry->RFO = pinFile->RelatedFileObject;
    entry->PinId = pinId;
    entry->Channel = NoChannel;
    InterlockedIncrement(&m_openPinCount);
    ThisModule::ModulePrint(1, "Adding Pin in the OpenPin List OpenPinCount-%d FO-%x RFO-%x\n",
                            OpenPinCount(), Low32(pinFile), Low32(entry->RFO));
    InsertHeadList(&m_openPinList, &entry->Links);
    *out = entry;
    return 1;
}

ULONG CGenDisp::FindOpenPinByFilter(PIRP, PFILE_OBJECT filterFile, OpenPinEntry** out) {
    *out = nullptr;
    for (PLIST_ENTRY link = m_openPinList.Flink; link != &m_openPinList; link = link->Flink) {
        OpenPinEntry* entry = CONTAINING_RECORD(link, OpenPinEntry, Links);
        if (entry->RFO == filterFile) {
            *out = entry;
            return 1;
        }
    }
    return 0;
}

LONG OwnedChannel(OpenPinEntry* entry) {
    if (entry->Channel != NoChannel &&
        IsChannelOwner(entry->Channel, entry->Direction, entry->PinFile) == 0) {
        ThisModule::ModulePrint(3, "OwnedChannel> FO-%x lost channel %d\n", Low32(entry->PinFile),
                                entry->Channel);
        entry->Channel = NoChannel;
    }
    return entry->Channel;
}

// ---------------------------------------------------------------------------
// Removal from the lists
// ---------------------------------------------------------------------------
namespace {
void CloseEntry(CGenDisp* genDisp, OpenPinEntry* entry) {
    if (OwnedChannel(entry) != NoChannel && entry->Active != 0 &&
        g_FilterLogic->OnClose != nullptr) {
        (void)logic::OnClose(genDisp, entry->Direction, entry->Channel);
    }
    MemFree(entry->Format);
    RemoveEntryList(&entry->Links);
    MemFree(entry);
}

PFILE_OBJECT KeyOf(PIRP irp, RequestFile useRelated) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file != nullptr && useRelated != RequestFile::Own) file = file->RelatedFileObject;
    return file;
}
}  // namespace

ULONG CGenDisp::RemoveOpenPin(PIRP irp, RequestFile useRelated) {
    PFILE_OBJECT key = KeyOf(irp, useRelated);
    if (key == nullptr) return 0;
    OpenPinEntry* entry = nullptr;
    if (GetOpenPinFromList(irp, key, nullptr, 0, &entry, ListLookup::Find) == 0) return 0;
    InterlockedDecrement(&m_openPinCount);
    ThisModule::ModulePrint(1, "Removing Pin from the OpenPin List OpenPinCount-%d FO-%x RFO-%x\n",
                            OpenPinCount(), Low32(entry->PinFile), Low32(entry->RFO));
    CloseEntry(this, entry);
    return 1;
}

ULONG CGenDisp::RemoveFilter(PIRP irp, RequestFile useRelated) {
    PFILE_OBJECT key = KeyOf(irp, useRelated);
    if (key == nullptr) return 0;
    ULONG removed = 0;
    for (PLIST_ENTRY link = m_filterList.Flink; link != &m_filterList; link = link->Flink) {
        FilterEntry* filter = CONTAINING_RECORD(link, FilterEntry, Links);
        if (filter->FilterFile != key) continue;
        // Every open pin of the filter forgets it, not just the first.
        OpenPinEntry* entry = nullptr;
        while (FindOpenPinByFilter(irp, key, &entry) != 0) {
            ThisModule::ModulePrint(
                1, "Removing a Filter which has open pin's !!!! FO-%x(seting RFO to NULL)\n",
                Low32(entry->PinFile));
            entry->RFO = nullptr;
        }
        RemovePinsFromFilter(filter);
        InterlockedDecrement(&m_filterCount);
        ThisModule::ModulePrint(1, "Removing Filter from the List FilterCount-%d FileObject-%x\n",
                                FilterCount(), Low32(key));
        RemoveEntryList(&filter->Links);
        MemFree(filter);
        removed = 1;
        break;
    }
    RemoveOpenPin(irp, RequestFile::Own);
    return removed;
}

ULONG CGenDisp::RemovePinsFromFilter(FilterEntry* filter) {
    while (!IsListEmpty(&filter->Pins)) {
        PinRecord* record = CONTAINING_RECORD(filter->Pins.Flink, PinRecord, Links);
        FreeFormats(record);
        filter->PinCount -= 1;
        ThisModule::ModulePrint(
            1, "Removing Pin From the FilterList FilterCount-%d PinCount-%d FileObject-%x\n",
            FilterCount(), filter->PinCount, Low32(filter->FilterFile));
        RemoveEntryList(&record->Links);
        MemFree(record);
    }
    return 1;
}

void CGenDisp::DeInitFilterAndOpenPinList() {
    if (IsListEmpty(&m_filterList))
        ThisModule::ModulePrint(1, "DeInitFilterAndOpenPinList>> Filter list is Empty\n");
    while (!IsListEmpty(&m_filterList)) {
        FilterEntry* filter = CONTAINING_RECORD(m_filterList.Flink, FilterEntry, Links);
        InterlockedDecrement(&m_filterCount);
        ThisModule::ModulePrint(1,
                                "DeInitFilterAndOpenPinList>> Removing Filter from the List "
                                "FilterCount-%d FileObject-%x\n",
                                FilterCount(), Low32(filter->FilterFile));
        ThisModule::ModulePrint(
            1, "DeInitFilterAndOpenPinList>> Removing Following Pins from the filter list\n");
        RemovePinsFromFilter(filter);
        RemoveEntryList(&filter->Links);
        MemFree(filter);
    }
    if (IsListEmpty(&m_openPinList)) {
        ThisModule::ModulePrint(1, "DeInitFilterAndOpenPinList>> OpenPin list is Empty\n");
        return;
    }
    ThisModule::ModulePrint(
        1, "DeInitFilterAndOpenPinList>> Removing Following Pins from the OpenPin list\n");
    while (!IsListEmpty(&m_openPinList)) {
        OpenPinEntry* entry = CONTAINING_RECORD(m_openPinList.Flink, OpenPinEntry, Links);
        InterlockedDecrement(&m_openPinCount);
        ThisModule::ModulePrint(1,
                                "DeInitFilterAndOpenPinList>> Removing Pin from the OpenPin List "
                                "OpenPinCount-%d FO-%x RFO-%x\n",
                                OpenPinCount(), Low32(entry->PinFile), Low32(entry->RFO));
        CloseEntry(this, entry);
    }
}
