// The floating-point vector routines in every member against plain loops:
// every length class, byte offsets on and off the element grid, special
// values, statuses, and the floating-point control state.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "sp_ref_float.h"
#include "sp_test_support.h"
#include "sp_vector_f32_internal.h"

namespace {

using sptest::GuardedBuffer;
using F64s = std::vector<double>;

// Random doubles with the special values mixed in: signed zeros, infinities,
// denormals, NaN, values near the ends of the range.
F64s SpecialF64(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> d(-1e6, 1e6);
    const double specials[] = {0.0,
                               -0.0,
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               4.9e-324,
                               -2.2e-308,
                               std::numeric_limits<double>::quiet_NaN(),
                               1.7e308,
                               -1e300,
                               16777217.0};
    F64s x(n);
    for (size_t i = 0; i < n; ++i) x[i] = (i % 5 == 3) ? specials[(i / 5) % 10] : d(rng);
    return x;
}

bool SameBits(const F64s& a, const F64s& b) {
    return a.size() == b.size() && memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

class MulConstF64 : public sptest::VariantTest {
protected:
    void TearDown() override { EXPECT_EQ(sptest::LiveBlocks(), 0u); }
    sp_status Call(double val, double* p, int32_t n) const {
        static constexpr sp_status (*kMembers[4])(double, double*, int32_t) = {
            sp_mul_const_f64_inplace, sp_mul_const_f64_inplace_sse, sp_mul_const_f64_inplace_sse2,
            sp_mul_const_f64_inplace_sse3};
        return kMembers[Variant()](val, p, n);
    }
    // Runs the member on x placed `offset` bytes after a guard page (and again
    // against a guard page behind it) and returns what it left there.
    F64s Run(double val, const F64s& x, size_t offset, sp_status want = sp_status_ok) const {
        const size_t bytes = x.size() * sizeof(double);
        F64s out(x.size());
        for (bool front : {true, false}) {
            GuardedBuffer buf =
                front ? GuardedBuffer::AtFront(bytes, offset) : GuardedBuffer::AtEnd(bytes);
            memcpy(buf.Data(), x.data(), bytes);
            EXPECT_EQ(want, Call(val, buf.As<double>(), static_cast<int32_t>(x.size())));
            F64s got(x.size());
            memcpy(got.data(), buf.Data(), bytes);
            if (!front) {
                EXPECT_TRUE(SameBits(got, out)) << "placements differ";
            }
            out = got;
        }
        return out;
    }
};

TEST_P(MulConstF64, EqualsAPlainLoopAtEveryOffset) {
    std::vector<int32_t> lengths;
    for (int32_t n = 1; n <= 20; ++n) lengths.push_back(n);
    lengths.push_back(131077);  // past both prefetch thresholds
    for (int32_t n : lengths) {
        for (size_t offset : {0, 4, 8, 12}) {
            for (double val :
                 {2.5, -3.75, 16384.0, 1e-300, 0.1, std::numeric_limits<double>::infinity()}) {
                SCOPED_TRACE(testing::Message()
                             << "n " << n << " offset " << offset << " val " << val);
                const F64s x = SpecialF64(n, n * 31 + static_cast<uint32_t>(offset));
                F64s want = x;
                for (double& v : want) v *= val;
                ASSERT_TRUE(SameBits(Run(val, x, offset), want));
            }
        }
    }
}

TEST_P(MulConstF64, OneAndNanLeaveTheDataZeroFills) {
    const F64s x = SpecialF64(37, 5);
    EXPECT_TRUE(SameBits(Run(1.0, x, 4), x));
    EXPECT_TRUE(SameBits(Run(std::numeric_limits<double>::quiet_NaN(), x, 8), x));
    // Zero fills rather than multiplies: NaN, infinities and negatives become +0.
    EXPECT_TRUE(SameBits(Run(0.0, x, 0), F64s(37, 0.0)));
    EXPECT_TRUE(SameBits(Run(-0.0, x, 8), F64s(37, 0.0)));
    // 16384 is exact for every finite value that stays finite.
    const F64s y = SpecialF64(64, 6);
    const F64s scaled = Run(16384.0, y, 0);
    for (size_t i = 0; i < y.size(); ++i)
        if (isfinite(scaled[i])) {
            EXPECT_EQ(ldexp(scaled[i], -14), y[i]) << i;
        }
}

TEST_P(MulConstF64, Statuses) {
    double x[2] = {3.0, 4.0};
    EXPECT_EQ(sp_status_null_ptr, Call(2.0, nullptr, 2));
    EXPECT_EQ(sp_status_null_ptr, Call(0.0, nullptr, 0));
    EXPECT_EQ(sp_status_bad_size, Call(2.0, x, 0));
    EXPECT_EQ(sp_status_bad_size, Call(0.0, x, -1));
    EXPECT_EQ(x[0], 3.0);
    EXPECT_EQ(x[1], 4.0);
    EXPECT_TRUE(sptest::KeepsFpControl([&] { Call(3.0, x, 2); }));
    EXPECT_TRUE(sptest::KeepsFpControl([&] { Call(0.0, x, 2); }));
}

SP_INSTANTIATE_VARIANTS(MulConstF64);

// ---- The f32 rows --------------------------------------------------------------------

using sptest::F32s;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::vector<int32_t> Lengths() {
    if (kSanitized) return {1, 3, 4, 9, 11, 16, 17, 33, 35, 1000, 5000};
    return {1, 2, 3, 4, 7, 8, 9, 10, 11, 15, 16, 17, 31, 32, 33, 34, 35, 64, 1000, 5000, 40000};
}
std::vector<size_t> Offsets(int32_t len) {
    if (kSanitized || len >= 5000) return {0, 1, 4, 8, 12};
    std::vector<size_t> all;
    for (size_t o = 0; o < 16; ++o) all.push_back(o);
    return all;
}

uint32_t Bits(float f) {
    uint32_t b;
    memcpy(&b, &f, sizeof b);
    return b;
}
bool SameF32(float a, float b) {
    return Bits(a) == Bits(b) || (isnan(a) && isnan(b));
}

// An array of T at a byte offset after a guard page, or against one behind it.
template <class T>
class Array {
public:
    Array(size_t n, size_t offset, bool front)
        : n_(n),
          buf_(front ? GuardedBuffer::AtFront(n * sizeof(T), offset)
                     : GuardedBuffer::AtEnd(n * sizeof(T))) {}
    T* p() const { return buf_.As<T>(); }
    void Set(const std::vector<T>& x) { memcpy(buf_.Data(), x.data(), n_ * sizeof(T)); }
    std::vector<T> Get() const {
        std::vector<T> x(n_);
        memcpy(x.data(), buf_.Data(), n_ * sizeof(T));
        return x;
    }

private:
    size_t n_;
    GuardedBuffer buf_;
};

// Runs fn(len, offset, front, seed) over the table of lengths and offsets,
// both placements.
template <class Fn>
void ForEachCase(Fn fn) {
    for (int32_t len : Lengths()) {
        for (size_t off : Offsets(len)) {
            for (bool front : {true, false}) {
                if (!front && off != 0) continue;
                SCOPED_TRACE(testing::Message() << "len " << len << " offset " << off
                                                << (front ? " after a guard" : " before a guard"));
                fn(len, off, front, static_cast<uint32_t>(len * 16 + off));
                if (testing::Test::HasFatalFailure()) return;
            }
        }
    }
}

class VectorF32 : public sptest::VariantTest {
protected:
    void TearDown() override { EXPECT_EQ(sptest::LiveBlocks(), 0u); }
    bool Generic() const { return Variant() == sp_variant_generic; }
};

TEST_P(VectorF32, ElementWiseRowsEqualPlainLoops) {
    ForEachCase([&](int32_t len, size_t off, bool front, uint32_t seed) {
        const F32s x = sptest::RandomF32(len, -1e3f, 1e3f, true, false, seed);
        Array<float> a(len, off, front);
        // Constant multiply: each product rounded once.
        for (float val : {0.75f, -3.1f, 1e-30f}) {
            a.Set(x);
            ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_mul_const_f32_inplace>()(val, a.p(), len));
            const F32s got = a.Get();
            for (int32_t i = 0; i < len; ++i) ASSERT_TRUE(SameF32(got[i], x[i] * val)) << i;
        }
        // Absolute value: the sign bit cleared, NaN payloads kept.
        a.Set(x);
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_abs_f32_inplace>()(a.p(), len));
        const F32s absGot = a.Get();
        for (int32_t i = 0; i < len; ++i) ASSERT_EQ(Bits(absGot[i]), Bits(x[i]) & 0x7FFFFFFFu) << i;
        // 16-bit products.
        const std::vector<int16_t> s1 = sptest::RandomI16(len, seed),
                                   s2 = sptest::RandomI16(len, seed + 1);
        Array<int16_t> b1(len, off, front), b2(len, (off + 5) % 16, front);
        b1.Set(s1);
        b2.Set(s2);
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_mul_i16_to_f32>()(b1.p(), b2.p(), a.p(), len));
        const F32s prod = a.Get();
        for (int32_t i = 0; i < len; ++i)
            ASSERT_EQ(prod[i], static_cast<float>(int32_t{s1[i]} * s2[i])) << i;
        // Division: no zero divisors here (they are their own case below).
        F32s d = sptest::RandomF32(len, 0.5f, 4.0f, false, false, seed + 2);
        for (int32_t i = 0; i < len; i += 3) d[i] = -d[i] * 1e-20f;
        Array<float> dv(len, (off + 8) % 16, front), out(len, 0, !front);
        dv.Set(d);
        a.Set(x);
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_div_f32>()(dv.p(), a.p(), out.p(), len));
        const F32s q = out.Get();
        for (int32_t i = 0; i < len; ++i) {
            const float want = x[i] / d[i];
            if (Generic()) {
                ASSERT_TRUE(SameF32(q[i], want)) << i;
            } else {
                // The refinement's roundings (q0, d r, the last product) add
                // up to two units in the last place.
                ASSERT_LE(sptest::UlpDistance(q[i], want), 2) << i << ": " << x[i] << " / " << d[i];
            }
        }
    });
}

TEST_P(VectorF32, ExtremesAndSortEqualTheStandardLibrary) {
    ForEachCase([&](int32_t len, size_t off, bool front, uint32_t seed) {
        F32s x = sptest::RandomF32(len, -1e3f, 1e3f, true, true, seed);
        if (len > 8) x[len / 2] = x[len / 3];  // a repeated value
        Array<float> a(len, off, front);
        a.Set(x);
        const auto maxAt = std::max_element(x.begin(), x.end()) - x.begin();
        const auto minAt = std::min_element(x.begin(), x.end()) - x.begin();
        float v = -1;
        int32_t at = -1;
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_max_f32>()(a.p(), len, &v));
        ASSERT_EQ(Bits(v), Bits(x[maxAt]));
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_min_f32>()(a.p(), len, &v));
        ASSERT_EQ(Bits(v), Bits(x[minAt]));
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_max_index_f32>()(a.p(), len, &v, &at));
        ASSERT_EQ(at, maxAt);
        ASSERT_EQ(Bits(v), Bits(x[maxAt]));
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_min_index_f32>()(a.p(), len, &v, &at));
        ASSERT_EQ(at, minAt);
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_min_index_f32>()(a.p(), len, &v, nullptr));
        ASSERT_EQ(Bits(v), Bits(x[minAt]));
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_sort_ascend_f32_inplace>()(a.p(), len));
        std::sort(x.begin(), x.end());
        ASSERT_EQ(a.Get(), x);
    });
}

// Sums of one sign against long double: within one f32 step for the generic
// member and the accurate kernels; the fast kernel within len 2^-24 sum|x|.
TEST_P(VectorF32, SumsMeansAndDeviationsAgainstLongDouble) {
    ForEachCase([&](int32_t len, size_t off, bool front, uint32_t seed) {
        const F32s x = sptest::RandomF32(len, 1.0f, 2.0f, false, false, seed);
        const F32s centred = sptest::RandomF32(len, -1.0f, 1.0f, false, false, seed + 1);
        Array<float> a(len, off, front), c(len, off, front);
        a.Set(x);
        c.Set(centred);
        for (int32_t hint : {0, 1, 2}) {
            SCOPED_TRACE(hint);
            const bool fast = hint == 1 && !Generic();
            float sum = 0, mean = 0, dev = 0;
            ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_sum_f32>()(a.p(), len, &sum, hint));
            ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_mean_f32>()(a.p(), len, &mean, hint));
            const long double ref = sptest::SumRef(x);
            if (fast) {
                const double bound = len * 0x1p-24 * static_cast<double>(sptest::AbsSumRef(x));
                ASSERT_NEAR(sum, static_cast<double>(ref), bound);
                ASSERT_NEAR(mean, static_cast<double>(ref / len), bound / len);
            } else {
                ASSERT_LE(sptest::UlpDistance(sum, static_cast<float>(ref)), 1);
                ASSERT_LE(sptest::UlpDistance(mean, static_cast<float>(ref / len)), 1);
            }
            if (len < 2) continue;
            for (const auto* data : {&a, &c}) {
                const F32s& v = data == &a ? x : centred;
                ASSERT_EQ(sp_status_ok,
                          Member<sp_entry_sp_stddev_f32>()(data->p(), len, &dev, hint));
                const double want = static_cast<double>(sptest::StddevRef(v));
                ASSERT_NEAR(dev, want, want * (fast ? 1e-3 : 1e-5) + 1e-6);
            }
        }
    });
}

TEST_P(VectorF32, EdgeValues) {
    // Division by zero of each sign of dividend: status 6, every element written.
    const float divisors[4] = {0, 0, -0.0f, 2}, dividends[4] = {1, -1, 0, 1};
    float q[4];
    ASSERT_EQ(sp_status_zero_divisor, Member<sp_entry_sp_div_f32>()(divisors, dividends, q, 4));
    EXPECT_EQ(q[0], INFINITY);
    EXPECT_EQ(q[1], -INFINITY);
    EXPECT_EQ(Bits(q[2]), Generic() ? 0xFFC00000u : 0x7FC00000u);
    EXPECT_EQ(q[3], 0.5f);
    // Huge and infinite divisors and dividends: the reciprocal estimate would
    // give 0 or NaN for these.
    const float bigD[4] = {1e38f, INFINITY, 3e38f, 1e-38f}, bigX[4] = {1e38f, 5.0f, -3e38f, 1e-38f};
    ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_div_f32>()(bigD, bigX, q, 4));
    EXPECT_EQ(q[0], 1.0f);
    EXPECT_EQ(q[1], 0.0f);
    EXPECT_EQ(q[2], -1.0f);
    EXPECT_EQ(q[3], 1.0f);

    // Sums of -0 are +0; the 16-element example tells the fast sum from the
    // accurate one (an aligned array, as GuardedBuffer::AtFront gives).
    Array<float> z(16, 0, true);
    z.Set(F32s(16, -0.0f));
    Array<float> e(16, 0, true);
    F32s ex(16, 0.0f);
    ex[0] = 16777216.0f;
    ex[4] = ex[8] = 1.0f;
    e.Set(ex);
    for (int32_t hint : {0, 1}) {
        float s = -1;
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_sum_f32>()(z.p(), 16, &s, hint));
        EXPECT_EQ(Bits(s), 0u);
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_sum_f32>()(e.p(), 16, &s, hint));
        EXPECT_EQ(s, hint == 1 && !Generic() ? 16777216.0f : 16777218.0f);
        const float one = -7.25f;
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_sum_f32>()(&one, 1, &s, hint));
        EXPECT_EQ(s, one);
    }

    // Standard deviation: the example, +0 for three equal values and two, and
    // for any constant data never a NaN or a negative value, whatever the
    // rounding of n Q - S^2 (only its rounding error is left).
    for (int32_t hint : {0, 1}) {
        float dev = -1;
        const float v4[4] = {1, 2, 3, 4};
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_stddev_f32>()(v4, 4, &dev, hint));
        EXPECT_NEAR(dev, 1.29099, 1e-5);
        for (float c : {1.0f, 0.1f, 3.3f, 1e-3f, 7.77e5f}) {
            for (int32_t n : {2, 3, 7, 100, 3001}) {
                const F32s k(n, c);
                ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_stddev_f32>()(k.data(), n, &dev, hint));
                EXPECT_FALSE(signbit(dev) || isnan(dev)) << c << " x " << n;
                // The fast f32 lane sums cancel badly on constant data: only
                // the sign is promised there.
                if (hint != 1 || Generic()) {
                    EXPECT_LT(dev, 1e-3f * c) << c << " x " << n;
                }
                if (n <= 3 && c == 1.0f) {
                    EXPECT_EQ(Bits(dev), 0u);
                }
            }
        }
        EXPECT_EQ(sp_status_bad_size, Member<sp_entry_sp_stddev_f32>()(v4, 1, &dev, hint));
    }

    // Products, constant multiply and extremes.
    const int16_t big[1] = {32767};
    float p = 0;
    ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_mul_i16_to_f32>()(big, big, &p, 1));
    EXPECT_EQ(p, 1073676288.0f);
    F32s m = {NAN, -0.0f, 5.0f};
    ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_mul_const_f32_inplace>()(NAN, m.data(), 3));
    EXPECT_TRUE(isnan(m[0]));
    EXPECT_EQ(m[2], 5.0f);
    ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_mul_const_f32_inplace>()(0.0f, m.data(), 3));
    EXPECT_EQ(m, F32s(3, 0.0f));
    for (int32_t len : {4, 40}) {
        F32s r(len, 0.0f);
        r[1] = r[2] = 3.0f;
        r[3] = 2.0f;
        r[0] = 1.0f;
        float v;
        int32_t at;
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_max_index_f32>()(r.data(), len, &v, &at));
        EXPECT_EQ(v, 3.0f);
        EXPECT_EQ(at, 1);
    }
    // A NaN taken as the new element replaces the running maximum in the
    // SIMD kernels, never in the generic scan.
    Array<float> n3(3, 0, true);
    float v;
    n3.Set({1.0f, 3.0f, NAN});
    ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_max_f32>()(n3.p(), 3, &v));
    EXPECT_EQ(isnan(v), !Generic());
    n3.Set({NAN, 1.0f, 3.0f});
    ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_max_f32>()(n3.p(), 3, &v));
    EXPECT_EQ(isnan(v), Generic());
}

// Sorting inputs that trouble a partition: runs equal to the pivot (the scan
// must stop at the segment's end), organ pipes, sorted either way.
TEST_P(VectorF32, SortsHardInputsInsideTheArray) {
    std::vector<F32s> inputs;
    for (int32_t n = 1; n <= 64; ++n) inputs.push_back(F32s(n, 2.5f));
    inputs.push_back(F32s(kSanitized ? 20000 : 100000, -1.0f));
    for (int32_t n : {10, 11, 100, 4097}) {
        F32s up(n), down(n), pipe(n), dup(n), lastPivot(n);
        for (int32_t i = 0; i < n; ++i) {
            up[i] = static_cast<float>(i);
            down[i] = static_cast<float>(n - i);
            pipe[i] = static_cast<float>(i < n / 2 ? i : n - i);
            dup[i] = static_cast<float>(i % 3);
            lastPivot[i] = i % 2 == 0 ? 5.0f : static_cast<float>(i % 5);
        }
        lastPivot[n - 1] = 5.0f;
        for (const F32s* v : {&up, &down, &pipe, &dup, &lastPivot}) inputs.push_back(*v);
    }
    for (const F32s& in : inputs) {
        SCOPED_TRACE(in.size());
        F32s want = in;
        std::sort(want.begin(), want.end());
        for (bool front : {true, false}) {
            Array<float> a(in.size(), 0, front);
            a.Set(in);
            ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_sort_ascend_f32_inplace>()(
                                        a.p(), static_cast<int32_t>(in.size())));
            ASSERT_EQ(a.Get(), want);
        }
    }
}

TEST_P(VectorF32, StatusesLeaveOutputsUntouched) {
    float x[2] = {1, 2}, out = 9;
    int32_t at = 9;
    const int16_t s[2] = {1, 2};
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_mul_const_f32_inplace>()(2, nullptr, 2));
    EXPECT_EQ(sp_status_bad_size, Member<sp_entry_sp_mul_const_f32_inplace>()(2, x, 0));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_abs_f32_inplace>()(nullptr, 2));
    EXPECT_EQ(sp_status_bad_size, Member<sp_entry_sp_abs_f32_inplace>()(x, -1));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_mul_i16_to_f32>()(s, nullptr, x, 2));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_mul_i16_to_f32>()(nullptr, s, x, 2));
    EXPECT_EQ(sp_status_bad_size, Member<sp_entry_sp_mul_i16_to_f32>()(s, s, x, 0));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_sum_f32>()(x, 2, nullptr, 0));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_mean_f32>()(nullptr, 2, &out, 1));
    EXPECT_EQ(sp_status_bad_size, Member<sp_entry_sp_mean_f32>()(x, 0, &out, 1));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_stddev_f32>()(x, 1, nullptr, 0));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_min_f32>()(x, 2, nullptr));
    EXPECT_EQ(sp_status_bad_size, Member<sp_entry_sp_max_f32>()(x, 0, &out));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_max_index_f32>()(nullptr, 2, &out, &at));
    EXPECT_EQ(sp_status_bad_size, Member<sp_entry_sp_min_index_f32>()(x, 0, &out, &at));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_sort_ascend_f32_inplace>()(nullptr, 2));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_div_f32>()(x, x, nullptr, 2));
    EXPECT_EQ(sp_status_bad_size, Member<sp_entry_sp_div_f32>()(x, x, x, 0));
    EXPECT_EQ(x[0], 1.0f);
    EXPECT_EQ(out, 9.0f);
    EXPECT_EQ(at, 9);
}

TEST_P(VectorF32, KeepsTheFloatingPointControl) {
    F32s x = sptest::RandomF32(100, -5, 5, false, false, 3), y(100);
    const std::vector<int16_t> s = sptest::RandomI16(100, 4);
    float out;
    int32_t at;
    const std::vector<std::function<void()>> calls = {
        [&] { Member<sp_entry_sp_mul_const_f32_inplace>()(1.5f, x.data(), 100); },
        [&] { Member<sp_entry_sp_abs_f32_inplace>()(x.data(), 100); },
        [&] { Member<sp_entry_sp_mul_i16_to_f32>()(s.data(), s.data(), y.data(), 100); },
        [&] { Member<sp_entry_sp_sum_f32>()(x.data(), 100, &out, 1); },
        [&] { Member<sp_entry_sp_mean_f32>()(x.data(), 100, &out, 0); },
        [&] { Member<sp_entry_sp_stddev_f32>()(x.data(), 100, &out, 1); },
        [&] { Member<sp_entry_sp_min_f32>()(x.data(), 100, &out); },
        [&] { Member<sp_entry_sp_max_f32>()(x.data(), 100, &out); },
        [&] { Member<sp_entry_sp_max_index_f32>()(x.data(), 100, &out, &at); },
        [&] { Member<sp_entry_sp_min_index_f32>()(x.data(), 100, &out, &at); },
        [&] { Member<sp_entry_sp_div_f32>()(x.data(), x.data(), y.data(), 100); },
        [&] { Member<sp_entry_sp_sort_ascend_f32_inplace>()(x.data(), 100); },
    };
    for (size_t i = 0; i < calls.size(); ++i) EXPECT_TRUE(sptest::KeepsFpControl(calls[i])) << i;
}

SP_INSTANTIATE_VARIANTS(VectorF32);

// ---- Reduction kernels without a caller ---------------------------------------------------

TEST(ReductionKernels, DoubleExtremesAtEveryAlignment) {
    using Kernel = void (*)(const double*, int32_t, double*);
    const std::vector<std::pair<Kernel, bool>> kernels = {{sp_max_kernel_f64_sse3, true},
                                                          {sp_max_kernel_f64_sse2, true},
                                                          {sp_min_kernel_f64_sse3, false},
                                                          {sp_min_kernel_f64_sse2, false},
                                                          {sp_min_kernel_f64_sse, false}};
    for (size_t k = 0; k < kernels.size(); ++k) {
        if (k < 4 && k % 2 == 0 && !sptest::VariantRunsHere(sp_variant_sse3)) continue;
        for (int32_t n = 1; n <= 40; ++n) {
            for (size_t off : {0, 4, 8, 12}) {
                SCOPED_TRACE(testing::Message()
                             << "kernel " << k << " n " << n << " offset " << off);
                F64s x = n == 3 ? F64s{-3.0, 7.5, 2.0} : SpecialF64(n, n);
                for (double& v : x)
                    if (isnan(v) || v == 0.0) v = 1.25;  // no NaN, no signed zeros
                GuardedBuffer buf = GuardedBuffer::AtFront(n * sizeof(double), off);
                memcpy(buf.Data(), x.data(), n * sizeof(double));
                double got = 0;
                kernels[k].first(buf.As<double>(), n, &got);
                const double want = kernels[k].second ? *std::max_element(x.begin(), x.end())
                                                      : *std::min_element(x.begin(), x.end());
                ASSERT_EQ(got, want);
            }
        }
    }
    // The SSE minimum compares bit patterns: -0 below +0, and n < 1 gives +0.
    double got = 1;
    const double a[4] = {1.0, -1.0, -2.0, 3.0}, b[2] = {0.5, 0.25}, z[2] = {0.0, -0.0};
    sp_min_kernel_f64_sse(a, 4, &got);
    EXPECT_EQ(got, -2.0);
    sp_min_kernel_f64_sse(b, 2, &got);
    EXPECT_EQ(got, 0.25);
    sp_min_kernel_f64_sse(z, 2, &got);
    EXPECT_TRUE(signbit(got));
    sp_min_kernel_f64_sse(a, 0, &got);
    EXPECT_EQ(Bits(static_cast<float>(got)), 0u);
}

// Small integers make every order of summation exact, so every dot kernel
// gives the exact sum whatever its path (15 elements take the short path, 16
// the long one) and whatever the arrays' alignment.
// The accurate sum's eight double accumulators, the rotation computed per
// group: element j of group k into A[(j - k) mod 8], the leftovers into the
// accumulator group 0 would take next, then the fixed fold.
double RotatingSumModel(const float* x, int64_t len) {
    double a[8] = {};
    const int64_t groups = len / 8;
    for (int64_t k = 0; k < groups; ++k)
        for (int64_t j = 0; j < 8; ++j) a[(j - k % 8 + 8) % 8] += x[8 * k + j];
    for (int64_t i = 8 * groups; i < len; ++i) a[(8 - groups % 8) % 8] += x[i];
    return ((a[0] + a[4]) + (a[2] + a[6])) + ((a[1] + a[5]) + (a[3] + a[7]));
}

TEST(ReductionKernels, AccurateSumEqualsItsRotatingAccumulatorsBitForBit) {
    // Magnitudes from 2^-30 to 2^30 of both signs: every change of order or
    // accumulator shows in the last bits.
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::vector<float> x(4200);
    for (float& v : x) v = ldexpf(mantissa(gen), exponent(gen));
    for (int64_t len = 0; len <= 4200; len += len < 300 ? 1 : 97) {
        for (int64_t off : {0, 3}) {
            if (off + len > 4200) continue;
            const double got = sp_sum_accurate_kernel_f32(x.data() + off, len);
            const double want = RotatingSumModel(x.data() + off, len);
            ASSERT_EQ(0, memcmp(&got, &want, sizeof got)) << len << " " << off;
        }
    }
}

TEST(ReductionKernels, DotProductsOfSmallIntegersAreExact) {
    using F32Kernel = void (*)(const float*, const float*, int32_t, float*);
    using F64Kernel = void (*)(const float*, const float*, int32_t, double*);
    const F32Kernel f32[3] = {sp_dot_kernel_f32_sse3, sp_dot_kernel_f32_sse2,
                              sp_dot_kernel_f32_sse};
    const F64Kernel f64[2] = {sp_dot_kernel_f32_f64_sse3, sp_dot_kernel_f32_f64_sse2};
    for (int32_t n : {1, 2, 5, 15, 16, 17, 31, 40, 100, 1001}) {
        for (size_t off1 : {0, 4, 8, 12, 2}) {
            for (size_t off2 : {0, 4, 8, 12, 1}) {
                SCOPED_TRACE(testing::Message() << "n " << n << " offsets " << off1 << " " << off2);
                F32s x(n), y(n);
                double want = 0;
                for (int32_t i = 0; i < n; ++i) {
                    x[i] = static_cast<float>((i * 7) % 17 - 8);
                    y[i] = static_cast<float>((i * 5) % 13 - 6);
                    want += static_cast<double>(x[i]) * y[i];
                }
                Array<float> a(n, off1, true), b(n, off2, true);
                a.Set(x);
                b.Set(y);
                for (int k = 0; k < 3; ++k) {
                    if (k == 0 && !sptest::VariantRunsHere(sp_variant_sse3)) continue;
                    float got = -1;
                    f32[k](a.p(), b.p(), n, &got);
                    ASSERT_EQ(got, want) << "f32 kernel " << k;
                }
                for (int k = 0; k < 2; ++k) {
                    if (k == 0 && !sptest::VariantRunsHere(sp_variant_sse3)) continue;
                    double got = -1;
                    f64[k](a.p(), b.p(), n, &got);
                    ASSERT_EQ(got, want) << "f64 kernel " << k;
                }
            }
        }
    }
}

}  // namespace
