// 32-byte aligned blocks from the driver allocator.
//
// Layout of one allocation of n + 40 bytes:
//   raw ... [8-byte raw pointer][block: n bytes, 32-byte aligned] ...
// The block is the first 32-byte boundary at or after raw + 8, so 8 to 39 bytes
// precede it and n bytes follow it inside the allocation.
#include "sp_buffers.h"

#include <MemAlloc.h>
#include <string.h>

namespace {

constexpr uint64_t kHeadroom = 40;  // room for the raw pointer plus up to 31 bytes of alignment

void* AllocAligned(int32_t count, uint64_t elementSize) {
    if (count < 1) return nullptr;
    // 64-bit arithmetic: a size beyond the allocator's 32-bit request gives
    // null rather than a wrapped, too-small block.
    const uint64_t bytes = static_cast<uint64_t>(count) * elementSize + kHeadroom;
    if (bytes > 0xFFFFFFFFull) return nullptr;
    auto* raw = static_cast<unsigned char*>(MemAlloc(static_cast<ULONG>(bytes)));
    if (raw == nullptr) return nullptr;
    const uintptr_t block =
        (reinterpret_cast<uintptr_t>(raw) + 8 + 31) & ~static_cast<uintptr_t>(31);
    unsigned char* p = raw + (block - reinterpret_cast<uintptr_t>(raw));
    memcpy(p - sizeof(void*), &raw, sizeof(void*));
    return p;
}

}  // namespace

void* sp_alloc_bytes(int32_t bytes) {
    return AllocAligned(bytes, 1);
}
void* sp_alloc_32(int32_t count) {
    return AllocAligned(count, 4);
}
void* sp_alloc_32_sse3(int32_t count) {
    return AllocAligned(count, 4);
}
void* sp_alloc_f64(int32_t count) {
    return AllocAligned(count, 8);
}
void* sp_alloc_f64_sse3(int32_t count) {
    return AllocAligned(count, 8);
}

void sp_free(void* block) {
    if (block == nullptr) return;
    void* raw;
    memcpy(&raw, static_cast<unsigned char*>(block) - sizeof(void*), sizeof(void*));
    MemFree(raw);
}
