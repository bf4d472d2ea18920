// CircBuff: the ring of audio bytes between one bridged pin of the master
// device and the filter logic.  For the capture pin the streaming thread
// writes what the device captured and the audio source reads it; for the
// render pin the audio sink writes and the streaming thread reads.  The ring
// keeps its fill level between limits by asking its own drift corrector
// (CKAUDPDrft, instance code "CBUF") to insert or drop frames on the writing
// side.
//
// Steering: the side paced by the device (the streaming thread's reads of a
// render ring, its writes into a capture ring) looks at the level and asks
// for a third of a block when it lies outside the band.  The corrector
// applies at most 2 % of each block, so the request is not repeated while the
// pending drift still pushes the same way, and the pending drift never
// exceeds two blocks of frames: the level is corrected once, not wound up
// for seconds.  Nothing is steered while the other side is idle (a muted
// direction writes no render ring and reads no capture ring), nor by the
// reads that fill the device's queue before it runs (they wait for data).
// A capture ring starts with two and a half blocks of silence before the
// device's first block, and after its reader was away long enough for the ring to overflow
// it keeps only the newest bytes; a render ring's paced reads give silence
// after a Reset or once the ring ran dry, until two blocks beyond the read
// are in, and the reads that fill the device's queue wait until two blocks
// beyond each are in: either way the level starts inside the band.
//
// Locks: the position lock (positions, state, copies) is taken before the
// drift lock (pending drift), never the other way.  Waits happen with no lock
// held, in 5 ms steps of the machine clock, and end on the data or space event
// or on a flush.  One reader and one writer at a time.
//
// The rate hand-shake of the original design is not offered: its waiting side
// could never be woken, so the pin keeps the value it is given (CKsPin::SetRate)
// and the ring has no separate rate read path.
#pragma once

#include <wdm.h>

#include "PoolObject.h"

class CKAUDPDrft;

class CircBuff : public CPoolObject {
public:
    enum CountMode : ULONG { kReadable = 0, kWritable = 1 };
    enum State : ULONG { kEmpty = 1, kFull = 2 };
    // The `wait` of ReadData, WriteData and WriteCorrected.
    enum WaitMode : ULONG { kNoWait = 0, kWaitForever = 1, kWaitBounded = 2 };

    // Positions 0, state empty, locks and events ready; no buffer yet.
    CircBuff();
    ~CircBuff();  // Free
    CircBuff(const CircBuff&) = delete;
    CircBuff& operator=(const CircBuff&) = delete;

    // Allocates `size` bytes of silence and the drift corrector for the
    // format (bits 8 or 16, 1 or 2 channels: the formats it can correct).
    // `bytesPer10ms` is the block unit of the steering; `render` 1 for the
    // ring of a render pin.  Replaces an earlier buffer and corrector.  1 on
    // success; 0 for a size of 0, a format the corrector refuses or no memory
    // (nothing kept then).  PASSIVE_LEVEL.
    ULONG Create(ULONG size, ULONG render, ULONG channels, ULONG rate, ULONG bits,
                 ULONG bytesPer10ms);
    // Empty, silent, flush flag and pending drift cleared, all events cleared.
    void Reset();
    // Deletes the drift corrector and frees the buffer.
    void Free();
    // Readable (kReadable) or writable (kWritable) bytes into *count; returns
    // *count != 0.  Takes the position lock.
    ULONG GetCount(PULONG count, ULONG mode);
    // Moves m_read (kReadable) or m_write (kWritable) by count with wrap-around;
    // 0 when count exceeds the size.  Position lock held by the caller.
    ULONG AdvancePosition(ULONG count, ULONG mode);
    void Lock();
    void Unlock();

    // Reads *count bytes.  Without wait a short ring gives what it holds and
    // silence after it, *count = the bytes that were data.  With wait it
    // waits for the data (a render ring: and two blocks beyond it) or a
    // flush (then *count = what there was).  A render
    // ring steers its pending drift at the reads without wait.  1 when data was read; 0 for a null
    // buffer, a count above the size (*count = readable, nothing copied) or a
    // flushed ring left empty (m_EvtFlush set).  Waiting needs
    // IRQL <= APC_LEVEL, otherwise DISPATCH_LEVEL.
    ULONG ReadData(PVOID buffer, PULONG count, ULONG wait);
    // Writes *count bytes.  Without wait it writes what fits (*count = that).
    // With wait it waits for room or a flush (then *count = 0, result 0).  0 for
    // a null buffer, a count above the size (*count = writable) or a flushed
    // ring (*count = 0).
    ULONG WriteData(PVOID buffer, PULONG count, ULONG wait);
    // WriteData through the drift corrector while drift is pending; a capture
    // ring steers its pending drift here.  With wait, room for the corrected
    // block is waited for first; the corrector's pieces then go in without
    // waiting.  *count returns the bytes written.  1 on success.
    ULONG WriteCorrected(PVOID buffer, PULONG count, ULONG wait);
    // The drift corrector's output: WriteData on the ring `context` without
    // wait; what does not fit is dropped (CountDropped).
    static ULONG DriftOutput(PVOID context, PVOID buffer, PULONG count, ULONG wait);
    // Refuses writes until the next Reset, empties the ring and ends every
    // wait (abort event).  Returns 1.  Any IRQL up to DISPATCH_LEVEL.
    ULONG Flush();
    // The bound of the waits that ask for it (wait kWaitBounded):
    // `milliseconds` in whole 5 ms steps, at least one; 0: no bound, the
    // default.  A read that times out copies what there is (*count = those
    // bytes); a write writes what fits (*count = that) and drops the rest
    // (CountDropped).  Once a write has timed out, bounded writes drop what
    // does not fit without waiting until a write finds its room again (the
    // reader moves).  The bridge's modules run on threads that other
    // streams share, which must not stall with a master that stopped
    // streaming.
    void SetWaitLimit(ULONG milliseconds);
    // The machine time (KeQueryInterruptTime) at which the bounded waits of
    // the calls that follow end, so that the pieces of one caller's buffer
    // share one bound; 0: each call waits at most the wait limit.  Set by the
    // bounded side before its calls.
    void SetWaitDeadline(ULONGLONG interruptTime) { m_ullDeadline = interruptTime; }
    // A writer dropped `bytes` it could not write: frames that a render
    // ring's corrector was asked to drop need not be dropped again.
    void CountDropped(ULONG bytes);

    // Observations (tests, diagnostics).
    ULONG Size() const { return m_ulSize; }
    LONGLONG PendingDrift();
    // Adds to the pending drift as the steering does (tests).
    void AddPendingDrift(LONGLONG frames);
    PKEVENT FlushedEvent() { return &m_EvtFlush; }
    // Positions, state and counts agree; false with the reason in *why.
    bool CheckInvariant(const char** why);

private:
    // Readable bytes; position lock held.
    ULONG ReadableLocked() const;
    enum WaitResult { kArrived, kAborted, kTimedOut };
    // The machine time at which a call's bounded wait ends; 0: no end.
    ULONGLONG DeadlineOf(ULONG wait) const;
    // Waits on the abort event and `event` in 5 ms steps until one is set,
    // the ring is flushed or `deadline` (0: none) has passed.  No lock held.
    WaitResult WaitFor(PKEVENT event, ULONGLONG deadline);
    // Waits, with no lock held, until `bytes` fit: kArrived when they fit,
    // kAborted on a flush, kTimedOut at the deadline or at once while an
    // earlier bounded write is late.
    WaitResult WaitForRoom(ULONG bytes, ULONG wait);
    // The silence a capture ring starts with, in bytes.
    ULONG CaptureCushion() const;
    // The level starts again at a cushion (a render ring ran dry, a capture
    // ring is trimmed after it overflowed): the corrections the steering
    // asked for as the other side stopped are void, or the next stretch of
    // sound would carry them for a third of a second.  Position lock held.
    void RestartLevelLocked();
    // The paced side's steering by `step` frames (position lock held).
    void SteerLocked(LONGLONG step);
    // Copies between the ring and `data` at `position` with wrap-around.
    void CopyOut(PUCHAR data, ULONG count) const;
    void CopyIn(const UCHAR* data, ULONG count);
    // Under the drift lock.
    void AdjustDrift(LONGLONG frames);
    UCHAR SilenceByte() const { return m_ulBits == 8 ? 0x80 : 0; }

    ULONG m_read;          // next byte to read, 0 .. size-1
    ULONG m_write;         // next byte to write, 0 .. size-1
    ULONG m_ulSize;        // bytes
    PUCHAR m_pBuffer;      // owned unless m_fExternal
    ULONG m_ulState;       // kEmpty or kFull; consulted only when the positions are equal
    ULONG m_fExternal;     // the buffer is not the ring's to free
    KSPIN_LOCK m_Lock;     // positions, state, copies
    KEVENT m_EvtSpace;     // set after every successful read
    KEVENT m_EvtData;      // set after every successful write
    KEVENT m_EvtAbort;     // set by Flush; ends every wait
    KEVENT m_EvtFlush;     // set when a read finds the flushed ring empty
    ULONG m_fFlushBuffer;  // set by Flush, cleared by Reset (position lock)
    ULONG m_ulBits;
    ULONG m_ulChannels;
    ULONG m_ulFrameBytes;
    ULONG m_ulBytesPer10ms;     // the steering's block
    CKAUDPDrft* m_pDrift;       // owned
    KSPIN_LOCK m_DriftLock;     // m_llPendingDrift
    LONGLONG m_llPendingDrift;  // frames to insert (> 0) or drop (< 0)
    ULONG m_fRender;            // 1: ring of a render pin
    LONGLONG m_llDriftBound;    // the largest pending drift either way: two blocks of frames
    ULONG m_fPeerMoved;         // the unpaced side moved since the last steering (position lock)
    ULONG m_ulWritten;          // bytes the corrector handed out in one WriteCorrected
    ULONG m_ulWaitSteps;        // 5 ms steps a wait may take; 0: no bound (set before use)
    ULONGLONG m_ullDeadline;    // end of the bounded waits; 0: the wait limit per call
    ULONG m_fWriteLate;         // a bounded write timed out and no write found room since
    ULONG m_fPrimed;            // capture ring: the first paced write since Reset went in
    ULONG m_fOverflowed;        // capture ring: a write was cut short since the last read
    ULONG m_fRefilling;         // render ring: the paced reads give silence until a cushion is in
};
