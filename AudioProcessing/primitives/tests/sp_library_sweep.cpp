// The largest 16-bit buffer: (2^30 - 1) elements, a block of 2 GiB, whose
// byte count is the allocator's whole size.  Filling that much memory takes
// long on a busy machine, so it runs with the long sweeps.
#include <stdint.h>

#include "TestAllocator.h"
#include "sp_test_support.h"

namespace {

TEST(AllocI16Sweep, TheLargestCountIsAlignedAndWholeOrRefused) {
    const int32_t n = (1 << 30) - 1;
    const uint64_t before = zvtest::GetAllocatorCounts().liveBytes;
    int16_t* p = sp_alloc_i16(n);
    if (p == nullptr) {
        // 2 GiB may be refused here, and then leaves nothing behind.
        EXPECT_EQ(sptest::LiveBlocks(), 0u);
        return;
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u);
    EXPECT_GE(zvtest::GetAllocatorCounts().liveBytes - before, 2u * n);
    sp_free(p);
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

}  // namespace
