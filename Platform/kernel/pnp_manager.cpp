// Plug and Play manager: device nodes, the built-in bus driver that owns the
// physical device objects, stack building from the registry, the PnP and power
// requests of a device's life, device properties and device registry keys.
#include <algorithm>
#include <map>

#include "io_internal.h"
#include "kp/pnp.h"
#include "kp/registry.h"

// One physical device.  Lives from KpPnpAddDevice until its PDO is freed.
struct KpDeviceNode {
    std::u16string InstancePath;  // below Enum, original case
    PDEVICE_OBJECT Pdo = nullptr;
    KP_PNP_STATE State = KpPnpNotStarted;
    std::vector<PDRIVER_OBJECT> Drivers;  // stack order, bottom first
    std::mutex PnpLock;                   // serialises this device's PnP requests
    ULONG DeviceStateBits = 0;
    std::atomic<LONG> OpenFiles{0};
    std::map<ULONG, NTSTATUS> KeyFailures;
    KP_QUERY_INTERFACE_HANDLER* QueryInterface = nullptr;
    PVOID QueryInterfaceContext = nullptr;
};

namespace kp::io {

// Interface records of a device (pnp_interface.cpp).
void DisableDeviceInterfaces(KpDeviceNode* node);
void ForgetDeviceInterfaces(KpDeviceNode* node);

namespace {

std::mutex g_nodeLock;
std::vector<KpDeviceNode*> g_nodes;  // present devices, oldest first

// Query-interface handlers waiting for their device by instance path: a PDO
// created for the instance gets its handler before its stack is built.
// Guarded by g_nodeLock, as are the handler fields of the nodes.
struct KpInstanceQueryHandler {
    std::u16string InstancePath;
    KP_QUERY_INTERFACE_HANDLER* Handler;
    PVOID Context;
};
std::vector<KpInstanceQueryHandler> g_instanceQueryHandlers;
ULONG g_pdoSerial = 0;
std::atomic<ULONG> g_powerStarts{0};

std::u16string InstanceKey(const KpDeviceNode* node) {
    return std::u16string(kKpEnumPath) + u"\\" + node->InstancePath;
}

KpDeviceNode* NodeOf(PDEVICE_OBJECT pdo, const char* routine) {
    if (pdo == nullptr || pdo->KpNode == nullptr) {
        KpBugCheck(KP_BUGCHECK_PNP_DETECTED_FATAL_ERROR,
                   "%s: device object %p is not a physical device object", routine, pdo);
    }
    return pdo->KpNode;
}

void CompleteWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// A pool string (tag "KpSt") of registry text for an IRP_MN_QUERY_ID answer.
NTSTATUS AnswerId(PIRP irp, const std::vector<std::u16string>& strings, bool multi) {
    size_t chars = 1;
    for (auto& s : strings) chars += s.size() + 1;
    auto buffer =
        static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), KpTag("KpSt")));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    size_t at = 0;
    for (auto& s : strings) {
        std::memcpy(buffer + at, s.data(), s.size() * sizeof(WCHAR));
        at += s.size();
        buffer[at++] = 0;
        if (!multi) break;
    }
    buffer[at] = 0;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// The bus driver: every request to a physical device object ends here.
// ---------------------------------------------------------------------------
NTSTATUS BusDispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    KpDeviceNode* node = pdo->KpNode;
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                auto relations = static_cast<PDEVICE_RELATIONS>(
                    ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), KpTag("KpRl")));
                if (relations == nullptr) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                relations->Count = 1;
                relations->Objects[0] = pdo;
                ObReferenceObject(pdo);
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
                status = STATUS_SUCCESS;
            }
            break;
        case IRP_MN_QUERY_INTERFACE: {
            // Called outside the lock: a handler may call into the PnP manager.
            KP_QUERY_INTERFACE_HANDLER* handler;
            PVOID context;
            {
                std::lock_guard<std::mutex> guard(g_nodeLock);
                handler = node->QueryInterface;
                context = node->QueryInterfaceContext;
            }
            if (handler != nullptr) {
                NTSTATUS answer = handler(context, pdo, stack);
                if (answer != STATUS_NOT_SUPPORTED) status = answer;
            }
            break;
        }
        case IRP_MN_QUERY_ID: {
            std::u16string key = InstanceKey(node);
            switch (stack->Parameters.QueryId.IdType) {
                case BusQueryDeviceID:
                    status = AnswerId(
                        irp, {node->InstancePath.substr(0, node->InstancePath.rfind(u'\\'))},
                        false);
                    break;
                case BusQueryInstanceID:
                    status = AnswerId(
                        irp, {node->InstancePath.substr(node->InstancePath.rfind(u'\\') + 1)},
                        false);
                    break;
                case BusQueryHardwareIDs:
                case BusQueryCompatibleIDs: {
                    auto ids = kp::reg::GetMultiString(
                        key, stack->Parameters.QueryId.IdType == BusQueryHardwareIDs
                                 ? u"HardwareID"
                                 : u"CompatibleIDs");
                    if (ids) status = AnswerId(irp, *ids, true);
                    break;
                }
            }
            break;
        }
        default:
            break;  // not ours to answer: the request keeps its status
    }
    CompleteWith(irp, status);
    return status;
}

NTSTATUS BusDispatch(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
            return BusDispatchPnp(pdo, irp);
        case IRP_MJ_POWER: {
            PoStartNextPowerIrp(irp);
            NTSTATUS status = irp->IoStatus.Status;
            if (stack->MinorFunction == IRP_MN_SET_POWER ||
                stack->MinorFunction == IRP_MN_QUERY_POWER) {
                status = STATUS_SUCCESS;
            }
            CompleteWith(irp, status);
            return status;
        }
        case IRP_MJ_CREATE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
            irp->IoStatus.Information = 0;
            CompleteWith(irp, STATUS_SUCCESS);
            return STATUS_SUCCESS;
        case IRP_MJ_SYSTEM_CONTROL: {
            NTSTATUS status = irp->IoStatus.Status;
            CompleteWith(irp, status);
            return status;
        }
        default:
            irp->IoStatus.Information = 0;
            CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& fn : driver->MajorFunction) fn = BusDispatch;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Sending PnP requests
// ---------------------------------------------------------------------------
NTSTATUS SendPnp(KpDeviceNode* node, UCHAR minor, ULONG_PTR* information = nullptr,
                 const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr) {
    return SendAndWait(node->Pdo, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED, setup, information);
}

void SetState(KpDeviceNode* node, KP_PNP_STATE state) {
    node->State = state;
}

// The device objects above the PDO that are still there.
std::vector<PDEVICE_OBJECT> UpperDevices(KpDeviceNode* node) {
    std::vector<PDEVICE_OBJECT> devices;
    ForEachInStack(node->Pdo, [&](PDEVICE_OBJECT d) {
        if (d != node->Pdo) devices.push_back(d);
    });
    return devices;
}

// The end of a device: REMOVE sent, everything above the PDO gone, the PDO
// deleted, the drivers' stack uses released and idle drivers unloaded from the
// top of the stack down.  Caller holds the node's PnP lock, which this releases
// before the PDO (and with its last reference the node) goes.
NTSTATUS FinishRemoval(KpDeviceNode* node, std::unique_lock<std::mutex>& pnp) {
    NTSTATUS status = SendPnp(node, IRP_MN_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        DbgPrint("KP PnP: REMOVE_DEVICE of %s failed with 0x%08X (removal goes on)\n",
                 Narrow(node->InstancePath).c_str(), static_cast<unsigned>(status));
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (PDEVICE_OBJECT left : UpperDevices(node)) {
        DbgPrint("KP PnP: device object %p of %s is still attached to %s after REMOVE_DEVICE\n",
                 static_cast<void*>(left), Narrow(ToU16(&left->DriverObject->DriverName)).c_str(),
                 Narrow(node->InstancePath).c_str());
        result = STATUS_UNSUCCESSFUL;
    }
    SetState(node, KpPnpRemoved);
    ForgetDeviceInterfaces(node);
    {
        std::lock_guard<std::mutex> guard(g_nodeLock);
        g_nodes.erase(std::remove(g_nodes.begin(), g_nodes.end(), node), g_nodes.end());
    }
    std::vector<PDRIVER_OBJECT> drivers = node->Drivers;
    node->Drivers.clear();
    for (PDRIVER_OBJECT driver : drivers) Internals(driver)->StackUses--;
    for (auto it = drivers.rbegin(); it != drivers.rend(); ++it) {
        KpDriverInternals* internals = Internals(*it);
        if (internals->StackUses == 0 && internals->DeviceObjects == 0 &&
            internals->WorkItems == 0) {
            KpUnloadDriver(*it);
        }
    }
    PDEVICE_OBJECT pdo = node->Pdo;
    pnp.unlock();
    if (result == STATUS_SUCCESS)
        IoDeleteDevice(pdo);  // the node goes with the PDO's last reference
    // Drivers of other stacks whose last device object went with this removal
    // (a filter that had attached itself here, say).
    KpPnpUnloadIdleDrivers();
    return result;
}

std::vector<std::u16string> MultiString(std::u16string_view key, std::u16string_view name) {
    return kp::reg::GetMultiString(key, name).value_or(std::vector<std::u16string>{});
}

// The services of a device's stack in AddDevice order.
std::vector<std::u16string> StackServices(KpDeviceNode* node, NTSTATUS* status) {
    std::u16string key = InstanceKey(node);
    std::u16string classKey;
    if (auto guid = kp::reg::GetString(key, u"ClassGUID"))
        classKey = std::u16string(kKpClassPath) + u"\\" + *guid;
    std::vector<std::u16string> services = MultiString(key, u"LowerFilters");
    if (!classKey.empty()) {
        for (auto& s : MultiString(classKey, u"LowerFilters")) services.push_back(s);
    }
    auto function = kp::reg::GetString(key, u"Service");
    if (!function || function->empty()) {
        DbgPrint("KP PnP: %s names no Service (function driver)\n",
                 Narrow(node->InstancePath).c_str());
        *status = STATUS_NOT_FOUND;
        return {};
    }
    services.push_back(*function);
    for (auto& s : MultiString(key, u"UpperFilters")) services.push_back(s);
    if (!classKey.empty()) {
        for (auto& s : MultiString(classKey, u"UpperFilters")) services.push_back(s);
    }
    *status = STATUS_SUCCESS;
    return services;
}

NTSTATUS BuildStack(KpDeviceNode* node) {
    NTSTATUS status;
    std::vector<std::u16string> services = StackServices(node, &status);
    if (!NT_SUCCESS(status)) return status;
    for (auto& service : services) {
        PDRIVER_OBJECT driver;
        status = KpLoadDriver(service.c_str(), &driver);
        if (!NT_SUCCESS(status)) {
            DbgPrint("KP PnP: driver %s of %s did not load (0x%08X)\n", Narrow(service).c_str(),
                     Narrow(node->InstancePath).c_str(), static_cast<unsigned>(status));
            return status;
        }
        if (std::find(node->Drivers.begin(), node->Drivers.end(), driver) == node->Drivers.end()) {
            node->Drivers.push_back(driver);
            Internals(driver)->StackUses++;
            Internals(driver)->PnpLoaded = true;
        }
        PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
        if (addDevice == nullptr) {
            DbgPrint("KP PnP: driver %s has no AddDevice routine\n", Narrow(service).c_str());
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        PDEVICE_OBJECT before = AttachedTop(node->Pdo);
        status = addDevice(driver, node->Pdo);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "AddDevice of %s returned at raised IRQL",
                       Narrow(service).c_str());
        }
        if (!NT_SUCCESS(status)) {
            DbgPrint("KP PnP: AddDevice of %s for %s failed with 0x%08X\n", Narrow(service).c_str(),
                     Narrow(node->InstancePath).c_str(), static_cast<unsigned>(status));
            return status;
        }
        PDEVICE_OBJECT top = AttachedTop(node->Pdo);
        if (top != before && (top->Flags & DO_DEVICE_INITIALIZING)) {
            DbgPrint(
                "KP PnP: AddDevice of %s left DO_DEVICE_INITIALIZING set on device object %p\n",
                Narrow(service).c_str(), static_cast<void*>(top));
            return STATUS_INVALID_DEVICE_STATE;
        }
    }
    return STATUS_SUCCESS;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" to a GUID.
bool ParseGuid(std::u16string_view text, GUID* guid) {
    if (text.size() != 38 || text[0] != u'{' || text[37] != u'}') return false;
    auto hex = [&](size_t at, size_t digits, uint64_t* value) {
        *value = 0;
        for (size_t i = at; i < at + digits; i++) {
            char16_t c = text[i];
            int d = c >= u'0' && c <= u'9'   ? c - u'0'
                    : c >= u'a' && c <= u'f' ? c - u'a' + 10
                    : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                             : -1;
            if (d < 0) return false;
            *value = *value * 16 + static_cast<uint64_t>(d);
        }
        return true;
    };
    uint64_t a, b, c, d, e;
    if (text[9] != u'-' || text[14] != u'-' || text[19] != u'-' || text[24] != u'-' ||
        !hex(1, 8, &a) || !hex(10, 4, &b) || !hex(15, 4, &c) || !hex(20, 4, &d) ||
        !hex(25, 12, &e)) {
        return false;
    }
    guid->Data1 = static_cast<ULONG>(a);
    guid->Data2 = static_cast<USHORT>(b);
    guid->Data3 = static_cast<USHORT>(c);
    guid->Data4[0] = static_cast<UCHAR>(d >> 8);
    guid->Data4[1] = static_cast<UCHAR>(d);
    for (int i = 0; i < 6; i++) guid->Data4[2 + i] = static_cast<UCHAR>(e >> (40 - 8 * i));
    return true;
}

// The interfaces the machine description gives the device itself ("KpInterfaces"),
// registered and enabled once its stack started.
NTSTATUS EnableBusInterfaces(KpDeviceNode* node) {
    for (auto& entry : MultiString(InstanceKey(node), u"KpInterfaces")) {
        GUID cls;
        size_t slash = entry.find(u'\\');
        std::u16string reference = slash == std::u16string::npos ? u"" : entry.substr(slash + 1);
        if (!ParseGuid(entry.substr(0, slash), &cls)) {
            DbgPrint("KP PnP: %s: \"%s\" is no interface class\n",
                     Narrow(node->InstancePath).c_str(), Narrow(entry).c_str());
            return STATUS_INVALID_PARAMETER;
        }
        UNICODE_STRING referenceString, link;
        referenceString.Buffer = reference.data();
        referenceString.Length = referenceString.MaximumLength =
            static_cast<USHORT>(reference.size() * 2);
        NTSTATUS status = IoRegisterDeviceInterface(
            node->Pdo, &cls, reference.empty() ? nullptr : &referenceString, &link);
        if (!NT_SUCCESS(status)) return status;
        status = IoSetDeviceInterfaceState(&link, TRUE);
        RtlFreeUnicodeString(&link);
        if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_EXISTS) return status;
    }
    return STATUS_SUCCESS;
}

}  // namespace

PDRIVER_OBJECT BusDriver() {
    static PDRIVER_OBJECT bus = [] {
        PDRIVER_OBJECT driver = nullptr;
        NTSTATUS status = CreateDriverObject(u"KpBus", BusDriverEntry, nullptr, &driver);
        if (!NT_SUCCESS(status))
            KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "the bus driver did not start");
        driver->KpDriver->Builtin = true;
        return driver;
    }();
    return bus;
}

// The PDO's memory is gone: so are the node and any driver-object extension
// keyed by the PDO's address, which a later PDO may reuse.
void OnPdoFreed(KpDeviceNode* node) {
    ForgetDriverObjectExtension(BusDriver(), node->Pdo);
    delete node;
}

std::u16string InstancePathOf(PDEVICE_OBJECT pdo) {
    return NodeOf(pdo, "InstancePathOf")->InstancePath;
}

void OnFileOpened(PDEVICE_OBJECT named) {
    if (named->KpNode != nullptr) named->KpNode->OpenFiles++;
}

void OnFileClosed(PDEVICE_OBJECT named) {
    if (named->KpNode != nullptr) named->KpNode->OpenFiles--;
}

}  // namespace kp::io

using namespace kp::io;

// ---------------------------------------------------------------------------
// Device life
// ---------------------------------------------------------------------------
NTSTATUS KpPnpAddDevice(std::u16string_view InstancePath, PDEVICE_OBJECT* Pdo) {
    KpAssertIrql(PASSIVE_LEVEL, "KpPnpAddDevice");
    if (Pdo != nullptr) *Pdo = nullptr;
    std::u16string key = std::u16string(kKpEnumPath) + u"\\" + std::u16string(InstancePath);
    if (!kp::reg::KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (KpPnpFindPdo(InstancePath) != nullptr) return STATUS_OBJECT_NAME_COLLISION;

    auto node = new KpDeviceNode();
    node->InstancePath = InstancePath;
    char name[40];
    {
        std::lock_guard<std::mutex> guard(g_nodeLock);
        std::snprintf(name, sizeof name, "\\Device\\KpPnp%08u", ++g_pdoSerial);
    }
    std::u16string pdoName(name, name + std::strlen(name));
    UNICODE_STRING pdoNameString;
    pdoNameString.Buffer = pdoName.data();
    pdoNameString.Length = pdoNameString.MaximumLength =
        static_cast<USHORT>(pdoName.size() * sizeof(WCHAR));
    PDEVICE_OBJECT pdo;
    NTSTATUS status = IoCreateDevice(BusDriver(), 0, &pdoNameString, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        delete node;
        return status;
    }
    pdo->KpNode = node;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    node->Pdo = pdo;
    {
        std::lock_guard<std::mutex> guard(g_nodeLock);
        for (const KpInstanceQueryHandler& waiting : g_instanceQueryHandlers) {
            if (kp::reg::NamesEqual(waiting.InstancePath, node->InstancePath)) {
                node->QueryInterface = waiting.Handler;
                node->QueryInterfaceContext = waiting.Context;
            }
        }
        g_nodes.push_back(node);
    }

    std::unique_lock<std::mutex> pnp(node->PnpLock);
    status = BuildStack(node);
    if (NT_SUCCESS(status)) {
        status = SendPnp(node, IRP_MN_START_DEVICE);
        if (!NT_SUCCESS(status)) {
            DbgPrint("KP PnP: START_DEVICE of %s failed with 0x%08X\n",
                     Narrow(node->InstancePath).c_str(), static_cast<unsigned>(status));
        }
    }
    if (!NT_SUCCESS(status)) {
        DisableDeviceInterfaces(node);
        FinishRemoval(node, pnp);
        return status;
    }
    SetState(node, KpPnpStarted);
    status = EnableBusInterfaces(node);
    if (!NT_SUCCESS(status)) {
        DisableDeviceInterfaces(node);
        FinishRemoval(node, pnp);
        return status;
    }
    ULONG_PTR bits = 0;
    if (NT_SUCCESS(SendPnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE, &bits))) {
        node->DeviceStateBits = static_cast<ULONG>(bits);
    }
    if (Pdo != nullptr) *Pdo = pdo;
    return STATUS_SUCCESS;
}

NTSTATUS KpPnpWriteDevice(const KpPnpDeviceDescription& Device) {
    static std::atomic<ULONG> softwareKeys{0};
    std::u16string key = std::u16string(kKpEnumPath) + u"\\" + Device.InstancePath;
    std::u16string cls =
        Device.ClassGuid.empty() ? u"{4d36e96c-e325-11ce-bfc1-08002be10318}" : Device.ClassGuid;
    char number[8];
    std::snprintf(number, sizeof number, "%04u", ++softwareKeys % 10000);
    NTSTATUS status = kp::reg::SetMultiString(key, u"HardwareID", Device.HardwareIds);
    if (NT_SUCCESS(status)) status = kp::reg::SetString(key, u"Service", Device.Service);
    if (NT_SUCCESS(status)) status = kp::reg::SetString(key, u"ClassGUID", cls);
    if (NT_SUCCESS(status)) {
        status =
            kp::reg::SetString(key, u"Driver", cls + u"\\" + std::u16string(number, number + 4));
    }
    if (NT_SUCCESS(status) && !Device.UpperFilters.empty()) {
        status = kp::reg::SetMultiString(key, u"UpperFilters", Device.UpperFilters);
    }
    if (NT_SUCCESS(status) && !Device.LowerFilters.empty()) {
        status = kp::reg::SetMultiString(key, u"LowerFilters", Device.LowerFilters);
    }
    if (NT_SUCCESS(status) && !Device.BusInterfaces.empty()) {
        status = kp::reg::SetMultiString(key, u"KpInterfaces", Device.BusInterfaces);
    }
    return status;
}

NTSTATUS KpPnpEnumerateAll(void) {
    NTSTATUS result = STATUS_SUCCESS;
    for (auto& enumerator : kp::reg::SubKeyNames(kKpEnumPath)) {
        std::u16string enumKey = std::u16string(kKpEnumPath) + u"\\" + enumerator;
        for (auto& device : kp::reg::SubKeyNames(enumKey)) {
            for (auto& instance : kp::reg::SubKeyNames(enumKey + u"\\" + device)) {
                std::u16string path = enumerator + u"\\" + device + u"\\" + instance;
                if (KpPnpFindPdo(path) != nullptr) continue;
                NTSTATUS status = KpPnpAddDevice(path, nullptr);
                if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
            }
        }
    }
    return result;
}

NTSTATUS KpPnpBoot(void) {
    std::string error;
    if (!KpMachineLoadRegistry(&error)) {
        DbgPrint("KP PnP: machine registry did not load: %s\n", error.c_str());
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return KpPnpEnumerateAll();
}

PDEVICE_OBJECT KpPnpFindPdo(std::u16string_view InstancePath) {
    std::lock_guard<std::mutex> guard(g_nodeLock);
    for (KpDeviceNode* node : g_nodes) {
        if (kp::reg::NamesEqual(node->InstancePath, InstancePath)) return node->Pdo;
    }
    return nullptr;
}

KP_PNP_STATE KpPnpGetState(PDEVICE_OBJECT Pdo) {
    return NodeOf(Pdo, "KpPnpGetState")->State;
}

ULONG KpPnpDeviceStateBits(PDEVICE_OBJECT Pdo) {
    return NodeOf(Pdo, "KpPnpDeviceStateBits")->DeviceStateBits;
}

static NTSTATUS QueryRemoveLocked(KpDeviceNode* node) {
    if (node->State != KpPnpStarted) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        NTSTATUS cancel = SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
        if (!NT_SUCCESS(cancel)) {
            DbgPrint("KP PnP: CANCEL_REMOVE_DEVICE of %s failed with 0x%08X\n",
                     Narrow(node->InstancePath).c_str(), static_cast<unsigned>(cancel));
        }
        return status;
    }
    SetState(node, KpPnpQueryRemoved);
    return STATUS_SUCCESS;
}

NTSTATUS KpPnpQueryRemove(PDEVICE_OBJECT Pdo) {
    KpDeviceNode* node = NodeOf(Pdo, "KpPnpQueryRemove");
    std::lock_guard<std::mutex> pnp(node->PnpLock);
    return QueryRemoveLocked(node);
}

NTSTATUS KpPnpCancelRemove(PDEVICE_OBJECT Pdo) {
    KpDeviceNode* node = NodeOf(Pdo, "KpPnpCancelRemove");
    std::lock_guard<std::mutex> pnp(node->PnpLock);
    if (node->State != KpPnpQueryRemoved) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    if (NT_SUCCESS(status)) SetState(node, KpPnpStarted);
    return status;
}

NTSTATUS KpPnpRemoveDevice(PDEVICE_OBJECT Pdo) {
    KpDeviceNode* node = NodeOf(Pdo, "KpPnpRemoveDevice");
    std::unique_lock<std::mutex> pnp(node->PnpLock);
    NTSTATUS status = QueryRemoveLocked(node);
    if (!NT_SUCCESS(status)) return status;
    DisableDeviceInterfaces(node);
    return FinishRemoval(node, pnp);
}

NTSTATUS KpPnpRestartDevice(PDEVICE_OBJECT Pdo) {
    KpAssertIrql(PASSIVE_LEVEL, "KpPnpRestartDevice");
    KpDeviceNode* node = NodeOf(Pdo, "KpPnpRestartDevice");
    // The platform vetoes the removal of a device with open handles before it
    // asks any driver, so nothing is sent then.
    if (node->OpenFiles != 0) return STATUS_DEVICE_BUSY;
    std::u16string instance = node->InstancePath;  // the node goes with the removal
    NTSTATUS status = KpPnpRemoveDevice(Pdo);
    if (!NT_SUCCESS(status)) return status;
    return KpPnpAddDevice(instance, nullptr);
}

std::vector<std::u16string> KpPnpStackServices(PDEVICE_OBJECT Pdo) {
    KpDeviceNode* node = NodeOf(Pdo, "KpPnpStackServices");
    std::vector<std::u16string> services;
    for (PDEVICE_OBJECT device : UpperDevices(node))
        services.push_back(Internals(device->DriverObject)->ServiceName);
    return services;
}

NTSTATUS KpPnpSurpriseRemove(PDEVICE_OBJECT Pdo) {
    KpDeviceNode* node = NodeOf(Pdo, "KpPnpSurpriseRemove");
    std::lock_guard<std::mutex> pnp(node->PnpLock);
    if (node->State != KpPnpStarted && node->State != KpPnpQueryRemoved)
        return STATUS_INVALID_DEVICE_STATE;
    DisableDeviceInterfaces(node);
    NTSTATUS status = SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
    if (!NT_SUCCESS(status)) {
        DbgPrint("KP PnP: SURPRISE_REMOVAL of %s failed with 0x%08X; drivers must not fail it\n",
                 Narrow(node->InstancePath).c_str(), static_cast<unsigned>(status));
    }
    SetState(node, KpPnpSurpriseRemoved);
    return status;
}

NTSTATUS KpPnpRemove(PDEVICE_OBJECT Pdo) {
    KpDeviceNode* node = NodeOf(Pdo, "KpPnpRemove");
    std::unique_lock<std::mutex> pnp(node->PnpLock);
    if (node->State == KpPnpRemoved) return STATUS_INVALID_DEVICE_STATE;
    if (node->OpenFiles != 0) {
        DbgPrint("KP PnP: %s still has %d open file objects\n", Narrow(node->InstancePath).c_str(),
                 node->OpenFiles.load());
        return STATUS_DEVICE_BUSY;
    }
    DisableDeviceInterfaces(node);
    return FinishRemoval(node, pnp);
}

NTSTATUS KpPnpSetDevicePower(PDEVICE_OBJECT Pdo, DEVICE_POWER_STATE State) {
    KpDeviceNode* node = NodeOf(Pdo, "KpPnpSetDevicePower");
    std::lock_guard<std::mutex> pnp(node->PnpLock);
    return SendAndWait(
        node->Pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_NOT_SUPPORTED,
        [&](PIO_STACK_LOCATION stack) {
            stack->Parameters.Power.Type = DevicePowerState;
            stack->Parameters.Power.State.DeviceState = State;
        },
        nullptr);
}

void KpPnpShutdown(void) {
    for (;;) {
        PDEVICE_OBJECT pdo = nullptr;
        {
            std::lock_guard<std::mutex> guard(g_nodeLock);
            if (!g_nodes.empty()) pdo = g_nodes.back()->Pdo;
        }
        if (pdo == nullptr) break;
        KpDeviceNode* node = pdo->KpNode;
        if (node->State == KpPnpStarted && NT_SUCCESS(KpPnpRemoveDevice(pdo))) continue;
        if (node->State != KpPnpSurpriseRemoved) KpPnpSurpriseRemove(pdo);
        if (!NT_SUCCESS(KpPnpRemove(pdo))) {
            DbgPrint("KP PnP: shutdown could not remove %s\n", Narrow(node->InstancePath).c_str());
            std::lock_guard<std::mutex> guard(g_nodeLock);
            g_nodes.erase(std::remove(g_nodes.begin(), g_nodes.end(), node), g_nodes.end());
        }
    }
    KpIoDrainWorkQueues();
    KpPnpUnloadIdleDrivers();
}

void KpPnpFailRegistryKey(PDEVICE_OBJECT Pdo, ULONG KeyType, NTSTATUS Status) {
    KpDeviceNode* node = NodeOf(Pdo, "KpPnpFailRegistryKey");
    std::lock_guard<std::mutex> guard(g_nodeLock);
    if (NT_SUCCESS(Status))
        node->KeyFailures.erase(KeyType);
    else
        node->KeyFailures[KeyType] = Status;
}

void KpPnpSetQueryInterfaceHandler(PDEVICE_OBJECT Pdo, KP_QUERY_INTERFACE_HANDLER* Handler,
                                   PVOID Context) {
    KpDeviceNode* node = NodeOf(Pdo, "KpPnpSetQueryInterfaceHandler");
    std::lock_guard<std::mutex> guard(g_nodeLock);
    node->QueryInterface = Handler;
    node->QueryInterfaceContext = Context;
}

void KpPnpSetInstanceQueryInterfaceHandler(std::u16string_view InstancePath,
                                           KP_QUERY_INTERFACE_HANDLER* Handler, PVOID Context) {
    std::lock_guard<std::mutex> guard(g_nodeLock);
    auto& waiting = g_instanceQueryHandlers;
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                 [&](const KpInstanceQueryHandler& h) {
                                     return kp::reg::NamesEqual(h.InstancePath, InstancePath);
                                 }),
                  waiting.end());
    if (Handler != nullptr) waiting.push_back({std::u16string(InstancePath), Handler, Context});
    // The present device follows, so that a removed handler's context is
    // never called again.
    for (KpDeviceNode* node : g_nodes) {
        if (kp::reg::NamesEqual(node->InstancePath, InstancePath)) {
            node->QueryInterface = Handler;
            node->QueryInterfaceContext = Context;
        }
    }
}

// ---------------------------------------------------------------------------
// PoStartNextPowerIrp / PoCallDriver / PoSetPowerState
// ---------------------------------------------------------------------------
VOID PoStartNextPowerIrp(PIRP Irp) {
    (void)Irp;
    g_powerStarts++;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    (void)DeviceObject, (void)Type;
    return State;
}

ULONG KpPoStartNextPowerIrpCount(void) {
    return g_powerStarts;
}

// ---------------------------------------------------------------------------
// IoGetDeviceProperty
// ---------------------------------------------------------------------------
NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    KpAssertIrql(PASSIVE_LEVEL, "IoGetDeviceProperty");
    KpDeviceNode* node = NodeOf(DeviceObject, "IoGetDeviceProperty");
    std::u16string key = InstanceKey(node);
    std::vector<uint8_t> data;
    auto fromValue = [&](std::u16string_view name) {
        auto value = kp::reg::GetValue(key, name);
        if (!value) return false;
        data = value->Data;
        return true;
    };
    auto fromText = [&](std::u16string_view text) { data = kp::reg::StringBytes(text); };
    bool found = true;
    switch (DeviceProperty) {
        case DevicePropertyDeviceDescription:
            found = fromValue(u"DeviceDesc");
            break;
        case DevicePropertyHardwareID:
            found = fromValue(u"HardwareID");
            break;
        case DevicePropertyCompatibleIDs:
            found = fromValue(u"CompatibleIDs");
            break;
        case DevicePropertyClassName:
            found = fromValue(u"Class");
            break;
        case DevicePropertyClassGuid:
            found = fromValue(u"ClassGUID");
            break;
        case DevicePropertyDriverKeyName:
            found = fromValue(u"Driver");
            break;
        case DevicePropertyManufacturer:
            found = fromValue(u"Mfg");
            break;
        case DevicePropertyFriendlyName:
            found = fromValue(u"FriendlyName");
            break;
        case DevicePropertyLocationInformation:
            found = fromValue(u"LocationInformation");
            break;
        case DevicePropertyPhysicalDeviceObjectName:
            fromText(ToU16(&DeviceObject->KpName));
            break;
        case DevicePropertyEnumeratorName:
            fromText(node->InstancePath.substr(0, node->InstancePath.find(u'\\')));
            break;
        default:
            DbgPrint("KP PnP: IoGetDeviceProperty: property %d is not supported\n", DeviceProperty);
            return STATUS_NOT_SUPPORTED;
    }
    if (!found) return STATUS_OBJECT_NAME_NOT_FOUND;
    *ResultLength = static_cast<ULONG>(data.size());
    if (PropertyBuffer == nullptr || BufferLength < data.size()) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, data.data(), data.size());
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// IoOpenDeviceRegistryKey: the device key (the instance's "Device Parameters"),
// its current hardware profile copy, and the software key under Control\Class.
// ---------------------------------------------------------------------------
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    KpAssertIrql(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    *DevInstRegKey = nullptr;
    KpDeviceNode* node = NodeOf(DeviceObject, "IoOpenDeviceRegistryKey");
    {
        std::lock_guard<std::mutex> guard(g_nodeLock);
        auto failure = node->KeyFailures.find(DevInstKeyType);
        if (failure != node->KeyFailures.end()) return failure->second;
    }
    std::u16string path;
    bool profile = (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0;
    switch (DevInstKeyType & ~PLUGPLAY_REGKEY_CURRENT_HWPROFILE) {
        case PLUGPLAY_REGKEY_DEVICE:
            path = profile ? std::u16string(kKpHwProfilePath) + u"\\Enum\\" + node->InstancePath
                           : InstanceKey(node) + u"\\Device Parameters";
            break;
        case PLUGPLAY_REGKEY_DRIVER: {
            auto driverKey = kp::reg::GetString(InstanceKey(node), u"Driver");
            if (!driverKey) {
                DbgPrint("KP PnP: %s has no Driver value (software key)\n",
                         Narrow(node->InstancePath).c_str());
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            path = profile ? std::u16string(kKpHwProfilePath) + u"\\Control\\Class\\" + *driverKey
                           : std::u16string(kKpClassPath) + u"\\" + *driverKey;
            break;
        }
        default:
            return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    HANDLE handle = KpRegOpenKeyHandle(path, DesiredAccess, true, &status);
    if (handle == nullptr) return status;
    *DevInstRegKey = handle;
    return STATUS_SUCCESS;
}
