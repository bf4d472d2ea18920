// Cross-correlation: every member against an exact int64 reference, on the
// direct and the FFT path and at the border between them, at the wave
// correlator's real shapes, with the -32768 clamp of the SIMD direct kernels,
// status order, allocation failures and extreme lag arguments.
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <vector>

#include "TestAllocator.h"
#include "sp_test_support.h"

namespace {

typedef sp_status (*XcorrFn)(const int16_t*, int32_t, const int16_t*, int32_t, int16_t*, int32_t,
                             int32_t, int32_t);

const XcorrFn kMembers[4] = {sp_xcorr_i16_scaled, sp_xcorr_i16_scaled_sse, sp_xcorr_i16_scaled_sse2,
                             sp_xcorr_i16_scaled_sse3};

// r[k] for k = lowLag .. lowLag + count - 1, exactly.
std::vector<int64_t> ExactXcorr(const std::vector<int16_t>& x1, const std::vector<int16_t>& x2,
                                int64_t lowLag, int64_t count) {
    std::vector<int64_t> r(count, 0);
    const int64_t len1 = x1.size(), len2 = x2.size();
    for (int64_t j = 0; j < count; ++j) {
        const int64_t k = lowLag + j;
        int64_t sum = 0;
        for (int64_t n = k < 0 ? -k : 0; n < len1 && n + k < len2; ++n)
            sum += int64_t{x1[n]} * x2[n + k];
        r[j] = sum;
    }
    return r;
}

// saturate(round_half_even(r * 2^-scale)), exactly.
int16_t Scale(int64_t r, int32_t scale) {
    const long double y = ldexpl(static_cast<long double>(r), -scale);
    if (y >= 32767) return 32767;
    if (y <= -32768) return -32768;
    return static_cast<int16_t>(nearbyintl(y));
}

std::vector<int16_t> Expected(const std::vector<int16_t>& x1, const std::vector<int16_t>& x2,
                              int64_t lowLag, int64_t count, int32_t scale) {
    const std::vector<int64_t> r = ExactXcorr(x1, x2, lowLag, count);
    std::vector<int16_t> out(count);
    for (int64_t j = 0; j < count; ++j) out[j] = Scale(r[j], scale);
    return out;
}

std::vector<int16_t> Random(size_t n, int amplitude, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(-amplitude, amplitude);
    std::vector<int16_t> v(n);
    for (int16_t& x : v) x = static_cast<int16_t>(dist(gen));
    return v;
}

::testing::AssertionResult WithinOneLsb(const std::vector<int16_t>& want, const int16_t* got) {
    for (size_t j = 0; j < want.size(); ++j) {
        if (abs(int{want[j]} - int{got[j]}) > 1)
            return ::testing::AssertionFailure()
                   << "output " << j << ": want " << want[j] << ", got " << got[j];
    }
    return ::testing::AssertionSuccess();
}

// Lag windows for a (len1, len2) pair: every start near the ends and a spread
// in between, with short, border and over-long window lengths.
std::vector<std::pair<int32_t, int32_t>> Windows(int32_t len1, int32_t len2) {
    const int32_t total = len1 + len2 - 1;
    std::vector<int32_t> starts;
    const int32_t lo = -(len1 + 3), hi = len2 + 3;
    const int32_t step = (hi - lo) / 40 > 1 ? (hi - lo) / 40 : 1;
    for (int32_t s = lo; s <= hi; s += step) starts.push_back(s);
    for (int32_t s : {-(len1 - 1), -(len1 - 1) + 1, -(len1 - len2), -(len1 - len2) - 1, 0, -1, 1,
                      len2 - len1, len2 - len1 + 1, len2 - 1, len2 - 2})
        starts.push_back(s);
    std::vector<std::pair<int32_t, int32_t>> windows;
    for (int32_t s : starts) {
        for (int32_t n : {1, 2, 3, 4, 5, 6, 7, 9, 13, total / 2 + 1, total, total + 6}) {
            if (n >= 1 && n <= total + 6) windows.emplace_back(s, n);
        }
    }
    return windows;
}

TEST(Xcorr, ExactAgainstReferenceOverTheLagGrid) {
    const int32_t lengths[] = {1, 2, 7, 8, 63, 64, 500};
    sptest::ForEachVariant([&](int32_t variant) {
        for (int32_t len1 : lengths) {
            for (int32_t len2 : lengths) {
                SCOPED_TRACE(::testing::Message() << "len1 " << len1 << " len2 " << len2);
                // Small amplitudes: every sum is exact in f32 on the direct path and
                // far within rounding on the FFT path, so scale 0 must be exact.
                const std::vector<int16_t> x1 = Random(len1, 8, len1 * 7 + len2),
                                           x2 = Random(len2, 8, len2 * 3 + len1);
                for (const auto& [lowLag, count] : Windows(len1, len2)) {
                    const std::vector<int16_t> want = Expected(x1, x2, lowLag, count, 0);
                    std::vector<int16_t> got(count, 0x5555);
                    ASSERT_EQ(sp_status_ok, kMembers[variant](x1.data(), len1, x2.data(), len2,
                                                              got.data(), count, lowLag, 0));
                    ASSERT_EQ(want, got) << "lowLag " << lowLag << " count " << count;
                }
            }
        }
    });
}

TEST(Xcorr, ScaledWithinOneLsb) {
    sptest::ForEachVariant([&](int32_t variant) {
        for (auto [len1, len2] :
             {std::pair{500, 64}, std::pair{64, 500}, std::pair{63, 63}, std::pair{300, 2000}}) {
            for (int32_t scale = 8; scale <= 28; scale += 4) {
                // Amplitudes that put typical results at a few thousand LSB: f32
                // sums are then within rounding of the 16-bit result (full-scale
                // input at a small scale would leave the f32 error above 1 LSB).
                const double terms = len1 < len2 ? len1 : len2;
                const double amp = sqrt(4000.0 * ldexp(1.0, scale) * 3.0 / sqrt(terms));
                const int a = amp > 32767 ? 32767 : static_cast<int>(amp);
                const std::vector<int16_t> x1 = Random(len1, a, 5 + len1 + scale),
                                           x2 = Random(len2, a, 9 + len2);
                for (auto [lowLag, count] : {std::pair{-(len1 + 2), len1 + len2 + 4},
                                             std::pair{-5, 11}, std::pair{3, 200}}) {
                    const std::vector<int16_t> want = Expected(x1, x2, lowLag, count, scale);
                    std::vector<int16_t> got(count);
                    ASSERT_EQ(sp_status_ok, kMembers[variant](x1.data(), len1, x2.data(), len2,
                                                              got.data(), count, lowLag, scale));
                    EXPECT_TRUE(WithinOneLsb(want, got.data()))
                        << len1 << "x" << len2 << " scale " << scale;
                }
            }
        }
    });
}

TEST(Xcorr, WaveCorrelatorShapes) {
    // W samples of each pin, 2W+1 lags from 1-W: always the FFT path (order 13 or 14).
    for (int32_t w : {4000, 8000}) {
        std::vector<int16_t> far = Random(w + 300, 9000, w);
        std::vector<int16_t> near(w);
        const int32_t delay = 237;
        std::mt19937 gen(w + 1);
        std::uniform_int_distribution<int> noise(-2000, 2000);
        for (int32_t n = 0; n < w; ++n)
            near[n] = static_cast<int16_t>(far[n + delay] / 2 + noise(gen));
        far.resize(w);
        for (int32_t scale : {27, 28}) {
            const std::vector<int64_t> r = ExactXcorr(far, near, 1 - w, 2 * w + 1);
            std::vector<int16_t> want(r.size());
            for (size_t j = 0; j < r.size(); ++j) want[j] = Scale(r[j], scale);
            size_t peak = 0;
            for (size_t j = 1; j < r.size(); ++j)
                if (r[j] > r[peak]) peak = j;
            sptest::ForEachVariant([&](int32_t variant) {
                std::vector<int16_t> got(2 * w + 1);
                ASSERT_EQ(sp_status_ok, kMembers[variant](far.data(), w, near.data(), w, got.data(),
                                                          2 * w + 1, 1 - w, scale));
                EXPECT_TRUE(WithinOneLsb(want, got.data())) << "W " << w << " scale " << scale;
                size_t gotPeak = 0;
                for (size_t j = 1; j < got.size(); ++j)
                    if (got[j] > got[gotPeak]) gotPeak = j;
                EXPECT_EQ(peak, gotPeak) << "the delay estimate";
            });
            EXPECT_EQ(static_cast<int64_t>(peak) + 1 - w, -delay);
        }
    }
}

TEST(Xcorr, PathBorderAndAllocations) {
    // len1 = len2: w equals the number of lags.
    const int32_t len = 500;
    const std::vector<int16_t> x1 = Random(len, 3000, 1), x2 = Random(len, 3000, 2);
    const std::vector<int16_t> want = Expected(x1, x2, -200, 384, 10);
    sptest::ForEachVariant([&](int32_t variant) {
        std::vector<int16_t> direct(383), fft(384);
        zvtest::ResetAllocator();
        ASSERT_EQ(sp_status_ok,
                  kMembers[variant](x1.data(), len, x2.data(), len, direct.data(), 383, -200, 10));
        const uint64_t directAllocations = zvtest::GetAllocatorCounts().allocations;
        EXPECT_EQ(variant == sp_variant_generic ? 3u : 1u, directAllocations)
            << "direct path buffers only";
        zvtest::ResetAllocator();
        ASSERT_EQ(sp_status_ok,
                  kMembers[variant](x1.data(), len, x2.data(), len, fft.data(), 384, -200, 10));
        EXPECT_GE(zvtest::GetAllocatorCounts().allocations, 6u)
            << "spec, tables and block of the FFT path";
        EXPECT_TRUE(
            WithinOneLsb(std::vector<int16_t>(want.begin(), want.begin() + 383), direct.data()));
        EXPECT_TRUE(WithinOneLsb(want, fft.data()));
        for (int j = 0; j < 383; ++j) ASSERT_LE(abs(direct[j] - fft[j]), 1) << j;
    });
}

TEST(Xcorr, WindowsWithoutOverlapAllocateNothing) {
    const std::vector<int16_t> x1 = Random(10, 100, 3), x2 = Random(20, 100, 4);
    sptest::ForEachVariant([&](int32_t variant) {
        for (auto [lowLag, count] :
             {std::pair{-30, 20}, std::pair{-15, 5}, std::pair{20, 7}, std::pair{25, 100},
              std::pair{INT_MIN, 9}, std::pair{INT_MAX - 3, 9}, std::pair{INT_MIN + 1, 1}}) {
            std::vector<int16_t> got(count, 0x5555);
            zvtest::ResetAllocator();
            ASSERT_EQ(sp_status_ok, kMembers[variant](x1.data(), 10, x2.data(), 20, got.data(),
                                                      count, lowLag, 0));
            EXPECT_EQ(0u, zvtest::GetAllocatorCounts().allocations) << lowLag;
            EXPECT_EQ(std::vector<int16_t>(count, 0), got) << lowLag;
        }
        // Straddling both ends: zeros outside, correlation inside.
        std::vector<int16_t> got(60);
        ASSERT_EQ(sp_status_ok,
                  kMembers[variant](x1.data(), 10, x2.data(), 20, got.data(), 60, -20, 0));
        EXPECT_EQ(Expected(x1, x2, -20, 60, 0), got);
    });
}

TEST(Xcorr, SmallExactCasesAndSaturation) {
    sptest::ForEachVariant([&](int32_t variant) {
        const XcorrFn fn = kMembers[variant];
        int16_t one = 1, three = 3, out = 99;
        ASSERT_EQ(sp_status_ok, fn(&one, 1, &one, 1, &out, 1, 0, 1));
        EXPECT_EQ(0, out) << "0.5 rounds to even";
        ASSERT_EQ(sp_status_ok, fn(&one, 1, &three, 1, &out, 1, 0, 1));
        EXPECT_EQ(2, out) << "1.5 rounds to even";
        const std::vector<int16_t> x1 = {3, -4, 5, 6, 7}, x2 = {10, 20, -30, 40, 50, 60, 70};
        // Single-term lags at both ends.
        ASSERT_EQ(sp_status_ok, fn(x1.data(), 5, x2.data(), 7, &out, 1, 6, 0));
        EXPECT_EQ(3 * 70, out);
        ASSERT_EQ(sp_status_ok, fn(x1.data(), 5, x2.data(), 7, &out, 1, -4, 0));
        EXPECT_EQ(7 * 10, out);
        const std::vector<int16_t> big(64, 30000), neg(64, -30000);
        std::vector<int16_t> sat(3);
        ASSERT_EQ(sp_status_ok, fn(big.data(), 64, big.data(), 64, sat.data(), 3, -1, 0));
        EXPECT_EQ(std::vector<int16_t>(3, 32767), sat);
        ASSERT_EQ(sp_status_ok, fn(big.data(), 64, neg.data(), 64, sat.data(), 3, -1, 0));
        EXPECT_EQ(std::vector<int16_t>(3, -32768), sat);
    });
}

TEST(Xcorr, MostNegativeSampleInTheSimdVectorLoops) {
    // len1 < len2 and lags 0 .. d-1: the full-overlap kernel with b = src1, whose
    // first pair runs through the vector multiply-add in every SIMD kernel.
    std::vector<int16_t> x1 = Random(16, 8, 11), x2 = Random(64, 8, 12);
    x1[0] = -32768;
    std::vector<int16_t> clamped(x1);
    clamped[0] = -32767;
    const int32_t scale = 4;
    sptest::ForEachVariant([&](int32_t variant) {
        for (int32_t offset : {0, 1, 2, 3}) {  // both loop orders (output alignment)
            std::vector<int16_t> got(48 + offset);
            ASSERT_EQ(sp_status_ok, kMembers[variant](x1.data(), 16, x2.data(), 64,
                                                      got.data() + offset, 40, offset, scale));
            const std::vector<int16_t> want =
                Expected(variant == sp_variant_generic ? x1 : clamped, x2, offset, 40, scale);
            EXPECT_EQ(want, std::vector<int16_t>(got.begin() + offset, got.begin() + offset + 40))
                << offset;
        }
    });
}

TEST(Xcorr, Sse2AndSse3DirectPathsAgreeBitForBit) {
    if (!sptest::VariantRunsHere(sp_variant_sse3)) GTEST_SKIP() << "no SSE3";
    for (auto [len1, len2] : {std::pair{200, 90}, std::pair{90, 200}, std::pair{77, 77}}) {
        const std::vector<int16_t> x1 = Random(len1, 32767, 21), x2 = Random(len2, 32767, 22);
        for (auto [lowLag, count] : {std::pair{-len1, 100}, std::pair{-30, 97}, std::pair{5, 60}}) {
            std::vector<int16_t> a(count), b(count);
            ASSERT_EQ(sp_status_ok, sp_xcorr_i16_scaled_sse2(x1.data(), len1, x2.data(), len2,
                                                             a.data(), count, lowLag, 14));
            ASSERT_EQ(sp_status_ok, sp_xcorr_i16_scaled_sse3(x1.data(), len1, x2.data(), len2,
                                                             b.data(), count, lowLag, 14));
            EXPECT_EQ(a, b);
        }
    }
}

TEST(Xcorr, StatusOrderAndLengthLimits) {
    int16_t x[4] = {1, 2, 3, 4}, out[4] = {7, 7, 7, 7};
    sptest::ForEachVariant([&](int32_t variant) {
        const XcorrFn fn = kMembers[variant];
        EXPECT_EQ(sp_status_null_ptr, fn(nullptr, 0, x, 4, out, 4, 0, 0)) << "null before size";
        EXPECT_EQ(sp_status_null_ptr, fn(x, 4, nullptr, 4, out, 4, 0, 0));
        EXPECT_EQ(sp_status_null_ptr, fn(x, 4, x, 4, nullptr, 0, 0, 0));
        EXPECT_EQ(sp_status_bad_size, fn(x, 0, x, 4, out, 4, 0, 0));
        EXPECT_EQ(sp_status_bad_size, fn(x, 4, x, 0, out, 4, 0, 0));
        EXPECT_EQ(sp_status_bad_size, fn(x, 4, x, 4, out, 0, 0, 0));
        EXPECT_EQ(std::vector<int16_t>(4, 7), std::vector<int16_t>(out, out + 4));
        // len1 + len2 - 1 above 2^30 on the FFT path: -15 before any sample is read.
        std::vector<int16_t> dst(1000);
        const uint64_t live = sptest::LiveBlocks();
        EXPECT_EQ(sp_status_fft_order,
                  fn(x, (1 << 29) + 1, x, (1 << 29) + 1, dst.data(), 1000, 0, 0));
        EXPECT_EQ(live, sptest::LiveBlocks());
    });
}

TEST(Xcorr, AllocationFailureOnBothPathsKeepsLeadingZeros) {
    const std::vector<int16_t> x1 = Random(300, 1000, 41), x2 = Random(300, 1000, 42);
    sptest::ForEachVariant([&](int32_t variant) {
        for (int32_t count : {100, 700}) {  // direct, then FFT
            SCOPED_TRACE(count);
            const int32_t lowLag = -309;  // ten leading lags without overlap
            const std::vector<int16_t> want = Expected(x1, x2, lowLag, count, 8);
            const uint64_t live = sptest::LiveBlocks();
            zvtest::ForEachAllocationFailure([&](uint64_t k) {
                std::vector<int16_t> got(count, 0x5555);
                const sp_status status =
                    kMembers[variant](x1.data(), 300, x2.data(), 300, got.data(), count, lowLag, 8);
                EXPECT_EQ(live, sptest::LiveBlocks()) << "allocation " << k;
                if (status == sp_status_ok) {
                    // The FFT path's work buffer may be missing: the transforms make their own.
                    EXPECT_TRUE(WithinOneLsb(want, got.data())) << "allocation " << k;
                    return;
                }
                EXPECT_EQ(sp_status_no_memory, status) << "allocation " << k;
                // Lags without overlap were zeroed by the front; the others are untouched.
                for (int32_t j = 0; j < count; ++j) {
                    const int32_t lag = lowLag + j;
                    const bool outside = lag < -299 || lag > 299;
                    ASSERT_EQ(outside ? 0 : 0x5555, got[j]) << "allocation " << k << " lag " << lag;
                }
            });
        }
    });
}

TEST(Xcorr, InputsAgainstGuardPagesAtEveryOffset) {
    // The SIMD kernels read the samples directly: nothing may be read outside.
    const int32_t len1 = 37, len2 = 53;
    const std::vector<int16_t> x1 = Random(len1, 500, 51), x2 = Random(len2, 500, 52);
    const std::vector<int16_t> want = Expected(x1, x2, -(len1 + 2), len1 + len2 + 3, 0);
    sptest::ForEachVariant([&](int32_t variant) {
        for (size_t offset = 0; offset < 16; offset += 2) {
            for (bool atEnd : {false, true}) {
                if (atEnd && offset != 0) continue;
                sptest::GuardedBuffer b1 = atEnd ? sptest::GuardedBuffer::AtEnd(2 * len1)
                                                 : sptest::GuardedBuffer::AtFront(2 * len1, offset);
                sptest::GuardedBuffer b2 = atEnd ? sptest::GuardedBuffer::AtEnd(2 * len2)
                                                 : sptest::GuardedBuffer::AtFront(2 * len2, offset);
                memcpy(b1.Data(), x1.data(), 2 * len1);
                memcpy(b2.Data(), x2.data(), 2 * len2);
                std::vector<int16_t> got(want.size());
                ASSERT_EQ(
                    sp_status_ok,
                    kMembers[variant](b1.As<int16_t>(), len1, b2.As<int16_t>(), len2, got.data(),
                                      static_cast<int32_t>(got.size()), -(len1 + 2), 0));
                EXPECT_EQ(want, got) << "offset " << offset << (atEnd ? " at end" : " at front");
                ASSERT_EQ(
                    sp_status_ok,
                    kMembers[variant](b2.As<int16_t>(), len2, b1.As<int16_t>(), len1, got.data(),
                                      static_cast<int32_t>(got.size()), -(len2 + 2), 0));
                EXPECT_EQ(Expected(x2, x1, -(len2 + 2), len1 + len2 + 3, 0), got)
                    << "offset " << offset;
            }
        }
    });
}

TEST(Xcorr, DispatchRowAndStubReachTheMembers) {
    for (int32_t v = 0; v < 4; ++v)
        EXPECT_EQ(kMembers[v], sp_dispatch_member<sp_entry_sp_xcorr_i16_scaled>(v)) << v;
    const std::vector<int16_t> x1 = Random(40, 100, 61), x2 = Random(50, 100, 62);
    std::vector<int16_t> got(30);
    ASSERT_EQ(sp_status_ok,
              sp_xcorr_i16_scaled_stub(x1.data(), 40, x2.data(), 50, got.data(), 30, -10, 0));
    EXPECT_EQ(Expected(x1, x2, -10, 30, 0), got);
}

// The keep forms: the wave correlator's shapes give the plain forms' result
// bit for bit, allocate nothing once the keep holds the order, rebuild for
// another order or member, and the release leaves nothing live.
TEST(Xcorr, KeptTransformAllocatesNothingAfterItsFirstCall) {
    typedef sp_status (*KeepFn)(const int16_t*, int32_t, const int16_t*, int32_t, int16_t*, int32_t,
                                int32_t, int32_t, sp_xcorr_keep*);
    const KeepFn kKeep[4] = {sp_xcorr_i16_scaled_keep, sp_xcorr_i16_scaled_keep_sse,
                             sp_xcorr_i16_scaled_keep_sse2, sp_xcorr_i16_scaled_keep_sse3};
    const uint64_t live = sptest::LiveBlocks();
    sp_xcorr_keep keep = {};
    sptest::ForEachVariant([&](int32_t variant) {
        for (int32_t w : {4000, 8000, 4000}) {
            SCOPED_TRACE(w);
            const std::vector<int16_t> far = Random(w, 9000, w + variant);
            const std::vector<int16_t> near = Random(w, 9000, w + 7);
            std::vector<int16_t> plain(2 * w + 1), kept(2 * w + 1, 0x5555);
            ASSERT_EQ(sp_status_ok, kMembers[variant](far.data(), w, near.data(), w, plain.data(),
                                                      2 * w + 1, 1 - w, 27));
            for (int round = 0; round < 3; ++round) {
                zvtest::ResetAllocator();
                ASSERT_EQ(sp_status_ok, kKeep[variant](far.data(), w, near.data(), w, kept.data(),
                                                       2 * w + 1, 1 - w, 27, &keep));
                // A new order (or member) builds once; the same order never again.
                if (round > 0) {
                    EXPECT_EQ(0u, zvtest::GetAllocatorCounts().allocations) << round;
                }
                ASSERT_EQ(0, memcmp(plain.data(), kept.data(), plain.size() * 2)) << round;
            }
            EXPECT_EQ(w == 4000 ? 13 : 14, keep.order);
        }
        // The direct path keeps nothing and leaves the keep as it was.
        const std::vector<int16_t> x1 = Random(100, 1000, 5), x2 = Random(100, 1000, 6);
        std::vector<int16_t> got(50);
        const sp_rfft_spec* spec = keep.spec;
        ASSERT_EQ(sp_status_ok,
                  kKeep[variant](x1.data(), 100, x2.data(), 100, got.data(), 50, -20, 4, &keep));
        EXPECT_EQ(Expected(x1, x2, -20, 50, 4), got);
        EXPECT_EQ(spec, keep.spec);
    });
    // The stub takes the slot's member in its keep form.
    ASSERT_EQ(1, sp_dispatch_init());
    const std::vector<int16_t> x1 = Random(4000, 9000, 71), x2 = Random(4000, 9000, 72);
    std::vector<int16_t> plain(8001), kept(8001);
    ASSERT_EQ(sp_status_ok, sp_xcorr_i16_scaled_stub(x1.data(), 4000, x2.data(), 4000, plain.data(),
                                                     8001, -3999, 27));
    ASSERT_EQ(sp_status_ok, sp_xcorr_i16_scaled_keep_stub(x1.data(), 4000, x2.data(), 4000,
                                                          kept.data(), 8001, -3999, 27, &keep));
    zvtest::ResetAllocator();
    ASSERT_EQ(sp_status_ok, sp_xcorr_i16_scaled_keep_stub(x1.data(), 4000, x2.data(), 4000,
                                                          kept.data(), 8001, -3999, 27, &keep));
    EXPECT_EQ(0u, zvtest::GetAllocatorCounts().allocations);
    EXPECT_EQ(plain, kept);
    sp_xcorr_keep_release(&keep);
    EXPECT_EQ(nullptr, keep.owner);
    EXPECT_EQ(live, sptest::LiveBlocks());
    sp_xcorr_keep_release(nullptr);
}

// A keep whose plan or blocks cannot be had stays empty and leaves nothing
// live; a later call fills it.
TEST(Xcorr, KeepFilledAfterAFailedAllocation) {
    const std::vector<int16_t> x1 = Random(300, 1000, 41), x2 = Random(300, 1000, 42);
    const std::vector<int16_t> want = Expected(x1, x2, -299, 599, 8);
    const uint64_t live = sptest::LiveBlocks();
    zvtest::ForEachAllocationFailure([&](uint64_t k) {
        sp_xcorr_keep keep = {};
        std::vector<int16_t> got(599);
        const sp_status status = sp_xcorr_i16_scaled_keep(x1.data(), 300, x2.data(), 300,
                                                          got.data(), 599, -299, 8, &keep);
        if (status != sp_status_ok) {
            EXPECT_EQ(sp_status_no_memory, status) << k;
            EXPECT_EQ(nullptr, keep.owner) << k;
            EXPECT_EQ(live, sptest::LiveBlocks()) << k;
        }
        ASSERT_EQ(sp_status_ok, sp_xcorr_i16_scaled_keep(x1.data(), 300, x2.data(), 300, got.data(),
                                                         599, -299, 8, &keep));
        EXPECT_TRUE(WithinOneLsb(want, got.data())) << k;
        sp_xcorr_keep_release(&keep);
        EXPECT_EQ(live, sptest::LiveBlocks()) << k;
    });
}

TEST(XcorrKernels, DirectPlanCoversEveryCase) {
    // len1 > len2 with a window from below -d: rev, then mirror, then fwd.
    sp_xcorr_plan plan;
    sp_xcorr_direct_plan(10, 4, -9, 14, &plan);
    ASSERT_EQ(3, plan.steps);
    EXPECT_EQ(sp_xcorr_kernel_rev, plan.step[0].kernel);
    EXPECT_EQ(sp_xcorr_kernel_mirror, plan.step[1].kernel);
    EXPECT_EQ(sp_xcorr_kernel_fwd, plan.step[2].kernel);
    EXPECT_EQ(3, plan.step[0].count);
    EXPECT_EQ(2, plan.step[0].out) << "rev writes backwards from its last output";
    EXPECT_EQ(6, plan.step[1].count);
    EXPECT_EQ(4, plan.step[2].count);
    // len1 <= len2: rev, full, fwd.
    sp_xcorr_direct_plan(4, 10, -3, 13, &plan);
    ASSERT_EQ(3, plan.steps);
    EXPECT_EQ(sp_xcorr_kernel_fwd, plan.step[2].kernel);
    EXPECT_EQ(sp_xcorr_kernel_rev, plan.step[0].kernel);
    EXPECT_EQ(sp_xcorr_kernel_full, plan.step[1].kernel);
    EXPECT_EQ(6, plan.step[1].count);
    EXPECT_EQ(4, plan.step[2].count);
}

}  // namespace
