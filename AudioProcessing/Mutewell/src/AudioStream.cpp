#include "AudioStream.h"
#include "BridgeKernelCalls.h"

#include <cstring>

#include "CircBuff.h"
#include "ZDebug.h"

namespace {

using ThisModule = LogModule<LogModuleFilterLogic>;

constexpr LONGLONG kWaitTimeout = 100 * 10000;  // 100 ms in 100 ns units
// The pause between looks at the requests while an earlier one is still out,
// and before a request the device failed is sent again: short, but a real
// wait rather than a spin.
constexpr LONGLONG kIdleDelay = 1 * 10000;  // 1 ms

bool Completed(const TransferObject* t) {
    return __atomic_load_n(&t->m_fCompleted, __ATOMIC_SEQ_CST) != 0;
}

// A completed request's routine may still be setting its event: the thread
// reuses or frees the request only after the routine has left the object.
// The routine is a few instructions from its end once the flag is seen.
void AwaitRoutineExit(const TransferObject* t) {
    while (__atomic_load_n(&t->m_fRoutineDone, __ATOMIC_ACQUIRE) == 0) {
    }
}

// The device is gone: unplugged, or its stack is being taken down.
bool IsDeviceLoss(NTSTATUS status) {
    return status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_DELETE_PENDING;
}

LARGE_INTEGER Relative(LONGLONG interval) {
    LARGE_INTEGER t;
    t.QuadPart = -interval;
    return t;
}

// Gives back the MDLs a device attached to a request.
void FreeMdls(PIRP irp) {
    while (irp->MdlAddress != nullptr) {
        PMDL mdl = irp->MdlAddress;
        irp->MdlAddress = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
}

}  // namespace

AudioStream::AudioStream(const KsTarget& target, StreamParams* params)
    : m_Target(target),
      m_pParams(params),
      m_fStop(0),
      m_pThread(nullptr),
      m_fThreadStarted(0),
      m_cStackSize(0),
      m_fFirstRender(1),
      m_fRunSet(0),
      m_lInFlight(0),
      m_lSequence(0) {
    KeInitializeEvent(&m_ThreadDone, NotificationEvent, TRUE);
}

AudioStream::~AudioStream() {
    // A stream deleted while its thread may run is stopped first.
    if (m_fThreadStarted) Stop();
}

void AudioStream::Reset() {
    InterlockedExchange(&m_fStop, 0);
    m_fFirstRender = 1;
    m_fRunSet = 0;
    m_lInFlight = 0;
    m_lSequence = 0;
    m_cStackSize = 0;
}

NTSTATUS AudioStream::Start() {
    Reset();
    switch (m_pParams->m_ulDataFlow) {
        case 0:
            return StartAudioSourceStream();
        case 1:
            return StartAudioSinkStream();
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS AudioStream::SetPinState(KSSTATE state, PCSTR caller) {
    static const char* const kNames[] = {"KSSTATE_STOP", "KSSTATE_ACQUIRE", "KSSTATE_PAUSE",
                                         "KSSTATE_RUN"};
    NTSTATUS status = SetState(&m_Target, state);
    if (!NT_SUCCESS(status)) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "%s SetState(%s) Failed status = %X\n", caller,
                                kNames[state], status);
    }
    return status;
}

NTSTATUS AudioStream::StartAudioSourceStream() {
    SetPinState(KSSTATE_PAUSE, "StartAudioSourceStream>>");
    m_fRunSet = NT_SUCCESS(SetPinState(KSSTATE_RUN, "StartAudioSourceStream>>")) ? 1 : 0;
    ThisModule::ModulePrint(2, "StartAudioSourceStream>> Going to start AudioStreamingThread() \n");
    return LocalAudioStreamingThread();
}

NTSTATUS AudioStream::StartAudioSinkStream() {
    SetPinState(KSSTATE_PAUSE, "StartAudioSinkStream>>");
    m_fRunSet = 0;  // the thread runs the pin once its requests are queued
    ThisModule::ModulePrint(2, "StartAudioSinkStream>> Going to start AudioStreamingThread() \n");
    return LocalAudioStreamingThread();
}

NTSTATUS AudioStream::LocalAudioStreamingThread() {
    // Both events are ready before the thread can run: a stop that finds no
    // thread, or one that has already ended, waits for nothing.
    KeInitializeEvent(&m_pParams->m_AllReturned, NotificationEvent, TRUE);
    KeInitializeEvent(&m_ThreadDone, NotificationEvent, FALSE);
    InterlockedExchange(&m_fStop, 0);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           AudioStreamingThread, this);
    if (!NT_SUCCESS(status)) {
        KeSetEvent(&m_ThreadDone, IO_NO_INCREMENT, FALSE);
        ThisModule::ModulePrint(
            ZDBG_ERR | 1,
            "LocalAudioStreamingThread(): Thread created 0x%08x Thread Object - "
            "0x%x\n",
            status, 0);
        return STATUS_UNSUCCESSFUL;
    }
    m_fThreadStarted = 1;
    PVOID object = nullptr;
    if (!NT_SUCCESS(BridgeReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType,
                                                  KernelMode, &object))) {
        object = nullptr;  // the stop waits on the thread-done event instead
    }
    m_pThread = static_cast<PKTHREAD>(object);
    ZwClose(handle);
    ThisModule::ModulePrint(
        2, "LocalAudioStreamingThread(): Thread created 0x%08x Thread Object - 0x%x\n", status,
        static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(object)));
    return status;
}

NTSTATUS AudioStream::Stop() {
    return StopAudioStream(m_pParams->m_ulDataFlow == 1);
}

NTSTATUS AudioStream::StopAudioStream(bool sink) {
    PCSTR prefix = sink ? "StopAudioSinkStream>>" : "StopAudioSourceStream>>";
    CircBuff* ring = m_pParams->m_pCircBuff;
    if (sink) {
        // A render thread waiting for the ring's data ends its wait.
        ThisModule::ModulePrint(2, "%s Going to Flush the Circular Buffer \n", prefix);
        ring->Flush();
    }
    ThisModule::ModulePrint(2, "%s Going to set Stream state to KSSTATE_PAUSE \n", prefix);
    SetPinState(KSSTATE_PAUSE, prefix);
    InterlockedExchange(&m_fStop, 1);
    ThisModule::ModulePrint(2, "%s Going to set Stream state to KSSTATE_STOP \n", prefix);
    SetPinState(KSSTATE_STOP, prefix);
    ThisModule::ModulePrint(2, "%s Going to Stop the StreamingThread \n", prefix);
    const bool ran = m_fThreadStarted != 0;
    NTSTATUS status = StopStreamingThread();
    if (ran) {
        KeWaitForSingleObject(&m_pParams->m_AllReturned, Executive, KernelMode, FALSE, nullptr);
    }
    if (!sink) {
        ThisModule::ModulePrint(2, "%s Going to Flush the Circular Buffer \n", prefix);
        ring->Flush();
    }
    FreeTransferObjects(prefix);
    return status;
}

NTSTATUS AudioStream::StopStreamingThread() {
    InterlockedExchange(&m_fStop, 1);
    if (!m_fThreadStarted) return STATUS_SUCCESS;
    ThisModule::ModulePrint(
        2, "StopStreamingThread>> Need to wait for streaming thread to finish!!\n");
    PVOID object = m_pThread != nullptr && IoIsWdmVersionAvailable(1, 0x10)
                       ? static_cast<PVOID>(m_pThread)
                       : static_cast<PVOID>(&m_ThreadDone);
    NTSTATUS status = KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ThisModule::ModulePrint(2, "StopStreamingThread>> KeWaitForSingleObject returned: %X\n",
                            status);
    if (m_pThread != nullptr) ObDereferenceObject(m_pThread);
    m_pThread = nullptr;
    m_fThreadStarted = 0;
    return status;
}

void AudioStream::FreeTransferObjects(PCSTR prefix) {
    for (ULONG i = 0; i < kTransfersInFlight; ++i) {
        TransferObject* t = m_pParams->m_pTransfers[i];
        if (t == nullptr) continue;
        ThisModule::ModulePrint(2, "%s IRP %d recycled - %d \n", prefix, i, t->m_ulSendCount);
        MemFree(t->m_Header.Data);
        MemFree(t);
        m_pParams->m_pTransfers[i] = nullptr;
    }
}

NTSTATUS AudioStream::InitTransferObject(ULONG index) {
    StreamParams* p = m_pParams;
    auto t = static_cast<TransferObject*>(MemAlloc(sizeof(TransferObject)));
    if (t == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1,
                                "InitTransferObject> Failed to alloc mem for ptransferObject\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(t, 0, sizeof *t);
    if (m_cStackSize == 0) m_cStackSize = static_cast<CCHAR>(m_Target.m_pDevice->StackSize + 1);
    t->m_pIrp = IoAllocateIrp(m_cStackSize, FALSE);
    auto data = t->m_pIrp != nullptr ? static_cast<PUCHAR>(MemAlloc(p->m_ulBytesPer10ms)) : nullptr;
    if (data == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "InitTransferObject>> failed to alloc mem for irp\n");
        if (t->m_pIrp != nullptr) IoFreeIrp(t->m_pIrp);
        MemFree(t);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(data, 0, p->m_ulBytesPer10ms);
    KeInitializeEvent(&t->m_Event, NotificationEvent, FALSE);
    t->m_Header.Size = sizeof(KSSTREAM_HEADER);
    t->m_Header.FrameExtent = p->m_ulBytesPer10ms;
    t->m_Header.Data = data;
    if (p->m_ulDataFlow == 1) {
        t->m_Header.DataUsed = p->m_ulBytesPer10ms;
        t->m_Header.PresentationTime.Numerator = 1;
        t->m_Header.PresentationTime.Denominator = 1;
        ULONG count = p->m_ulBytesPer10ms;
        if (!p->m_pCircBuff->ReadData(data, &count, TRUE)) {
            IoFreeIrp(t->m_pIrp);
            MemFree(data);
            MemFree(t);
            return STATUS_UNSUCCESSFUL;
        }
        if (m_fFirstRender) {
            t->m_Header.OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
            m_fFirstRender = 0;
        }
    }
    t->m_pParams = p;
    t->m_pOwner = this;
    p->m_pTransfers[index] = t;
    return STATUS_SUCCESS;
}

NTSTATUS AudioStream::TransferCompletionRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    auto t = static_cast<TransferObject*>(context);
    __atomic_store_n(&t->m_fCompleted, 1, __ATOMIC_SEQ_CST);
    BridgeSetEvent(&t->m_Event);
    // The routine's last touch: from here the thread may free the request
    // and a stop the transfer object.
    __atomic_store_n(&t->m_fRoutineDone, 1, __ATOMIC_RELEASE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the request stays the thread's
}

NTSTATUS AudioStream::ProcessSourceData(TransferObject* t) {
    if (t->m_pIrp == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "ProcessSourceData>> NULL IRP!!!\n");
        return STATUS_CANCELLED;
    }
    NTSTATUS status = t->m_pIrp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        // The device says how much it filled; never more than the buffer.
        ULONG used = t->m_Header.DataUsed;
        if (used > m_pParams->m_ulBytesPer10ms) used = m_pParams->m_ulBytesPer10ms;
        ULONG written = used;
        m_pParams->m_pCircBuff->WriteCorrected(t->m_Header.Data, &written, FALSE);
        ThisModule::ModulePrint(3,
                                "ProcessSourceData>> New Data Arrived Copying into CircularBuffer "
                                "Actual Data - %d Written %d\n",
                                used, written);
    }
    return status;
}

NTSTATUS AudioStream::ProcessSinkData(TransferObject* t) {
    if (t->m_pIrp == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "ProcessSinkData>> NULL IRP!!!\n");
        return STATUS_CANCELLED;
    }
    ULONG count = m_pParams->m_ulBytesPer10ms;
    m_pParams->m_pCircBuff->ReadData(t->m_Header.Data, &count, FALSE);  // silence where short
    ThisModule::ModulePrint(3,
                            "ProcessSinkData>> New Data Copying From CircularBuffer DataWritten - "
                            "%d Size Req - %d Read %d\n",
                            t->m_Header.DataUsed, m_pParams->m_ulBytesPer10ms, count);
    return STATUS_SUCCESS;
}

void AudioStream::SendTransfer(TransferObject* t) {
    PIRP irp = t->m_pIrp;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode =
        m_pParams->m_ulDataFlow == 0 ? IOCTL_KS_READ_STREAM : IOCTL_KS_WRITE_STREAM;
    stack->Parameters.DeviceIoControl.OutputBufferLength = t->m_Header.Size;
    stack->Parameters.DeviceIoControl.InputBufferLength = 0;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    stack->FileObject = m_Target.m_pFile;
    irp->UserBuffer = &t->m_Header;
    irp->RequestorMode = KernelMode;
    IoSetCompletionRoutine(irp, TransferCompletionRoutine, t, TRUE, TRUE, TRUE);
    KeClearEvent(&t->m_Event);
    __atomic_store_n(&t->m_fCompleted, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&t->m_fRoutineDone, 0, __ATOMIC_RELAXED);
    t->m_fCancelled = 0;
    t->m_ullSendTime = KeQueryInterruptTime();
    IofCallDriver(m_Target.m_pDevice, irp);
}

void AudioStream::ResubmitTransfer(TransferObject* t) {
    KSSTREAM_HEADER& h = t->m_Header;
    PVOID data = h.Data;
    std::memset(&h, 0, sizeof h);
    h.Size = sizeof(KSSTREAM_HEADER);
    h.FrameExtent = m_pParams->m_ulBytesPer10ms;
    h.Data = data;
    if (m_pParams->m_ulDataFlow == 1) {
        h.DataUsed = m_pParams->m_ulBytesPer10ms;
        h.PresentationTime.Numerator = 1;
        h.PresentationTime.Denominator = 1;
    }
    FreeMdls(t->m_pIrp);
    IoReuseIrp(t->m_pIrp, STATUS_SUCCESS);
    t->m_ulSequence = static_cast<ULONG>(InterlockedIncrement(&m_lSequence));
    ++t->m_ulSendCount;
    SendTransfer(t);
}

VOID AudioStream::AudioStreamingThread(PVOID context) {
    auto self = static_cast<AudioStream*>(context);
    NTSTATUS status = self->StreamingLoop();
    ThisModule::ModulePrint(2, "AudioStreamingThread> Thread END - Status - %x\n", status);
    // Nothing of the stream is touched after this: the stopper may free it.
    KeSetEvent(&self->m_ThreadDone, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(status);
}

NTSTATUS AudioStream::StreamingLoop() {
    StreamParams* p = m_pParams;
    const bool capture = p->m_ulDataFlow == 0;
    KeSetPriorityThread(KeGetCurrentThread(), kThreadPriority);
    KeClearEvent(&p->m_AllReturned);

    // The wait array holds the events of the requests that exist; one that
    // could not be made is left out everywhere.
    PVOID events[kTransfersInFlight];
    ULONG eventCount = 0;
    for (ULONG i = 0; i < kTransfersInFlight; ++i) {
        NTSTATUS status = InitTransferObject(i);
        if (!NT_SUCCESS(status)) {
            ThisModule::ModulePrint(
                ZDBG_ERR | 1, "AudioStreamingThread>> InitTransferObject() [%d] - failed %x\n", i,
                status);
            if (eventCount == 0) {
                KeSetEvent(&p->m_AllReturned, IO_NO_INCREMENT, FALSE);
                return status;
            }
            continue;
        }
        TransferObject* t = p->m_pTransfers[i];
        events[eventCount++] = &t->m_Event;
        InterlockedIncrement(&m_lInFlight);
        t->m_ulSequence = static_cast<ULONG>(InterlockedIncrement(&m_lSequence));
        SendTransfer(t);
    }
    // A sink runs once its requests are queued (not when a stop has begun).
    if (!m_fRunSet && !InterlockedCompareExchange(&m_fStop, 0, 0)) {
        m_fRunSet = 1;
        SetPinState(KSSTATE_RUN, "AudioStreamingThread>> SINK");
    }

    ULONG expected = 1;
    bool ending = false;  // stopped or the device is gone: only cancel and free
    NTSTATUS result = STATUS_SUCCESS;
    for (;;) {
        // A stop that came while requests were being sent cancels them at once
        // rather than after the wait; a device that neither completes nor
        // cancels them is looked at again after every time-out.
        if (InterlockedCompareExchange(&m_fStop, 0, 0)) ending = true;
        bool cancelNow = false;
        for (TransferObject* t : p->m_pTransfers) {
            if (ending && t != nullptr && t->m_pIrp != nullptr && !Completed(t) && !t->m_fCancelled)
                cancelNow = true;
        }
        NTSTATUS wait = STATUS_TIMEOUT;
        if (!cancelNow) {
            LARGE_INTEGER timeout = Relative(kWaitTimeout);
            wait = KeWaitForMultipleObjects(eventCount, events, WaitAny, Executive, KernelMode,
                                            FALSE, &timeout, p->m_WaitBlocks);
        }
        if (InterlockedCompareExchange(&m_fStop, 0, 0)) ending = true;
        if (!ending) {
            if (wait == STATUS_TIMEOUT) continue;
            TransferObject* found = nullptr;
            for (TransferObject* t : p->m_pTransfers) {
                if (t != nullptr && t->m_pIrp != nullptr && Completed(t) &&
                    t->m_ulSequence <= expected) {
                    found = t;
                    break;
                }
            }
            if (found == nullptr) {
                // An earlier request is still out: its turn comes first.
                LARGE_INTEGER idle = Relative(kIdleDelay);
                BridgeDelayExecution(&idle);
                continue;
            }
            ++expected;
            AwaitRoutineExit(found);
            KeClearEvent(&found->m_Event);
            NTSTATUS status = capture ? ProcessSourceData(found) : found->m_pIrp->IoStatus.Status;
            if (!IsDeviceLoss(status)) {
                if (!capture) ProcessSinkData(found);
                if (!NT_SUCCESS(status)) {
                    // A device that fails a request may fail the next one at
                    // once: a pause before asking again, or this thread would
                    // spin at its priority for as long as the device fails.
                    LARGE_INTEGER idle = Relative(kIdleDelay);
                    BridgeDelayExecution(&idle);
                }
                ResubmitTransfer(found);
                continue;
            }
            ThisModule::ModulePrint(ZDBG_ERR | 1,
                                    "AudioStreamingThread>> device gone, status = %X\n", status);
            result = status;
            ending = true;
            // The ring's reader and writer must not wait for a stream that ended.
            p->m_pCircBuff->Flush();
        }
        for (TransferObject* t : p->m_pTransfers) {
            if (t == nullptr || t->m_pIrp == nullptr) continue;
            if (!Completed(t)) {
                if (!t->m_fCancelled) {
                    t->m_fCancelled = 1;
                    if (expected <= t->m_ulSequence) expected = t->m_ulSequence + 1;
                    BridgeCancelIrp(t->m_pIrp);
                }
                continue;
            }
            AwaitRoutineExit(t);
            FreeMdls(t->m_pIrp);
            IoFreeIrp(t->m_pIrp);
            t->m_pIrp = nullptr;
            KeClearEvent(&t->m_Event);
            if (InterlockedDecrement(&m_lInFlight) == 0) {
                KeSetEvent(&p->m_AllReturned, IO_NO_INCREMENT, FALSE);
                return result;
            }
        }
    }
}
