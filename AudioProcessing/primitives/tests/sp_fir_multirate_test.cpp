// The multirate path of the FIR filter in every member: states from the test
// builder in the member's tap arrangement against a double-precision
// polyphase reference, streams cut into calls, the long-call path that reads
// the caller's block directly, the bound of the tails, the rounding and
// saturation of main kernels and tails, and the scale rule.
#include <math.h>
#include <string.h>

#include <random>
#include <vector>

#include "sp_dispatch.h"
#include "sp_fir_internal.h"
#include "sp_fir_multirate_builder.h"
#include "sp_test_support.h"

namespace {

using sptest::MultirateSpec;
using sptest::Samples;

constexpr int32_t kFactorStep = sptest::CaseStep(1, 2);

class MultirateFir : public sptest::VariantTest {
protected:
    void TearDown() override {
        for (sp_fir_state* s : made_) EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_fir_free>()(s));
        made_.clear();
        EXPECT_EQ(sptest::LiveBlocks(), 0u);
    }
    sp_fir_state* Make(MultirateSpec spec) {
        spec.simd = Variant() != sp_variant_generic;
        sp_fir_state* s = sptest::BuildMultirateFir(spec);
        EXPECT_NE(s, nullptr);
        if (s != nullptr) made_.push_back(s);
        return s;
    }
    // Runs x through the state in calls of the given iteration counts (the
    // rest in one last call) and returns all outputs.
    Samples Run(sp_fir_state* s, const MultirateSpec& spec, const Samples& x,
                const std::vector<int32_t>& calls, int32_t scale, const int16_t* source = nullptr) {
        Samples y;
        size_t at = 0;
        for (int32_t n : calls) {
            Samples out(static_cast<size_t>(n) * spec.up, 0x5A5A);
            EXPECT_EQ(sp_status_ok,
                      Member<sp_entry_sp_fir_filter_i16_scaled>()(
                          (source != nullptr ? source : x.data()) + at, out.data(), n, s, scale));
            y.insert(y.end(), out.begin(), out.end());
            at += static_cast<size_t>(n) * spec.down;
        }
        return y;
    }

private:
    std::vector<sp_fir_state*> made_;
};

std::vector<double> RandomTaps(size_t n, uint32_t seed, double limit) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> dist(-limit, limit);
    std::vector<double> t(n);
    for (double& v : t) v = dist(rng);
    return t;
}

void ExpectWithinOne(const Samples& got, const Samples& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_LE(abs(got[i] - want[i]), 1)
            << "output " << i << ": " << got[i] << " against " << want[i];
}

// Every mode, factor pair and taps-per-output count, one stream cut into
// calls of 1, 3, 4, 5 and 17 iterations and one long call beyond the input
// threshold, each case at one of the scales.
TEST_P(MultirateFir, StreamsMatchThePolyphaseReference) {
    const int32_t scales[] = {-3, 0, 3, 126, 127, 128, -128, 1000};
    int32_t index = 0;
    for (int32_t mode = 1; mode <= 3; ++mode) {
        for (int32_t up = 1; up <= (mode == 2 ? 1 : 5); up += kFactorStep) {
            for (int32_t down = 1; down <= 5; down += kFactorStep) {
                for (int32_t perOutput : {1, 2, 3, 4, 5, 9}) {
                    MultirateSpec spec;
                    spec.mode = mode;
                    spec.up = up;
                    spec.down = down;
                    spec.taps = RandomTaps(static_cast<size_t>(perOutput * up - (index % up)),
                                           static_cast<uint32_t>(index), 1.5 / perOutput);
                    const int32_t scale = scales[index % 8];
                    // Most cases at small scales, so that few outputs saturate.
                    const int32_t use = index % 3 == 0 ? scale : (index % 3 == 1 ? 0 : 2);
                    ++index;
                    SCOPED_TRACE(testing::Message()
                                 << "mode " << mode << " U " << up << " D " << down << " taps "
                                 << spec.taps.size() << " scale " << use);
                    sp_fir_state* s = Make(spec);
                    ASSERT_NE(s, nullptr);
                    const int32_t longCall = static_cast<int32_t>(s->input_threshold / down) + 9;
                    const std::vector<int32_t> calls = {1, 3, 4, 5, 17, longCall, 2};
                    int32_t total = 0;
                    for (int32_t n : calls) total += n;
                    const Samples x =
                        sptest::RandomI16(static_cast<size_t>(total) * down, 7 + index);
                    const Samples want =
                        sptest::PolyphaseReference(spec, {}, x, use, sptest::Rounding::HalfAway);
                    ExpectWithinOne(Run(s, spec, x, calls, use), want);
                }
            }
        }
    }
}

// The long call reads the caller's block in its own numbering: a block right
// behind a guard page is never read in front of its first sample, and the
// history loaded through the delay line enters the first outputs.
TEST_P(MultirateFir, LongCallsReadNothingInFrontOfTheSource) {
    for (int32_t mode = 1; mode <= 3; ++mode) {
        MultirateSpec spec;
        spec.mode = mode;
        spec.up = mode == 2 ? 1 : 3;
        spec.down = 2;
        spec.taps = RandomTaps(mode == 2 ? 7 : 20, 40 + mode, 0.3);
        SCOPED_TRACE(mode);
        sp_fir_state* s = Make(spec);
        ASSERT_NE(s, nullptr);
        const int32_t h = sptest::MultirateHistory(spec);
        Samples history = sptest::RandomI16(static_cast<size_t>(h), 3);
        Samples line(history.rbegin(), history.rend());  // newest first
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_fir_set_delay_line>()(s, line.data()));
        const int32_t n = static_cast<int32_t>(s->input_threshold / spec.down) + 40;
        const Samples x = sptest::RandomI16(static_cast<size_t>(n) * spec.down, 11);
        sptest::GuardedBuffer src = sptest::GuardedBuffer::AtFront(2 * x.size(), 0);
        memcpy(src.Data(), x.data(), 2 * x.size());
        const Samples want =
            sptest::PolyphaseReference(spec, history, x, 0, sptest::Rounding::HalfAway);
        ExpectWithinOne(Run(s, spec, x, {n}, 0, src.As<int16_t>()), want);
    }
}

// Windows that reach past history + input (a look-ahead state, all outputs
// in the bounded tails) stop at the bound: the reference reads zeros there.
TEST_P(MultirateFir, BoundedTailsStopAtTheEndOfTheInput) {
    for (int32_t mode : {1, 3}) {
        for (int32_t n : {1, 2, 3}) {
            MultirateSpec spec;
            spec.mode = mode;
            spec.up = 2;
            spec.down = 1;
            spec.lookahead = 3;
            spec.extraThreshold = 8;
            spec.taps = RandomTaps(12, 70 + n, 0.4);
            SCOPED_TRACE(testing::Message() << "mode " << mode << " n " << n);
            sp_fir_state* s = Make(spec);
            ASSERT_NE(s, nullptr);
            // Stale samples behind the input must not count.
            for (intptr_t i = 0; i < s->history_len + s->input_threshold; ++i)
                s->history[i] = 30000;
            ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_fir_set_delay_line>()(s, nullptr));
            const Samples x = sptest::RandomI16(static_cast<size_t>(n), 5);
            const Samples want =
                sptest::PolyphaseReference(spec, {}, x, 0, sptest::Rounding::HalfAway);
            ExpectWithinOne(Run(s, spec, x, {n}, 0), want);
        }
    }
}

// A one-tap strided state whose call of five outputs puts four through the
// main kernel and the fifth through the tail: the generic members round
// halves away from zero everywhere, the SIMD main kernels to nearest even.
TEST_P(MultirateFir, RoundingAndSaturationOfMainKernelsAndTails) {
    const bool simd = Variant() != sp_variant_generic;
    struct Case {
        int16_t x;
        float tap;
        int32_t scale;
        int16_t main, mainSimd, tail;
    };
    const float nan = std::nanf("");
    const Case cases[] = {
        {5, 1.0f, 1, 3, 2, 3},
        {7, 1.0f, 1, 4, 4, 4},
        {-5, 1.0f, 1, -3, -2, -3},
        {32767, 1.0000122f, 0, 32767, 32767, 32767},
        {20000, 2.0f, 0, 32767, 32767, 32767},
        {30000, 1e5f, 0, 32767, 32767, 32767},
        {-20000, 2.0f, 0, -32768, -32768, -32768},
        {100, nan, 0, -32768, -32768, -32768},
        {30000, 1.0f, 128, 0, 0, 0},
        {30000, 1.0f, 127, 0, 0, 0},
        {1, 1.0f, -128, 32767, 32767, 32767},
        {-1, 1.0f, -128, -32768, -32768, -32768},
        {3, 1.0f, -1000, 32767, 32767, 32767},
        {30000, 1.0f, 1000, 0, 0, 0},
        {24576, 1.0f, 14, 2, 2, 2},
        {-12288, 1.0f, 13, -2, -2, -2},
    };
    MultirateSpec spec;
    spec.mode = 2;
    spec.taps = {1.0};
    spec.extraThreshold = 16;
    sp_fir_state* s = Make(spec);
    ASSERT_NE(s, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << " * " << c.tap << " at scale " << c.scale);
        for (int32_t j = 0; j < 4; ++j) s->arranged_taps[j] = c.tap;
        const Samples x(5, c.x);
        Samples y(5);
        ASSERT_EQ(sp_status_ok,
                  Member<sp_entry_sp_fir_filter_i16_scaled>()(x.data(), y.data(), 5, s, c.scale));
        for (int32_t i = 0; i < 4; ++i)
            EXPECT_EQ(y[i], simd ? c.mainSimd : c.main) << "output " << i;
        EXPECT_EQ(y[4], c.tail);
    }
}

TEST_P(MultirateFir, ModesOtherThanOneToThreeAreRefused) {
    MultirateSpec spec;
    spec.taps = {0.5, 0.25};
    sp_fir_state* s = Make(spec);
    ASSERT_NE(s, nullptr);
    const Samples x(4, 100);
    for (intptr_t mode : {0, 4, -1}) {
        s->mode = mode;
        Samples y(4, 77);
        EXPECT_EQ(sp_status_wrong_state,
                  Member<sp_entry_sp_fir_filter_i16_scaled>()(x.data(), y.data(), 4, s, 0));
        EXPECT_EQ(y, Samples(4, 77));
    }
    s->mode = 3;
    Samples y(4);
    EXPECT_TRUE(sptest::KeepsFpControl(
        [&] { Member<sp_entry_sp_fir_filter_i16_scaled>()(x.data(), y.data(), 4, s, 1); }));
}

SP_INSTANTIATE_VARIANTS(MultirateFir);

// The SIMD main kernels of one mode are the same code in SSE, SSE2 and SSE3:
// bit for bit at every scale; a count of 0 writes nothing and hands the base
// back.
TEST(MultirateKernels, SimdMainKernelsAgreeAtEveryScale) {
    const Samples x = sptest::RandomI16(400, 17);
    std::vector<float> taps(64);
    std::mt19937 rng(3);
    for (float& t : taps) t = std::uniform_real_distribution<float>(-2.0f, 2.0f)(rng);
    const int32_t table[5] = {1, 3, 4, 6, 5};
    for (int32_t len : {1, 3, 4, 6, 9}) {
        for (int32_t scale = -130; scale <= 130; scale += 1) {
            SCOPED_TRACE(testing::Message() << "len " << len << " scale " << scale);
            Samples a(16), b(16), c(16);
            EXPECT_EQ(sp_fir_resample_kernel_i16_sse(taps.data(), x.data(), a.data(), 16, table,
                                                     table + 4, 2, len, scale),
                      sp_fir_resample_kernel_i16_sse3(taps.data(), x.data(), b.data(), 16, table,
                                                      table + 4, 2, len, scale));
            sp_fir_resample_kernel_i16_sse2(taps.data(), x.data(), c.data(), 16, table, table + 4,
                                            2, len, scale);
            EXPECT_EQ(a, b);
            EXPECT_EQ(a, c);
            sp_fir_decimate_kernel_i16_sse(taps.data(), x.data(), a.data(), 16, 5, len, 3, scale);
            sp_fir_decimate_kernel_i16_sse3(taps.data(), x.data(), b.data(), 16, 5, len, 3, scale);
            EXPECT_EQ(a, b);
            sp_fir_interpolate_kernel_i16_sse(taps.data(), x.data(), a.data(), 4, table, table + 1,
                                              2, len, scale);
            sp_fir_interpolate_kernel_i16_sse3(taps.data(), x.data(), b.data(), 4, table, table + 1,
                                               2, len, scale);
            EXPECT_EQ(a, b);
        }
    }
    Samples untouched(4, 77);
    EXPECT_EQ(sp_fir_resample_kernel_i16_sse3(taps.data(), x.data(), untouched.data(), 0, table,
                                              table + 4, 9, 4, 0),
              9);
    EXPECT_EQ(sp_fir_interpolate_kernel_i16_sse(taps.data(), x.data(), untouched.data(), 0, table,
                                                table + 1, 9, 4, 0),
              9);
    EXPECT_EQ(sp_fir_mr_kernel_strided(taps.data(), x.data(), untouched.data(), 0, 9, 4, 2, 0), 9);
    EXPECT_EQ(untouched, Samples(4, 77));
}

// The SIMD main kernels' order of summation, seen through cancellation: with
// products 2^25, 3, -2^25, 0, 1, 0 the four-lane sum of modes 2 and 3 loses
// the 1 (lane 0 holds 2^25 + 1) and keeps the 3: 3, where a sequential float
// sum gives 5 and the generic double sum 4.  Mode 1 adds 2^25, -2^25, 3 one
// after another: 3, where 2^25 + (-2^25 + 3) would give 4.
TEST(MultirateKernels, SimdSumsFollowTheirLaneOrder) {
    const Samples x = {16384, 3, -16384, 0, 1, 0};
    const float set[6] = {2048, 1, 2048, 0, 1, 0};
    std::vector<float> simd(24), generic(24);
    for (int32_t o = 0; o < 4; ++o)
        for (int32_t k = 0; k < 6; ++k) {
            simd[6 * o + k] = set[k];
            generic[4 * k + o] = set[k];
        }
    const int32_t table[5] = {0, 0, 0, 0, 0};
    using Kernel = intptr_t (*)(const float*, const int16_t*, int16_t*, int32_t, const int32_t*,
                                const int32_t*, intptr_t, int32_t, int32_t);
    using Strided = intptr_t (*)(const float*, const int16_t*, int16_t*, int32_t, intptr_t, int32_t,
                                 intptr_t, int32_t);
    const Kernel general[4] = {sp_fir_mr_kernel_general, sp_fir_resample_kernel_i16_sse,
                               sp_fir_resample_kernel_i16_sse2, sp_fir_resample_kernel_i16_sse3};
    const Strided strided[4] = {sp_fir_mr_kernel_strided, sp_fir_decimate_kernel_i16_sse,
                                sp_fir_decimate_kernel_i16_sse2, sp_fir_decimate_kernel_i16_sse3};
    const Kernel grouped[4] = {sp_fir_mr_kernel_grouped, sp_fir_interpolate_kernel_i16_sse,
                               sp_fir_interpolate_kernel_i16_sse2,
                               sp_fir_interpolate_kernel_i16_sse3};
    const Samples window3 = {16384, -16384, 3};
    const float interleaved[12] = {2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 1, 1, 1, 1};
    sptest::ForEachVariant([&](int32_t v) {
        const float* taps = v == sp_variant_generic ? generic.data() : simd.data();
        Samples y(4);
        general[v](taps, x.data(), y.data(), 4, table, table + 4, 0, 6, 0);
        EXPECT_EQ(y, Samples(4, v == sp_variant_generic ? 4 : 3));
        strided[v](taps, x.data(), y.data(), 4, 0, 6, 0, 0);
        EXPECT_EQ(y, Samples(4, v == sp_variant_generic ? 4 : 3));
        grouped[v](interleaved, window3.data(), y.data(), 4, table, table + 1, 0, 3, 0);
        EXPECT_EQ(y, Samples(4, 3));
    });
}

}  // namespace
