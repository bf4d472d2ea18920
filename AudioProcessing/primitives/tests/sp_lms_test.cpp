// The LMS filter in every member, one member per state throughout: against the
// double-precision reference (bit for bit in the generic member, within one
// output step in the SIMD members), the rounding and saturation of each
// member, the SIMD lane order, identification of a known system, statuses and
// allocation failures.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "TestAllocator.h"
#include "sp_lms_internal.h"
#include "sp_lms_reference.h"
#include "sp_test_support.h"

namespace {

using Samples = std::vector<int16_t>;
using Taps = std::vector<float>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class Lms : public sptest::VariantTest {
protected:
    void TearDown() override {
        for (sp_lms_state* s : made_) EXPECT_EQ(sp_status_ok, sp_lms_free(s));
        EXPECT_EQ(sptest::LiveBlocks(), 0u);
    }
    sp_lms_state* Make(const Taps& taps, const Samples& history, int32_t index) {
        sp_lms_state* s = nullptr;
        EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_lms_create>()(
                                    &s, taps.data(), static_cast<int32_t>(taps.size()),
                                    history.empty() ? nullptr : history.data(), index));
        if (s != nullptr) made_.push_back(s);
        return s;
    }
    Samples Filter(sp_lms_state* s, const Samples& x, const Samples& r, float mu) {
        Samples y(x.size(), 0x5A5A);
        EXPECT_EQ(sp_status_ok,
                  Member<sp_entry_sp_lms_filter_i16>()(x.data(), r.data(), y.data(),
                                                       static_cast<int32_t>(x.size()), mu, s));
        return y;
    }
    Taps GetTaps(const sp_lms_state* s) {
        Taps t(s->len, -1.0f);
        EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_lms_get_taps>()(s, t.data()));
        return t;
    }
    bool Generic() const { return Variant() == sp_variant_generic; }
    std::vector<sp_lms_state*> made_;
};

Taps RandomTaps(int32_t L, float scale, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-scale, scale);
    Taps t(L);
    for (float& v : t) v = d(rng);
    return t;
}

Samples Slice(const Samples& x, size_t from, size_t n) {
    return Samples(x.begin() + from, x.begin() + from + n);
}

// Outputs of a SIMD member differ from the reference only where the f32 lane
// sums land on the other side of a rounding step, and by rounding to nearest
// instead of truncating.
void ExpectWithinOne(const Samples& got, const Samples& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t n = 0; n < got.size(); ++n) ASSERT_LE(abs(got[n] - want[n]), 1) << "sample " << n;
}

TEST_P(Lms, MuZeroIsTheRoundedFirOutputAcrossCalls) {
    const std::vector<int32_t> lengths = kSanitized
                                             ? std::vector<int32_t>{1, 2049}
                                             : std::vector<int32_t>{1, 2047, 2048, 2049, 5000};
    for (int32_t L : {1, 7, 8, 79, 80, 81}) {
        for (int32_t len : lengths) {
            SCOPED_TRACE(testing::Message() << "L " << L << " len " << len);
            const Taps taps = RandomTaps(L, 2.0f / L, L);
            const Samples history = sptest::RandomI16(L, 7 * L);
            const int32_t index = (L * 5 + 3) % L;
            const Samples x = sptest::RandomI16(2 * len + 1, len);
            const Samples r(x.size(), 0);
            sp_lms_state* s = Make(taps, history, index);
            ASSERT_NE(s, nullptr);
            sptest::LmsReference ref(taps, history, index);
            // Three calls: len, len, 1 samples.
            for (auto [from, n] : {std::pair<size_t, size_t>{0, len}, {len, len}, {2 * len, 1}}) {
                const Samples xs = Slice(x, from, n), rs = Slice(r, from, n);
                const Samples want = ref.Run(xs.data(), rs.data(), static_cast<int32_t>(n), 0.0f);
                const Samples got = Filter(s, xs, rs, 0.0f);
                if (Generic()) {
                    ASSERT_EQ(got, want);
                } else {
                    ExpectWithinOne(got, want);
                }
            }
            EXPECT_EQ(GetTaps(s), taps);
            if (!Generic() && Variant() != sp_variant_sse) {
                // Below 80 taps the block path leaves the index at 0; from 80
                // it advances by the samples filtered.
                EXPECT_EQ(s->delayIndex, L < 80 ? 0 : (index + 2 * len + 1) % L);
            } else {
                EXPECT_EQ(s->delayIndex, (index + 2 * len + 1) % L);
            }
        }
    }
}

// One sample on the SSE2/SSE3 block path: the history and the new sample end
// up at positions 0..L-1 of copy 0, newest last, with the index at 0.
TEST_P(Lms, BlockPathLeavesTheHistoryInOrder) {
    if (Variant() != sp_variant_sse2 && Variant() != sp_variant_sse3) GTEST_SKIP();
    for (int32_t index : {0, 3, 6}) {
        SCOPED_TRACE(index);
        const Samples ring = {10, 11, 12, 13, 14, 15, 16};  // positions 0..6
        sp_lms_state* s = Make(Taps(7, 0.0f), ring, index);
        Filter(s, {99}, {0}, 0.0f);
        EXPECT_EQ(s->delayIndex, 0);
        // Oldest first: the ring from index + 1 round to index - 1, then 99.
        for (int32_t k = 0; k < 6; ++k) EXPECT_EQ(s->delay[k], ring[(index + 1 + k) % 7]) << k;
        EXPECT_EQ(s->delay[6], 99.0f);
    }
}

TEST_P(Lms, GenericAdaptsExactlyAsTheReference) {
    if (!Generic()) GTEST_SKIP() << "the SIMD members sum in f32 lanes";
    for (int32_t L : {1, 7, 80}) {
        SCOPED_TRACE(L);
        const Taps taps = RandomTaps(L, 0.5f, 3);
        const Samples x = sptest::RandomI16(3000, 4), r = sptest::RandomI16(3000, 5);
        sp_lms_state* s = Make(taps, {}, 0);
        sptest::LmsReference ref(taps, {}, 0);
        EXPECT_EQ(Filter(s, x, r, 2e-12f), ref.Run(x.data(), r.data(), 3000, 2e-12f));
        EXPECT_EQ(GetTaps(s), ref.Taps());
    }
}

// One tap, one sample of 1 (or 20000): the sum is the tap (times 20000).
TEST_P(Lms, RoundsAndSaturatesTheOutput) {
    struct Case {
        float tap;
        int16_t x;
        int16_t generic, simd;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Case& c : std::vector<Case>{{2.9f, 1, 2, 3},
                                           {-2.9f, 1, -2, -3},
                                           {2.5f, 1, 2, 2},
                                           {3.5f, 1, 3, 4},
                                           {-2.5f, 1, -2, -2},
                                           {2.0f, 20000, 32767, 32767},
                                           {-2.0f, 20000, -32768, -32768},
                                           {1.5e5f, 20000, 32767, 32767},
                                           {-1.5e5f, 20000, -32768, -32768},
                                           {nan, 1, -32768, -32768}}) {
        SCOPED_TRACE(c.tap);
        sp_lms_state* s = Make({c.tap}, {}, 0);
        EXPECT_EQ(Filter(s, {c.x}, {0}, 0.0f), Samples{Generic() ? c.generic : c.simd});
    }
}

// A sum of 40000 writes 32767; the tap then shows which sum the error used:
// 2 + (0 - 40000) * 2e-6 * 20000 from the unclamped one, 2 - 32767 * ... from
// the clamped one (the SSE member).
TEST_P(Lms, ErrorComesFromTheMembersSum) {
    sp_lms_state* s = Make({2.0f}, {}, 0);
    EXPECT_EQ(Filter(s, {20000}, {0}, 1e-6f), Samples{32767});
    const double used = Variant() == sp_variant_sse ? 32767.0 : 40000.0;
    EXPECT_NEAR(GetTaps(s)[0], 2.0 - used * 2e-6 * 20000, 0.01);
}

// Twelve taps (a group of eight and four more), one sample filtered from a
// prepared history: a window starting 4 bytes past a 16-byte boundary sends
// the pair of lane j to lane j + 1 in the SSE2/SSE3 block kernel, which moves
// the two small products away from the large one and rounds the sum up.
TEST_P(Lms, BlockKernelLaneOrderFollowsTheWindowAlignment) {
    constexpr int32_t L = 12;
    Taps taps(L, 0.0f);
    taps[11] = 16384.5f;           // weights window element 0
    taps[3] = taps[1] = 0x1p-10f;  // weight window elements 8 and 10
    for (int32_t index : {0, 3}) {
        SCOPED_TRACE(index);
        // The window after one new sample x = 0 at ring position `index`.
        Samples window(L, 0);
        window[0] = window[8] = window[10] = 1;
        Samples ring(L, 0);
        for (int32_t k = 0; k < L - 1; ++k) ring[(index + 1 + k) % L] = window[k];
        sp_lms_state* s = Make(taps, ring, index);
        const bool rotated =
            index == 0 && (Variant() == sp_variant_sse2 || Variant() == sp_variant_sse3);
        // Unrotated f32 sums are 16384.5 (a tie, to even 16384); the double
        // sum truncates to 16384.
        EXPECT_EQ(Filter(s, {0}, {0}, 0.0f),
                  Samples{static_cast<int16_t>(rotated ? 16385 : 16384)});
    }
}

// An 8-tap system driven by white noise: every member finds its taps, with
// the long per-sample path (96 taps) as well as the short one.
TEST_P(Lms, IdentifiesAnUnknownSystem) {
    const Taps system = {0.5f, -0.25f, 0.125f, 0.3f, -0.4f, 0.05f, 0.2f, -0.1f};
    for (int32_t L : {8, 96}) {
        SCOPED_TRACE(L);
        const int32_t len = 8000;
        Samples x = sptest::RandomI16(len, 11);
        for (int16_t& v : x) v = static_cast<int16_t>(v / 32);  // +-1024, variance ~ 3.5e5
        Samples r(len);
        for (int32_t n = 0; n < len; ++n) {
            double y = 0;
            for (int32_t k = 0; k < 8 && k <= n; ++k) y += system[k] * x[n - k];
            r[n] = static_cast<int16_t>(lrint(y));
        }
        const float mu = 0.3f / (L * 3.5e5f);
        sp_lms_state* s = Make(Taps(L, 0.0f), {}, 0);
        // Uneven calls cross block boundaries and alignments.
        for (int32_t from = 0, n = 1; from < len; from += n, n = std::min(len - from, n * 3 + 1))
            Filter(s, Slice(x, from, n), Slice(r, from, n), mu);
        const Taps got = GetTaps(s);
        for (int32_t k = 0; k < L; ++k)
            EXPECT_NEAR(got[k], k < 8 ? system[k] : 0.0f, 2e-3) << "tap " << k;
    }
}

// Single-sample calls continue the signal as one call does: bit for bit where
// the order of the sums does not depend on the call boundaries.
TEST_P(Lms, SingleSampleCallsMatchOneCall) {
    for (int32_t L : {7, 80}) {
        SCOPED_TRACE(L);
        const int32_t head = 2500, tail = 40;  // a call through two blocks, then single samples
        const Samples x = sptest::RandomI16(head + tail, 21),
                      r = sptest::RandomI16(head + tail, 22);
        const Taps taps = RandomTaps(L, 1.0f / L, 23);
        const float mu = 2e-12f;  // stable for 80 taps of full-scale noise
        sp_lms_state* whole = Make(taps, {}, 2);
        sp_lms_state* split = Make(taps, {}, 2);
        const Samples want = Filter(whole, x, r, mu);
        Samples got = Filter(split, Slice(x, 0, head), Slice(r, 0, head), mu);
        for (int32_t n = head; n < head + tail; ++n)
            got.push_back(Filter(split, {x[n]}, {r[n]}, mu)[0]);
        const bool exact = Generic() || Variant() == sp_variant_sse || L >= 80;
        if (exact) {
            EXPECT_EQ(got, want);
            EXPECT_EQ(GetTaps(split), GetTaps(whole));
        } else {
            ExpectWithinOne(got, want);
            const Taps a = GetTaps(split), b = GetTaps(whole);
            for (int32_t k = 0; k < L; ++k) EXPECT_NEAR(a[k], b[k], 1e-4 + 1e-4 * fabs(b[k]));
        }
    }
}

TEST_P(Lms, GetTapsAndNullInputs) {
    const Taps taps = {1.0f, -2.5f, 0x1p-20f, 3e30f, -0.0f};
    EXPECT_EQ(GetTaps(Make(taps, {}, 0)), taps);
    // No taps and no history: zeros out, and zero taps, until the error moves them.
    sp_lms_state* z = nullptr;
    ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_lms_create>()(&z, nullptr, 4, nullptr, 1));
    made_.push_back(z);
    EXPECT_EQ(GetTaps(z), Taps(4, 0.0f));
    EXPECT_EQ(Filter(z, {100, 200}, {50, 50}, 0.0f), Samples({0, 0}));
    Filter(z, {100, 200, 300}, {50, 50, 50}, 1e-6f);
    EXPECT_NE(GetTaps(z), Taps(4, 0.0f));
}

TEST_P(Lms, Statuses) {
    const auto create = Member<sp_entry_sp_lms_create>();
    const auto filter = Member<sp_entry_sp_lms_filter_i16>();
    const auto get = Member<sp_entry_sp_lms_get_taps>();
    const float taps[3] = {1, 2, 3};
    const int16_t line[3] = {1, 2, 3};
    auto* const sentinel = reinterpret_cast<sp_lms_state*>(uintptr_t{0x1000});
    struct CreateCase {
        bool nullState;
        int32_t len, index;
        const int16_t* line;
        sp_status want;
    };
    for (const CreateCase& c :
         std::vector<CreateCase>{{true, 3, 0, line, sp_status_null_ptr},
                                 {false, 0, 0, line, sp_status_bad_size},
                                 {false, -1, 0, line, sp_status_bad_size},
                                 {false, 3, 3, line, sp_status_delay_index},
                                 {false, 3, -1, line, sp_status_delay_index},
                                 {false, 3, 3, nullptr, sp_status_delay_index},
                                 {false, 3, -1, nullptr, sp_status_delay_index},
                                 // 8L alone passes 2^31 bytes
                                 {false, 300000000, 0, nullptr, sp_status_no_memory}}) {
        SCOPED_TRACE(testing::Message() << c.len << " " << c.index);
        sp_lms_state* s = sentinel;
        zvtest::ResetAllocator();
        EXPECT_EQ(c.want, create(c.nullState ? nullptr : &s, c.len < 4 ? taps : nullptr, c.len,
                                 c.line, c.index));
        EXPECT_EQ(s, sentinel);
        EXPECT_EQ(zvtest::GetAllocatorCounts().allocations, 0u);
    }
    sp_lms_state* s = Make({1, 2, 3}, {1, 2, 3}, 1);
    int16_t x[2] = {1, 2}, y[2] = {7, 7};
    EXPECT_EQ(sp_status_null_ptr, filter(x, x, y, 2, 0.1f, nullptr));
    EXPECT_EQ(sp_status_null_ptr, filter(nullptr, x, y, 2, 0.1f, s));
    EXPECT_EQ(sp_status_null_ptr, filter(x, nullptr, y, 2, 0.1f, s));
    EXPECT_EQ(sp_status_null_ptr, filter(x, x, nullptr, 2, 0.1f, s));
    EXPECT_EQ(sp_status_bad_size, filter(x, x, y, 0, 0.1f, s));
    float out[3] = {9, 9, 9};
    EXPECT_EQ(sp_status_null_ptr, get(nullptr, out));
    EXPECT_EQ(sp_status_null_ptr, get(s, nullptr));
    const int32_t index = s->delayIndex;
    s->kind = 0x49493035;  // an IIR state's kind
    EXPECT_EQ(sp_status_wrong_state, filter(x, x, y, 2, 0.1f, s));
    EXPECT_EQ(sp_status_wrong_state, get(s, out));
    s->kind = sp_internal::kLmsKind;
    EXPECT_EQ(y[0], 7);
    EXPECT_EQ(out[0], 9.0f);
    EXPECT_EQ(s->delayIndex, index);
    EXPECT_EQ(GetTaps(s), Taps({1, 2, 3}));
    EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_lms_free>()(nullptr));
}

TEST_P(Lms, LayoutKeepsTheSimdGuarantees) {
    for (int32_t L : {1, 7, 79, 80, 81, 1000}) {
        sp_lms_state* s = Make(Taps(L, 1.0f), {}, 0);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(s->taps) % 32, 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(s->delay) % 16, 0u);
        EXPECT_EQ(s->copyStride % 16, 4);
        EXPECT_GE(s->copyStride, 8 * L);
        const auto* end = reinterpret_cast<const unsigned char*>(s) + sp_internal::LmsBlockBytes(L);
        EXPECT_LE(reinterpret_cast<const unsigned char*>(sp_internal::LmsCopy(s, 3) + 2 * L), end);
        EXPECT_LE(reinterpret_cast<const unsigned char*>(s->delay + 2 * L + 2048), end);
    }
}

TEST_P(Lms, AllocationFailureLeavesNothing) {
    const float taps[4] = {1, 2, 3, 4};
    auto* const sentinel = reinterpret_cast<sp_lms_state*>(uintptr_t{0x1000});
    const uint64_t steps = zvtest::ForEachAllocationFailure([&](uint64_t k) {
        sp_lms_state* s = sentinel;
        const sp_status status = Member<sp_entry_sp_lms_create>()(&s, taps, 4, nullptr, 0);
        if (zvtest::GetAllocatorCounts().failures != 0) {
            EXPECT_EQ(sp_status_no_memory, status) << "failure at allocation " << k;
            EXPECT_EQ(sentinel, s);
        } else {
            ASSERT_EQ(sp_status_ok, status);
            sp_lms_free(s);
        }
        EXPECT_EQ(sptest::LiveBlocks(), 0u);
    });
    EXPECT_EQ(steps, 1u);
}

TEST_P(Lms, KeepsTheFloatingPointControl) {
    sp_lms_state* s = nullptr;
    const float taps[90] = {1};
    EXPECT_TRUE(sptest::KeepsFpControl(
        [&] { Member<sp_entry_sp_lms_create>()(&s, taps, 90, nullptr, 0); }));
    ASSERT_NE(s, nullptr);
    made_.push_back(s);
    const Samples x = sptest::RandomI16(100, 1);
    Samples y(100);
    float out[90];
    EXPECT_TRUE(sptest::KeepsFpControl([&] {
        Member<sp_entry_sp_lms_filter_i16>()(x.data(), x.data(), y.data(), 100, 1e-9f, s);
    }));
    EXPECT_TRUE(sptest::KeepsFpControl([&] { Member<sp_entry_sp_lms_get_taps>()(s, out); }));
    sp_lms_state* t = nullptr;
    Member<sp_entry_sp_lms_create>()(&t, taps, 20, nullptr, 0);
    EXPECT_TRUE(sptest::KeepsFpControl([&] {
        Member<sp_entry_sp_lms_filter_i16>()(x.data(), x.data(), y.data(), 100, 1e-9f, t);
    }));
    EXPECT_TRUE(sptest::KeepsFpControl([&] { Member<sp_entry_sp_lms_free>()(t); }));
}

SP_INSTANTIATE_VARIANTS(Lms);

}  // namespace
