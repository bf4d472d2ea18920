// Windowed-sinc low-pass design, its windows and the cosine-series generator,
// in every member, against closed forms in long double.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "TestAllocator.h"
#include "sp_reference.h"
#include "sp_lowpass_internal.h"
#include "sp_test_support.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
// The SIMD windows run their recurrences from cosines rounded to double; the
// frequency error of about 1e-16 / sin(theta) makes the weights drift by about
// n / sin(theta) ulps, that is in proportion to len squared.
double WindowTolerance(int32_t len) {
    return 1e-13 + 2e-18 * len * len;
}

// Per-variant routines that are not dispatch entries.
struct WindowMembers {
    sp_status (*hamming)(double*, int32_t);
    sp_status (*hann)(double*, int32_t);
    sp_status (*bartlett)(double*, int32_t);
    sp_status (*blackmanOpt)(double*, int32_t);
    sp_status (*blackman)(double*, int32_t, double);
    sp_status (*sinc)(double*, int32_t, double, double, double*, int32_t);
    sp_status (*zero)(double*, int32_t);
};
const WindowMembers kMembers[4] = {
    {sp_window_hamming_f64, sp_window_hann_f64, sp_window_bartlett_f64, sp_window_blackman_opt_f64,
     sp_window_blackman_kernel_f64, sp_fir_design_sinc_f64, sp_zero_f64},
    {sp_window_hamming_f64_sse, sp_window_hann_f64_sse, sp_window_bartlett_f64_sse,
     sp_window_blackman_opt_f64_sse, sp_window_blackman_kernel_f64_sse, sp_fir_design_sinc_f64_sse,
     sp_zero_f64_sse},
    {sp_window_hamming_f64_sse2, sp_window_hann_f64_sse2, sp_window_bartlett_f64_sse2,
     sp_window_blackman_opt_f64_sse2, sp_window_blackman_kernel_f64_sse2,
     sp_fir_design_sinc_f64_sse2, sp_zero_f64_sse2},
    {sp_window_hamming_f64_sse3, sp_window_hann_f64_sse3, sp_window_bartlett_f64_sse3,
     sp_window_blackman_opt_f64_sse3, sp_window_blackman_kernel_f64_sse3,
     sp_fir_design_sinc_f64_sse3, sp_zero_f64_sse3},
};

// Largest difference relative to the largest reference magnitude: the
// recurrences drift by a few ulps of the peak per step, not of each tap.
long double PeakRelativeError(const std::vector<double>& got,
                              const std::vector<long double>& want) {
    long double peak = 0, err = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        peak = std::max(peak, fabsl(want[i]));
        err = std::max(err, fabsl(got[i] - want[i]));
    }
    return err / peak;
}

class Lowpass : public sptest::VariantTest {
protected:
    sp_fir_design_lowpass_f64_fn Design() const {
        return Member<sp_entry_sp_fir_design_lowpass_f64>();
    }
    const WindowMembers& Routines() const { return kMembers[Variant()]; }
};

TEST_P(Lowpass, DocumentedExample) {
    std::vector<double> taps(5);
    ASSERT_EQ(Design()(0.25, taps.data(), 5, 5, 0), sp_status_ok);
    EXPECT_NEAR(taps[0], 0.0, 1e-15);
    EXPECT_NEAR(taps[1], 1 / kPi, 1e-15);
    EXPECT_EQ(taps[2], 0.5);
    EXPECT_EQ(taps[3], taps[1]);
    EXPECT_EQ(taps[4], taps[0]);
    // Even length: the middle pair is sin(pi f) / (pi / 2).
    std::vector<double> even(6);
    ASSERT_EQ(Design()(0.2, even.data(), 6, 7, 0), sp_status_ok);
    EXPECT_NEAR(even[2], sin(kPi * 0.2) / (kPi / 2), 1e-15);
    EXPECT_EQ(even[3], even[2]);
}

TEST_P(Lowpass, MatchesTheClosedFormForEveryWindow) {
    for (int32_t kind : {0, 1, 2, 3, 5}) {
        for (int32_t len : {5, 6, 33, 64, 1023, 1024, 1025, 1026, 3200}) {
            for (double f : {0.01, 0.1, 0.2499, 0.25, 0.3, 0.49}) {
                for (int32_t normalise : {0, 1}) {
                    SCOPED_TRACE(testing::Message() << "kind " << kind << " len " << len << " f "
                                                    << f << " norm " << normalise);
                    std::vector<double> taps(len, -99.0);
                    ASSERT_EQ(Design()(f, taps.data(), len, kind, normalise), sp_status_ok);
                    const auto want = sptest::LowpassReference(f, len, kind, normalise != 0);
                    EXPECT_LT(PeakRelativeError(taps, want), 1e-12L);
                    for (int32_t i = 0; i < len; ++i)
                        ASSERT_EQ(taps[i], taps[len - 1 - i]) << "tap " << i;
                }
            }
        }
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

TEST_P(Lowpass, NormalisedTapsSumToOne) {
    for (int32_t len : {5, 6, 31, 32, 3200}) {
        for (int32_t kind : {0, 1, 2, 3, 9}) {
            std::vector<double> taps(len);
            ASSERT_EQ(Design()(0.1, taps.data(), len, kind, 1), sp_status_ok);
            long double sum = 0;
            for (double t : taps) sum += t;
            EXPECT_NEAR(static_cast<double>(sum), 1.0, 1e-12) << "len " << len << " kind " << kind;
        }
    }
}

// The windows of the design never make the raw sum negative, so the sign rule
// of the normalisation is shown through the design's own steps with a window
// that negates every tap: the division is by the absolute raw sum, so the
// normalised taps keep their sign and sum to -1.
sp_status NegatingWindow(double* taps, int32_t len) {
    for (int32_t i = 0; i < len; ++i) taps[i] = -taps[i];
    return sp_status_ok;
}

TEST(LowpassDesign, NormalisationKeepsTheSignOfANegativeRawSum) {
    const sp_internal::LowpassMembers negating = {
        sp_alloc_f64,
        sp_fir_design_sinc_f64,
        sp_zero_f64,
        {NegatingWindow, NegatingWindow, NegatingWindow, NegatingWindow}};
    for (int32_t len : {5, 6, 31, 32}) {
        SCOPED_TRACE(len);
        std::vector<double> plain(len), negated(len);
        ASSERT_EQ(sp_fir_design_lowpass_f64(0.1, plain.data(), len, 9, 1), sp_status_ok);
        ASSERT_EQ(sp_internal::LowpassDesign(0.1, negated.data(), len, 0, 1, negating),
                  sp_status_ok);
        long double sum = 0;
        for (int32_t i = 0; i < len; ++i) {
            sum += negated[i];
            ASSERT_EQ(negated[i], -plain[i]) << "tap " << i;
        }
        EXPECT_NEAR(static_cast<double>(sum), -1.0, 1e-12);
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

TEST_P(Lowpass, ChecksAndFailures) {
    std::vector<double> taps(8, 3.0);
    const std::vector<double> untouched = taps;
    zvtest::ResetAllocator();
    EXPECT_EQ(Design()(0.25, nullptr, 0, 2, 1), sp_status_null_ptr);
    EXPECT_EQ(Design()(0.25, taps.data(), 4, 2, 1), sp_status_bad_size);
    EXPECT_EQ(Design()(0.0, taps.data(), 8, 2, 1), sp_status_bad_size);
    EXPECT_EQ(Design()(0.5, taps.data(), 8, 2, 1), sp_status_bad_size);
    EXPECT_EQ(Design()(NAN, taps.data(), 8, 2, 1), sp_status_bad_size);
    EXPECT_EQ(Design()(-0.1, taps.data(), 8, 2, 1), sp_status_bad_size);
    const zvtest::AllocatorCounts c = zvtest::GetAllocatorCounts();
    EXPECT_EQ(c.allocations + c.failures, 0u);  // checked before any allocation
    // The temporary cannot be had: -8, nothing written, nothing leaked.
    const uint64_t made = zvtest::ForEachAllocationFailure([&](uint64_t) {
        std::vector<double> t = untouched;
        const sp_status s = Design()(0.25, t.data(), 8, 2, 1);
        if (zvtest::GetAllocatorCounts().failures != 0) {
            EXPECT_EQ(s, sp_status_null_ptr);
            EXPECT_EQ(t, untouched);
        } else {
            EXPECT_EQ(s, sp_status_ok);
        }
    });
    EXPECT_EQ(made, 1u);
    EXPECT_EQ(taps, untouched);
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
    // Lengths whose temporary does not fit the allocator's request.
    std::vector<double> one(1);
    EXPECT_EQ(Design()(0.25, one.data(), INT32_MAX, 2, 1), sp_status_null_ptr);
}

TEST_P(Lowpass, WindowsAlone) {
    const WindowMembers& r = Routines();
    for (int32_t len : {3, 4, 5, 6, 7, 64, 65, 1024, 1025, 1026, 1027, 3200}) {
        SCOPED_TRACE(len);
        struct {
            sp_status (*fn)(double*, int32_t);
            int32_t kind;
        } windows[] = {{r.bartlett, 0}, {r.blackmanOpt, 1}, {r.hamming, 2}, {r.hann, 3}};
        for (const auto& w : windows) {
            if (w.kind == 1 && len < 4) {
                std::vector<double> ones(len, 1.0);
                EXPECT_EQ(w.fn(ones.data(), len), sp_status_bad_size);
                continue;
            }
            std::vector<double> ones(len, 1.0);
            ASSERT_EQ(w.fn(ones.data(), len), sp_status_ok) << "kind " << w.kind;
            for (int32_t n = 0; n < len; ++n) {
                const long double want =
                    (len % 2 == 1 && n == len / 2) ? 1.0L : sptest::WindowReference(w.kind, n, len);
                ASSERT_NEAR(ones[n], static_cast<double>(want), WindowTolerance(len))
                    << "kind " << w.kind << " n " << n;
                ASSERT_EQ(ones[n], ones[len - 1 - n]);
            }
        }
        std::vector<double> t(len, 2.0);
        ASSERT_EQ(r.hamming(t.data(), len), sp_status_ok);
        EXPECT_NEAR(t[0], 2.0 * 0.08, 1e-15);
        std::fill(t.begin(), t.end(), 2.0);
        ASSERT_EQ(r.hann(t.data(), len), sp_status_ok);
        EXPECT_NEAR(t[0], 0.0, 1e-15);
        std::fill(t.begin(), t.end(), 2.0);
        ASSERT_EQ(r.bartlett(t.data(), len), sp_status_ok);
        EXPECT_EQ(t[0], 0.0);
        EXPECT_EQ(t[len - 1], 0.0);
    }
}

TEST_P(Lowpass, BlackmanKernelAcrossThePathSwitch) {
    const WindowMembers& r = Routines();
    // alpha = -0.16 is the classic Blackman window; h = 512 and 513 straddle
    // the switch between the paired and the single recurrence.
    for (int32_t len : {3, 4, 5, 6, 1024, 1025, 1026, 1027, 4000}) {
        for (double alpha : {-0.16, -0.25, 0.0}) {
            SCOPED_TRACE(testing::Message() << "len " << len << " alpha " << alpha);
            std::vector<double> t(len, 1.0);
            ASSERT_EQ(r.blackman(t.data(), len, alpha), sp_status_ok);
            for (int32_t n = 0; n < len; ++n) {
                long double want = sptest::BlackmanReference(alpha, std::min(n, len - 1 - n), len);
                if (len % 2 == 1 && n == len / 2) want = 1.0L;
                if (len == 3) want = n == 1 ? 1.0L : 0.0L;
                ASSERT_NEAR(t[n], static_cast<double>(want), WindowTolerance(len)) << "n " << n;
            }
        }
    }
    std::vector<double> t(5, 1.0);
    EXPECT_EQ(r.blackman(nullptr, 5, -0.16), sp_status_null_ptr);
    EXPECT_EQ(r.blackman(t.data(), 2, -0.16), sp_status_bad_size);
    EXPECT_EQ(r.blackmanOpt(nullptr, 3), sp_status_bad_size);
    EXPECT_EQ(r.blackmanOpt(nullptr, 4), sp_status_null_ptr);
    EXPECT_EQ(r.hamming(nullptr, 2), sp_status_null_ptr);
    EXPECT_EQ(r.hann(t.data(), 2), sp_status_bad_size);
    EXPECT_EQ(r.bartlett(nullptr, 9), sp_status_null_ptr);
    EXPECT_EQ(r.bartlett(t.data(), 2), sp_status_bad_size);
    EXPECT_EQ(t, std::vector<double>(5, 1.0));
}

TEST_P(Lowpass, CosineSeriesGenerator) {
    const WindowMembers& r = Routines();
    double dst[4] = {7, 7, 7, 7};
    double phase = 1.0;
    // Checks in their own order: phase pointer, magnitude, frequency, phase, dst, len.
    EXPECT_EQ(r.sinc(nullptr, 0, 0.0, 0.7, nullptr, 2), sp_status_null_ptr);
    EXPECT_EQ(r.sinc(nullptr, 0, 0.0, 0.7, &phase, 2), sp_status_tone_magnitude);
    EXPECT_EQ(r.sinc(nullptr, 0, 1.0, 0.5, &phase, 2), sp_status_tone_freq);
    EXPECT_EQ(r.sinc(nullptr, 0, 1.0, -0.1, &phase, 2), sp_status_tone_freq);
    phase = 2 * kPi;
    EXPECT_EQ(r.sinc(nullptr, 0, 1.0, 0.1, &phase, 2), sp_status_tone_phase);
    phase = -0.1;
    EXPECT_EQ(r.sinc(nullptr, 0, 1.0, 0.1, &phase, 2), sp_status_tone_phase);
    phase = 1.0;
    EXPECT_EQ(r.sinc(nullptr, 0, 1.0, 0.1, &phase, 2), sp_status_null_ptr);
    EXPECT_EQ(r.sinc(dst, 0, 1.0, 0.1, &phase, 2), sp_status_bad_size);
    EXPECT_EQ(phase, 1.0);
    EXPECT_EQ(dst[0], 7.0);

    for (int32_t hint : {1, 2}) {
        for (int32_t len : {1, 2, 3, 4, 5, 9, 100, 2047, 2048, 2049, 5000}) {
            for (double f : {0.0, 0.01, 0.25, 0.3, 0.4999}) {
                SCOPED_TRACE(testing::Message() << "hint " << hint << " len " << len << " f " << f);
                std::vector<double> x(len);
                const double start = 5.5;
                double p = start;
                ASSERT_EQ(r.sinc(x.data(), len, 2.5, f, &p, hint), sp_status_ok);
                long double err = 0;
                for (int32_t n = 0; n < len; ++n) {
                    err = std::max(
                        err, fabsl(x[n] - 2.5L * cosl(2 * 3.141592653589793238L * f * n + start)));
                }
                // Hint 1's stride-four recurrence amplifies rounding by about
                // 1 / |sin 4w|, large where 4w nears a multiple of 2 pi.
                EXPECT_LT(err, hint == 1 ? 2.5e-9L : 2.5e-11L);
                const long double endPhase =
                    fmodl(2 * 3.141592653589793238L * f * len + start, 2 * 3.141592653589793238L);
                EXPECT_GE(p, 0.0);
                EXPECT_LT(p, 2 * kPi);
                EXPECT_NEAR(p, static_cast<double>(endPhase), 1e-9);
            }
        }
    }
}

TEST_P(Lowpass, ZeroF64) {
    const WindowMembers& r = Routines();
    for (int32_t n : {1, 3, 4, 5, 2559, 2560, 2561, 70000}) {
        std::vector<double> x(n + 2, 1.0);
        ASSERT_EQ(r.zero(x.data() + 1, n), sp_status_ok);
        EXPECT_EQ(x[0], 1.0);
        EXPECT_EQ(x[n + 1], 1.0);
        EXPECT_EQ(std::count(x.begin(), x.end(), 0.0), n);
    }
    double one = 1.0;
    EXPECT_EQ(r.zero(nullptr, 0), sp_status_null_ptr);
    EXPECT_EQ(r.zero(&one, 0), sp_status_bad_size);
    EXPECT_EQ(one, 1.0);
}

// A double array may start anywhere in a caller's bytes: at every byte offset
// right behind a guard page each member clears exactly the n doubles, as the
// generic member does (the sanitizer builds reject a store off the 8-byte grid).
TEST_P(Lowpass, ZeroF64AtEveryByteOffset) {
    const WindowMembers& r = Routines();
    for (int32_t n : {1, 2, 3, 17, 2561}) {
        const size_t bytes = 8 * static_cast<size_t>(n);
        for (size_t offset = 0; offset < 8; ++offset) {
            SCOPED_TRACE(testing::Message() << "n " << n << " offset " << offset);
            sptest::GuardedBuffer buffer = sptest::GuardedBuffer::AtFront(bytes + 8, offset);
            unsigned char* data = buffer.Data();
            memset(data, 0xA5, bytes + 8);
            ASSERT_EQ(r.zero(reinterpret_cast<double*>(data), n), sp_status_ok);
            EXPECT_EQ(std::count(data, data + bytes, 0), static_cast<ptrdiff_t>(bytes));
            EXPECT_EQ(std::count(data + bytes, data + bytes + 8, 0xA5), 8);
        }
    }
}

TEST_P(Lowpass, ControlStateIsLeftAsFound) {
    std::vector<double> taps(101);
    EXPECT_TRUE(sptest::KeepsFpControl([&] { Design()(0.2, taps.data(), 101, 2, 1); }));
    EXPECT_TRUE(sptest::KeepsFpControl([&] { Design()(0.3, taps.data(), 100, 1, 0); }));
}

TEST_P(Lowpass, MembersAgreeWithTheGenericMember) {
    auto generic = sp_dispatch_member<sp_entry_sp_fir_design_lowpass_f64>(sp_variant_generic);
    for (int32_t kind : {0, 1, 2, 3, 4}) {
        for (int32_t len : {5, 8, 101, 1600, 3201}) {
            std::vector<double> a(len), b(len);
            ASSERT_EQ(generic(0.2, a.data(), len, kind, 1), sp_status_ok);
            ASSERT_EQ(Design()(0.2, b.data(), len, kind, 1), sp_status_ok);
            double peak = 0, err = 0;
            for (int32_t i = 0; i < len; ++i)
                peak = std::max(peak, fabs(a[i])), err = std::max(err, fabs(a[i] - b[i]));
            EXPECT_LT(err / peak, 1e-12) << "kind " << kind << " len " << len;
        }
    }
}

SP_INSTANTIATE_VARIANTS(Lowpass);

}  // namespace
