// The logic kit: what every filter logic has in common, written once: the
// callbacks each defines for its descriptor, the descriptor built from them,
// the table of the modules a master load creates and an unload deletes, the
// channel-format words, the answer to the logic's private property set, and
// the count of calls in progress that a teardown waits out.  Each driver
// image links its own copy, so the log lines below go to that driver's
// "FilterLogic" module.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "FilterLogic.h"
#include "FilterLogicServices.h"
#include "LogicDescriptor.h"
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
        ZV_LOGIC_CALLBACKS,
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

// One row of a logic's module table: the driver-wide slot of a module and the
// name its creation failure is logged under.
struct ModuleSlot {
    void* Slot;
    PCSTR Name;
    bool (*Create)(void* slot, PDEVICE_OBJECT pdo, ULONG instanceCode, PCSTR name);
    void (*Destroy)(void* slot);
};

template <class Module>
constexpr ModuleSlot ModuleSlotOf(Module** slot, PCSTR name) {
    return {slot, name,
            [](void* s, PDEVICE_OBJECT pdo, ULONG instanceCode, PCSTR n) {
                return CreateModule(static_cast<Module**>(s), pdo, instanceCode, n);
            },
            [](void* s) { DestroySlot(static_cast<Module**>(s)); }};
}

// Creates the table's modules in its order, stopping at the first failure
// (the modules made so far, and the one that failed, stay in their slots for
// DestroyModules).  true when every one was built.
template <ULONG Count>
bool CreateModules(const ModuleSlot (&table)[Count], PDEVICE_OBJECT pdo, ULONG instanceCode) {
    for (const ModuleSlot& row : table) {
        if (!row.Create(row.Slot, pdo, instanceCode, row.Name)) return false;
    }
    return true;
}

// Deletes the table's modules, last made first; empty slots are passed over.
template <ULONG Count>
void DestroyModules(const ModuleSlot (&table)[Count]) {
    for (ULONG i = Count; i-- > 0;) table[i].Destroy(table[i].Slot);
}

// ---------------------------------------------------------------------------
// What both logics answer alike
// ---------------------------------------------------------------------------
// Non-zero while the callbacks answer: set before any master load, cleared by
// a master unload, set again by a master load that built its objects.
extern volatile LONG g_bFilterLoaded;

inline bool LogicLoaded() {
    return InterlockedRead(&g_bFilterLoaded) != 0;
}

// OnDecidePinDirs: the device's pins of `directions` (CHANNEL_RENDER,
// CHANNEL_CAPTURE or both) are the ones processed.
inline ZvStatus StorePinDirs(CGenDisp* genDisp, ULONG directions) {
    if (!LogicLoaded()) return ZV_NOT_READY;
    ZvStatus status =
        SetInstantiatedVariable(genDisp, VID_INST_PINDIRS, &directions, sizeof directions);
    if (status != ZV_OK) {
        LogModule<LogModuleFilterLogic>::ModulePrint(
            1, "OnDecidePinDirs> SetInstantiatedVariable Failed... status - 0x%lx \n", status);
    }
    return status;
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

// ---------------------------------------------------------------------------
// Channel formats
// ---------------------------------------------------------------------------
// The halves of a ChannelFormat's packed words: bits per sample (the low half
// of BitsPerSample; the upper half is the framework's) and channels (the high
// half of FormatTagAndChannels).
inline ULONG FormatBits(const ChannelFormat& format) {
    return format.BitsPerSample & 0xFFFF;
}
inline ULONG FormatChannels(const ChannelFormat& format) {
    return format.FormatTagAndChannels >> 16;
}

// PCM of `channels` channels of `bits` bits at `rate`, speakers `mask`.
constexpr ChannelFormat PcmFormat(ULONG rate, ULONG bits, ULONG channels, ULONG mask) {
    return {
        .FormatTagAndChannels = WAVE_FORMAT_PCM | (channels << 16),
        .SamplesPerSec = rate,
        .AvgBytesPerSec = rate * bits * channels / 8,
        .BitsPerSample = bits,
        .ChannelMask = mask,
    };
}

// 16-bit mono PCM at `rate`, front centre: the logics' processing formats.
constexpr ChannelFormat Mono16Format(ULONG rate) {
    return PcmFormat(rate, 16, 1, SPEAKER_FRONT_CENTER);
}

// The function format both logics ask for: 16-bit mono PCM at `rate`, front
// centre (the upper half of BitsPerSample is the framework's, kept).
inline void SetMono16Format(ChannelFormat* format, ULONG rate) {
    const ULONG kept = format->BitsPerSample & 0xFFFF0000u;
    *format = Mono16Format(rate);
    format->BitsPerSample |= kept;
}

// ---------------------------------------------------------------------------
// The private property set
// ---------------------------------------------------------------------------
// A logic's private property set: its GUID and the handlers of its get and
// set requests (the value's buffer and, in and out, its byte count; ZV_OK
// answers success).
struct PrivatePropertySet {
    const GUID* Set;
    ZvStatus (*Get)(CGenDisp* genDisp, ULONG id, PVOID value, PULONG size);
    ZvStatus (*Put)(CGenDisp* genDisp, ULONG id, PVOID value, PULONG size);
};

// true when the request carries a whole KSPROPERTY.
inline bool PropertyRequestWhole(PKSPROPERTY property, ULONG inputLength) {
    return property != nullptr && inputLength >= sizeof(KSPROPERTY);
}

// The answer to a request of the logic's private set: refused while the logic
// is not loaded, for a request without a whole KSPROPERTY, of another set or
// of no known kind; a get or a set goes to its handler; a set-support query
// succeeds; a basic-support query is answered by BasicSupport.
NTSTATUS AnswerPrivateSet(const PrivatePropertySet& set, CGenDisp* genDisp, PKSPROPERTY property,
                          ULONG inputLength, PVOID output, PULONG byteCount);

// The basic support of every property of a private set: get, set and both
// support queries, in a ULONG of access flags, or in a KSPROPERTY_DESCRIPTION (zeroed, its access
// flags and size set); any other byte count, or no buffer, is refused.  The byte count stays as it
// came.
NTSTATUS BasicSupport(PVOID value, PULONG size);

// ---------------------------------------------------------------------------
// Mutexes
// ---------------------------------------------------------------------------
// Holds a kernel mutex from its construction to the end of its scope
// (PASSIVE_LEVEL: the wait has no time-out).
class MutexGuard {
public:
    explicit MutexGuard(KMUTEX* mutex) : m_pMutex(mutex) {
        KeWaitForSingleObject(m_pMutex, Executive, KernelMode, FALSE, nullptr);
    }
    ~MutexGuard() { KeReleaseMutex(m_pMutex, FALSE); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    KMUTEX* m_pMutex;
};

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
