#include "BufferPool.h"

#include <MemAlloc.h>

// Lies in front of each buffer in the pool's single allocation.
struct BufferPool::BufferHeader {
    PVOID data;   // first byte after the header
    ULONG inUse;  // guarded by the pool's lock
    ULONG unused;
    KEVENT returned;   // signalled while the buffer is not handed out
    LIST_ENTRY links;  // in the pool's list
};

namespace {

// Each header starts on this boundary, so the headers and the data behind
// them are aligned whatever the buffer size.
constexpr ULONGLONG kBufferAlignment = 16;

ULONGLONG BufferStride(ULONG bufferBytes, ULONGLONG headerBytes) {
    return (headerBytes + bufferBytes + kBufferAlignment - 1) & ~(kBufferAlignment - 1);
}

}  // namespace

BufferPool::BufferPool()
    : m_ulInitialised(0), m_ulCount(0), m_ulTotalBytes(0), m_pMemory(nullptr), m_ulOutCount(0) {
    InitializeListHead(&m_List);
    KeInitializeSpinLock(&m_Lock);
    KeInitializeEvent(&m_AllReturned, NotificationEvent, TRUE);
}

BufferPool::~BufferPool() = default;

ZvStatus BufferPool::InitFormat(ULONG count, ULONG rate, USHORT bits, USHORT channels, ULONG ms) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || count == 0 || rate == 0 || bits == 0 ||
        channels == 0 || ms == 0 || m_ulInitialised != 0) {
        return ZV_FAILED;
    }
    // 32-bit arithmetic with truncating divisions, as the callers size their
    // buffers; a size that does not fit 32 bits is refused instead of wrapped.
    ULONGLONG bytes = static_cast<ULONGLONG>(static_cast<ULONG>(bits) * channels / 8) * rate;
    if (bytes > 0xFFFFFFFFull) return ZV_FAILED;
    bytes *= ms;
    if (bytes > 0xFFFFFFFFull) return ZV_FAILED;
    const ULONG bufferBytes = static_cast<ULONG>(bytes) / 1000;
    if (static_cast<ULONGLONG>(bufferBytes) * count > 0xFFFFFFFFull) return ZV_FAILED;
    return Build(count, bufferBytes);
}

ZvStatus BufferPool::InitSize(ULONG count, ULONG totalBytes) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || count == 0 || totalBytes == 0 ||
        m_ulInitialised != 0) {
        return ZV_FAILED;
    }
    return Build(count, totalBytes / count);
}

ZvStatus BufferPool::Build(ULONG count, ULONG bufferBytes) {
    const ULONGLONG stride = BufferStride(bufferBytes, sizeof(BufferHeader));
    const ULONGLONG allBytes = stride * count;
    if (allBytes > 0xFFFFFFFFull) return ZV_FAILED;
    PVOID memory = MemAlloc(static_cast<ULONG>(allBytes));
    if (memory == nullptr) return ZV_FAILED;
    std::memset(memory, 0, static_cast<SIZE_T>(allBytes));

    KIRQL oldIrql;
    KeAcquireSpinLock(&m_Lock, &oldIrql);
    m_pMemory = memory;
    m_ulCount = count;
    m_ulTotalBytes = bufferBytes * count;
    UCHAR* at = static_cast<UCHAR*>(memory);
    for (ULONG i = 0; i < count; ++i, at += stride) {
        auto* header = reinterpret_cast<BufferHeader*>(at);
        header->data = at + sizeof(BufferHeader);
        header->inUse = 0;
        KeInitializeEvent(&header->returned, NotificationEvent, FALSE);
        InsertHeadList(&m_List, &header->links);
    }
    m_ulOutCount = 0;
    m_ulInitialised = 1;
    KeReleaseSpinLock(&m_Lock, oldIrql);
    return ZV_OK;
}

ZvStatus BufferPool::Free() {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return ZV_FAILED;
    KeWaitForSingleObject(&m_AllReturned, Executive, KernelMode, FALSE, nullptr);
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_Lock, &oldIrql);
    PVOID memory = m_pMemory;
    m_pMemory = nullptr;
    m_ulInitialised = 0;
    m_ulCount = 0;
    m_ulTotalBytes = 0;
    InitializeListHead(&m_List);
    KeReleaseSpinLock(&m_Lock, oldIrql);
    MemFree(memory);
    return ZV_OK;
}

ZvStatus BufferPool::GetBufferSize(PULONG size) {
    if (size == nullptr) return ZV_INVALID_PARAMETER;
    if (m_ulInitialised == 0 || m_ulCount == 0) {
        *size = 0;
        return ZV_NOT_READY;
    }
    *size = m_ulTotalBytes / m_ulCount;
    return ZV_OK;
}

PVOID BufferPool::TakeFreeLocked() {
    for (PLIST_ENTRY entry = m_List.Flink; entry != &m_List; entry = entry->Flink) {
        BufferHeader* header = CONTAINING_RECORD(entry, BufferHeader, links);
        if (header->inUse != 0) continue;
        header->inUse = 1;
        KeClearEvent(&header->returned);
        KeClearEvent(&m_AllReturned);
        ++m_ulOutCount;
        return header->data;
    }
    return nullptr;
}

ZvStatus BufferPool::GetBuffer(PVOID* buffer, ULONG timeoutMs) {
    const KIRQL irql = KeGetCurrentIrql();
    if (timeoutMs != 0 ? irql != PASSIVE_LEVEL : irql > DISPATCH_LEVEL) return ZV_FAILED;
    if (buffer == nullptr) return ZV_INVALID_PARAMETER;
    *buffer = nullptr;
    if (m_ulInitialised == 0) return ZV_NOT_READY;

    KIRQL oldIrql;
    KeAcquireSpinLock(&m_Lock, &oldIrql);
    if (IsListEmpty(&m_List)) {
        KeReleaseSpinLock(&m_Lock, oldIrql);
        return ZV_NOT_READY;
    }
    PVOID taken = TakeFreeLocked();
    const ULONG count = m_ulCount;
    KeReleaseSpinLock(&m_Lock, oldIrql);
    if (taken != nullptr) {
        *buffer = taken;
        return ZV_OK;
    }
    // One wait covers at most this many objects.
    if (timeoutMs == 0 || count > kMaxWaitedBuffers) return ZV_FAILED;

    auto* waitBlocks =
        static_cast<PKWAIT_BLOCK>(MemAlloc(static_cast<ULONG>(count * sizeof(KWAIT_BLOCK))));
    auto* events = static_cast<PVOID*>(MemAlloc(static_cast<ULONG>(count * sizeof(PVOID))));
    ZvStatus status = ZV_FAILED;
    if (waitBlocks != nullptr && events != nullptr) {
        // The list does not change between sizing and Free.
        ULONG n = 0;
        for (PLIST_ENTRY entry = m_List.Flink; entry != &m_List && n < count;
             entry = entry->Flink) {
            events[n++] = &CONTAINING_RECORD(entry, BufferHeader, links)->returned;
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(timeoutMs) * 10000;  // relative, 100 ns units
        NTSTATUS waited = KeWaitForMultipleObjects(n, events, WaitAny, Executive, KernelMode, FALSE,
                                                   &timeout, waitBlocks);
        if (waited >= STATUS_WAIT_0 && waited < STATUS_WAIT_0 + static_cast<NTSTATUS>(n)) {
            KeAcquireSpinLock(&m_Lock, &oldIrql);
            taken = TakeFreeLocked();  // another caller may have been first
            KeReleaseSpinLock(&m_Lock, oldIrql);
            if (taken != nullptr) {
                *buffer = taken;
                status = ZV_OK;
            }
        }
    }
    MemFree(events);
    MemFree(waitBlocks);
    return status;
}

ZvStatus BufferPool::PutBuffer(PVOID buffer) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) return ZV_FAILED;
    if (buffer == nullptr) return ZV_INVALID_PARAMETER;
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_Lock, &oldIrql);
    if (IsListEmpty(&m_List)) {
        KeReleaseSpinLock(&m_Lock, oldIrql);
        return ZV_NOT_READY;
    }
    ZvStatus status = ZV_FAILED;
    for (PLIST_ENTRY entry = m_List.Flink; entry != &m_List; entry = entry->Flink) {
        BufferHeader* header = CONTAINING_RECORD(entry, BufferHeader, links);
        if (header->data != buffer) continue;
        // Only a buffer that is out counts: a second give-back of the same
        // buffer must not lower the out count again.
        if (header->inUse != 0) {
            header->inUse = 0;
            KeSetEvent(&header->returned, IO_NO_INCREMENT, FALSE);
            --m_ulOutCount;
            status = ZV_OK;
        }
        break;
    }
    if (m_ulOutCount == 0) KeSetEvent(&m_AllReturned, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&m_Lock, oldIrql);
    return status;
}
