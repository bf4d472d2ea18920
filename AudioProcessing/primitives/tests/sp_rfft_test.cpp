// Real FFT: plan life cycle and tables, forward and inverse against
// long-double references at every order that fits, round trips with every
// scaling flag, packed layout, work buffers and allocation failures.
//
// The transforms are listed per processor variant; a variant's plan
// is only ever used with that variant's transforms.
#include <float.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <complex>
#include <random>
#include <vector>

#include "TestAllocator.h"
#include "sp_fft.h"
#include "sp_reference.h"
#include "sp_test_support.h"

namespace {

using LComplex = std::complex<long double>;

// ---- Variants of the real FFT ------------------------------------------------------

struct RfftMembers {
    const char* name;
    sp_status (*init)(sp_rfft_spec**, int32_t, int32_t, int32_t);
    sp_status (*forward)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    sp_status (*inverse)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    sp_status (*release)(sp_rfft_spec*);
    int32_t largeFirst;  // first order on the large-order driver
};

const RfftMembers kRfftVariants[] = {
    {"Generic", sp_rfft_spec_init, sp_rfft_forward, sp_rfft_inverse, sp_rfft_spec_free, 12},
};

template <typename Fn>
void ForEachRfft(Fn fn) {
    for (const RfftMembers& v : kRfftVariants) {
        SCOPED_TRACE(v.name);
        fn(v);
    }
}

// Builds a plan or fails the test.
struct Spec {
    Spec(const RfftMembers& v, int32_t order, int32_t flag) : members(v) {
        EXPECT_EQ(sp_status_ok, v.init(&spec, order, flag, 0));
    }
    ~Spec() {
        if (spec != nullptr) {
            EXPECT_EQ(sp_status_ok, members.release(spec));
        }
    }
    const RfftMembers& members;
    sp_rfft_spec* spec = nullptr;
};

// ---- References ----------------------------------------------------------------------

// The references: the spectrum of a random signal in double, O(N log N), once
// per order (sptest::RandomSpectrum), and the impulse's in closed form.
using sptest::RandomSignal;

// The packed spectrum of a unit impulse at t0: X(k) = exp(-2 pi i t0 k / n),
// each angle reduced in integers first.
std::vector<double> ImpulsePacked(size_t n, size_t t0) {
    const double pi = 3.14159265358979323846;
    const auto at = [&](size_t k) { return 2 * pi * static_cast<double>((t0 * k) % n) / n; };
    std::vector<double> packed(n);
    packed[0] = 1.0;
    if (n == 1) return packed;
    for (size_t k = 1; k < n / 2; ++k) {
        packed[2 * k - 1] = cos(at(k));
        packed[2 * k] = -sin(at(k));
    }
    packed[n - 1] = cos(at(n / 2));
    return packed;
}

long double Norm(const std::vector<double>& v) {
    long double s = 0;
    for (long double x : v) s += x * x;
    return sqrtl(s);
}

using sptest::CloseInL2;

// ---- Plan -----------------------------------------------------------------

TEST(RfftSpec, StatusOrderAndFlagWords) {
    ForEachRfft([](const RfftMembers& v) {
        const uint64_t live = sptest::LiveBlocks();
        sp_rfft_spec* spec = reinterpret_cast<sp_rfft_spec*>(0x1234);
        EXPECT_EQ(sp_status_null_ptr, v.init(nullptr, 5, 2, 0));
        EXPECT_EQ(sp_status_fft_order, v.init(&spec, -1, 2, 0));
        EXPECT_EQ(sp_status_fft_order, v.init(&spec, 31, 2, 0));
        EXPECT_EQ(sp_status_fft_flag, v.init(&spec, 5, 3, 0));
        EXPECT_EQ(sp_status_fft_flag, v.init(&spec, 0, 0, 0));
        EXPECT_EQ(reinterpret_cast<sp_rfft_spec*>(0x1234), spec);
        EXPECT_EQ(live, sptest::LiveBlocks());

        struct Case {
            int32_t flag, fwd, inv;
            float factor;
        };
        const int32_t order = 6;
        const Case cases[] = {
            {1, 1, 0, 1.0f / 64}, {2, 0, 1, 1.0f / 64}, {4, 1, 1, 0.125f}, {8, 0, 0, 0.0f}};
        for (const Case& c : cases) {
            Spec s(v, order, c.flag);
            ASSERT_NE(nullptr, s.spec);
            EXPECT_EQ(SP_STATE_KIND_RFFT, s.spec->kind);
            EXPECT_EQ(order, s.spec->order);
            EXPECT_EQ(c.fwd, s.spec->fwdScale) << "flag " << c.flag;
            EXPECT_EQ(c.inv, s.spec->invScale) << "flag " << c.flag;
            EXPECT_EQ(c.factor, s.spec->factor) << "flag " << c.flag;
        }
        {
            Spec odd(v, 5, 4);
            EXPECT_EQ(static_cast<float>(1.0 / sqrt(32.0)), odd.spec->factor);
            Spec hinted(v, 4, 8);
            EXPECT_EQ(0, hinted.spec->hint);
        }
        sp_rfft_spec* h = nullptr;
        ASSERT_EQ(sp_status_ok, v.init(&h, 4, 8, 77));
        EXPECT_EQ(77, h->hint);
        EXPECT_EQ(sp_status_ok, v.release(h));
        EXPECT_EQ(live, sptest::LiveBlocks());
    });
}

TEST(RfftSpec, SmallOrdersHaveNoTables) {
    ForEachRfft([](const RfftMembers& v) {
        for (int32_t order = 0; order < 4; ++order) {
            zvtest::ResetAllocator();
            Spec s(v, order, 2);
            EXPECT_EQ(1u, zvtest::GetAllocatorCounts().allocations) << "only the object itself";
            EXPECT_EQ(0, s.spec->workSize);
            for (void* table : s.spec->tables) EXPECT_EQ(nullptr, table);
        }
    });
}

TEST(RfftSpec, GetSizeAndFreeCheckTheObject) {
    sp_rfft_spec* spec = nullptr;
    ASSERT_EQ(sp_status_ok, sp_rfft_spec_init(&spec, 14, 2, 0));
    int32_t size = -1;
    EXPECT_EQ(sp_status_null_ptr, sp_rfft_get_buf_size(nullptr, &size));
    EXPECT_EQ(sp_status_null_ptr, sp_rfft_get_buf_size(spec, nullptr));
    EXPECT_EQ(sp_status_ok, sp_rfft_get_buf_size(spec, &size));
    EXPECT_EQ(1040, size);
    spec->kind = 7;
    EXPECT_EQ(sp_status_wrong_state, sp_rfft_get_buf_size(spec, &size));
    EXPECT_EQ(sp_status_wrong_state, sp_rfft_spec_free(spec));
    spec->kind = SP_STATE_KIND_RFFT;
    EXPECT_EQ(sp_status_null_ptr, sp_rfft_spec_free(nullptr));
    EXPECT_EQ(sp_status_ok, sp_rfft_spec_free(spec));
    sp_fft_spec_release(nullptr);  // ignored
}

TEST(RfftSpec, GenericWorkSizes) {
    // Orders 4..30 from the level plan, without building anything.
    const int32_t want[31] = {0,    0,    0,     0,     0,     0,     0,     0,
                              0,    0,    0,     0,     16,    16,    1040,  2064,
                              4112, 8208, 8208,  8208,  32784, 32784, 32784, 32784,
                              8208, 8208, 32784, 32784, 32784, 32784, 32784};
    for (int32_t order = 12; order <= 30; ++order) {
        EXPECT_EQ(want[order], sp_fft_large_work_bytes(order - 1) + 16) << "order " << order;
    }
    // And as the built plans report them, up to order 24.
    for (int32_t order = 4; order <= 24; ++order) {
        sp_rfft_spec* spec = nullptr;
        ASSERT_EQ(sp_status_ok, sp_rfft_spec_init(&spec, order, 2, 0));
        int32_t size = -1;
        EXPECT_EQ(sp_status_ok, sp_rfft_get_buf_size(spec, &size));
        EXPECT_EQ(want[order], size) << "order " << order;
        EXPECT_EQ(sp_status_ok, sp_rfft_spec_free(spec));
    }
}

TEST(RfftSpec, AllocationFailureAtEveryStepLeaksNothing) {
    ForEachRfft([](const RfftMembers& v) {
        for (int32_t order : {4, 12, 14, 18, 20}) {
            SCOPED_TRACE(order);
            const uint64_t live = sptest::LiveBlocks();
            const uint64_t made = zvtest::ForEachAllocationFailure([&](uint64_t k) {
                sp_rfft_spec* spec = reinterpret_cast<sp_rfft_spec*>(0x5678);
                const sp_status status = v.init(&spec, order, 2, 0);
                if (zvtest::GetAllocatorCounts().failures != 0) {
                    EXPECT_EQ(sp_status_no_memory, status) << "allocation " << k;
                    EXPECT_EQ(reinterpret_cast<sp_rfft_spec*>(0x5678), spec);
                    EXPECT_EQ(live, sptest::LiveBlocks()) << "allocation " << k;
                } else {
                    ASSERT_EQ(sp_status_ok, status);
                    EXPECT_EQ(sp_status_ok, v.release(spec));
                }
            });
            EXPECT_GE(made, 5u);
            EXPECT_EQ(live, sptest::LiveBlocks());
        }
    });
}

TEST(RfftSpec, OrdersWhoseTablesCannotBeHadFailCleanly) {
    // Orders 29 and 30 need a level-0 block table of 2^31 or 2^32 bytes.
    for (int32_t order : {29, 30}) {
        const uint64_t live = sptest::LiveBlocks();
        zvtest::ResetAllocator();
        sp_rfft_spec* spec = nullptr;
        EXPECT_EQ(sp_status_no_memory, sp_rfft_spec_init(&spec, order, 2, 0)) << order;
        EXPECT_EQ(nullptr, spec);
        EXPECT_EQ(live, sptest::LiveBlocks());
        EXPECT_LE(zvtest::GetAllocatorCounts().allocations, 1u) << "fails before building tables";
    }
}

TEST(RfftTables, SineTableWithinOneUlp) {
    for (int32_t order : {2, 3, 4, 9, 16}) {
        float* s = sp_fft_sine_table(order);
        ASSERT_NE(nullptr, s);
        const int64_t n = int64_t{1} << order;
        const long double pi = acosl(-1.0L);
        for (int64_t i = 0; i <= n / 4; ++i) {
            const long double want = sinl(2 * pi * i / n);
            const float ulp = nextafterf(fabsf(static_cast<float>(want)), INFINITY) -
                              fabsf(static_cast<float>(want));
            EXPECT_LE(fabsl(s[i] - want), ulp) << "order " << order << " i " << i;
        }
        EXPECT_EQ(0.0f, s[0]);
        EXPECT_EQ(1.0f, s[n / 4]);
        sp_free(s);
    }
}

// The plans' sine table comes from the double functions only up to the order
// where every entry equals the extended construction's; past it, from the
// extended functions as before.
TEST(RfftTables, DoubleSineTableEqualsTheExtendedOneEntryForEntry) {
    for (int32_t order = 0; order <= SP_FFT_SINE_DOUBLE_MAX_ORDER + 1; ++order) {
        SCOPED_TRACE(order);
        float* fromDouble = sp_fft_sine_table_with(order, 0);
        float* extended = sp_fft_sine_table_with(order, 1);
        float* table = sp_fft_sine_table(order);
        ASSERT_TRUE(fromDouble != nullptr && extended != nullptr && table != nullptr);
        const int64_t entries = (int64_t{1} << order) / 4 + 1;
        if (order <= SP_FFT_SINE_DOUBLE_MAX_ORDER) {
            int64_t differ = 0;
            for (int64_t i = 0; i < entries; ++i)
                differ += memcmp(&fromDouble[i], &extended[i], sizeof(float)) != 0 ? 1 : 0;
            EXPECT_EQ(0, differ);
        }
        EXPECT_EQ(0, memcmp(table, extended, static_cast<size_t>(entries) * sizeof(float)));
        sp_free(fromDouble);
        sp_free(extended);
        sp_free(table);
    }
}

TEST(RfftTables, BitReverseTablesSwapPairForm) {
    const std::vector<std::vector<int32_t>> want = {
        {0, 4, 0},                                                         // 8 points
        {4, 8, 0, 12, 0},                                                  // 16
        {4, 16, 12, 24, 0, 28, 20, 8, 0},                                  // 32
        {4, 32, 8, 16, 12, 48, 20, 40, 28, 56, 44, 52, 0, 60, 36, 24, 0},  // 64
    };
    for (int32_t k = 3; k <= 6; ++k) {
        int32_t* t = sp_fft_bitrev_table(k);
        ASSERT_NE(nullptr, t);
        const std::vector<int32_t> got(t, t + want[k - 3].size());
        EXPECT_EQ(want[k - 3], got) << "order " << k;
        sp_free(t);
    }
}

// The generic member's reversal passes against the naive permutation, out of
// place and in place, at every count the transforms use up to 2^16 (both the
// pair tables of the small counts and the tiles of the large ones).
TEST(RfftKernels, BitReversalPassesMoveEveryPointToItsReversedPlace) {
    for (int32_t k = 3; k <= 16; ++k) {
        const int32_t count = 1 << k;
        int32_t* table = sp_fft_bitrev_table(k);
        ASSERT_NE(nullptr, table);
        std::vector<float> src(2 * static_cast<size_t>(count)), want(src.size());
        for (int32_t i = 0; i < count; ++i) {
            src[2 * i] = static_cast<float>(i);
            src[2 * i + 1] = static_cast<float>(-i);
            const uint32_t j = sp_fft_reverse_bits(static_cast<uint32_t>(i), k);
            want[2 * j] = src[2 * i];
            want[2 * j + 1] = src[2 * i + 1];
        }
        std::vector<float> copied(src.size(), 0.5f), inPlace(src);
        sp_fft_bitrev_copy(src.data(), copied.data(), count, table);
        sp_fft_bitrev_inplace(inPlace.data(), count, table);
        EXPECT_EQ(want, copied) << "count " << count;
        EXPECT_EQ(want, inPlace) << "count " << count;
        sp_free(table);
    }
}

TEST(RfftTables, SplitMergeAndTwiddleValues) {
    const int32_t order = 7;  // N = 128
    float* s = sp_fft_sine_table(order);
    float* split = sp_rfft_split_table(order, s);
    float* merge = sp_rfft_merge_table(order, s);
    float* radix = sp_fft_twiddles_radix4(5, s, order);
    float* quarter = sp_fft_twiddles_quarter(6, s, order);
    ASSERT_TRUE(s && split && merge && radix && quarter);
    const double pi = acos(-1.0);
    for (int k = 0; k < 32; ++k) {
        const double t = 2 * pi * k / 128;
        EXPECT_NEAR(0.5 * cos(t), split[2 * k], 1e-7);
        EXPECT_NEAR(0.5 - 0.5 * sin(t), split[2 * k + 1], 1e-7);
        EXPECT_NEAR(cos(t), merge[2 * k], 1e-7);
        EXPECT_NEAR(-sin(t), merge[2 * k + 1], 1e-7);
    }
    for (int j = 0; j <= 8; ++j) {  // order 5: 9 entries of w^j, w^2j, w^3j
        for (int p = 1; p <= 3; ++p) {
            EXPECT_NEAR(cos(2 * pi * p * j / 32), radix[6 * j + 2 * (p - 1)], 1e-7)
                << j << " " << p;
            EXPECT_NEAR(-sin(2 * pi * p * j / 32), radix[6 * j + 2 * (p - 1) + 1], 1e-7)
                << j << " " << p;
        }
    }
    for (int j = 0; j < 16; ++j) {
        EXPECT_NEAR(cos(2 * pi * j / 64), quarter[2 * j], 1e-7);
        EXPECT_NEAR(-sin(2 * pi * j / 64), quarter[2 * j + 1], 1e-7);
    }
    for (float* p : {s, split, merge, radix, quarter}) sp_free(p);
}

TEST(RfftTables, GenericLargePathWords) {
    struct Case {
        int32_t order;
        std::vector<int32_t> filled;  // words 7..18 that hold a table
    };
    const Case cases[] = {
        {12, {7, 8, 9, 11, 12}},               // m = 11: unsplit block path
        {14, {7, 8, 11, 12, 13, 16}},          // m = 13: one level, radix rows
        {17, {7, 8, 11, 12, 13, 16}},          // m = 16
        {23, {7, 8, 9, 11, 12, 13, 16}},       // m = 22: rows on the block path of order 12
        {24, {7, 8, 11, 12, 13, 14, 16, 17}},  // m = 23: two levels
    };
    for (const Case& c : cases) {
        sp_rfft_spec* spec = nullptr;
        ASSERT_EQ(sp_status_ok, sp_rfft_spec_init(&spec, c.order, 2, 0));
        for (int32_t word = 7; word < 19; ++word) {
            const bool want = std::find(c.filled.begin(), c.filled.end(), word) != c.filled.end();
            EXPECT_EQ(want, sp_rfft_table(spec, word) != nullptr)
                << "order " << c.order << " word " << word;
        }
        EXPECT_EQ(sp_status_ok, sp_rfft_spec_free(spec));
    }
}

// ---- Transforms against the references --------------------------------------------

TEST(RfftForward, MatchesReferenceAtEveryOrder) {
    ForEachRfft([](const RfftMembers& v) {
        for (int32_t order = 0; order <= 20; ++order) {
            SCOPED_TRACE(order);
            const size_t n = size_t{1} << order;
            Spec s(v, order, 8);
            ASSERT_NE(nullptr, s.spec);
            const size_t at = n > 2 ? 3 : 0;
            std::vector<float> impulse(n, 0.0f);
            impulse[at] = 1.0f;
            const std::vector<double> impulseWant = ImpulsePacked(n, at);
            const sptest::SpectrumCase& random = sptest::RandomSpectrum(order);
            for (int kind = 0; kind < 2; ++kind) {
                const std::vector<float>& x = kind == 0 ? random.signal : impulse;
                const std::vector<double>& want = kind == 0 ? random.packed : impulseWant;
                std::vector<float> got(n, NAN);
                ASSERT_EQ(sp_status_ok, v.forward(x.data(), got.data(), s.spec, nullptr));
                EXPECT_TRUE(CloseInL2(got.data(), want, order));
                // Layout spot checks: X0 first, X(N/2) last, bin N/4 where it belongs.
                const long double tol = 4 * (order + 1) * FLT_EPSILON * Norm(want) + 1e-6L;
                EXPECT_NEAR(static_cast<double>(want[0]), got[0], static_cast<double>(tol));
                EXPECT_NEAR(static_cast<double>(want[n - 1]), got[n - 1], static_cast<double>(tol));
                if (n >= 8) {
                    EXPECT_NEAR(static_cast<double>(want[n / 2 - 1]), got[n / 2 - 1],
                                static_cast<double>(tol))
                        << "Re X(N/4)";
                    EXPECT_NEAR(static_cast<double>(want[n / 2]), got[n / 2],
                                static_cast<double>(tol))
                        << "Im X(N/4)";
                }
            }
        }
    });
}

TEST(RfftInverse, MatchesReferenceAtEveryOrder) {
    ForEachRfft([](const RfftMembers& v) {
        for (int32_t order = 0; order <= 20; ++order) {
            SCOPED_TRACE(order);
            const size_t n = size_t{1} << order;
            Spec s(v, order, 8);
            // A spectrum of a random real signal, so that the result is real.
            const std::vector<float>& x = sptest::RandomSpectrum(order).signal;
            const std::vector<double>& packed = sptest::RandomSpectrum(order).packed;
            std::vector<float> spectrum(packed.begin(), packed.end());
            std::vector<long double> want(n);
            for (size_t i = 0; i < n; ++i) want[i] = static_cast<long double>(x[i]) * n;
            std::vector<float> got(n, NAN);
            ASSERT_EQ(sp_status_ok, v.inverse(spectrum.data(), got.data(), s.spec, nullptr));
            EXPECT_TRUE(CloseInL2(got.data(), want, order + 1));
        }
    });
}

TEST(Rfft, RoundTripWithEveryFlag) {
    ForEachRfft([](const RfftMembers& v) {
        for (int32_t order = 0; order <= 20; ++order) {
            SCOPED_TRACE(order);
            const size_t n = size_t{1} << order;
            const std::vector<float> x = RandomSignal(n, 500 + order);
            struct Flag {
                int32_t flag;
                long double gain;
            };
            for (const Flag f :
                 {Flag{2, 1.0L}, Flag{4, 1.0L}, Flag{8, static_cast<long double>(n)}}) {
                Spec s(v, order, f.flag);
                std::vector<float> y(x);
                ASSERT_EQ(sp_status_ok, v.forward(y.data(), y.data(), s.spec, nullptr));
                ASSERT_EQ(sp_status_ok, v.inverse(y.data(), y.data(), s.spec, nullptr));
                std::vector<long double> want(n);
                for (size_t i = 0; i < n; ++i) want[i] = x[i] * f.gain;
                EXPECT_TRUE(CloseInL2(y.data(), want, order + 2)) << "flag " << f.flag;
            }
            if (order <= 14) {  // flag 1 scales the forward result by 1/N
                Spec s1(v, order, 1), s8(v, order, 8);
                std::vector<float> a(n), b(n);
                ASSERT_EQ(sp_status_ok, v.forward(x.data(), a.data(), s1.spec, nullptr));
                ASSERT_EQ(sp_status_ok, v.forward(x.data(), b.data(), s8.spec, nullptr));
                std::vector<long double> want(n);
                for (size_t i = 0; i < n; ++i) want[i] = static_cast<long double>(b[i]) / n;
                EXPECT_TRUE(CloseInL2(a.data(), want, 1));
            }
        }
    });
}

// Order 22: level rows on the 2048-point block path.  Order 23 (rows on the
// 4096-point path), order 22's round trips and the two-level order 24 run
// with the long sweeps.
TEST(RfftForward, LargeOrdersAgainstADoubleReference) {
    ForEachRfft([](const RfftMembers& v) {
        const int32_t order = 22;
        const size_t n = size_t{1} << order;
        Spec s(v, order, 8);
        const std::vector<float> x = RandomSignal(n, 2100 + order);
        // In double: far more accurate than f32 and fast enough at this size.
        const std::vector<double> want = sptest::PackedSpectrum<double>(x);
        std::vector<float> got(n);
        ASSERT_EQ(sp_status_ok, v.forward(x.data(), got.data(), s.spec, nullptr));
        EXPECT_TRUE(CloseInL2(got.data(), want, order));
    });
}

TEST(Rfft, InPlaceAndMisalignedEqualOutOfPlace) {
    ForEachRfft([](const RfftMembers& v) {
        for (int32_t order : {0, 1, 2, 3, 4, 5, 10, 11, 12, 13, 14, 15}) {
            SCOPED_TRACE(order);
            const size_t n = size_t{1} << order;
            Spec s(v, order, 4);
            const std::vector<float> x = RandomSignal(n, 700 + order);
            std::vector<float> out(n), inPlace(x), shifted(n + 1);
            ASSERT_EQ(sp_status_ok, v.forward(x.data(), out.data(), s.spec, nullptr));
            ASSERT_EQ(sp_status_ok, v.forward(inPlace.data(), inPlace.data(), s.spec, nullptr));
            ASSERT_EQ(sp_status_ok, v.forward(x.data(), shifted.data() + 1, s.spec, nullptr));
            EXPECT_EQ(0, memcmp(out.data(), inPlace.data(), n * 4));
            EXPECT_EQ(0, memcmp(out.data(), shifted.data() + 1, n * 4));
            std::vector<float> back(n), backInPlace(out), backShifted(n + 1);
            ASSERT_EQ(sp_status_ok, v.inverse(out.data(), back.data(), s.spec, nullptr));
            ASSERT_EQ(sp_status_ok,
                      v.inverse(backInPlace.data(), backInPlace.data(), s.spec, nullptr));
            ASSERT_EQ(sp_status_ok, v.inverse(out.data(), backShifted.data() + 1, s.spec, nullptr));
            EXPECT_EQ(0, memcmp(back.data(), backInPlace.data(), n * 4));
            EXPECT_EQ(0, memcmp(back.data(), backShifted.data() + 1, n * 4));
        }
    });
}

TEST(Rfft, BinQuarterIsTheConjugateOfTheMiddleComplexPoint) {
    // Bin N/4 is the split's self-partnered middle bin: it must be touched once.
    for (int32_t order : {4, 5, 8, 12, 14}) {
        const size_t n = size_t{1} << order;
        Spec s(kRfftVariants[0], order, 8);
        std::vector<float> x = RandomSignal(n, 900 + order);
        std::vector<LComplex> z(n / 2);
        for (size_t j = 0; j < n / 2; ++j) z[j] = LComplex(x[2 * j], x[2 * j + 1]);
        sptest::RadixTwoFft(z, -1);
        std::vector<float> y(n);
        ASSERT_EQ(sp_status_ok, sp_rfft_forward(x.data(), y.data(), s.spec, nullptr));
        EXPECT_NEAR(static_cast<double>(z[n / 4].real()), y[n / 2 - 1], 1e-4 * order);
        EXPECT_NEAR(static_cast<double>(-z[n / 4].imag()), y[n / 2], 1e-4 * order);
        // In place, the inverse gives the input back around that bin as well.
        ASSERT_EQ(sp_status_ok, sp_rfft_inverse(y.data(), y.data(), s.spec, nullptr));
        for (size_t i = 0; i < n; ++i)
            ASSERT_NEAR(x[i] * static_cast<double>(n), y[i], 1e-4 * n) << i;
    }
}

TEST(Rfft, CodeletsOfOrdersZeroToThree) {
    Spec s0(kRfftVariants[0], 0, 8), s1(kRfftVariants[0], 1, 8), s2(kRfftVariants[0], 2, 8);
    float one[1] = {3.5f};
    float out1[1];
    ASSERT_EQ(sp_status_ok, sp_rfft_forward(one, out1, s0.spec, nullptr));
    EXPECT_EQ(3.5f, out1[0]);
    float two[2] = {3.0f, 5.0f};
    ASSERT_EQ(sp_status_ok, sp_rfft_forward(two, two, s1.spec, nullptr));
    EXPECT_EQ(8.0f, two[0]);
    EXPECT_EQ(-2.0f, two[1]);
    const float four[4] = {1.0f, 2.0f, 4.0f, 8.0f};
    float packed[4];
    ASSERT_EQ(sp_status_ok, sp_rfft_forward(four, packed, s2.spec, nullptr));
    // (x0+x1+x2+x3, x0-x2, x3-x1, x0-x1+x2-x3)
    EXPECT_EQ(15.0f, packed[0]);
    EXPECT_EQ(-3.0f, packed[1]);
    EXPECT_EQ(6.0f, packed[2]);
    EXPECT_EQ(-5.0f, packed[3]);
    float back[4];
    ASSERT_EQ(sp_status_ok, sp_rfft_inverse(packed, back, s2.spec, nullptr));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(4 * four[i], back[i]);
    // The internal order puts X(N/2) second.
    float perm[4];
    ASSERT_EQ(sp_status_ok, sp_rfft_forward_perm(four, perm, s2.spec, nullptr));
    EXPECT_EQ(15.0f, perm[0]);
    EXPECT_EQ(-5.0f, perm[1]);
    EXPECT_EQ(-3.0f, perm[2]);
    EXPECT_EQ(6.0f, perm[3]);
    ASSERT_EQ(sp_status_ok, sp_rfft_inverse_perm(perm, perm, s2.spec, nullptr));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(4 * four[i], perm[i]);
    // Scaled forms: flag 1 on the forward codelets, flag 2 on the inverse.
    Spec f1(kRfftVariants[0], 2, 1), f2(kRfftVariants[0], 0, 2);
    ASSERT_EQ(sp_status_ok, sp_rfft_forward(four, packed, f1.spec, nullptr));
    EXPECT_EQ(15.0f / 4, packed[0]);
    EXPECT_EQ(-5.0f / 4, packed[3]);
    float single[1] = {6.0f};
    ASSERT_EQ(sp_status_ok, sp_rfft_inverse(single, single, f2.spec, nullptr));
    EXPECT_EQ(6.0f, single[0]);
}

TEST(Rfft, PermOrderIsThePackedSpectrumWithNyquistSecond) {
    for (int32_t order : {3, 4, 9, 13}) {
        const size_t n = size_t{1} << order;
        Spec s(kRfftVariants[0], order, 2);
        const std::vector<float> x = RandomSignal(n, 40 + order);
        std::vector<float> packed(n), perm(n);
        ASSERT_EQ(sp_status_ok, sp_rfft_forward(x.data(), packed.data(), s.spec, nullptr));
        ASSERT_EQ(sp_status_ok, sp_rfft_forward_perm(x.data(), perm.data(), s.spec, nullptr));
        EXPECT_EQ(packed[0], perm[0]);
        EXPECT_EQ(packed[n - 1], perm[1]);
        EXPECT_EQ(0, memcmp(packed.data() + 1, perm.data() + 2, (n - 2) * 4));
        std::vector<float> back(n);
        ASSERT_EQ(sp_status_ok, sp_rfft_inverse_perm(perm.data(), back.data(), s.spec, nullptr));
        for (size_t i = 0; i < n; ++i) ASSERT_NEAR(x[i], back[i], 1e-5) << i;
    }
}

// ---- Work buffers, allocation and argument checks -------------------------------------

TEST(Rfft, CallerWorkBufferAtEveryOffset) {
    for (int32_t order : {12, 14, 16}) {
        SCOPED_TRACE(order);
        const size_t n = size_t{1} << order;
        Spec s(kRfftVariants[0], order, 2);
        int32_t size = 0;
        ASSERT_EQ(sp_status_ok, sp_rfft_get_buf_size(s.spec, &size));
        const std::vector<float> x = RandomSignal(n, 60 + order);
        std::vector<float> want(n), wantBack(n);
        ASSERT_EQ(sp_status_ok, sp_rfft_forward(x.data(), want.data(), s.spec, nullptr));
        ASSERT_EQ(sp_status_ok, sp_rfft_inverse(want.data(), wantBack.data(), s.spec, nullptr));
        for (size_t offset = 0; offset < 16; ++offset) {
            // Exactly word-6 bytes, against a guard page at either end.
            for (bool atEnd : {false, true}) {
                sptest::GuardedBuffer work = atEnd ? sptest::GuardedBuffer::AtEnd(size)
                                                   : sptest::GuardedBuffer::AtFront(size, offset);
                if (atEnd && offset != 0) continue;
                zvtest::ResetAllocator();
                std::vector<float> got(n), back(n);
                ASSERT_EQ(sp_status_ok, sp_rfft_forward(x.data(), got.data(), s.spec, work.Data()));
                ASSERT_EQ(sp_status_ok,
                          sp_rfft_inverse(got.data(), back.data(), s.spec, work.Data()));
                EXPECT_EQ(0u, zvtest::GetAllocatorCounts().allocations) << "offset " << offset;
                EXPECT_EQ(0, memcmp(want.data(), got.data(), n * 4)) << "offset " << offset;
                EXPECT_EQ(0, memcmp(wantBack.data(), back.data(), n * 4)) << "offset " << offset;
            }
        }
    }
}

TEST(Rfft, OwnWorkBufferIsCountedFreedAndMayFail) {
    for (int32_t order : {4, 11, 12, 14}) {
        SCOPED_TRACE(order);
        const size_t n = size_t{1} << order;
        Spec s(kRfftVariants[0], order, 2);
        const std::vector<float> x = RandomSignal(n, 80 + order);
        std::vector<float> y(n, 7.0f);
        const uint64_t live = sptest::LiveBlocks();
        zvtest::ResetAllocator();
        ASSERT_EQ(sp_status_ok, sp_rfft_forward(x.data(), y.data(), s.spec, nullptr));
        const uint64_t perCall = zvtest::GetAllocatorCounts().allocations;
        EXPECT_EQ(s.spec->workSize > 0 ? 1u : 0u, perCall);
        EXPECT_EQ(live, sptest::LiveBlocks());
        if (perCall == 0) continue;
        for (int dir = 0; dir < 2; ++dir) {
            std::vector<float> dst(n, 7.0f);
            zvtest::ResetAllocator();
            zvtest::FailAllocationAfter(1);
            const sp_status status = dir == 0
                                         ? sp_rfft_forward(x.data(), dst.data(), s.spec, nullptr)
                                         : sp_rfft_inverse(x.data(), dst.data(), s.spec, nullptr);
            zvtest::FailAllocationAfter(0);
            EXPECT_EQ(sp_status_no_memory, status);
            for (float f : dst) ASSERT_EQ(7.0f, f) << "dst untouched";
            EXPECT_EQ(live, sptest::LiveBlocks());
        }
    }
}

TEST(Rfft, ArgumentChecksInOrder) {
    Spec s(kRfftVariants[0], 5, 2);
    float a[32] = {}, b[32] = {};
    for (auto fn : {sp_rfft_forward, sp_rfft_inverse, sp_rfft_forward_perm, sp_rfft_inverse_perm}) {
        EXPECT_EQ(sp_status_null_ptr, fn(a, b, nullptr, nullptr));
        s.spec->kind = 7;
        EXPECT_EQ(sp_status_wrong_state, fn(nullptr, b, s.spec, nullptr)) << "kind before src";
        EXPECT_EQ(sp_status_wrong_state, fn(a, nullptr, s.spec, nullptr));
        s.spec->kind = SP_STATE_KIND_RFFT;
        EXPECT_EQ(sp_status_null_ptr, fn(nullptr, b, s.spec, nullptr));
        EXPECT_EQ(sp_status_null_ptr, fn(a, nullptr, s.spec, nullptr));
        EXPECT_EQ(sp_status_ok, fn(a, b, s.spec, nullptr));
    }
}

// ---- Kernels ----------------------------------------------------------------------

TEST(RfftKernels, RadixPassesAgainstTheDft) {
    for (int32_t m = 3; m <= 10; ++m) {
        SCOPED_TRACE(m);
        const int32_t count = 1 << m;
        float* sine = sp_fft_sine_table(m);
        float* tw = sp_fft_twiddles_radix4(m, sine, m);
        int32_t* rev = sp_fft_bitrev_table(m);
        ASSERT_TRUE(sine && tw && rev);
        const std::vector<float> x = RandomSignal(2 * count, 1000 + m);
        for (int sign : {-1, 1}) {
            std::vector<float> data(2 * count);
            sp_fft_bitrev_copy(x.data(), data.data(), count, rev);
            // The in-place reversal gives the same order.
            std::vector<float> again(x);
            sp_fft_bitrev_inplace(again.data(), count, rev);
            ASSERT_EQ(0, memcmp(data.data(), again.data(), data.size() * 4));
            const std::vector<float> reversed(data);
            if (sign < 0)
                sp_fft_radix_fwd(data.data(), count, tw);
            else
                sp_fft_radix_inv(data.data(), count, tw);
            // Scaling inside the passes gives the scaling pass's values, bit
            // for bit; a null factor the unscaled ones.
            for (const float factor : {1.0f / static_cast<float>(count), 0.3f, 0.0f}) {
                std::vector<float> want(data), got(reversed);
                if (factor != 0.0f) sp_fft_scale_f32(factor, want.data(), 2 * count);
                sp_fft_radix_scaled(got.data(), count, tw, sign > 0 ? -1 : 1,
                                    factor != 0.0f ? &factor : nullptr);
                ASSERT_EQ(0, memcmp(want.data(), got.data(), want.size() * 4)) << factor;
            }
            std::vector<LComplex> want(count);
            for (int32_t j = 0; j < count; ++j) want[j] = LComplex(x[2 * j], x[2 * j + 1]);
            sptest::RadixTwoFft(want, sign);
            std::vector<long double> flat(2 * count);
            for (int32_t j = 0; j < count; ++j) {
                flat[2 * j] = want[j].real();
                flat[2 * j + 1] = want[j].imag();
            }
            EXPECT_TRUE(CloseInL2(data.data(), flat, m)) << "sign " << sign;
        }
        for (void* p : {static_cast<void*>(sine), static_cast<void*>(tw), static_cast<void*>(rev)})
            sp_free(p);
    }
}

TEST(RfftKernels, ConjugateProductOfPackedSpectra) {
    for (int32_t n : {1, 2, 3, 8, 9, 64}) {
        SCOPED_TRACE(n);
        const std::vector<float> a = RandomSignal(n, 11 + n), b = RandomSignal(n, 99 + n);
        std::vector<float> c(b);
        ASSERT_EQ(sp_status_ok, sp_packed_spectrum_mul_conj(a.data(), c.data(), n));
        EXPECT_FLOAT_EQ(a[0] * b[0], c[0]);
        int32_t last = n - 1;
        if (n % 2 == 0) {
            EXPECT_FLOAT_EQ(a[n - 1] * b[n - 1], c[n - 1]);
            last = n - 2;
        }
        for (int32_t i = 1; i + 1 <= last; i += 2) {
            const std::complex<double> x(a[i], a[i + 1]), y(b[i], b[i + 1]);
            const std::complex<double> want = x * std::conj(y);
            EXPECT_NEAR(want.real(), c[i], 1e-6);
            EXPECT_NEAR(want.imag(), c[i + 1], 1e-6);
        }
    }
    float a[2] = {1, 2}, b[2] = {3, 4};
    EXPECT_EQ(sp_status_null_ptr, sp_packed_spectrum_mul_conj(nullptr, b, 0));
    EXPECT_EQ(sp_status_null_ptr, sp_packed_spectrum_mul_conj(a, nullptr, 2));
    EXPECT_EQ(sp_status_bad_size, sp_packed_spectrum_mul_conj(a, b, 0));
    EXPECT_EQ(3.0f, b[0]);
}

}  // namespace
