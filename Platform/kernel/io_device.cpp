// I/O manager: driver and device objects, device stacks, object names, driver
// object extensions, fault injection, the attach hook and the test drivers'
// trace.
#include <cstdio>
#include <map>

#include "io_internal.h"
#include "kp/irql.h"

namespace kp::io {
namespace {

constexpr ULONG kDeviceTag = KpTag("KDev");
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;

// Stack links are changed under this lock; readers at any level take it too
// (a host lock, held for a few pointer steps, never across a call out).
std::mutex g_stackLock;

struct Faults {
    std::mutex lock;
    ULONG skip[KpFaultCount] = {};
    ULONG count[KpFaultCount] = {};
} g_faults;

// A test's look at each device as it joins a stack (KpIoSetAttachHook).
struct AttachHook {
    std::mutex lock;
    KP_IO_ATTACH_HOOK* routine = nullptr;
    PVOID context = nullptr;
} g_attachHook;

std::mutex g_nameLock;
std::map<std::u16string, PDEVICE_OBJECT> g_deviceNames;  // upper-case name -> device (no reference)
std::map<std::u16string, std::u16string> g_links;        // upper-case link -> target

std::atomic<ULONG> g_liveDevices{0};
std::atomic<UCHAR> g_wdmMajor{1};
std::atomic<UCHAR> g_wdmMinor{0x30};

std::mutex g_traceLock;
std::vector<KpIoTraceEntry> g_trace;

void CloseDeviceObject(PVOID object);
const KP_OBJECT_TYPE kDeviceObjectType = {"Device", CloseDeviceObject};
POBJECT_TYPE g_deviceObjectTypePtr = &kDeviceObjectType;

// Last reference on a device object: the memory goes, and the driver counts it gone.
void CloseDeviceObject(PVOID object) {
    auto device = static_cast<PDEVICE_OBJECT>(object);
    if (!device->KpDeleted) {
        KpBugCheck(KP_BUGCHECK_INVALID_OBJECT,
                   "last reference on device object %p dropped before IoDeleteDevice", object);
    }
    KpDriverInternals* driver = device->DriverObject->KpDriver;
    KpDeviceNode* node = device->KpNode;
    if (device->KpName.Buffer != nullptr) ExFreePool(device->KpName.Buffer);
    ExFreePool(device);
    g_liveDevices--;
    if (driver != nullptr) driver->DeviceObjects--;
    if (node != nullptr) OnPdoFreed(node);
}

}  // namespace

bool ShouldFail(KP_IO_FAULT fault) {
    std::lock_guard<std::mutex> guard(g_faults.lock);
    if (g_faults.count[fault] == 0) return false;
    if (g_faults.skip[fault] > 0) {
        g_faults.skip[fault]--;
        return false;
    }
    g_faults.count[fault]--;
    return true;
}

std::u16string ToU16(const UNICODE_STRING* s) {
    if (s == nullptr || s->Buffer == nullptr) return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string Upper(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = RtlUpcaseUnicodeChar(c);
    return out;
}

std::string Narrow(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::u16string GuidString(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

bool MakePoolString(std::u16string_view text, PUNICODE_STRING out) {
    size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    if (bytes > 0xFFFF) return false;
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, KpTag("KpSt")));
    if (buffer == nullptr) return false;
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    out->Buffer = buffer;
    out->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    out->MaximumLength = static_cast<USHORT>(bytes);
    return true;
}

PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_stackLock);
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

void ForEachInStack(PDEVICE_OBJECT bottom, const std::function<void(PDEVICE_OBJECT)>& fn) {
    std::vector<PDEVICE_OBJECT> stack;
    {
        std::lock_guard<std::mutex> guard(g_stackLock);
        for (PDEVICE_OBJECT d = bottom; d != nullptr; d = d->AttachedDevice) stack.push_back(d);
    }
    for (PDEVICE_OBJECT d : stack) fn(d);
}

PDEVICE_OBJECT LookupDeviceName(std::u16string_view upperName) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    auto it = g_deviceNames.find(std::u16string(upperName));
    if (it == g_deviceNames.end()) return nullptr;
    ObReferenceObject(it->second);
    return it->second;
}

void AddSymbolicLink(std::u16string_view link, std::u16string_view target) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    g_links[Upper(link)] = std::u16string(target);
}

void RemoveSymbolicLink(std::u16string_view link) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    g_links.erase(Upper(link));
}

// Object names: "\\?\", "\DosDevices\" and "\GLOBAL??\" are the same directory
// as "\??\".  The longest symbolic link or device name that is a whole-component
// prefix of the name wins; links are followed (at most eight times).
NTSTATUS ResolveName(std::u16string_view name, PDEVICE_OBJECT* device, std::u16string* remainder) {
    *device = nullptr;
    std::u16string current(name);
    for (std::u16string_view alias : {u"\\\\?\\", u"\\DosDevices\\", u"\\GLOBAL??\\"}) {
        if (current.size() >= alias.size() &&
            Upper(current.substr(0, alias.size())) == Upper(alias)) {
            current = u"\\??\\" + current.substr(alias.size());
            break;
        }
    }
    std::lock_guard<std::mutex> guard(g_nameLock);
    for (int depth = 0; depth < 8; depth++) {
        std::u16string upper = Upper(current);
        bool followed = false;
        for (size_t end = upper.size(); end > 0; end = upper.rfind(u'\\', end - 1)) {
            if (end != upper.size() && upper[end] != u'\\') continue;
            std::u16string prefix = upper.substr(0, end);
            auto link = g_links.find(prefix);
            if (link != g_links.end()) {
                current = link->second + current.substr(end);
                followed = true;
                break;
            }
            auto dev = g_deviceNames.find(prefix);
            if (dev != g_deviceNames.end()) {
                ObReferenceObject(dev->second);
                *device = dev->second;
                *remainder = current.substr(end);
                return STATUS_SUCCESS;
            }
            if (end == 0) break;
        }
        if (!followed) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

// Driver objects: the record, its object and extension in one host allocation.
NTSTATUS CreateDriverObject(std::u16string_view serviceName, PDRIVER_INITIALIZE entry, void* image,
                            PDRIVER_OBJECT* result) {
    KpAssertIrql(PASSIVE_LEVEL, "DriverEntry");
    auto internals = new KpDriverInternals();
    internals->ServiceName = serviceName;
    internals->DriverName = u"\\Driver\\" + std::u16string(serviceName);
    internals->RegistryPath =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(serviceName);
    internals->Image = image;
    PDRIVER_OBJECT driver = &internals->Object;
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &internals->Extension;
    driver->KpDriver = internals;
    driver->DriverInit = entry;
    driver->DriverName.Buffer = internals->DriverName.data();
    driver->DriverName.Length = driver->DriverName.MaximumLength =
        static_cast<USHORT>(internals->DriverName.size() * sizeof(WCHAR));
    internals->Extension.DriverObject = driver;
    internals->Extension.ServiceKeyName.Buffer = internals->ServiceName.data();
    internals->Extension.ServiceKeyName.Length = internals->Extension.ServiceKeyName.MaximumLength =
        static_cast<USHORT>(internals->ServiceName.size() * sizeof(WCHAR));
    for (auto& fn : driver->MajorFunction) {
        fn = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
            irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_INVALID_DEVICE_REQUEST;
        };
    }
    UNICODE_STRING registryPath;
    registryPath.Buffer = internals->RegistryPath.data();
    registryPath.Length = registryPath.MaximumLength =
        static_cast<USHORT>(internals->RegistryPath.size() * sizeof(WCHAR));
    NTSTATUS status = entry(driver, &registryPath);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "DriverEntry of %s returned at %s",
                   Narrow(serviceName).c_str(), KpIrqlName(KeGetCurrentIrql()));
    }
    if (!NT_SUCCESS(status)) {
        if (internals->DeviceObjects != 0) {
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                       "DriverEntry of %s failed (0x%08X) leaving device objects",
                       Narrow(serviceName).c_str(), static_cast<unsigned>(status));
        }
        delete internals;
        return status;
    }
    *result = driver;
    return STATUS_SUCCESS;
}

void FreeDriverObject(PDRIVER_OBJECT driver) {
    delete Internals(driver);
}

void ForgetDriverObjectExtension(PDRIVER_OBJECT driver, PVOID clientId) {
    KpDriverInternals* internals = Internals(driver);
    std::lock_guard<std::mutex> guard(internals->ExtensionLock);
    for (auto it = internals->Extensions.begin(); it != internals->Extensions.end(); ++it) {
        if (it->ClientId == clientId) {
            internals->Extensions.erase(it);
            return;
        }
    }
}

}  // namespace kp::io

using namespace kp::io;

POBJECT_TYPE* IoDeviceObjectType = &g_deviceObjectTypePtr;

// ---------------------------------------------------------------------------
// IoCreateDevice
// ---------------------------------------------------------------------------
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    KpAssertIrql(PASSIVE_LEVEL, "IoCreateDevice");
    KpDriverInternals* driver = Internals(DriverObject, "IoCreateDevice");
    *DeviceObject = nullptr;
    if (ShouldFail(KpFaultCreateDevice)) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name = ToU16(DeviceName);
    size_t headerSize = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    auto device = static_cast<PDEVICE_OBJECT>(
        ExAllocatePoolWithTag(NonPagedPool, headerSize + DeviceExtensionSize, kDeviceTag));
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(device, 0, headerSize + DeviceExtensionSize);
    if (!name.empty() && !MakePoolString(name, &device->KpName)) {
        ExFreePool(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    device->Type = kIoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension =
        DeviceExtensionSize ? reinterpret_cast<PCHAR>(device) + headerSize : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    if (!name.empty()) {
        std::lock_guard<std::mutex> guard(g_nameLock);
        if (g_deviceNames.count(Upper(name)) != 0) {
            ExFreePool(device->KpName.Buffer);
            ExFreePool(device);
            return STATUS_OBJECT_NAME_COLLISION;
        }
        g_deviceNames[Upper(name)] = device;
    }
    NTSTATUS status = KpInsertObject(device, &kDeviceObjectType);
    if (!NT_SUCCESS(status))
        KpBugCheck(KP_BUGCHECK_INVALID_OBJECT, "IoCreateDevice: object table refused 0x%08X",
                   status);
    g_liveDevices++;
    driver->DeviceObjects++;
    {
        std::lock_guard<std::mutex> guard(g_stackLock);
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// IoDeleteDevice: the object leaves its driver's list and its name; the memory
// stays until the last reference (a dispatch still running on it holds one, and
// so does a device still attached above it, until it detaches).  A device
// must detach from the device below it first.
// ---------------------------------------------------------------------------
VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    KpAssertIrql(PASSIVE_LEVEL, "IoDeleteDevice");
    if (DeviceObject == nullptr || DeviceObject->Type != kIoTypeDevice || DeviceObject->KpDeleted) {
        KpBugCheck(KP_BUGCHECK_INVALID_OBJECT, "IoDeleteDevice: %p is no live device object",
                   DeviceObject);
    }
    {
        std::lock_guard<std::mutex> guard(g_stackLock);
        if (DeviceObject->KpAttachedTo != nullptr) {
            KpBugCheck(
                KP_BUGCHECK_DRIVER_VERIFIER,
                "IoDeleteDevice: device %p is still attached to device %p (IoDetachDevice first)",
                DeviceObject, DeviceObject->KpAttachedTo);
        }
        DeviceObject->KpDeleted = TRUE;
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link == DeviceObject) *link = DeviceObject->NextDevice;
        DeviceObject->NextDevice = nullptr;
    }
    if (DeviceObject->KpName.Buffer != nullptr) {
        std::lock_guard<std::mutex> guard(g_nameLock);
        g_deviceNames.erase(Upper(ToU16(&DeviceObject->KpName)));
    }
    ObDereferenceObject(DeviceObject);  // the creator's reference
}

// ---------------------------------------------------------------------------
// IoAttachDeviceToDeviceStack: the new object learns its lower device and its
// stack size before the lower device points up at it, so whoever finds it as
// the top of the stack sees it complete.  A test's attach hook runs after
// the link, outside the stack lock.
// ---------------------------------------------------------------------------
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    KpAssertIrql(DISPATCH_LEVEL, "IoAttachDeviceToDeviceStack");
    if (ShouldFail(KpFaultAttachDevice)) return nullptr;
    PDEVICE_OBJECT top = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_stackLock);
        if (SourceDevice->KpAttachedTo != nullptr || SourceDevice->AttachedDevice != nullptr) {
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                       "IoAttachDeviceToDeviceStack: device %p is already in a stack",
                       SourceDevice);
        }
        top = TargetDevice;
        while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
        if (top->KpDeleted || SourceDevice == top) return nullptr;
        SourceDevice->KpAttachedTo = top;
        SourceDevice->StackSize = static_cast<CCHAR>(StackSizeOf(top) + 1);
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
        ObReferenceObject(top);  // the attachment keeps the lower object until IoDetachDevice
        __atomic_store_n(&top->AttachedDevice, SourceDevice, __ATOMIC_RELEASE);
    }
    KP_IO_ATTACH_HOOK* hook = nullptr;
    PVOID context = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_attachHook.lock);
        hook = g_attachHook.routine;
        context = g_attachHook.context;
    }
    // The device is already the top of the stack: requests may reach it from
    // here on, before its driver has finished setting it up.
    if (hook != nullptr) hook(context, SourceDevice, top);
    return top;
}

NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                         PDEVICE_OBJECT* AttachedToDeviceObject) {
    *AttachedToDeviceObject = IoAttachDeviceToDeviceStack(SourceDevice, TargetDevice);
    return *AttachedToDeviceObject ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    KpAssertIrql(PASSIVE_LEVEL, "IoDetachDevice");
    {
        std::lock_guard<std::mutex> guard(g_stackLock);
        PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
        if (upper == nullptr) {
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                       "IoDetachDevice: nothing is attached to device %p", TargetDevice);
        }
        TargetDevice->AttachedDevice = nullptr;
        upper->KpAttachedTo = nullptr;
    }
    ObDereferenceObject(TargetDevice);  // the attachment's reference; may free a deleted device
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    return AttachedTop(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> guard(g_stackLock);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    ObReferenceObject(top);
    return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> guard(g_stackLock);
    PDEVICE_OBJECT lower = DeviceObject->KpAttachedTo;
    if (lower != nullptr) ObReferenceObject(lower);
    return lower;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
    return AttachedTop(FileObject->DeviceObject);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    KpAssertIrql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::u16string link = ToU16(SymbolicLinkName);
    {
        std::lock_guard<std::mutex> guard(g_nameLock);
        if (g_links.count(Upper(link)) != 0) return STATUS_OBJECT_NAME_COLLISION;
    }
    AddSymbolicLink(link, ToU16(DeviceName));
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    KpAssertIrql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::lock_guard<std::mutex> guard(g_nameLock);
    return g_links.erase(Upper(ToU16(SymbolicLinkName))) ? STATUS_SUCCESS
                                                         : STATUS_OBJECT_NAME_NOT_FOUND;
}

// ---------------------------------------------------------------------------
// Driver object extensions: zeroed blocks keyed by a client address, living as
// long as the driver object.
// ---------------------------------------------------------------------------
NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject,
                                         PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize,
                                         PVOID* DriverObjectExtension) {
    KpAssertIrql(DISPATCH_LEVEL, "IoAllocateDriverObjectExtension");
    *DriverObjectExtension = nullptr;
    KpDriverInternals* driver = Internals(DriverObject, "IoAllocateDriverObjectExtension");
    if (ShouldFail(KpFaultDriverObjectExtension)) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> guard(driver->ExtensionLock);
    for (auto& ext : driver->Extensions) {
        if (ext.ClientId == ClientIdentificationAddress) return STATUS_OBJECT_NAME_COLLISION;
    }
    driver->Extensions.push_back(
        {ClientIdentificationAddress,
         std::vector<uint64_t>((DriverObjectExtensionSize + 7) / 8 + 1, 0)});
    *DriverObjectExtension = driver->Extensions.back().Storage.data();
    return STATUS_SUCCESS;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) {
    KpDriverInternals* driver = Internals(DriverObject, "IoGetDriverObjectExtension");
    std::lock_guard<std::mutex> guard(driver->ExtensionLock);
    for (auto& ext : driver->Extensions) {
        if (ext.ClientId == ClientIdentificationAddress) return ext.Storage.data();
    }
    return nullptr;
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    UCHAR major = g_wdmMajor, minor = g_wdmMinor;
    return MajorVersion < major || (MajorVersion == major && MinorVersion <= minor);
}

// ---------------------------------------------------------------------------
// Host controls
// ---------------------------------------------------------------------------
void KpIoFailCall(KP_IO_FAULT Fault, ULONG Nth, ULONG Count) {
    if (Fault >= KpFaultCount || Nth == 0)
        KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "KpIoFailCall(%d, %u)", Fault, Nth);
    std::lock_guard<std::mutex> guard(g_faults.lock);
    g_faults.skip[Fault] = Nth - 1;
    g_faults.count[Fault] = Count;
}

void KpIoSetAttachHook(KP_IO_ATTACH_HOOK* Hook, PVOID Context) {
    std::lock_guard<std::mutex> guard(g_attachHook.lock);
    g_attachHook.routine = Hook;
    g_attachHook.context = Context;
}

void KpIoClearFailures(void) {
    std::lock_guard<std::mutex> guard(g_faults.lock);
    for (int i = 0; i < KpFaultCount; i++) g_faults.skip[i] = g_faults.count[i] = 0;
}

ULONG KpIoLiveDeviceObjectCount(void) {
    return g_liveDevices;
}

void KpIoSetWdmVersion(UCHAR Major, UCHAR Minor) {
    g_wdmMajor = Major;
    g_wdmMinor = Minor;
}

ULONG KpDriverDeviceObjectCount(PDRIVER_OBJECT DriverObject) {
    return static_cast<ULONG>(Internals(DriverObject)->DeviceObjects.load());
}

static void AppendTrace(KpIoTraceEntry entry) {
    std::lock_guard<std::mutex> guard(g_traceLock);
    g_trace.push_back(std::move(entry));
}

void KpIoTraceIrp(const char* Who, PDEVICE_OBJECT Device, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    KpIoTraceEntry entry;
    entry.Who = Who;
    entry.Event = "irp";
    entry.Major = stack->MajorFunction;
    entry.Minor = stack->MinorFunction;
    if (entry.Major == IRP_MJ_DEVICE_CONTROL || entry.Major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        entry.IoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    }
    entry.Irql = KeGetCurrentIrql();
    entry.RequestorMode = Irp->RequestorMode;
    entry.Device = Device;
    entry.FileObject = stack->FileObject;
    AppendTrace(std::move(entry));
}

void KpIoTraceEvent(const char* Who, const char* Event, PDEVICE_OBJECT Device) {
    KpIoTraceEntry entry;
    entry.Who = Who;
    entry.Event = Event;
    entry.Irql = KeGetCurrentIrql();
    entry.Device = Device;
    AppendTrace(std::move(entry));
}

std::vector<KpIoTraceEntry> KpIoTraceEntries(void) {
    std::lock_guard<std::mutex> guard(g_traceLock);
    return g_trace;
}

void KpIoTraceClear(void) {
    std::lock_guard<std::mutex> guard(g_traceLock);
    g_trace.clear();
}
