// The framework's side of the channel table and the variables: what the
// filter logic may call (FilterLogicServices.h) and what only the framework's
// own units use.  The tables themselves are private to ZvKAPFWi.cpp (tests
// see them through ZvKAPFWiTables.h).
#pragma once

#include <wdm.h>

#include "FilterLogicServices.h"

// A position or count update: frames added, or the value set to frames.
enum class CountUpdate : ULONG { Add = 0, Set = 1 };

// DriverEntry: zeroes the tables, the variables, and initialises the locks.
void InitializeChannelAndVariableTables();

// The stream paths' position and count updates.  UpdateChannelPosition and
// UpdateChannelTransferCount work on any channel record, acquired or not.
ZvStatus UpdateChannelPosition(LONG channel, ULONG direction, ULONGLONG frames, CountUpdate set);
ZvStatus UpdateChannelTransferCount(LONG channel, ULONG direction, ULONGLONG frames,
                                    CountUpdate set);
// 1 when the channel is acquired by this pin file object (a pin whose channel
// was released and taken by another pin no longer owns it).
ULONG IsChannelOwner(LONG channel, ULONG direction, PFILE_OBJECT pinFile);
// The position and count updates of the stream paths: applied only while
// pinFile owns the channel (one hold of the channel lock for the check and
// the update), ZV_NOT_READY otherwise.  Any IRQL up to DISPATCH_LEVEL.
ZvStatus UpdateOwnedChannelPosition(LONG channel, ULONG direction, PFILE_OBJECT pinFile,
                                    ULONGLONG frames, CountUpdate set);
ZvStatus UpdateOwnedChannelTransferCount(LONG channel, ULONG direction, PFILE_OBJECT pinFile,
                                         ULONGLONG frames, CountUpdate set);

// Reads a 4-byte shared variable; 0 when it cannot be read.
ULONG ReadSharedValue(ULONG id);
void ApplyDsDisableToAllDevices(ULONG value);
void FlagAllDevicesForRebuild();

// Helpers.
// floor(counter * 10^7 / frequency), exact for frequencies below 2^32.
ULONGLONG ScaleTo100ns(ULONGLONG counter, ULONGLONG frequency);
PWCHAR GetHardwareID(PDEVICE_OBJECT pdo, PULONG size);
void ParseHardwareId(PWCHAR text, PULONG vendorId, PULONG productId, PULONG revision);
