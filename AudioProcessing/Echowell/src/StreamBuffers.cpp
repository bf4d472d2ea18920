// What the logic does with each stream buffer the framework hands over, the
// driver's own render requests that carry the render stream's 70 ms
// hold-back to the device, and starting and stopping the echo canceller (by
// the stream states, by work items, by the automatic shut-off).
#include "BufferPool.h"
#include "CKAUDPCMix.h"
#include "CKAUDPEAEC.h"
#include "CKAUDPWAVC.h"
#include "EchowellLogic.h"
#include "FilterLogicServices.h"
#include "Probe.h"
#include "ZDebug.h"

namespace {

using Log = LogModule<LogModuleFilterLogic>;

constexpr LONG kChannel = 1;
constexpr LONGLONG kAutoOffMicro = 1000000;
constexpr LONGLONG kRenderHoldBackMicro = 70000;
constexpr ULONG kNearEndHoldBackMs = 70;
constexpr ULONG kProcessedHoldBackMs = 35;

LONGLONG NowMicro() {
    return static_cast<LONGLONG>(QueryTime100ns() / 10);
}

bool Active() {
    return InterlockedRead(&g_bAecActive) != 0;
}

DataQueue* Queue(ULONG id) {
    switch (id) {
        case 1:
            return g_pDataQueue1;
        case 2:
            return g_pDataQueue2;
        case 3:
            return g_pDataQueue3;
        case 4:
            return g_pDataQueue4;
        default:
            return nullptr;
    }
}

// Both directions of channel 1 running: 0 and *running set, or the state
// query's failure.
ZvStatus BothRunning(bool* running) {
    *running = false;
    const ULONG directions[] = {CHANNEL_CAPTURE, CHANNEL_RENDER};
    for (ULONG direction : directions) {
        ULONG state = 0;
        ZvStatus status = GetChannelState(kChannel, direction, &state);
        if (status != ZV_OK) return status;
        if (state != CHANNEL_STATE_RUNNING) return ZV_OK;
    }
    *running = true;
    return ZV_OK;
}

// The header walk.  The framework hands over only well-formed requests: at
// least one header, each Size inside `length` and at least a header's size,
// DataUsed within FrameExtent and the data mapped, so the walk needs no checks
// of its own beyond stopping at the end.
template <class Action>
void ForEachHeader(PVOID headers, ULONG length, Action action) {
    auto* at = static_cast<PUCHAR>(headers);
    ULONG walked = 0;
    while (walked < length) {
        auto* header = reinterpret_cast<PKSSTREAM_HEADER>(at + walked);
        if (header->Size == 0) break;  // would not advance
        action(header);
        walked += header->Size;
    }
}

// Each header's DataUsed bytes in pieces of at most `piece` bytes, in order.
// A queue's ring may be shorter than an application's buffer (the near-end
// rings hold 500 ms, applications read and write buffers of a second): a
// buffer moved in one call would not fit and would not be queued at all.
template <class Action>
void ForEachPiece(PVOID headers, ULONG length, ULONG piece, Action action) {
    if (piece == 0) return;  // the queue is not sized (processing stopping)
    ForEachHeader(headers, length, [&](PKSSTREAM_HEADER h) {
        auto* data = static_cast<PUCHAR>(h->Data);
        for (ULONG at = 0; at < h->DataUsed;) {
            ULONG n = h->DataUsed - at < piece ? h->DataUsed - at : piece;
            action(data + at, n);
            at += n;
        }
    });
}

// Waits at most `timeout100ns` for room for `bytes` in `queue`: the
// application's thread (and with it the sync-control lock every other buffer
// needs) is never held for long.  False after a time-out or an abort.
bool AwaitRoom(DataQueue* queue, ULONG bytes, LONGLONG timeout100ns = kFarEndWriteWait100ns) {
    ProbeLeave(0);
    bool room = queue->WaitForSpace(bytes, timeout100ns) != 0;
    ProbeEnter(0);
    return room;
}

// One render buffer's far-end copy.  The processing thread drains the queue
// only as capture comes, and capture waits for the sync-control lock this
// buffer holds: the buffer has one bounded wait for room, shared by its
// pieces, and what does not fit after it is dropped.
struct FarEndCopy {
    LONGLONG WaitLeft = kFarEndWriteWait100ns;
    ULONG Written = 0, Offered = 0;
};

void PutFarEnd(DataQueue* queue, PUCHAR data, ULONG bytes, FarEndCopy* copy) {
    if (copy->WaitLeft > 0 && queue->GetWritable() < bytes) {
        const LONGLONG start = static_cast<LONGLONG>(KeQueryInterruptTime());
        const bool room = AwaitRoom(queue, bytes, copy->WaitLeft);
        copy->WaitLeft =
            room ? copy->WaitLeft - (static_cast<LONGLONG>(KeQueryInterruptTime()) - start) : 0;
    }
    ULONG count = bytes;
    queue->PutData(data, &count, 0);
    copy->Written += count;
    copy->Offered += bytes;
}

void RemoveDataQueue(PVOID headers, ULONG length, ULONG id, ULONG wait) {
    DataQueue* queue = Queue(id);
    if (queue == nullptr) return;
    ForEachPiece(headers, length, queue->PieceBytes(), [&](PUCHAR data, ULONG bytes) {
        LONG count = static_cast<LONG>(bytes);
        if (wait) ProbeLeave(0);
        queue->ReadData(data, &count, wait);
        if (wait) ProbeEnter(0);
    });
}

void ChannelMixBuffers(PVOID headers, ULONG length) {
    ForEachHeader(headers, length, [](PKSSTREAM_HEADER h) {
        g_pChannelMix->SubmitPinData(0, h->Data, h->DataUsed, h->Data, h->DataUsed, nullptr);
    });
}

// Whether the processing thread can take `bytes` of the near end from
// queue 3 without another render buffer: queue 1 holds the far end it reads
// beside them.  Only then may a capture buffer wait for it to make room (a
// capture buffer that waits holds the sync-control lock every render buffer
// needs).
// The thread's passes take 10 ms of each queue.
bool FarEndCovers(ULONG bytes) {
    ULONG captureBlock = g_CaptureFormat.AvgBytesPerSec / 100;
    ULONG renderBlock = g_RenderFormat.AvgBytesPerSec / 100;
    if (captureBlock == 0 || renderBlock == 0) return false;
    ULONGLONG passes = (static_cast<ULONGLONG>(bytes) + captureBlock - 1) / captureBlock;
    return g_pDataQueue1->GetReadable() >= passes * renderBlock;
}

// Piece by piece: the raw piece into the near-end queue, then the same
// place refilled from the processed queue (silence where it is short).  A
// buffer longer than the near-end queue's free room waits for the processing
// thread to make room where the far end for it is there (bounded, and once a
// wait ran out not again for this buffer); otherwise what does not fit is
// dropped.
//
// The application is let into the processed queue once the capture has
// delivered both near-end queues' hold-backs (and the processed queue holds
// its own), not on the processed queue's level alone.  At the start the
// thread runs ahead on the far end the playing application queued first,
// then waits for the render hold-back to play out: let in on the level, the
// application would take that early run at a time set by which thread ran
// first, and find a hole once it was read.
void HandleOnBufferOutProcessing(PVOID headers, ULONG length) {
    DataQueue* in = g_pDataQueue3;
    DataQueue* out = g_pDataQueue4;
    bool mayWait = true;
    const ULONGLONG letInAt = static_cast<ULONGLONG>(g_CaptureFormat.AvgBytesPerSec) *
                              (kNearEndHoldBackMs + kProcessedHoldBackMs) / 1000;
    ForEachPiece(headers, length, in->PieceBytes(), [&](PUCHAR data, ULONG bytes) {
        if (mayWait && in->GetWritable() < bytes)
            mayWait = FarEndCovers(bytes - in->GetWritable()) && AwaitRoom(in, bytes);
        ULONG count = bytes;
        in->PutData(data, &count, 0);
        LONG read = static_cast<LONG>(bytes);
        if (in->GetWritten() >= letInAt && out->ReaderStarted())
            out->ReadData(data, &read, 0);
        else
            out->FillSilence(data, bytes);
    });
}

void SetRenderStartOffset() {
    PDEVICE_OBJECT lower = nullptr;
    PFILE_OBJECT pin = nullptr;
    ULONGLONG count = 0;
    PDEVICE_OBJECT fdo = nullptr;
    if (GetChannelInfo(kChannel, CHANNEL_RENDER, &lower, &pin, &count, &fdo) != ZV_OK ||
        lower == nullptr || pin == nullptr)
        return;
    KSAUDIO_POSITION position{};
    if (GetAudioPosition(lower, pin, &position) != ZV_OK) position = KSAUDIO_POSITION{};
    ULONGLONG rate = g_RenderFormat.AvgBytesPerSec;
    if (rate == 0) return;
    LONGLONG write = static_cast<LONGLONG>(position.WriteOffset * 1000000 / rate);
    LONGLONG play = static_cast<LONGLONG>(position.PlayOffset * 1000000 / rate);
    g_AecTiming.RenderStartOffset = write - play + kRenderHoldBackMicro;
}

void HandleOnBufferInProcessing(PVOID headers, ULONG length) {
    Log::ModulePrint(3, "HandleOnBufferInProcessing> Entry...\n");
    if (FormatChannels(g_RenderFormat) > 1) ChannelMixBuffers(headers, length);
    if (g_AecTiming.RenderStartOffset == static_cast<LONGLONG>(kAecUnset)) SetRenderStartOffset();
    if (g_AecTiming.FirstRenderTime == 0) g_AecTiming.FirstRenderTime = NowMicro();

    // The whole 10 ms blocks the pass-through queue holds (after a start, its
    // 70 ms hold-back) go down in requests of the driver's own, ahead of this
    // buffer, which then carries the delayed stream.
    DataQueue* far = g_pDataQueue1;
    DataQueue* pass = g_pDataQueue2;
    ULONG block = g_RenderFormat.AvgBytesPerSec / 100;
    ULONG own = block != 0 ? pass->GetReadable() / block : 0;
    PDEVICE_OBJECT lower = nullptr;
    PFILE_OBJECT pin = nullptr;
    ULONGLONG count = 0;
    PDEVICE_OBJECT fdo = nullptr;
    if (own > 0 && GetChannelInfo(kChannel, CHANNEL_RENDER, &lower, &pin, &count, &fdo) == ZV_OK &&
        lower != nullptr && pin != nullptr) {
        Log::ModulePrint(1, "HandleOnBufferInProcessing> CreateAndSendIrp ulnIrp - %ld\n", own);
        for (ULONG i = 0; i < own; ++i) {
            if (!NT_SUCCESS(CreateAndSendIrp(lower, pin))) break;
        }
    }

    // The device now holds the stream up to this buffer, at every buffer
    // alike (the hold-back the first one sent ahead included).
    SampleRenderBuffered();

    // Piece by piece: the far-end copy, then through the pass-through queue
    // in place.  A piece the stopping queue refused, or that an abort took
    // from it before it was read back, goes down as the application wrote
    // it: only the hold-back ends when processing stops, never the
    // application's audio.
    FarEndCopy copy;
    ForEachPiece(headers, length, pass->PieceBytes(), [&](PUCHAR data, ULONG bytes) {
        PutFarEnd(far, data, bytes, &copy);
        ULONG put = bytes;
        if (!pass->PutData(data, &put, 0) || put == 0) return;
        LONG got = static_cast<LONG>(bytes);
        pass->ReadReady(data, &got);
    });
    if (copy.Written < copy.Offered)
        Log::ModulePrint(1, "AddDataQueue> Far-end queue full: wrote %lu of %lu bytes\n",
                         copy.Written, copy.Offered);
    Log::ModulePrint(3, "HandleOnBufferInProcessing> RemoveDataQueue done ulnIrp - %ld\n", own);
}

// ---------------------------------------------------------------------------
// Own render requests
// ---------------------------------------------------------------------------
ULONG IrpLow32(PIRP irp) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(irp));
}

void InsertInIrpList(OwnRenderIrpContext* context) {
    KIRQL irql;
    KeAcquireSpinLock(&g_OwnIrpLock, &irql);
    // Cleared under the lock: a completion emptying the list sets it under
    // the same lock, so the event always matches the list.
    KeClearEvent(&g_AllIrpsCompleteEvent);
    InsertHeadList(&g_OwnIrpList, &context->Links);
    KeReleaseSpinLock(&g_OwnIrpLock, irql);
    Log::ModulePrint(1, "InsertInIrpList> Irp - 0x%x\n", IrpLow32(context->Irp));
}

// Unlinks the context and gives it back to the lookaside list; the list
// found empty signals g_AllIrpsCompleteEvent, the last thing done.  Whoever
// waited for the event (the processing thread's end, then a stop or the
// master's unload) may delete the lookaside list at once: the request's
// context is back by then, and its buffer (the caller gave it back first).
void RemoveFromIrpList(OwnRenderIrpContext* context) {
    const ULONG irp = IrpLow32(context->Irp);
    KIRQL irql;
    KeAcquireSpinLock(&g_OwnIrpLock, &irql);
    RemoveEntryList(&context->Links);
    const bool empty = IsListEmpty(&g_OwnIrpList);
    ExFreeToNPagedLookasideList(&g_IrpContextLookaside, context);
    Log::ModulePrint(1, "RemoveFromIrpList> Irp - 0x%x\n", irp);
    if (empty) {
        Log::ModulePrint(1, "RemoveFromIrpList> Setting  g_AllIrpsCompleteEvent \n");
        KeSetEvent(&g_AllIrpsCompleteEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&g_OwnIrpLock, irql);
}

NTSTATUS SendIrpCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    auto* c = static_cast<OwnRenderIrpContext*>(context);
    // Every MDL the device below chained on the request goes with it, a
    // locked one unlocked first: one built over the pool buffer locks nothing.
    while (irp->MdlAddress != nullptr) {
        PMDL mdl = irp->MdlAddress;
        irp->MdlAddress = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    IoFreeIrp(irp);
    g_pInAllocator->PutBuffer(c->Buffer);
    RemoveFromIrpList(c);  // returns the context; nothing of the request is used after it
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---------------------------------------------------------------------------
// Work items
// ---------------------------------------------------------------------------
void RunWorkItem(PIO_WORKITEM item, ZvStatus (*action)(), PCSTR done) {
    ProbeEnter(0);
    ProbeAddCounter(15, 1);
    ZvStatus status;
    {
        MutexGuard aec(&g_AecMutex);
        status = action();
    }
    Log::ModulePrint(1, done, status);
    IoFreeWorkItem(item);
    ProbeAddCounter(15, -1);
    ProbeLeave(0);
    AecWorkItemEnd();
}

void StartAECEngine(PDEVICE_OBJECT device, PVOID context) {
    (void)device;
    RunWorkItem(static_cast<PIO_WORKITEM>(context), StartAECGraph,
                "StartAECEngine> AEC Started!!! status - 0x%lx \n");
}

void StopAECEngineWorkItem(PDEVICE_OBJECT device, PVOID context) {
    (void)device;
    RunWorkItem(static_cast<PIO_WORKITEM>(context), StopAECGraph,
                "StopAECEngineWorkItem> AEC Stopped!!! status - 0x%lx \n");
}

// A pin that held channel 1 closed while processing ran: what its stop left
// (thread, chains, queues) goes, unless a start came first and took it over.
ZvStatus StopAfterClose() {
    return Active() ? ZV_OK : StopAECGraph();
}

void StopAfterCloseWorkItem(PDEVICE_OBJECT device, PVOID context) {
    (void)device;
    RunWorkItem(static_cast<PIO_WORKITEM>(context), StopAfterClose,
                "StopAECEngineWorkItem> AEC Stopped!!! status - 0x%lx \n");
}

ZvStatus QueueAecWorkItem(PIO_WORKITEM_ROUTINE routine, PCSTR noItem) {
    PDEVICE_OBJECT lower = nullptr;
    PFILE_OBJECT pin = nullptr;
    ULONGLONG count = 0;
    PDEVICE_OBJECT fdo = nullptr;
    ZvStatus status = GetChannelInfo(kChannel, CHANNEL_CAPTURE, &lower, &pin, &count, &fdo);
    if (status != ZV_OK) return status;
    if (fdo == nullptr) return ZV_FAILED;
    // Counted before it is queued, so an unload waits for it.
    if (!AecWorkItemBegin()) return ZV_FAILED;
    PIO_WORKITEM item = IoAllocateWorkItem(fdo);
    if (item == nullptr) {
        AecWorkItemEnd();
        Log::ModulePrint(1, noItem);
        return ZV_FAILED;
    }
    IoQueueWorkItem(item, routine, DelayedWorkQueue, item);
    return ZV_OK;
}

void ResetQueues() {
    const ULONG ids[] = {1, 2, 3, 4};
    for (ULONG id : ids) {
        if (Queue(id) != nullptr) Queue(id)->Reset();
    }
}

// A start that failed after building: nothing of it stays.
ZvStatus FailStart(ZvStatus status, PCSTR message) {
    FreeInGraph();
    FreeOutGraph();
    ResetQueues();
    InterlockedExchange(&g_bAecActive, 0);
    Log::ModulePrint(1, message, status);
    return status;
}

ULONG InitializeDataQueues() {
    struct Sizing {
        ULONG Id, Ms;
        const ChannelFormat* Format;
        ULONG StartMs, Prefill;
    } const sizes[] = {
        {1, 4000, &g_RenderFormat, 0, 0},
        {2, 570, &g_RenderFormat, 70, 1},
        {3, 500, &g_CaptureFormat, kNearEndHoldBackMs, 0},
        {4, 500, &g_CaptureFormat, kProcessedHoldBackMs, 0},
    };
    for (const Sizing& s : sizes) {
        if (!Queue(s.Id)->Init(s.Ms, s.Format, s.StartMs, 10, 1000, 1, 0, s.Prefill)) return 0;
    }
    return 1;
}

// The shut-off measures how long one stream has delivered without the other.
// A buffer that ends a lull of both streams (neither delivered for the
// shut-off's second) starts that measure again for both, as a start does:
// the lull is no stream running alone, and taken for one it would stop the
// canceller for the rest of the streams' run.
void NoteBufferTime(volatile LONGLONG* own, volatile LONGLONG* other) {
    const LONGLONG now = NowMicro();
    if (now - InterlockedCompareExchange64(own, 0, 0) > kAutoOffMicro &&
        now - InterlockedCompareExchange64(other, 0, 0) > kAutoOffMicro)
        InterlockedExchange64(other, now);
    InterlockedExchange64(own, now);
}

}  // namespace

// ---------------------------------------------------------------------------
// Buffers
// ---------------------------------------------------------------------------
ZvStatus OnBuffer(CGenDisp* genDisp, ULONG direction, PVOID headers, ULONG length, LONG channel,
                  PFILE_OBJECT pinFile) {
    (void)genDisp;
    (void)channel;
    (void)pinFile;
    if (!LogicLoaded()) return ZV_NOT_READY;
    InitDriverObjects();
    // Counted before the look at the active flag: a stop clears the flag,
    // then waits until every buffer that saw it set has left the queues.
    if (!g_BuffersInFlight.Enter()) return ZV_OK;
    ZvStatus status = ZV_OK;
    if (Active()) {
        ULONG process = 0;
        ULONG size = sizeof process;
        bool running = false;
        status = GetSharedVariable(VID_SHARED_PROCESS, &process, &size);
        if (status == ZV_OK && process != 0) status = BothRunning(&running);
        if (status == ZV_OK && process != 0 && running) {
            // Render and capture buffers arrive on their own threads.
            LONGLONG apart = InterlockedCompareExchange64(&g_llLastRenderTime, 0, 0) -
                             InterlockedCompareExchange64(&g_llLastCaptureTime, 0, 0);
            if (!g_bAutoOffLatched && (apart > kAutoOffMicro || apart < -kAutoOffMicro)) {
                g_bAutoOffLatched = 1;
                ZvStatus stopped = StopAEC();
                Log::ModulePrint(
                    1, "OnBuffer> Auto AEC Shutdown kicked in llTime - %I64d; status - 0x%lx\n",
                    apart, stopped);
                status = stopped;  // the buffer is still handled; the answer is the stop's
            }
            if (direction == CHANNEL_CAPTURE) {
                NoteBufferTime(&g_llLastCaptureTime, &g_llLastRenderTime);
                HandleOnBufferOutProcessing(headers, length);
            } else if (direction == CHANNEL_RENDER) {
                NoteBufferTime(&g_llLastRenderTime, &g_llLastCaptureTime);
                HandleOnBufferInProcessing(headers, length);
            }
        }
    }
    g_BuffersInFlight.Leave();
    return status;
}

NTSTATUS CreateAndSendIrp(PDEVICE_OBJECT lower, PFILE_OBJECT pinFile) {
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* c = static_cast<OwnRenderIrpContext*>(
        ExAllocateFromNPagedLookasideList(&g_IrpContextLookaside));
    if (c == nullptr) {
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(c, sizeof *c);
    c->Irp = irp;
    ULONG bytes = 0;
    if (g_pInAllocator->GetBuffer(&c->Buffer, 0) != ZV_OK || c->Buffer == nullptr) {
        IoFreeIrp(irp);
        ExFreeToNPagedLookasideList(&g_IrpContextLookaside, c);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    g_pInAllocator->GetBufferSize(&bytes);
    KSSTREAM_HEADER& h = c->Header;
    h.Size = sizeof(KSSTREAM_HEADER);
    h.PresentationTime.Numerator = 1;
    h.PresentationTime.Denominator = 1;
    h.FrameExtent = bytes;
    h.DataUsed = bytes;
    h.Data = c->Buffer;
    RemoveDataQueue(&h, sizeof h, 2, 0);

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_WRITE_STREAM;
    stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(KSSTREAM_HEADER);
    stack->Parameters.DeviceIoControl.InputBufferLength = 0;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    stack->FileObject = pinFile;
    irp->UserBuffer = &h;
    irp->RequestorMode = KernelMode;
    InsertInIrpList(c);
    IoSetCompletionRoutine(irp, SendIrpCompletion, c, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, irp);
}

LONG AecOwnIrpsPending() {
    LONG count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&g_OwnIrpLock, &irql);
    for (PLIST_ENTRY e = g_OwnIrpList.Flink; e != &g_OwnIrpList; e = e->Flink) ++count;
    KeReleaseSpinLock(&g_OwnIrpLock, irql);
    return count;
}

// ---------------------------------------------------------------------------
// Start and stop
// ---------------------------------------------------------------------------
ZvStatus OnSetStreamState(CGenDisp* genDisp, ULONG direction, KSSTATE state, LONG channel) {
    (void)genDisp;
    if (!LogicLoaded()) return ZV_NOT_READY;
    InitDriverObjects();
    ULONG stored = 0;
    PCSTR message = nullptr;
    switch (state) {
        case KSSTATE_STOP:
            stored = CHANNEL_STATE_STOPPED;
            message = "KSSTATE_STOP> SetChannelState \n";
            break;
        case KSSTATE_PAUSE:
            stored = CHANNEL_STATE_PAUSED;
            message = "KSSTATE_PAUSE> SetChannelState \n";
            break;
        case KSSTATE_RUN:
            stored = CHANNEL_STATE_RUNNING;
            break;
        case KSSTATE_ACQUIRE: {
            // Straight from RUN the stream leaves RUN as through a PAUSE: the
            // device holds the driver's own render requests from here on, and
            // a stop that waited for them later would wait for ever.
            ULONG now = 0;
            if (GetChannelState(channel, direction, &now) != ZV_OK || now != CHANNEL_STATE_RUNNING)
                return ZV_OK;
            stored = CHANNEL_STATE_PAUSED;
            message = "KSSTATE_PAUSE> SetChannelState \n";
            break;
        }
        default:
            return ZV_OK;
    }
    // Serialised with the start and stop work items: two starts at once would
    // make two threads, a stop beside a start would free chains in use.
    MutexGuard aec(&g_AecMutex);
    if (stored == CHANNEL_STATE_RUNNING) {
        (void)SetChannelState(channel, direction, stored);
        return StartAECGraph();
    }
    InterlockedExchange(&g_bAecActive, 0);
    Log::ModulePrint(3, message);
    (void)SetChannelState(channel, direction, stored);
    StopAECGraph();
    return ZV_OK;
}

ZvStatus StartAECGraph() {
    if (Active()) return ZV_OK;
    // A pin closed while processing ran: its stop may still be queued.  The
    // start finishes it first, so that the chains are built for the pins
    // open now.
    if (InterlockedRead(&g_AudioProcThread.Running) != 0) StopAECGraph();
    bool running = false;
    ZvStatus status = BothRunning(&running);
    if (status != ZV_OK || !running) {
        InterlockedExchange(&g_bAecActive, 0);
        return status;
    }
    status = static_cast<ZvStatus>(InitOutGraph(CHANNEL_CAPTURE, kChannel));
    if (status != ZV_OK)
        return FailStart(status, "OnSetStreamState> InitOutGraph Failed status - 0x%lx \n");
    status = static_cast<ZvStatus>(InitInGraph(CHANNEL_RENDER, kChannel));
    if (status != ZV_OK)
        return FailStart(status, "OnSetStreamState> InitInGraph Failed status - 0x%lx \n");

    {
        MutexGuard engine(&g_EngineMutex);
        g_pAecModule->SetPropertyDword(CKAUDPEAEC::kPropReapply, 1);
        g_pWaveCorr->SetPropertyDword(CKAUDPWAVC::kPropReset, 1);
    }

    ResetAecTiming();
    g_bAutoOffLatched = 0;
    const LONGLONG now = NowMicro();
    InterlockedExchange64(&g_llLastRenderTime, now);
    InterlockedExchange64(&g_llLastCaptureTime, now);
    InterlockedExchange(&g_bProcessing, 1);

    if (!InitializeDataQueues())
        return FailStart(ZV_FAILED,
                         "OnSetStreamState> InitializeDataQueue Failed status - 0x%lx \n");

    KIRQL irql;
    KeAcquireSpinLock(&g_OwnIrpLock, &irql);
    InitializeListHead(&g_OwnIrpList);
    KeSetEvent(&g_AllIrpsCompleteEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&g_OwnIrpLock, irql);

    PDEVICE_OBJECT lower = nullptr;
    PFILE_OBJECT pin = nullptr;
    ULONGLONG count = 0;
    PDEVICE_OBJECT fdo = nullptr;
    ZvStatus channelStatus = GetChannelInfo(kChannel, CHANNEL_CAPTURE, &lower, &pin, &count, &fdo);
    // The gain control's node and preset come from the processing thread
    // before its first pass (StartAGC): a RUN starts the canceller inside the
    // device's completion of the state request, where a request of our own
    // to the same device could wait for that very completion.

    NTSTATUS thread = StartAudioProcThread();
    if (!NT_SUCCESS(thread)) {
        // Reported as the failure it is, not as the channel query's success.
        return FailStart(static_cast<ZvStatus>(thread),
                         "OnSetStreamState> StartAudioProcThread Failed ntstatus - 0x%lx \n");
    }
    ProbeNameTimer(5, "Total time spent in Graph exc. AEC");
    ProbeNameTimer(6, "Total time spent in AEC");
    ProbeNameValue(0, "Queue-1 Read Level");
    ProbeNameValue(1, "Queue-2 Read Level");
    ProbeNameValue(2, "Queue-3 Read Level");
    ProbeNameValue(3, "Queue-4 Read Level");
    ProbeNameValue(4, "T-Info Value");
    ProbeNameValue(10, "AGC Volume Level");
    ProbeNameValue(11, "AGC Average Volume grades");
    InterlockedExchange(&g_bAecActive, 1);
    return channelStatus;
}

ZvStatus StopAECGraph() {
    InterlockedExchange(&g_bAecActive, 0);
    const ULONG ids[] = {1, 2, 3, 4};
    for (ULONG id : ids) {
        if (Queue(id) != nullptr) Queue(id)->Abort();
    }
    // A buffer that saw the canceller active may still be in the queues.
    g_BuffersInFlight.WaitIdle();
    StopAudioProcThread();
    ResetQueues();
    RtlZeroMemory(&g_AudioProcThread, sizeof g_AudioProcThread);
    FreeInGraph();
    FreeOutGraph();
    return ZV_OK;
}

ZvStatus StartAEC() {
    return QueueAecWorkItem(StartAECEngine, "StartAEC> Unable to Create WorkItem !!!\n");
}

ZvStatus StopAEC() {
    return QueueAecWorkItem(StopAECEngineWorkItem, "StopAEC> Unable to Create WorkItem !!!\n");
}

void StopOnPinClose() {
    // Buffers pass through from here on, as after a STOP; the stop itself
    // waits for the processing thread, which the close must not.
    if (InterlockedExchange(&g_bAecActive, 0) == 0) return;
    (void)QueueAecWorkItem(StopAfterCloseWorkItem, "StopAEC> Unable to Create WorkItem !!!\n");
}
