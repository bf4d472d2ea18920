// Fixed-size audio buffers with one event each, so that a stage of a
// processing chain can take a work buffer, fill it and give it back without
// allocating in the streaming path.  The filter logic's messages call a pool
// an "Allocator".
//
// Life: constructed empty -> sized once (InitFormat or InitSize) -> buffers
// taken and given back -> Free (waits until every buffer is back) -> empty,
// and may be sized again -> destroyed.  Owners stop every user of the pool
// before Free: a GetBuffer still waiting when Free releases the memory would
// wait on freed events.
//
// Lock: one spin lock guards the list, the in-use flags and the out count.
#pragma once

#include <wdm.h>

#include "PoolObject.h"
#include "ZvStatus.h"

// The pool interface the filter logic holds (g_pInAllocator and friends).
class IBufferPool : public CPoolObject {
public:
    // Does not release the buffers: owners call Free first.
    virtual ~IBufferPool() = default;
    virtual ZvStatus InitFormat(ULONG count, ULONG rate, USHORT bits, USHORT channels,
                                ULONG ms) = 0;
    virtual ZvStatus InitSize(ULONG count, ULONG totalBytes) = 0;
    virtual ZvStatus Free() = 0;
    virtual ZvStatus GetBufferSize(PULONG size) = 0;
    virtual ZvStatus GetBuffer(PVOID* buffer, ULONG timeoutMs) = 0;
    virtual ZvStatus PutBuffer(PVOID buffer) = 0;
};

class BufferPool : public IBufferPool {
public:
    // Most buffers a pool that is waited on may hold: the platform's limit
    // for one wait on several objects.
    static constexpr ULONG kMaxWaitedBuffers = 64;

    BufferPool();
    ~BufferPool() override;

    // count buffers of (bits x channels / 8) x rate x ms / 1000 bytes.
    // PASSIVE_LEVEL, every argument non-zero, not yet sized; else ZV_FAILED.
    // ZV_FAILED when memory is short (the pool stays empty).
    ZvStatus InitFormat(ULONG count, ULONG rate, USHORT bits, USHORT channels, ULONG ms) override;
    // count buffers of totalBytes / count bytes; the same conditions.
    ZvStatus InitSize(ULONG count, ULONG totalBytes) override;
    // Waits without time-out until every buffer is back, then releases the
    // memory; the pool is empty again.  PASSIVE_LEVEL, else ZV_FAILED.
    ZvStatus Free() override;
    // The size of one buffer; ZV_NOT_READY with size 0 before sizing;
    // ZV_INVALID_PARAMETER for a null pointer.
    ZvStatus GetBufferSize(PULONG size) override;
    // Takes a free buffer.  Time-out 0: at most DISPATCH_LEVEL, ZV_FAILED when
    // none is free.  Otherwise PASSIVE_LEVEL: waits up to timeoutMs for one to
    // be given back; ZV_FAILED on time-out, when another caller took it
    // first, when the wait cannot be set up or when the pool holds more than
    // kMaxWaitedBuffers.  *buffer is null unless the answer is ZV_OK;
    // ZV_NOT_READY before sizing; ZV_INVALID_PARAMETER for a null out pointer.
    ZvStatus GetBuffer(PVOID* buffer, ULONG timeoutMs) override;
    // Gives a buffer back.  At most DISPATCH_LEVEL, else ZV_FAILED;
    // ZV_INVALID_PARAMETER for null; ZV_NOT_READY before sizing; ZV_FAILED
    // for a pointer that is not one of the pool's buffers handed out (a buffer given back twice is
    // refused the second time).
    ZvStatus PutBuffer(PVOID buffer) override;

private:
    struct BufferHeader;

    ZvStatus Build(ULONG count, ULONG bufferBytes);
    // Under the lock: hands out the first free buffer from the head, or null.
    PVOID TakeFreeLocked();

    ULONG m_ulInitialised;
    LIST_ENTRY m_List;  // every buffer, last in memory first
    ULONG m_ulCount;
    ULONG m_ulTotalBytes;
    PVOID m_pMemory;
    KSPIN_LOCK m_Lock;
    ULONG m_ulOutCount;
    KEVENT m_AllReturned;  // signalled while no buffer is handed out
};
