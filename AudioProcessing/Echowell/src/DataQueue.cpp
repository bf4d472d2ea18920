// DataQueue: ring buffer of audio bytes with a start threshold, waiting or
// degrading reads and writes, and drift correction on the write side.
#include "DataQueue.h"

#include "CKAUDPDrft.h"
#include "CKAUDPModule.h"
#include "LogicCommon.h"
#include "MemAlloc.h"
#include "ZDebug.h"

namespace {

using Log = LogModule<LogModuleFilterLogic>;

constexpr ULONG kDriftInstance = ZvFourCC("DQUE");

// Bytes of `ms` of a stream of `bytesPerSecond`, rounded down to whole frames;
// computed in 64 bits.  Above 32 bits: ~0ull.
ULONGLONG WholeFrameBytes(ULONG bytesPerSecond, ULONG ms, ULONG bytesPerFrame) {
    ULONGLONG bytes = static_cast<ULONGLONG>(bytesPerSecond) * ms / 1000;
    return bytes / bytesPerFrame * bytesPerFrame;
}

}  // namespace

DataQueue::DataQueue(ULONG id)
    : m_ulRead(0),
      m_ulWrite(0),
      m_ulRingSize(0),
      m_ulDuration(0),
      m_pRing(nullptr),
      m_ulFillState(kEmpty),
      m_lAborted(0),
      m_pDrift(nullptr),
      m_ulDriftUsable(0),
      m_Format{},
      m_ulBytesPerFrame(0),
      m_lStartThreshold(0),
      m_ulThresholdAfterStart(0),
      m_ulStartLevel(0),
      m_ullWritten(0),
      m_llPendingDrift(0),
      m_ulNoShortReadDrift(1),
      m_ulNoOverflowDrift(1),
      m_ulId(id) {
    KeInitializeSpinLock(&m_QueueLock);
    KeInitializeSpinLock(&m_DriftLock);
    KeInitializeEvent(&m_SpaceEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_DataEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_AbortEvent, NotificationEvent, FALSE);
}

DataQueue::~DataQueue() {
    FreeRingAndCorrector();
}

void DataQueue::FreeRingAndCorrector() {
    CKAUDPDrft* drift = m_pDrift;
    m_pDrift = nullptr;
    m_ulDriftUsable = 0;
    delete drift;
    // The ring goes under the queue lock: a producer in flight may be copying.
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock, &irql);
    PUCHAR ring = m_pRing;
    m_pRing = nullptr;
    m_ulRingSize = 0;
    m_ulRead = m_ulWrite = 0;
    m_ulFillState = kEmpty;
    KeReleaseSpinLock(&m_QueueLock, irql);
    if (ring != nullptr) MemFree(ring);
}

bool DataQueue::IsAborted() {
    return InterlockedRead(&m_lAborted) != 0;
}

UCHAR DataQueue::SilenceByte() const {
    return FormatBits(m_Format) == 8 ? 0x80 : 0;
}

ULONG DataQueue::Init(ULONG durationMs, const ChannelFormat* format, ULONG startOffsetMs,
                      ULONG ratioNumerator, ULONG ratioDenominator, ULONG noShortReadDrift,
                      ULONG noOverflowDrift, ULONG prefill) {
    if (durationMs == 0 || format == nullptr) return 0;
    FreeRingAndCorrector();

    m_ulNoShortReadDrift = noShortReadDrift;
    m_ulNoOverflowDrift = noOverflowDrift;
    m_Format = *format;
    m_ulBytesPerFrame = FormatBits(m_Format) * FormatChannels(m_Format) / 8;
    if (m_ulBytesPerFrame == 0) return 0;
    // Whole frames only: half a frame of hold-back or ring would shift every
    // later sample by a byte.
    ULONGLONG ring = WholeFrameBytes(m_Format.AvgBytesPerSec, durationMs, m_ulBytesPerFrame);
    ULONGLONG threshold =
        WholeFrameBytes(m_Format.AvgBytesPerSec, startOffsetMs, m_ulBytesPerFrame);
    if (ring == 0 || ring > 0x7FFFFFFF || threshold > ring) return 0;
    m_ulDuration = durationMs;
    m_ulThresholdAfterStart = 0;

    PUCHAR memory = static_cast<PUCHAR>(MemAlloc(static_cast<ULONG>(ring)));
    if (memory == nullptr) return 0;
    RtlFillMemory(memory, static_cast<SIZE_T>(ring), SilenceByte());

    ULONG status = ZV_OK;
    CKAUDPDrft* drift = new CKAUDPDrft(nullptr, kDriftInstance, &status);
    if (drift == nullptr || status != ZV_OK) {
        delete drift;
        MemFree(memory);
        return 0;
    }
    // The corrector knows 8/16 bits and 1/2 channels only; for any other
    // format the queue writes uncorrected rather than losing every block that
    // carries drift.
    ULONG usable =
        drift->SetPropertyDword(CKAUDPDrft::kPropBits, FormatBits(m_Format)) == ZV_OK &&
        drift->SetPropertyDword(CKAUDPDrft::kPropChannels, FormatChannels(m_Format)) == ZV_OK;
    drift->SetPropertyDword(CKAUDPDrft::kPropRatioNumerator, ratioNumerator);
    drift->SetPropertyDword(CKAUDPDrft::kPropRatioDenominator, ratioDenominator);
    drift->SetOutput(&DataQueue::DriftOutput, this);

    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock, &irql);
    m_pRing = memory;
    m_ulRingSize = static_cast<ULONG>(ring);
    m_ulRead = 0;
    m_ulWrite = 0;
    m_ulFillState = kEmpty;
    InterlockedExchange(&m_lStartThreshold, static_cast<LONG>(threshold));
    m_ulStartLevel = 0;
    m_ullWritten = 0;
    if (prefill && threshold != 0) {
        m_ulStartLevel = static_cast<ULONG>(threshold);
        // That much silence is readable at once.
        m_ulWrite = static_cast<ULONG>(threshold) % m_ulRingSize;
        if (m_ulWrite == m_ulRead) m_ulFillState = kFull;
        InterlockedExchange(&m_lStartThreshold, 0);
    }
    KeReleaseSpinLock(&m_QueueLock, irql);
    m_pDrift = drift;
    m_ulDriftUsable = usable;
    return 1;
}

ULONG DataQueue::UnreadLocked() const {
    if (m_ulRingSize == 0) return 0;
    if (m_ulWrite == m_ulRead) return m_ulFillState == kFull ? m_ulRingSize : 0;
    return m_ulWrite > m_ulRead ? m_ulWrite - m_ulRead : m_ulRingSize - m_ulRead + m_ulWrite;
}

ULONG DataQueue::ReadableLocked() {
    ULONG unread = UnreadLocked();
    ULONG threshold = static_cast<ULONG>(m_lStartThreshold);
    if (threshold != m_ulThresholdAfterStart && unread >= threshold) {
        InterlockedExchange(&m_lStartThreshold, static_cast<LONG>(m_ulThresholdAfterStart));
        threshold = m_ulThresholdAfterStart;
    }
    return unread > threshold ? unread - threshold : 0;
}

void DataQueue::AddDriftLocked(LONGLONG frames) {
    KIRQL irql;
    KeAcquireSpinLock(&m_DriftLock, &irql);
    m_llPendingDrift += frames;
    KeReleaseSpinLock(&m_DriftLock, irql);
}

void DataQueue::CopyOut(PUCHAR buffer, ULONG count) {
    ULONG first = m_ulRingSize - m_ulRead;
    if (first > count) first = count;
    RtlCopyMemory(buffer, m_pRing + m_ulRead, first);
    RtlCopyMemory(buffer + first, m_pRing, count - first);
    m_ulRead = (m_ulRead + count) % m_ulRingSize;
    if (m_ulRead == m_ulWrite) m_ulFillState = kEmpty;
}

void DataQueue::CopyIn(const UCHAR* data, ULONG count) {
    ULONG first = m_ulRingSize - m_ulWrite;
    if (first > count) first = count;
    RtlCopyMemory(m_pRing + m_ulWrite, data, first);
    RtlCopyMemory(m_pRing, data + first, count - first);
    m_ulWrite = (m_ulWrite + count) % m_ulRingSize;
    if (m_ulWrite == m_ulRead) m_ulFillState = kFull;
}

ULONG DataQueue::ReadData(PVOID buffer, PLONG count, ULONG wait, ULONG unused) {
    (void)unused;
    if (buffer == nullptr || count == nullptr) return 0;
    if (*count <= 0) return 1;
    ULONG want = static_cast<ULONG>(*count);
    PUCHAR out = static_cast<PUCHAR>(buffer);
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock, &irql);
    if (want > m_ulRingSize) {
        *count = static_cast<LONG>(ReadableLocked());
        KeReleaseSpinLock(&m_QueueLock, irql);
        return 0;
    }
    ULONG readable = ReadableLocked();
    Log::ModulePrint(3, "DataQueue>ReadData> Read lPosCount - %d pCount - %d\n", readable, want);
    if (readable < want && !wait) {
        Log::ModulePrint(3, "DataQueue>ReadData> Will send silence Buffer for the remaining\n");
        RtlFillMemory(out, want, SilenceByte());
        if (!m_ulNoShortReadDrift &&
            static_cast<ULONG>(m_lStartThreshold) == m_ulThresholdAfterStart) {
            AddDriftLocked(-static_cast<LONGLONG>((want - readable) / m_ulBytesPerFrame));
        }
        want = readable;
    }
    while (readable < want) {
        // An aborted queue never fills up again: take what there is at once.
        if (IsAborted()) {
            want = readable;
            break;
        }
        KeReleaseSpinLock(&m_QueueLock, irql);
        PVOID objects[2] = {&m_AbortEvent, &m_DataEvent};
        NTSTATUS woke = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                                 nullptr, nullptr);
        // The abort event stays set until Reset, so every later wait ends too.
        if (woke != STATUS_WAIT_0) KeClearEvent(&m_DataEvent);
        KeAcquireSpinLock(&m_QueueLock, &irql);
        readable = ReadableLocked();
        if (woke == STATUS_WAIT_0 && readable < want) want = readable;
    }
    if (want != 0) {
        Log::ModulePrint(3, "DataQueue>ReadData> Read Operation m_ulRead - %d, m_ulWrite - %d\n",
                         m_ulRead, m_ulWrite);
        CopyOut(out, want);
    }
    *count = static_cast<LONG>(want);
    KeReleaseSpinLock(&m_QueueLock, irql);
    KeSetEvent(&m_SpaceEvent, IO_NO_INCREMENT, FALSE);
    return 1;
}

ULONG DataQueue::ReadReady(PVOID buffer, PLONG count) {
    if (buffer == nullptr || count == nullptr) return 0;
    if (*count <= 0) return 1;
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock, &irql);
    ULONG want = static_cast<ULONG>(*count);
    ULONG readable = m_pRing != nullptr ? ReadableLocked() : 0;
    if (want > readable) want = readable;
    if (want != 0) CopyOut(static_cast<PUCHAR>(buffer), want);
    *count = static_cast<LONG>(want);
    KeReleaseSpinLock(&m_QueueLock, irql);
    if (want != 0) KeSetEvent(&m_SpaceEvent, IO_NO_INCREMENT, FALSE);
    return 1;
}

ULONG DataQueue::PieceBytes() {
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock, &irql);
    ULONG frame = m_ulBytesPerFrame, ring = m_ulRingSize;
    ULONG piece = frame != 0 ? m_Format.AvgBytesPerSec / 100 / frame * frame : 0;
    KeReleaseSpinLock(&m_QueueLock, irql);
    if (ring == 0 || frame == 0) return 0;
    if (piece < frame) piece = frame;
    return piece < ring ? piece : ring;
}

ULONG DataQueue::WriteData(PCVOID data, PLONG count, ULONG wait) {
    if (data == nullptr || count == nullptr) return 0;
    if (*count <= 0) return 1;
    if (IsAborted()) {
        *count = 0;
        return 0;
    }
    ULONG want = static_cast<ULONG>(*count);
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock, &irql);
    ULONG writable = m_ulRingSize - UnreadLocked();
    Log::ModulePrint(3, "DataQueue>WriteData> Write lPosCount - %d pCount - %d\n", writable, want);
    if (want > m_ulRingSize) {
        *count = static_cast<LONG>(writable);
        KeReleaseSpinLock(&m_QueueLock, irql);
        return 0;
    }
    if (writable < want && !wait) {
        Log::ModulePrint(3, "DataQueue>WriteDataActual> Request to Overwrite Data \n");
        // Frames dropped now are inserted later, so the stream keeps its length.
        if (!m_ulNoOverflowDrift)
            AddDriftLocked(static_cast<LONGLONG>((want - writable) / m_ulBytesPerFrame));
        want = writable;
    }
    while (writable < want) {
        KeReleaseSpinLock(&m_QueueLock, irql);
        Log::ModulePrint(3, "DataQueue>WriteData> Going to Wait for the Buffer to be Read\n");
        PVOID objects[2] = {&m_AbortEvent, &m_SpaceEvent};
        NTSTATUS woke = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                                 nullptr, nullptr);
        if (woke == STATUS_WAIT_0 || IsAborted()) {
            Log::ModulePrint(1, "DataQueue>WriteData> Received Abhort event\n");
            *count = 0;
            return 0;
        }
        KeClearEvent(&m_SpaceEvent);
        KeAcquireSpinLock(&m_QueueLock, &irql);
        writable = m_ulRingSize - UnreadLocked();
        Log::ModulePrint(3,
                         writable < want
                             ? "DataQueue>WriteData> (No space) Possible Write count - %d "
                               "Req Count - %d\n"
                             : "DataQueue>WriteData> (Got space) Possible Write count - %d "
                               "Req Count - %d\n",
                         writable, want);
    }
    if (want != 0) {
        Log::ModulePrint(3, "DataQueue>WriteData> Write Operation m_ulRead - %d, m_ulWrite - %d\n",
                         m_ulRead, m_ulWrite);
        CopyIn(static_cast<const UCHAR*>(data), want);
        ULONG unread = UnreadLocked();
        if (m_ulStartLevel == 0 && unread >= static_cast<ULONG>(m_lStartThreshold))
            m_ulStartLevel = unread;
        m_ullWritten += want;
    }
    *count = static_cast<LONG>(want);
    KeReleaseSpinLock(&m_QueueLock, irql);
    KeSetEvent(&m_DataEvent, IO_NO_INCREMENT, FALSE);
    return 1;
}

ULONG DataQueue::WaitForSpace(ULONG bytes, LONGLONG timeout100ns) {
    LONGLONG deadline = static_cast<LONGLONG>(KeQueryInterruptTime()) + timeout100ns;
    for (;;) {
        if (IsAborted()) return 0;
        KIRQL irql;
        KeAcquireSpinLock(&m_QueueLock, &irql);
        ULONG writable = m_ulRingSize - UnreadLocked();
        bool tooLarge = bytes > m_ulRingSize;
        // A read after this look sets the event again, so no wake-up is lost.
        KeClearEvent(&m_SpaceEvent);
        KeReleaseSpinLock(&m_QueueLock, irql);
        if (tooLarge) return 0;
        if (writable >= bytes) return 1;
        LONGLONG left = deadline - static_cast<LONGLONG>(KeQueryInterruptTime());
        if (left <= 0) return 0;
        LARGE_INTEGER timeout;
        timeout.QuadPart = -left;
        PVOID objects[2] = {&m_AbortEvent, &m_SpaceEvent};
        NTSTATUS woke = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                                 &timeout, nullptr);
        if (woke == STATUS_TIMEOUT) return 0;
    }
}

ULONG DataQueue::DriftOutput(PVOID context, PVOID data, PULONG count, ULONG wait) {
    auto* queue = static_cast<DataQueue*>(context);
    LONG copy = static_cast<LONG>(*count);
    ULONG result = queue->WriteData(data, &copy, wait);
    *count = static_cast<ULONG>(copy);
    return result;
}

ULONG DataQueue::PutData(PCVOID data, PULONG count, ULONG wait) {
    if (data == nullptr || count == nullptr) return 0;
    // Counts beyond a signed 32-bit value exceed any ring.
    if (*count > 0x7FFFFFFF) return 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_DriftLock, &irql);
    LONGLONG pending = m_llPendingDrift;
    if (pending != 0 && (!m_ulDriftUsable || m_pDrift == nullptr)) {
        // A format the corrector cannot correct: the stream goes in as it is.
        m_llPendingDrift = 0;
        pending = 0;
    }
    KeReleaseSpinLock(&m_DriftLock, irql);
    LONG plain = static_cast<LONG>(*count);
    if (pending == 0) {
        ULONG result = WriteData(data, &plain, wait);
        *count = static_cast<ULONG>(plain);
        return result;
    }

    ULONGLONG copy = static_cast<ULONGLONG>(pending);
    m_pDrift->SetPropertyDword(CKAUDPDrft::kPropCallbackFlag, wait);
    ZvStatus status =
        m_pDrift->SubmitPinData(0, const_cast<PVOID>(data), *count, nullptr, 0, &copy);
    if (status == ZV_FAILED && copy == static_cast<ULONGLONG>(pending)) {
        // Too short a block to correct: it goes in uncorrected and the drift
        // waits for a longer one.
        ULONG result = WriteData(data, &plain, wait);
        *count = static_cast<ULONG>(plain);
        return result;
    }
    // Only what this call corrected comes off: an AddDrift made meanwhile stays.
    LONG corrected = static_cast<LONG>(static_cast<ULONG>(pending - static_cast<LONGLONG>(copy)));
    KeAcquireSpinLock(&m_DriftLock, &irql);
    m_llPendingDrift -= corrected;
    KeReleaseSpinLock(&m_DriftLock, irql);
    return status == ZV_OK ? 1 : 0;
}

ULONG DataQueue::AddDrift(LONGLONG frames) {
    AddDriftLocked(frames);
    return 1;
}

ULONG DataQueue::GetLevel() {
    return UnderLock([this] { return UnreadLocked(); });
}

ULONG DataQueue::GetReadable() {
    return UnderLock([this] { return ReadableLocked(); });
}

ULONG DataQueue::GetWritable() {
    return UnderLock([this] { return m_ulRingSize - UnreadLocked(); });
}

ULONG DataQueue::GetStartLevel() {
    return UnderLock([this] { return m_ulStartLevel; });
}

ULONGLONG DataQueue::GetWritten() {
    return UnderLock([this] { return m_ullWritten; });
}

bool DataQueue::ReaderStarted() {
    return UnderLock([this] {
        (void)ReadableLocked();
        return static_cast<ULONG>(m_lStartThreshold) == m_ulThresholdAfterStart;
    });
}

void DataQueue::FillSilence(PVOID buffer, ULONG bytes) const {
    RtlFillMemory(buffer, bytes, SilenceByte());
}

ULONG DataQueue::Abort() {
    InterlockedExchange(&m_lAborted, 1);
    KeSetEvent(&m_AbortEvent, IO_NO_INCREMENT, FALSE);
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock, &irql);
    ULONG readable = ReadableLocked();
    if (readable != 0) {
        m_ulRead = (m_ulRead + readable) % m_ulRingSize;
        if (m_ulRead == m_ulWrite) m_ulFillState = kEmpty;
    }
    KeReleaseSpinLock(&m_QueueLock, irql);
    return 1;
}

void DataQueue::Reset(ULONG unused) {
    (void)unused;
    FreeRingAndCorrector();
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock, &irql);
    m_ulBytesPerFrame = 0;
    InterlockedExchange(&m_lStartThreshold, 0);
    m_ulThresholdAfterStart = 0;
    m_ulStartLevel = 0;
    InterlockedExchange(&m_lAborted, 0);
    KeReleaseSpinLock(&m_QueueLock, irql);
    KeAcquireSpinLock(&m_DriftLock, &irql);
    m_llPendingDrift = 0;
    KeReleaseSpinLock(&m_DriftLock, irql);
    KeClearEvent(&m_SpaceEvent);
    KeClearEvent(&m_DataEvent);
    KeClearEvent(&m_AbortEvent);
}

bool DataQueue::CheckInvariant(const char** why) {
    DataQueueState s;
    GetState(&s);
    const char* problem = nullptr;
    if (s.HasRing != (s.RingSize != 0)) {
        problem = "ring and size disagree";
    } else if (s.RingSize != 0 && (s.Read >= s.RingSize || s.Write >= s.RingSize)) {
        problem = "a position lies outside the ring";
    } else if (s.RingSize != 0 && s.FillState != kEmpty && s.FillState != kFull) {
        problem = "state is neither empty nor full";
    } else if (s.RingSize != 0 && (s.BytesPerFrame == 0 || s.RingSize % s.BytesPerFrame != 0 ||
                                   s.StartThreshold % s.BytesPerFrame != 0)) {
        problem = "the ring or its threshold is not whole frames";
    }
    if (why != nullptr) *why = problem;
    return problem == nullptr;
}

void DataQueue::GetState(DataQueueState* state) {
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock, &irql);
    state->Read = m_ulRead;
    state->Write = m_ulWrite;
    state->RingSize = m_ulRingSize;
    state->FillState = m_ulFillState;
    state->StartThreshold = static_cast<ULONG>(m_lStartThreshold);
    state->BytesPerFrame = m_ulBytesPerFrame;
    state->Aborted = IsAborted() ? 1 : 0;
    state->DriftUsable = m_ulDriftUsable;
    state->HasRing = m_pRing != nullptr;
    KIRQL inner;
    KeAcquireSpinLock(&m_DriftLock, &inner);
    state->PendingDrift = m_llPendingDrift;
    KeReleaseSpinLock(&m_DriftLock, inner);
    KeReleaseSpinLock(&m_QueueLock, irql);
}
