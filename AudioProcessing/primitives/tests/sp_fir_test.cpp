// FIR filters in every member: against a double-precision FIR with history, the
// members against each other, the transforms against a direct DFT, the set-up's
// layout, the statuses and injected allocation failures.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

#include "TestAllocator.h"
#include "sp_dispatch.h"
#include "sp_fft_simd.h"
#include "sp_fir_internal.h"
#include "sp_fir_reference.h"
#include "sp_rfft.h"
#include "sp_test_support.h"

namespace {

using sptest::FirReference;
using sptest::GuardedBuffer;
using Taps = std::vector<float>;
using Samples = std::vector<int16_t>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kShrink = true;
#else
constexpr bool kShrink = false;
#endif

// The internal routines of each variant, indexed by sp_variant.
struct FirInternals {
    void (*kernelF32)(const float*, const float*, float*, int32_t, int32_t);
    void (*kernelI16)(const float*, const int16_t*, float*, int32_t, int32_t);
    sp_status (*mul)(const float*, float*, int32_t);
    sp_status (*specInit)(sp_rfft_spec**, int32_t, int32_t, int32_t);
    sp_status (*forwardPerm)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    sp_status (*inversePerm)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    sp_status (*forward)(const float*, float*, const sp_rfft_spec*, uint8_t*);
};
const FirInternals kInternals[4] = {
    {sp_fir_direct_kernel_f32, sp_fir_direct_kernel_i16, sp_fir_spectrum_mul_f32, sp_rfft_spec_init,
     sp_rfft_forward_perm, sp_rfft_inverse_perm, sp_rfft_forward},
    {sp_fir_direct_kernel_f32_sse, sp_fir_direct_kernel_i16_sse, sp_fir_spectrum_mul_f32_sse,
     sp_rfft_spec_init_sse, sp_rfft_forward_perm_sse, sp_rfft_inverse_perm_sse,
     sp_rfft_forward_sse},
    {sp_fir_direct_kernel_f32_sse2, sp_fir_direct_kernel_i16_sse2, sp_fir_spectrum_mul_f32_sse2,
     sp_rfft_spec_init_sse2, sp_rfft_forward_perm_sse2, sp_rfft_inverse_perm_sse2,
     sp_rfft_forward_sse2},
    {sp_fir_direct_kernel_f32_sse3, sp_fir_direct_kernel_i16_sse3, sp_fir_spectrum_mul_f32_sse3,
     sp_rfft_spec_init_sse3, sp_rfft_forward_perm_sse3, sp_rfft_inverse_perm_sse3,
     sp_rfft_forward_sse3},
};

Taps RandomTaps(int32_t len, uint32_t seed, float limit = 1.0f, bool integer = false) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-limit, limit);
    Taps t(static_cast<size_t>(len));
    for (float& v : t) v = integer ? nearbyintf(dist(rng)) : dist(rng);
    return t;
}
Samples RandomSamples(size_t n, uint32_t seed, int32_t limit) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> dist(-limit, limit);
    Samples s(n);
    for (int16_t& v : s) v = static_cast<int16_t>(dist(rng));
    return s;
}

class Fir : public sptest::VariantTest {
protected:
    void TearDown() override {
        for (sp_fir_state* s : made_) EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_fir_free>()(s));
        made_.clear();
        EXPECT_EQ(sptest::LiveBlocks(), 0u);
    }
    const FirInternals& In() const { return kInternals[Variant()]; }
    sp_fir_state* Make(const Taps& taps, const Samples& delay = {}) {
        sp_fir_state* s = nullptr;
        EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_fir_create>()(
                                    &s, taps.data(), static_cast<int32_t>(taps.size()),
                                    delay.empty() ? nullptr : delay.data()));
        if (s != nullptr) made_.push_back(s);
        return s;
    }
    Samples Filter(sp_fir_state* s, const Samples& x, int32_t scale) {
        Samples y(x.size(), 0x5a5a);
        EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_fir_filter_i16_scaled>()(
                                    x.data(), y.data(), static_cast<int32_t>(x.size()), s, scale));
        return y;
    }
    std::vector<sp_fir_state*> made_;
};

::testing::AssertionResult WithinOne(const Samples& got, const Samples& want) {
    for (size_t i = 0; i < want.size(); ++i)
        if (abs(got[i] - want[i]) > 1)
            return ::testing::AssertionFailure()
                   << "output " << i << ": " << got[i] << " against " << want[i];
    return ::testing::AssertionSuccess();
}

TEST_P(Fir, FollowsTheDoublePrecisionFilterOverEveryPathAndScale) {
    uint32_t seed = 1;
    for (int32_t len : {1, 2, 3, 4, 5, 8, 9, 63, 64, 100, 128, 300}) {
        const Taps taps = RandomTaps(len, seed++);
        const Samples delay = RandomSamples(static_cast<size_t>(len), seed++, 32767);
        const int32_t head = ((len + 3) & ~3) + 1;
        std::vector<int32_t> calls = {1, head, head + 1, 511, 512, 2048};
        if (!kShrink) calls.insert(calls.end(), {2049, 5000});
        if (len >= kFirFftMinTaps) {
            int32_t n = 4;
            while (n <= len) n *= 2;
            calls.push_back(4 * n / 2 - len + 1);
            calls.push_back(4 * n / 2 - len + 2);
        }
        for (int32_t n : calls)
            for (int32_t scale : {-2, 0, 3}) {
                SCOPED_TRACE(::testing::Message()
                             << len << " taps, " << n << " samples, scale " << scale);
                const Samples x = RandomSamples(static_cast<size_t>(n), seed++, 32767);
                FirReference ref(taps, delay);
                EXPECT_TRUE(WithinOne(Filter(Make(taps, delay), x, scale), ref.Run(x, scale)));
            }
    }
}

TEST_P(Fir, SmallIntegerTapsAreExactOnTheDirectPath) {
    // |tap| <= 4 and |x| <= 1024: every partial sum is an integer below 2^24.
    for (int32_t len : {1, 3, 4, 5, 9, 63, 100, 300})
        for (int32_t n : {1, 7, 299, 511, 2100}) {
            if (n >= 512 && len >= kFirFftMinTaps) continue;
            SCOPED_TRACE(::testing::Message() << len << " taps, " << n << " samples");
            const Taps taps = RandomTaps(len, 7u * len + n, 4.0f, true);
            const Samples delay = RandomSamples(static_cast<size_t>(len), 11u + n, 1024);
            const Samples x = RandomSamples(static_cast<size_t>(n), 3u * n, 1024);
            FirReference ref(taps, delay);
            EXPECT_EQ(Filter(Make(taps, delay), x, -1), ref.Run(x, -1));
        }
}

TEST_P(Fir, IdentityFilterPassesTheInputExactlyThroughFftBlocks) {
    Taps taps(64, 0.0f);
    taps[0] = 1.0f;
    sp_fir_state* s = Make(taps);
    for (int32_t n : {512, 193, 1000, 4096}) {
        const Samples x = RandomSamples(static_cast<size_t>(n), static_cast<uint32_t>(n), 32767);
        EXPECT_EQ(Filter(s, x, 0), x) << n;
    }
    // Ties to even on the direct path: 1 and 3 scaled by 1/2 give 0 and 2.
    for (int32_t n : {4, 300}) {
        Samples x(static_cast<size_t>(n), 1);
        for (size_t i = 1; i < x.size(); i += 2) x[i] = 3;
        const Samples y = Filter(Make(taps), x, 1);
        for (size_t i = 0; i < y.size(); ++i) ASSERT_EQ(y[i], (i & 1) ? 2 : 0) << n << " " << i;
    }
}

TEST_P(Fir, StreamCutIntoRandomCallsFollowsTheReference) {
    std::mt19937 rng(5);
    for (int32_t len : {9, 100, 300}) {
        SCOPED_TRACE(len);
        const Taps taps = RandomTaps(len, 40u + len);
        FirReference ref(taps, {});
        sp_fir_state* s = Make(taps);
        std::uniform_int_distribution<int32_t> size(1, 3000);
        for (int call = 0; call < (kShrink ? 8 : 30); ++call) {
            const Samples x = RandomSamples(static_cast<size_t>(size(rng)), rng(), 20000);
            ASSERT_TRUE(WithinOne(Filter(s, x, 2), ref.Run(x, 2))) << "call " << call;
        }
        // Calls shorter than the taps move the history within its own buffer.
        for (int32_t n : {1, 7, len - 1, 1, 7}) {
            const Samples x = RandomSamples(static_cast<size_t>(n), rng(), 20000);
            ASSERT_TRUE(WithinOne(Filter(s, x, 2), ref.Run(x, 2))) << n;
        }
    }
}

TEST_P(Fir, SetDelayLineMatchesAFreshStateBitForBit) {
    for (int32_t len : {5, 300}) {
        const Taps taps = RandomTaps(len, 9u + len);
        const Samples delay = RandomSamples(static_cast<size_t>(len), 3, 30000);
        sp_fir_state* used = Make(taps);
        Filter(used, RandomSamples(777, 4, 30000), 0);
        for (int32_t n : {100, 600}) {
            const Samples x = RandomSamples(static_cast<size_t>(n), 5, 30000);
            ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_fir_set_delay_line>()(used, delay.data()));
            EXPECT_EQ(Filter(used, x, 1), Filter(Make(taps, delay), x, 1)) << len << " " << n;
            ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_fir_set_delay_line>()(used, nullptr));
            EXPECT_EQ(Filter(used, x, 1), Filter(Make(taps), x, 1)) << len << " " << n;
        }
    }
}

TEST_P(Fir, TransformsMatchTheDirectDft) {
    const FirInternals& f = In();
    for (int32_t order = 0; order <= 12; ++order) {
        SCOPED_TRACE(order);
        const int32_t n = 1 << order;
        sp_rfft_spec* spec = nullptr;
        ASSERT_EQ(sp_status_ok, f.specInit(&spec, order, sp_rfft_scale_inverse, 0));
        std::vector<float> x(static_cast<size_t>(n)), y(x.size()), back(x.size());
        std::mt19937 rng(static_cast<uint32_t>(order));
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        double sum = 0.0;
        for (float& v : x) sum += fabs(v = dist(rng));
        ASSERT_EQ(sp_status_ok, f.forwardPerm(x.data(), y.data(), spec, nullptr));
        const std::vector<double> want = sptest::DftPerm(x.data(), order);
        // c = 4 over log2(N) stages of single-precision rounding.
        const double bound = 4.0 * (order > 0 ? order : 1) * ldexp(1.0, -24) * sum;
        for (int32_t i = 0; i < n; ++i) ASSERT_NEAR(y[i], want[i], bound) << i;
        if (order == 1) {
            EXPECT_EQ(y[0], x[0] + x[1]);
            EXPECT_EQ(y[1], x[0] - x[1]);
        }
        ASSERT_EQ(sp_status_ok, f.inversePerm(y.data(), back.data(), spec, nullptr));
        for (int32_t i = 0; i < n; ++i) ASSERT_NEAR(back[i], x[i], 1e-5 * (order + 1)) << i;
        sp_rfft_spec_free(spec);
    }
}

TEST_P(Fir, ForwardTransformIsThePermResultWithElementOneLast) {
    const FirInternals& f = In();
    for (int32_t order = 0; order <= (kShrink ? 14 : 16); ++order) {
        SCOPED_TRACE(order);
        const size_t n = size_t{1} << order;
        sp_rfft_spec* spec = nullptr;
        ASSERT_EQ(sp_status_ok, f.specInit(&spec, order, sp_rfft_scale_inverse, 0));
        std::vector<float> x(n), perm(n), plain(n);
        std::mt19937 rng(static_cast<uint32_t>(order) + 100);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        for (float& v : x) v = dist(rng);
        ASSERT_EQ(sp_status_ok, f.forwardPerm(x.data(), perm.data(), spec, nullptr));
        ASSERT_EQ(sp_status_ok, f.forward(x.data(), plain.data(), spec, nullptr));
        if (n > 1) std::rotate(perm.begin() + 1, perm.begin() + 2, perm.end());
        EXPECT_EQ(0, memcmp(perm.data(), plain.data(), n * sizeof(float)));
        sp_rfft_spec_free(spec);
    }
}

// Naive sum of the kernels' function, y[n] = sum over j of h[L-1-j] * w[n+j].
double NaiveOutput(const Taps& h, const float* w, int32_t n) {
    const int32_t len = static_cast<int32_t>(h.size());
    double acc = 0.0;
    for (int32_t j = 0; j < len; ++j) acc += static_cast<double>(h[len - 1 - j]) * w[n + j];
    return acc;
}

TEST_P(Fir, DirectKernelsFollowTheNaiveSumAtEveryAlignment) {
    const FirInternals& f = In();
    const bool simd = Variant() != sp_variant_generic;
    for (int32_t len = 1; len <= 9; ++len) {
        const Taps h = RandomTaps(len, 60u + len);
        sp_fir_state* s = Make(h);
        const float* taps = simd ? s->taps_x4 : s->taps_rev;
        for (int32_t count = 1; count <= 40; count += (kShrink ? 3 : 1))
            for (size_t srcOffset : {0, 4, 8, 12, 2})
                for (size_t dstOffset : {0, 4, 8, 12, 2}) {
                    const size_t window = static_cast<size_t>(count + len - 1);
                    GuardedBuffer wf = GuardedBuffer::AtEnd(window * 4 + srcOffset);
                    GuardedBuffer wi = GuardedBuffer::AtEnd(window * 2 + srcOffset);
                    GuardedBuffer out =
                        GuardedBuffer::AtEnd(static_cast<size_t>(count) * 4 + dstOffset);
                    GuardedBuffer outI =
                        GuardedBuffer::AtEnd(static_cast<size_t>(count) * 4 + dstOffset);
                    // Offsets off the 4-byte grid: the arrays are reached through memcpy.
                    unsigned char* wBytes = wf.Data() + srcOffset;
                    int16_t* wi16 = reinterpret_cast<int16_t*>(wi.Data() + srcOffset);
                    const Samples x = RandomSamples(window, 1000u * len + count, 32767);
                    std::vector<float> w(x.begin(), x.end());
                    if (len == 2) w[0] = -32768.0f;
                    memcpy(wi16, x.data(), window * 2);
                    if (len == 2) wi16[0] = -32768;
                    memcpy(wBytes, w.data(), window * 4);
                    unsigned char* y = out.Data() + dstOffset;
                    unsigned char* yi = outI.Data() + dstOffset;
                    f.kernelF32(taps, reinterpret_cast<const float*>(wBytes),
                                reinterpret_cast<float*>(y), count, len);
                    f.kernelI16(taps, wi16, reinterpret_cast<float*>(yi), count, len);
                    ASSERT_EQ(0, memcmp(y, yi, static_cast<size_t>(count) * 4))
                        << len << " " << count << " " << srcOffset << " " << dstOffset;
                    std::vector<float> got(static_cast<size_t>(count));
                    memcpy(got.data(), y, got.size() * 4);
                    for (int32_t n = 0; n < count; ++n) {
                        double magnitude = 0.0;
                        for (int32_t j = 0; j < len; ++j)
                            magnitude += fabs(h[len - 1 - j] * w[n + j]);
                        ASSERT_NEAR(got[n], NaiveOutput(h, w.data(), n),
                                    magnitude * len * ldexp(1.0, -23))
                            << len << " " << count << " " << n;
                    }
                }
    }
}

TEST(FirKernels, SseOrderOfSummationIsReproducedExactly) {
    // L = 5, taps 1: the products are the window, so the order of the additions
    // shows in the results.
    const Taps h(5, 1.0f);
    sp_fir_state* s = nullptr;
    ASSERT_EQ(sp_status_ok, sp_fir_create_sse(&s, h.data(), 5, nullptr));
    // 1e8 + 3 + 3 loses both 3s one at a time and keeps their sum (a step of 8).
    alignas(16) float w[16];
    for (int32_t i = 0; i < 16; ++i)
        w[i] = i % 5 == 0 ? 1e8f : (i % 5 == 2 || i % 5 == 3) ? 3.0f : 0.0f;
    const auto sequential = [&](int32_t n) {
        return (((w[n] + w[n + 1]) + w[n + 2]) + w[n + 3]) + w[n + 4];
    };
    const auto grouped = [&](int32_t n) {
        return (0.0f + ((w[n] + w[n + 1]) + (w[n + 3] + w[n + 2]))) + w[n + 4];
    };
    alignas(16) float out[12];
    // 16-aligned: outputs 0-3 grouped, 4-6 sequential.
    sp_fir_direct_kernel_f32_sse(s->taps_x4, w, out, 7, 5);
    for (int32_t n = 0; n < 7; ++n) EXPECT_EQ(out[n], n < 4 ? grouped(n) : sequential(n)) << n;
    // 4 bytes past a boundary: three sequential head outputs, then a group.
    sp_fir_direct_kernel_f32_sse(s->taps_x4, w, out + 1, 7, 5);
    for (int32_t n = 0; n < 7; ++n)
        EXPECT_EQ(out[n + 1], (n < 3 || n >= 7) ? sequential(n) : grouped(n)) << n;
    // Not 4-byte aligned: no head.
    alignas(16) unsigned char raw[64];
    float* odd = reinterpret_cast<float*>(raw + 2);
    sp_fir_direct_kernel_f32_sse(s->taps_x4, w, odd, 7, 5);
    for (int32_t n = 0; n < 7; ++n) {
        float v;
        memcpy(&v, raw + 2 + 4 * n, 4);
        EXPECT_EQ(v, n < 4 ? grouped(n) : sequential(n)) << n;
    }
    EXPECT_NE(grouped(0), sequential(0));
    EXPECT_EQ(sp_status_ok, sp_fir_free_sse(s));
}

TEST(FirKernels, Sse2KernelsAreTheSse3KernelsBitForBit) {
    if (!sptest::VariantRunsHere(sp_variant_sse3)) GTEST_SKIP();
    for (int32_t len : {1, 2, 3, 4, 5, 7, 8, 13, 64}) {
        const Taps h = RandomTaps(len, 90u + len);
        sp_fir_state* s = nullptr;
        ASSERT_EQ(sp_status_ok, sp_fir_create_sse2(&s, h.data(), len, nullptr));
        const Samples x = RandomSamples(210, 9, 32767);  // 3 + 140 + 63 at most
        std::vector<float> w(x.begin(), x.end());
        std::vector<float> a(150), b(150);
        for (int32_t offset : {0, 1, 2, 3}) {
            sp_fir_direct_kernel_f32_sse2(s->taps_x4, w.data() + offset, a.data() + offset, 140,
                                          len);
            sp_fir_direct_kernel_f32_sse3(s->taps_x4, w.data() + offset, b.data() + offset, 140,
                                          len);
            EXPECT_EQ(a, b) << len << " " << offset;
        }
        EXPECT_EQ(sp_status_ok, sp_fir_free_sse2(s));
    }
}

TEST(FirSpectrum, MembersAgreeAndFollowTheDoubleProduct) {
    using Mul = sp_status (*)(const float*, float*, int32_t);
    const Mul simd[] = {sp_fir_spectrum_mul_f32_sse, sp_fir_spectrum_mul_f32_sse2,
                        sp_fir_spectrum_mul_f32_sse3};
    std::vector<int32_t> sizes = {1, 2, 3, 4, 5};
    for (int32_t k = 1; k <= 9; ++k) sizes.push_back(2 + 2 * k);
    for (int32_t n : sizes)
        for (size_t offset = 0; offset < 16; ++offset) {
            SCOPED_TRACE(::testing::Message() << n << " values at +" << offset);
            const size_t bytes = static_cast<size_t>(n) * 4;
            GuardedBuffer a = GuardedBuffer::AtEnd(bytes + offset);
            const Taps src = RandomTaps(n, 7u * n), x = RandomTaps(n, 9u * n + 1);
            float* s = reinterpret_cast<float*>(a.Data() + offset);
            memcpy(s, src.data(), bytes);
            std::vector<std::vector<float>> results;
            for (int32_t v = 0; v < 4; ++v) {
                if (!sptest::VariantRunsHere(v)) continue;
                GuardedBuffer b = GuardedBuffer::AtEnd(bytes + (15 - offset));
                float* d = reinterpret_cast<float*>(b.Data() + 15 - offset);
                memcpy(d, x.data(), bytes);
                ASSERT_EQ(sp_status_ok, (v == 0 ? sp_fir_spectrum_mul_f32 : simd[v - 1])(s, d, n));
                results.emplace_back(d, d + n);
            }
            const int32_t first = (n & 1) ? 1 : 2;
            for (size_t r = 1; r < results.size(); ++r) {
                for (int32_t i = 0; i < first; ++i) EXPECT_EQ(results[0][i], results[r][i]);
                // Within the single-precision members' own error: three steps of the
                // larger product (their sum can cancel below it).
                for (int32_t i = first; i < n; ++i) {
                    const int32_t pair = first + ((i - first) & ~1);
                    const float big =
                        std::max({fabsf(x[pair] * src[pair]), fabsf(x[pair + 1] * src[pair + 1]),
                                  fabsf(x[pair + 1] * src[pair]), fabsf(x[pair] * src[pair + 1])});
                    EXPECT_LE(fabs(results[0][i] - results[r][i]),
                              3 * (nextafterf(big, INFINITY) - big));
                }
                if (r > 1) {
                    EXPECT_EQ(results[1], results[r]);
                }
            }
            for (int32_t i = first; i + 1 < n; i += 2) {
                const double re = double{x[i]} * src[i] - double{x[i + 1]} * src[i + 1];
                const double im = double{x[i + 1]} * src[i] + double{x[i]} * src[i + 1];
                EXPECT_NEAR(results[0][i], re, 1e-6);
                EXPECT_NEAR(results[0][i + 1], im, 1e-6);
            }
        }
}

TEST_P(Fir, SetUpLaysOutTapsHistoryAndSpectrum) {
    const bool simd = Variant() != sp_variant_generic;
    struct Case {
        int32_t len, head, fft;
    };
    for (const Case& c : {Case{1, 5, -1}, Case{3, 5, -1}, Case{63, 65, -1}, Case{64, 65, 256},
                          Case{127, 129, 256}, Case{128, 129, 512}, Case{1000, 1001, 2048}}) {
        SCOPED_TRACE(c.len);
        const Taps h = RandomTaps(c.len, 70u + c.len);
        Samples delay(static_cast<size_t>(c.len));
        for (size_t i = 0; i < delay.size(); ++i) delay[i] = static_cast<int16_t>(i + 1);
        sp_fir_state* s = Make(h, delay);
        EXPECT_EQ(s->kind, kFirKindSingle);
        EXPECT_EQ(s->head_len, c.head);
        EXPECT_EQ(s->fft_len, c.fft);
        EXPECT_EQ(s->taps_x4 != nullptr, simd);
        EXPECT_GE(s->delay_end - reinterpret_cast<uint8_t*>(s->delay), 8 * 4);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(s->taps_x4) & 15, 0u);
        for (int32_t i = 0; i < c.len; ++i) {
            ASSERT_EQ(s->taps_rev[i], h[c.len - 1 - i]);
            ASSERT_EQ(s->delay[i], static_cast<float>(c.len - i));  // {1, 2, 3} -> 3, 2, 1
            for (int32_t j = 0; simd && j < 4; ++j) ASSERT_EQ(s->taps_x4[4 * i + j], h[i]);
        }
        if (c.fft > 0) {
            std::vector<float> padded(h);
            padded.resize(static_cast<size_t>(c.fft), 0.0f);
            int32_t order = 0;
            while ((1 << order) < c.fft) ++order;
            const std::vector<double> want = sptest::DftPerm(padded.data(), order);
            for (int32_t i = 0; i < c.fft; ++i)
                ASSERT_NEAR(s->taps_spectrum[i], want[i], 1e-4 * c.len) << i;
        }
    }
}

TEST_P(Fir, StatusesComeInTheLibrarysOrder) {
    const Taps h = RandomTaps(8, 1);
    sp_fir_state* const sentinel = reinterpret_cast<sp_fir_state*>(uintptr_t{0x1230});
    sp_fir_state* s = sentinel;
    auto create = Member<sp_entry_sp_fir_create>();
    EXPECT_EQ(sp_status_null_ptr, create(nullptr, h.data(), 0, nullptr));
    EXPECT_EQ(sp_status_null_ptr, create(&s, nullptr, -1, nullptr));
    EXPECT_EQ(sp_status_fir_length, create(&s, h.data(), 0, nullptr));
    EXPECT_EQ(sp_status_fir_length, create(&s, h.data(), -1, nullptr));
    EXPECT_EQ(sentinel, s);
    sp_fir_state* fir = Make(h);
    auto filter = Member<sp_entry_sp_fir_filter_i16_scaled>();
    Samples x(4, 1), y(4, 77);
    EXPECT_EQ(sp_status_null_ptr, filter(nullptr, y.data(), 0, fir, 0));
    EXPECT_EQ(sp_status_null_ptr, filter(x.data(), nullptr, 4, fir, 0));
    EXPECT_EQ(sp_status_null_ptr, filter(x.data(), y.data(), 0, nullptr, 0));
    EXPECT_EQ(sp_status_bad_size, filter(x.data(), y.data(), 0, fir, 0));
    EXPECT_EQ(Samples(4, 77), y);
    // A foreign kind, and a multirate state of mode 0.
    sp_fir_state other{};
    other.kind = 0x49493035;
    EXPECT_EQ(sp_status_wrong_state, filter(x.data(), y.data(), 4, &other, 0));
    EXPECT_EQ(sp_status_wrong_state, Member<sp_entry_sp_fir_set_delay_line>()(&other, nullptr));
    EXPECT_EQ(sp_status_wrong_state, Member<sp_entry_sp_fir_free>()(&other));
    int16_t history[5] = {9, 9, 9, 9, 9};
    other.kind = kFirKindMulti;
    other.history = history;
    other.history_len = 4;
    other.owns_memory = 0;
    EXPECT_EQ(sp_status_wrong_state, filter(x.data(), y.data(), 4, &other, 0));
    const int16_t line[4] = {1, 2, 3, 4};
    EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_fir_set_delay_line>()(&other, line));
    EXPECT_EQ(history[0], 4);
    EXPECT_EQ(history[3], 1);
    EXPECT_EQ(history[4], 9);
    EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_fir_set_delay_line>()(&other, nullptr));
    EXPECT_EQ(history[0], 0);
    EXPECT_EQ(history[3], 0);
    EXPECT_EQ(history[4], 9);
    // A state that does not own its memory is left alone.
    const uint64_t live = sptest::LiveBlocks();
    other.kind = kFirKindSingle;
    EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_fir_free>()(&other));
    EXPECT_EQ(live, sptest::LiveBlocks());
    EXPECT_EQ(Samples(4, 77), y);
}

TEST_P(Fir, AllocationFailuresLeaveNothingBehind) {
    sp_fir_state* const sentinel = reinterpret_cast<sp_fir_state*>(uintptr_t{0x1230});
    for (int32_t len : {1, 63, 64, 1000}) {
        SCOPED_TRACE(len);
        const Taps h = RandomTaps(len, 3);
        const uint64_t steps = zvtest::ForEachAllocationFailure([&](uint64_t k) {
            sp_fir_state* made = sentinel;
            const sp_status status =
                Member<sp_entry_sp_fir_create>()(&made, h.data(), len, nullptr);
            if (zvtest::GetAllocatorCounts().failures != 0) {
                EXPECT_EQ(sp_status_no_memory, status) << "failure at allocation " << k;
                EXPECT_EQ(sentinel, made);
            } else {
                ASSERT_EQ(sp_status_ok, status);
                made_.push_back(made);
            }
        });
        EXPECT_GE(steps, len >= kFirFftMinTaps ? 3u : 1u);  // the plan's tables fail too
    }
    // A block beyond what the allocator takes, before any plan is built.
    sp_fir_state* made = sentinel;
    const Taps one(1, 1.0f);
    EXPECT_EQ(sp_status_no_memory,
              Member<sp_entry_sp_fir_create>()(&made, one.data(), 1 << 29, nullptr));
    EXPECT_EQ(sentinel, made);
}

TEST(FirSize, BlockBytesDoNotWrapForLongTaps) {
    // 12 * 1.79e8 passes 2^31: the sizes stay exact in 64 bits.
    const int64_t len = 179000000;
    EXPECT_GT(sp_fir_block_bytes(len, true, 0, 0), 12 * len + 16 * len);
    EXPECT_GT(sp_fir_block_bytes(len, false, 0, 0), int64_t{INT32_MAX});
}

TEST_P(Fir, KeepsTheFloatingPointControlWords) {
    EXPECT_TRUE(sptest::KeepsFpControl([&] {
        const Taps h = RandomTaps(100, 2);
        sp_fir_state* s = nullptr;
        Member<sp_entry_sp_fir_create>()(&s, h.data(), 100, nullptr);
        const Samples x = RandomSamples(600, 2, 1000);
        Samples y(600);
        Member<sp_entry_sp_fir_filter_i16_scaled>()(x.data(), y.data(), 600, s, 0);
        Member<sp_entry_sp_fir_filter_i16_scaled>()(x.data(), y.data(), 100, s, 0);
        Member<sp_entry_sp_fir_set_delay_line>()(s, x.data());
        Member<sp_entry_sp_fir_free>()(s);
    }));
}

SP_INSTANTIATE_VARIANTS(Fir);

}  // namespace
