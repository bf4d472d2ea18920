// Channel table, shared and instantiated variables, and the helpers the filter
// logics call.
#include "ZvKAPFWi.h"

#include "ZvKAPFWiTables.h"

#include "CGenDisp.h"
#include "DSDisblr.h"
#include "DrvMain.h"
#include "LogicCalls.h"
#include "MemAlloc.h"
#include "ZDebug.h"

namespace {
using ThisModule = LogModule<LogModuleZvKAPFWi>;

ULONG SharedValues[4];
// Serialises the compare, store and side effects of the DirectSound-related
// variables (ids 1 and 2), so that disables and enables reach the devices in
// the order they were stored.  Recursive: the logic's OnSharedVariableChange
// of id 2 stores id 1 on the same thread.
KMUTEX SharedSideEffectMutex;

bool ChannelArgsValid(LONG channel, ULONG direction) {
    return channel >= 0 && channel < ZV_CHANNEL_COUNT &&
           (direction == CHANNEL_RENDER || direction == CHANNEL_CAPTURE);
}

ChannelRecord* Record(LONG channel, ULONG direction) {
    return &ChannelTable[channel + (direction == CHANNEL_CAPTURE ? ZV_CHANNEL_COUNT : 0)];
}

// Runs body on the record under the channel lock; ZV_NOT_READY with the
// message when requireAcquired and the channel is free.
template <class Body>
ZvStatus WithChannel(LONG channel, ULONG direction, bool requireAcquired, PCSTR notAcquiredText,
                     Body body) {
    if (!ChannelArgsValid(channel, direction)) return ZV_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&ChannelTableLock, &irql);
    ChannelRecord* record = Record(channel, direction);
    ZvStatus status = ZV_OK;
    if (requireAcquired && record->Acquired == 0) {
        status = ZV_NOT_READY;
    } else {
        body(record);
    }
    KeReleaseSpinLock(&ChannelTableLock, irql);
    if (status == ZV_NOT_READY) ThisModule::ModulePrint(1, notAcquiredText);
    return status;
}

FilterDeviceExtension* ExtensionOf(CGenDisp* genDisp) {
    return genDisp->Fdo() != nullptr ? FilterExtension(genDisp->Fdo()) : nullptr;
}

VariableEntry* InstTable(FilterDeviceExtension* ext) {
    return reinterpret_cast<VariableEntry*>(&ext->InstPinDirsPtr);
}
static_assert(offsetof(FilterDeviceExtension, InstMasterStackPtr) -
                      offsetof(FilterDeviceExtension, InstPinDirsPtr) ==
                  sizeof(VariableEntry),
              "the instantiated variables form a {pointer, size} table");
}  // namespace

ChannelRecord ChannelTable[2 * ZV_CHANNEL_COUNT];
KSPIN_LOCK ChannelTableLock;
VariableEntry SharedVariableTable[4];
KSPIN_LOCK SharedVariableLock;

void InitializeChannelAndVariableTables() {
    KeInitializeSpinLock(&ChannelTableLock);
    KeInitializeSpinLock(&SharedVariableLock);
    KeInitializeMutex(&SharedSideEffectMutex, 0);
    RtlZeroMemory(ChannelTable, sizeof ChannelTable);
    for (ULONG i = 0; i < 4; ++i) {
        SharedValues[i] = 0;
        SharedVariableTable[i].Value = &SharedValues[i];
        SharedVariableTable[i].Size = sizeof(ULONG);
    }
}

ZvStatus StoreVariable(PVOID source, ULONG sourceSize, VariableEntry* table, ULONG index) {
    if (sourceSize < table[index].Size) return ZV_BUFFER_TOO_SMALL;
    RtlCopyMemory(table[index].Value, source, table[index].Size);
    return ZV_OK;
}

ZvStatus LoadVariable(PVOID destination, PULONG size, VariableEntry* table, ULONG index) {
    if (*size < table[index].Size) return ZV_BUFFER_TOO_SMALL;
    RtlCopyMemory(destination, table[index].Value, table[index].Size);
    *size = table[index].Size;
    return ZV_OK;
}

// ---------------------------------------------------------------------------
// Channel services
// ---------------------------------------------------------------------------
ZvStatus GetChannelFormat(LONG channel, ULONG direction, ChannelFormat* format) {
    if (format == nullptr) return ZV_INVALID_PARAMETER;
    return WithChannel(channel, direction, true, "GetChannelFormat> Channel NOT Acquired!!!\n",
                       [&](ChannelRecord* r) { *format = r->Format; });
}

ZvStatus SetChannelFormat(LONG channel, ULONG direction, const ChannelFormat* format) {
    if (format == nullptr) return ZV_INVALID_PARAMETER;
    return WithChannel(channel, direction, true, "SetChannelFormat> Channel NOT Acquired!!!\n",
                       [&](ChannelRecord* r) { r->Format = *format; });
}

ZvStatus AcquireChannel(LONG channel, ULONG direction, PDEVICE_OBJECT lower, PFILE_OBJECT pinFile,
                        PDEVICE_OBJECT fdo) {
    if (!ChannelArgsValid(channel, direction)) return ZV_INVALID_PARAMETER;
    ZvStatus status = ZV_OK;
    KIRQL irql;
    KeAcquireSpinLock(&ChannelTableLock, &irql);
    ChannelRecord* record = Record(channel, direction);
    if (record->Acquired != 0) {
        status = ZV_FAILED;
    } else {
        // Late completions of the previous owner may have counted into the
        // free record: a new owner starts from zero.
        RtlZeroMemory(record, sizeof *record);
        record->Lower = lower;
        record->PinFile = pinFile;
        record->Fdo = fdo;
        record->Acquired = 1;
    }
    KeReleaseSpinLock(&ChannelTableLock, irql);
    if (status != ZV_OK)
        ThisModule::ModulePrint(1, "AcquireChannel> Channel already Acquired!!!\n");
    return status;
}

ZvStatus ReleaseChannel(LONG channel, ULONG direction) {
    if (!ChannelArgsValid(channel, direction)) return ZV_INVALID_PARAMETER;
    ZvStatus status = ZV_OK;
    KIRQL irql;
    KeAcquireSpinLock(&ChannelTableLock, &irql);
    ChannelRecord* record = Record(channel, direction);
    if (record->Acquired == 0) {
        status = ZV_FAILED;
    } else {
        RtlZeroMemory(record, sizeof *record);
    }
    KeReleaseSpinLock(&ChannelTableLock, irql);
    if (status != ZV_OK) ThisModule::ModulePrint(1, "ReleaseChannel> Channel not Acquired!!!\n");
    return status;
}

ZvStatus GetChannelInfo(LONG channel, ULONG direction, PDEVICE_OBJECT* lower, PFILE_OBJECT* pinFile,
                        PULONGLONG count, PDEVICE_OBJECT* fdo) {
    return WithChannel(channel, direction, true, "GetChannelInfo> Channel NOT Acquired!!!\n",
                       [&](ChannelRecord* r) {
                           if (lower != nullptr) *lower = r->Lower;
                           if (pinFile != nullptr) *pinFile = r->PinFile;
                           if (count != nullptr)
                               *count =
                                   direction == CHANNEL_RENDER ? r->Position : r->CompletedCount;
                           if (fdo != nullptr) *fdo = r->Fdo;
                       });
}

ZvStatus GetRequiredFunctionFormat(LONG channel, ULONG direction, ChannelFormat* format) {
    return logic::OnGetRequiredFunctionFormat(channel, direction, format);
}

ZvStatus GetChannelState(LONG channel, ULONG direction, PULONG state) {
    if (state == nullptr) return ZV_INVALID_PARAMETER;
    return WithChannel(channel, direction, true, "GetChannelState> Channel NOT Acquired!!!\n",
                       [&](ChannelRecord* r) { *state = r->State; });
}

ZvStatus SetChannelState(LONG channel, ULONG direction, ULONG state) {
    if (!ChannelArgsValid(channel, direction) || state < CHANNEL_STATE_STOPPED ||
        state > CHANNEL_STATE_RUNNING)
        return ZV_INVALID_PARAMETER;
    ZvStatus status =
        WithChannel(channel, direction, true, "SetChannelState> Channel NOT Acquired!!!\n",
                    [&](ChannelRecord* r) { r->State = state; });
    if (status == ZV_OK) {
        (void)logic::OnSetChannelState(channel, direction, state);
    }
    return status;
}

ZvStatus GetChannelPosition(LONG channel, ULONG direction, PULONGLONG position) {
    return WithChannel(channel, direction, false, nullptr, [&](ChannelRecord* r) {
        if (position != nullptr) *position = r->Position;
    });
}

ZvStatus UpdateChannelPosition(LONG channel, ULONG direction, ULONGLONG frames, CountUpdate set) {
    return WithChannel(channel, direction, false, nullptr, [&](ChannelRecord* r) {
        r->Position = set != CountUpdate::Add ? frames : r->Position + frames;
    });
}

ZvStatus UpdateChannelTransferCount(LONG channel, ULONG direction, ULONGLONG frames,
                                    CountUpdate set) {
    return WithChannel(channel, direction, false, nullptr, [&](ChannelRecord* r) {
        r->CompletedCount = set != CountUpdate::Add ? frames : r->CompletedCount + frames;
    });
}

ULONG IsChannelOwner(LONG channel, ULONG direction, PFILE_OBJECT pinFile) {
    ULONG owner = 0;
    WithChannel(channel, direction, false, nullptr, [&](ChannelRecord* r) {
        owner = r->Acquired != 0 && r->PinFile == pinFile ? 1 : 0;
    });
    return owner;
}

namespace {
// Runs body on the record when pinFile owns it, in one hold of the channel lock.
template <class Body>
ZvStatus WithOwnedChannel(LONG channel, ULONG direction, PFILE_OBJECT pinFile, Body body) {
    if (!ChannelArgsValid(channel, direction)) return ZV_INVALID_PARAMETER;
    ZvStatus status = ZV_NOT_READY;
    WithChannel(channel, direction, false, nullptr, [&](ChannelRecord* r) {
        if (r->Acquired == 0 || r->PinFile != pinFile) return;
        body(r);
        status = ZV_OK;
    });
    return status;
}
}  // namespace

ZvStatus UpdateOwnedChannelPosition(LONG channel, ULONG direction, PFILE_OBJECT pinFile,
                                    ULONGLONG frames, CountUpdate set) {
    return WithOwnedChannel(channel, direction, pinFile, [&](ChannelRecord* r) {
        r->Position = set != CountUpdate::Add ? frames : r->Position + frames;
    });
}

ZvStatus UpdateOwnedChannelTransferCount(LONG channel, ULONG direction, PFILE_OBJECT pinFile,
                                         ULONGLONG frames, CountUpdate set) {
    return WithOwnedChannel(channel, direction, pinFile, [&](ChannelRecord* r) {
        r->CompletedCount = set != CountUpdate::Add ? frames : r->CompletedCount + frames;
    });
}

// ---------------------------------------------------------------------------
// Variables
// ---------------------------------------------------------------------------
ZvStatus GetSharedVariable(ULONG id, PVOID value, PULONG size) {
    if (value == nullptr || size == nullptr || *size == 0 || id == 0 || id > 4)
        return ZV_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&SharedVariableLock, &irql);
    ZvStatus status = LoadVariable(value, size, SharedVariableTable, id - 1);
    KeReleaseSpinLock(&SharedVariableLock, irql);
    return status;
}

ULONG ReadSharedValue(ULONG id) {
    ULONG value = 0;
    ULONG size = sizeof value;
    if (GetSharedVariable(id, &value, &size) != ZV_OK) return 0;
    return value;
}

ZvStatus SetSharedVariable(ULONG id, PVOID value, ULONG size) {
    if (value == nullptr || size < sizeof(ULONG)) return ZV_BUFFER_TOO_SMALL;
    if (id == 0 || id > 4) return ZV_INVALID_PARAMETER;
    ULONG newValue;
    RtlCopyMemory(&newValue, value, sizeof newValue);
    const bool onOff = id == VID_SHARED_DSDISABLE || id == VID_SHARED_PROCESS;
    if (onOff) KeWaitForSingleObject(&SharedSideEffectMutex, Executive, KernelMode, FALSE, nullptr);

    // The test and the store are one hold of the lock: of two racing callers
    // only one changes the value, and only that one runs the side effects.
    ZvStatus status = ZV_OK;
    bool changed = true;
    KIRQL irql;
    KeAcquireSpinLock(&SharedVariableLock, &irql);
    if (onOff) {
        ULONG current = *static_cast<PULONG>(SharedVariableTable[id - 1].Value);
        changed = !(newValue == current || (newValue != 0 && current != 0));
    }
    if (changed) status = StoreVariable(value, size, SharedVariableTable, id - 1);
    KeReleaseSpinLock(&SharedVariableLock, irql);

    if (changed) {
        if (id == VID_SHARED_DSDISABLE) ApplyDsDisableToAllDevices(newValue);
        if (id == VID_SHARED_BWLIMIT) FlagAllDevicesForRebuild();
        (void)logic::OnSharedVariableChange(id, value, size);
    }
    if (onOff) KeReleaseMutex(&SharedSideEffectMutex, FALSE);
    return status;
}

ZvStatus GetInstantiatedVariable(CGenDisp* genDisp, ULONG id, PVOID value, PULONG size) {
    if (genDisp == nullptr || value == nullptr || size == nullptr || *size < sizeof(ULONG) ||
        id == 0 || id > 2) {
        return ZV_INVALID_PARAMETER;
    }
    FilterDeviceExtension* ext = ExtensionOf(genDisp);
    if (ext == nullptr) return ZV_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&ext->InstLock, &irql);
    ZvStatus status = LoadVariable(value, size, InstTable(ext), id - 1);
    KeReleaseSpinLock(&ext->InstLock, irql);
    return status;
}

ZvStatus SetInstantiatedVariable(CGenDisp* genDisp, ULONG id, PVOID value, ULONG size) {
    if (genDisp == nullptr || value == nullptr || size < sizeof(ULONG)) return ZV_BUFFER_TOO_SMALL;
    if (id == 0 || id > 2) return ZV_INVALID_PARAMETER;
    FilterDeviceExtension* ext = ExtensionOf(genDisp);
    if (ext == nullptr) return ZV_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&ext->InstLock, &irql);
    ZvStatus status = StoreVariable(value, size, InstTable(ext), id - 1);
    KeReleaseSpinLock(&ext->InstLock, irql);
    return status;
}

void ApplyDsDisableToAllDevices(ULONG value) {
    // The devices are taken from the list in batches of referenced PDOs on the
    // stack (the registry work cannot run under the list's spin lock), each
    // device marked with this pass as it is taken, until no unmarked device is
    // left: no allocation, so no device is left out for want of memory, and
    // none is done twice however the list changes between batches.  A device
    // still attaching (no busy flag yet) is skipped: it reads the variable
    // itself.  The callers are serialised (the shared side-effect mutex).
    const ULONG Batch = 16;
    struct Item {
        PDEVICE_OBJECT Pdo;
        volatile LONG* Busy;
    };
    static ULONG pass = 0;
    pass = pass + 1 != 0 ? pass + 1 : 1;  // 0 marks a device no pass has taken
    for (;;) {
        Item items[Batch];
        ULONG count = 0;
        bool more = false;
        KIRQL irql;
        KeAcquireSpinLock(&PdoListLock, &irql);
        for (PLIST_ENTRY link = PdoList.Flink; link != &PdoList; link = link->Flink) {
            PdoListEntry* entry = CONTAINING_RECORD(link, PdoListEntry, Links);
            volatile LONG* busy =
                entry->Fdo != nullptr ? FilterExtension(entry->Fdo)->DsBusyFlag : nullptr;
            if (entry->DsPass == pass || entry->Pdo == nullptr || busy == nullptr) continue;
            if (count == Batch) {
                more = true;
                break;
            }
            entry->DsPass = pass;
            ObReferenceObject(entry->Pdo);
            items[count++] = {entry->Pdo, busy};
        }
        KeReleaseSpinLock(&PdoListLock, irql);
        for (ULONG i = 0; i < count; ++i) {
            ApplyDsStateToDevice(items[i].Pdo, items[i].Busy, value);
            ObDereferenceObject(items[i].Pdo);
        }
        if (!more) break;
    }
}

void FlagAllDevicesForRebuild() {
    KIRQL irql;
    KeAcquireSpinLock(&PdoListLock, &irql);
    for (PLIST_ENTRY link = PdoList.Flink; link != &PdoList; link = link->Flink) {
        PdoListEntry* entry = CONTAINING_RECORD(link, PdoListEntry, Links);
        if (entry->Fdo != nullptr)
            InterlockedExchange(&FilterExtension(entry->Fdo)->RebuildFlag, 1);
    }
    KeReleaseSpinLock(&PdoListLock, irql);
}

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------
ULONGLONG ScaleTo100ns(ULONGLONG counter, ULONGLONG frequency) {
    const ULONGLONG scale = 10000000ull;
    ULONGLONG high = counter >> 32;
    ULONGLONG low = counter & 0xFFFFFFFFull;
    ULONGLONG q1 = high * scale / frequency;
    ULONGLONG r1 = high * scale % frequency;
    // (r1 * 2^32 + low * 10^7) / frequency in two steps, so that no sum
    // overflows for any frequency below 2^32.
    ULONGLONG shifted = r1 << 32;
    ULONGLONG q2 = shifted / frequency + (shifted % frequency + low * scale) / frequency;
    return (q1 << 32) + q2;
}

ULONGLONG QueryTime100ns() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    return ScaleTo100ns(static_cast<ULONGLONG>(counter.QuadPart),
                        static_cast<ULONGLONG>(frequency.QuadPart));
}

PWCHAR GetHardwareID(PDEVICE_OBJECT pdo, PULONG size) {
    ULONG needed = 0;
    NTSTATUS status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL || needed == 0) {
        ThisModule::ModulePrint(
            ZDBG_WARN | 1,
            "GetHardwareID> PDO(0x%lx): Can't get ID (#1). Not hooking this device...\n",
            (ULONG)(ULONG_PTR)pdo);
        return nullptr;
    }
    PWCHAR buffer = nullptr;
    for (int attempt = 0; attempt < 4 && !NT_SUCCESS(status); ++attempt) {
        MemFree(buffer);
        buffer = static_cast<PWCHAR>(MemAlloc(needed));
        if (buffer != nullptr) {
            status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, needed, buffer, &needed);
        } else {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (!NT_SUCCESS(status)) {
        ThisModule::ModulePrint(
            ZDBG_WARN | 1,
            "GetHardwareID> PDO(0x%lx): Can't get ID (#2). Not hooking this device...\n",
            (ULONG)(ULONG_PTR)pdo);
        MemFree(buffer);
        return nullptr;
    }
    if (size != nullptr) *size = needed;
    return buffer;
}

namespace {
PCWSTR FindText(PCWSTR text, PCWSTR what) {
    for (; *text != 0; ++text) {
        ULONG i = 0;
        while (what[i] != 0 && text[i] == what[i]) ++i;
        if (what[i] == 0) return text;
    }
    return nullptr;
}

void ParseField(PCWSTR text, PCWSTR prefix, PULONG out) {
    if (out == nullptr) return;
    PCWSTR at = FindText(text, prefix);
    if (at == nullptr) return;
    at += 4;
    WCHAR scratch[6] = {};
    for (ULONG i = 0; i < 4 && at[i] != 0; ++i) scratch[i] = at[i];
    ULONG value = 0;
    for (ULONG i = 0; scratch[i] != 0; ++i) {
        WCHAR c = scratch[i];
        ULONG digit;
        if (c >= u'0' && c <= u'9') {
            digit = c - u'0';
        } else if (c >= u'A' && c <= u'F') {
            digit = c - u'A' + 10;
        } else if (c >= u'a' && c <= u'f') {
            digit = c - u'a' + 10;
        } else {
            break;
        }
        value = value * 16 + digit;
    }
    *out = value;
}
}  // namespace

void ParseHardwareId(PWCHAR text, PULONG vendorId, PULONG productId, PULONG revision) {
    if (text == nullptr) return;
    for (PWCHAR c = text; *c != 0; ++c) {
        if (*c >= u'a' && *c <= u'z') *c = static_cast<WCHAR>(*c - u'a' + u'A');
    }
    ParseField(text, u"VID_", vendorId);
    ParseField(text, u"PID_", productId);
    ParseField(text, u"REV_", revision);
}
