// The adaptive filter's vector loops against the plain loops they stand
// for: the same bits for every length, misalignment and extreme value.
#include "AecHarness.h"

#include <string.h>

using namespace aec;

namespace {

std::vector<int16_t> Samples(echotest::Rng& rng, size_t n) {
    // Mostly random, with runs of the extremes that make products and pair
    // sums overflow.
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t pick = rng.Next() % 8;
        v[i] = pick == 0 ? -32768 : pick == 1 ? 32767 : int16_t(rng.Next());
    }
    return v;
}

TEST(AecKernels, MatchThePlainLoopsBitForBit) {
    echotest::Rng rng(8);
    // The extremes, small factors, and both sides of +-16384, where the
    // update changes form.
    const int16_t factors[] = {-32768, -32767, -16385, -16384, -16383, -1,   1,
                               2,      12345,  16383,  16384,  16385,  32767};
    const int kinds = int(sizeof(factors) / sizeof(factors[0]));
    for (int n : {0, 1, 7, 8, 9, 15, 64, 128, 136, 512, 1024}) {
        for (int offset = 0; offset < 8; ++offset) {
            SCOPED_TRACE(testing::Message() << n << " +" << offset);
            const std::vector<int16_t> x1 = Samples(rng, size_t(n + 16));
            const std::vector<int16_t> x2 = Samples(rng, size_t(n + 32));
            const std::vector<int16_t> taps0 = Samples(rng, size_t(n + 16));
            const int16_t* a = x1.data() + offset;
            const int16_t* b = x2.data() + (7 - offset);
            EXPECT_EQ(FilterDot(taps0.data() + offset, b, n), dot(taps0.data() + offset, b, n));
            int32_t sums[17];
            int64_t tapSquares = 0;
            for (int i = 0; i < n; ++i)
                tapSquares += int64_t(taps0[size_t(offset + i)]) * taps0[size_t(offset + i)];
            // Estimate counts below, at and past passes of four and of eight.
            for (int count : {1, 3, 4, 5, 8, 9, 12, 13, 16, 17}) {
                EXPECT_EQ(FilterDots(taps0.data() + offset, b + 16, n, count, sums), tapSquares)
                    << count;
                for (int j = 0; j < count; ++j)
                    EXPECT_EQ(sums[j], dot(taps0.data() + offset, b + 16 - j, n))
                        << count << " " << j;
            }
            int64_t squares = 0;
            for (int i = 0; i < n; ++i) squares += int64_t(a[i]) * a[i];
            EXPECT_EQ(FilterSumSquares(a, n), squares);
            for (int16_t r : {factors[rng.Next() % kinds], factors[(n + offset) % kinds],
                              int16_t(rng.Next()), int16_t(int16_t(rng.Next()) >> 2)}) {
                std::vector<int16_t> plain = taps0, fused = taps0;
                tapUpdate(r, n, a, plain.data() + offset);
                const int32_t sum = FilterUpdateDot(r, n, a, fused.data() + offset, b);
                EXPECT_EQ(fused, plain) << r;
                EXPECT_EQ(sum, dot(plain.data() + offset, b, n)) << r;
                std::vector<int16_t> measured = taps0;
                const int64_t squares = FilterUpdateSquares(r, n, a, measured.data() + offset);
                EXPECT_EQ(measured, plain) << r;
                EXPECT_EQ(squares, FilterSumSquares(plain.data() + offset, n)) << r;
            }
        }
    }
}

TEST(AecKernels, TheSmallestSlotIsFoundWhereverItIs) {
    echotest::Rng rng(9);
    for (int n : {1, 3, 4, 7, 8, 9, 200}) {
        for (int at = 0; at < n; ++at) {
            std::vector<int32_t> v(size_t(n) + 1);
            for (int32_t& x : v) x = int32_t(rng.Next() % 2000000000);
            v[size_t(at)] = int32_t(rng.Next() % 1000) - 0x7FFFFFFF;
            EXPECT_EQ(SmallestOf(v.data(), n), min32(v.data(), n)) << n << " " << at;
            EXPECT_EQ(SmallestOf(v.data() + 1, n), min32(v.data() + 1, n)) << n << " " << at;
        }
    }
}

// The whitening in blocks of eight against the sample-by-sample form (64-bit
// sums), on both sides of the coefficient bound that lets the blocks use
// 32-bit sums, with extreme samples and every input shift.
TEST(AecKernels, WhiteningBlocksMatchTheSampleBySampleFilter) {
    echotest::Rng rng(10);
    const int16_t fixed[][kWhiteningOrder + 1] = {
        {0, 32767, 32767, 1, 0, 0},            // sum 65535: the largest for the blocks
        {0, 32767, 32767, 1, 1, 0},            // 65536: sample by sample
        {0, -32768, 32767, 0, 0, 0},           // 65535 with the extreme pair
        {0, -32768, -32768, 0, 0, 0},          // a pair sum that would overflow
        {0, -12000, 9000, -4000, 1500, -300},  // a usual predictor
        {0, 0, 0, 0, 0, 0}};
    int blocked = 0;
    for (int set = 0; set < 40; ++set) {
        int16_t w[kWhiteningOrder + 1] = {};
        if (set < 6) {
            memcpy(w, fixed[set], sizeof(w));
        } else {
            const int scale = set % 3;  // mostly within the bound, sometimes beyond
            for (int j = 1; j <= kWhiteningOrder; ++j)
                w[j] = int16_t(int16_t(rng.Next()) >> (scale == 0 ? 0 : scale + 1));
        }
        for (int shift = 0; shift <= 7; ++shift) {
            for (int n : {1, 7, 8, 9, 80, 83}) {
                SCOPED_TRACE(testing::Message() << set << " " << shift << " " << n);
                const std::vector<int16_t> x = Samples(rng, size_t(n + kWhiteningOrder + 1));
                std::vector<int16_t> out(static_cast<size_t>(n));
                WhitenRun(w, x.data() + 1, shift, out.data(), n);
                for (int i = 0; i < n; ++i)
                    ASSERT_EQ(out[size_t(i)], WhitenSample(w, x.data() + 1 + i, shift)) << i;
                std::vector<int16_t> blocks(static_cast<size_t>(n));
                blocked += WhitenBlocks(w, x.data() + 1, shift, blocks.data(), n) > 0;
            }
        }
    }
    EXPECT_GT(blocked, 200);  // the blocks ran, not only the sample-by-sample tail
}

}  // namespace
