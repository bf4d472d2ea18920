// Copies and overlap-safe moves (sp_copy_f32, sp_move_i16, sp_move_f32) in
// every member, against memcpy and memmove on the same bytes.
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "sp_test_support.h"
#include "sp_vector_internal.h"

namespace {

using sptest::GuardedBuffer;

// The three rows as one byte-level operation: (src, dst, elements).
struct ByteRow {
    const char* name;
    int32_t size;  // element size in bytes
    bool overlapSafe;
    sp_status (*call)(int32_t variant, const void* src, void* dst, int32_t len);
};

const ByteRow kRows[] = {
    {"sp_move_i16", 2, true,
     [](int32_t v, const void* s, void* d, int32_t n) {
         return sp_dispatch_member<sp_entry_sp_move_i16>(v)(static_cast<const int16_t*>(s),
                                                            static_cast<int16_t*>(d), n);
     }},
    {"sp_move_f32", 4, true,
     [](int32_t v, const void* s, void* d, int32_t n) {
         return sp_dispatch_member<sp_entry_sp_move_f32>(v)(static_cast<const float*>(s),
                                                            static_cast<float*>(d), n);
     }},
    {"sp_copy_f32", 4, false,
     [](int32_t v, const void* s, void* d, int32_t n) {
         return sp_dispatch_member<sp_entry_sp_copy_f32>(v)(static_cast<const float*>(s),
                                                            static_cast<float*>(d), n);
     }},
};

std::vector<unsigned char> Pattern(size_t n, uint32_t seed) {
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = static_cast<unsigned char>((seed = seed * 1103515245u + 12345u) >> 23);
    return v;
}

class Moves : public sptest::VariantTest {};

TEST_P(Moves, DisjointArraysAtEveryOffsetMatchMemcpy) {
    for (const ByteRow& row : kRows) {
        for (int32_t len : {1, 3, 31, 33, 63, 64, 65, 1000}) {
            const size_t bytes = static_cast<size_t>(len) * row.size;
            const size_t region = bytes + 64;
            for (size_t so = 0; so < 16; ++so) {
                for (size_t dof = 0; dof < 16; ++dof) {
                    std::vector<unsigned char> arena = Pattern(2 * region, 7 + len);
                    std::vector<unsigned char> want = arena;
                    unsigned char* src = arena.data() + 16 + so;
                    unsigned char* dst = arena.data() + region + 16 + dof;
                    memcpy(want.data() + region + 16 + dof, src, bytes);
                    ASSERT_EQ(row.call(Variant(), src, dst, len), sp_status_ok)
                        << row.name << " len " << len;
                    ASSERT_EQ(arena, want)
                        << row.name << " len " << len << " src +" << so << " dst +" << dof;
                }
            }
        }
    }
}

TEST_P(Moves, OverlapsUpAndDownMatchMemmove) {
    for (const ByteRow& row : kRows) {
        if (!row.overlapSafe) continue;
        for (int32_t len : {1, 3, 31, 33, 63, 64, 65, 1000}) {
            const size_t bytes = static_cast<size_t>(len) * row.size;
            for (int32_t by = -33; by <= 33; ++by) {
                for (size_t base = 0; base < 16; ++base) {
                    const size_t arenaBytes = bytes + 34 * row.size * 2 + 64;
                    std::vector<unsigned char> arena = Pattern(arenaBytes, 11 + by);
                    std::vector<unsigned char> want = arena;
                    const size_t at = 16 + 34 * row.size + base;
                    const ptrdiff_t shift = static_cast<ptrdiff_t>(by) * row.size;
                    memmove(want.data() + at + shift, want.data() + at, bytes);
                    ASSERT_EQ(
                        row.call(Variant(), arena.data() + at, arena.data() + at + shift, len),
                        sp_status_ok);
                    ASSERT_EQ(arena, want)
                        << row.name << " len " << len << " by " << by << " base +" << base;
                }
            }
        }
    }
}

TEST_P(Moves, KernelSwitchLengthsAndGuardPages) {
    // The SSE copy changes kernel at 2048 and 4096 floats; every member is run
    // with a source or destination touching a guard page on either side.
    for (const ByteRow& row : kRows) {
        for (int32_t len : {2047, 2048, 4095, 4096, 5000}) {
            const size_t bytes = static_cast<size_t>(len) * row.size;
            for (size_t off : {0u, 1u, 4u, 12u}) {
                const std::vector<unsigned char> data = Pattern(bytes, len);
                GuardedBuffer end = GuardedBuffer::AtEnd(bytes);
                GuardedBuffer front = GuardedBuffer::AtFront(bytes, off);
                memcpy(end.Data(), data.data(), bytes);
                ASSERT_EQ(row.call(Variant(), end.Data(), front.Data(), len), sp_status_ok);
                ASSERT_EQ(memcmp(front.Data(), data.data(), bytes), 0) << row.name << " " << len;
                memset(end.Data(), 0, bytes);
                ASSERT_EQ(row.call(Variant(), front.Data(), end.Data(), len), sp_status_ok);
                ASSERT_EQ(memcmp(end.Data(), data.data(), bytes), 0) << row.name << " " << len;
            }
        }
    }
}

TEST_P(Moves, SameAddressLeavesMemoryAlone) {
    for (const ByteRow& row : kRows) {
        if (!row.overlapSafe) continue;
        std::vector<unsigned char> arena = Pattern(4200, 3);
        const std::vector<unsigned char> want = arena;
        for (int32_t len : {1, 64, 1000}) {
            ASSERT_EQ(row.call(Variant(), arena.data() + 5, arena.data() + 5, len), sp_status_ok);
            ASSERT_EQ(arena, want) << row.name;
        }
    }
}

TEST_P(Moves, NullBeforeLengthAndNothingWritten) {
    for (const ByteRow& row : kRows) {
        SCOPED_TRACE(row.name);
        unsigned char a[16], b[16];
        memset(a, 1, sizeof a);
        memset(b, 2, sizeof b);
        EXPECT_EQ(row.call(Variant(), nullptr, b, 0), sp_status_null_ptr);
        EXPECT_EQ(row.call(Variant(), a, nullptr, -1), sp_status_null_ptr);
        EXPECT_EQ(row.call(Variant(), a, b, 0), sp_status_bad_size);
        EXPECT_EQ(row.call(Variant(), a, b, -1), sp_status_bad_size);
        EXPECT_EQ(row.call(Variant(), a, b, INT32_MIN), sp_status_bad_size);
        for (unsigned char x : b) ASSERT_EQ(x, 2);
        EXPECT_TRUE(sptest::KeepsFpControl([&] { row.call(Variant(), a, b, 3); }));
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

SP_INSTANTIATE_VARIANTS(Moves);

// Two pages whose addresses differ by exactly 2^32: a direction taken from a
// 32-bit difference would see them as the same address and copy nothing.
class PagesFourGigabytesApart {
public:
    PagesFourGigabytesApart() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* a = mmap(nullptr, page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (a == MAP_FAILED) return;
        low_ = static_cast<unsigned char*>(a);
        for (int64_t delta : {int64_t{1} << 32, -(int64_t{1} << 32)}) {
            auto* want = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(low_) + delta);
            void* b = mmap(want, page_, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
            if (b == want) {
                high_ = static_cast<unsigned char*>(b);
                return;
            }
            if (b != MAP_FAILED) munmap(b, page_);
        }
    }
    ~PagesFourGigabytesApart() {
        if (low_ != nullptr) munmap(low_, page_);
        if (high_ != nullptr) munmap(high_, page_);
    }
    bool Mapped() const { return low_ != nullptr && high_ != nullptr; }
    unsigned char* first() const { return low_; }
    unsigned char* second() const { return high_; }

private:
    size_t page_ = 0;
    unsigned char* low_ = nullptr;
    unsigned char* high_ = nullptr;
};

TEST(MoveBytesKernel, AddressesFourGigabytesApartAreStillCopied) {
    PagesFourGigabytesApart pages;
    if (!pages.Mapped()) GTEST_SKIP() << "no mapping 2^32 bytes away was granted";
    void* (*const kernels[])(const void*, void*, int64_t) = {sp_move_bytes_kernel_sse2,
                                                             sp_move_bytes_kernel_sse3};
    for (int k = 0; k < 2; ++k) {
        if (k == 1 && !sptest::VariantRunsHere(sp_variant_sse3)) continue;
        for (int64_t n : {1, 3, 100, 1000}) {
            memset(pages.first(), 0x11 + k, 1024);
            memset(pages.second(), 0x77, 1024);
            kernels[k](pages.first(), pages.second(), n);
            for (int64_t i = 0; i < 1024; ++i)
                ASSERT_EQ(pages.second()[i], i < n ? 0x11 + k : 0x77) << "n " << n << " at " << i;
            memset(pages.second(), 0x22, 1024);
            kernels[k](pages.second(), pages.first(), n);
            for (int64_t i = 0; i < n; ++i) ASSERT_EQ(pages.first()[i], 0x22);
        }
    }
    // The members of the move rows take the same care.
    sptest::ForEachVariant([&](int32_t v) {
        memset(pages.first(), 0x5A, 64);
        memset(pages.second(), 0, 64);
        ASSERT_EQ(sp_dispatch_member<sp_entry_sp_move_f32>(v)(
                      reinterpret_cast<const float*>(pages.first()),
                      reinterpret_cast<float*>(pages.second()), 16),
                  sp_status_ok);
        ASSERT_EQ(memcmp(pages.first(), pages.second(), 64), 0);
    });
}

}  // namespace
