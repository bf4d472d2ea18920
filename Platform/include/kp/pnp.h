// Host-only: the simulated machine's folder and its Plug and Play manager.
//
// A machine folder holds what a Windows machine would: registry.reg (the
// registry in the registry editor's text form), Windows\System32\drivers\ with
// the driver images, Windows\Temp, Program Files.  Windows paths map into it.
//
// The PnP manager builds a device's stack from the registry's device tree:
//   ...\CurrentControlSet\Enum\<enumerator>\<device>\<instance>
//       HardwareID, CompatibleIDs (REG_MULTI_SZ), Service, Class, ClassGUID,
//       Driver ("{class guid}\NNNN": the software key under Control\Class),
//       UpperFilters, LowerFilters (REG_MULTI_SZ), DeviceDesc, FriendlyName, Mfg,
//       KpInterfaces (REG_MULTI_SZ: interfaces the bus enables after the start)
//   ...\CurrentControlSet\Control\Class\{class guid}: UpperFilters, LowerFilters
//   ...\CurrentControlSet\Services\<name>: ImagePath, Type, Start
// The built-in bus driver ("\Driver\KpBus") owns the physical device objects.
// AddDevice runs in stack order (device lower filters, class lower filters,
// function driver, device upper filters, class upper filters), then
// IRP_MN_START_DEVICE goes to the top of the stack.  PnP requests for one device
// are serialised; the calling thread acts as the PnP manager's thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/io.h"

// ---------------------------------------------------------------------------
// Machine folder
// ---------------------------------------------------------------------------
// Sets the folder (created with its standard subfolders when missing).
bool KpMachineSetFolder(const std::filesystem::path& Folder, std::string* Error);
std::filesystem::path KpMachineFolder(void);
// "C:\Windows\...", "\SystemRoot\...", "%SystemRoot%\...", "\??\C:\...",
// "System32\..." (relative to the Windows folder) and "C:\..." map into the
// folder; each component is matched without regard to case against what exists.
// Other drives and forms give nothing.
std::optional<std::filesystem::path> KpMapWindowsPath(std::u16string_view WindowsPath);
// Loads <folder>\registry.reg into the machine's registry store (replacing it).
// The process then holds <folder>\machine.lock until KpMachineSaveRegistry or
// another folder: a tool working on the file refuses to change it meanwhile,
// since the machine's save would overwrite the change.
bool KpMachineLoadRegistry(std::string* Error);
// Saves the store to <folder>\registry.reg (volatile keys left out; temporary
// file and rename) under <folder>\registry.lock, which every writer of the
// file holds, and releases machine.lock.
bool KpMachineSaveRegistry(std::string* Error);

// A lock file of the machine folder ("registry.lock", "machine.lock") held
// with flock(Operation) for the object's life; Held() is false when the file
// cannot be opened or the lock is not granted (LOCK_NB).
class KpMachineFileLock {
public:
    KpMachineFileLock(const std::filesystem::path& Folder, const char* Name, int Operation);
    ~KpMachineFileLock();
    KpMachineFileLock(const KpMachineFileLock&) = delete;
    KpMachineFileLock& operator=(const KpMachineFileLock&) = delete;
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// ---------------------------------------------------------------------------
// Registry paths the PnP manager uses
// ---------------------------------------------------------------------------
inline constexpr std::u16string_view kKpEnumPath =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
inline constexpr std::u16string_view kKpClassPath =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
inline constexpr std::u16string_view kKpServicesPath =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
// Device-interface records: DeviceClasses\{class}\<link with # for \> holds
// DeviceInstance, SymbolicLink and ReferenceString; its volatile subkey
// "Control" holds "Linked" (1 while the interface is enabled).  Records stay
// when their device goes, so a process that loads the saved registry sees the
// interfaces, inactive.
inline constexpr std::u16string_view kKpDeviceClassesPath =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses";
inline constexpr std::u16string_view kKpHwProfilePath =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware "
    u"Profiles\\Current\\System\\CurrentControlSet";

// ---------------------------------------------------------------------------
// Devices
// ---------------------------------------------------------------------------
enum KP_PNP_STATE {
    KpPnpNotStarted,
    KpPnpStarted,
    KpPnpQueryRemoved,
    KpPnpSurpriseRemoved,
    KpPnpRemoved,
};

// A device's Enum entry written from code rather than a .reg file.
struct KpPnpDeviceDescription {
    std::u16string InstancePath;  // "USB\VID_1234&PID_ABCD\5&1&0"
    std::vector<std::u16string> HardwareIds;
    std::u16string Service;    // the function driver
    std::u16string ClassGuid;  // "{...}"; empty: the media class
    std::vector<std::u16string> UpperFilters;
    std::vector<std::u16string> LowerFilters;
    // Interfaces the bus publishes for the device once it started: "{class guid}"
    // or "{class guid}\reference string" (the Enum value "KpInterfaces").
    std::vector<std::u16string> BusInterfaces;
};
// Writes HardwareID, Service, ClassGUID, Driver (a new software key name under
// the class) and the filters into the instance's Enum key.
NTSTATUS KpPnpWriteDevice(const KpPnpDeviceDescription& Device);

// Creates the device of an Enum instance ("USB\VID_1234&PID_ABCD\5&1&0"), builds
// its stack and starts it.  Works at any time: a device plugged in while others
// run.  Failure of AddDevice or START removes what was built.  *Pdo (optional)
// gets the physical device object; it stays valid until the device is removed.
NTSTATUS KpPnpAddDevice(std::u16string_view InstancePath, PDEVICE_OBJECT* Pdo);
// Adds every instance under Enum that is not present yet, in key order.
NTSTATUS KpPnpEnumerateAll(void);
// Loads <folder>\registry.reg and enumerates every instance.
NTSTATUS KpPnpBoot(void);

PDEVICE_OBJECT KpPnpFindPdo(std::u16string_view InstancePath);
KP_PNP_STATE KpPnpGetState(PDEVICE_OBJECT Pdo);
// The PNP_DEVICE_STATE bits the stack reported after its start.
ULONG KpPnpDeviceStateBits(PDEVICE_OBJECT Pdo);

// The orderly removal: QUERY_REMOVE; on success the device's interfaces are
// disabled and REMOVE follows; on failure CANCEL_REMOVE and the failure status.
NTSTATUS KpPnpRemoveDevice(PDEVICE_OBJECT Pdo);
// The steps one at a time.  QueryRemove leaves the device query-removed on
// success (on failure it sends CANCEL_REMOVE itself); CancelRemove restarts it.
NTSTATUS KpPnpQueryRemove(PDEVICE_OBJECT Pdo);
NTSTATUS KpPnpCancelRemove(PDEVICE_OBJECT Pdo);
// Restarts a device after a change of its configuration (filters, options):
// the orderly removal, then KpPnpAddDevice of the same instance, so the stack
// is rebuilt from the registry.  STATUS_DEVICE_BUSY, with nothing sent, while
// file objects of the device are open; a refused query-remove leaves the device
// running and gives its status; a failed re-add leaves it removed.  The old PDO
// is gone on success: fetch the new one with KpPnpFindPdo.
NTSTATUS KpPnpRestartDevice(PDEVICE_OBJECT Pdo);
// The services of the device objects above the PDO, bottom to top, filters
// attached at run time included.
std::vector<std::u16string> KpPnpStackServices(PDEVICE_OBJECT Pdo);
// Disables the interfaces and sends SURPRISE_REMOVAL; REMOVE follows with
// KpPnpRemove once the test has closed what it opened.
NTSTATUS KpPnpSurpriseRemove(PDEVICE_OBJECT Pdo);
// REMOVE_DEVICE to the top of the stack (after a surprise removal, a query-remove,
// or bare).  Afterwards every device object above the PDO must be detached and
// deleted (reported as STATUS_UNSUCCESSFUL otherwise); the PDO is deleted and
// drivers left without device objects are unloaded.  STATUS_DEVICE_BUSY while
// file objects of the device are still open.
NTSTATUS KpPnpRemove(PDEVICE_OBJECT Pdo);
// IRP_MJ_POWER / IRP_MN_SET_POWER for a device power state, to the top.
NTSTATUS KpPnpSetDevicePower(PDEVICE_OBJECT Pdo, DEVICE_POWER_STATE State);
// Removes every device (newest first) and unloads the drivers.
void KpPnpShutdown(void);
// Unloads every driver loaded for a device stack that has no device objects,
// work items or stacks left (done after each removal too).  Drivers loaded
// directly (KpLoadDriver) stay until KpUnloadDriver.
void KpPnpUnloadIdleDrivers(void);

// Test hooks on one device.
// IoOpenDeviceRegistryKey(Pdo, KeyType, ...) fails with Status (STATUS_SUCCESS clears it).
void KpPnpFailRegistryKey(PDEVICE_OBJECT Pdo, ULONG KeyType, NTSTATUS Status);
// The bus driver answers IRP_MN_QUERY_INTERFACE with Handler's status unless it
// is STATUS_NOT_SUPPORTED (then the request keeps its status).
typedef NTSTATUS KP_QUERY_INTERFACE_HANDLER(PVOID Context, PDEVICE_OBJECT Pdo,
                                            PIO_STACK_LOCATION Stack);
void KpPnpSetQueryInterfaceHandler(PDEVICE_OBJECT Pdo, KP_QUERY_INTERFACE_HANDLER* Handler,
                                   PVOID Context);
// The same by Enum instance path (without regard to case), for a device that
// does not exist yet: every PDO created for the instance from now on (at boot,
// a plug-in, a restart) gets Handler before its stack is built, so the handler
// answers the queries that its drivers send while they start.  A device of the
// instance already present gets it at once.  A null Handler removes it, from
// the present device too: no query that arrives after this returns reaches it.
// The entry outlives the devices and the machine: remove it when done.
void KpPnpSetInstanceQueryInterfaceHandler(std::u16string_view InstancePath,
                                           KP_QUERY_INTERFACE_HANDLER* Handler, PVOID Context);
// Interface links currently registered for a device ("\??\...").
std::vector<std::u16string> KpPnpInterfaceLinks(PDEVICE_OBJECT Pdo, bool EnabledOnly);
ULONG KpPnpNotificationCount(void);  // registrations now in place
