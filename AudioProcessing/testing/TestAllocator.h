// A stand-in for the driver allocator for tests of pure-computation code (the
// primitives, the echo canceller engine) that do not link the framework.  It
// counts live blocks, fills new memory with a pattern and can be told to fail
// the k-th allocation from now on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zvtest {

struct AllocatorCounts {
    uint64_t liveBlocks;
    uint64_t liveBytes;
    uint64_t allocations;  // successful ones since the last Reset
    uint64_t failures;     // injected ones since the last Reset
};

// Clears the counters' history (live blocks stay counted) and any injection.
void ResetAllocator();
AllocatorCounts GetAllocatorCounts();
// The k-th allocation from now (1 = the next one) fails; 0 switches injection off.
void FailAllocationAfter(uint64_t k);
// Every allocation from the k-th on fails.
void FailAllocationsFrom(uint64_t k);

// Runs `op` with the 1st, 2nd, ... allocation failing until a run needs no
// failure; returns the number of allocations the successful run made.  `op`
// must clean up after itself; the callback is told which allocation failed.
template <typename Op>
uint64_t ForEachAllocationFailure(Op op) {
    for (uint64_t k = 1;; ++k) {
        ResetAllocator();
        FailAllocationAfter(k);
        op(k);
        bool injected = GetAllocatorCounts().failures != 0;
        FailAllocationAfter(0);
        if (!injected) return k - 1;
    }
}

}  // namespace zvtest
