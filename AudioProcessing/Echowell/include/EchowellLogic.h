// Echowell's echo-cancelling filter logic: the callbacks the framework calls
// through the driver's descriptor, the driver-wide state they create, reset
// and tear down, the processing graphs and the audio processing thread.
//
// The logic serves one master device (the camera, which carries the
// microphone) and any number of slave devices (which carry the loudspeaker).
// It uses channel 1 of the framework's channel table in both directions:
// render (1) is the far end, capture (2) the near end.  The first pin of each
// direction gets the channel and its stream is processed; later pins pass
// through unprocessed.
//
// Lock order (never taken the other way round):
//   the framework's sync-control lock -> g_AecMutex -> g_EngineMutex
//     -> a queue's spin lock -> that queue's drift spin lock.
// g_AecMutex serialises starting and stopping the processing; g_EngineMutex
// serialises every call into the echo canceller, the wave correlator and the
// gain control, which are not re-entrant (the audio processing thread and the
// property handler both call them).  g_EngineMutex is never held across a
// blocking queue read or write.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "BufferPool.h"
#include "CKAUDPModule.h"
#include "DataQueue.h"
#include "EchowellControl.h"
#include "FilterLogic.h"
#include "LogicCommon.h"

class CKAUDPEAEC;
class CKAUDPCMix;
class CKAUDPFCnv;
class CKAUDPBRes;
class CKAUDPWAVC;

// ---------------------------------------------------------------------------
// Processing graphs
// ---------------------------------------------------------------------------
inline constexpr ULONG kAecGraphStages = 20;
inline constexpr ULONG kAecTraceRecords = 5000;
inline constexpr ULONG kAecTraceBufferBytes = 160000;
// The 64-bit "not yet known" value of the timing state.
inline constexpr ULONGLONG kAecUnset = 0x00000000FFFFFFFFull;

// One stage of a chain: an allocator stage (takes a 10 ms work buffer from its
// own one-buffer pool), a queue stage (reads or writes a queue) or a module
// stage (pin 1: the echo canceller's near-end stage).
struct AecGraphStage {
    UCHAR InUse;      // 0 ends the chain
    UCHAR Allocator;  // the stage owns Pool
    UCHAR InPlace;    // the module works on the current data (no chain builds one)
    UCHAR Read;       // queue stage: 1 read, 0 write
    ULONG Pin;
    CKAUDPModule* Module;
    IBufferPool* Pool;
    DataQueue* Queue;
    PVOID Buffer;  // work buffer held during a pass
};

struct AecGraph {
    AecGraphStage Stages[kAecGraphStages];
};

// One record of the trace buffer, per call into the echo canceller.
struct AecTraceRecord {
    UCHAR Kind;  // 0 far end, 1 near end
    ULONG Status;
    ULONGLONG Time;        // 100 ns, after the call
    ULONGLONG DelayGiven;  // g_llDelayEstimate handed to the canceller (0 for the far end)
    ULONGLONG DelayAfter;  // g_llDelayEstimate after the near-end call
};
static_assert(sizeof(AecTraceRecord) * kAecTraceRecords <= kAecTraceBufferBytes,
              "the trace buffer holds every record");

// The audio processing thread.
struct AudioProcThreadRecord {
    KEVENT EndEvent;        // set when the thread ends (for systems without WDM 1.10)
    volatile LONG Stop;     // set by StopAudioProcThread
    PKTHREAD Thread;        // referenced while the thread may run
    volatile LONG Running;  // a thread was created and not yet waited for
};

// An own render IRP's context (one entry of g_IrpContextLookaside).
struct OwnRenderIrpContext {
    PIRP Irp;
    KSSTREAM_HEADER Header;
    PVOID Buffer;
    LIST_ENTRY Links;
};

// The timing state of the graphs (µs unless said; reset by each start).
struct AecTiming {
    volatile LONG64 InPasses, OutPasses;  // written by the thread only (interlocked)
    LONGLONG FirstRenderTime;             // µs, set by the first render buffer
    LONGLONG FirstCaptureReadTime;        // µs, first Out-graph read
    LONGLONG CaptureQueueLatency;         // µs of queue 3 at the first Out-graph read
    LONGLONG TInfo;              // capture-side latency measured once; kAecUnset until then
    LONGLONG RenderStartOffset;  // set by the first render buffer; kAecUnset until then
    // The render device's buffered time as each render buffer arrives (µs,
    // summed over the averaging window), under RenderBufferedLock: the render
    // path adds, the thread takes the window every 100th pass.
    LONGLONG RenderBufferedSum;
    ULONG RenderBufferedSamples;
    KSPIN_LOCK RenderBufferedLock;
    ULONG AveragingCount;        // Out passes in the averaging window
    LONGLONG LastElapsedFrames;  // frames; kAecUnset until AddElapsedFrames first ran
    LONGLONG HeldDropFrames;     // far-end frames still to drop (<= 0) once that is safe
    ULONGLONG ElapsedTimeSum;    // 100 ns spent in the canceller and the correlator
    ULONG FirstCaptureReadSeen;
};

// ---------------------------------------------------------------------------
// Driver-wide state (owned by the master's OnFilterLoad .. OnFilterUnload)
// ---------------------------------------------------------------------------
extern CKAUDPEAEC* g_pAecModule;
extern CKAUDPCMix* g_pChannelMix;
extern CKAUDPFCnv *InFmtConv1, *InFmtConv2;
extern CKAUDPBRes* InResampler1;
extern CKAUDPFCnv *OutFmtConv1, *OutFmtConv2, *OutFmtConv3, *OutFmtConv4;
extern CKAUDPBRes *OutResampler1, *OutResampler2;
extern CKAUDPWAVC* g_pWaveCorr;
extern DataQueue *g_pDataQueue1, *g_pDataQueue2, *g_pDataQueue3, *g_pDataQueue4;
extern IBufferPool* g_pInAllocator;
extern AecGraph g_InGraph, g_OutGraph;
extern ChannelFormat g_RenderFormat, g_CaptureFormat, g_ProcessFormat;
extern volatile LONG g_bAecActive;
// 0 follow the streams, 1 16000 Hz, 2 8000 Hz; set by a control application
// while pins are created: read and written with the interlocked operations.
extern volatile LONG g_ulRateMode;
// 0: the near end passes through the canceller untouched.  Read by the audio
// processing thread, written by others: interlocked.
extern volatile LONG g_bProcessing;
extern ULONG g_bAutoOffLatched;
extern ULONG g_bAgcOn;         // 0 off, 1 adaptive, 3-6 fixed presets
extern ULONG g_ulAgcPosition;  // 1 before the canceller, 2 after
extern ULONG g_ulAgcThresholds[3];
extern ULONGLONG g_llDelayEstimate;                                // ms; kAecUnset until known
extern volatile LONGLONG g_llLastRenderTime, g_llLastCaptureTime;  // µs, both stream threads
extern AecTiming g_AecTiming;
extern AudioProcThreadRecord g_AudioProcThread;
extern AecTraceRecord* g_pTraceBuffer;
extern ULONG g_ulTraceCount;
extern KMUTEX g_AecMutex;
extern KMUTEX g_EngineMutex;
extern KEVENT g_AllIrpsCompleteEvent;
extern LIST_ENTRY g_OwnIrpList;
extern KSPIN_LOCK g_OwnIrpLock;
extern NPAGED_LOOKASIDE_LIST g_IrpContextLookaside;
extern KSNODEPROPERTY_AUDIO_CHANNEL g_VolumeRequest;

// ---------------------------------------------------------------------------
// Automatic gain control
// ---------------------------------------------------------------------------
// While the canceller runs with gain-control mode 1, 10 ms blocks of the near
// end are graded by their level, 30 grades averaged, and the capture device's
// volume node stepped up or down by kAgcVolumeStep.  Every field is written
// under g_EngineMutex (the processing thread and the property path both
// change it).
inline constexpr LONG kAgcVolumeStep = 103784;   // 1/65536 dB: about 1.58 dB
inline constexpr LONG kAgcVolumeMin = 2980778;   // about 45.5 dB
inline constexpr LONG kAgcVolumeMax = 3932160;   // 60 dB
inline constexpr ULONG kAgcGradesPerCycle = 30;  // grades averaged per decision
inline constexpr ULONG kAgcSkipBlocks = 500;     // blocks a warm-up pause lasts
// The node id the volume requests use when the topology names no volume node.
inline constexpr ULONG kAgcDefaultVolumeNode = 2;

struct AgcState {
    LONG Volume;                                 // 1/65536 dB, as last stepped or preset
    signed char Grades[kAgcGradesPerCycle + 2];  // -100, 0 or +100 per graded block
    ULONG GradeCount;                            // grades collected in this cycle
    ULONG Started;                               // the warm-up pause is over
    ULONG SkipCount;                  // blocks of the pause seen; kAgcSkipBlocks: none left
    LONG UpThreshold, DownThreshold;  // average grades that step the volume
    ULONG BandCounts[4];              // samples below 400, 400-3999, 4000-12999, 13000 up
};
extern AgcState g_Agc;

// The node list of the topology of `file`'s filter (KSPROPERTY_TOPOLOGY_NODES
// on `lower`): *nodeList receives a MemAlloc'ed KS multiple item {Size,
// Count, Count node GUIDs} that the caller frees with MemFree; it is checked
// to hold every GUID its count names.  0xC000000D for a null out pointer, the
// request's failure, STATUS_INVALID_BUFFER_SIZE for a list whose header or
// length does not hold its nodes, STATUS_INSUFFICIENT_RESOURCES.
// PASSIVE_LEVEL.
NTSTATUS FindVolumeNode(PDEVICE_OBJECT lower, PFILE_OBJECT file, PULONG* nodeList);
// The index of the first volume node of a list FindVolumeNode returned, else
// kAgcDefaultVolumeNode.
ULONG VolumeNodeIndex(const ULONG* nodeList);
// Channel 0's volume of g_VolumeRequest's node on the capture pin `file`.
// The caller holds g_EngineMutex (g_VolumeRequest is shared).  PASSIVE_LEVEL.
NTSTATUS GetVolumeLevel(PDEVICE_OBJECT lower, PFILE_OBJECT file, PLONG volume);
void SetVolumeLevel(PDEVICE_OBJECT lower, PFILE_OBJECT file, LONG volume);
// The cycle's state for a new cycle (the volume and the level thresholds
// stay).  The caller holds g_EngineMutex.
void ResetAGC();
// Counts `count` 16-bit samples into four bands by magnitude against
// thresholds[0..2]; -32768 has no 16-bit magnitude and counts in the lowest.
void CountSampleLevels(const SHORT* samples, ULONG count, const ULONG thresholds[3],
                       ULONG counts[4]);
// Grades one block of g_ProcessFormat and steps the volume at the end of a
// cycle.  The processing thread, holding g_EngineMutex.
void DoAGC(PVOID buffer, ULONG bytes);
// Presets the volume of `mode` (modes without one: nothing) and starts a new
// cycle.  The caller holds g_EngineMutex.  PASSIVE_LEVEL.
void InitAGC(ULONG mode);
// A start's part: the volume node of the capture filter found (the default
// node when the topology names none or answers badly) and the mode's preset
// sent.  The processing thread, before its first pass: it waits for the
// capture device, which the start itself (inside the device's completion of a
// RUN) must not.
void StartAGC();

// ---------------------------------------------------------------------------
// Calls in flight
// ---------------------------------------------------------------------------
// OnBuffer calls in progress: a stop waits for them after it aborted the
// queues and before it frees what they use.
extern CallCount g_BuffersInFlight;
// OnKSProperty calls in progress: the master's unload clears the loaded flag,
// then waits for them before it destroys the modules they use.
extern CallCount g_PropertiesInFlight;
// The driver-wide objects that outlive every master load (the two mutexes and
// the counts of calls in progress) made once, by the first callback that
// needs them; every later call returns at once.  PASSIVE_LEVEL.
void InitDriverObjects();

// ---------------------------------------------------------------------------
// Start and stop work items
// ---------------------------------------------------------------------------
// A start or stop work item is counted from before it is queued until it has
// finished.  Begin refuses (FALSE) once the logic is unloading; every
// accepted Begin is matched by one End.  OnFilterUnload waits until the count
// is back at zero before it stops the processing and frees the modules.
BOOLEAN AecWorkItemBegin();
void AecWorkItemEnd();
LONG AecPendingWorkItems();

// ---------------------------------------------------------------------------
// Stream buffers, starting and stopping the echo canceller
// ---------------------------------------------------------------------------
// OnBuffer and OnSetStreamState (StreamBuffers), like every callback of the
// descriptor, are declared in LogicCommon.h; so is OnKSProperty (AecProperties:
// the private property set and the watch on the audio set's volume).
// The caller holds g_AecMutex.
ZvStatus StartAECGraph();
ZvStatus StopAECGraph();
// Queue the start or stop as a work item on the capture channel's filter
// device: ZV_OK when queued, else the channel query's status or ZV_FAILED.
ZvStatus StartAEC();
ZvStatus StopAEC();
// A pin of channel 1 closes: processing stops as on STOP, the waiting part
// queued as a work item (nothing queued when processing was not running).
void StopOnPinClose();
// One render request of the driver's own: 10 ms from queue 2 to the render pin.
NTSTATUS CreateAndSendIrp(PDEVICE_OBJECT lower, PFILE_OBJECT pinFile);
// Own render requests still with the device.
LONG AecOwnIrpsPending();
// The longest a render buffer waits for room in the far-end queue before the
// part that does not fit is dropped (100 ns units).
inline constexpr LONGLONG kFarEndWriteWait100ns = 100 * 10000;

// ---------------------------------------------------------------------------
// Graphs and the audio processing thread
// ---------------------------------------------------------------------------
// Build the near-end (Out) and far-end (In) chains for channel 1's formats;
// an existing chain is freed first.  PASSIVE_LEVEL.
ULONG InitOutGraph(ULONG direction, LONG channel);
ULONG InitInGraph(ULONG direction, LONG channel);
ULONG RunInGraph();
ULONG RunOutGraph();
void ReleaseInGraphBuffers();
void ReleaseOutGraphBuffers();
ULONG FreeInGraph();
ULONG FreeOutGraph();
// Delay of the near end behind the far end (µs) and the render device's
// buffered time (µs, may be negative).  1 when a channel has no lower device
// or pin, else the status of the capture position query.
ULONG EstimateStreamDelay(LONGLONG* delay, LONGLONG* renderBuffered);
// The render side's sample for the far end's drift: the render device's
// buffered time just before a render buffer goes down to it.
void SampleRenderBuffered();
ULONG AddElapsedFrames(LONGLONG frames);
// Resets the timing state, the trace and the delay estimate for a new start.
void ResetAecTiming();
NTSTATUS StartAudioProcThread();
NTSTATUS StopAudioProcThread();
