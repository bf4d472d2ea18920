// The filter-logic descriptor: the one record through which the framework
// calls the driver's own filter logic, and the small per-driver tables that
// each driver defines next to it.
//
// Each driver image defines, in its own sources:
//     const FilterLogicDescriptor* const g_FilterLogic;   // never written
//     const ULONG PnpStateBits;
//     const InterceptedPropertySetTable* const InterceptedPropertySets;
//     const InternalDeviceTable* const InternalDeviceList;
// The framework only reads them.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

// The small status codes of the framework's services and of the filter
// logics' callbacks, shared with the modules; the framework's own names for 0,
// 1 and 11 follow them.
#include "ZvStatus.h"
inline constexpr ULONG ZV_OK = ZV_SUCCESS;
inline constexpr ULONG ZV_FAILED = ZV_UNSUCCESSFUL;
inline constexpr ULONG ZV_INVALID_PARAMETER = ZV_BAD_ARGUMENT;

// Direction of a channel: 1 render (loudspeaker, far end), 2 capture
// (microphone, near end).
enum ChannelDirection : ULONG {
    CHANNEL_RENDER = 1,
    CHANNEL_CAPTURE = 2,
};

// The format of a channel as the framework and the filter logic exchange it.
struct ChannelFormat {
    ULONG FormatTagAndChannels;  // wFormatTag low 16 bits, nChannels high 16 bits
    ULONG SamplesPerSec;
    ULONG AvgBytesPerSec;
    ULONG BitsPerSample;  // low 16 bits
    ULONG ChannelMask;
};
static_assert(sizeof(ChannelFormat) == 20, "ChannelFormat is five 32-bit words");

class CGenDisp;

// The thirteen callbacks.  Every one returns a 32-bit status (ZvStatus codes,
// NTSTATUS for OnKSProperty).
typedef ULONG (*OnFilterLoadFn)(CGenDisp* genDisp, ULONG isMaster, PDEVICE_OBJECT pdo,
                                PDEVICE_OBJECT lower);
typedef ULONG (*OnFilterUnloadFn)(CGenDisp* genDisp, ULONG isMaster);
typedef ULONG (*OnDecidePinDirsFn)(CGenDisp* genDisp, ULONG isMaster);
typedef ULONG (*OnGetRequiredFunctionFormatFn)(LONG channel, ULONG direction,
                                               ChannelFormat* format);
typedef ULONG (*OnSetChannelStateFn)(LONG channel, ULONG direction, ULONG state);
typedef ULONG (*OnSharedVariableChangeFn)(ULONG id, PVOID value, ULONG size);
typedef NTSTATUS (*OnKSPropertyFn)(CGenDisp* genDisp, PKSPROPERTY property, ULONG inputLength,
                                   PVOID output, PULONG byteCount);
typedef ULONG (*OnOpenFn)(CGenDisp* genDisp, ULONG direction, ChannelFormat* format, PLONG channel,
                          PDEVICE_OBJECT lower, PFILE_OBJECT pinFile, PDEVICE_OBJECT fdo);
typedef ULONG (*OnCloseFn)(CGenDisp* genDisp, ULONG direction, LONG channel);
typedef ULONG (*OnSetFormatFn)(CGenDisp* genDisp, ULONG direction, ChannelFormat* format,
                               LONG channel);
typedef ULONG (*OnSetStreamStateFn)(CGenDisp* genDisp, ULONG direction, KSSTATE state,
                                    LONG channel);
typedef ULONG (*OnGetAudioPositionFn)(CGenDisp* genDisp, ULONG direction,
                                      PKSAUDIO_POSITION position, LONG channel);
typedef ULONG (*OnBufferFn)(CGenDisp* genDisp, ULONG direction, PVOID headers, ULONG length,
                            LONG channel, PFILE_OBJECT pinFile);

// One constant record per driver.  An empty slot is skipped (slot 3 reports
// ZV_FAILED).
struct FilterLogicDescriptor {
    PCSTR DriverName;       // "Echowell" / "Mutewell"
    PCWSTR RegistryPrefix;  // u"ZAEC" / u"ZSAM"
    OnFilterLoadFn OnFilterLoad;
    OnFilterUnloadFn OnFilterUnload;
    OnDecidePinDirsFn OnDecidePinDirs;
    OnGetRequiredFunctionFormatFn OnGetRequiredFunctionFormat;
    OnSetChannelStateFn OnSetChannelState;
    OnSharedVariableChangeFn OnSharedVariableChange;
    OnKSPropertyFn OnKSProperty;
    OnOpenFn OnOpen;
    OnCloseFn OnClose;
    OnSetFormatFn OnSetFormat;
    OnSetStreamStateFn OnSetStreamState;
    OnGetAudioPositionFn OnGetAudioPosition;
    OnBufferFn OnBuffer;
    ULONG SyncControlEnabled;
};

// {count, sets}: requests of these property sets go to OnKSProperty.
struct InterceptedPropertySetTable {
    ULONG Count;
    const GUID* Sets;
};

// {count, entries}: when it has entries, only a listed device may become master.
struct InternalDeviceEntry {
    ULONG VendorId;
    ULONG ProductId;
    ULONG MinimumRevision;
};
struct InternalDeviceTable {
    ULONG Count;
    const InternalDeviceEntry* Entries;
};

// Defined by each driver.
extern const FilterLogicDescriptor* const g_FilterLogic;
extern const ULONG PnpStateBits;
extern const InterceptedPropertySetTable* const InterceptedPropertySets;
extern const InternalDeviceTable* const InternalDeviceList;

// The two drivers' own property sets.
DEFINE_GUID(KSPROPSETID_AecControl, 0x05F610B4, 0xA4F5, 0x4471, 0x9B, 0xF6, 0x5A, 0x17, 0xB4, 0xD1,
            0x3E, 0x7F);
DEFINE_GUID(KSPROPSETID_SwitchMute, 0xB6DA90F1, 0xC840, 0x4EEB, 0x9A, 0x2C, 0xFD, 0xF3, 0xE0, 0x43,
            0xBD, 0x67);
