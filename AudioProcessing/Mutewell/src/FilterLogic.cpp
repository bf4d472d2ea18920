// Mutewell's filter-logic callbacks, the switch control and the buffer paths.
// Log module "FilterLogic".
#include "CKAUDPASrc.h"
#include "CKAUDPBRes.h"
#include "CKAUDPFCnv.h"
#include "CKAUDPSiBu.h"
#include "FilterLogicServices.h"
#include "MemAlloc.h"
#include "MutewellLogic.h"
#include "ZDebug.h"
#include "sp_dispatch.h"

namespace {

using Log = LogModule<LogModuleFilterLogic>;

constexpr ULONG kInstanceCode = ZvFourCC("ZSAM");
constexpr LONG kChannel = 1;
constexpr ULONG kBridgeRate = 8000;
constexpr ULONG kBridgeBufferMs = 50;
// The mute and fade counts of a freshly loaded image, and of every master
// load: past 0, so the first buffer does not restart a module.
constexpr LONG kCountPastStart = 1;

// Set by a master load, cleared by its unload.
bool g_bMasterLoaded;

// 0 before the image's first use of the mutex and the counts, 1 while one
// caller initialises them, 2 once they exist.  They live as long as the
// image: a master reload must not initialise a mutex someone waits on.
volatile LONG g_lLogicObjects;

// The modules a master load makes, in the order it makes them.
const ModuleSlot kModules[] = {
    ModuleSlotOf(&g_pAudioSource, "Audio Source"),
    ModuleSlotOf(&g_pAudioSink, "Audio Sink"),
    ModuleSlotOf(&InCSiBu, "InCSiBu"),
    ModuleSlotOf(&InCSiBuAux, "InCSiBuAux"),
    ModuleSlotOf(&InCFCnv1, "InCFCnv1"),
    ModuleSlotOf(&InCFCnv2, "InCFCnv2"),
    ModuleSlotOf(&InCBRes, "InCBRes"),
    ModuleSlotOf(&OutCSiBu, "OutCSiBu"),
    ModuleSlotOf(&OutCSiBuAux, "OutCSiBuAux"),
    ModuleSlotOf(&OutCFCnv1, "OutCFCnv1"),
    ModuleSlotOf(&OutCFCnv2, "OutCFCnv2"),
    ModuleSlotOf(&OutCBRes, "OutCBRes"),
};

// The bridge format on the master's pins and the two device objects.
void ConfigureBridgeModules(PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower) {
    (void)g_pAudioSource->SetDevices(pdo, lower);
    (void)g_pAudioSource->SetPropertyDword(CKAUDPASrc::kPropBits, 16);
    (void)g_pAudioSource->SetPropertyDword(CKAUDPASrc::kPropRate, kBridgeRate);
    (void)g_pAudioSource->SetPropertyDword(CKAUDPASrc::kPropLength, kBridgeBufferMs);
    (void)g_pAudioSource->SetPropertyDword(CKAUDPASrc::kPropState, STATE_STOP);
    (void)g_pAudioSink->SetDevices(pdo, lower);
    (void)g_pAudioSink->SetPropertyDword(CKAUDPASnk::kPropBits, 16);
    (void)g_pAudioSink->SetPropertyDword(CKAUDPASnk::kPropRate, kBridgeRate);
    (void)g_pAudioSink->SetPropertyDword(CKAUDPASnk::kPropChannels, 1);
    (void)g_pAudioSink->SetPropertyDword(CKAUDPASnk::kPropLength, kBridgeBufferMs);
    (void)g_pAudioSink->SetPropertyDword(CKAUDPASnk::kPropState, STATE_STOP);
}

void ResetLogicState() {
    InterlockedExchange(&g_bSwitch, 0);
    InterlockedExchange(&g_ulMuteMode, MUTE_NONE);
    InterlockedExchange(&g_bSourceStarted, 0);
    InterlockedExchange(&g_bSinkStarted, 0);
    InterlockedExchange(&g_lSpeakerBridgeCount, 0);
    InterlockedExchange(&g_lMicBridgeCount, 0);
    InterlockedExchange(&g_lSpeakerMuteCount, kCountPastStart);
    InterlockedExchange(&g_lMicMuteCount, kCountPastStart);
    InterlockedExchange(&g_lSpeakerFadeCount, kCountPastStart);
    FreeInGraph();
    FreeOutGraph();
    RtlZeroMemory(&g_SavedRenderFormat, sizeof g_SavedRenderFormat);
    RtlZeroMemory(&g_SavedCaptureFormat, sizeof g_SavedCaptureFormat);
}

// The switch mutex held for a scope (made first when this is the image's
// first use of it).
class SwitchLock : public MutexGuard {
public:
    SwitchLock() : MutexGuard(SwitchMutex()) {}

private:
    static KMUTEX* SwitchMutex() {
        InitLogicObjects();
        return &g_SwitchMutex;
    }
};

// The bridged module of a direction (1 the sink, else the source).
CKAUDPABridge* BridgeModule(ULONG direction) {
    return direction == CHANNEL_RENDER ? static_cast<CKAUDPABridge*>(g_pAudioSink)
                                       : static_cast<CKAUDPABridge*>(g_pAudioSource);
}
volatile LONG* StartedFlag(ULONG direction) {
    return direction == CHANNEL_RENDER ? &g_bSinkStarted : &g_bSourceStarted;
}
CallCount& InFlight(ULONG direction) {
    return g_BuffersInFlight[direction == CHANNEL_RENDER ? CHANNEL_RENDER : CHANNEL_CAPTURE];
}

// Takes a direction off the bridge before its module changes state: no
// OnBuffer of it may still be using the module or its ring afterwards.
void Unbridge(ULONG direction) {
    InterlockedExchange(StartedFlag(direction), 0);
    InFlight(direction).WaitIdle();
}

// Sets a bridged module's state; a failure is logged with `text`.
ZvStatus SetModuleState(CKAUDPABridge* module, ULONG state, PCSTR text) {
    const ULONG id = module == g_pAudioSink ? static_cast<ULONG>(CKAUDPASnk::kPropState)
                                            : static_cast<ULONG>(CKAUDPASrc::kPropState);
    ZvStatus status = module->SetPropertyDword(id, state);
    if (status != ZV_OK) Log::ModulePrint(1, text, status);
    return status;
}

ULONG ChannelStateOf(ULONG direction) {
    ULONG state = 0;
    return GetChannelState(kChannel, direction, &state) == ZV_OK ? state : 0;
}

ZvStatus SwitchOff() {
    InterlockedExchange(&g_bSwitch, 0);
    Unbridge(CHANNEL_CAPTURE);
    Unbridge(CHANNEL_RENDER);
    ZvStatus status = ZV_OK;
    if (g_pAudioSource != nullptr) {
        status = SetModuleState(
            g_pAudioSource, STATE_STOP,
            "SwitchControl> Mic set Stream state to STATE_STOP Failed status - 0x%x \n");
    }
    if (g_pAudioSink != nullptr) {
        status = SetModuleState(
            g_pAudioSink, STATE_STOP,
            "SwitchControl> Speaker set Stream state to STATE_STOP Failed status - 0x%x \n");
    }
    return status;
}

// The log texts of one direction's switch control.
struct SwitchTexts {
    PCSTR Running, Paused, PauseFailed, StartFailed;
};
const SwitchTexts kMicTexts = {
    "SwitchControl> Mic is on RUN state so start the source \n",
    "SwitchControl> Mic is on PAUSE state so start the source \n",
    "SwitchControl> Mic Set Stream state to STATE_PAUSE Failed status - 0x%x \n",
    "SwitchControl> Mic Set Stream state to STATE_START Failed status - 0x%x \n",
};
const SwitchTexts kSpeakerTexts = {
    "SwitchControl> Speaker is on RUN state so start the sink \n",
    "SwitchControl> Speaker is on PAUSE state so start the sink \n",
    "SwitchControl> Speaker Set Stream state to STATE_PAUSE Failed status - 0x%x \n",
    "SwitchControl> Speaker Set Stream state to STATE_START Failed status - 0x%x \n",
};

// Brings one direction's module to the state of the slave's stream: a
// running stream starts the bridge (opened first, or paused and restarted),
// a paused one opens it.  *paused tells that the stream was paused and the
// module reached STATE_PAUSE.
ZvStatus SwitchDirectionOn(ULONG direction, bool* paused) {
    *paused = false;
    const bool speaker = direction == CHANNEL_RENDER;
    const SwitchTexts& texts = speaker ? kSpeakerTexts : kMicTexts;
    CKAUDPABridge* module = BridgeModule(direction);
    const ULONG state = ChannelStateOf(direction);
    if (state == CHANNEL_STATE_PAUSED) {
        Log::ModulePrint(1, texts.Paused);
        ZvStatus status = SetModuleState(module, STATE_PAUSE, texts.PauseFailed);
        *paused = status == ZV_OK;
        return status;
    }
    if (state != CHANNEL_STATE_RUNNING) return ZV_OK;
    Log::ModulePrint(1, texts.Running);
    Unbridge(direction);
    ZvStatus status = SetModuleState(module, STATE_PAUSE, texts.PauseFailed);
    if (status == ZV_OK) status = SetModuleState(module, STATE_START, texts.StartFailed);
    if (status != ZV_OK) return status;
    // Counts of 0: the next buffer restarts the fades and the resampler.
    if (speaker) {
        InterlockedExchange(&g_lSpeakerBridgeCount, 0);
        InterlockedExchange(&g_lSpeakerFadeCount, 0);
        InterlockedExchange(&g_lSpeakerMuteCount, 0);
    } else {
        InterlockedExchange(&g_lMicMuteCount, 0);
    }
    InterlockedExchange(StartedFlag(direction), 1);
    return ZV_OK;
}

struct ClosedChannelWork {
    PIO_WORKITEM Item;
    ULONG Direction;
};

void PauseClosedChannel(PDEVICE_OBJECT device, PVOID context) {
    (void)device;
    auto work = static_cast<ClosedChannelWork*>(context);
    {
        SwitchLock lock;
        // A pin that took the channel since and runs keeps its bridge.
        if (LogicLoaded() && ChannelStateOf(work->Direction) != CHANNEL_STATE_RUNNING) {
            const bool speaker = work->Direction == CHANNEL_RENDER;
            Unbridge(work->Direction);
            CKAUDPABridge* module = BridgeModule(work->Direction);
            if (module != nullptr && module->StreamState() == STATE_START) {
                (void)SetModuleState(
                    module, STATE_PAUSE,
                    speaker ? "OnSetChannelState> Sink (STATE_PAUSE)  Failed... status - 0x%lx \n"
                            : "OnSetChannelState> Source (STATE_PAUSE)  Failed... status - "
                              "0x%lx \n");
            }
            FreeGraph(work->Direction);
        }
    }
    IoFreeWorkItem(work->Item);
    MemFree(work);
    g_ControlWorkItems.Leave();
}

// The device of a channel's pin, on which the pause of its direction is
// queued once the pin has closed; null when there is none.
PDEVICE_OBJECT ChannelDevice(LONG channel, ULONG direction) {
    PDEVICE_OBJECT lower = nullptr, fdo = nullptr;
    PFILE_OBJECT pin = nullptr;
    ULONGLONG count = 0;
    return GetChannelInfo(channel, direction, &lower, &pin, &count, &fdo) == ZV_OK ? fdo : nullptr;
}

// Queues the pause of a closed channel's direction on `fdo`, the device of
// the pin that held the channel.  The channel is released first: the work
// item may run at once, and a channel still marked running would keep its
// bridge.
void QueueClosedChannelPause(PDEVICE_OBJECT fdo, ULONG direction) {
    if (fdo == nullptr) return;
    InitLogicObjects();
    if (!g_ControlWorkItems.Enter()) return;  // counted before queued: an unload waits for it
    auto work = static_cast<ClosedChannelWork*>(MemAlloc(sizeof(ClosedChannelWork)));
    PIO_WORKITEM item = work != nullptr ? IoAllocateWorkItem(fdo) : nullptr;
    if (item == nullptr) {
        MemFree(work);
        g_ControlWorkItems.Leave();
        Log::ModulePrint(1, "OnClose> no work item to pause the bridge \n");
        return;
    }
    work->Item = item;
    work->Direction = direction;
    IoQueueWorkItem(item, PauseClosedChannel, DelayedWorkQueue, work);
}

ZvStatus SwitchOn(ULONG value) {
    ULONG process = 0, size = sizeof process;
    (void)GetSharedVariable(VID_SHARED_PROCESS, &process, &size);
    bool paused = false;
    ZvStatus status = ZV_OK;
    if (process != 0) {
        if (g_pAudioSource != nullptr) status = SwitchDirectionOn(CHANNEL_CAPTURE, &paused);
        // The speaker side's status decides; a paused speaker whose sink
        // opened stores the switch at once.
        if (g_pAudioSink != nullptr) status = SwitchDirectionOn(CHANNEL_RENDER, &paused);
    }
    if (status != ZV_OK) return status;
    InterlockedExchange(&g_bSwitch, static_cast<LONG>(value));
    return ZV_OK;
}

// Fades a buffer in place through a mute module: the direction's own (with
// the saved format of its channel) or, for a pin without a channel, the
// auxiliary one set up from the pin's own format.
ZvStatus MuteBuffer(CGenDisp* genDisp, ULONG direction, PVOID headers, ULONG length, LONG channel,
                    PFILE_OBJECT pinFile) {
    const bool speaker = direction == CHANNEL_RENDER;
    ULONGLONG side =
        static_cast<ULONG>(InterlockedRead(speaker ? &g_lSpeakerMuteCount : &g_lMicMuteCount));
    CKAUDPSiBu* module;
    ChannelFormat format;
    if (channel == -1) {
        ZvStatus status = GetOpenPinFormat(genDisp, pinFile, &format);
        if (status != ZV_OK) return status;
        module = speaker ? InCSiBuAux : OutCSiBuAux;
        (void)module->SetPropertyDword(CKAUDPSiBu::kPropBits, FormatBits(format));
        (void)module->SetPropertyDword(CKAUDPSiBu::kPropChannels, FormatChannels(format));
        (void)module->SetPropertyDword(CKAUDPSiBu::kPropRate, format.SamplesPerSec);
        (void)module->SetPropertyDword(CKAUDPSiBu::kPropSilent, 1);
    } else {
        module = speaker ? InCSiBu : OutCSiBu;
        format = speaker ? g_SavedRenderFormat : g_SavedCaptureFormat;
    }
    // A muted direction is never heard: a piece the module refuses, or a
    // buffer whose format gives no pieces, is silenced here.
    const UCHAR silence = (FormatBits(format)) == 8 ? 0x80 : 0;
    const ULONG pieces = ForEachMutePiece(headers, length, format, [&](PUCHAR data, ULONG bytes) {
        ULONGLONG value = side++;
        if (module->SubmitPinData(0, data, bytes, data, bytes, &value) != ZV_OK)
            RtlFillMemory(data, bytes, silence);
    });
    if (pieces == 0) {
        ForEachHeaderData(headers, length,
                          [&](PUCHAR data, ULONG used) { RtlFillMemory(data, used, silence); });
    }
    return ZV_OK;
}

// Render while the switch is on and the sink does not run: the slave's own
// loudspeaker plays silence in the pin's own format.
void SilenceBuffer(CGenDisp* genDisp, PVOID headers, ULONG length, PFILE_OBJECT pinFile) {
    ChannelFormat format;
    if (length == 0 || GetOpenPinFormat(genDisp, pinFile, &format) != ZV_OK) return;
    const UCHAR silence = (FormatBits(format)) == 8 ? 0x80 : 0;
    ForEachHeaderData(headers, length,
                      [&](PUCHAR data, ULONG used) { RtlFillMemory(data, used, silence); });
}

}  // namespace

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------
volatile LONG g_bFilterLoaded = 1;  // the callbacks work before any master load
volatile LONG g_bSwitch;
volatile LONG g_ulMuteMode;
volatile LONG g_bSourceStarted, g_bSinkStarted;
CKAUDPASrc* g_pAudioSource;
CKAUDPASnk* g_pAudioSink;
CKAUDPSiBu *InCSiBu, *InCSiBuAux, *OutCSiBu, *OutCSiBuAux;
CKAUDPFCnv *InCFCnv1, *InCFCnv2, *OutCFCnv1, *OutCFCnv2;
CKAUDPBRes *InCBRes, *OutCBRes;
ChannelFormat g_SavedRenderFormat, g_SavedCaptureFormat;
volatile LONG g_lSpeakerMuteCount = kCountPastStart, g_lMicMuteCount = kCountPastStart;
volatile LONG g_lSpeakerBridgeCount, g_lMicBridgeCount;
volatile LONG g_lSpeakerFadeCount = kCountPastStart;
SwitchGraph g_InGraph, g_OutGraph;
KMUTEX g_SwitchMutex;
CallCount g_BuffersInFlight[3];
CallCount g_PropertiesInFlight;
CallCount g_ControlWorkItems;

void InitLogicObjects() {
    if (InterlockedRead(&g_lLogicObjects) == 2) return;
    if (InterlockedCompareExchange(&g_lLogicObjects, 1, 0) == 0) {
        KeInitializeMutex(&g_SwitchMutex, 0);
        g_BuffersInFlight[CHANNEL_RENDER].Init(TRUE);
        g_BuffersInFlight[CHANNEL_CAPTURE].Init(TRUE);
        g_PropertiesInFlight.Init(TRUE);
        g_ControlWorkItems.Init(TRUE);
        InterlockedExchange(&g_lLogicObjects, 2);
        return;
    }
    while (InterlockedRead(&g_lLogicObjects) != 2) {
    }  // the other caller's few instructions
}

// ---------------------------------------------------------------------------
// Callbacks
// ---------------------------------------------------------------------------

// Master: builds the twelve modules (stopping at the first failure, which is
// logged) and hands the source and the sink the bridge's format and the
// master's device objects; resets the switch, the mute mode, the counts and
// the graphs whatever happened.  A slave changes nothing.  PASSIVE_LEVEL.
// ZV_OK, or ZV_FAILED after a failure.
ZvStatus OnFilterLoad(CGenDisp* genDisp, ULONG isMaster, PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower) {
    if (!isMaster) return ZV_OK;
    // What an earlier master load left (no unload came between) goes first.
    if (g_bMasterLoaded) (void)OnFilterUnload(genDisp, 1);
    g_bMasterLoaded = true;

    sp_dispatch_init();  // the primitives' variants for this processor
    // A pause or stop of a slave stream may run meanwhile: the graphs and
    // modules change only under the mutex.
    SwitchLock lock;
    const bool created = CreateModules(kModules, pdo, kInstanceCode);
    if (created) ConfigureBridgeModules(pdo, lower);
    ResetLogicState();
    // A cancelled removal loads the master again: what the framework reports
    // as the mute mode is the logic's, not the mode from before.
    ULONG mode = MUTE_NONE;
    (void)SetSharedVariable(VID_SHARED_MUTEMODE, &mode, sizeof mode);
    InterlockedExchange(&g_bFilterLoaded, created ? 1 : 0);
    return created ? ZV_OK : ZV_FAILED;
}

// Master: takes both directions off the bridge, frees the graphs, releases
// channel 1 of both directions (pins that held it and are still open find it
// gone) and deletes the modules (a bridged stream still open is closed).  A
// slave only logs.  PASSIVE_LEVEL.  Master: the capture release's status.
ZvStatus OnFilterUnload(CGenDisp* genDisp, ULONG isMaster) {
    (void)genDisp;
    if (!isMaster) {
        Log::ModulePrint(1, "OnFilterUnload> Slave Unload!!! \n");
        return ZV_OK;
    }
    Log::ModulePrint(1, "OnFilterUnload> Master Unload!!! \n");
    InitLogicObjects();
    InterlockedExchange(&g_bFilterLoaded, 0);
    // Property requests that came before the flag was cleared end first (they
    // test it again under the mutex); later ones are refused.
    g_PropertiesInFlight.WaitIdle();
    g_ControlWorkItems.WaitIdle();
    SwitchLock lock;
    InterlockedExchange(&g_bSwitch, 0);
    Unbridge(CHANNEL_RENDER);
    Unbridge(CHANNEL_CAPTURE);
    FreeOutGraph();
    FreeInGraph();
    (void)ReleaseChannel(kChannel, CHANNEL_RENDER);
    ZvStatus status = ReleaseChannel(kChannel, CHANNEL_CAPTURE);
    DestroyModules(kModules);
    g_bMasterLoaded = false;
    return status;
}

// Both directions on every device.
ZvStatus OnDecidePinDirs(CGenDisp* genDisp, ULONG isMaster) {
    (void)isMaster;
    return StorePinDirs(genDisp, CHANNEL_RENDER | CHANNEL_CAPTURE);
}

// The bridge's format: 16-bit mono PCM at 8000 Hz.
ZvStatus OnGetRequiredFunctionFormat(LONG channel, ULONG direction, ChannelFormat* format) {
    (void)channel;
    (void)direction;
    if (!LogicLoaded()) return ZV_NOT_READY;
    if (format == nullptr) return ZV_INVALID_PARAMETER;
    SetMono16Format(format, kBridgeRate);
    return ZV_OK;
}

// A slave stream's new state reaches the bridged module of its direction
// while the switch is on: stopped or paused pauses it, running starts it.
ZvStatus OnSetChannelState(LONG channel, ULONG direction, ULONG state) {
    (void)channel;
    if (!LogicLoaded()) return ZV_NOT_READY;
    SwitchLock lock;
    if (!LogicLoaded()) return ZV_NOT_READY;  // unloaded while this waited
    if (InterlockedRead(&g_bSwitch) == 0) return ZV_OK;
    if (state == 0 || state > CHANNEL_STATE_RUNNING) return ZV_INVALID_PARAMETER;
    const bool speaker = direction == CHANNEL_RENDER;
    CKAUDPABridge* module = BridgeModule(direction);
    if (module == nullptr) return ZV_NOT_READY;
    if (state != CHANNEL_STATE_RUNNING) {
        Unbridge(direction);
        return SetModuleState(
            module, STATE_PAUSE,
            speaker ? "OnSetChannelState> Sink (STATE_PAUSE)  Failed... status - 0x%lx \n"
                    : "OnSetChannelState> Source (STATE_PAUSE)  Failed... status - "
                      "0x%lx \n");
    }
    // A slave stream that went from STOP straight to RUN finds its module
    // closed: it opens (STATE_PAUSE) before it can start.
    ZvStatus status = ZV_OK;
    if (module->StreamState() == STATE_STOP) {
        status = SetModuleState(
            module, STATE_PAUSE,
            speaker ? "OnSetChannelState> Sink (STATE_PAUSE)  Failed... status - 0x%lx \n"
                    : "OnSetChannelState> Source (STATE_PAUSE)  Failed... status - "
                      "0x%lx \n");
    }
    if (status == ZV_OK) {
        status = SetModuleState(
            module, STATE_START,
            speaker ? "OnSetChannelState> Sink (STATE_START)  Failed... status - 0x%lx \n"
                    : "OnSetChannelState> Source (STATE_START)  Failed... status - 0x%lx \n");
    }
    if (status != ZV_OK) {
        InterlockedExchange(StartedFlag(direction), 0);
        return status;
    }
    if (speaker) {
        // A fade count of 1 (not 0): the slave's own loudspeaker falls silent
        // at once instead of fading.
        InterlockedExchange(&g_lSpeakerFadeCount, 1);
        InterlockedExchange(&g_lSpeakerBridgeCount, 0);
        InterlockedExchange(&g_lSpeakerMuteCount, 1);
    } else {
        InterlockedExchange(&g_lMicBridgeCount, 0);
        InterlockedExchange(&g_lMicMuteCount, 1);
    }
    InterlockedExchange(StartedFlag(direction), 1);
    return status;
}

// DirectSound acceleration is off exactly while processing is on.
ZvStatus OnSharedVariableChange(ULONG id, PVOID value, ULONG size) {
    return DsDisableFollowsProcessing(id, value, size);
}

// Pins on the master's own stack get no channel: the master device is the
// bridge's.  A slave's first pin of a direction takes channel 1.
ZvStatus OnOpen(CGenDisp* genDisp, ULONG direction, ChannelFormat* format, PLONG channel,
                PDEVICE_OBJECT lower, PFILE_OBJECT pinFile, PDEVICE_OBJECT fdo) {
    if (!LogicLoaded()) return ZV_NOT_READY;
    if (channel == nullptr || format == nullptr) return ZV_INVALID_PARAMETER;
    ULONG master = 0, size = sizeof master;
    ZvStatus status = GetInstantiatedVariable(genDisp, VID_INST_MASTERSTACK, &master, &size);
    if (status != ZV_OK) {
        Log::ModulePrint(
            1, "OnOpen> GetInstantiatedVariable (VID_INST_MASTERSTACK) Failed status - 0x%lx \n",
            status);
        return status;
    }
    if (master != 0) {
        *channel = -1;
        return ZV_OK;
    }
    status = AcquireChannel(kChannel, direction, lower, pinFile, fdo);
    if (status != ZV_OK) {
        *channel = -1;
        Log::ModulePrint(1, "OnOpen> AcquireChannel Failed status - 0x%lx \n", status);
        return status;
    }
    *channel = kChannel;
    return SetChannelFormat(kChannel, direction, format);
}

// The channel's pin closed without a STOP: its direction leaves the bridge
// at once, and its module pauses and its graph goes as a STOP does.  OnClose
// runs under the framework's pin-list locks, which a buffer in flight may
// be waiting for: the pause, which waits such buffers out, runs in a work
// item.
ZvStatus OnClose(CGenDisp* genDisp, ULONG direction, LONG channel) {
    (void)genDisp;
    if (channel < 0 || !LogicLoaded()) return CloseChannel(channel, direction);
    InterlockedExchange(StartedFlag(direction), 0);
    PDEVICE_OBJECT fdo = ChannelDevice(channel, direction);
    const ZvStatus status = CloseChannel(channel, direction);
    QueueClosedChannelPause(fdo, direction);
    return status;
}

ZvStatus OnSetFormat(CGenDisp* genDisp, ULONG direction, ChannelFormat* format, LONG channel) {
    (void)genDisp;
    return SetFormatOfChannel(channel, direction, format);
}

// Stop and pause take the direction off the bridge (the module pauses once
// no buffer of the direction is in flight) and then free its graph; run
// builds the graph and then starts the bridge's module.
ZvStatus OnSetStreamState(CGenDisp* genDisp, ULONG direction, KSSTATE state, LONG channel) {
    if (!LogicLoaded()) return ZV_NOT_READY;
    if (channel < 0) return ZV_OK;  // only the channel's pin drives the bridge
    if (state != KSSTATE_STOP && state != KSSTATE_PAUSE && state != KSSTATE_RUN) return ZV_OK;
    SwitchLock lock;
    if (!LogicLoaded()) return ZV_NOT_READY;  // unloaded while this waited
    if (state == KSSTATE_RUN) {
        ZvStatus status = InitChannelGraph(genDisp, direction, CHANNEL_STATE_RUNNING, channel);
        if (status != ZV_OK) {
            FreeGraph(direction);
            Log::ModulePrint(1, "OnSetStreamState> InitGraph Failed status - 0x%lx \n", status);
            return status;
        }
        return SetChannelState(channel, direction, CHANNEL_STATE_RUNNING);
    }
    ZvStatus status = SetChannelState(
        channel, direction, state == KSSTATE_STOP ? CHANNEL_STATE_STOPPED : CHANNEL_STATE_PAUSED);
    Unbridge(direction);
    FreeGraph(direction);
    return status;
}

ZvStatus OnGetAudioPosition(CGenDisp* genDisp, ULONG direction, PKSAUDIO_POSITION position,
                            LONG channel) {
    (void)genDisp;
    (void)direction;
    (void)position;
    (void)channel;
    return LogicLoaded() ? ZV_OK : ZV_NOT_READY;
}

ZvStatus OnBuffer(CGenDisp* genDisp, ULONG direction, PVOID headers, ULONG length, LONG channel,
                  PFILE_OBJECT pinFile) {
    if (!LogicLoaded()) return ZV_NOT_READY;
    ULONG process = 0, size = sizeof process;
    ZvStatus status = GetSharedVariable(VID_SHARED_PROCESS, &process, &size);
    if (process == 0) return status;
    InitLogicObjects();
    const bool speaker = direction == CHANNEL_RENDER;
    CallCount& inFlight = InFlight(direction);
    (void)inFlight.Enter();  // always open
    const ULONG mode = static_cast<ULONG>(InterlockedRead(&g_ulMuteMode));
    const bool switched = InterlockedRead(&g_bSwitch) != 0;
    if (speaker) {
        if (mode == MUTE_SPEAKER || mode == MUTE_BOTH) {
            (void)MuteBuffer(genDisp, direction, headers, length, channel, pinFile);
            InterlockedIncrement(&g_lSpeakerMuteCount);
        } else if (switched && channel != -1) {
            if (InterlockedRead(&g_bSinkStarted) == 0) {
                SilenceBuffer(genDisp, headers, length, pinFile);
            } else {
                status = ProcessBuffer(genDisp, direction, headers, length, channel, pinFile);
                InterlockedIncrement(&g_lSpeakerBridgeCount);
            }
        }
    } else if (mode == MUTE_MIC || mode == MUTE_BOTH) {
        (void)MuteBuffer(genDisp, direction, headers, length, channel, pinFile);
        InterlockedIncrement(&g_lMicMuteCount);
    } else if (switched && InterlockedRead(&g_bSourceStarted) != 0 && channel != -1) {
        status = ProcessOutBuffer(genDisp, direction, headers, length, channel, pinFile);
        InterlockedIncrement(&g_lMicBridgeCount);
    }
    inFlight.Leave();
    return status;
}

ZvStatus SwitchControl(CGenDisp* genDisp, ULONG value) {
    (void)genDisp;
    SwitchLock lock;
    if (!LogicLoaded()) return ZV_NOT_READY;  // unloaded while this waited
    return value == 0 ? SwitchOff() : SwitchOn(value);
}

ZvStatus GetOpenPinFormat(CGenDisp* genDisp, PFILE_OBJECT pinFile, ChannelFormat* format) {
    if (genDisp == nullptr || pinFile == nullptr || format == nullptr) return ZV_INVALID_PARAMETER;
    LockOpenPinList(genDisp);
    OpenPinEntry* entry = nullptr;
    const ULONG found = GetOpenPinFromList(genDisp, pinFile, &entry);
    if (found) FormatToChannelFormat(entry, format);
    UnlockOpenPinList(genDisp);
    return found ? ZV_OK : ZV_FAILED;
}
