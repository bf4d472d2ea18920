// The framework's services to the filter logic: the channel table, the shared
// and instantiated variables, and three small helpers.  Every service returns
// ZvStatus codes.
#pragma once

#include <wdm.h>

#include "FilterLogic.h"

#define ZV_CHANNEL_COUNT 10

// Shared variables (driver-wide).
#define VID_SHARED_DSDISABLE 1
#define VID_SHARED_PROCESS 2
#define VID_SHARED_BWLIMIT 3
#define VID_SHARED_MUTEMODE 4
// Instantiated variables (per filter device).
#define VID_INST_PINDIRS 1
#define VID_INST_MASTERSTACK 2

struct ChannelRecord {
    ULONG Acquired;
    ChannelFormat Format;
    ULONG State;  // 0 until first set, then 1 stopped, 2 paused, 3 running
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Fdo;
    PFILE_OBJECT PinFile;
    ULONGLONG Position;
    ULONGLONG CompletedCount;
};

// {pointer, size} entry of a variable table.
struct VariableEntry {
    PVOID Value;
    ULONG Size;
};

extern ChannelRecord ChannelTable[2 * ZV_CHANNEL_COUNT];
extern KSPIN_LOCK ChannelTableLock;
extern VariableEntry SharedVariableTable[4];
extern KSPIN_LOCK SharedVariableLock;

// DriverEntry: zeroes the tables, the variables, and initialises the locks.
void InitializeChannelAndVariableTables();

ULONG StoreVariable(PVOID source, ULONG sourceSize, VariableEntry* table, ULONG index);
ULONG LoadVariable(PVOID destination, PULONG size, VariableEntry* table, ULONG index);

// Channel services.
ULONG GetChannelFormat(LONG channel, ULONG direction, ChannelFormat* format);
ULONG SetChannelFormat(LONG channel, ULONG direction, const ChannelFormat* format);
ULONG AcquireChannel(LONG channel, ULONG direction, PDEVICE_OBJECT lower, PFILE_OBJECT pinFile,
                     PDEVICE_OBJECT fdo);
ULONG ReleaseChannel(LONG channel, ULONG direction);
ULONG GetChannelInfo(LONG channel, ULONG direction, PDEVICE_OBJECT* lower, PFILE_OBJECT* pinFile,
                     PULONGLONG count, PDEVICE_OBJECT* fdo);
ULONG GetRequiredFunctionFormat(LONG channel, ULONG direction, ChannelFormat* format);
ULONG GetChannelState(LONG channel, ULONG direction, PULONG state);
ULONG SetChannelState(LONG channel, ULONG direction, ULONG state);
ULONG GetChannelPosition(LONG channel, ULONG direction, PULONGLONG position);
ULONG UpdateChannelPosition(LONG channel, ULONG direction, ULONGLONG frames, ULONG set);
ULONG UpdateChannelTransferCount(LONG channel, ULONG direction, ULONGLONG frames, ULONG set);
// 1 when the channel is acquired by this pin file object (a pin whose channel
// was released and taken by another pin no longer owns it).
ULONG IsChannelOwner(LONG channel, ULONG direction, PFILE_OBJECT pinFile);
// The position and count updates of the stream paths: applied only while
// pinFile owns the channel (one hold of the channel lock for the check and
// the update), ZV_NOT_READY otherwise.  Any IRQL up to DISPATCH_LEVEL.
ULONG UpdateOwnedChannelPosition(LONG channel, ULONG direction, PFILE_OBJECT pinFile,
                                 ULONGLONG frames, ULONG set);
ULONG UpdateOwnedChannelTransferCount(LONG channel, ULONG direction, PFILE_OBJECT pinFile,
                                      ULONGLONG frames, ULONG set);

// Variable services.
ULONG GetSharedVariable(ULONG id, PVOID value, PULONG size);
ULONG SetSharedVariable(ULONG id, PVOID value, ULONG size);
ULONG GetInstantiatedVariable(CGenDisp* genDisp, ULONG id, PVOID value, PULONG size);
ULONG SetInstantiatedVariable(CGenDisp* genDisp, ULONG id, PVOID value, ULONG size);
// Reads a 4-byte shared variable; 0 when it cannot be read.
ULONG ReadSharedValue(ULONG id);
void ApplyDsDisableToAllDevices(ULONG value);
void FlagAllDevicesForRebuild();

// Helpers.
ULONGLONG QueryTime100ns();
// floor(counter * 10^7 / frequency), exact for frequencies below 2^32.
ULONGLONG ScaleTo100ns(ULONGLONG counter, ULONGLONG frequency);
PWCHAR GetHardwareID(PDEVICE_OBJECT pdo, PULONG size);
void ParseHardwareId(PWCHAR text, PULONG vendorId, PULONG productId, PULONG revision);
