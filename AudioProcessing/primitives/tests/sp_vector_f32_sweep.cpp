// Float rows over arrays past the fast sum's 32768-element blocks and many
// 2048-element index blocks at every byte offset, and a long LMS adaptation of
// a 256-tap filter.
#include <math.h>
#include <string.h>

#include <algorithm>

#include "sp_lms_internal.h"
#include "sp_ref_float.h"
#include "sp_test_support.h"

namespace {

using sptest::F32s;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const std::vector<int32_t> kLengths = {65537};
constexpr int32_t kLmsSamples = 40000;
#else
const std::vector<int32_t> kLengths = {65537, 131075, 1 << 20};
constexpr int32_t kLmsSamples = 200000;
#endif

class FloatSweep : public sptest::VariantTest {};

TEST_P(FloatSweep, LongArraysAtEveryOffset) {
    for (int32_t len : kLengths) {
        const F32s x = sptest::RandomF32(len, 1.0f, 2.0f, false, false, len);
        F32s ordered = sptest::RandomF32(len, -1e3f, 1e3f, true, true, len + 1);
        ordered[len - 5] = 2e30f;  // the maximum late in the last partial block
        const auto maxAt = std::max_element(ordered.begin(), ordered.end()) - ordered.begin();
        const auto minAt = std::min_element(ordered.begin(), ordered.end()) - ordered.begin();
        const long double sum = sptest::SumRef(x);
        std::vector<unsigned char> a(4 * len + 16), b(4 * len + 16);
        for (size_t off = 0; off < 16; ++off) {
            SCOPED_TRACE(testing::Message() << "len " << len << " offset " << off);
            memcpy(a.data() + off, x.data(), 4 * len);
            memcpy(b.data() + off, ordered.data(), 4 * len);
            auto* p = reinterpret_cast<float*>(a.data() + off);
            auto* q = reinterpret_cast<float*>(b.data() + off);
            for (int32_t hint : {0, 1}) {
                float s = 0;
                ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_sum_f32>()(p, len, &s, hint));
                const double bound = hint == 1 ? len * 0x1p-24 * static_cast<double>(sum)
                                               : 0x1p-23 * static_cast<double>(sum);
                ASSERT_NEAR(s, static_cast<double>(sum), bound) << "hint " << hint;
            }
            float m = 0;
            int32_t at = -1;
            ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_max_index_f32>()(q, len, &m, &at));
            ASSERT_EQ(at, maxAt);
            ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_min_index_f32>()(q, len, &m, &at));
            ASSERT_EQ(at, minAt);
            ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_max_f32>()(q, len, &m));
            ASSERT_EQ(m, ordered[maxAt]);
            ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_mul_const_f32_inplace>()(-1.5f, p, len));
            for (int32_t i = 0; i < len; i += 997) {
                float v;  // p may lie off the 4-byte grid
                memcpy(&v, p + i, sizeof v);
                ASSERT_EQ(v, x[i] * -1.5f) << i;
            }
        }
    }
}

// 256 taps, 200000 samples (40000 under the sanitizers) in calls of 4096: every member finds
// the system.
TEST_P(FloatSweep, LongLmsAdaptation) {
    constexpr int32_t L = 256, len = kLmsSamples;
    std::vector<float> system(L);
    for (int32_t k = 0; k < L; ++k) system[k] = 0.5f * expf(-k / 20.0f) * (k % 2 ? -1.0f : 1.0f);
    std::vector<int16_t> x = sptest::RandomI16(len, 9), r(len);
    for (int16_t& v : x) v = static_cast<int16_t>(v / 32);
    for (int32_t n = 0; n < len; ++n) {
        double y = 0;
        for (int32_t k = 0; k < L && k <= n; ++k) y += system[k] * x[n - k];
        r[n] = static_cast<int16_t>(lrint(y));
    }
    sp_lms_state* s = nullptr;
    ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_lms_create>()(&s, nullptr, L, nullptr, 0));
    std::vector<int16_t> y(4096);
    for (int32_t from = 0; from < len; from += 4096) {
        const int32_t n = std::min(4096, len - from);
        Member<sp_entry_sp_lms_filter_i16>()(x.data() + from, r.data() + from, y.data(), n,
                                             0.3f / (L * 3.5e5f), s);
    }
    std::vector<float> taps(L);
    ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_lms_get_taps>()(s, taps.data()));
    for (int32_t k = 0; k < L; ++k) EXPECT_NEAR(taps[k], system[k], 5e-3) << k;
    sp_lms_free(s);
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

SP_INSTANTIATE_VARIANTS(FloatSweep);

}  // namespace
