// AudioStream: moves audio between one opened pin of the master device and
// the pin's ring (CircBuff).  A system thread at priority 24 keeps eight
// stream requests of 10 ms in flight on the pin (reads on the capture pin,
// writes on the render pin), takes them back in the order it sent them,
// copies captured data into the ring or refills render data from it, and
// sends them again.  Requests and buffers are made once per start and reused.
//
// The thread ends when it is stopped or the device is gone (requests answered
// STATUS_DEVICE_NOT_CONNECTED, or STATUS_DELETE_PENDING by a stack that is
// going away): it cancels what is in flight, frees every request once it is
// back, and on device loss flushes the ring so that its reader and writer stop
// waiting.
#pragma once

#include <ks.h>

#include "CKsFilter.h"

class CircBuff;
class AudioStream;

constexpr ULONG kTransfersInFlight = 8;

struct TransferObject;

// What the pin hands its stream; owned by the pin.
struct StreamParams {
    ULONG m_ulDataFlow;  // 0 capture, 1 render
    KsTarget m_Target;   // the pin's head
    CircBuff* m_pCircBuff;
    KEVENT m_AllReturned;  // signalled while no request is in flight
    ULONG m_ulBytesPer10ms;
    ULONG m_ulChannels;
    ULONG m_ulRate;
    ULONG m_ulBits;
    TransferObject* m_pTransfers[kTransfersInFlight];  // null where none was made
    // The wait on eight events needs blocks of its own (more than the
    // thread's built-in three).
    KWAIT_BLOCK m_WaitBlocks[kTransfersInFlight];
};

// One stream request and its buffer (one header of bytes per 10 ms).
struct TransferObject {
    volatile LONG m_fCompleted;  // set by the completion routine
    KEVENT m_Event;              // set with it
    // Set last by the completion routine: it no longer touches the object.
    volatile LONG m_fRoutineDone;
    PIRP m_pIrp;  // null once freed
    KSSTREAM_HEADER m_Header;
    StreamParams* m_pParams;
    AudioStream* m_pOwner;
    ULONG m_fCancelled;       // IoCancelIrp was called for the current send
    ULONGLONG m_ullSendTime;  // interrupt time of the last send
    ULONG m_ulSequence;       // of the last send, from 1
    ULONG m_ulSendCount;      // resubmissions
};

class AudioStream : public CPoolObject {
public:
    static constexpr KPRIORITY kThreadPriority = 24;

    // `target` is the pin's head; `params` the pin's (kept, not owned).
    AudioStream(const KsTarget& target, StreamParams* params);
    ~AudioStream();
    AudioStream(const AudioStream&) = delete;
    AudioStream& operator=(const AudioStream&) = delete;

    // Clears the state and starts the source (capture) or sink (render)
    // stream: the pin is paused, then run (the sink's thread runs it once its
    // requests are queued), and the thread is started.  STATUS_UNSUCCESSFUL
    // for another data flow or when the thread cannot be made.
    NTSTATUS Start();
    // Flushes the ring, pauses and stops the pin, ends the thread, waits until
    // every request is back and frees them.  The thread's end status.
    NTSTATUS Stop();
    void Reset();

    // The streaming thread's object while it is referenced (tests).
    PKTHREAD Thread() const { return m_pThread; }

private:
    // Sets the pin's state; a failure is logged under `caller`'s name.
    NTSTATUS SetPinState(KSSTATE state, PCSTR caller);
    NTSTATUS StartAudioSourceStream();
    NTSTATUS StartAudioSinkStream();
    NTSTATUS LocalAudioStreamingThread();
    // Source and sink stops differ only in when the ring is flushed.
    NTSTATUS StopAudioStream(bool sink);
    NTSTATUS StopStreamingThread();

    NTSTATUS InitTransferObject(ULONG index);
    void FreeTransferObjects(PCSTR prefix);
    static NTSTATUS TransferCompletionRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    NTSTATUS ProcessSourceData(TransferObject* transfer);
    NTSTATUS ProcessSinkData(TransferObject* transfer);
    // Sets up the next stack location and sends the request.
    void SendTransfer(TransferObject* transfer);
    void ResubmitTransfer(TransferObject* transfer);

    static VOID AudioStreamingThread(PVOID context);
    NTSTATUS StreamingLoop();

    KsTarget m_Target;
    StreamParams* m_pParams;
    KEVENT m_ThreadDone;    // signalled while no thread runs
    volatile LONG m_fStop;  // set by the stopping thread
    PKTHREAD m_pThread;     // referenced while the thread may run
    ULONG m_fThreadStarted;
    CCHAR m_cStackSize;  // the device's stack size + 1, taken at the first request
    ULONG m_fFirstRender;
    ULONG m_fRunSet;
    volatile LONG m_lInFlight;
    volatile LONG m_lSequence;
};
