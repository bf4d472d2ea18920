// What the two filter logics (Echowell, Mutewell) have in common: the
// callbacks each defines for its descriptor, the descriptor built from them,
// the slots of the modules a master load creates and an unload deletes, and
// the count of calls in progress that a teardown waits out.  Each driver
// image compiles its own copy, so the log lines below go to that driver's
// "FilterLogic" module.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "FilterLogic.h"
#include "FilterLogicServices.h"
#include "ZDebug.h"

// ---------------------------------------------------------------------------
// Callbacks (the descriptor's slots; every logic defines all thirteen)
// ---------------------------------------------------------------------------
ZvStatus OnFilterLoad(CGenDisp* genDisp, ULONG isMaster, PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower);
ZvStatus OnFilterUnload(CGenDisp* genDisp, ULONG isMaster);
ZvStatus OnDecidePinDirs(CGenDisp* genDisp, ULONG isMaster);
ZvStatus OnGetRequiredFunctionFormat(LONG channel, ULONG direction, ChannelFormat* format);
ZvStatus OnSetChannelState(LONG channel, ULONG direction, ULONG state);
ZvStatus OnSharedVariableChange(ULONG id, PVOID value, ULONG size);
NTSTATUS OnKSProperty(CGenDisp* genDisp, PKSPROPERTY property, ULONG inputLength, PVOID output,
                      PULONG byteCount);
ZvStatus OnOpen(CGenDisp* genDisp, ULONG direction, ChannelFormat* format, PLONG channel,
                PDEVICE_OBJECT lower, PFILE_OBJECT pinFile, PDEVICE_OBJECT fdo);
ZvStatus OnClose(CGenDisp* genDisp, ULONG direction, LONG channel);
ZvStatus OnSetFormat(CGenDisp* genDisp, ULONG direction, ChannelFormat* format, LONG channel);
ZvStatus OnSetStreamState(CGenDisp* genDisp, ULONG direction, KSSTATE state, LONG channel);
ZvStatus OnGetAudioPosition(CGenDisp* genDisp, ULONG direction, PKSAUDIO_POSITION position,
                            LONG channel);
ZvStatus OnBuffer(CGenDisp* genDisp, ULONG direction, PVOID headers, ULONG length, LONG channel,
                  PFILE_OBJECT pinFile);

// ---------------------------------------------------------------------------
// The driver's objects
// ---------------------------------------------------------------------------
// The descriptor of the logic defined by the callbacks above: its driver name
// and the prefix of its registry values; OnBuffer runs under the framework's
// sync-control lock.
constexpr FilterLogicDescriptor LogicDescriptor(PCSTR driverName, PCWSTR registryPrefix) {
    return {
        .DriverName = driverName,
        .RegistryPrefix = registryPrefix,
        .OnFilterLoad = OnFilterLoad,
        .OnFilterUnload = OnFilterUnload,
        .OnDecidePinDirs = OnDecidePinDirs,
        .OnGetRequiredFunctionFormat = OnGetRequiredFunctionFormat,
        .OnSetChannelState = OnSetChannelState,
        .OnSharedVariableChange = OnSharedVariableChange,
        .OnKSProperty = OnKSProperty,
        .OnOpen = OnOpen,
        .OnClose = OnClose,
        .OnSetFormat = OnSetFormat,
        .OnSetStreamState = OnSetStreamState,
        .OnGetAudioPosition = OnGetAudioPosition,
        .OnBuffer = OnBuffer,
        .SyncControlEnabled = 1,
    };
}

// No internal-device list: any device may become master.
inline constexpr InternalDeviceTable kNoInternalDevices = {.Count = 0, .Entries = nullptr};

// ---------------------------------------------------------------------------
// Module slots (PASSIVE_LEVEL)
// ---------------------------------------------------------------------------
// Creates a module in *slot for the master's pdo with the driver's instance
// code; a failure is logged under `name`.  A module whose constructor failed
// stays in its slot for the unload to delete.  true when it was built.
template <class Module>
bool CreateModule(Module** slot, PDEVICE_OBJECT pdo, ULONG instanceCode, PCSTR name) {
    ULONG status = ZV_OK;
    *slot = new Module(pdo, instanceCode, &status);
    if (*slot != nullptr && status == ZV_OK) return true;
    LogModule<LogModuleFilterLogic>::ModulePrint(
        1, "OnFilterLoad> Failed to Instantiate %s Module status - 0x%lx \n", name, ZV_FAILED);
    return false;
}

// Empties *slot and then deletes what it held (nothing when it was empty).
template <class Object>
void DestroySlot(Object** slot) {
    Object* object = *slot;
    *slot = nullptr;
    delete object;
}

// ---------------------------------------------------------------------------
// What both logics answer alike
// ---------------------------------------------------------------------------
// Non-zero while the callbacks answer: set before any master load, cleared by
// a master unload, set again by a master load that built its objects.
extern volatile LONG g_bFilterLoaded;

inline bool LogicLoaded() {
    return InterlockedOr(&g_bFilterLoaded, 0) != 0;
}

// OnClose: the closing pin's channel is released.
inline ZvStatus CloseChannel(LONG channel, ULONG direction) {
    if (!LogicLoaded()) return ZV_NOT_READY;
    ZvStatus status = ReleaseChannel(channel, direction);
    if (status != ZV_OK)
        LogModule<LogModuleFilterLogic>::ModulePrint(
            1, "OnClose> ReleaseChannel Failed status - 0x%lx \n", status);
    return status;
}

// OnSetFormat: the channel keeps the pin's new format.
inline ZvStatus SetFormatOfChannel(LONG channel, ULONG direction, ChannelFormat* format) {
    if (!LogicLoaded()) return ZV_NOT_READY;
    ZvStatus status = SetChannelFormat(channel, direction, format);
    if (status != ZV_OK)
        LogModule<LogModuleFilterLogic>::ModulePrint(
            1, "OnSetFormat> SetChannelFormat Failed status - 0x%lx \n", status);
    return status;
}

// OnSharedVariableChange: DirectSound acceleration is off exactly while
// processing is on.
inline ZvStatus DsDisableFollowsProcessing(ULONG id, PVOID value, ULONG size) {
    if (!LogicLoaded()) return ZV_NOT_READY;
    if (id != VID_SHARED_PROCESS) return ZV_OK;
    return SetSharedVariable(VID_SHARED_DSDISABLE, value, size);
}

// The function format both logics ask for: 16-bit mono PCM at `rate`, front
// centre (the upper half of BitsPerSample is the framework's, kept).
inline void SetMono16Format(ChannelFormat* format, ULONG rate) {
    format->FormatTagAndChannels = WAVE_FORMAT_PCM | (1u << 16);
    format->SamplesPerSec = rate;
    format->AvgBytesPerSec = rate * 2;
    format->BitsPerSample = (format->BitsPerSample & 0xFFFF0000u) | 16;
    format->ChannelMask = SPEAKER_FRONT_CENTER;
}

// ---------------------------------------------------------------------------
// Calls in progress
// ---------------------------------------------------------------------------
// A count of calls in progress that a teardown waits out: Enter refuses
// (FALSE) while the count is closed; every accepted Enter is matched by one
// Leave; WaitIdle returns once a look finds no call in progress (callers that
// entered before the teardown cleared whatever they test are waited out;
// later ones see it and stay away, or are refused once the count is closed).
// Any IRQL up to DISPATCH_LEVEL except Init and WaitIdle (PASSIVE_LEVEL).
class CallCount {
public:
    void Init(BOOLEAN open);
    void SetOpen(BOOLEAN open);
    BOOLEAN Enter();
    void Leave();
    LONG Count();
    void WaitIdle();

private:
    KSPIN_LOCK m_Lock;
    LONG m_lCount;       // calls entered and not yet left
    LONG m_lOpen;        // non-zero while Enter accepts
    KEVENT m_IdleEvent;  // set while the count is zero
};
