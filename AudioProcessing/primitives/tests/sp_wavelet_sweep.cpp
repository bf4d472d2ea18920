// The wavelet filter bank's fronts over the product of tap counts, offsets
// and ways of cutting one stream into calls, in every member, against the
// filter-bank formulas: split within f32 rounding, merge within one step of
// the rounded formula (exactly for the generic member, which sums as the
// formula does).
#include <math.h>

#include <random>
#include <vector>

#include "sp_reference.h"
#include "sp_test_support.h"
#include "sp_wavelet_reference.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int32_t kLenStep = 5;  // a sample of the tap counts under the sanitizers
#else
constexpr int32_t kLenStep = 1;
#endif

using Floats = std::vector<float>;

class WaveletSweep : public sptest::VariantTest {};

// Call sizes (values per band) summing to total; chunking 0 is one call.
std::vector<int32_t> Cuts(int32_t total, uint32_t chunking) {
    if (chunking == 0) return {total};
    std::mt19937 rng(chunking);
    const uint32_t most[6] = {0, 1, 7, 64, 300, 1100};  // values per call at most
    std::vector<int32_t> cuts;
    while (total > 0) {
        const int32_t n = 1 + static_cast<int32_t>(rng() % most[chunking]);
        cuts.push_back(n < total ? n : total);
        total -= cuts.back();
    }
    return cuts;
}

TEST_P(WaveletSweep, TapsOffsetsAndCalls) {
    const int32_t len = 1300;  // two blocks and a part of a third
    uint32_t seed = 7000;
    for (int32_t len1 = 1; len1 <= 32; len1 += kLenStep) {
        const int32_t len2 = 33 - len1;
        const Floats taps1 = sptest::RandomSignal(len1, ++seed);
        const Floats taps2 = sptest::RandomSignal(len2, ++seed);
        for (int32_t offset = -1; offset <= 9; ++offset) {
            const int32_t offset2 = 8 - offset;
            const std::vector<int16_t> x16 = sptest::RandomI16(2 * size_t(len), ++seed);
            const Floats x(x16.begin(), x16.end());
            Floats a1 = sptest::RandomSignal(len, ++seed), a2 = sptest::RandomSignal(len, ++seed);
            for (float& v : a1) v *= 3000.0f;
            for (float& v : a2) v *= 3000.0f;
            const std::vector<double> s1 = sptest::WaveletSplitFormula(taps1, offset, x, len);
            const std::vector<double> s2 = sptest::WaveletSplitFormula(taps2, offset2, x, len);
            const std::vector<double> y1 = sptest::WaveletMergeFormula(taps1, offset, a1, 2 * len);
            const std::vector<double> y2 = sptest::WaveletMergeFormula(taps2, offset2, a2, 2 * len);
            for (uint32_t chunking = 0; chunking < 6; ++chunking) {
                SCOPED_TRACE(testing::Message()
                             << "taps " << len1 << "/" << len2 << " offsets " << offset << "/"
                             << offset2 << " chunking " << chunking);
                sp_wavelet_split_state* s = nullptr;
                sp_wavelet_merge_state* m = nullptr;
                ASSERT_EQ(0, Member<sp_entry_sp_wavelet_split_create>()(
                                 &s, taps1.data(), len1, offset, taps2.data(), len2, offset2));
                ASSERT_EQ(0, Member<sp_entry_sp_wavelet_merge_create>()(
                                 &m, taps1.data(), len1, offset, taps2.data(), len2, offset2));
                Floats b1(len), b2(len);
                std::vector<int16_t> y(2 * size_t(len));
                int32_t at = 0;
                for (int32_t n : Cuts(len, chunking)) {
                    ASSERT_EQ(0, Member<sp_entry_sp_wavelet_split_run>()(
                                     x16.data() + 2 * at, b1.data() + at, b2.data() + at, n, s));
                    ASSERT_EQ(0, Member<sp_entry_sp_wavelet_merge_run>()(
                                     a1.data() + at, a2.data() + at, n, y.data() + 2 * at, m));
                    at += n;
                }
                EXPECT_EQ(0, Member<sp_entry_sp_wavelet_split_free>()(s));
                EXPECT_EQ(0, Member<sp_entry_sp_wavelet_merge_free>()(m));
                for (int32_t i = 0; i < len; ++i) {
                    ASSERT_NEAR(s1[i], b1[i], 4e-7 * 32768.0 * len1) << "band 1 value " << i;
                    ASSERT_NEAR(s2[i], b2[i], 4e-7 * 32768.0 * len2) << "band 2 value " << i;
                }
                for (int32_t t = 0; t < 2 * len; ++t) {
                    const double w = static_cast<float>(y2[t] + static_cast<float>(y1[t]));
                    const double r = fmin(32767.0, fmax(-32768.0, nearbyint(w)));
                    ASSERT_NEAR(r, y[t], Variant() == 0 ? 0.0 : 1.0) << "sample " << t;
                }
            }
        }
    }
}

SP_INSTANTIATE_VARIANTS(WaveletSweep);

}  // namespace
