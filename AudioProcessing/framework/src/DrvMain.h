// Driver start-up, the driver-wide objects, and the attachment of filter
// devices (master and slaves).
#pragma once

#include <wdm.h>

#include "FilterLogic.h"
#include "GenDispTypes.h"
#include "RemoveLock.h"
#include "StreamWorker.h"

class CDevice;

// The Plug and Play state of a filter device (the extension's words 2 and 3).
enum FilterPnpState : LONG {
    PNP_STATE_ATTACHED = 0,
    PNP_STATE_STARTED = 1,
    PNP_STATE_REMOVE_PENDING = 4,
    PNP_STATE_SURPRISE_REMOVED = 5,
    PNP_STATE_REMOVED = 6,
};

// The extension of every filter device object.  Words that the original
// layout keeps in 32 bits but that hold pointers are pointer-sized here.
struct FilterDeviceExtension {
    CDevice* Device;            // 1: owner of the device's objects
    LONG PnpState;              // 2: FilterPnpState, changed by SetPnpState only
    LONG PreviousPnpState;      // 3: the state before the last change
    PVOID NotificationHandle;   // 4: the master's interface notification
    volatile LONG* DsBusyFlag;  // 5: busy flag of the device's DsPresenceRecord
    volatile LONG RebuildFlag;  // 6: set by FlagAllDevicesForRebuild
    KSPIN_LOCK InstLock;        // 7: guards the instantiated variables
    PVOID InstPinDirsPtr;       // 8: -> HandledDirections
    ULONG InstPinDirsSize;      // 9: 4
    PVOID InstMasterStackPtr;   // 10: -> MasterFlag
    ULONG InstMasterStackSize;  // 11: 4
    ULONG MasterFlag;           // 12: 1 on the master device's stack
    ULONG NoManualSlaves;       // 13: the master's option
    ULONG HandledDirections;    // 14: VID_INST_PINDIRS
    // Host additions.  The remove lock lives as long as the device object, not
    // the CDevice: every request takes it before it reads Device, so a request
    // that arrives as the device goes never reaches a freed CDevice.
    ::RemoveLock Lock;
    volatile LONG Ready;  // 1 once CDevice::Init finished; until then requests pass straight down
};

inline FilterDeviceExtension* FilterExtension(PDEVICE_OBJECT fdo) {
    return static_cast<FilterDeviceExtension*>(fdo->DeviceExtension);
}
// The extension's CDevice as requests racing the removal read it, and the
// removal's store (interlocked: the removal clears it while requests look).
inline CDevice* DeviceOf(FilterDeviceExtension* ext) {
    return static_cast<CDevice*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&ext->Device), nullptr, nullptr));
}
inline void SetDeviceOf(FilterDeviceExtension* ext, CDevice* device) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->Device), device);
}

// One hooked device.
struct PdoListEntry {
    LIST_ENTRY Links;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT Fdo;
    ULONG DsPass;  // the last DirectSound pass that reached this device (0: none)
};

// ---------------------------------------------------------------------------
// Driver-wide objects (set up by DriverEntry, live until FilterUnload)
// ---------------------------------------------------------------------------
#define ZV_OPTION_NAME_CHARS 40  // prefix (at most 14) + the longest suffix (25) + terminator
extern WCHAR OptionNameNoLoad[ZV_OPTION_NAME_CHARS];
extern WCHAR OptionNameMaster[ZV_OPTION_NAME_CHARS];
extern WCHAR OptionNameNoManualSlaves[ZV_OPTION_NAME_CHARS];

extern LIST_ENTRY PdoList;
extern KSPIN_LOCK PdoListLock;
extern volatile LONG MasterTaken;
extern ULONG SavedProcessValue;
extern ULONG DsRegistryKeyType;

// The sync-control lock: a synchronisation event, signalled while free (no
// thread owns it, so that a completion may give back what a dispatch took).
extern KEVENT SyncControlLock;
// Signalled while the sync-control lock is kept by a state request on its way
// to the device or held there (a notification event).
extern KEVENT SyncControlHeldByState;
extern KMUTEX SlaveInstantiateMutex;

// ---------------------------------------------------------------------------
// Driver entry, unload and the dispatch of every major function
// ---------------------------------------------------------------------------
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
void FilterUnload(PDRIVER_OBJECT driver);
NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp);

// ---------------------------------------------------------------------------
// Attachment
// ---------------------------------------------------------------------------
// DriverEntry: the option names with the driver's prefix, the device list,
// the master role free, the slave work items' mutex.
void AttachInitialize(PCWSTR registryPrefix);
// Destroys and frees a CDevice (its CGenDisp with it).
void DestroyFilterDevice(CDevice* device);
NTSTATUS FilterAddDeviceEntry(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
NTSTATUS FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT* fdo,
                         PDEVICE_OBJECT* lower, ULONG isMaster);
void FilterGetInstallOptions(PDEVICE_OBJECT pdo, HANDLE key, PULONG noLoad, PULONG master,
                             PULONG noManualSlaves);
ULONG IsDeviceInList(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
ULONG FilterIsNewDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo, ListLookup add);
void FilterRemovePdoFromList(PDEVICE_OBJECT pdo);
NTSTATUS QueryTargetPdo(PDEVICE_OBJECT device, PFILE_OBJECT file, PDEVICE_OBJECT* pdo);
NTSTATUS OpenTargetByLink(PUNICODE_STRING link, PDEVICE_OBJECT* device, PFILE_OBJECT* file,
                          PDEVICE_OBJECT* pdo);
NTSTATUS FilterInterfaceNotificationCB(PVOID notification, PVOID context);
VOID FilterSlaveInstantiateWorkItem(PDEVICE_OBJECT device, PVOID context);
// Registers the master's KSCATEGORY_AUDIO interface notification (existing
// interfaces included) into its extension word 4.
void FilterRegisterInterfaceNotification(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo);
