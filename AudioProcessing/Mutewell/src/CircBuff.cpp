#include "CircBuff.h"

#include <cstring>

#include "CKAUDPDrft.h"
#include "ZDebug.h"

namespace {

using ThisModule = LogModule<LogModuleFilterLogic>;

constexpr LONGLONG kWaitStep = 5 * 10000;  // 5 ms in 100 ns units
// The drift corrector's rate: at most 20 frames in 1000.
constexpr ULONG kDriftNumerator = 20;
constexpr ULONG kDriftDenominator = 1000;
// Half blocks of silence a capture ring starts with before the device's
// first block: then one and a half to two and a half blocks are buffered
// when a block arrives, near the middle of the band.
constexpr ULONG kCaptureCushionHalves = 5;

}  // namespace

CircBuff::CircBuff()
    : m_read(0),
      m_write(0),
      m_ulSize(0),
      m_pBuffer(nullptr),
      m_ulState(kEmpty),
      m_fExternal(0),
      m_fFlushBuffer(0),
      m_ulBits(0),
      m_ulChannels(0),
      m_ulFrameBytes(0),
      m_ulBytesPer10ms(0),
      m_pDrift(nullptr),
      m_llPendingDrift(0),
      m_fRender(0),
      m_llDriftBound(0),
      m_fPeerMoved(0),
      m_ulWritten(0),
      m_ulWaitSteps(0),
      m_ullDeadline(0),
      m_fWriteLate(0),
      m_fPrimed(0),
      m_fOverflowed(0),
      m_fRefilling(0) {
    KeInitializeSpinLock(&m_Lock);
    KeInitializeSpinLock(&m_DriftLock);
    KeInitializeEvent(&m_EvtSpace, NotificationEvent, FALSE);
    KeInitializeEvent(&m_EvtData, NotificationEvent, FALSE);
    KeInitializeEvent(&m_EvtAbort, NotificationEvent, FALSE);
    KeInitializeEvent(&m_EvtFlush, NotificationEvent, FALSE);
}

CircBuff::~CircBuff() {
    Free();
}

ULONG CircBuff::Create(ULONG size, ULONG render, ULONG channels, ULONG rate, ULONG bits,
                       ULONG bytesPer10ms) {
    (void)rate;  // the ring counts bytes; the rate is not kept
    if (size == 0) return 0;
    Free();
    auto buffer = static_cast<PUCHAR>(MemAlloc(size));
    if (buffer == nullptr) return 0;
    ULONG status = ZV_OK;
    CKAUDPDrft* drift = new CKAUDPDrft(nullptr, ZvFourCC("CBUF"), &status);
    if (drift == nullptr) status = ZV_NO_MEMORY;
    // A corrector that refuses the format could never correct it: the ring
    // would drop every block that it is asked to correct.
    if (status == ZV_OK) status = drift->SetPropertyDword(CKAUDPDrft::kPropBits, bits);
    if (status == ZV_OK) status = drift->SetPropertyDword(CKAUDPDrft::kPropChannels, channels);
    if (status == ZV_OK)
        status = drift->SetPropertyDword(CKAUDPDrft::kPropRatioNumerator, kDriftNumerator);
    if (status == ZV_OK)
        status = drift->SetPropertyDword(CKAUDPDrft::kPropRatioDenominator, kDriftDenominator);
    if (status == ZV_OK) status = drift->SetOutput(DriftOutput, this);
    if (status != ZV_OK) {
        ThisModule::ModulePrint(ZDBG_ERR | 1,
                                "CircBuff::Create>> Failed to Create Drift Corrector Module Status "
                                "- %x \n",
                                status);
        delete drift;
        MemFree(buffer);
        return 0;
    }
    m_pBuffer = buffer;
    m_fExternal = 0;
    m_ulSize = size;
    m_fRender = render;
    m_ulChannels = channels;
    m_ulBits = bits;
    m_ulFrameBytes = bits * channels / 8;
    m_ulBytesPer10ms = bytesPer10ms;
    m_llDriftBound =
        m_ulFrameBytes != 0 ? 2 * static_cast<LONGLONG>(bytesPer10ms / m_ulFrameBytes) : 0;
    m_pDrift = drift;
    std::memset(m_pBuffer, SilenceByte(), m_ulSize);
    m_read = m_write = 0;
    m_ulState = kEmpty;
    return 1;
}

void CircBuff::Reset() {
    KIRQL old;
    KeAcquireSpinLock(&m_Lock, &old);
    m_read = m_write = 0;
    m_ulState = kEmpty;
    m_fFlushBuffer = 0;
    m_fPeerMoved = 0;
    m_fWriteLate = 0;
    m_fPrimed = 0;
    m_fOverflowed = 0;
    m_fRefilling = 1;
    if (m_pBuffer != nullptr) std::memset(m_pBuffer, SilenceByte(), m_ulSize);
    KeAcquireSpinLockAtDpcLevel(&m_DriftLock);
    m_llPendingDrift = 0;
    KeReleaseSpinLockFromDpcLevel(&m_DriftLock);
    KeReleaseSpinLock(&m_Lock, old);
    KeClearEvent(&m_EvtSpace);
    KeClearEvent(&m_EvtData);
    KeClearEvent(&m_EvtAbort);
    KeClearEvent(&m_EvtFlush);
}

void CircBuff::Free() {
    delete m_pDrift;
    m_pDrift = nullptr;
    if (m_pBuffer != nullptr && !m_fExternal) MemFree(m_pBuffer);
    m_pBuffer = nullptr;
    m_ulSize = 0;
    m_read = m_write = 0;
    m_ulState = kEmpty;
}

ULONG CircBuff::ReadableLocked() const {
    if (m_write > m_read) return m_write - m_read;
    if (m_write < m_read) return m_ulSize - m_read + m_write;
    return m_ulState == kFull ? m_ulSize : 0;
}

ULONG CircBuff::GetCount(PULONG count, ULONG mode) {
    KIRQL old;
    KeAcquireSpinLock(&m_Lock, &old);
    ULONG readable = ReadableLocked();
    KeReleaseSpinLock(&m_Lock, old);
    *count = mode == kReadable ? readable : m_ulSize - readable;
    return *count != 0;
}

ULONG CircBuff::AdvancePosition(ULONG count, ULONG mode) {
    if (count > m_ulSize) return 0;
    if (count == 0) return 1;  // nothing moved: the state stays
    ULONG& position = mode == kReadable ? m_read : m_write;
    position += count;
    if (position >= m_ulSize) position -= m_ulSize;
    if (m_read == m_write) m_ulState = mode == kReadable ? kEmpty : kFull;
    return 1;
}

void CircBuff::Lock() {
    KeAcquireSpinLockAtDpcLevel(&m_Lock);
}

void CircBuff::Unlock() {
    KeReleaseSpinLockFromDpcLevel(&m_Lock);
}

void CircBuff::CopyOut(PUCHAR data, ULONG count) const {
    ULONG first = m_ulSize - m_read < count ? m_ulSize - m_read : count;
    std::memcpy(data, m_pBuffer + m_read, first);
    std::memcpy(data + first, m_pBuffer, count - first);
}

void CircBuff::CopyIn(const UCHAR* data, ULONG count) {
    ULONG first = m_ulSize - m_write < count ? m_ulSize - m_write : count;
    std::memcpy(m_pBuffer + m_write, data, first);
    std::memcpy(m_pBuffer, data + first, count - first);
}

void CircBuff::AdjustDrift(LONGLONG frames) {
    if (frames == 0) return;
    KIRQL old;
    KeAcquireSpinLock(&m_DriftLock, &old);
    LONGLONG pending = m_llPendingDrift + frames;
    if (pending > m_llDriftBound) pending = m_llDriftBound;
    if (pending < -m_llDriftBound) pending = -m_llDriftBound;
    m_llPendingDrift = pending;
    KeReleaseSpinLock(&m_DriftLock, old);
}

ULONG CircBuff::CaptureCushion() const {
    const ULONG bytes = kCaptureCushionHalves * m_ulBytesPer10ms / 2;
    return bytes - bytes % m_ulFrameBytes;
}

void CircBuff::RestartLevelLocked() {
    KeAcquireSpinLockAtDpcLevel(&m_DriftLock);
    m_llPendingDrift = 0;
    KeReleaseSpinLockFromDpcLevel(&m_DriftLock);
}

void CircBuff::SteerLocked(LONGLONG step) {
    // The other side idle (a mute): its level says nothing of the clocks.
    const bool moved = m_fPeerMoved != 0;
    m_fPeerMoved = 0;
    if (step == 0 || !moved) return;
    KeAcquireSpinLockAtDpcLevel(&m_DriftLock);
    const LONGLONG pending = m_llPendingDrift;
    // A correction on its way in this direction is not asked for again.
    if (!((step > 0 && pending > 0) || (step < 0 && pending < 0))) {
        LONGLONG next = pending + step;
        if (next > m_llDriftBound) next = m_llDriftBound;
        if (next < -m_llDriftBound) next = -m_llDriftBound;
        m_llPendingDrift = next;
    }
    KeReleaseSpinLockFromDpcLevel(&m_DriftLock);
}

LONGLONG CircBuff::PendingDrift() {
    KIRQL old;
    KeAcquireSpinLock(&m_DriftLock, &old);
    LONGLONG pending = m_llPendingDrift;
    KeReleaseSpinLock(&m_DriftLock, old);
    return pending;
}

void CircBuff::AddPendingDrift(LONGLONG frames) {
    AdjustDrift(frames);
}

void CircBuff::SetWaitLimit(ULONG milliseconds) {
    const ULONGLONG step = static_cast<ULONGLONG>(kWaitStep / 10000);
    m_ulWaitSteps = milliseconds == 0 ? 0 : static_cast<ULONG>((milliseconds + step - 1) / step);
}

void CircBuff::CountDropped(ULONG bytes) {
    if (m_ulFrameBytes == 0) return;
    KIRQL old;
    KeAcquireSpinLock(&m_DriftLock, &old);
    const LONGLONG frames = bytes / m_ulFrameBytes;
    if (m_llPendingDrift < 0)
        m_llPendingDrift = frames >= -m_llPendingDrift ? 0 : m_llPendingDrift + frames;
    KeReleaseSpinLock(&m_DriftLock, old);
}

ULONGLONG CircBuff::DeadlineOf(ULONG wait) const {
    if (wait != kWaitBounded) return 0;
    if (m_ullDeadline != 0) return m_ullDeadline;
    if (m_ulWaitSteps == 0) return 0;
    return KeQueryInterruptTime() + static_cast<ULONGLONG>(m_ulWaitSteps) * kWaitStep;
}

CircBuff::WaitResult CircBuff::WaitFor(PKEVENT event, ULONGLONG deadline) {
    PVOID objects[2] = {&m_EvtAbort, event};
    const bool writer = event == &m_EvtSpace;
    for (;;) {
        LONGLONG step = kWaitStep;
        if (deadline != 0) {
            const ULONGLONG now = KeQueryInterruptTime();
            if (now >= deadline) return kTimedOut;
            if (deadline - now < static_cast<ULONGLONG>(step))
                step = static_cast<LONGLONG>(deadline - now);
        }
        // A flush whose abort another waiter has taken ends this wait too.
        KIRQL old;
        KeAcquireSpinLock(&m_Lock, &old);
        ULONG flushed = m_fFlushBuffer;
        KeReleaseSpinLock(&m_Lock, old);
        if (flushed) return kAborted;
        if (writer) {
            ThisModule::ModulePrint(
                3, "CircBuff>WriteData> Going to Wait for the Buffer to be Read\n");
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = -step;
        NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode,
                                                   FALSE, &timeout, nullptr);
        if (status == STATUS_WAIT_0) {
            KeClearEvent(&m_EvtAbort);
            return kAborted;
        }
        if (status == STATUS_WAIT_0 + 1) {
            KeClearEvent(event);
            return kArrived;
        }
        if (writer)
            ThisModule::ModulePrint(3, "CircBuff>WriteData> Time out Continue to wait...\n");
    }
}

ULONG CircBuff::ReadData(PVOID buffer, PULONG count, ULONG wait) {
    if (buffer == nullptr || count == nullptr) return 0;
    if (*count == 0) return 1;
    auto data = static_cast<PUCHAR>(buffer);
    KIRQL old;
    KeAcquireSpinLock(&m_Lock, &old);
    ULONG readable = ReadableLocked();
    if (m_fFlushBuffer && readable == 0) {
        *count = 0;  // nothing was read: the caller must not take its request as data
        KeReleaseSpinLock(&m_Lock, old);
        KeSetEvent(&m_EvtFlush, IO_NO_INCREMENT, FALSE);
        return 0;
    }
    if (*count > m_ulSize) {
        *count = readable;
        KeReleaseSpinLock(&m_Lock, old);
        return 0;
    }
    // A writer that starts (the stream's start, the end of a mute, after the
    // ring ran dry) is given time to build two blocks beyond a read before the
    // device takes its data, so that the level lies inside the band rather
    // than being steered there for half a second.
    const ULONG cushion =
        *count + 2 * m_ulBytesPer10ms <= m_ulSize ? *count + 2 * m_ulBytesPer10ms : m_ulSize;
    ULONG need = *count;
    if (m_fRender && wait != kNoWait) {
        // The reads that fill the device's queue before it runs keep the
        // cushion behind them: were they to take each block as it comes, the
        // queue would leave the ring empty, and the device's first paced read
        // would find it dry, a gap of silence after the queue's first 80 ms.
        need = cushion;
    }
    if (m_fRender && wait == kNoWait) {
        // The paced reads meanwhile are silence, as they would be from a dry ring.
        if (readable == 0) {
            m_fRefilling = 1;
            RestartLevelLocked();  // the writer stopped: its corrector applies nothing meanwhile
        }
        if (m_fRefilling && readable < cushion) {
            m_fPeerMoved = 0;
            KeReleaseSpinLock(&m_Lock, old);
            std::memset(data, SilenceByte(), *count);
            *count = 0;
            return 1;
        }
        if (m_fRefilling && readable > cushion) {
            // The last write went past the cushion: its oldest bytes go, so
            // the level starts where the band wants it whatever the writes' sizes.
            AdvancePosition(readable - cushion, kReadable);
            readable = cushion;
        }
        m_fRefilling = 0;
        // The streaming thread drains a render ring at the device's pace; the
        // writer's corrector makes up for the difference of the two clocks.
        // Its waiting reads fill the device's queue before it runs: they
        // take what comes and do not steer.  The device takes whole blocks
        // at its own clock, so a faster one takes two in one instant now and
        // then: a read that leaves less than a block behind it is low, or
        // the second of two such reads would play silence.
        const ULONG block = m_ulBytesPer10ms;
        LONGLONG step = 0;
        if (readable < 2 * block) step += block / 3;
        if (readable + block >= m_ulSize) step -= block / 3;
        SteerLocked(step);
    }
    if (!m_fRender && m_fOverflowed) {
        // The reader was away (a muted microphone) and the device ran the
        // ring full: the oldest bytes go, the newest are read on, with the
        // level as at the start of the stream.
        const ULONG cushion =
            *count + CaptureCushion() <= m_ulSize ? *count + CaptureCushion() : m_ulSize;
        if (readable > cushion) {
            AdvancePosition(readable - cushion, kReadable);
            readable = cushion;
        }
        RestartLevelLocked();
        m_fOverflowed = 0;
    }
    ThisModule::ModulePrint(3, "CircBuff>ReadData> Read poscount - %d pCount - %d\n", readable,
                            *count);
    if (readable < need) {
        if (!wait) {
            std::memset(data + readable, SilenceByte(), *count - readable);
            *count = readable;
        } else {
            const ULONGLONG deadline = DeadlineOf(wait);
            for (;;) {
                KeReleaseSpinLock(&m_Lock, old);
                const bool arrived = WaitFor(&m_EvtData, deadline) == kArrived;
                KeAcquireSpinLock(&m_Lock, &old);
                readable = ReadableLocked();
                if (!arrived) {
                    if (readable < *count) *count = readable;
                    break;
                }
                if (readable >= need) break;
            }
        }
    }
    if (m_fRender && wait != kNoWait && readable >= cushion) m_fRefilling = 0;
    CopyOut(data, *count);
    ThisModule::ModulePrint(3, "CircBuff>ReadData> Read Operation m_read - %d, m_write - %d\n",
                            m_read, m_write);
    AdvancePosition(*count, kReadable);
    if (!m_fRender && *count != 0) m_fPeerMoved = 1;
    ULONG result = 1;
    if (m_fFlushBuffer) {
        ThisModule::ModulePrint(1, "CircBuff>ReadData> m_fFlushBuffer Flag is Set\n");
        if (ReadableLocked() == 0) {
            ThisModule::ModulePrint(1, "CircBuff>ReadData> Going to Set m_EvtFlush event\n");
            result = 0;
            KeSetEvent(&m_EvtFlush, IO_NO_INCREMENT, FALSE);
        }
    }
    KeReleaseSpinLock(&m_Lock, old);
    if (result != 0) KeSetEvent(&m_EvtSpace, IO_NO_INCREMENT, FALSE);
    return result;
}

CircBuff::WaitResult CircBuff::WaitForRoom(ULONG bytes, ULONG wait) {
    KIRQL old;
    KeAcquireSpinLock(&m_Lock, &old);
    ULONG writable = m_ulSize - ReadableLocked();
    ThisModule::ModulePrint(3, "CircBuff>WriteData> Write poscount - %d pCount - %d\n", writable,
                            bytes);
    if (writable >= bytes) {
        m_fWriteLate = 0;  // the reader moves again
        KeReleaseSpinLock(&m_Lock, old);
        return kArrived;
    }
    // A writer already late does not wait again before the reader made room:
    // each of its waits would stall the threads that call it once more.
    const bool late = wait == kWaitBounded && m_fWriteLate != 0;
    KeReleaseSpinLock(&m_Lock, old);
    if (late) return kTimedOut;
    const ULONGLONG deadline = DeadlineOf(wait);
    for (;;) {
        const WaitResult result = WaitFor(&m_EvtSpace, deadline);
        if (result == kAborted) {
            ThisModule::ModulePrint(1, "CircBuff>WriteData> Received Abhort event\n");
            return kAborted;
        }
        KeAcquireSpinLock(&m_Lock, &old);
        writable = m_ulSize - ReadableLocked();
        const bool flushed = m_fFlushBuffer != 0;
        if (result == kTimedOut && writable < bytes) m_fWriteLate = 1;
        KeReleaseSpinLock(&m_Lock, old);
        if (flushed) return kAborted;  // flushed while this writer woke
        if (writable >= bytes) {
            ThisModule::ModulePrint(
                3, "CircBuff>WriteData> (Got space) Possible Write count - %d Req Count - %d\n",
                writable, bytes);
            return kArrived;
        }
        if (result == kTimedOut) return kTimedOut;
        ThisModule::ModulePrint(
            3, "CircBuff>WriteData> (No space) Possible Write count - %d Req Count - %d\n",
            writable, bytes);
    }
}

ULONG CircBuff::WriteData(PVOID buffer, PULONG count, ULONG wait) {
    if (buffer == nullptr || count == nullptr) return 0;
    if (*count == 0) return 1;
    if (*count > m_ulSize) {
        KIRQL old;
        KeAcquireSpinLock(&m_Lock, &old);
        *count = m_fFlushBuffer ? 0 : m_ulSize - ReadableLocked();
        KeReleaseSpinLock(&m_Lock, old);
        return 0;
    }
    if (wait != kNoWait && WaitForRoom(*count, wait) == kAborted) {
        *count = 0;
        return 0;
    }
    KIRQL old;
    KeAcquireSpinLock(&m_Lock, &old);
    if (m_fFlushBuffer) {
        *count = 0;
        KeReleaseSpinLock(&m_Lock, old);
        return 0;
    }
    const ULONG writable = m_ulSize - ReadableLocked();
    ULONG dropped = 0;
    if (writable < *count) {
        // What does not fit is dropped: the reader fell behind.
        if (wait != kNoWait) dropped = *count - writable;
        *count = writable;
        if (!m_fRender) m_fOverflowed = 1;
    }
    CopyIn(static_cast<const UCHAR*>(buffer), *count);
    ThisModule::ModulePrint(3, "CircBuff>WriteData> Write Operation m_read - %d, m_write - %d\n",
                            m_read, m_write);
    AdvancePosition(*count, kWritable);
    if (m_fRender) m_fPeerMoved = 1;
    KeReleaseSpinLock(&m_Lock, old);
    KeSetEvent(&m_EvtData, IO_NO_INCREMENT, FALSE);
    if (dropped != 0) CountDropped(dropped);
    return 1;
}

ULONG CircBuff::DriftOutput(PVOID context, PVOID buffer, PULONG count, ULONG wait) {
    (void)wait;  // the room was waited for before the correction began
    auto ring = static_cast<CircBuff*>(context);
    ULONG written = *count;
    ULONG result = ring->WriteData(buffer, &written, kNoWait);
    if (result == 0) return 0;  // flushed
    ring->m_ulWritten += written;
    if (written < *count) ring->CountDropped(*count - written);
    return 1;
}

ULONG CircBuff::WriteCorrected(PVOID buffer, PULONG count, ULONG wait) {
    if (buffer == nullptr || count == nullptr || m_pDrift == nullptr) return 0;
    if (!m_fRender) {
        // The streaming thread fills a capture ring at the device's pace; keep
        // between 10 ms buffered and 11 ms of room.
        const ULONG block = m_ulBytesPer10ms;
        KIRQL old;
        KeAcquireSpinLock(&m_Lock, &old);
        const ULONG writable = m_ulSize - ReadableLocked();
        LONGLONG step = 0;
        if (writable + block <= m_ulSize) step -= block / 3;
        if (writable >= block + block / 10) step += block / 3;
        SteerLocked(step);
        KeReleaseSpinLock(&m_Lock, old);
    }
    if (!m_fRender && !m_fPrimed && *count != 0) {
        // The device's first block goes in behind silence, so that the level
        // starts near the middle of the band rather than being steered there
        // over half a second.
        KIRQL old;
        KeAcquireSpinLock(&m_Lock, &old);
        m_fPrimed = 1;
        const ULONG block = CaptureCushion();
        if (ReadableLocked() == 0 && !m_fFlushBuffer && block + *count <= m_ulSize) {
            const ULONG first = m_ulSize - m_write < block ? m_ulSize - m_write : block;
            std::memset(m_pBuffer + m_write, SilenceByte(), first);
            std::memset(m_pBuffer, SilenceByte(), block - first);
            AdvancePosition(block, kWritable);
        }
        KeReleaseSpinLock(&m_Lock, old);
    }
    const LONGLONG pending = PendingDrift();
    if (pending == 0 || *count == 0 || *count > m_ulSize) return WriteData(buffer, count, wait);

    // Room for the block as the corrector may lengthen it, waited for once:
    // the corrector's pieces go in without waiting.
    if (wait != kNoWait && *count <= m_ulSize) {
        const ULONG frames = *count / m_ulFrameBytes;
        const ULONG grow = pending > 0 ? (frames * kDriftNumerator + kDriftDenominator - 1) /
                                             kDriftDenominator * m_ulFrameBytes
                                       : 0;
        const ULONG need = *count + grow <= m_ulSize ? *count + grow : m_ulSize;
        if (WaitForRoom(need, wait) == kAborted) {
            *count = 0;
            return 0;
        }
    }
    // The corrector takes a 32-bit count; the pending drift is bounded well inside it.
    const LONGLONG before = pending;
    ULONGLONG side = static_cast<ULONGLONG>(before);
    m_pDrift->SetPropertyDword(CKAUDPDrft::kPropCallbackFlag, kNoWait);
    m_ulWritten = 0;
    ZvStatus status = m_pDrift->SubmitPinData(0, buffer, *count, nullptr, 0, &side);
    const LONGLONG applied = before - static_cast<LONG>(static_cast<ULONG>(side));
    AdjustDrift(-applied);  // steering that came meanwhile stays
    if (status != ZV_OK && applied == 0 && m_ulWritten == 0) {
        // Too short a block to correct: it goes in as it is rather than being lost.
        return WriteData(buffer, count, kNoWait);
    }
    *count = m_ulWritten;
    return status == ZV_OK ? 1 : 0;
}

ULONG CircBuff::Flush() {
    KIRQL old;
    KeAcquireSpinLock(&m_Lock, &old);
    m_fFlushBuffer = 1;
    m_read = m_write = 0;
    m_ulState = kEmpty;
    KeReleaseSpinLock(&m_Lock, old);
    KeSetEvent(&m_EvtAbort, IO_NO_INCREMENT, FALSE);
    return 1;
}

bool CircBuff::CheckInvariant(const char** why) {
    KIRQL old;
    KeAcquireSpinLock(&m_Lock, &old);
    const char* problem = nullptr;
    if ((m_pBuffer == nullptr) != (m_ulSize == 0)) {
        problem = "buffer and size disagree";
    } else if (m_ulSize != 0 && (m_read >= m_ulSize || m_write >= m_ulSize)) {
        problem = "a position lies outside the ring";
    } else if (m_ulSize == 0 && (m_read != 0 || m_write != 0)) {
        problem = "positions of a ring without buffer";
    } else if (m_ulState != kEmpty && m_ulState != kFull) {
        problem = "state is neither empty nor full";
    } else if (ReadableLocked() > m_ulSize) {
        problem = "more readable bytes than the ring holds";
    } else if (m_fFlushBuffer && ReadableLocked() != 0) {
        problem = "a flushed ring holds data";
    }
    KeReleaseSpinLock(&m_Lock, old);
    if (why != nullptr) *why = problem;
    return problem == nullptr;
}
