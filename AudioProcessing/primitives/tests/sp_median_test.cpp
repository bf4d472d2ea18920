// Median filter: every member against the brute-force reference, at every
// alignment, with the documented statuses, failures and edge cases.
#include <string.h>

#include <random>
#include <vector>

#include "TestAllocator.h"
#include "sp_reference.h"
#include "sp_test_support.h"

namespace {

using sptest::GuardedBuffer;
using sptest::MedianReference;

class Median : public sptest::VariantTest {
protected:
    sp_median_filter_i16_fn Filter() const { return Member<sp_entry_sp_median_filter_i16>(); }

    // Filters x out of place at a 2-byte offset `off` of a 16-byte boundary and
    // checks the result and status against the reference.
    void Check(const std::vector<int16_t>& x, int32_t mask, int32_t off) {
        const int32_t len = static_cast<int32_t>(x.size());
        alignas(16) static int16_t src[4096 + 16], dst[4096 + 16];
        memcpy(src + off, x.data(), x.size() * 2);
        memset(dst, 0x77, sizeof dst);
        const sp_status want = mask % 2 == 0 ? sp_status_even_mask : sp_status_ok;
        ASSERT_EQ(Filter()(src + off, dst + off, len, mask), want)
            << "len " << len << " mask " << mask;
        const std::vector<int16_t> ref = MedianReference(x, mask);
        ASSERT_EQ(memcmp(dst + off, ref.data(), x.size() * 2), 0)
            << "len " << len << " mask " << mask << " +" << off;
        for (int32_t k = 0; k < off; ++k) ASSERT_EQ(dst[k], 0x7777);
        ASSERT_EQ(dst[off + len], 0x7777);
    }
};

std::vector<int16_t> Signal(int32_t len, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int16_t> x(len);
    switch (seed % 4) {
        case 0:  // full range, extremes included
            for (auto& v : x) v = static_cast<int16_t>(rng());
            if (len > 2) x[len / 2] = -32768, x[len / 3] = 32767;
            break;
        case 1:  // few values: many ties
            for (auto& v : x) v = static_cast<int16_t>(static_cast<int32_t>(rng() % 3) - 1);
            break;
        case 2:  // a ramp with spikes
            for (int32_t i = 0; i < len; ++i)
                x[i] = static_cast<int16_t>(i * 50 - 10000 + (rng() % 7 == 0 ? 20000 : 0));
            break;
        default:  // extremes only
            for (auto& v : x) v = rng() % 2 ? 32767 : -32768;
            break;
    }
    return x;
}

TEST_P(Median, MatchesTheReferenceForEveryLengthMaskAndAlignment) {
    uint32_t seed = 1;
    for (int32_t len = 1; len <= 300; ++len) {
        for (int32_t mask = 1; mask <= 25; ++mask) {
            if (mask > 12 && len % 7 != 0) continue;
            const std::vector<int16_t> x = Signal(len, seed++);
            for (int32_t off = 0; off < 8; off += (len <= 40 ? 1 : 3)) {
                Check(x, mask, off);
                if (HasFatalFailure()) return;
            }
        }
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

TEST_P(Median, EveryBinaryWindowOfTheNetworks) {
    // A signal in which every 0/1 pattern of 9 values is a window somewhere:
    // by the 0-1 principle the min/max networks are then exact for all inputs.
    std::vector<int16_t> x;
    for (int32_t p = 0; p < 512; ++p) {
        for (int32_t b = 0; b < 9; ++b) x.push_back((p >> b) & 1 ? 1000 : -1000);
    }
    x.resize(4096);
    for (int32_t mask : {3, 5, 7, 9}) {
        for (int32_t off : {0, 3}) Check(x, mask, off);
    }
}

TEST_P(Median, DocumentedExamples) {
    auto run = [&](std::vector<int16_t> x, int32_t mask, sp_status want) {
        EXPECT_EQ(Filter()(x.data(), x.data(), static_cast<int32_t>(x.size()), mask), want);
        return x;
    };
    EXPECT_EQ(run({0, 100, 0, 0, 50, 50}, 3, sp_status_ok),
              (std::vector<int16_t>{0, 0, 0, 0, 50, 50}));
    EXPECT_EQ(run({5, -3, 9, 1}, 2, sp_status_even_mask), (std::vector<int16_t>{5, -3, 9, 1}));
    EXPECT_EQ(run({0, 100, 0, 0, 50, 50}, 4, sp_status_even_mask),
              (std::vector<int16_t>{0, 0, 0, 0, 50, 50}));
    for (int32_t mask = 1; mask <= 12; ++mask) {
        EXPECT_EQ(run({7}, mask, mask % 2 ? sp_status_ok : sp_status_even_mask),
                  (std::vector<int16_t>{7}));
        EXPECT_EQ(run({7, -7}, mask, mask % 2 ? sp_status_ok : sp_status_even_mask),
                  (std::vector<int16_t>{7, -7}));
    }
    // Mask 5 on three samples: window x0 x0 x1 x2 x2.
    EXPECT_EQ(run({10, 30, 20}, 5, sp_status_ok), (std::vector<int16_t>{10, 20, 20}));
    // Three samples, any mask: the middle becomes the median of the three.
    for (int32_t mask : {3, 5, 7, 9, 11})
        EXPECT_EQ(run({3, -9, 1}, mask, sp_status_ok), (std::vector<int16_t>{3, 1, 1}));
    // A mask wider than the signal pads both ends; the ends stay.
    EXPECT_EQ(run({40, 10, 30, 20}, 9, sp_status_ok), (std::vector<int16_t>{40, 30, 20, 20}));
    // Last sample below every value of the last full window.
    EXPECT_EQ(run({50, 60, 70, 80, 90, 100, 110, -5}, 7, sp_status_ok),
              MedianReference({50, 60, 70, 80, 90, 100, 110, -5}, 7));
}

TEST_P(Median, InPlaceEqualsOutOfPlace) {
    for (int32_t mask : {3, 5, 7, 9, 11, 15}) {
        for (int32_t len : {3, 17, 64, 257}) {
            const std::vector<int16_t> x = Signal(len, 100 + mask + len);
            std::vector<int16_t> inPlace = x, out(len);
            ASSERT_EQ(Filter()(inPlace.data(), inPlace.data(), len, mask), sp_status_ok);
            ASSERT_EQ(Filter()(x.data(), out.data(), len, mask), sp_status_ok);
            EXPECT_EQ(inPlace, out) << "mask " << mask << " len " << len;
        }
    }
}

TEST_P(Median, AllocationFailure) {
    const std::vector<int16_t> x = Signal(100, 8);
    for (int32_t mask : {7, 9, 11, 25}) {
        SCOPED_TRACE(mask);
        std::vector<int16_t> dst(100, 0);
        zvtest::ResetAllocator();
        zvtest::FailAllocationsFrom(1);
        const sp_status s = Filter()(x.data(), dst.data(), 100, mask);
        zvtest::FailAllocationAfter(0);
        // The vector members have dedicated kernels up to mask 9.
        const bool needsBuffer = mask >= 11 || Variant() == sp_variant_generic;
        if (needsBuffer) {
            EXPECT_EQ(s, sp_status_no_memory);
            EXPECT_EQ(dst, x);  // the unfiltered copy
        } else {
            EXPECT_EQ(s, sp_status_ok);
            EXPECT_EQ(dst, MedianReference(x, mask));
        }
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
    // Masks whose work buffer cannot even be sized give -9 too.
    std::vector<int16_t> d = x;
    EXPECT_EQ(Filter()(x.data(), d.data(), 100, INT32_MAX), sp_status_no_memory);
    EXPECT_EQ(Filter()(x.data(), d.data(), 100, INT32_MAX - 1), sp_status_no_memory);
}

TEST_P(Median, ChecksInOrderAndOutputsUntouched) {
    int16_t a[4] = {1, 9, 2, 8}, b[4] = {5, 5, 5, 5};
    EXPECT_EQ(Filter()(nullptr, b, 4, 0), sp_status_null_ptr);
    EXPECT_EQ(Filter()(a, nullptr, 0, 3), sp_status_null_ptr);
    EXPECT_EQ(Filter()(a, b, 0, 3), sp_status_bad_size);
    EXPECT_EQ(Filter()(a, b, 4, 0), sp_status_bad_size);
    EXPECT_EQ(Filter()(a, b, -4, -1), sp_status_bad_size);
    EXPECT_EQ(b[0] + b[1] + b[2] + b[3], 20);
}

TEST_P(Median, KernelsStayInsideGuardPages) {
    for (int32_t mask : {3, 5, 7, 9, 11}) {
        for (int32_t len : {3, 4, 5, 8, 9, 15, 16, 17, 31, 33, 100}) {
            const std::vector<int16_t> x = Signal(len, 500 + len);
            const std::vector<int16_t> ref = MedianReference(x, mask);
            for (size_t off = 0; off < 16; off += 2) {
                SCOPED_TRACE(testing::Message()
                             << "mask " << mask << " len " << len << " +" << off);
                GuardedBuffer end = GuardedBuffer::AtEnd(len * 2u);
                GuardedBuffer front = GuardedBuffer::AtFront(len * 2u, off);
                memcpy(front.Data(), x.data(), len * 2u);
                ASSERT_EQ(Filter()(front.As<int16_t>(), end.As<int16_t>(), len, mask),
                          sp_status_ok);
                ASSERT_EQ(memcmp(end.Data(), ref.data(), len * 2u), 0);
                memcpy(end.Data(), x.data(), len * 2u);
                ASSERT_EQ(Filter()(end.As<int16_t>(), front.As<int16_t>(), len, mask),
                          sp_status_ok);
                ASSERT_EQ(memcmp(front.Data(), ref.data(), len * 2u), 0);
            }
        }
    }
}

TEST_P(Median, MaskThreeThenFiveOverGrowingHistories) {
    // How the wave correlator smooths its delay history.
    std::mt19937 rng(12);
    std::vector<int16_t> history;
    for (int32_t n = 1; n <= 64; ++n) {
        history.push_back(static_cast<int16_t>(rng() % 400));
        std::vector<int16_t> a(n), b(n);
        ASSERT_EQ(Filter()(history.data(), a.data(), n, 3), sp_status_ok);
        ASSERT_EQ(Filter()(a.data(), b.data(), n, 5), sp_status_ok);
        EXPECT_EQ(b, MedianReference(MedianReference(history, 3), 5)) << "history of " << n;
    }
}

SP_INSTANTIATE_VARIANTS(Median);

TEST(MedianKernel, GenericKernelChecksItsArguments) {
    int16_t x[3] = {1, 2, 3};
    EXPECT_EQ(sp_median_kernel_i16(nullptr, 3, 3), sp_status_null_ptr);
    EXPECT_EQ(sp_median_kernel_i16(x, 0, 3), sp_status_bad_size);
    EXPECT_EQ(sp_median_kernel_i16(x, 3, 0), sp_status_bad_size);
}

TEST(MedianKernel, SortIsAscending) {
    int32_t v[] = {5, -1, 7, 7, -2147483647 - 1, 2147483647, 0};
    sp_sort_i32(v, 7);
    EXPECT_TRUE(std::is_sorted(std::begin(v), std::end(v)));
    int32_t one = 3;
    sp_sort_i32(&one, 1);
    sp_sort_i32(&one, 0);
    EXPECT_EQ(one, 3);
}

}  // namespace
