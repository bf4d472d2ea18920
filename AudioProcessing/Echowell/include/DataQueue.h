// DataQueue: the ring buffer of audio bytes between the stream callbacks and
// the audio processing thread.  The echo-cancelling logic owns four:
//   1 far end in (render samples to the processing)      4000 ms, no hold-back
//   2 render pass-through (delays the render stream)       570 ms, 70 ms prefilled
//   3 near end in (raw capture samples to the processing)  500 ms, 70 ms hold-back
//   4 near end out (processed capture samples back)        500 ms, 35 ms hold-back
//
// A queue is sized by Init from a duration and a format, holds back a start
// threshold before its reader sees anything, lets a reader or writer either
// wait or degrade (silence on a short read, a truncated write on overflow) and
// sends writes through a drift corrector (Drft, instance "DQUE") while frames
// are pending to be inserted (positive) or dropped (negative).
//
// Locks: the queue lock guards offsets, fill state, ring contents and the start
// threshold; the drift lock guards the pending drift and is taken inside the
// queue lock, never the other way round.  No lock is held while waiting.
//
// Results: 1 success, 0 failure, the count telling what was possible.
#pragma once

#include <wdm.h>

#include "FilterLogic.h"
#include "PoolObject.h"

class CKAUDPDrft;

// What the queue holds, as one consistent snapshot (for the invariant checks
// of the tests and the level reports).
struct DataQueueState {
    ULONG Read, Write, RingSize, FillState, StartThreshold, BytesPerFrame;
    ULONG Aborted, DriftUsable;
    bool HasRing;
    LONGLONG PendingDrift;
};

class DataQueue : public CPoolObject {
public:
    enum : ULONG { kEmpty = 1, kFull = 2 };

    explicit DataQueue(ULONG id);
    ~DataQueue();

    // Sizes the queue: ring of `durationMs` of `format` and a start threshold
    // of `startOffsetMs`, both in whole frames; with `prefill` that much
    // silence is readable at once.  The drift corrector gets the ratio; when it
    // cannot correct the format (it handles 8/16 bits and 1/2 channels only)
    // writes go in uncorrected.  PASSIVE_LEVEL.
    ULONG Init(ULONG durationMs, const ChannelFormat* format, ULONG startOffsetMs,
               ULONG ratioNumerator, ULONG ratioDenominator, ULONG noShortReadDrift,
               ULONG noOverflowDrift, ULONG prefill);
    // Reads *count bytes.  Without `wait` a short read fills the rest of the
    // buffer with silence and *count says what was real; with `wait` it waits
    // for the full count (PASSIVE_LEVEL), and an abort ends the wait with what
    // there is.  A count above the ring size: 0, *count the readable bytes.
    ULONG ReadData(PVOID buffer, PLONG count, ULONG wait, ULONG unused = 0);
    // Copies at most *count of the bytes readable now and leaves the rest of
    // the buffer as it was; *count says how many were copied.  Never waits.
    // For a caller whose buffer holds the very data it just queued: an abort
    // between its write and this read must not replace that data by silence.
    ULONG ReadReady(PVOID buffer, PLONG count);
    // Writes *count bytes.  Without `wait` an overflow writes what fits (the
    // rest is dropped, and counted as drift unless the queue says otherwise);
    // with `wait` it waits for room (PASSIVE_LEVEL).  Refused (0, *count 0)
    // while aborted.  A count above the ring size: 0, *count the writable bytes.
    ULONG WriteData(PCVOID data, PLONG count, ULONG wait);
    // Waits until `bytes` can be written, for at most `timeout100ns`: 1 when
    // there is room, 0 on the time-out, an abort or a count above the ring.
    // PASSIVE_LEVEL.
    ULONG WaitForSpace(ULONG bytes, LONGLONG timeout100ns);
    // The producers' write: through the drift corrector while drift is pending.
    ULONG PutData(PCVOID data, PULONG count, ULONG wait);
    // The drift corrector's output callback; `context` is the queue.
    static ULONG DriftOutput(PVOID context, PVOID data, PULONG count, ULONG wait);
    // Adds frames to the pending drift.  Any IRQL up to DISPATCH_LEVEL.
    ULONG AddDrift(LONGLONG frames);
    // Unread bytes, ignoring the start threshold.
    ULONG GetLevel();
    // Bytes a reader may take now.
    ULONG GetReadable();
    // Bytes a writer may put now without dropping any.
    ULONG GetWritable();
    // The unread bytes just after the write that first brought them to the
    // start threshold (0 until then): what the reader found when it was first
    // let in, whatever a writer added before the reader came to look.
    ULONG GetStartLevel();
    // Whether the reader is let in: the start threshold was reached (looked at
    // now, as a read would).
    bool ReaderStarted();
    // Fills `bytes` of `buffer` with the format's silence.
    void FillSilence(PVOID buffer, ULONG bytes) const;
    // Bytes written since Init.
    ULONGLONG GetWritten();
    // Ends every wait and refuses writes until Reset; discards the readable bytes.
    ULONG Abort();
    // Frees the ring and the drift corrector; the queue must be sized again.
    void Reset(ULONG unused = 0);
    void GetState(DataQueueState* state);
    // Positions, fill state and frame sizes agree (as CircBuff's check);
    // false with the reason in *why.
    bool CheckInvariant(const char** why);
    ULONG Id() const { return m_ulId; }
    // The event every write sets (a test hooks its signal).
    PKEVENT DataEvent() { return &m_DataEvent; }
    ULONG BytesPerSecond() const { return m_Format.AvgBytesPerSec; }
    // 10 ms of the queue's stream in whole frames (at least one frame, never
    // more than the ring): the piece a caller moves at a time, so a buffer of
    // any length passes through a ring shorter than itself.  0 while the
    // queue is not sized.
    ULONG PieceBytes();

private:
    // `read()` under the queue lock.
    template <class Read>
    auto UnderLock(Read read) {
        KIRQL irql;
        KeAcquireSpinLock(&m_QueueLock, &irql);
        auto value = read();
        KeReleaseSpinLock(&m_QueueLock, irql);
        return value;
    }
    ULONG UnreadLocked() const;
    ULONG ReadableLocked();
    void FreeRingAndCorrector();
    void CopyOut(PUCHAR buffer, ULONG count);
    void CopyIn(const UCHAR* data, ULONG count);
    void AddDriftLocked(LONGLONG frames);
    UCHAR SilenceByte() const;
    bool IsAborted();

    ULONG m_ulRead;
    ULONG m_ulWrite;
    ULONG m_ulRingSize;  // bytes, whole frames
    ULONG m_ulDuration;  // ms
    PUCHAR m_pRing;
    ULONG m_ulFillState;  // meaning of read == write: kEmpty or kFull
    KSPIN_LOCK m_QueueLock;
    KEVENT m_SpaceEvent;  // set after every successful read
    KEVENT m_DataEvent;   // set after every successful write
    KEVENT m_AbortEvent;  // set by Abort, cleared only by Reset
    volatile LONG m_lAborted;
    CKAUDPDrft* m_pDrift;
    ULONG m_ulDriftUsable;  // the corrector accepted the format's bits and channels
    ChannelFormat m_Format;
    ULONG m_ulBytesPerFrame;
    volatile LONG m_lStartThreshold;  // bytes held back until first reached
    ULONG m_ulThresholdAfterStart;    // 0
    ULONG m_ulStartLevel;             // see GetStartLevel; under the queue lock
    ULONGLONG m_ullWritten;           // see GetWritten; under the queue lock
    LONGLONG m_llPendingDrift;        // frames; under m_DriftLock
    KSPIN_LOCK m_DriftLock;
    ULONG m_ulNoShortReadDrift;
    ULONG m_ulNoOverflowDrift;
    ULONG m_ulId;
};
