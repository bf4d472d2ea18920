#include "TestAllocator.h"

#include <MemAlloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// Header in front of each block: keeps the data 16-byte aligned, as the driver
// allocator does, and remembers the size for the byte count.
struct alignas(16) BlockHeader {
    uint64_t size;
    uint64_t magic;
};
constexpr uint64_t kLiveMagic = 0x5A43616D4C697665ull;  // "ZCamLive"
constexpr uint64_t kFreeMagic = 0x5A43616D46726565ull;  // "ZCamFree"

std::mutex g_lock;
zvtest::AllocatorCounts g_counts{};
uint64_t g_failAt = 0;      // 0: no injection
bool g_failOnward = false;  // fail every allocation from g_failAt on
uint64_t g_attempts = 0;

bool ShouldFail() {
    ++g_attempts;
    if (g_failAt == 0) return false;
    return g_failOnward ? g_attempts >= g_failAt : g_attempts == g_failAt;
}

}  // namespace

namespace zvtest {

void ResetAllocator() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_counts.allocations = 0;
    g_counts.failures = 0;
    g_failAt = 0;
    g_failOnward = false;
    g_attempts = 0;
}

AllocatorCounts GetAllocatorCounts() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_counts;
}

void FailAllocationAfter(uint64_t k) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failAt = k;
    g_failOnward = false;
    g_attempts = 0;
}

void FailAllocationsFrom(uint64_t k) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failAt = k;
    g_failOnward = true;
    g_attempts = 0;
}

}  // namespace zvtest

PVOID MemAllocPool(ULONG poolType, ULONG size) {
    (void)poolType;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (ShouldFail()) {
            ++g_counts.failures;
            return nullptr;
        }
    }
    auto* header = static_cast<BlockHeader*>(
        std::aligned_alloc(16, sizeof(BlockHeader) + ((size + 15u) & ~15ull)));
    if (header == nullptr) return nullptr;
    header->size = size;
    header->magic = kLiveMagic;
    void* data = header + 1;
    std::memset(data, 0xCD, size);  // never hand out zeroed memory
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_counts.liveBlocks;
    g_counts.liveBytes += size;
    ++g_counts.allocations;
    return data;
}

void MemFreeBlock(PVOID data) {
    if (data == nullptr) return;
    auto* header = static_cast<BlockHeader*>(data) - 1;
    if (header->magic != kLiveMagic) std::abort();  // double free or foreign pointer
    header->magic = kFreeMagic;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        --g_counts.liveBlocks;
        g_counts.liveBytes -= header->size;
    }
    std::free(header);
}

PVOID MemAlloc(ULONG size) {
    return MemAllocPool(ZV_POOL_NONPAGED, size);
}
void MemFree(PVOID data) {
    MemFreeBlock(data);
}
