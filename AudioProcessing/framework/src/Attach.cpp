// Attachment of filter devices: the install options, the master elected at
// AddDevice, the list of hooked devices, and the slaves the master hooks on
// running stacks when their audio interfaces arrive.
#include <new>

#include "CDevice.h"
#include "CGenDisp.h"
#include "DSDisblr.h"
#include "DrvMain.h"
#include "LogicCalls.h"
#include "MemAlloc.h"
#include "Probe.h"
#include "ZDebug.h"
#include "ZvKAPFWi.h"
#include "platform/zw.h"

namespace {
using ThisModule = LogModule<LogModuleDrvMain>;

#define ZV_ARRAY_CHARS(a) (sizeof(a) / sizeof((a)[0]))

void BuildOptionName(PWCHAR name, PCWSTR prefix, PCWSTR suffix) {
    ULONG at = 0;
    for (ULONG i = 0; prefix[i] != 0 && at < ZV_OPTION_NAME_CHARS - 1; ++i) name[at++] = prefix[i];
    for (ULONG i = 0; suffix[i] != 0 && at < ZV_OPTION_NAME_CHARS - 1; ++i) name[at++] = suffix[i];
    name[at] = 0;
}

// The work context of one arriving interface: the link follows the record.
struct SlaveWorkContext {
    PIO_WORKITEM WorkItem;
    PWCHAR Link;
    ULONG Master;
    USHORT LinkBytes;
};

// 1 when a device of this driver already sits in the stack below top (a
// device whose removal is pending is out of PdoList but still holds its filter).
ULONG StackHoldsDriver(PDEVICE_OBJECT top, PDRIVER_OBJECT driver) {
    if (top->DriverObject == driver) return 1;
    PDEVICE_OBJECT device = IoGetLowerDeviceObject(top);
    while (device != nullptr) {
        if (device->DriverObject == driver) {
            ObDereferenceObject(device);
            return 1;
        }
        PDEVICE_OBJECT below = IoGetLowerDeviceObject(device);
        ObDereferenceObject(device);
        device = below;
    }
    return 0;
}
}  // namespace

// ---------------------------------------------------------------------------
// Driver-wide objects of the attachment
// ---------------------------------------------------------------------------
WCHAR OptionNameNoLoad[ZV_OPTION_NAME_CHARS];
WCHAR OptionNameMaster[ZV_OPTION_NAME_CHARS];
WCHAR OptionNameNoManualSlaves[ZV_OPTION_NAME_CHARS];
LIST_ENTRY PdoList;
KSPIN_LOCK PdoListLock;
volatile LONG MasterTaken;
ULONG SavedProcessValue;
KMUTEX SlaveInstantiateMutex;

void AttachInitialize(PCWSTR registryPrefix) {
    BuildOptionName(OptionNameNoLoad, registryPrefix, u"AudioFilterNoLoad");
    BuildOptionName(OptionNameMaster, registryPrefix, u"AudioFilterMaster");
    BuildOptionName(OptionNameNoManualSlaves, registryPrefix, u"AudioFilterNoManualSlaves");
    InitializeListHead(&PdoList);
    KeInitializeSpinLock(&PdoListLock);
    SavedProcessValue = 0;
    InterlockedExchange(&MasterTaken, 0);
    KeInitializeMutex(&SlaveInstantiateMutex, 0);
}

void DestroyFilterDevice(CDevice* device) {
    device->~CDevice();
    MemFree(device);
}

// ---------------------------------------------------------------------------
// Options and the device list
// ---------------------------------------------------------------------------
void FilterGetInstallOptions(PDEVICE_OBJECT pdo, HANDLE key, PULONG noLoad, PULONG master,
                             PULONG noManualSlaves) {
    HANDLE opened = nullptr;
    if (key == nullptr) {
        if (!NT_SUCCESS(
                IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_QUERY_VALUE, &opened)))
            return;
        key = opened;
    }
    struct Option {
        PCWSTR Name;
        PULONG Out;
        PCSTR Text;
    } options[] = {
        {OptionNameNoLoad, noLoad,
         "FilterGetInstallOptions> AudioFilterNoLoad Key found: Value is: %ld\n"},
        {OptionNameMaster, master,
         "FilterGetInstallOptions> AudioFilterMaster Key found: Value is: %ld\n"},
        {OptionNameNoManualSlaves, noManualSlaves,
         "FilterGetInstallOptions> AudioFilterNoManualSlaves Key found: Value is: %ld\n"},
    };
    for (const Option& option : options) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, option.Name);
        UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
        auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        ULONG length = 0;
        NTSTATUS status =
            ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof buffer, &length);
        if (!NT_SUCCESS(status) || info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
            continue;
        ULONG value;
        RtlCopyMemory(&value, info->Data, sizeof value);
        *option.Out = value != 0 ? 1 : 0;
        ThisModule::ModulePrint(1, option.Text, *option.Out);
    }
    if (opened != nullptr) ZwClose(opened);
}

ULONG IsDeviceInList(PDRIVER_OBJECT, PDEVICE_OBJECT pdo) {
    ULONG size = 0;
    PWCHAR id = GetHardwareID(pdo, &size);
    if (id == nullptr) return 0;
    if (size < 6 || id[0] != u'U' || id[1] != u'S' || id[2] != u'B') {
        ThisModule::ModulePrint(
            1, "IsDeviceInList> PDO(0x%lx): ID(%S) is not a USB ID. Not hooking this device...\n",
            Low32(pdo), id);
        MemFree(id);
        return 0;
    }
    ThisModule::ModulePrint(2, "IsDeviceInList> PDO(0x%lx): found USB device ID(%S).\n", Low32(pdo),
                            id);
    ULONG vendor = 0, product = 0, revision = 0;
    ParseHardwareId(id, &vendor, &product, &revision);
    // Only the low 8 bits of the revision are compared ("REV_0102" counts as 2).
    revision &= 0xFF;
    ULONG found = 0;
    for (ULONG i = 0; i < InternalDeviceList->Count && found == 0; ++i) {
        const InternalDeviceEntry& entry = InternalDeviceList->Entries[i];
        if (entry.VendorId == vendor && entry.ProductId == product &&
            entry.MinimumRevision <= revision)
            found = 1;
    }
    MemFree(id);
    return found;
}

ULONG FilterIsNewDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo, ListLookup add) {
    // Allocated before the lock so that a failure leaves the list unchanged.
    auto fresh = add != ListLookup::Find
                     ? static_cast<PdoListEntry*>(MemAlloc(sizeof(PdoListEntry)))
                     : nullptr;
    ULONG isNew = 1;
    KIRQL irql;
    KeAcquireSpinLock(&PdoListLock, &irql);
    for (PLIST_ENTRY link = PdoList.Flink; link != &PdoList; link = link->Flink) {
        if (CONTAINING_RECORD(link, PdoListEntry, Links)->Pdo == pdo) {
            isNew = 0;
            break;
        }
    }
    if (isNew != 0 && fresh != nullptr) {
        fresh->Pdo = pdo;
        fresh->Fdo = fdo;
        fresh->DsPass = 0;
        ThisModule::ModulePrint(1,
                                "FilterIsNewDevice> Adding PDO to list PDO - 0x%lx; FDO - 0x%lx \n",
                                Low32(pdo), Low32(fdo));
        InsertHeadList(&PdoList, &fresh->Links);
        fresh = nullptr;
    }
    KeReleaseSpinLock(&PdoListLock, irql);
    MemFree(fresh);
    return isNew;
}

void FilterRemovePdoFromList(PDEVICE_OBJECT pdo) {
    PdoListEntry* found = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&PdoListLock, &irql);
    for (PLIST_ENTRY link = PdoList.Flink; link != &PdoList; link = link->Flink) {
        PdoListEntry* entry = CONTAINING_RECORD(link, PdoListEntry, Links);
        if (entry->Pdo == pdo) {
            ThisModule::ModulePrint(
                1, "FilterRemovePdoFromList> Removing PDO to list PDO - 0x%lx; FDO - 0x%lx \n",
                Low32(entry->Pdo), Low32(entry->Fdo));
            RemoveEntryList(&entry->Links);
            found = entry;
            break;
        }
    }
    KeReleaseSpinLock(&PdoListLock, irql);
    MemFree(found);
}

// ---------------------------------------------------------------------------
// AddDevice
// ---------------------------------------------------------------------------
void FilterRegisterInterfaceNotification(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo) {
    IoRegisterPlugPlayNotification(
        EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
        const_cast<GUID*>(&KSCATEGORY_AUDIO), driver, FilterInterfaceNotificationCB, fdo,
        &FilterExtension(fdo)->NotificationHandle);
}

NTSTATUS FilterAddDeviceEntry(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    ProbeEnter(0);
    ULONG noLoad = 0, master = 0, noManualSlaves = 0;
    FilterGetInstallOptions(pdo, nullptr, &noLoad, &master, &noManualSlaves);
    if (master != 0) {
        if (InternalDeviceList->Count != 0 && IsDeviceInList(driver, pdo) == 0) {
            ThisModule::ModulePrint(ZDBG_WARN | 1,
                                    "FilterAddDevice> PDO(0x%lx): Device not found in the internal "
                                    "Device List so not installing on this device...\n",
                                    Low32(pdo));
            ProbeLeave(0);
            return STATUS_SUCCESS;
        }
        if (InterlockedExchange(&MasterTaken, 1) != 0) master = 0;
    }
    if (noLoad != 0) {
        ThisModule::ModulePrint(
            ZDBG_WARN | 1,
            "FilterAddDevice> PDO(0x%lx): Registry Override. Not hooking this device...\n",
            Low32(pdo));
        // A candidate that is not hooked leaves the role to the next one.
        if (master != 0) InterlockedExchange(&MasterTaken, 0);
        ProbeLeave(0);
        return STATUS_SUCCESS;
    }
    if (master != 0) SavedProcessValue = 1;
    PDEVICE_OBJECT fdo = nullptr, lower = nullptr;
    NTSTATUS status = FilterAddDevice(driver, pdo, &fdo, &lower, master);
    if (!NT_SUCCESS(status)) {
        FilterRemovePdoFromList(pdo);
        if (master != 0) InterlockedExchange(&MasterTaken, 0);
        ProbeLeave(0);
        return status;
    }
    if (master != 0) {
        ProbeInit(fdo, lower, pdo);
        FilterDeviceExtension* ext = FilterExtension(fdo);
        ext->NoManualSlaves = noManualSlaves;
        ext->MasterFlag = 1;
        if (noManualSlaves == 0) FilterRegisterInterfaceNotification(driver, fdo);
    }
    ProbeLeave(0);
    return status;
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT* fdoOut,
                         PDEVICE_OBJECT* lowerOut, ULONG isMaster) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterDeviceExtension), nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        ThisModule::ModulePrint(ZDBG_ERR | 1,
                                "FilterAddDevice> Failed to create device! Exiting!\n");
        return status;
    }
    *fdoOut = fdo;
    ThisModule::ModulePrint(
        2, "FilterAddDevice> AddDevice DriverObject(0x%lx)\tPDO(0x%lx)\tFDO(0x%lx)\n",
        Low32(driver), Low32(pdo), Low32(fdo));
    FilterDeviceExtension* ext = FilterExtension(fdo);
    // The variable table and the remove lock are usable from the start: a
    // running stack sends requests as soon as the device is attached.
    InitializeRemoveLock(&ext->Lock);
    ext->Ready = 0;
    KeInitializeSpinLock(&ext->InstLock);
    ext->InstPinDirsPtr = &ext->HandledDirections;
    ext->InstPinDirsSize = sizeof(ULONG);
    ext->InstMasterStackPtr = &ext->MasterFlag;
    ext->InstMasterStackSize = sizeof(ULONG);

    void* memory = MemAlloc(sizeof(CDevice));
    if (memory == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1,
                                "FilterAddDevice> Failed to create device Class! Exiting!\n");
        IoDeleteDevice(fdo);
        return STATUS_NO_MEMORY;
    }
    CDevice* device = new (memory) CDevice();
    SetDeviceOf(ext, device);
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (lower == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "FilterAddDevice> Failed to link device! Exiting!\n");
        SetDeviceOf(ext, nullptr);
        DestroyFilterDevice(device);
        IoDeleteDevice(fdo);
        return STATUS_UNSUCCESSFUL;
    }
    *lowerOut = lower;
    fdo->Flags |=
        lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH);
    fdo->DeviceType = lower->DeviceType;
    fdo->Characteristics = lower->Characteristics;
    // The device is already the top of the stack, and a stack the master
    // hooks is running: a request may be sized for it right now, from the
    // size as it was (one location for every device, enough to pass it
    // down) or as it is after this store, never from half of one.
    InterlockedExchange8(&fdo->StackSize, static_cast<CCHAR>(fdo->StackSize + 4));
    ThisModule::ModulePrint(2, "FilterAddDevice> FDO attached to device 0x%lx\n", Low32(lower));
    ThisModule::ModulePrint(2, "FilterAddDevice> FDO 0x%lx represented by CDevice 0x%lx\n",
                            Low32(fdo), Low32(device));

    status = device->Init(driver, fdo, lower, pdo);
    if (!NT_SUCCESS(status)) {
        ThisModule::ModulePrint(ZDBG_ERR | 1,
                                "FilterAddDevice> Failed to initialize device! \n\t\tDetaching, "
                                "deleting FDO 0x%lx and Exiting!\n",
                                Low32(fdo));
        IoDetachDevice(lower);
        // Requests that reached the device meanwhile pass straight down under
        // the remove lock: they leave before the device goes.
        if (NT_SUCCESS(AcquireRemoveLock(fdo, &ext->Lock)))
            ReleaseRemoveLockAndWait(fdo, &ext->Lock);
        SetDeviceOf(ext, nullptr);
        DestroyFilterDevice(device);
        IoDeleteDevice(fdo);
        return status;
    }
    InterlockedExchange(&ext->Ready, 1);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    ext->PnpState = PNP_STATE_ATTACHED;
    ext->PreviousPnpState = PNP_STATE_ATTACHED;
    if (isMaster != 0) ext->MasterFlag = 1;

    FilterIsNewDevice(pdo, fdo, ListLookup::FindOrAdd);
    ResetDsStateOnce(fdo, pdo);
    CGenDisp* genDisp = device->GenDisp();
    // Never beside an OnBuffer or a RUN of this driver: the logic builds what those use.
    GetSyncControlLock();
    (void)logic::OnFilterLoad(genDisp, isMaster, pdo, lower);
    ReleaseSyncControlLock();
    (void)logic::OnDecidePinDirs(genDisp, isMaster);
    if (isMaster != 0) {
        // A 4-byte store of a known variable: it cannot fail.
        (void)SetSharedVariable(VID_SHARED_PROCESS, &SavedProcessValue, sizeof SavedProcessValue);
    } else {
        ApplyDsStateToDevice(pdo, ext->DsBusyFlag, ReadSharedValue(VID_SHARED_DSDISABLE));
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Slaves
// ---------------------------------------------------------------------------
NTSTATUS QueryTargetPdo(PDEVICE_OBJECT device, PFILE_OBJECT file, PDEVICE_OBJECT* pdo) {
    *pdo = nullptr;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->FileObject = file;
    stack->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
    stack->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (!NT_SUCCESS(status)) return status;
    auto relations = reinterpret_cast<PDEVICE_RELATIONS>(iosb.Information);
    if (relations == nullptr) return STATUS_UNSUCCESSFUL;
    if (relations->Count == 0) {
        ExFreePool(relations);
        return STATUS_UNSUCCESSFUL;
    }
    *pdo = relations->Objects[0];
    for (ULONG i = 1; i < relations->Count; ++i) ObDereferenceObject(relations->Objects[i]);
    ExFreePool(relations);
    return STATUS_SUCCESS;
}

NTSTATUS OpenTargetByLink(PUNICODE_STRING link, PDEVICE_OBJECT* device, PFILE_OBJECT* file,
                          PDEVICE_OBJECT* pdo) {
    *device = nullptr;
    *file = nullptr;
    *pdo = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(link, STANDARD_RIGHTS_ALL, file, device);
    if (!NT_SUCCESS(status)) {
        *file = nullptr;
        *device = nullptr;
        return status;
    }
    return QueryTargetPdo(*device, *file, pdo);
}

NTSTATUS FilterInterfaceNotificationCB(PVOID notification, PVOID context) {
    ProbeEnter(0);
    auto change = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(notification);
    auto masterFdo = static_cast<PDEVICE_OBJECT>(context);
    if (!IsEqualGUID(change->Event, GUID_DEVICE_INTERFACE_ARRIVAL) ||
        change->SymbolicLinkName == nullptr) {
        ProbeLeave(0);
        return STATUS_SUCCESS;
    }
    PUNICODE_STRING link = change->SymbolicLinkName;
    USHORT bytes = static_cast<USHORT>(link->Length & ~1u);
    {
        // Logged before anything is allocated: a bounded, terminated copy (the
        // link is counted, not terminated).
        WCHAR text[128];
        ULONG chars = bytes / sizeof(WCHAR);
        if (chars > ZV_ARRAY_CHARS(text) - 1) chars = ZV_ARRAY_CHARS(text) - 1;
        RtlCopyMemory(text, link->Buffer, chars * sizeof(WCHAR));
        text[chars] = 0;
        ThisModule::ModulePrint(1, "FilterInterfaceNotificationCB> SymlinkName %S \n", text);
    }
    PIO_WORKITEM item = IoAllocateWorkItem(masterFdo);
    if (item == nullptr) {
        ThisModule::ModulePrint(1,
                                "FilterInterfaceNotificationCB> Unable to Create WorkItem !!!\n");
        ProbeLeave(0);
        return STATUS_SUCCESS;
    }
    auto work =
        static_cast<SlaveWorkContext*>(MemAlloc(sizeof(SlaveWorkContext) + bytes + sizeof(WCHAR)));
    if (work == nullptr) {
        IoFreeWorkItem(item);
        ProbeLeave(0);
        return STATUS_SUCCESS;
    }
    work->WorkItem = item;
    work->Link = reinterpret_cast<PWCHAR>(work + 1);
    work->Master = 0;
    work->LinkBytes = bytes;
    RtlCopyMemory(work->Link, link->Buffer, bytes);
    work->Link[bytes / sizeof(WCHAR)] = 0;
    IoQueueWorkItem(item, FilterSlaveInstantiateWorkItem, CriticalWorkQueue, work);
    ProbeLeave(0);
    return STATUS_SUCCESS;
}

// The master's FDO may already be removed when this runs; the work item keeps
// it referenced, so a slave found now is still hooked.
VOID FilterSlaveInstantiateWorkItem(PDEVICE_OBJECT masterFdo, PVOID context) {
    ProbeEnter(0);
    KeWaitForSingleObject(&SlaveInstantiateMutex, Executive, KernelMode, FALSE, nullptr);
    ProbeAddCounter(PROBE_COUNTER_WORKERS, 1);
    auto work = static_cast<SlaveWorkContext*>(context);
    UNICODE_STRING link;
    link.Buffer = work->Link;
    link.Length = work->LinkBytes;
    link.MaximumLength = static_cast<USHORT>(work->LinkBytes + sizeof(WCHAR));
    PDEVICE_OBJECT top = nullptr, pdo = nullptr;
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = OpenTargetByLink(&link, &top, &file, &pdo);
    if (NT_SUCCESS(status) && pdo != nullptr) {
        ULONG noLoad = 0, master = 0, noManualSlaves = 0;
        FilterGetInstallOptions(pdo, nullptr, &noLoad, &master, &noManualSlaves);
        if (noLoad == 0) {
            work->Master = master;
            ULONG isAudio = 0;
            const GUID* categories[] = {&KSCATEGORY_CAPTURE, &KSCATEGORY_RENDER};
            for (const GUID* category : categories) {
                UNICODE_STRING alias = {};
                if (NT_SUCCESS(IoGetDeviceInterfaceAlias(&link, category, &alias))) {
                    isAudio = 1;
                    RtlFreeUnicodeString(&alias);
                }
            }
            ULONG isNew = isAudio != 0 ? FilterIsNewDevice(pdo, nullptr, ListLookup::Find) : 0;
            if (isNew != 0 && StackHoldsDriver(top, masterFdo->DriverObject) != 0) isNew = 0;
            ThisModule::ModulePrint(1,
                                    "FilterSlaveInstantiateWorkItem> PDO - 0x%lx, FDO - 0x%lx, FO "
                                    "- 0x%lx, NewStack - %d \n",
                                    Low32(pdo), Low32(top), Low32(file), isNew);
            ThisModule::ModulePrint(
                1,
                "FilterSlaveInstantiateWorkItem> TargetDevicePDO's DriverObject (0x%lx), "
                "TargetDeviceFDO's DriverObject (0x%lx) \n",
                Low32(pdo->DriverObject), Low32(top->DriverObject));
            if (isNew != 0) {
                // A master exists already (only the master registers for
                // arrivals): the new device is always a slave, whatever its
                // own Master option says.
                PDEVICE_OBJECT fdo = nullptr, lower = nullptr;
                status = FilterAddDevice(masterFdo->DriverObject, pdo, &fdo, &lower, 0);
                if (!NT_SUCCESS(status)) {
                    FilterRemovePdoFromList(pdo);
                    ThisModule::ModulePrint(1,
                                            "FilterSlaveInstantiateWorkItem> Failed to Create new "
                                            "device status (0x%lx) \n",
                                            status);
                }
            }
        }
    }
    if (pdo != nullptr) ObDereferenceObject(pdo);
    if (file != nullptr) ObDereferenceObject(file);
    IoFreeWorkItem(work->WorkItem);
    MemFree(work);
    ProbeAddCounter(PROBE_COUNTER_WORKERS, -1);
    KeReleaseMutex(&SlaveInstantiateMutex, FALSE);
    ProbeLeave(0);
}
