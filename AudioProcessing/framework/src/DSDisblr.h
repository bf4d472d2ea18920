// The DirectSound disabler: while DirectSound is to be kept off a device, its
// DirectSound values in the device's registry key are overwritten, and put
// back when the last disable is undone.  A disable count per direction in the
// registry lets disables nest and lets a count left over from an earlier run be
// undone when the device is first hooked.  All at PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

// Direction flag: 1 the render keys ("DirectSound\..."), 0 the capture keys
// ("DirectSoundCapture\...").
#define DS_DIRECTION_RENDER 1
#define DS_DIRECTION_CAPTURE 0

// Shared by every driver of this system on one PDO: a driver-object extension
// of the PDO's own driver object, keyed by the PDO.
struct DsPresenceRecord {
    volatile LONG Marker;    // "ZVKA" once the left-over reset is done
    volatile LONG BusyFlag;  // 0 free, 1 taken
};
#define DS_PRESENCE_MARKER \
    ((LONG)(((ULONG)'A' << 24) | ((ULONG)'K' << 16) | ((ULONG)'V' << 8) | (ULONG)'Z'))

// A null key makes each operation open (and close) the PDO's device key.
void ReadDsDisableCount(HANDLE key, PDEVICE_OBJECT pdo, PULONG count, ULONG direction);
void WriteDsDisableCount(HANDLE key, PDEVICE_OBJECT pdo, ULONG count, ULONG direction);
void ReadDsSettings(HANDLE key, PDEVICE_OBJECT pdo, ULONG saved, PULONG vxd, PULONG wdm,
                    PULONG acceleration, ULONG direction);
void WriteDsSettings(HANDLE key, PDEVICE_OBJECT pdo, ULONG saved, ULONG vxd, ULONG wdm,
                     ULONG acceleration, ULONG direction);
void SaveDsSettings(HANDLE key, PDEVICE_OBJECT pdo, ULONG direction);
ULONG AcquireDsBusy(volatile LONG* flag);
ULONG ReleaseDsBusy(volatile LONG* flag);
ULONG DisableDirectSound(PDEVICE_OBJECT pdo, ULONG direction);
ULONG EnableDirectSound(PDEVICE_OBJECT pdo, ULONG direction);
void ResetDsState(HANDLE key, PDEVICE_OBJECT pdo, ULONG direction);
NTSTATUS ResetDsStateOnce(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo);
// Disables (value non-zero) or enables DirectSound in both directions, render
// first, under the device's busy flag.
void ApplyDsStateToDevice(PDEVICE_OBJECT pdo, volatile LONG* busyFlag, ULONG value);
// The busy flag that devices without their own record share.
extern volatile LONG DsFallbackBusyFlag;
