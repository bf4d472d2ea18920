// The filter-logic descriptor: the one record through which the framework
// calls the driver's own filter logic, the small per-driver tables that each
// driver defines next to it, and the contract between the two.
//
// Each driver image defines, in its own sources:
//     const FilterLogicDescriptor* const g_FilterLogic;   // never written
//     const ULONG PnpStateBits;
//     const InterceptedPropertySetTable* const InterceptedPropertySets;
//     const InternalDeviceTable* const InternalDeviceList;
// The framework only reads them.  A logic calls the framework only through
// FilterLogicServices.h (and the log, allocator and probe headers).  The
// smallest complete logic, written against these headers alone, is the
// framework's test logic, tests/logic/RecordingLogic.cpp.
//
// THE CONTRACT
// Every call goes through one adapter per slot (src/LogicCalls.h), which
// skips an empty slot (OnGetRequiredFunctionFormat then answers ZV_FAILED,
// OnKSProperty STATUS_NOT_SUPPORTED) and, in builds with assertions,
// bug-checks a call that breaks the level and lock columns below.  Results
// are ZvStatus codes except OnKSProperty's NTSTATUS.  Of the results the
// framework uses only OnKSProperty's, OnGetRequiredFunctionFormat's (handed
// back to the logic's own caller), the channel OnOpen writes, and what
// OnGetAudioPosition and OnBuffer change in place; every other result is
// ignored.  "Sync" is the sync-control lock, "lists" the interceptor's
// filter-list and open-pin-list mutexes.  Every callback runs at
// PASSIVE_LEVEL.
//
// callback                   thread                                   held          may block
// OnFilterLoad               PnP (AddDevice, cancelled removal) or    sync          yes (1)
//                            the slave work item (critical queue)
// OnFilterUnload             PnP (query-remove, surprise removal,     sync          yes (1)
//                            removal)
// OnDecidePinDirs            PnP / slave work item, after             none          yes
//                            OnFilterLoad
// OnGetRequiredFunction-     the logic's own GetRequiredFunction-     the caller's  the caller's
//   Format                   Format call
// OnSetChannelState          the logic's own SetChannelState call,    the caller's  the caller's
//                            after the store
// OnSharedVariableChange     whoever stores the variable (an          for ids 1, 2  yes (2)
//                            application, PnP, the logic)             the shared
//                                                                     side-effect
//                                                                     mutex
// OnKSProperty               the requesting application, master       none          yes
//                            stack only, sets of
//                            InterceptedPropertySets
// OnOpen                     the create's completion: the completing  lists         briefly (3)
//                            thread, or a work item when that one
//                            ran at DISPATCH_LEVEL
// OnClose                    the closing request, a rebuild of the    lists         briefly (3)
//                            lists, or the device's removal
// OnSetFormat                the DATAFORMAT SET's completion (as      none          yes
//                            OnOpen)
// OnSetStreamState           STOP, ACQUIRE, PAUSE: the requesting     none          yes
//                            application, before the device sees the
//                            request; RUN: the completion once the    sync          yes (1)
//                            device accepted it (as OnOpen)
// OnGetAudioPosition         the POSITION GET's completion (as        none          yes
//                            OnOpen); may change the position
// OnBuffer                   render: the writing application, before  sync          yes (1)
//                            the device sees the data; capture: the
//                            stream worker thread, after the device
//                            filled them
//
// (1) Everything that needs the sync-control lock waits meanwhile: state
//     changes, render writes, capture deliveries, loads and unloads.  Such a
//     callback never waits for another of these.
// (2) It must not wait on work that stores id 1 or 2 (that work waits for
//     the mutex this thread holds).
// (3) Under the list mutexes: no wait on the sync-control lock, on a request
//     to this device, or on anything that takes the lists.
//
// Guarantees a logic may rely on:
//  - OnBuffer sees only the pin's own stream (writes on render pins, reads
//    on capture pins) and only well-formed requests: at least one header, at most
//    10, each Size inside the request, DataUsed within FrameExtent, every
//    header with bytes has its data mapped; Data and the header array are
//    system addresses for the length of the call.  A capture request's first
//    header had its FrameExtent cut to whole 10 ms blocks on the way down;
//    OnBuffer sees the application's extent again.
//  - OnBuffer, RUN and OnFilterLoad/OnFilterUnload of one driver never
//    overlap: all run under the sync-control lock.  A RUN the device holds
//    pending keeps the lock until it completes, so render writes wait.
//  - STOP, ACQUIRE and PAUSE are told before the request goes down, outside
//    the sync-control lock and after the list mutexes were released; states
//    outside STOP..RUN are never told.
//  - A pin is followed (OnSetFormat, OnSetStreamState, OnGetAudioPosition,
//    OnBuffer with its channel, OnClose) only while it owns the channel
//    OnOpen gave it; once the channel was released (and perhaps taken by
//    another pin) it is a pin without a channel.  Pins without a channel get
//    OnBuffer (channel -1) only while VID_SHARED_MUTEMODE is set.
//  - OnSetFormat tells the format the device took.  A pin whose new format
//    cannot be kept (no memory, no block alignment) or whose DATAFORMAT set
//    could not be followed gets no OnBuffer from then on: its blocks could
//    no longer be cut and counted.
//  - Callbacks keep being called after OnFilterUnload (until the driver
//    unloads); a logic answers them ZV_NOT_READY.
//
// Lock order: filter-list mutex, then open-pin-list mutex.  The sync-control
// lock and the shared side-effect mutex are never taken while a list mutex
// is held, and the shared side-effect mutex never under the sync-control
// lock.  The channel lock, the shared-variable lock and each device's
// instantiated-variable lock are spin locks: never held together, and no
// callback runs under them.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

// The small status codes of the framework's services and of the filter
// logics' callbacks, shared with the modules.
#include "ZvStatus.h"

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

// The thirteen callbacks (the contract above).
typedef ZvStatus (*OnFilterLoadFn)(CGenDisp* genDisp, ULONG isMaster, PDEVICE_OBJECT pdo,
                                   PDEVICE_OBJECT lower);
typedef ZvStatus (*OnFilterUnloadFn)(CGenDisp* genDisp, ULONG isMaster);
typedef ZvStatus (*OnDecidePinDirsFn)(CGenDisp* genDisp, ULONG isMaster);
typedef ZvStatus (*OnGetRequiredFunctionFormatFn)(LONG channel, ULONG direction,
                                                  ChannelFormat* format);
typedef ZvStatus (*OnSetChannelStateFn)(LONG channel, ULONG direction, ULONG state);
typedef ZvStatus (*OnSharedVariableChangeFn)(ULONG id, PVOID value, ULONG size);
typedef NTSTATUS (*OnKSPropertyFn)(CGenDisp* genDisp, PKSPROPERTY property, ULONG inputLength,
                                   PVOID output, PULONG byteCount);
typedef ZvStatus (*OnOpenFn)(CGenDisp* genDisp, ULONG direction, ChannelFormat* format,
                             PLONG channel, PDEVICE_OBJECT lower, PFILE_OBJECT pinFile,
                             PDEVICE_OBJECT fdo);
typedef ZvStatus (*OnCloseFn)(CGenDisp* genDisp, ULONG direction, LONG channel);
typedef ZvStatus (*OnSetFormatFn)(CGenDisp* genDisp, ULONG direction, ChannelFormat* format,
                                  LONG channel);
typedef ZvStatus (*OnSetStreamStateFn)(CGenDisp* genDisp, ULONG direction, KSSTATE state,
                                       LONG channel);
typedef ZvStatus (*OnGetAudioPositionFn)(CGenDisp* genDisp, ULONG direction,
                                         PKSAUDIO_POSITION position, LONG channel);
typedef ZvStatus (*OnBufferFn)(CGenDisp* genDisp, ULONG direction, PVOID headers, ULONG length,
                               LONG channel, PFILE_OBJECT pinFile);

// One constant record per driver.  An empty slot is skipped (an empty
// OnGetRequiredFunctionFormat makes GetRequiredFunctionFormat report
// ZV_FAILED).
struct FilterLogicDescriptor {
    PCSTR DriverName;       // the driver's name: its log lines, its keys
    PCWSTR RegistryPrefix;  // its driver-key options' prefix (at most 14 characters)
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
