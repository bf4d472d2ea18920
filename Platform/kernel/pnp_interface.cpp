// Plug and Play manager: device interfaces, their symbolic links and the
// interface-change notifications.
//
// An interface's link is "\??\<instance path with # for \>#{class guid}" and,
// with a reference string, "\<reference string>" after it.  While the interface
// is enabled the link without the reference string names the PDO, so an open
// of the full link reaches the device with the reference string as file name.
// Notifications run on the thread that changes the interface (the PnP manager's
// thread) at PASSIVE_LEVEL, outside every lock of this module.
#include <algorithm>
#include <condition_variable>

#include "io_internal.h"
#include "kp/pnp.h"
#include "kp/registry.h"

namespace kp::io {
namespace {

struct InterfaceRecord {
    std::u16string Link;  // full link, original case
    std::u16string Base;  // link without the reference string
    std::u16string Reference;
    GUID Class{};
    KpDeviceNode* Node = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    bool Enabled = false;
};

struct NotifyEntry {
    GUID Class{};
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE Callback = nullptr;
    PVOID Context = nullptr;
    PDRIVER_OBJECT Driver = nullptr;
    bool Unregistered = false;
    LONG InFlight = 0;  // callbacks running now (guarded by g_lock)
};

std::mutex g_lock;
std::condition_variable g_callbackDone;
std::vector<InterfaceRecord> g_interfaces;
std::vector<NotifyEntry*> g_notifications;
thread_local std::vector<NotifyEntry*> t_delivering;  // entries whose callback runs on this thread

InterfaceRecord* FindLink(std::u16string_view link) {
    std::u16string upper = Upper(link);
    for (auto& record : g_interfaces) {
        if (Upper(record.Link) == upper) return &record;
    }
    return nullptr;
}

void Deliver(NotifyEntry* entry, const GUID& event, const GUID& cls, const std::u16string& link) {
    std::u16string copy = link;
    UNICODE_STRING name;
    name.Buffer = copy.data();
    name.Length = name.MaximumLength = static_cast<USHORT>(copy.size() * sizeof(WCHAR));
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification;
    notification.Version = 1;
    notification.Size = sizeof(notification);
    notification.Event = event;
    notification.InterfaceClassGuid = cls;
    notification.SymbolicLinkName = &name;
    t_delivering.push_back(entry);
    entry->Callback(&notification, entry->Context);
    t_delivering.pop_back();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "PnP notification callback %p returned at raised IRQL",
                   reinterpret_cast<void*>(entry->Callback));
    }
}

// A callback round of the entry is over; an entry unregistered from inside its
// own callback is freed by the last round that used it.
void EndCallback(NotifyEntry* entry) {
    std::lock_guard<std::mutex> guard(g_lock);
    entry->InFlight--;
    g_callbackDone.notify_all();
    if (entry->InFlight == 0 && entry->Unregistered &&
        std::find(g_notifications.begin(), g_notifications.end(), entry) == g_notifications.end()) {
        delete entry;
    }
}

// Calls every live registration of the class; each counts as in flight while it runs.
void Notify(const GUID& event, const GUID& cls, const std::u16string& link) {
    std::vector<NotifyEntry*> targets;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (NotifyEntry* entry : g_notifications) {
            if (!entry->Unregistered && entry->Class == cls) {
                entry->InFlight++;
                targets.push_back(entry);
            }
        }
    }
    for (NotifyEntry* entry : targets) {
        bool skip;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            skip = entry->Unregistered;  // unregistered by an earlier callback of this round
        }
        if (!skip) Deliver(entry, event, cls, link);
        EndCallback(entry);
    }
}

// The registry record of an interface (kp/pnp.h): DeviceClasses\{class}\<link
// with # for \>.
std::u16string RecordKey(const InterfaceRecord& record) {
    std::u16string name = record.Link;
    std::replace(name.begin(), name.end(), u'\\', u'#');
    return std::u16string(kKpDeviceClassesPath) + u"\\" + GuidString(record.Class) + u"\\" + name;
}

NTSTATUS WriteRecord(const InterfaceRecord& record, const std::u16string& instance) {
    std::u16string key = RecordKey(record);
    NTSTATUS status = kp::reg::SetString(key, u"DeviceInstance", instance);
    if (NT_SUCCESS(status)) status = kp::reg::SetString(key, u"SymbolicLink", record.Link);
    if (NT_SUCCESS(status)) status = kp::reg::SetString(key, u"ReferenceString", record.Reference);
    return status;
}

// "Linked" lives in a volatile subkey, so a saved registry shows the interface inactive.
void WriteLinked(const InterfaceRecord& record, bool linked) {
    kp::reg::Store& store = kp::reg::Machine();
    kp::reg::KeyRef parent, control;
    if (!NT_SUCCESS(store.OpenKey(nullptr, RecordKey(record), &parent))) return;
    kp::reg::CreateKeyOptions options;
    options.Volatile = true;
    if (!NT_SUCCESS(store.CreateKey(parent, u"Control", options, &control))) return;
    ULONG value = linked ? 1 : 0;
    store.SetValue(control, u"Linked", REG_DWORD, &value, sizeof value);
}

void DeleteControlKey(const InterfaceRecord& record) {
    kp::reg::Store& store = kp::reg::Machine();
    kp::reg::KeyRef control;
    if (NT_SUCCESS(store.OpenKey(nullptr, RecordKey(record) + u"\\Control", &control)))
        store.DeleteTree(control);
}

NTSTATUS SetState(std::u16string_view link, bool enable) {
    GUID cls;
    std::u16string full;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        InterfaceRecord* record = FindLink(link);
        if (record == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (record->Enabled == enable) return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
        record->Enabled = enable;
        cls = record->Class;
        full = record->Link;
        // The base link stays while any interface that shares it is enabled.
        bool baseInUse = false;
        for (auto& other : g_interfaces) baseInUse |= other.Enabled && other.Base == record->Base;
        if (baseInUse)
            AddSymbolicLink(record->Base, ToU16(&record->Pdo->KpName));
        else
            RemoveSymbolicLink(record->Base);
        WriteLinked(*record, enable);
    }
    Notify(enable ? GUID_DEVICE_INTERFACE_ARRIVAL : GUID_DEVICE_INTERFACE_REMOVAL, cls, full);
    return STATUS_SUCCESS;
}

}  // namespace

void DisableDeviceInterfaces(KpDeviceNode* node) {
    std::vector<std::u16string> links;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (auto& record : g_interfaces) {
            if (record.Node == node && record.Enabled) links.push_back(record.Link);
        }
    }
    for (auto& link : links) SetState(link, false);
}

void ForgetDeviceInterfaces(KpDeviceNode* node) {
    DisableDeviceInterfaces(node);
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto& record : g_interfaces) {
        if (record.Node == node) DeleteControlKey(record);
    }
    g_interfaces.erase(std::remove_if(g_interfaces.begin(), g_interfaces.end(),
                                      [node](const InterfaceRecord& r) { return r.Node == node; }),
                       g_interfaces.end());
}

void OnDriverUnloading(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (NotifyEntry* entry : g_notifications) {
        if (entry->Driver == driver) {
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                       "driver unloaded with PnP notification %p still registered",
                       static_cast<void*>(entry));
        }
    }
}

}  // namespace kp::io

using namespace kp::io;

// ---------------------------------------------------------------------------
// IoRegisterDeviceInterface
// ---------------------------------------------------------------------------
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
    KpAssertIrql(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    if (PhysicalDeviceObject == nullptr || PhysicalDeviceObject->KpNode == nullptr) {
        KpBugCheck(KP_BUGCHECK_PNP_DETECTED_FATAL_ERROR,
                   "IoRegisterDeviceInterface: device object %p is not a physical device object",
                   PhysicalDeviceObject);
    }
    KpDeviceNode* node = PhysicalDeviceObject->KpNode;
    std::u16string instance;
    for (char16_t c : InstancePathOf(PhysicalDeviceObject))
        instance.push_back(c == u'\\' ? u'#' : c);
    std::u16string base = u"\\??\\" + instance + u"#" + GuidString(*InterfaceClassGuid);
    std::u16string reference = ToU16(ReferenceString);
    std::u16string link = reference.empty() ? base : base + u"\\" + reference;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (FindLink(link) == nullptr) {
            InterfaceRecord record;
            record.Link = link;
            record.Base = base;
            record.Reference = reference;
            record.Class = *InterfaceClassGuid;
            record.Node = node;
            record.Pdo = PhysicalDeviceObject;
            // The record of an earlier boot is reused: same key, same values.
            NTSTATUS status = WriteRecord(record, InstancePathOf(PhysicalDeviceObject));
            if (!NT_SUCCESS(status)) return status;
            g_interfaces.push_back(record);
        }
    }
    return MakePoolString(link, SymbolicLinkName) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    KpAssertIrql(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    return SetState(ToU16(SymbolicLinkName), Enable != FALSE);
}

// The interface of the same device and reference string under another class.
NTSTATUS IoGetDeviceInterfaceAlias(PUNICODE_STRING SymbolicLinkName,
                                   const GUID* AliasInterfaceClassGuid,
                                   PUNICODE_STRING AliasSymbolicLinkName) {
    KpAssertIrql(PASSIVE_LEVEL, "IoGetDeviceInterfaceAlias");
    std::u16string alias;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        InterfaceRecord* record = FindLink(ToU16(SymbolicLinkName));
        if (record == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        for (auto& other : g_interfaces) {
            if (other.Node == record->Node && other.Class == *AliasInterfaceClassGuid &&
                Upper(other.Reference) == Upper(record->Reference)) {
                alias = other.Link;
                break;
            }
        }
    }
    if (alias.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    return MakePoolString(alias, AliasSymbolicLinkName) ? STATUS_SUCCESS
                                                        : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS IoGetDeviceInterfaces(const GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject,
                               ULONG Flags, PWSTR* SymbolicLinkList) {
    KpAssertIrql(PASSIVE_LEVEL, "IoGetDeviceInterfaces");
    std::u16string list;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (auto& record : g_interfaces) {
            if (record.Class == *InterfaceClassGuid &&
                (PhysicalDeviceObject == nullptr || record.Pdo == PhysicalDeviceObject) &&
                (record.Enabled || (Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE))) {
                list += record.Link;
                list.push_back(0);
            }
        }
    }
    list.push_back(0);
    auto buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, list.size() * sizeof(WCHAR), KpTag("KpSt")));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, list.data(), list.size() * sizeof(WCHAR));
    *SymbolicLinkList = buffer;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// IoRegisterPlugPlayNotification: with INCLUDE_EXISTING the callback hears each
// enabled interface of the class before this returns (the handle is not yet
// written then).
// ---------------------------------------------------------------------------
NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory,
                                        ULONG EventCategoryFlags, PVOID EventCategoryData,
                                        PDRIVER_OBJECT DriverObject,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
                                        PVOID Context, PVOID* NotificationEntry) {
    KpAssertIrql(PASSIVE_LEVEL, "IoRegisterPlugPlayNotification");
    if (EventCategory != EventCategoryDeviceInterfaceChange) {
        DbgPrint("KP PnP: notification category %d is not supported\n", EventCategory);
        return STATUS_NOT_SUPPORTED;
    }
    auto entry = new NotifyEntry();
    entry->Class = *static_cast<const GUID*>(EventCategoryData);
    entry->Callback = CallbackRoutine;
    entry->Context = Context;
    entry->Driver = DriverObject;
    std::vector<std::u16string> existing;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (EventCategoryFlags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) {
            for (auto& record : g_interfaces) {
                if (record.Enabled && record.Class == entry->Class) existing.push_back(record.Link);
            }
        }
        entry->InFlight++;
        g_notifications.push_back(entry);
    }
    Internals(DriverObject, "IoRegisterPlugPlayNotification")->Notifications++;
    for (auto& link : existing) {
        bool skip;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            skip = entry->Unregistered;
        }
        if (!skip) Deliver(entry, GUID_DEVICE_INTERFACE_ARRIVAL, entry->Class, link);
    }
    // Unregistering from inside these callbacks is not possible: the handle is not out yet.
    EndCallback(entry);
    *NotificationEntry = entry;
    return STATUS_SUCCESS;
}

// No callback of the entry runs once this returns; callbacks in flight on other
// threads are waited for (one running on this thread is the caller itself).
NTSTATUS IoUnregisterPlugPlayNotification(PVOID NotificationEntry) {
    KpAssertIrql(PASSIVE_LEVEL, "IoUnregisterPlugPlayNotification");
    auto entry = static_cast<NotifyEntry*>(NotificationEntry);
    std::unique_lock<std::mutex> guard(g_lock);
    auto it = std::find(g_notifications.begin(), g_notifications.end(), entry);
    if (it == g_notifications.end() || entry->Unregistered) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "IoUnregisterPlugPlayNotification: %p is no registration", NotificationEntry);
    }
    entry->Unregistered = true;
    LONG own = static_cast<LONG>(std::count(t_delivering.begin(), t_delivering.end(), entry));
    g_callbackDone.wait(guard, [&] { return entry->InFlight <= own; });
    g_notifications.erase(std::find(g_notifications.begin(), g_notifications.end(), entry));
    Internals(entry->Driver)->Notifications--;
    if (own != 0) {
        // Called from its own callback: the round in progress still reads the
        // entry and frees it when its callback is done.
        return STATUS_SUCCESS;
    }
    guard.unlock();
    delete entry;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Host views
// ---------------------------------------------------------------------------
std::vector<std::u16string> KpPnpInterfaceLinks(PDEVICE_OBJECT Pdo, bool EnabledOnly) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::u16string> links;
    for (auto& record : g_interfaces) {
        if (record.Pdo == Pdo && (record.Enabled || !EnabledOnly)) links.push_back(record.Link);
    }
    return links;
}

ULONG KpPnpNotificationCount(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    return static_cast<ULONG>(g_notifications.size());
}
