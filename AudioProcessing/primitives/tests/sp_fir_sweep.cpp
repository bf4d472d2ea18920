// The FIR filters over every taps length up to 300 and a spread of call
// lengths on both paths, each against the double-precision FIR with history;
// and each variant's plain transform against its internal-order one at orders
// 17 to 20.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

#include "sp_dispatch.h"
#include "sp_fft_simd.h"
#include "sp_fir_reference.h"
#include "sp_rfft.h"
#include "sp_test_support.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int32_t kTapsStep = 23;
#else
constexpr int32_t kTapsStep = 1;
#endif

class FirSweep : public sptest::VariantTest {};

TEST_P(FirSweep, EveryTapsLengthFollowsTheReference) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> tap(-1.0f, 1.0f);
    for (int32_t len = 1; len <= 300; len += kTapsStep) {
        std::vector<float> taps(static_cast<size_t>(len));
        for (float& t : taps) t = tap(rng);
        sp_fir_state* s = nullptr;
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_fir_create>()(&s, taps.data(), len, nullptr));
        sptest::FirReference ref(taps, {});
        for (int32_t n : {1, len, len + 5, 511, 512, 1500, 4100}) {
            const std::vector<int16_t> x = sptest::RandomI16(static_cast<size_t>(n), rng());
            std::vector<int16_t> y(x.size());
            ASSERT_EQ(sp_status_ok,
                      Member<sp_entry_sp_fir_filter_i16_scaled>()(x.data(), y.data(), n, s, 4));
            const std::vector<int16_t> want = ref.Run(x, 4);
            for (size_t i = 0; i < want.size(); ++i)
                ASSERT_LE(abs(y[i] - want[i]), 1) << len << " taps, " << n << " samples, " << i;
        }
        EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_fir_free>()(s));
    }
}

TEST_P(FirSweep, PlainTransformIsThePermResultWithElementOneLast) {
    using Init = sp_status (*)(sp_rfft_spec**, int32_t, int32_t, int32_t);
    using Transform = sp_status (*)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    const Init init[4] = {sp_rfft_spec_init, sp_rfft_spec_init_sse, sp_rfft_spec_init_sse2,
                          sp_rfft_spec_init_sse3};
    const Transform perm[4] = {sp_rfft_forward_perm, sp_rfft_forward_perm_sse,
                               sp_rfft_forward_perm_sse2, sp_rfft_forward_perm_sse3};
    const Transform plain[4] = {sp_rfft_forward, sp_rfft_forward_sse, sp_rfft_forward_sse2,
                                sp_rfft_forward_sse3};
    for (int32_t order = 17; order <= 20; ++order) {
        const size_t n = size_t{1} << order;
        sp_rfft_spec* spec = nullptr;
        ASSERT_EQ(sp_status_ok, init[Variant()](&spec, order, sp_rfft_scale_inverse, 0));
        std::vector<float> x(n), a(n), b(n);
        std::mt19937 rng(static_cast<uint32_t>(order));
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        for (float& v : x) v = d(rng);
        ASSERT_EQ(sp_status_ok, perm[Variant()](x.data(), a.data(), spec, nullptr));
        ASSERT_EQ(sp_status_ok, plain[Variant()](x.data(), b.data(), spec, nullptr));
        std::rotate(a.begin() + 1, a.begin() + 2, a.end());
        EXPECT_EQ(0, memcmp(a.data(), b.data(), n * sizeof(float))) << order;
        sp_rfft_spec_free(spec);
    }
}

SP_INSTANTIATE_VARIANTS(FirSweep);

}  // namespace
