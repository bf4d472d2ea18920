// What a filter logic may call of the framework: the channel table, the
// shared and instantiated variables, the few interceptor operations a logic
// needs (the open-pin list and a pin's format, the device objects) and the KS
// request sender's free functions.  The interceptor itself stays opaque.
//
// Levels and locks: the channel and variable services take spin locks of
// their own and run at any IRQL up to DISPATCH_LEVEL, except SetSharedVariable
// (PASSIVE_LEVEL: its side effects open registry keys and wait) and the
// services that call back into the logic (SetChannelState,
// GetRequiredFunctionFormat), which run at the caller's level.  No callback
// runs under the services' spin locks.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "FilterLogic.h"

class CGenDisp;
struct OpenPinEntry;

#define ZV_CHANNEL_COUNT 10

// The state of a channel (the logics map KSSTATE_STOP, KSSTATE_PAUSE and
// KSSTATE_RUN to 1, 2 and 3; KSSTATE_ACQUIRE is not passed on).
enum ChannelState : ULONG {
    CHANNEL_STATE_UNSET = 0,  // acquired, no state set yet
    CHANNEL_STATE_STOPPED = 1,
    CHANNEL_STATE_PAUSED = 2,
    CHANNEL_STATE_RUNNING = 3,
};

// Shared variables (driver-wide, 4 bytes each).
enum SharedVariableId : ULONG {
    VID_SHARED_DSDISABLE = 1,  // DirectSound disabled on every device
    VID_SHARED_PROCESS = 2,    // processing on; follows into VID_SHARED_DSDISABLE
    VID_SHARED_BWLIMIT = 3,    // bandwidth limit of the range rewrite
    VID_SHARED_MUTEMODE = 4,   // pins without a channel are handed to OnBuffer too
};
// Instantiated variables (per filter device, 4 bytes each).
enum InstantiatedVariableId : ULONG {
    VID_INST_PINDIRS = 1,      // directions the logic handles: 1 render, 2 capture, 3 both
    VID_INST_MASTERSTACK = 2,  // 1 on the master device's stack
};

// ---------------------------------------------------------------------------
// Channels.  channel 0..9, direction CHANNEL_RENDER or CHANNEL_CAPTURE, else
// ZV_INVALID_PARAMETER.  ZV_NOT_READY when the channel is not acquired.
// ---------------------------------------------------------------------------
[[nodiscard]] ZvStatus AcquireChannel(LONG channel, ULONG direction, PDEVICE_OBJECT lower,
                                      PFILE_OBJECT pinFile, PDEVICE_OBJECT fdo);
// ZV_FAILED when it was not acquired.
[[nodiscard]] ZvStatus ReleaseChannel(LONG channel, ULONG direction);
[[nodiscard]] ZvStatus GetChannelFormat(LONG channel, ULONG direction, ChannelFormat* format);
[[nodiscard]] ZvStatus SetChannelFormat(LONG channel, ULONG direction, const ChannelFormat* format);
// count: render, the frames written; capture, the frames completed.
[[nodiscard]] ZvStatus GetChannelInfo(LONG channel, ULONG direction, PDEVICE_OBJECT* lower,
                                      PFILE_OBJECT* pinFile, PULONGLONG count, PDEVICE_OBJECT* fdo);
[[nodiscard]] ZvStatus GetChannelState(LONG channel, ULONG direction, PULONG state);
// Stores state (1..3) and then calls OnSetChannelState; returns the store's status.
[[nodiscard]] ZvStatus SetChannelState(LONG channel, ULONG direction, ULONG state);
[[nodiscard]] ZvStatus GetChannelPosition(LONG channel, ULONG direction, PULONGLONG position);
// The logic's OnGetRequiredFunctionFormat, or ZV_FAILED when the slot is empty.
[[nodiscard]] ZvStatus GetRequiredFunctionFormat(LONG channel, ULONG direction,
                                                 ChannelFormat* format);

// ---------------------------------------------------------------------------
// Variables.  ZV_BUFFER_TOO_SMALL when the caller's buffer or size is smaller
// than the value (the size is then left unchanged).
// ---------------------------------------------------------------------------
[[nodiscard]] ZvStatus GetSharedVariable(ULONG id, PVOID value, PULONG size);
// Stores, runs the built-in action (ids 1 and 3) and OnSharedVariableChange.
// Ids 1 and 2 only change on a change between zero and non-zero.
// PASSIVE_LEVEL; never from a callback that holds the sync-control lock or a
// list mutex.
[[nodiscard]] ZvStatus SetSharedVariable(ULONG id, PVOID value, ULONG size);
[[nodiscard]] ZvStatus GetInstantiatedVariable(CGenDisp* genDisp, ULONG id, PVOID value,
                                               PULONG size);
[[nodiscard]] ZvStatus SetInstantiatedVariable(CGenDisp* genDisp, ULONG id, PVOID value,
                                               ULONG size);

// ---------------------------------------------------------------------------
// The interceptor of a device (PASSIVE_LEVEL)
// ---------------------------------------------------------------------------
PDEVICE_OBJECT GetFilterDevice(CGenDisp* genDisp);
PDEVICE_OBJECT GetLowerDevice(CGenDisp* genDisp);
PDEVICE_OBJECT GetPhysicalDevice(CGenDisp* genDisp);
// The open-pin-list mutex (a logic takes it only outside the callbacks that
// run under it, see the contract).
void LockOpenPinList(CGenDisp* genDisp);
void UnlockOpenPinList(CGenDisp* genDisp);
// The open pin of a pin file object, without adding one; 1 when found.  The
// entry is valid while the caller holds the open-pin-list mutex.
ULONG GetOpenPinFromList(CGenDisp* genDisp, PFILE_OBJECT pinFile, OpenPinEntry** entry);
// The pin's current format in the channel table's form (zeroed for a format
// that is not a wave format); 1.  The caller holds the open-pin-list mutex.
ULONG FormatToChannelFormat(const OpenPinEntry* entry, ChannelFormat* format);

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------
// The performance counter in 100 ns units, from any IRQL: the time the stream
// paths stamp and the logics' timing measures against.
ULONGLONG QueryTime100ns();

// ---------------------------------------------------------------------------
// The KS request sender (PASSIVE_LEVEL)
// ---------------------------------------------------------------------------
// A KS IOCTL on file to device, waited for; byteCount may be null.
NTSTATUS SendKsIoctl(ULONG code, PDEVICE_OBJECT device, PFILE_OBJECT file, PVOID input,
                     ULONG inputLength, PVOID output, ULONG outputLength, PULONG byteCount);
// KSPROPERTY_AUDIO_POSITION of a pin: ZV_OK or ZV_FAILED.
[[nodiscard]] ZvStatus GetAudioPosition(PDEVICE_OBJECT device, PFILE_OBJECT pinFile,
                                        PKSAUDIO_POSITION position);
