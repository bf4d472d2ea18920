// Echowell's filter-logic callbacks and the driver-wide state they create,
// reset and tear down.  Log module "FilterLogic".
#include "BufferPool.h"
#include "CKAUDPBRes.h"
#include "CKAUDPCMix.h"
#include "CKAUDPEAEC.h"
#include "CKAUDPFCnv.h"
#include "CKAUDPWAVC.h"
#include "EchowellLogic.h"
#include "MemAlloc.h"
#include "ZDebug.h"
#include "FilterLogicServices.h"
#include "sp_dispatch.h"

namespace {

using Log = LogModule<LogModuleFilterLogic>;

constexpr ULONG kInstanceCode = ZvFourCC("ZAEC");
constexpr LONG kChannel = 1;

// The driver-wide settings of a freshly loaded image, and of every master
// load: 8000 Hz processing, the canceller on, the gain control (when it is
// switched on) after the canceller with its three level thresholds.
constexpr LONG kDefaultRateMode = 2;
constexpr LONG kDefaultProcessing = 1;
constexpr ULONG kDefaultAgcPosition = 2;
constexpr ULONG kDefaultAgcThresholds[3] = {400, 4000, 13000};

// The start and stop work items queued and not yet finished.
CallCount g_WorkItems;

// Set once the synchronisation objects and the lookaside list of a master
// load exist (so that an unload may use and delete them).
bool g_bLogicObjectsReady;

// The modules a master load makes, in the order it makes them.
const ModuleSlot kModules[] = {
    ModuleSlotOf(&g_pAecModule, "AEC"),
    ModuleSlotOf(&g_pChannelMix, "Channel Mix"),
    ModuleSlotOf(&InFmtConv1, "InFmtConv1"),
    ModuleSlotOf(&InFmtConv2, "InFmtConv2"),
    ModuleSlotOf(&InResampler1, "InResampler1"),
    ModuleSlotOf(&OutFmtConv1, "OutFmtConv1"),
    ModuleSlotOf(&OutFmtConv2, "OutFmtConv2"),
    ModuleSlotOf(&OutFmtConv3, "OutFmtConv3"),
    ModuleSlotOf(&OutFmtConv4, "OutFmtConv4"),
    ModuleSlotOf(&OutResampler1, "OutResampler1"),
    ModuleSlotOf(&OutResampler2, "OutResampler2"),
    ModuleSlotOf(&g_pWaveCorr, "g_pWaveCorr"),
};

bool CreateQueuesAndPool() {
    DataQueue** queues[] = {&g_pDataQueue1, &g_pDataQueue2, &g_pDataQueue3, &g_pDataQueue4};
    for (ULONG i = 0; i < 4; ++i) {
        *queues[i] = new DataQueue(i + 1);
        if (*queues[i] == nullptr) {
            Log::ModulePrint(
                1, "OnFilterLoad> Failed to Instantiate g_pDataQueue%lu status - 0x%lx \n", i + 1,
                ZV_FAILED);
            return false;
        }
    }
    g_pInAllocator = new BufferPool();
    if (g_pInAllocator == nullptr) {
        Log::ModulePrint(1, "OnFilterLoad> Failed to Instantiate g_pInAllocator status - 0x%lx \n",
                         ZV_FAILED);
        return false;
    }
    return true;
}

// The state a master load starts from (values of a freshly loaded driver).
void ResetLogicState() {
    RtlZeroMemory(&g_InGraph, sizeof g_InGraph);
    RtlZeroMemory(&g_OutGraph, sizeof g_OutGraph);
    RtlZeroMemory(&g_RenderFormat, sizeof g_RenderFormat);
    RtlZeroMemory(&g_CaptureFormat, sizeof g_CaptureFormat);
    RtlZeroMemory(&g_ProcessFormat, sizeof g_ProcessFormat);
    InterlockedExchange(&g_bAecActive, 0);
    ResetAecTiming();
    InterlockedExchange64(&g_llLastRenderTime, 0);
    InterlockedExchange64(&g_llLastCaptureTime, 0);
    g_bAutoOffLatched = 0;
    RtlZeroMemory(&g_AudioProcThread, sizeof g_AudioProcThread);
    RtlCopyMemory(g_ulAgcThresholds, kDefaultAgcThresholds, sizeof g_ulAgcThresholds);
    g_bAgcOn = 0;
    g_ulAgcPosition = kDefaultAgcPosition;
    RtlZeroMemory(&g_Agc, sizeof g_Agc);
    ResetAGC();
    InterlockedExchange(&g_ulRateMode, kDefaultRateMode);
    InterlockedExchange(&g_bProcessing, kDefaultProcessing);

    RtlZeroMemory(&g_VolumeRequest, sizeof g_VolumeRequest);
    g_VolumeRequest.NodeProperty.Property.Set = KSPROPSETID_Audio;
    g_VolumeRequest.NodeProperty.Property.Id = KSPROPERTY_AUDIO_VOLUMELEVEL;
    g_VolumeRequest.Channel = 0;
}

void InitLogicObjects() {
    // A trace buffer that cannot be had leaves the trace off; the load goes on.
    g_pTraceBuffer = static_cast<AecTraceRecord*>(MemAlloc(kAecTraceBufferBytes));
    if (g_pTraceBuffer != nullptr) RtlZeroMemory(g_pTraceBuffer, kAecTraceBufferBytes);
    g_ulTraceCount = 0;
    KeInitializeEvent(&g_AllIrpsCompleteEvent, NotificationEvent, FALSE);
    InitializeListHead(&g_OwnIrpList);
    KeInitializeSpinLock(&g_OwnIrpLock);
    ExInitializeNPagedLookasideList(&g_IrpContextLookaside, nullptr, nullptr, 0,
                                    sizeof(OwnRenderIrpContext), kInstanceCode, 0);
    g_bLogicObjectsReady = true;
}

// Stops the processing and frees everything a master load made.  Work items
// are closed and drained first, so none can rebuild the chains meanwhile.
ZvStatus TearDownMaster() {
    InterlockedExchange(&g_bAecActive, 0);
    InterlockedExchange(&g_bFilterLoaded, 0);
    // Property requests that found the logic loaded use the modules: they
    // leave before anything goes (later ones find it unloaded).
    g_PropertiesInFlight.WaitIdle();

    g_WorkItems.SetOpen(FALSE);
    g_WorkItems.WaitIdle();

    {
        MutexGuard aec(&g_AecMutex);
        DataQueue* queues[] = {g_pDataQueue1, g_pDataQueue2, g_pDataQueue3, g_pDataQueue4};
        for (DataQueue* q : queues) {
            if (q != nullptr) q->Abort();
        }
        // Buffers still inside OnBuffer leave the queues before they go.
        g_BuffersInFlight.WaitIdle();
        StopAudioProcThread();
        for (DataQueue* q : queues) {
            if (q != nullptr) q->Reset();
        }
        RtlZeroMemory(&g_AudioProcThread, sizeof g_AudioProcThread);
        FreeInGraph();
        FreeOutGraph();
    }

    (void)ReleaseChannel(kChannel, CHANNEL_RENDER);
    ZvStatus status = ReleaseChannel(kChannel, CHANNEL_CAPTURE);

    // A property handler re-reads a module's pointer under the engine lock.
    {
        MutexGuard engine(&g_EngineMutex);
        DestroyModules(kModules);
        DestroySlot(&g_pInAllocator);
    }
    DestroySlot(&g_pDataQueue1);
    DestroySlot(&g_pDataQueue2);
    DestroySlot(&g_pDataQueue3);
    DestroySlot(&g_pDataQueue4);
    if (g_bLogicObjectsReady) ExDeleteNPagedLookasideList(&g_IrpContextLookaside);
    g_bLogicObjectsReady = false;
    if (g_pTraceBuffer != nullptr) MemFree(g_pTraceBuffer);
    g_pTraceBuffer = nullptr;
    return status;
}

}  // namespace

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------
volatile LONG g_bFilterLoaded = 1;  // the callbacks work before any master load
CKAUDPEAEC* g_pAecModule;
CKAUDPCMix* g_pChannelMix;
CKAUDPFCnv *InFmtConv1, *InFmtConv2;
CKAUDPBRes* InResampler1;
CKAUDPFCnv *OutFmtConv1, *OutFmtConv2, *OutFmtConv3, *OutFmtConv4;
CKAUDPBRes *OutResampler1, *OutResampler2;
CKAUDPWAVC* g_pWaveCorr;
DataQueue *g_pDataQueue1, *g_pDataQueue2, *g_pDataQueue3, *g_pDataQueue4;
IBufferPool* g_pInAllocator;
AecGraph g_InGraph, g_OutGraph;
ChannelFormat g_RenderFormat, g_CaptureFormat, g_ProcessFormat;
volatile LONG g_bAecActive;
volatile LONG g_ulRateMode = kDefaultRateMode;
volatile LONG g_bProcessing = kDefaultProcessing;
ULONG g_bAutoOffLatched;
ULONG g_bAgcOn;
ULONG g_ulAgcPosition = kDefaultAgcPosition;
ULONG g_ulAgcThresholds[3] = {kDefaultAgcThresholds[0], kDefaultAgcThresholds[1],
                              kDefaultAgcThresholds[2]};
ULONGLONG g_llDelayEstimate = kAecUnset;
volatile LONGLONG g_llLastRenderTime, g_llLastCaptureTime;
AecTiming g_AecTiming;
AudioProcThreadRecord g_AudioProcThread;
AecTraceRecord* g_pTraceBuffer;
ULONG g_ulTraceCount;
KMUTEX g_AecMutex;
KMUTEX g_EngineMutex;
KEVENT g_AllIrpsCompleteEvent;
LIST_ENTRY g_OwnIrpList;
KSPIN_LOCK g_OwnIrpLock;
NPAGED_LOOKASIDE_LIST g_IrpContextLookaside;
KSNODEPROPERTY_AUDIO_CHANNEL g_VolumeRequest;
CallCount g_BuffersInFlight;
CallCount g_PropertiesInFlight;

// 0: not yet made, 1: being made, 2: ready.
namespace {
volatile LONG g_lDriverObjects;
}  // namespace

void InitDriverObjects() {
    if (InterlockedRead(&g_lDriverObjects) == 2) return;
    if (InterlockedCompareExchange(&g_lDriverObjects, 1, 0) == 0) {
        KeInitializeMutex(&g_AecMutex, 0);
        KeInitializeMutex(&g_EngineMutex, 0);
        g_WorkItems.Init(FALSE);
        g_BuffersInFlight.Init(FALSE);
        g_PropertiesInFlight.Init(TRUE);
        InterlockedExchange(&g_lDriverObjects, 2);
        return;
    }
    while (InterlockedRead(&g_lDriverObjects) != 2) KeStallExecutionProcessor(1);
}

// ---------------------------------------------------------------------------
// Work items
// ---------------------------------------------------------------------------
BOOLEAN AecWorkItemBegin() {
    return g_bLogicObjectsReady && g_WorkItems.Enter();
}

void AecWorkItemEnd() {
    g_WorkItems.Leave();
}

LONG AecPendingWorkItems() {
    return g_WorkItems.Count();
}

// ---------------------------------------------------------------------------
// Callbacks
// ---------------------------------------------------------------------------

// Master: builds the modules, the queues and the pool (stopping at the first
// failure, which is logged) and resets the processing state whatever
// happened; the logic counts as loaded only when everything was built.  A
// slave changes nothing.  PASSIVE_LEVEL.  ZV_OK, or ZV_FAILED after a
// failure.
ZvStatus OnFilterLoad(CGenDisp* genDisp, ULONG isMaster, PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower) {
    (void)genDisp;
    (void)lower;
    InitDriverObjects();
    if (!isMaster) return ZV_OK;
    // What an earlier master load left (no unload came between) goes first.
    if (g_bLogicObjectsReady || g_pAecModule != nullptr || g_pDataQueue1 != nullptr)
        TearDownMaster();
    g_BuffersInFlight.SetOpen(TRUE);

    sp_dispatch_init();  // the primitives' variants for this processor
    ZvStatus status =
        CreateModules(kModules, pdo, kInstanceCode) && CreateQueuesAndPool() ? ZV_OK : ZV_FAILED;
    ResetLogicState();
    InitLogicObjects();
    if (status == ZV_OK) g_WorkItems.SetOpen(TRUE);
    InterlockedExchange(&g_bFilterLoaded, status == ZV_OK ? 1 : 0);
    return status;
}

// Master: stops the processing, releases channel 1 of both directions (pins
// that held it and are still open find it gone) and frees everything.  A
// slave only logs.  PASSIVE_LEVEL (it waits).  Master: the capture release's
// status; slave: ZV_OK.
ZvStatus OnFilterUnload(CGenDisp* genDisp, ULONG isMaster) {
    (void)genDisp;
    InitDriverObjects();
    if (!isMaster) {
        Log::ModulePrint(1, "OnFilterUnload> Slave Unload!!! \n");
        return ZV_OK;
    }
    Log::ModulePrint(1, "OnFilterUnload> Master Unload!!! \n");
    return TearDownMaster();
}

// The master (camera) processes its capture pins, every other device its
// render pins.
ZvStatus OnDecidePinDirs(CGenDisp* genDisp, ULONG isMaster) {
    return StorePinDirs(genDisp, isMaster ? CHANNEL_CAPTURE : CHANNEL_RENDER);
}

// The processing format: 16-bit mono PCM at 8000 or 16000 Hz by the rate mode
// (mode 0: 16000 Hz when either stream runs at 16000 Hz or more).
ZvStatus OnGetRequiredFunctionFormat(LONG channel, ULONG direction, ChannelFormat* format) {
    (void)channel;
    (void)direction;
    if (!LogicLoaded()) return ZV_NOT_READY;
    if (format == nullptr) return ZV_INVALID_PARAMETER;
    ULONG rate = 8000;
    const LONG mode = InterlockedRead(&g_ulRateMode);
    if (mode == 1) {
        rate = 16000;
    } else if (mode == 0) {
        ChannelFormat render, capture;
        ZvStatus status = GetChannelFormat(kChannel, CHANNEL_RENDER, &render);
        if (status != ZV_OK) return status;
        status = GetChannelFormat(kChannel, CHANNEL_CAPTURE, &capture);
        if (status != ZV_OK) return status;
        ULONG higher = render.SamplesPerSec > capture.SamplesPerSec ? render.SamplesPerSec
                                                                    : capture.SamplesPerSec;
        rate = higher >= 16000 ? 16000 : 8000;
    }
    SetMono16Format(format, rate);
    return ZV_OK;
}

ZvStatus OnSetChannelState(LONG channel, ULONG direction, ULONG state) {
    (void)channel;
    (void)direction;
    (void)state;
    return LogicLoaded() ? ZV_OK : ZV_NOT_READY;
}

// DirectSound acceleration is off exactly while processing is on.
ZvStatus OnSharedVariableChange(ULONG id, PVOID value, ULONG size) {
    return DsDisableFollowsProcessing(id, value, size);
}

ZvStatus OnOpen(CGenDisp* genDisp, ULONG direction, ChannelFormat* format, PLONG channel,
                PDEVICE_OBJECT lower, PFILE_OBJECT pinFile, PDEVICE_OBJECT fdo) {
    (void)genDisp;
    if (!LogicLoaded()) return ZV_NOT_READY;
    if (channel == nullptr || format == nullptr) return ZV_INVALID_PARAMETER;
    ZvStatus status = AcquireChannel(kChannel, direction, lower, pinFile, fdo);
    if (status != ZV_OK) {
        // A second pin of a direction passes through unprocessed.
        *channel = -1;
        Log::ModulePrint(1, "OnOpen> AcquireChannel Failed status - 0x%lx \n", status);
        return status;
    }
    status = SetChannelFormat(kChannel, direction, format);
    *channel = kChannel;
    return status;
}

// A pin holding channel 1 that closes while processing runs (its
// application ended without STOP) stops the processing as a STOP would,
// through a work item: the close runs under the framework's list mutexes.
ZvStatus OnClose(CGenDisp* genDisp, ULONG direction, LONG channel) {
    (void)genDisp;
    if (LogicLoaded() && channel == kChannel) StopOnPinClose();
    return CloseChannel(channel, direction);
}

ZvStatus OnSetFormat(CGenDisp* genDisp, ULONG direction, ChannelFormat* format, LONG channel) {
    (void)genDisp;
    return SetFormatOfChannel(channel, direction, format);
}

// While the canceller runs, the application's write position is 70 ms ahead
// of the device's: the render pass-through queue holds that much back.
ZvStatus OnGetAudioPosition(CGenDisp* genDisp, ULONG direction, PKSAUDIO_POSITION position,
                            LONG channel) {
    (void)genDisp;
    (void)channel;
    if (!LogicLoaded()) return ZV_NOT_READY;
    ULONG process = 0;
    ULONG size = sizeof process;
    ZvStatus status = GetSharedVariable(VID_SHARED_PROCESS, &process, &size);
    if (status != ZV_OK || process == 0 || InterlockedRead(&g_bAecActive) == 0 ||
        position == nullptr) {
        return status;
    }
    ChannelFormat format;
    status = GetChannelFormat(kChannel, direction, &format);
    if (status != ZV_OK) return status;
    position->WriteOffset += static_cast<ULONGLONG>(format.AvgBytesPerSec) * 70 / 1000;
    return ZV_OK;
}
