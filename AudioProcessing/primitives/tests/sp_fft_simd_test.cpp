// SIMD members of the real FFT (SSE3, SSE2, SSE): every member against a
// long-double reference and the generic member on every path and at each
// path border, buffers at every float offset against guard pages, allocation
// failures in every FFT set-up, and the kernels on their own
// (bit reversal, split-4 output, fused in place, the column passes).
#include <float.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <complex>
#include <random>
#include <vector>

#include "TestAllocator.h"
#include "sp_fft_simd.h"
#include "sp_fft_simd_members.h"
#include "sp_reference.h"
#include "sp_test_support.h"

namespace {

using sptest::CheckExactSpectrum;
using sptest::ExactTones;
using sptest::ForEachMember;
using sptest::Member;
using sptest::Spec;

using LComplex = std::complex<long double>;

using sptest::RandomSignal;

using sptest::CloseInL2;

// A member's result against another's (or the generic member's).
::testing::AssertionResult CloseInL2(const std::vector<float>& got, const std::vector<float>& want,
                                     int32_t order) {
    return CloseInL2(got.data(), want, order);
}

// Every path and both sides of each border, up to order 20.
std::vector<int32_t> OrdersUpTo(int32_t last) {
    std::vector<int32_t> orders;
    for (int32_t o = 0; o <= last; ++o) orders.push_back(o);
    return orders;
}

// ---- Transforms ---------------------------------------------------------------------

TEST(FftSimd, ForwardAndInverseMatchTheReferenceAndTheGenericMember) {
    for (int32_t order : OrdersUpTo(20)) {
        SCOPED_TRACE(order);
        const size_t n = size_t{1} << order;
        // One reference per order, shared by the members.
        const std::vector<float>& x = sptest::RandomSpectrum(order).signal;
        const std::vector<double>& want = sptest::RandomSpectrum(order).packed;
        std::vector<float> generic(n, NAN), genericBack(n, NAN);
        std::vector<float> spectrum(want.begin(), want.end());
        {
            Spec g(sp_rfft_spec_init, order, 8);
            ASSERT_EQ(sp_status_ok, sp_rfft_forward(x.data(), generic.data(), g.spec, nullptr));
            ASSERT_EQ(sp_status_ok,
                      sp_rfft_inverse(spectrum.data(), genericBack.data(), g.spec, nullptr));
        }
        // The inverse of the exact spectrum is N x.
        std::vector<long double> scaled(n);
        for (size_t i = 0; i < n; ++i) scaled[i] = static_cast<long double>(x[i]) * n;
        ForEachMember([&](const Member& m) {
            Spec s(m.init, order, 8);
            ASSERT_NE(nullptr, s.spec);
            std::vector<float> got(n, NAN);
            ASSERT_EQ(sp_status_ok, m.forward(x.data(), got.data(), s.spec, nullptr));
            EXPECT_TRUE(CloseInL2(got.data(), want, order)) << "forward";
            EXPECT_TRUE(CloseInL2(got, generic, order + 1)) << "forward against the generic member";
            std::vector<float> back(n, NAN);
            ASSERT_EQ(sp_status_ok, m.inverse(spectrum.data(), back.data(), s.spec, nullptr));
            EXPECT_TRUE(CloseInL2(back.data(), scaled, order + 1)) << "inverse";
            EXPECT_TRUE(CloseInL2(back, genericBack, order + 2))
                << "inverse against the generic member";
        });
    }
}

TEST(FftSimd, RoundTripWithEveryFlag) {
    ForEachMember([](const Member& m) {
        for (int32_t order : {0, 1, 2, 3, 4, 5, 10, 11, 12, 13, 16, 17, 18}) {
            SCOPED_TRACE(order);
            const size_t n = size_t{1} << order;
            const std::vector<float> x = RandomSignal(n, 50 + order);
            for (int32_t flag : {1, 2, 4, 8}) {
                SCOPED_TRACE(flag);
                Spec s(m.init, order, flag);
                std::vector<float> y(n), back(n);
                ASSERT_EQ(sp_status_ok, m.forward(x.data(), y.data(), s.spec, nullptr));
                ASSERT_EQ(sp_status_ok, m.inverse(y.data(), back.data(), s.spec, nullptr));
                const float gain = flag == 8 ? static_cast<float>(n) : 1.0f;
                std::vector<long double> want(n);
                for (size_t i = 0; i < n; ++i) want[i] = static_cast<long double>(x[i]) * gain;
                EXPECT_TRUE(CloseInL2(back.data(), want, 2 * order + 2));
            }
        }
    });
}

// Up to the separate path's last order the scaling is the last step of each
// transform (folded into its last stage, or a pass of its own where there is
// no stage after the first).  1/N is a power of two, so a transform scaled
// by it is the unscaled one times 1/N exactly: the factor is applied once on
// every path.  The inverse of the 1/sqrt(N) plan, whose factor rounds, is the
// unscaled inverse times it, bit for bit, only if the product is the last
// step.
TEST(FftSimd, ScaledTransformsAreTheUnscaledOnesTimesTheFactor) {
    ForEachMember([](const Member& m) {
        for (int32_t order = 4; order <= m.separateLast; ++order) {
            SCOPED_TRACE(order);
            const size_t n = size_t{1} << order;
            const float factor = 1.0f / static_cast<float>(n);
            const float root = static_cast<float>(1.0 / sqrt(static_cast<double>(n)));
            const std::vector<float> x = RandomSignal(n, 70 + order);
            Spec none(m.init, order, sp_rfft_scale_none);
            Spec fwd(m.init, order, sp_rfft_scale_forward);
            Spec inv(m.init, order, sp_rfft_scale_inverse);
            Spec sqrtSpec(m.init, order, sp_rfft_scale_sqrt);
            std::vector<float> plain(n), scaled(n), back(n), backScaled(n), backRoot(n);
            ASSERT_EQ(sp_status_ok, m.forward(x.data(), plain.data(), none.spec, nullptr));
            ASSERT_EQ(sp_status_ok, m.forward(x.data(), scaled.data(), fwd.spec, nullptr));
            ASSERT_EQ(sp_status_ok, m.inverse(plain.data(), back.data(), none.spec, nullptr));
            ASSERT_EQ(sp_status_ok, m.inverse(plain.data(), backScaled.data(), inv.spec, nullptr));
            ASSERT_EQ(sp_status_ok,
                      m.inverse(plain.data(), backRoot.data(), sqrtSpec.spec, nullptr));
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(scaled[i], plain[i] * factor) << "forward " << i;
                ASSERT_EQ(backScaled[i], back[i] * factor) << "inverse " << i;
                ASSERT_EQ(backRoot[i], back[i] * root) << "inverse, 1/sqrt(N) " << i;
            }
        }
    });
}

// The first level's odd inner orders and widest column groups: order 21 for
// every member, and order 22 for SSE3, whose level first splits off five
// stages there (column groups of 2^13).  Order 22 of SSE and SSE2 (the shapes
// of their order 21 again), order 23 and the orders whose large path enters a
// second level run with the long sweeps.
TEST(FftSimd, LargeOrdersAgainstAnExactSpectrum) {
    for (int32_t order : {21, 22}) {
        const size_t n = size_t{1} << order;
        const std::vector<float> x = sptest::ToneSum(n, ExactTones(n));
        ForEachMember([&](const Member& m) {
            if (order == 22 && m.variant != sp_variant_sse3) return;
            CheckExactSpectrum(m, order, x);
        });
    }
}

// Source, destination and work buffer at every float offset from a 16-byte
// boundary, against guard pages at both ends; in place and out of place give
// the bits of the aligned run.
TEST(FftSimd, EveryOffsetInPlaceAndOutOfPlaceWithoutOverReads) {
    ForEachMember([](const Member& m) {
        for (int32_t order : {4, 5, 9, 10, 11, 12, 13, 15, 16, 17, 18}) {
            SCOPED_TRACE(order);
            const size_t n = size_t{1} << order, bytes = n * 4;
            Spec s(m.init, order, 1);
            int32_t workBytes = 0;
            ASSERT_EQ(sp_status_ok, sp_rfft_get_buf_size(s.spec, &workBytes));
            const std::vector<float> x = RandomSignal(n, 90 + order);
            std::vector<float> want(n), wantBack(n);
            ASSERT_EQ(sp_status_ok, m.forward(x.data(), want.data(), s.spec, nullptr));
            ASSERT_EQ(sp_status_ok, m.inverse(want.data(), wantBack.data(), s.spec, nullptr));
            for (size_t offset = 0; offset < 16; offset += 4) {
                for (bool atEnd : {false, true}) {
                    SCOPED_TRACE(testing::Message()
                                 << "offset " << offset << (atEnd ? " at end" : " at front"));
                    auto make = [&](size_t size) {
                        return atEnd ? sptest::GuardedBuffer::AtEnd(size + offset)
                                     : sptest::GuardedBuffer::AtFront(size, offset);
                    };
                    sptest::GuardedBuffer src = make(bytes), dst = make(bytes),
                                          work = make(workBytes);
                    float* a = reinterpret_cast<float*>(src.Data() + (atEnd ? offset : 0));
                    float* b = reinterpret_cast<float*>(dst.Data() + (atEnd ? offset : 0));
                    uint8_t* w = work.Data() + (atEnd ? offset : 0);
                    memcpy(a, x.data(), bytes);
                    ASSERT_EQ(sp_status_ok, m.forward(a, b, s.spec, w));
                    EXPECT_EQ(0, memcmp(b, want.data(), bytes)) << "forward out of place";
                    ASSERT_EQ(sp_status_ok, m.forward(a, a, s.spec, w));
                    EXPECT_EQ(0, memcmp(a, want.data(), bytes)) << "forward in place";
                    ASSERT_EQ(sp_status_ok, m.inverse(b, a, s.spec, w));
                    EXPECT_EQ(0, memcmp(a, wantBack.data(), bytes)) << "inverse out of place";
                    ASSERT_EQ(sp_status_ok, m.inverse(b, b, s.spec, nullptr));
                    EXPECT_EQ(0, memcmp(b, wantBack.data(), bytes))
                        << "inverse in place, own work buffer";
                }
            }
        }
    });
}

// ---- Plans --------------------------------------------------------------------------

TEST(FftSimd, WorkSizesFollowEachVariantsPaths) {
    struct Case {
        int32_t order, sse, sse2, sse3;
    };
    const Case cases[] = {
        {3, 0, 0, 0},
        {4, 8 * 8 + 16, 8 * 8 + 16, 8 * 8 + 16},
        {11, 8 * 1024 + 16, 8 * 1024 + 16, 8 * 1024 + 16},
        {12, 8208, 8 * 2048 + 16, 8 * 2048 + 16},
        {14, 8208 + 32 * 32, 8 * 8192 + 16, 8 * 8192 + 16},  // SSE: n = 13, split 5
        {16, 8208 + 32 * 128, 8 * 32768 + 16, 8 * 32768 + 16},
        {17, 8208 + 32 * 256, 262160 + 8 * 512, 8 * 65536 + 16},
        {18, 8208 + 32 * 256, 262160 + 8 * 1024, 524304 + 8 * 512},
        {22, 8208 + 32 * 1024, 262160 + 8 * 8192, 524304 + 8 * 8192},
    };
    ForEachMember([&](const Member& m) {
        for (const Case& c : cases) {
            Spec s(m.init, c.order, 2);
            int32_t size = -1;
            ASSERT_EQ(sp_status_ok, sp_rfft_get_buf_size(s.spec, &size));
            const int32_t want = m.variant == sp_variant_sse    ? c.sse
                                 : m.variant == sp_variant_sse2 ? c.sse2
                                                                : c.sse3;
            EXPECT_EQ(want, size) << "order " << c.order;
        }
    });
}

// The owned words show which path each order takes: word 8 alone below the
// large path; the SSE3/SSE2 levels a pass table per level (16, 17); SSE the
// outer radix rows (13 + level), block twiddles (16 + level) and, for unsplit
// blocks of 2^11 or 2^12 points, the halving quarter twiddles (9).
TEST(FftSimd, TableWordsShowEachVariantsPath) {
    struct Case {
        int32_t variant, order;
        std::vector<int32_t> filled;
    };
    const std::vector<Case> cases = {
        {sp_variant_sse3, 17, {7, 8, 11, 12}},
        {sp_variant_sse3, 18, {7, 8, 11, 12, 16}},
        {sp_variant_sse2, 16, {7, 8, 11, 12}},
        {sp_variant_sse2, 17, {7, 8, 11, 12, 16}},
        {sp_variant_sse, 11, {7, 8, 11, 12}},
        {sp_variant_sse, 12, {7, 8, 9, 11, 12}},
        {sp_variant_sse, 14, {7, 8, 11, 12, 13, 16}},
        {sp_variant_sse, 23, {7, 8, 9, 11, 12, 13, 16}},
    };  // the second-level orders (24 to 26) run with the long sweeps
    ForEachMember([&](const Member& m) {
        for (const Case& c : cases) {
            if (c.variant != m.variant) continue;
            Spec s(m.init, c.order, 2);
            ASSERT_NE(nullptr, s.spec);
            for (int32_t word = 7; word < 19; ++word) {
                const bool want =
                    std::find(c.filled.begin(), c.filled.end(), word) != c.filled.end();
                EXPECT_EQ(want, sp_rfft_table(s.spec, word) != nullptr)
                    << "order " << c.order << " word " << word;
            }
        }
    });
}

// Every path's set-up up to the first level; order 22, a plan of 50 MB built
// once per allocation, runs with the long sweeps.
TEST(FftSimd, AllocationFailureAtEveryStepOfEachSpecLeaksNothing) {
    ForEachMember([](const Member& m) {
        for (int32_t order : {4, 5, 11, 12, 13, 14, 17, 18, 19})
            sptest::CheckAllocationFailures(m, order);
    });
}

TEST(FftSimd, OrdersWhoseTablesCannotBeHadFailCleanly) {
    ForEachMember([](const Member& m) {
        const uint64_t live = sptest::LiveBlocks();
        for (int32_t order : {29, 30}) {
            sp_rfft_spec* spec = nullptr;
            EXPECT_EQ(sp_status_no_memory, m.init(&spec, order, 2, 0));
            EXPECT_EQ(nullptr, spec);
        }
        EXPECT_EQ(live, sptest::LiveBlocks());
    });
}

// ---- Kernels ------------------------------------------------------------------------

uint32_t Reverse(uint32_t x, int32_t bits) {
    uint32_t r = 0;
    for (int32_t b = 0; b < bits; ++b, x >>= 1) r = (r << 1) | (x & 1u);
    return r;
}

TEST(FftSimdKernels, BitReversalCopyAndInPlaceFollowTheIndexDefinition) {
    ForEachMember([](const Member& m) {
        for (int32_t n = 3; n <= 20; ++n) {
            SCOPED_TRACE(n);
            const size_t count = size_t{1} << n;
            // SSE: start-index table up to complex order 9, the swap-pair table above.
            const bool swaps = m.variant == sp_variant_sse && n > 9;
            int32_t* table = swaps ? sp_fft_bitrev_table(n) : m.starts(n);
            ASSERT_NE(nullptr, table);
            if (!swaps) {
                // The fused kernels never read the table there; the separate
                // bit reversal of SSE at n <= 9 is not a path.
                if (m.variant == sp_variant_sse) {
                    sp_free(table);
                    continue;
                }
            }
            // Complex points 0 .. count-1 with distinct values, and where
            // each belongs: point j at rev(j).
            std::vector<float> points(2 * count), want(2 * count);
            for (size_t i = 0; i < 2 * count; ++i) points[i] = static_cast<float>(i) + 0.25f;
            std::vector<uint32_t> rev(count, 0);  // rev(j) from rev(j / 2)
            for (size_t j = 1; j < count; ++j)
                rev[j] = (rev[j / 2] >> 1) | static_cast<uint32_t>((j & 1) << (n - 1));
            for (size_t j = 0; j < count; ++j) {
                want[2 * rev[j]] = points[2 * j];
                want[2 * rev[j] + 1] = points[2 * j + 1];
            }
            // The buffers at every float offset; the copy's destination starts
            // as NaNs, so a point it never writes shows.
            std::vector<float> srcStore(2 * count + 8), dstStore(2 * count + 8),
                inStore(2 * count + 8);
            const size_t bytes = 2 * count * sizeof(float);
            for (size_t offset : {0, 1, 2, 3}) {
                float* src = srcStore.data() + offset;
                float* dst = dstStore.data() + (offset + 2) % 4;
                float* inplace = inStore.data() + offset;
                memcpy(src, points.data(), bytes);
                memset(dst, 0xff, bytes);
                memcpy(inplace, points.data(), bytes);
                m.bitrevCopy(src, dst, static_cast<int32_t>(count), table);
                m.bitrevInplace(inplace, static_cast<int32_t>(count), table);
                // The whole result at once; a difference names its first point.
                for (const float* got : {dst, inplace}) {
                    if (memcmp(want.data(), got, bytes) == 0) continue;
                    size_t r = 0;
                    while (memcmp(&want[r], &got[r], sizeof(float)) == 0) ++r;
                    ADD_FAILURE() << (got == dst ? "copy" : "in place") << ", offset " << offset
                                  << ", position " << r / 2 << " holds " << got[r] << " instead of "
                                  << want[r];
                }
            }
            sp_free(table);
        }
    });
}

// Complex DFT of bit-reversed input by the radix kernel (mark 1) against long
// double; mark 0 gives the same values in split-4 blocks; the fused kernel
// equals bit reversal + radix kernel, in place and misaligned alike; the
// inverse of the forward is count times the input.
TEST(FftSimdKernels, RadixAndFusedKernelsOnEveryOrder) {
    ForEachMember([](const Member& m) {
        for (int32_t n = 3; n <= 16; ++n) {
            SCOPED_TRACE(n);
            const size_t count = size_t{1} << n;
            float* sine = sp_fft_sine_table(n + 1);
            float* rows = m.rows(n, sine, n + 1);
            int32_t* starts = m.starts(n);
            ASSERT_TRUE(sine && rows && starts);
            std::vector<float> x = RandomSignal(2 * count, 200 + n);
            std::vector<LComplex> ref(count);
            for (size_t j = 0; j < count; ++j) ref[j] = LComplex(x[2 * j], x[2 * j + 1]);
            sptest::RadixTwoFft(ref, -1);
            std::vector<long double> want(2 * count);
            for (size_t j = 0; j < count; ++j) {
                want[2 * j] = ref[j].real();
                want[2 * j + 1] = ref[j].imag();
            }
            std::vector<float> bitrev(2 * count);
            for (size_t j = 0; j < count; ++j) {
                const size_t r = Reverse(static_cast<uint32_t>(j), n);
                bitrev[2 * r] = x[2 * j];
                bitrev[2 * r + 1] = x[2 * j + 1];
            }
            std::vector<float> workStore(2 * count + 8);
            float* work = reinterpret_cast<float*>(
                (reinterpret_cast<uintptr_t>(workStore.data()) + 15) & ~uintptr_t{15});
            std::vector<float> alignedStore(2 * count + 8);
            float* aligned = reinterpret_cast<float*>(
                (reinterpret_cast<uintptr_t>(alignedStore.data()) + 15) & ~uintptr_t{15});

            memcpy(aligned, bitrev.data(), 8 * count);
            m.radixFwd(aligned, static_cast<int32_t>(count), rows, work, 1);
            EXPECT_TRUE(CloseInL2(aligned, want, n + 1)) << "radix kernel, mark 1";
            const std::vector<float> interleaved(aligned, aligned + 2 * count);

            memcpy(aligned, bitrev.data(), 8 * count);
            m.radixFwd(aligned, static_cast<int32_t>(count), rows, work, 0);
            std::vector<float> asSplit(2 * count);
            for (size_t j = 0; j < count; ++j) {
                asSplit[8 * (j / 4) + j % 4] = interleaved[2 * j];
                asSplit[8 * (j / 4) + 4 + j % 4] = interleaved[2 * j + 1];
            }
            EXPECT_EQ(0, memcmp(aligned, asSplit.data(), 8 * count)) << "split-4 blocks, mark 0";
            // Misaligned data goes through the work buffer with the same result,
            // the last stage writing it back in either form.
            const std::vector<float> split(aligned, aligned + 2 * count);
            memcpy(aligned + 1, bitrev.data(), 8 * count);
            m.radixFwd(aligned + 1, static_cast<int32_t>(count), rows, work, 1);
            EXPECT_EQ(0, memcmp(aligned + 1, interleaved.data(), 8 * count))
                << "misaligned radix kernel";
            memcpy(aligned + 1, bitrev.data(), 8 * count);
            m.radixFwd(aligned + 1, static_cast<int32_t>(count), rows, work, 0);
            EXPECT_EQ(0, memcmp(aligned + 1, split.data(), 8 * count))
                << "misaligned radix kernel, mark 0";

            std::vector<float> out(2 * count + 4);
            m.fusedFwd(x.data(), out.data() + 1, static_cast<int32_t>(count), rows, starts, work);
            EXPECT_EQ(0, memcmp(out.data() + 1, interleaved.data(), 8 * count))
                << "fused, misaligned dst";
            memcpy(aligned, x.data(), 8 * count);
            m.fusedFwd(aligned, aligned, static_cast<int32_t>(count), rows, starts, work);
            EXPECT_EQ(0, memcmp(aligned, interleaved.data(), 8 * count)) << "fused in place";

            m.fusedInv(aligned, aligned, static_cast<int32_t>(count), rows, starts, work);
            std::vector<long double> scaled(2 * count);
            for (size_t i = 0; i < 2 * count; ++i)
                scaled[i] = static_cast<long double>(x[i]) * count;
            EXPECT_TRUE(CloseInL2(aligned, scaled, 2 * n + 2)) << "inverse of the forward";
            sp_free(sine);
            sp_free(rows);
            sp_free(starts);
        }
    });
}

TEST(FftSimdKernels, SplitTablesHoldTheGenericValuesInBlocks) {
    ForEachMember([](const Member& m) {
        for (int32_t order : {4, 5, 8, 13}) {
            const int64_t quarter = (int64_t{1} << order) / 4;
            float* sine = sp_fft_sine_table(order);
            float* generic = sp_rfft_split_table(order, sine);
            float* mine = m.variant == sp_variant_sse    ? sp_rfft_split_table_sse(order, sine)
                          : m.variant == sp_variant_sse2 ? sp_rfft_split_table_sse2(order, sine)
                                                         : sp_rfft_split_table_sse3(order, sine);
            for (int64_t k = 1; k < quarter; ++k) {
                EXPECT_EQ(generic[2 * k], mine[8 * ((k - 1) / 4) + (k - 1) % 4]) << k;
                EXPECT_EQ(generic[2 * k + 1], mine[8 * ((k - 1) / 4) + 4 + (k - 1) % 4]) << k;
            }
            sp_free(sine);
            sp_free(generic);
            sp_free(mine);
        }
    });
}

TEST(FftSimdKernels, ConjugateProductMatchesTheGenericMember) {
    ForEachMember([](const Member& m) {
        for (int32_t n : {1, 2, 3, 4, 5, 6, 7, 16, 33, 1024}) {
            const std::vector<float> a = RandomSignal(n, n), b0 = RandomSignal(n, 1000 + n);
            std::vector<float> b = b0, g = b0;
            ASSERT_EQ(sp_status_ok, m.mulConj(a.data(), b.data(), n));
            ASSERT_EQ(sp_status_ok, sp_packed_spectrum_mul_conj(a.data(), g.data(), n));
            for (int32_t i = 0; i < n; ++i)
                EXPECT_NEAR(g[i], b[i], 1e-6) << "n " << n << " element " << i;
        }
        float one = 1.0f;
        EXPECT_EQ(sp_status_null_ptr, m.mulConj(nullptr, &one, 1));
        EXPECT_EQ(sp_status_null_ptr, m.mulConj(&one, nullptr, 1));
        EXPECT_EQ(sp_status_bad_size, m.mulConj(&one, &one, 0));
    });
}

}  // namespace
