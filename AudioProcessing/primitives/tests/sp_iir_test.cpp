// IIR filters in every member: against a double-precision reference, against
// each other, the set-up's tables, the statuses and the output scale.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "TestAllocator.h"
#include "sp_iir_internal.h"
#include "sp_iir_reference.h"
#include "sp_scale_internal.h"
#include "sp_test_support.h"

namespace {

using sptest::GuardedBuffer;
using sptest::IirReference;
using Coeffs = std::vector<float>;
using Samples = std::vector<int16_t>;

using Shape = sptest::IirShape;

class Iir : public sptest::VariantTest {
protected:
    void TearDown() override {
        for (sp_iir_state* s : made_) EXPECT_EQ(sp_status_ok, sptest::IirFreeState(Variant(), s));
        EXPECT_EQ(sptest::LiveBlocks(), 0u);
    }
    // A state of family a (or b), freed at the end of the test.
    sp_iir_state* Make(const Coeffs& c, int32_t order, const float* delay = nullptr,
                       bool familyB = false, sp_status expect = sp_status_ok) {
        sp_iir_state* s = nullptr;
        auto create =
            familyB ? Member<sp_entry_sp_iir_create_b>() : Member<sp_entry_sp_iir_create_a>();
        EXPECT_EQ(expect, create(&s, c.data(), order, delay));
        if (s != nullptr) made_.push_back(s);
        return s;
    }
    sp_iir_state* MakeCascade(const Coeffs& sections, bool familyB = false,
                              const float* delay = nullptr) {
        sp_iir_state* s = nullptr;
        EXPECT_EQ(sp_status_ok,
                  sptest::BuildIirCascade(Variant(), familyB ? kIirKindCascadeB : kIirKindCascadeA,
                                          sections.data(),
                                          static_cast<int32_t>(sections.size() / 6), delay, &s));
        made_.push_back(s);
        return s;
    }
    sp_iir_state* MakeShape(const Shape& shape, uint32_t seed) {
        made_.push_back(sptest::IirMakeShape(Variant(), shape, seed, false));
        return made_.back();
    }
    Samples Run(sp_iir_state* s, const Samples& x, int32_t scale) {
        Samples y(x.size());
        const bool familyB = s->kind == kIirKindDirectB || s->kind == kIirKindCascadeB;
        auto filter = familyB ? Member<sp_entry_sp_iir_filter_b_i16_scaled>()
                              : Member<sp_entry_sp_iir_filter_i16_scaled>();
        EXPECT_EQ(sp_status_ok,
                  filter(x.data(), y.data(), static_cast<int32_t>(x.size()), s, scale));
        return y;
    }
    sptest::IirRounding Rounding() const { return sptest::IirRoundingOf(Variant()); }

    std::vector<sp_iir_state*> made_;
};

TEST_P(Iir, FiltersLikeTheReferenceOutOfPlaceAndInPlace) {
    // Every shape, length and scale; the buffer offsets and the family vary
    // from case to case (their full product is the slow sweep's).
    uint32_t caseNo = 0;
    for (const Shape& shape : sptest::IirTestShapes()) {
        for (int32_t len : sptest::IirTestLengths(shape)) {
            for (int32_t scale : {-2, 0, 1, 3}) {
                ++caseNo;
                sptest::CheckIirCase(Variant(), shape, len, scale, (caseNo * 2) % 16,
                                     (caseNo * 6 + 4) % 16, caseNo, caseNo % 2 == 0);
                if (HasFailure()) return;
            }
        }
    }
}

TEST_P(Iir, StreamCutIntoCallsStaysWithTheReference) {
    for (const Shape& shape : {Shape{3, 0}, Shape{7, 0}, Shape{10, 0}, Shape{4, 2}}) {
        SCOPED_TRACE(shape.order);
        IirReference ref = sptest::IirReferenceOf(shape, 77);
        const Samples x = sptest::IirTestSignal(ref, 6000, 0, 78);
        const Samples want = ref.Run(x.data(), 6000, 0, Rounding());
        sp_iir_state* st = MakeShape(shape, 77);
        std::mt19937 rng(79);
        for (size_t at = 0; at < x.size();) {
            const size_t n = std::min<size_t>(x.size() - at, 1 + rng() % 1500);
            const Samples got = Run(st, Samples(x.begin() + at, x.begin() + at + n), 0);
            for (size_t i = 0; i < n; ++i) ASSERT_LE(abs(got[i] - want[at + i]), 1) << at + i;
            at += n;
        }
    }
}

TEST_P(Iir, ExactFiltersGiveTheSameOutputHoweverTheStreamIsCut) {
    // Dyadic coefficients and small inputs: every member's arithmetic is exact,
    // so per-sample, paired and block paths must agree.
    const Coeffs order1 = {1.0f, 0.0f, 1.0f, -0.5f};
    const Coeffs order2 = {0.5f, 0.25f, -0.125f, 1.0f, -0.5f, 0.25f};
    const Coeffs order5 = {1, 0.5f, 0, 0.25f, 0, -0.5f, 1, -0.25f, 0.125f, 0, 0, 0.0625f};
    const Samples x = {100, -37, 12, 5, -99};
    for (int32_t shape = 0; shape < 4; ++shape) {
        SCOPED_TRACE(shape);
        auto make = [&]() {
            switch (shape) {
                case 0:
                    return Make(order1, 1);
                case 1:
                    return Make(order2, 2);
                case 2:
                    return Make(order5, 5);
                default:
                    return MakeCascade(order2);
            }
        };
        const Samples whole = Run(make(), x, 0);
        sp_iir_state* cut = make();
        Samples parts = Run(cut, Samples(x.begin(), x.begin() + 3), 0);
        const Samples tail = Run(cut, Samples(x.begin() + 3, x.end()), 0);
        parts.insert(parts.end(), tail.begin(), tail.end());
        EXPECT_EQ(whole, parts);
    }
}

TEST_P(Iir, DocumentedExamples) {
    const bool generic = Variant() == sp_variant_generic;
    struct Example {
        Coeffs c;
        int32_t order, scale;
        Samples x, generic, simd;
    };
    const Example examples[] = {
        {{1, 1}, 0, 0, {5, -32768, 32767, 0}, {5, -32768, 32767, 0}, {5, -32768, 32767, 0}},
        {{1, 1}, 0, 1, {5, 3, -3, -5, 7}, {3, 2, -2, -3, 4}, {2, 2, -2, -2, 4}},
        {{1, 0, 1, -0.5f},
         1,
         0,
         {1000, 0, 0, 0, 0},
         {1000, 500, 250, 125, 63},
         {1000, 500, 250, 125, 62}},
        {{1, 0, 1, -0.5f}, 1, 0, {1000, 0, 0, 0}, {1000, 500, 250, 125}, {1000, 500, 250, 125}},
        {{2, 1}, 0, 0, {20000, -20000}, {32767, -32768}, {32767, -32768}},
        {{32767.4f, 1}, 0, 0, {1}, {32767}, {32767}},
        {{-32768.4f, 1}, 0, 0, {1}, {-32768}, {-32768}},
        // b0/a0 overflows to infinity: 0 times it is NaN.
        {{3e38f, 1e-38f}, 0, 0, {0, 1, -1}, {-32768, 32767, -32768}, {-32768, 32767, -32768}},
        // 3e9 after scaling, on the per-sample and on the block path.
        {{1e5f, 0, 1, 0},
         1,
         0,
         {30000, -30000, 30000},
         {32767, -32768, 32767},
         {32767, -32768, 32767}},
        {{1e5f, 0, 1, 0}, 1, 0, Samples(40, 30000), Samples(40, 32767), Samples(40, 32767)},
        {{1e5f, 0, 1, 0}, 1, 0, Samples(40, -30000), Samples(40, -32768), Samples(40, -32768)},
    };
    for (const Example& e : examples) {
        SCOPED_TRACE(testing::Message() << "order " << e.order << " scale " << e.scale << " x0 "
                                        << e.x[0] << " len " << e.x.size());
        EXPECT_EQ(Run(Make(e.c, e.order), e.x, e.scale), generic ? e.generic : e.simd);
    }
    // The same saturation through a cascade, per sample (len 3) and by block.
    const Coeffs gain = {1e5f, 0, 0, 1, 0, 0};
    for (size_t len : {3u, 40u}) {
        Samples x(len), want(len);
        for (size_t i = 0; i < len; ++i) {
            x[i] = i % 2 ? -30000 : 30000;
            want[i] = i % 2 ? -32768 : 32767;
        }
        EXPECT_EQ(Run(MakeCascade(gain), x, 0), want) << len;
    }
}

TEST_P(Iir, EveryScaleIsTheExactPowerOfTwo) {
    // Unit filters on the order-0, per-sample and block paths of both forms;
    // the outputs are the library's own exact scaling of the inputs.
    const Samples x = {0, 1, -1, 2, 3, -3, 5, 32767, -32768, 12345, -20000, 0, 7, 8, 9, 10, 11};
    const Coeffs unit0 = {1, 1}, unit1 = {1, 0, 1, 0}, unitSection = {1, 0, 0, 1, 0, 0};
    std::vector<int32_t> scales = {127,  128,  200,   1000,    -20,      -127,
                                   -128, -200, -1000, 1 << 30, INT32_MIN};
    for (int32_t s = -130; s <= 130; s += 7) scales.push_back(s);
    for (int32_t scale : scales) {
        SCOPED_TRACE(scale);
        Samples want(x.size());
        for (size_t i = 0; i < x.size(); ++i) {
            const double v = x[i] * sp_internal::ExactScaleFactor(scale);
            want[i] = Variant() == sp_variant_generic ? sp_internal::RoundI16HalfAway(v)
                                                      : sp_internal::RoundI16NearestEven(v);
        }
        if (scale >= 128) {
            EXPECT_EQ(want, Samples(x.size(), 0));
        }
        for (size_t len : {size_t{3}, x.size()}) {
            const Samples head(x.begin(), x.begin() + len),
                wantHead(want.begin(), want.begin() + len);
            EXPECT_EQ(Run(Make(unit0, 0), head, scale), wantHead);
            EXPECT_EQ(Run(Make(unit1, 1), head, scale), wantHead);
            EXPECT_EQ(Run(MakeCascade(unitSection), head, scale), wantHead);
        }
    }
}

TEST_P(Iir, CreateChecksAndFailures) {
    const Coeffs c = sptest::RandomStableDirect(10, 5);
    sp_iir_state* const sentinel = reinterpret_cast<sp_iir_state*>(0x1234);
    sp_iir_state* s = sentinel;
    for (auto create : {Member<sp_entry_sp_iir_create_a>(), Member<sp_entry_sp_iir_create_b>()}) {
        EXPECT_EQ(sp_status_null_ptr, create(nullptr, c.data(), -1, nullptr));
        EXPECT_EQ(sp_status_null_ptr, create(&s, nullptr, -1, nullptr));
        EXPECT_EQ(sp_status_iir_order, create(&s, c.data(), -1, nullptr));
        // Block sizes beyond the allocator's 32-bit count are refused before a
        // tap is read; in 32-bit arithmetic the generic block of order
        // 357913942 and the SIMD block of order 97612894 wrap to a few bytes.
        const bool simd = Variant() != sp_variant_generic;
        for (int32_t order : {simd ? 97612894 : 357913942, 1 << 29, 357913942, INT32_MAX}) {
            EXPECT_EQ(sp_status_no_memory, create(&s, c.data(), order, nullptr)) << order;
        }
        EXPECT_EQ(sentinel, s);
        for (int32_t order : {0, 1, 10}) {
            SCOPED_TRACE(order);
            const uint64_t steps = zvtest::ForEachAllocationFailure([&](uint64_t k) {
                sp_iir_state* made = sentinel;
                const sp_status status = create(&made, c.data() + 10 - order, order, c.data());
                if (zvtest::GetAllocatorCounts().failures != 0) {
                    EXPECT_EQ(sp_status_no_memory, status) << "failure at allocation " << k;
                    EXPECT_EQ(sentinel, made);
                } else {
                    ASSERT_EQ(sp_status_ok, status);
                    made_.push_back(made);
                }
            });
            EXPECT_EQ(steps, 1u);
        }
    }
}

TEST_P(Iir, ZeroOrNanA0GivesAStateThatFiltersToSilence) {
    const float delay[3] = {100.0f, -50.0f, 25.0f};
    for (float a0 : {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN()}) {
        SCOPED_TRACE(a0);
        const Coeffs c = {1, 2, 3, 4, a0, 0.5f, 0.25f, 0.125f};
        sp_iir_state* s = Make(c, 3, delay, false, sp_status_divide_by_zero);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->ownsMemory, 1u);
        for (int32_t k = 0; k < 7; ++k) EXPECT_EQ(s->taps[k], 0.0f) << k;
        for (int32_t k = 0; k <= 3; ++k) EXPECT_EQ(s->delay[k], 0.0f) << k;
        if (Variant() != sp_variant_generic) {
            for (int32_t k = 0; k < 4 * 4; ++k) EXPECT_EQ(s->numerator[k], 0.0f) << k;
            for (int32_t k = 0; k < 4 * 6; ++k) EXPECT_EQ(s->lookahead[k], 0.0f) << k;
        }
        EXPECT_EQ(Run(s, Samples(5, 1000), 0), Samples(5, 0));    // per sample
        EXPECT_EQ(Run(s, Samples(50, 1000), 0), Samples(50, 0));  // by block
    }
}

TEST_P(Iir, FilterChecksInOrderAndLeavesOutputAlone) {
    const Coeffs c = {1, 0.5f, 1, 0.25f};
    sp_iir_state* a = Make(c, 1);
    sp_iir_state* b = Make(c, 1, nullptr, true);
    const Samples x(8, 100);
    Samples y(8, 7);
    auto f = Member<sp_entry_sp_iir_filter_i16_scaled>();
    auto fb = Member<sp_entry_sp_iir_filter_b_i16_scaled>();
    auto fi = Member<sp_entry_sp_iir_filter_i16_scaled_inplace>();
    EXPECT_EQ(sp_status_null_ptr, f(x.data(), y.data(), 0, nullptr, 0));
    EXPECT_EQ(sp_status_null_ptr, f(nullptr, y.data(), 0, b, 0));
    EXPECT_EQ(sp_status_null_ptr, fb(x.data(), nullptr, 0, a, 0));
    EXPECT_EQ(sp_status_null_ptr, fi(nullptr, 0, b, 0));
    EXPECT_EQ(sp_status_null_ptr, fi(y.data(), 8, nullptr, 0));
    EXPECT_EQ(sp_status_bad_size, f(x.data(), y.data(), 0, b, 0));
    EXPECT_EQ(sp_status_bad_size, fi(y.data(), -1, b, 0));
    EXPECT_EQ(sp_status_wrong_state, f(x.data(), y.data(), 8, b, 0));
    EXPECT_EQ(sp_status_wrong_state, fi(y.data(), 8, b, 0));
    EXPECT_EQ(sp_status_wrong_state, fb(x.data(), y.data(), 8, a, 0));
    // A state made by the generic set-up lacks the SIMD members' tables.
    if (Variant() != sp_variant_generic) {
        sp_iir_state* generic = nullptr;
        ASSERT_EQ(sp_status_ok, sp_iir_create_a(&generic, c.data(), 1, nullptr));
        EXPECT_EQ(sp_status_wrong_state, f(x.data(), y.data(), 8, generic, 0));
        EXPECT_EQ(sp_status_ok, sp_iir_free_a(generic));
    }
    EXPECT_EQ(y, Samples(8, 7));
    // Each family refuses the other's states in free and in set_delay_line.
    EXPECT_EQ(sp_status_wrong_state, Member<sp_entry_sp_iir_free_a>()(b));
    EXPECT_EQ(sp_status_wrong_state, Member<sp_entry_sp_iir_free_b>()(a));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_iir_free_a>()(nullptr));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_iir_free_b>()(nullptr));
    EXPECT_EQ(sp_status_wrong_state, Member<sp_entry_sp_iir_set_delay_line>()(b, nullptr));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_iir_set_delay_line>()(nullptr, nullptr));
    EXPECT_EQ(sp_status_wrong_state, Member<sp_entry_sp_iir_set_delay_line>()(
                                         MakeCascade({1, 0, 0, 1, 0, 0}, true), nullptr));
    // A cascade without sections passes nothing through.
    for (bool familyB : {false, true}) {
        sp_iir_state* none = MakeCascade({}, familyB);
        EXPECT_EQ(Run(none, Samples(3, 100), 0), Samples(3, 0));
        EXPECT_EQ(Run(none, Samples(30, 100), 0), Samples(30, 0));
    }
}

TEST_P(Iir, DelayLineLoadsAndClears) {
    // The caller's array has a value at N too: only N are taken, d[N] is 0.
    const float delay[4] = {1.5f, -2.5f, 3.5f, 99.0f};
    const Coeffs c = sptest::RandomStableDirect(3, 11);
    sp_iir_state* s = Make(c, 3, delay);
    EXPECT_EQ(Coeffs(s->delay, s->delay + 4), Coeffs({1.5f, -2.5f, 3.5f, 0.0f}));
    const Coeffs taps(s->taps, s->taps + 7);
    auto set = Member<sp_entry_sp_iir_set_delay_line>();
    const float other[4] = {-7.0f, 8.0f, 9.0f, 10.0f};
    EXPECT_EQ(sp_status_ok, set(s, other));
    EXPECT_EQ(Coeffs(s->delay, s->delay + 4), Coeffs({-7.0f, 8.0f, 9.0f, 0.0f}));
    EXPECT_EQ(sp_status_ok, set(s, nullptr));
    EXPECT_EQ(Coeffs(s->delay, s->delay + 4), Coeffs(4, 0.0f));
    EXPECT_EQ(Coeffs(s->taps, s->taps + 7), taps);
    // A null delay line at creation starts from silence; a loaded one is the
    // transposed state: order 1 with d[0] = 8 adds 8 to the first output.
    sp_iir_state* silent = Make(c, 3);
    EXPECT_EQ(Coeffs(silent->delay, silent->delay + 4), Coeffs(4, 0.0f));
    const float eight = 8.0f;
    EXPECT_EQ(Run(Make({1, 0, 1, -0.5f}, 1, &eight), {0, 0, 0}, 0), Samples({8, 4, 2}));
    // Order 0: one numerator row, b0/a0 = 0.5.
    sp_iir_state* zero = Make({2, 4}, 0);
    EXPECT_EQ(zero->taps[0], 0.5f);
    if (Variant() != sp_variant_generic) {
        EXPECT_EQ(Coeffs(zero->numerator, zero->numerator + 4), Coeffs(4, 0.5f));
    }
    EXPECT_EQ(sp_status_ok, set(zero, nullptr));
    // Free with owns-memory 0 gives nothing back.
    sp_iir_state* kept = Make(c, 3);
    kept->ownsMemory = 0;
    const uint64_t live = sptest::LiveBlocks();
    EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_iir_free_a>()(kept));
    EXPECT_EQ(live, sptest::LiveBlocks());
    kept->ownsMemory = 1;
}

TEST_P(Iir, KeepsTheFloatingPointControl) {
    const Coeffs c = sptest::RandomStableDirect(4, 3);
    const float delay[4] = {1, 2, 3, 4};
    sp_iir_state* s = nullptr;
    EXPECT_TRUE(sptest::KeepsFpControl(
        [&] { Member<sp_entry_sp_iir_create_a>()(&s, c.data(), 4, delay); }));
    ASSERT_NE(s, nullptr);
    Samples y(100);
    const Samples x = sptest::RandomI16(100, 4);
    EXPECT_TRUE(
        sptest::KeepsFpControl([&] { Member<sp_entry_sp_iir_set_delay_line>()(s, delay); }));
    for (int32_t len : {3, 100}) {
        EXPECT_TRUE(sptest::KeepsFpControl(
            [&] { Member<sp_entry_sp_iir_filter_i16_scaled>()(x.data(), y.data(), len, s, 1); }));
        EXPECT_TRUE(sptest::KeepsFpControl(
            [&] { Member<sp_entry_sp_iir_filter_i16_scaled_inplace>()(y.data(), len, s, 1); }));
    }
    EXPECT_TRUE(sptest::KeepsFpControl([&] { Member<sp_entry_sp_iir_free_a>()(s); }));
}

SP_INSTANTIATE_VARIANTS(Iir);

// ---- Members against each other and the set-up's tables
// ------------------------------------------

constexpr int32_t kSimd[3] = {sp_variant_sse, sp_variant_sse2, sp_variant_sse3};

sp_iir_state* CreateIn(int32_t variant, const Coeffs& c, int32_t order) {
    sp_iir_state* s = nullptr;
    EXPECT_EQ(sp_status_ok,
              sp_dispatch_member<sp_entry_sp_iir_create_a>(variant)(&s, c.data(), order, nullptr));
    return s;
}

TEST(IirMembers, SimdSetUpsBuildTheSameTablesAndGenericTapsWithinABit) {
    for (int32_t order = 0; order <= 10; ++order) {
        SCOPED_TRACE(order);
        Coeffs c = sptest::RandomStableDirect(order, 40 + order);
        for (float& v : c) v *= 3.0f;  // a0 = 3: 1/a0 is inexact
        sp_iir_state* sse3 = CreateIn(sp_variant_sse3, c, order);
        for (int32_t v : {sp_variant_sse, sp_variant_sse2}) {
            sp_iir_state* other = CreateIn(v, c, order);
            EXPECT_EQ(0, memcmp(other->taps, sse3->taps, (2 * order + 1) * sizeof(float)));
            EXPECT_EQ(0, memcmp(other->numerator, sse3->numerator, 16 * (order + 1)));
            if (order > 0) {
                EXPECT_EQ(0, memcmp(other->lookahead, sse3->lookahead, 16 * (order + 3)));
            }
            sp_iir_free_a(other);
        }
        sp_iir_state* generic = CreateIn(sp_variant_generic, c, order);
        for (int32_t k = 0; k < 2 * order + 1; ++k) {
            EXPECT_LE(fabsf(generic->taps[k] - sse3->taps[k]),
                      fabsf(sse3->taps[k]) * std::numeric_limits<float>::epsilon())
                << k;
        }
        sp_iir_free_a(generic);
        sp_iir_free_a(sse3);
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

// The weights of y[t-1..t-n] and w[t..t+2] in y[t..t+3], worked out by running
// the recursion y[t] = w[t] + sum pk y[t-k] on linear combinations.
std::vector<double> LookaheadByRecursion(const std::vector<double>& p, int32_t n) {
    // Combination over n past outputs then 4 numerator sums.
    std::vector<std::vector<double>> y(n + 4, std::vector<double>(n + 4, 0.0));
    for (int32_t k = 0; k < n; ++k) y[n - 1 - k][k] = 1.0;  // y[t-1-k]
    for (int32_t j = 0; j < 4; ++j) {
        std::vector<double>& out = y[n + j];
        out[n + j] = 1.0;
        for (int32_t k = 1; k <= n; ++k)
            for (int32_t i = 0; i < n + 4; ++i) out[i] += p[k] * y[n + j - k][i];
    }
    std::vector<double> rows;
    for (int32_t k = 0; k < n + 3; ++k)
        for (int32_t j = 0; j < 4; ++j) rows.push_back(y[n + j][k]);
    return rows;
}

TEST(IirMembers, LookaheadRows) {
    // Order 1, inexact p1: each power rounded to f32 in turn.
    const float p1 = -0.3f;
    const float f2 = p1 * p1, f3 = f2 * p1, f4 = f3 * p1;
    const Coeffs want1 = {p1, f2, f3, f4, 1, p1, f2, f3, 0, 1, p1, f2, 0, 0, 1, p1};
    // Orders 2, 3 and 5 with dyadic coefficients: exact in any order of
    // operations, so the rows must be the recursion's weights exactly.
    const std::vector<std::vector<double>> exact = {
        {1, -0.5, 0.25}, {1, 0.5, -0.25, 0.125}, {1, -0.5, 0.25, 0.125, -0.0625, 0.5}};
    for (int32_t v : kSimd) {
        SCOPED_TRACE(v);
        sp_iir_state* s = CreateIn(v, {1, 0, 1, 0.3f}, 1);
        EXPECT_EQ(Coeffs(s->lookahead, s->lookahead + 16), want1);
        sp_iir_free_a(s);
        for (const auto& a : exact) {
            const int32_t n = static_cast<int32_t>(a.size()) - 1;
            Coeffs c(n + 1, 0.0f);
            c[0] = 1;
            std::vector<double> p(n + 1);
            for (int32_t k = 0; k <= n; ++k) {
                c.push_back(static_cast<float>(a[k]));
                p[k] = -a[k];
            }
            s = CreateIn(v, c, n);
            const std::vector<double> want = LookaheadByRecursion(p, n);
            EXPECT_EQ(std::vector<double>(s->lookahead, s->lookahead + 4 * (n + 3)), want) << n;
            sp_iir_free_a(s);
        }
    }
}

TEST(IirMembers, Sse2IsSse3AndSseDiffersOnlyWhereItGroupsDifferently) {
    for (const Shape& shape : sptest::IirTestShapes()) {
        if (shape.order == 0) continue;
        SCOPED_TRACE(testing::Message() << shape.order << "/" << shape.sections);
        IirReference ref = sptest::IirReferenceOf(shape, 90 + shape.order);
        const Samples x = sptest::IirTestSignal(ref, 2500, 0, 91);
        Samples out[4];
        for (int32_t v : kSimd) {
            sp_iir_state* s = nullptr;
            if (shape.sections > 0) {
                const Coeffs sec = sptest::RandomStableSections(shape.sections, 90 + shape.order);
                ASSERT_EQ(sp_status_ok, sptest::BuildIirCascade(v, kIirKindCascadeA, sec.data(),
                                                                shape.sections, nullptr, &s));
            } else {
                s = CreateIn(v, sptest::RandomStableDirect(shape.order, 90 + shape.order),
                             shape.order);
            }
            out[v].resize(x.size());
            for (size_t at = 0; at < x.size(); at += 700) {
                const int32_t n = static_cast<int32_t>(std::min<size_t>(700, x.size() - at));
                sp_dispatch_member<sp_entry_sp_iir_filter_i16_scaled>(v)(
                    x.data() + at, out[v].data() + at, n, s, 0);
            }
            sp_iir_free_a(s);
        }
        EXPECT_EQ(out[sp_variant_sse2], out[sp_variant_sse3]);
        const bool regrouped = shape.sections == 0 && shape.order >= 5 && shape.order % 4 == 1;
        if (!regrouped) {
            EXPECT_EQ(out[sp_variant_sse], out[sp_variant_sse3]);
        } else {
            // One chunk: the unscaled outputs left in work buffer 2 first
            // differ in the fourth output of a step, y[n + 4q + 3].
            const Coeffs c = sptest::RandomStableDirect(shape.order, 90 + shape.order);
            sp_iir_state* sse = CreateIn(sp_variant_sse, c, shape.order);
            sp_iir_state* sse3 = CreateIn(sp_variant_sse3, c, shape.order);
            Samples y(1000);
            sp_iir_filter_i16_scaled_sse(x.data(), y.data(), 1000, sse, 0);
            sp_iir_filter_i16_scaled_sse3(x.data(), y.data(), 1000, sse3, 0);
            int32_t first = 0;
            while (first < 1000 && sse->work2[first] == sse3->work2[first]) ++first;
            EXPECT_LT(first, 1000) << "no difference to look at";
            EXPECT_EQ((first - shape.order) % 4, 3) << first;
            sp_iir_free_a(sse);
            sp_iir_free_a(sse3);
        }
        for (size_t i = 0; i < x.size(); ++i)
            ASSERT_LE(abs(out[sp_variant_sse][i] - out[sp_variant_sse3][i]), 1) << i;
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

}  // namespace
