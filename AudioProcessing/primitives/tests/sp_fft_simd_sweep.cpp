// The SIMD real FFT at the orders whose large path enters a second level
// (SSE from order 24, SSE2 from 25, SSE3 from 26): the plan's table words and
// the exact spectrum of a sum of tones.  Each plan and signal is hundreds of
// megabytes, so they run with the long sweeps, as do the first level's
// largest orders.
#include <algorithm>
#include <vector>

#include "sp_fft_simd_members.h"

namespace {

using sptest::ForEachMember;
using sptest::Member;

int32_t SecondLevelOrder(const Member& m) {
    return m.variant == sp_variant_sse ? 24 : m.variant == sp_variant_sse2 ? 25 : 26;
}

TEST(FftSimdSweep, SecondLevelOrdersTableWordsAndExactSpectrum) {
    ForEachMember([](const Member& m) {
        const int32_t order = SecondLevelOrder(m);
        {
            const std::vector<int32_t> filled =
                m.variant == sp_variant_sse ? std::vector<int32_t>{7, 8, 11, 12, 13, 14, 16, 17}
                                            : std::vector<int32_t>{7, 8, 11, 12, 16, 17};
            sptest::Spec s(m.init, order, 2);
            ASSERT_NE(nullptr, s.spec);
            for (int32_t word = 7; word < 19; ++word) {
                const bool want = std::find(filled.begin(), filled.end(), word) != filled.end();
                EXPECT_EQ(want, sp_rfft_table(s.spec, word) != nullptr)
                    << "order " << order << " word " << word;
            }
        }
        const size_t n = size_t{1} << order;
        sptest::CheckExactSpectrum(m, order, sptest::ToneSum(n, sptest::ExactTones(n)));
    });
}

// The widest column groups of the first level, order 23: one signal for every
// member.
TEST(FftSimdSweep, OrderTwentyThreeAgainstAnExactSpectrum) {
    const int32_t order = 23;
    const size_t n = size_t{1} << order;
    const std::vector<float> x = sptest::ToneSum(n, sptest::ExactTones(n));
    ForEachMember([&](const Member& m) { sptest::CheckExactSpectrum(m, order, x); });
}

// Order 22 of SSE and SSE2, the shapes of their order 21 again (the check runs
// SSE3's, whose level first splits off five stages there).
TEST(FftSimdSweep, OrderTwentyTwoAgainstAnExactSpectrum) {
    const int32_t order = 22;
    const size_t n = size_t{1} << order;
    const std::vector<float> x = sptest::ToneSum(n, sptest::ExactTones(n));
    ForEachMember([&](const Member& m) {
        if (m.variant != sp_variant_sse3) sptest::CheckExactSpectrum(m, order, x);
    });
}

// Order 22's set-up failing at each allocation (the check runs the smaller
// orders).
TEST(FftSimdSweep, OrderTwentyTwoAllocationFailureLeaksNothing) {
    ForEachMember([](const Member& m) { sptest::CheckAllocationFailures(m, 22); });
}

}  // namespace
