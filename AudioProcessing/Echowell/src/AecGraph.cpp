// The two processing chains of the echo canceller, a pass over each, the
// timing that seeds the near-end delay and the far-end queue's drift, the
// trace, and the audio processing thread that walks the chains.
#include "BufferPool.h"
#include "CKAUDPBRes.h"
#include "CKAUDPCMix.h"
#include "CKAUDPEAEC.h"
#include "CKAUDPFCnv.h"
#include "CKAUDPWAVC.h"
#include "EchowellLogic.h"
#include "FilterLogicServices.h"
#include "Probe.h"
#include "ZDebug.h"
// The framework's clock reading (QueryTime100ns) lives with its helpers.

namespace {

using Log = LogModule<LogModuleFilterLogic>;

constexpr LONG kChannel = 1;
constexpr LONGLONG kMicro = 1000000;
constexpr ULONG kAveragingPasses = 100;
// Processed capture that outlasts a pass held up by a render buffer of the
// far end (applications write 10-20 ms) and the piece being read meanwhile.
constexpr ULONG kStallMarginMs = 30;

bool Is16BitMono(const ChannelFormat& f) {
    return FormatBits(f) == 16 && FormatChannels(f) == 1;
}
// Microseconds of `bytes` of a stream of `bytesPerSecond` (0 for a rate of 0).
LONGLONG BytesToMicro(ULONGLONG bytes, ULONG bytesPerSecond) {
    return bytesPerSecond == 0
               ? 0
               : static_cast<LONGLONG>(bytes * static_cast<ULONGLONG>(kMicro) / bytesPerSecond);
}
LONGLONG NowMicro() {
    return static_cast<LONGLONG>(QueryTime100ns() / 10);
}

// ---------------------------------------------------------------------------
// Chain building
// ---------------------------------------------------------------------------
const char kAllocatorFailed[] = "InitGraph> Allocator Init Failed status - 0x%lx \n";
const char kOutConverterFailed[] = "InitOutGraph> Allocator Init Failed status - 0x%lx \n";

struct Builder {
    static constexpr PCSTR kFailure = kAllocatorFailed;
    AecGraph* Graph;
    ULONG Next;
    ChannelFormat Cur;
    ZvStatus LastSet;

    AecGraphStage* Add() {
        if (Next >= kAecGraphStages) return nullptr;
        AecGraphStage* stage = &Graph->Stages[Next++];
        RtlZeroMemory(stage, sizeof *stage);
        stage->InUse = 1;
        return stage;
    }

    // A stage with a pool of one 10 ms buffer of `f`; the failure message
    // names the stage.  A pool that was made but not sized stays in the stage
    // so that freeing the graph frees it.
    ZvStatus Allocator(const ChannelFormat& f, PCSTR failure) {
        AecGraphStage* stage = Add();
        if (stage == nullptr) return ZV_INVALID_PARAMETER;
        stage->Allocator = 1;
        stage->Pool = new BufferPool();
        ZvStatus status =
            stage->Pool == nullptr
                ? ZV_NO_MEMORY
                : stage->Pool->InitFormat(1, f.SamplesPerSec, static_cast<USHORT>(FormatBits(f)),
                                          static_cast<USHORT>(FormatChannels(f)), 10);
        if (status != ZV_OK) Log::ModulePrint(1, failure, status);
        return status;
    }

    ZvStatus Queue(DataQueue* queue, UCHAR read) {
        AecGraphStage* stage = Add();
        if (stage == nullptr) return ZV_INVALID_PARAMETER;
        stage->Queue = queue;
        stage->Read = read;
        return ZV_OK;
    }

    ZvStatus Module(CKAUDPModule* module, ULONG pin) {
        AecGraphStage* stage = Add();
        if (stage == nullptr) return ZV_INVALID_PARAMETER;
        stage->Module = module;
        stage->Pin = pin;
        return ZV_OK;
    }

    // Converter step: a 10 ms pool of `to`, then the converter from Cur to it.
    ZvStatus Convert(CKAUDPFCnv* converter, const ChannelFormat& to, PCSTR failure) {
        ZvStatus status = Allocator(to, failure);
        if (status != ZV_OK) return status;
        const ULONG values[][2] = {
            {CKAUDPFCnv::kPropInBits, FormatBits(Cur)},
            {CKAUDPFCnv::kPropInChannels, FormatChannels(Cur)},
            {CKAUDPFCnv::kPropInMask, Cur.ChannelMask},
            {CKAUDPFCnv::kPropOutBits, FormatBits(to)},
            {CKAUDPFCnv::kPropOutChannels, FormatChannels(to)},
            {CKAUDPFCnv::kPropOutMask, to.ChannelMask},
            {CKAUDPFCnv::kPropMapping, 0},
        };
        for (const auto& v : values) LastSet = converter->SetPropertyDword(v[0], v[1]);
        Cur = to;
        return Module(converter, 0);
    }

    // From Cur to `to`: when the rates differ, to 16-bit mono (`mono`, when
    // Cur is not that already) and to the new rate (`resampler`); then, when
    // the sample width or the channels still differ, to `to` (`layout`).
    ZvStatus ConvertTo(const ChannelFormat& to, CKAUDPFCnv* mono, PCSTR monoFailure,
                       CKAUDPBRes* resampler, CKAUDPFCnv* layout) {
        ZvStatus status = ZV_OK;
        if (Cur.SamplesPerSec != to.SamplesPerSec) {
            if (!Is16BitMono(Cur)) {
                status = Convert(mono, Mono16Format(Cur.SamplesPerSec), monoFailure);
            }
            if (status == ZV_OK) status = Resample(resampler, to.SamplesPerSec, kFailure);
        }
        if (status == ZV_OK &&
            (FormatBits(Cur) != FormatBits(to) || FormatChannels(Cur) != FormatChannels(to)))
            status = Convert(layout, to, kFailure);
        return status;
    }

    // Resampler step: a 10 ms pool of 16-bit mono at `rate`, then the resampler.
    ZvStatus Resample(CKAUDPBRes* resampler, ULONG rate, PCSTR failure) {
        ChannelFormat to = Mono16Format(rate);
        ZvStatus status = Allocator(to, failure);
        if (status != ZV_OK) return status;
        resampler->SetPropertyDword(CKAUDPBRes::kPropInputRate, Cur.SamplesPerSec);
        resampler->SetPropertyDword(CKAUDPBRes::kPropOutputRate, rate);
        LastSet = resampler->SetPropertyDword(CKAUDPBRes::kPropQuality, 1);
        Cur = to;
        return Module(resampler, 0);
    }
};

// The processing format P and the stream format S of channel 1 in `direction`.
// Rates that are not whole hundreds of Hz give 10 ms blocks of fractional
// frames, which no stage can carry: such a stream is refused (it then passes
// through unprocessed).
ZvStatus ReadFormats(LONG channel, ULONG direction, ChannelFormat* p, ChannelFormat* s, PCSTR who) {
    RtlZeroMemory(p, sizeof *p);
    ZvStatus status = GetRequiredFunctionFormat(channel, direction, p);
    if (status != ZV_OK) return status;
    status = GetChannelFormat(kChannel, direction, s);
    if (status != ZV_OK) return status;
    if (s->SamplesPerSec == 0 || s->SamplesPerSec % 100 != 0 || FormatBits(*s) == 0 ||
        FormatChannels(*s) == 0) {
        Log::ModulePrint(1, "%s> Stream format %lu Hz %lu bits %lu channels cannot be processed\n",
                         who, s->SamplesPerSec, FormatBits(*s), FormatChannels(*s));
        return ZV_INVALID_PARAMETER;
    }
    return ZV_OK;
}

ZvStatus FreeGraph(AecGraph* graph) {
    for (AecGraphStage& stage : graph->Stages) {
        if (!stage.InUse) break;
        if (stage.Allocator && stage.Pool != nullptr) {
            if (stage.Buffer != nullptr) stage.Pool->PutBuffer(stage.Buffer);
            stage.Pool->Free();
            delete stage.Pool;
        }
    }
    RtlZeroMemory(graph, sizeof *graph);
    return ZV_OK;
}

void ReleaseGraphBuffers(AecGraph* graph) {
    for (AecGraphStage& stage : graph->Stages) {
        if (!stage.InUse) break;
        if (stage.Allocator && stage.Buffer != nullptr) {
            stage.Pool->PutBuffer(stage.Buffer);
            stage.Buffer = nullptr;
        }
    }
}

void AppendTrace(UCHAR kind, ZvStatus status, ULONGLONG given, ULONGLONG after) {
    if (g_pTraceBuffer != nullptr && g_ulTraceCount < kAecTraceRecords) {
        AecTraceRecord& r = g_pTraceBuffer[g_ulTraceCount];
        r.Kind = kind;
        r.Status = status;
        r.Time = QueryTime100ns();
        r.DelayGiven = given;
        r.DelayAfter = after;
    }
    ++g_ulTraceCount;
}

// ---------------------------------------------------------------------------
// Passes
// ---------------------------------------------------------------------------
struct Pass {
    PVOID D = nullptr;
    ULONG Size = 0;
    PVOID W = nullptr;
    ULONG WSize = 0;
    ZvStatus Status = ZV_OK;
};

// The Out pass's timing, right after its queue read of `read` bytes.
void OutPassTiming(ULONG read) {
    AecTiming& t = g_AecTiming;
    ULONG captureBps = g_CaptureFormat.AvgBytesPerSec;
    if (!t.FirstCaptureReadSeen) {
        t.FirstCaptureReadSeen = 1;
        t.FirstCaptureReadTime = NowMicro();
        // What queue 3 held when the read was let in, less the read: the
        // level now would also count whatever part of a capture buffer was
        // queued between the read and this look, a matter of which thread
        // the host ran first, and the canceller's first delay with it.
        ULONG level = g_pDataQueue3 != nullptr ? g_pDataQueue3->GetStartLevel() : 0;
        t.CaptureQueueLatency = BytesToMicro(level > read ? level - read : 0, captureBps);
    }
    if (t.TInfo == static_cast<LONGLONG>(kAecUnset)) {
        PDEVICE_OBJECT lower = nullptr;
        PFILE_OBJECT pin = nullptr;
        ULONGLONG frames = 0;
        PDEVICE_OBJECT fdo = nullptr;
        KSAUDIO_POSITION position;
        if (GetChannelInfo(kChannel, CHANNEL_CAPTURE, &lower, &pin, &frames, &fdo) == ZV_OK &&
            lower != nullptr && pin != nullptr && g_CaptureFormat.SamplesPerSec != 0 &&
            GetAudioPosition(lower, pin, &position) == ZV_OK) {
            t.TInfo = BytesToMicro(position.PlayOffset, captureBps) -
                      BytesToMicro(frames, g_CaptureFormat.SamplesPerSec) + t.CaptureQueueLatency +
                      10000;
            ProbeSetValue(4, t.TInfo);
        }
    }
    LONGLONG delay = 0, renderBuffered = 0;
    if (EstimateStreamDelay(&delay, &renderBuffered) != ZV_OK) return;
    if (g_llDelayEstimate == kAecUnset)
        g_llDelayEstimate = delay > 0 ? static_cast<ULONGLONG>(delay / 1000) : 0;
    if (++t.AveragingCount < kAveragingPasses) return;
    // The window's render-buffered average, from the samples the render
    // buffers took as they arrived (SampleRenderBuffered).  Read here, at the
    // pass, the render device's buffered time would jump by a whole render
    // buffer depending on whether the buffer that woke this pass had already
    // reached the device: an average that moves by milliseconds from one
    // second to the next with both clocks in step, corrected into the far
    // end as drift that is not there, and the echo path the canceller learnt
    // moved with it.
    KIRQL irql;
    KeAcquireSpinLock(&t.RenderBufferedLock, &irql);
    LONGLONG sum = t.RenderBufferedSum;
    ULONG samples = t.RenderBufferedSamples;
    t.RenderBufferedSum = 0;
    t.RenderBufferedSamples = 0;
    KeReleaseSpinLock(&t.RenderBufferedLock, irql);
    if (samples != 0) {
        LONGLONG average = sum / static_cast<LONGLONG>(samples);
        AddElapsedFrames(average * static_cast<LONGLONG>(g_RenderFormat.SamplesPerSec) / kMicro);
    }
    DataQueue* queues[] = {g_pDataQueue1, g_pDataQueue2, g_pDataQueue3, g_pDataQueue4};
    for (ULONG i = 0; i < 4; ++i)
        ProbeSetValue(i, queues[i] != nullptr ? queues[i]->GetLevel() : 0);
    t.AveragingCount = 0;
}

// The near-end stage: the gain control on the canceller's input or output,
// the delay estimate and the canceller; all under the engine mutex (the
// property handler calls them too and sets the gain control's mode).
void EchoCancelStage(Pass* p) {
    ULONGLONG start = QueryTime100ns();
    ZvStatus status = ZV_INVALID_PARAMETER;
    ULONGLONG given = g_llDelayEstimate;
    if (p->D != nullptr && p->W != nullptr) {
        {
            MutexGuard engine(&g_EngineMutex);
            ProbeTimerStart(5);
            const bool agc = g_bAgcOn == 1;
            if (agc && g_ulAgcPosition == 1) DoAGC(p->D, p->Size);
            g_pWaveCorr->SubmitPinData(1, p->D, p->Size, nullptr, 0, &g_llDelayEstimate);
            ProbeTimerStop(5);
            ProbeSetValue(4, static_cast<LONGLONG>(g_llDelayEstimate));
            given = g_llDelayEstimate;
            ProbeTimerStart(6);
            status =
                g_pAecModule->SubmitPinData(1, p->D, p->Size, p->W, p->WSize, &g_llDelayEstimate);
            ProbeTimerStop(6);
            if (agc && g_ulAgcPosition == 2) DoAGC(p->W, p->WSize);
        }
        // Pass-through: the near end leaves as it came (converted both ways).
        if (!InterlockedRead(&g_bProcessing))
            RtlCopyMemory(p->W, p->D, p->Size < p->WSize ? p->Size : p->WSize);
    }
    g_AecTiming.ElapsedTimeSum += QueryTime100ns() - start;
    AppendTrace(1, status, given, g_llDelayEstimate);
    p->Status = status;
    p->D = p->W;
    p->Size = p->WSize;
}

ZvStatus Walk(AecGraph* graph, bool out) {
    Pass p;
    ULONGLONG passes = static_cast<ULONGLONG>(
        InterlockedExchangeAdd64(out ? &g_AecTiming.OutPasses : &g_AecTiming.InPasses, 0));
    for (AecGraphStage& stage : graph->Stages) {
        if (!stage.InUse) break;
        if (stage.Allocator) {
            PVOID w = nullptr;
            p.Status = stage.Pool->GetBuffer(&w, 0);
            stage.Buffer = w;
            p.W = w;
            p.WSize = 0;
            if (w != nullptr) stage.Pool->GetBufferSize(&p.WSize);
        } else if (stage.Queue != nullptr && stage.Read) {
            p.D = p.W;
            p.Size = p.WSize;
            if (p.D != nullptr) {
                LONG count = static_cast<LONG>(p.Size);
                ProbeLeave(0);
                stage.Queue->ReadData(p.D, &count, 1);
                ProbeEnter(0);
            }
            if (out) OutPassTiming(p.D != nullptr ? p.Size : 0);
        } else if (stage.Queue != nullptr) {
            if (p.D != nullptr) {
                ULONG count = p.Size;
                stage.Queue->PutData(p.D, &count, 0);
            }
        } else if (stage.Pin != 0) {
            EchoCancelStage(&p);
        } else {
            // A missing buffer is refused rather than handed on.
            ULONGLONG side = passes;
            PVOID target = stage.InPlace ? p.D : p.W;
            ULONG targetSize = stage.InPlace ? p.Size : p.WSize;
            ProbeTimerStart(5);
            p.Status = p.D != nullptr && target != nullptr
                           ? stage.Module->SubmitPinData(0, p.D, p.Size, target, targetSize, &side)
                           : ZV_INVALID_PARAMETER;
            ProbeTimerStop(5);
            p.D = target;
            p.Size = targetSize;
        }
    }
    if (!out && g_pAecModule != nullptr) {
        // The far end goes to the correlator and the canceller.
        ULONGLONG start = QueryTime100ns();
        ZvStatus status = ZV_INVALID_PARAMETER;
        if (p.D != nullptr) {
            MutexGuard engine(&g_EngineMutex);
            ProbeTimerStart(5);
            g_pWaveCorr->SubmitPinData(0, p.D, p.Size, nullptr, 0, nullptr);
            ProbeTimerStop(5);
            ProbeTimerStart(6);
            status = g_pAecModule->SubmitPinData(0, p.D, p.Size, nullptr, 0, nullptr);
            ProbeTimerStop(6);
        }
        g_AecTiming.ElapsedTimeSum += QueryTime100ns() - start;
        AppendTrace(0, status, 0, 0);
        p.Status = status;
    }
    return p.Status;
}

// ---------------------------------------------------------------------------
// The thread
// ---------------------------------------------------------------------------
void AudioProcessingThread(PVOID context) {
    (void)context;
    StartAGC();
    ProbeEnter(0);
    ProbeAddCounter(14, 1);
    while (!InterlockedRead(&g_AudioProcThread.Stop)) {
        if (InterlockedRead(&g_bAecActive)) {
            RunInGraph();
            InterlockedIncrement64(&g_AecTiming.InPasses);
            RunOutGraph();
            InterlockedIncrement64(&g_AecTiming.OutPasses);
        } else {
            // Only between the creation and the end of a start, or a stop's
            // two steps: give the processor away meanwhile.
            LARGE_INTEGER none;
            none.QuadPart = 0;
            KeDelayExecutionThread(KernelMode, FALSE, &none);
        }
    }
    ProbeLeave(0);
    // The driver's own render requests complete before the thread (and so
    // the code they return to) goes.
    NTSTATUS status =
        KeWaitForSingleObject(&g_AllIrpsCompleteEvent, Executive, KernelMode, FALSE, nullptr);
    ProbeEnter(0);
    Log::ModulePrint(1, "AudioProcessingThread> Thread END - Status - %x\n", status);
    KeSetEvent(&g_AudioProcThread.EndEvent, IO_NO_INCREMENT, FALSE);
    ProbeAddCounter(14, -1);
    ProbeLeave(0);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

// ---------------------------------------------------------------------------
// Chains
// ---------------------------------------------------------------------------
ULONG InitOutGraph(ULONG direction, LONG channel) {
    FreeOutGraph();  // a chain left from before is freed, not forgotten
    ChannelFormat p, s;
    ZvStatus status = ReadFormats(channel, direction, &p, &s, "InitOutGraph");
    if (status != ZV_OK) return status;
    g_CaptureFormat = s;
    g_ProcessFormat = p;
    Builder b{&g_OutGraph, 0, s, ZV_OK};
    status = b.Allocator(s, "InitOutGraph> DataQueue Allocator Init Failed status - 0x%lx \n");
    if (status == ZV_OK) status = b.Queue(g_pDataQueue3, 1);
    if (status == ZV_OK)
        status = b.ConvertTo(p, OutFmtConv1, kOutConverterFailed, OutResampler1, OutFmtConv2);
    if (status == ZV_OK) status = b.Allocator(p, kAllocatorFailed);
    if (status == ZV_OK) {
        status = b.Module(g_pAecModule, 1);
        {
            MutexGuard engine(&g_EngineMutex);
            g_pAecModule->SetPropertyDword(CKAUDPEAEC::kPropRate, p.SamplesPerSec);
            g_pWaveCorr->SetPropertyDword(CKAUDPWAVC::kPropEnable, 1);
            g_pWaveCorr->SetPropertyDword(CKAUDPWAVC::kPropBits, FormatBits(p));
            b.LastSet = g_pWaveCorr->SetPropertyDword(CKAUDPWAVC::kPropRate, p.SamplesPerSec);
        }
        b.Cur = p;
    }
    if (status == ZV_OK)
        status = b.ConvertTo(s, OutFmtConv3, kOutConverterFailed, OutResampler2, OutFmtConv4);
    if (status == ZV_OK) status = b.Queue(g_pDataQueue4, 0);
    return status != ZV_OK ? status : b.LastSet;
}

ULONG InitInGraph(ULONG direction, LONG channel) {
    FreeInGraph();  // a chain left from before is freed, not forgotten
    ChannelFormat p, s;
    ZvStatus status = ReadFormats(channel, direction, &p, &s, "InitInGraph");
    if (status != ZV_OK) return status;
    g_RenderFormat = s;
    status = g_pInAllocator->InitFormat(50, s.SamplesPerSec, static_cast<USHORT>(FormatBits(s)),
                                        static_cast<USHORT>(FormatChannels(s)), 10);
    if (status != ZV_OK) {
        Log::ModulePrint(1, "InitInGraph> g_pInAllocator Init Failed status - 0x%lx \n", status);
        return status;
    }
    Builder b{&g_InGraph, 0, s, ZV_OK};
    status = b.Allocator(s, "InitInGraph> DataQueue Allocator Init Failed status - 0x%lx \n");
    if (status == ZV_OK) status = b.Queue(g_pDataQueue1, 1);
    if (status == ZV_OK && FormatChannels(s) > 1) {
        // Not a stage: the render buffers are mixed in place as they arrive.
        g_pChannelMix->SetPropertyDword(CKAUDPCMix::kPropBits, FormatBits(s));
        g_pChannelMix->SetPropertyDword(CKAUDPCMix::kPropChannels, FormatChannels(s));
        b.LastSet = g_pChannelMix->SetPropertyDword(CKAUDPCMix::kPropMask, s.ChannelMask);
    }
    if (status == ZV_OK)
        status = b.ConvertTo(p, InFmtConv1, kAllocatorFailed, InResampler1, InFmtConv2);
    return status != ZV_OK ? status : b.LastSet;
}

ULONG RunInGraph() {
    ZvStatus status = Walk(&g_InGraph, false);
    ReleaseInGraphBuffers();
    return status;
}

ULONG RunOutGraph() {
    ZvStatus status = Walk(&g_OutGraph, true);
    ReleaseOutGraphBuffers();
    return status;
}

void ReleaseInGraphBuffers() {
    ReleaseGraphBuffers(&g_InGraph);
}

void ReleaseOutGraphBuffers() {
    ReleaseGraphBuffers(&g_OutGraph);
}

ULONG FreeInGraph() {
    // Waits until the own render requests have given their buffers back.
    if (g_pInAllocator != nullptr) g_pInAllocator->Free();
    return FreeGraph(&g_InGraph);
}

ULONG FreeOutGraph() {
    return FreeGraph(&g_OutGraph);
}

// ---------------------------------------------------------------------------
// Timing
// ---------------------------------------------------------------------------
ULONG EstimateStreamDelay(LONGLONG* delay, LONGLONG* renderBuffered) {
    AecTiming& t = g_AecTiming;
    PDEVICE_OBJECT lower = nullptr;
    PFILE_OBJECT pin = nullptr;
    ULONGLONG frames = 0;
    PDEVICE_OBJECT fdo = nullptr;
    KSAUDIO_POSITION position;

    // Render: what the device holds, plus the pass-through queue.
    if (GetChannelInfo(kChannel, CHANNEL_RENDER, &lower, &pin, &frames, &fdo) != ZV_OK ||
        lower == nullptr || pin == nullptr)
        return ZV_FAILED;
    if (GetAudioPosition(lower, pin, &position) != ZV_OK) return ZV_FAILED;
    ULONG renderBps = g_RenderFormat.AvgBytesPerSec;
    LONGLONG buffered = BytesToMicro(position.WriteOffset, renderBps) -
                        BytesToMicro(position.PlayOffset, renderBps);
    LONGLONG renderLatency =
        t.RenderStartOffset != static_cast<LONGLONG>(kAecUnset)
            ? t.RenderStartOffset
            : (buffered > 0 ? buffered : 0) +
                  (g_pDataQueue2 != nullptr ? BytesToMicro(g_pDataQueue2->GetLevel(), renderBps)
                                            : 0);

    // Capture: what the device has produced and not yet delivered, plus the
    // near-end queue.
    lower = nullptr;
    pin = nullptr;
    if (GetChannelInfo(kChannel, CHANNEL_CAPTURE, &lower, &pin, &frames, &fdo) != ZV_OK ||
        lower == nullptr || pin == nullptr)
        return ZV_FAILED;
    ZvStatus status = GetAudioPosition(lower, pin, &position);
    if (status != ZV_OK) return status;
    ULONG captureBps = g_CaptureFormat.AvgBytesPerSec;
    LONGLONG lag = BytesToMicro(position.PlayOffset, captureBps) -
                   BytesToMicro(frames, g_CaptureFormat.SamplesPerSec);
    LONGLONG captureLatency =
        t.TInfo != static_cast<LONGLONG>(kAecUnset)
            ? t.TInfo
            : (lag > 0 ? lag : 0) + (g_pDataQueue3 != nullptr
                                         ? BytesToMicro(g_pDataQueue3->GetLevel(), captureBps)
                                         : 0);
    *delay = (t.FirstRenderTime - t.FirstCaptureReadTime) + captureLatency + renderLatency;
    *renderBuffered = buffered;
    return ZV_OK;
}

void SampleRenderBuffered() {
    PDEVICE_OBJECT lower = nullptr;
    PFILE_OBJECT pin = nullptr;
    ULONGLONG frames = 0;
    PDEVICE_OBJECT fdo = nullptr;
    KSAUDIO_POSITION position;
    ULONG renderBps = g_RenderFormat.AvgBytesPerSec;
    if (renderBps == 0 ||
        GetChannelInfo(kChannel, CHANNEL_RENDER, &lower, &pin, &frames, &fdo) != ZV_OK ||
        lower == nullptr || pin == nullptr || GetAudioPosition(lower, pin, &position) != ZV_OK)
        return;
    LONGLONG buffered = BytesToMicro(position.WriteOffset, renderBps) -
                        BytesToMicro(position.PlayOffset, renderBps);
    AecTiming& t = g_AecTiming;
    KIRQL irql;
    KeAcquireSpinLock(&t.RenderBufferedLock, &irql);
    t.RenderBufferedSum += buffered;
    ++t.RenderBufferedSamples;
    KeReleaseSpinLock(&t.RenderBufferedLock, irql);
}

// The far end follows the render device's buffered time: frames inserted
// when it grows, dropped when it shrinks.  Queue 1 runs just in time (a pass
// finds the far end of the render buffer that just came and no more), so a
// frame dropped from it leaves the next pass short and the thread waits a
// whole render buffer, with the near end behind it: where the processed
// queue holds less than that, the application receives silence in place of
// its sound and the capture's latency grows by the buffer for good.  So drops
// are held until they cannot run the processed capture dry: out of what
// queue 1 holds beyond the pass just made, or at once while queue 4 holds
// more than a stall can take.  Frames to insert first cancel held drops.
ULONG AddElapsedFrames(LONGLONG frames) {
    AecTiming& t = g_AecTiming;
    LONGLONG change =
        t.LastElapsedFrames != static_cast<LONGLONG>(kAecUnset) ? frames - t.LastElapsedFrames : 0;
    t.LastElapsedFrames = frames;
    if (g_pDataQueue1 == nullptr) return ZV_OK;
    change += t.HeldDropFrames;
    t.HeldDropFrames = change < 0 ? change : 0;
    if (change > 0) g_pDataQueue1->AddDrift(change);
    const ULONG frameBytes = FormatBits(g_RenderFormat) * FormatChannels(g_RenderFormat) / 8;
    if (t.HeldDropFrames == 0 || frameBytes == 0) return ZV_OK;
    LONGLONG drop = g_pDataQueue1->GetReadable() / frameBytes;
    if (g_pDataQueue4 != nullptr &&
        g_pDataQueue4->GetReadable() >= g_CaptureFormat.AvgBytesPerSec * kStallMarginMs / 1000)
        drop = -t.HeldDropFrames;
    if (drop > -t.HeldDropFrames) drop = -t.HeldDropFrames;
    if (drop > 0) {
        g_pDataQueue1->AddDrift(-drop);
        t.HeldDropFrames += drop;
    }
    return ZV_OK;
}

void ResetAecTiming() {
    RtlZeroMemory(&g_AecTiming, sizeof g_AecTiming);
    KeInitializeSpinLock(&g_AecTiming.RenderBufferedLock);
    g_AecTiming.TInfo = static_cast<LONGLONG>(kAecUnset);
    g_AecTiming.RenderStartOffset = static_cast<LONGLONG>(kAecUnset);
    g_AecTiming.LastElapsedFrames = static_cast<LONGLONG>(kAecUnset);
    g_llDelayEstimate = kAecUnset;
    g_ulTraceCount = 0;
    if (g_pTraceBuffer != nullptr) RtlZeroMemory(g_pTraceBuffer, kAecTraceBufferBytes);
}

// ---------------------------------------------------------------------------
// Thread
// ---------------------------------------------------------------------------
NTSTATUS StartAudioProcThread() {
    AudioProcThreadRecord& r = g_AudioProcThread;
    KeInitializeEvent(&r.EndEvent, NotificationEvent, TRUE);
    InterlockedExchange(&r.Stop, 0);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, 0x1F03FF, nullptr, nullptr, nullptr,
                                           AudioProcessingThread, nullptr);
    if (NT_SUCCESS(status)) {
        KeClearEvent(&r.EndEvent);
        InterlockedExchange(&r.Running, 1);
        // The thread object is waited on only where the system can (WDM 1.10);
        // elsewhere the thread's end event says it is done.
        PVOID thread = nullptr;
        if (IoIsWdmVersionAvailable(1, 0x10) &&
            NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                                 &thread, nullptr)))
            r.Thread = static_cast<PKTHREAD>(thread);
        ZwClose(handle);
    } else {
        status = STATUS_UNSUCCESSFUL;
    }
    Log::ModulePrint(1, "StartAudioProcThread(): Thread created 0x%08x\n", status);
    return status;
}

NTSTATUS StopAudioProcThread() {
    AudioProcThreadRecord& r = g_AudioProcThread;
    InterlockedExchange(&r.Stop, 1);
    if (!InterlockedExchange(&r.Running, 0)) return STATUS_SUCCESS;
    Log::ModulePrint(1, "StopStreamingThread>> Need to wait for streaming thread to finish!!\n");
    NTSTATUS status =
        r.Thread != nullptr
            ? KeWaitForSingleObject(r.Thread, Executive, KernelMode, FALSE, nullptr)
            : KeWaitForSingleObject(&r.EndEvent, Executive, KernelMode, FALSE, nullptr);
    Log::ModulePrint(1, "StopAudioProcThread>> KeWaitForSingleObject returned: %X\n", status);
    if (r.Thread != nullptr) ObDereferenceObject(r.Thread);
    r.Thread = nullptr;
    return status;
}
