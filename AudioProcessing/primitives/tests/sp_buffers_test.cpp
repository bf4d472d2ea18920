// Aligned blocks, zero, copy and the two sample conversions, in every member.
#include <limits.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

#include "TestAllocator.h"
#include "sp_test_support.h"

namespace {

using sptest::GuardedBuffer;

namespace sp_internal_kernels {
struct Copy {
    const char* name;
    void* (*fn)(const void*, void*, int64_t);
};
struct Zero {
    const char* name;
    void* (*fn)(void*, int64_t);
};
}  // namespace sp_internal_kernels

// ---- Aligned blocks --------------------------------------------------------------

TEST(AlignedBlocks, AlignedAndFreedThroughTheKeptPointer) {
    const uint64_t live = sptest::LiveBlocks();
    for (int32_t n : {1, 2, 31, 32, 33, 1000, 4097}) {
        SCOPED_TRACE(n);
        void* blocks[5] = {sp_alloc_bytes(n), sp_alloc_32(n), sp_alloc_32_sse3(n), sp_alloc_f64(n),
                           sp_alloc_f64_sse3(n)};
        const size_t sizes[5] = {1, 4, 4, 8, 8};
        for (int k = 0; k < 5; ++k) {
            ASSERT_NE(blocks[k], nullptr);
            const auto p = reinterpret_cast<uintptr_t>(blocks[k]);
            EXPECT_EQ(p % 32, 0u);
            uintptr_t raw;
            memcpy(&raw, reinterpret_cast<void*>(p - 8), 8);
            EXPECT_GE(p - raw, 8u);
            EXPECT_LE(p - raw, 39u);
            memset(blocks[k], 0xA5, n * sizes[k]);  // the whole payload is ours (ASan checks)
        }
        EXPECT_EQ(sptest::LiveBlocks(), live + 5);
        for (void* b : blocks) sp_free(b);
        EXPECT_EQ(sptest::LiveBlocks(), live);
    }
    sp_free(nullptr);
}

TEST(AlignedBlocks, BadCountsGiveNullWithoutAskingTheAllocator) {
    zvtest::ResetAllocator();
    EXPECT_EQ(sp_alloc_32(0), nullptr);
    EXPECT_EQ(sp_alloc_bytes(-1), nullptr);
    EXPECT_EQ(sp_alloc_f64(INT_MIN), nullptr);
    // Sizes beyond the allocator's 32-bit request: null, never a wrapped block.
    EXPECT_EQ(sp_alloc_32(1 << 30), nullptr);
    EXPECT_EQ(sp_alloc_32_sse3(INT_MAX), nullptr);
    EXPECT_EQ(sp_alloc_f64(INT_MAX), nullptr);
    EXPECT_EQ(sp_alloc_f64_sse3(1 << 29), nullptr);
    const zvtest::AllocatorCounts c = zvtest::GetAllocatorCounts();
    EXPECT_EQ(c.allocations + c.failures, 0u);
}

TEST(AlignedBlocks, AllocatorFailureGivesNull) {
    const uint64_t live = sptest::LiveBlocks();
    for (auto* alloc :
         {sp_alloc_bytes, sp_alloc_32, sp_alloc_32_sse3, sp_alloc_f64, sp_alloc_f64_sse3}) {
        zvtest::ResetAllocator();
        zvtest::FailAllocationAfter(1);
        EXPECT_EQ(alloc(16), nullptr);
        EXPECT_EQ(zvtest::GetAllocatorCounts().failures, 1u);
        zvtest::FailAllocationAfter(0);
    }
    EXPECT_EQ(sptest::LiveBlocks(), live);
}

// ---- Zero and copy --------------------------------------------------------------------

typedef sp_status (*ZeroBytesFn)(void*, int32_t);
const ZeroBytesFn kZeroBytes[4] = {sp_zero_bytes, sp_zero_bytes_sse, sp_zero_bytes_sse2,
                                   sp_zero_bytes_sse3};

// Element counts around every threshold of the kernels.
const int32_t kCopyLengths[] = {1,     2,     7,      8,      15,     16,     31,   32,
                                33,    63,    64,     65,     511,    512,    513,  1023,
                                1024,  1025,  2047,   2048,   4095,   4096,   8191, 8192,
                                10239, 10240, 131072, 131073, 262145, 1048576};

class ZeroCopy : public sptest::VariantTest {};

TEST_P(ZeroCopy, CopyI16IsByteExactAtEveryOffset) {
    auto copy = Member<sp_entry_sp_copy_i16>();
    std::mt19937 rng(7);
    for (int32_t len : kCopyLengths) {
        const size_t bytes = static_cast<size_t>(len) * 2;
        std::vector<unsigned char> pattern(bytes + 64);
        for (auto& b : pattern) b = static_cast<unsigned char>(rng());
        // Offsets of source and destination within 16 bytes; long copies at fewer.
        const int step = len > 20000 ? 5 : 1;
        for (int so = 0; so < 16; so += step) {
            for (int dOff = 0; dOff < 16; dOff += (len > 20000 ? 7 : 3)) {
                SCOPED_TRACE(testing::Message()
                             << "len " << len << " src+" << so << " dst+" << dOff);
                std::vector<unsigned char> src(bytes + 32), dst(bytes + 48, 0xEE);
                memcpy(src.data() + so, pattern.data(), bytes);
                ASSERT_EQ(copy(reinterpret_cast<const int16_t*>(src.data() + so),
                               reinterpret_cast<int16_t*>(dst.data() + 16 + dOff), len),
                          sp_status_ok);
                ASSERT_EQ(memcmp(dst.data() + 16 + dOff, pattern.data(), bytes), 0);
                for (int k = 0; k < 16 + dOff; ++k) ASSERT_EQ(dst[k], 0xEE) << "before, byte " << k;
                for (size_t k = 16 + dOff + bytes; k < dst.size(); ++k)
                    ASSERT_EQ(dst[k], 0xEE) << "after";
            }
        }
    }
}

TEST_P(ZeroCopy, ZeroIsByteExactAtEveryOffset) {
    auto zeroI16 = Member<sp_entry_sp_zero_i16>();
    auto zeroF32 = Member<sp_entry_sp_zero_f32>();
    const ZeroBytesFn zeroBytes = kZeroBytes[Variant()];
    std::vector<int64_t> byteCounts;
    for (int32_t len : kCopyLengths) byteCounts.push_back(len);
    for (int64_t n : {20479, 20480, 20481, 262143, 262144, 262145, 524287, 524288, 524289, 2 << 20})
        byteCounts.push_back(n);
    for (int64_t bytes : byteCounts) {
        for (int off = 0; off < 16; off += (bytes > 20000 ? 5 : 1)) {
            SCOPED_TRACE(testing::Message() << bytes << " bytes at +" << off);
            std::vector<unsigned char> buf(bytes + 48, 0xEE);
            unsigned char* p = buf.data() + 16 + off;
            auto check = [&](int64_t zeroed) {
                const int64_t start = 16 + off;
                auto all = [&](int64_t from, int64_t to, unsigned char v) {
                    return std::all_of(buf.begin() + from, buf.begin() + to,
                                       [v](unsigned char b) { return b == v; });
                };
                ASSERT_TRUE(all(0, start, 0xEE));
                ASSERT_TRUE(all(start, start + zeroed, 0));
                ASSERT_TRUE(all(start + zeroed, static_cast<int64_t>(buf.size()), 0xEE));
                memset(buf.data(), 0xEE, buf.size());
            };
            ASSERT_EQ(zeroBytes(p, static_cast<int32_t>(bytes)), sp_status_ok);
            check(bytes);
            if (bytes >= 2) {
                ASSERT_EQ(zeroI16(reinterpret_cast<int16_t*>(p), static_cast<int32_t>(bytes / 2)),
                          sp_status_ok);
                check(bytes / 2 * 2);
            }
            if (bytes >= 4) {
                ASSERT_EQ(zeroF32(reinterpret_cast<float*>(p), static_cast<int32_t>(bytes / 4)),
                          sp_status_ok);
                check(bytes / 4 * 4);
            }
        }
    }
}

TEST_P(ZeroCopy, KernelsStayInsideGuardPages) {
    auto copy = Member<sp_entry_sp_copy_i16>();
    auto zero = Member<sp_entry_sp_zero_i16>();
    for (int32_t len : {1, 7, 8, 9, 31, 32, 33, 63, 64, 65, 4095, 4096, 8191, 8192, 12000}) {
        for (size_t off = 0; off < 16; off += 2) {
            SCOPED_TRACE(testing::Message() << "len " << len << " front offset " << off);
            // Source touching its guard page at the end, destination at the front, and the other
            // way.
            GuardedBuffer srcEnd = GuardedBuffer::AtEnd(len * 2u);
            GuardedBuffer dstFront = GuardedBuffer::AtFront(len * 2u, off);
            memset(srcEnd.Data(), 0x5A, len * 2u);
            ASSERT_EQ(copy(srcEnd.As<int16_t>(), dstFront.As<int16_t>(), len), sp_status_ok);
            ASSERT_EQ(memcmp(srcEnd.Data(), dstFront.Data(), len * 2u), 0);
            GuardedBuffer srcFront = GuardedBuffer::AtFront(len * 2u, off);
            GuardedBuffer dstEnd = GuardedBuffer::AtEnd(len * 2u);
            memset(srcFront.Data(), 0x3C, len * 2u);
            ASSERT_EQ(copy(srcFront.As<int16_t>(), dstEnd.As<int16_t>(), len), sp_status_ok);
            ASSERT_EQ(memcmp(srcFront.Data(), dstEnd.Data(), len * 2u), 0);
            ASSERT_EQ(zero(dstEnd.As<int16_t>(), len), sp_status_ok);
            ASSERT_EQ(zero(dstFront.As<int16_t>(), len), sp_status_ok);
            for (int32_t k = 0; k < len; ++k)
                ASSERT_EQ(dstEnd.As<int16_t>()[k] | dstFront.As<int16_t>()[k], 0);
        }
    }
}

TEST_P(ZeroCopy, NullBeforeLengthAndOutputsUntouched) {
    auto copy = Member<sp_entry_sp_copy_i16>();
    auto zeroI16 = Member<sp_entry_sp_zero_i16>();
    auto zeroF32 = Member<sp_entry_sp_zero_f32>();
    int16_t a[4] = {1, 2, 3, 4}, b[4] = {5, 6, 7, 8};
    float f[2] = {1.5f, 2.5f};
    EXPECT_EQ(copy(nullptr, b, 0), sp_status_null_ptr);
    EXPECT_EQ(copy(a, nullptr, -1), sp_status_null_ptr);
    EXPECT_EQ(copy(a, b, 0), sp_status_bad_size);
    EXPECT_EQ(copy(a, b, -1), sp_status_bad_size);
    EXPECT_EQ(zeroI16(nullptr, 0), sp_status_null_ptr);
    EXPECT_EQ(zeroI16(a, 0), sp_status_bad_size);
    EXPECT_EQ(zeroI16(a, INT_MIN), sp_status_bad_size);
    EXPECT_EQ(zeroF32(nullptr, 4), sp_status_null_ptr);
    EXPECT_EQ(zeroF32(f, -1), sp_status_bad_size);
    EXPECT_EQ(kZeroBytes[Variant()](nullptr, 0), sp_status_null_ptr);
    EXPECT_EQ(kZeroBytes[Variant()](b, 0), sp_status_bad_size);
    EXPECT_EQ(a[0] + a[3] + b[0] + b[3], 1 + 4 + 5 + 8);
    EXPECT_EQ(f[0] + f[1], 4.0f);
}

SP_INSTANTIATE_VARIANTS(ZeroCopy);

TEST(ZeroCopyKernels, EveryKernelOnItsOwn) {
    // The fronts pick kernels by length; each kernel must also be right on its
    // own at every size and alignment.
    const sp_internal_kernels::Copy copies[] = {
        {"generic", sp_copy_bytes_kernel},   {"sse_small", sp_copy_bytes_kernel_sse_small},
        {"sse", sp_copy_bytes_kernel_sse},   {"sse_large", sp_copy_bytes_kernel_sse_large},
        {"sse2", sp_copy_bytes_kernel_sse2}, {"sse3", sp_copy_bytes_kernel_sse3}};
    const sp_internal_kernels::Zero zeros[] = {{"generic", sp_zero_bytes_kernel},
                                               {"sse", sp_zero_bytes_kernel_sse},
                                               {"sse_large", sp_zero_bytes_kernel_sse_large},
                                               {"sse2", sp_zero_bytes_kernel_sse2},
                                               {"sse3", sp_zero_bytes_kernel_sse3}};
    std::mt19937 rng(11);
    for (int64_t bytes :
         {0,    1,    3,     15,    16,    17,    63,     64,     65,     127,    128,    1025,
          4096, 4097, 20479, 20480, 20481, 30000, 262143, 262144, 262145, 524287, 524288, 524289}) {
        std::vector<unsigned char> pattern(bytes + 1);
        for (auto& b : pattern) b = static_cast<unsigned char>(rng());
        const bool large = bytes > 100000;  // fewer offsets for the streaming sizes
        for (int so = 0; so < 16; so += large ? 7 : 3) {
            for (int dOff = 0; dOff < 16; dOff += large ? 11 : 5) {
                for (const auto& k : copies) {
                    if (strcmp(k.name, "sse3") == 0 && !sptest::VariantRunsHere(sp_variant_sse3))
                        continue;
                    SCOPED_TRACE(testing::Message() << k.name << " " << bytes << " bytes src+" << so
                                                    << " dst+" << dOff);
                    std::vector<unsigned char> src(bytes + 32), dst(bytes + 48, 0xEE);
                    memcpy(src.data() + so, pattern.data(), bytes);
                    ASSERT_EQ(k.fn(src.data() + so, dst.data() + 16 + dOff, bytes),
                              dst.data() + 16 + dOff);
                    ASSERT_EQ(memcmp(dst.data() + 16 + dOff, pattern.data(), bytes), 0);
                    for (int i = 0; i < 16 + dOff; ++i) ASSERT_EQ(dst[i], 0xEE);
                    for (size_t i = 16 + dOff + bytes; i < dst.size(); ++i) ASSERT_EQ(dst[i], 0xEE);
                }
            }
            for (const auto& k : zeros) {
                if (strcmp(k.name, "sse3") == 0 && !sptest::VariantRunsHere(sp_variant_sse3))
                    continue;
                SCOPED_TRACE(testing::Message() << k.name << " zero " << bytes << " bytes +" << so);
                std::vector<unsigned char> buf(bytes + 48, 0xEE);
                ASSERT_EQ(k.fn(buf.data() + 16 + so, bytes), buf.data() + 16 + so);
                for (int64_t i = 0; i < static_cast<int64_t>(buf.size()); ++i) {
                    ASSERT_EQ(buf[i], i >= 16 + so && i < 16 + so + bytes ? 0 : 0xEE)
                        << "byte " << i;
                }
            }
        }
    }
}

TEST(Prefetch, ReadsOnlyAndStaysInside) {
    for (int64_t bytes : {0, 1, 4095, 4096, 4097, 12293}) {
        SCOPED_TRACE(bytes);
        GuardedBuffer end = GuardedBuffer::AtEnd(bytes);
        GuardedBuffer front = GuardedBuffer::AtFront(bytes, 0);
        memset(end.Data(), 0x11, bytes);
        memset(front.Data(), 0x22, bytes);
        sp_prefetch_range(end.Data(), bytes);
        sp_prefetch_block(front.Data(), bytes);
        for (int64_t i = 0; i < bytes; ++i) ASSERT_EQ(end.Data()[i] + front.Data()[i], 0x33);
    }
}

}  // namespace
