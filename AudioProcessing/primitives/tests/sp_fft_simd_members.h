// The SIMD members of the real FFT as the tests see them (transforms,
// kernels, path limits), a plan that frees itself, and the check against a
// sum of tones whose exact spectrum is known, used at orders too large for
// the long-double reference.  Shared by the unit tests and the long sweeps.
#pragma once

#include <float.h>
#include <math.h>

#include <vector>

#include "TestAllocator.h"
#include "sp_fft_simd.h"
#include "sp_reference.h"
#include "sp_test_support.h"

namespace sptest {

struct Member {
    const char* name;
    int32_t variant;
    sp_status (*init)(sp_rfft_spec**, int32_t, int32_t, int32_t);
    sp_status (*forward)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    sp_status (*inverse)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    sp_status (*mulConj)(const float*, float*, int32_t);
    int32_t fusedLast, separateLast;
    // Kernels.
    void (*bitrevCopy)(const float*, float*, int32_t, const int32_t*);
    void (*bitrevInplace)(float*, int32_t, const int32_t*);
    void (*radixFwd)(float*, int32_t, const float*, float*, int32_t);
    void (*radixInv)(float*, int32_t, const float*, float*, int32_t);
    void (*fusedFwd)(const float*, float*, int32_t, const float*, const int32_t*, float*);
    void (*fusedInv)(const float*, float*, int32_t, const float*, const int32_t*, float*);
    int32_t* (*starts)(int32_t);
    float* (*rows)(int32_t, const float*, int32_t);
};

#define SP_SIMD_MEMBER(label, var, sfx, fused, sep)                                        \
    Member {                                                                               \
        label, var, sp_rfft_spec_init_##sfx, sp_rfft_forward_##sfx, sp_rfft_inverse_##sfx, \
            sp_packed_spectrum_mul_conj_##sfx, fused, sep, sp_fft_bitrev_copy_##sfx,       \
            sp_fft_bitrev_inplace_##sfx, sp_fft_radix_fwd_##sfx, sp_fft_radix_inv_##sfx,   \
            sp_fft_bitrev_radix_fwd_##sfx, sp_fft_bitrev_radix_inv_##sfx,                  \
            sp_fft_bitrev_starts_##sfx, sp_fft_radix_twiddles_##sfx                        \
    }

const Member kMembers[] = {
    SP_SIMD_MEMBER("SSE", sp_variant_sse, sse, 10, 11),
    SP_SIMD_MEMBER("SSE2", sp_variant_sse2, sse2, 15, 16),
    SP_SIMD_MEMBER("SSE3", sp_variant_sse3, sse3, 16, 17),
};

template <typename Fn>
void ForEachMember(Fn fn) {
    for (const Member& m : kMembers) {
        if (!sptest::VariantRunsHere(m.variant)) continue;
        SCOPED_TRACE(m.name);
        fn(m);
    }
}

struct Spec {
    Spec(sp_status (*init)(sp_rfft_spec**, int32_t, int32_t, int32_t), int32_t order,
         int32_t flag) {
        EXPECT_EQ(sp_status_ok, init(&spec, order, flag, 0)) << "order " << order;
    }
    ~Spec() {
        if (spec != nullptr) {
            EXPECT_EQ(sp_status_ok, sp_rfft_spec_free(spec));
        }
    }
    Spec(const Spec&) = delete;
    Spec& operator=(const Spec&) = delete;
    sp_rfft_spec* spec = nullptr;
};

// A sum of a few cosines on whole bins has a known exact spectrum: every
// other bin must come out (near) zero, so an error in any twiddle or pass
// shows as leakage.  Then the round trip.  Used at orders too large for the
// long-double reference.
inline std::vector<Tone> ExactTones(size_t n) {
    return {{3, 0.5, 0.3}, {n / 3, 0.25, -1.1}, {n / 2 - 5, 0.125, 0.7}};
}

inline void CheckExactSpectrum(const Member& m, int32_t order, const std::vector<float>& x) {
    SCOPED_TRACE(order);
    const size_t n = size_t{1} << order;
    Spec s(m.init, order, 2);
    std::vector<float> y(n);
    ASSERT_EQ(sp_status_ok, m.forward(x.data(), y.data(), s.spec, nullptr));
    // L2 error against the sparse exact spectrum, without a dense copy of it.
    double err = 0, norm = 0;
    for (size_t i = 0; i < n; ++i) err += static_cast<double>(y[i]) * y[i];
    for (const sptest::Tone& tone : ExactTones(n)) {
        const double re = 0.5 * static_cast<double>(n) * tone.amplitude * cos(tone.phase);
        const double im = 0.5 * static_cast<double>(n) * tone.amplitude * sin(tone.phase);
        const double gr = y[2 * tone.bin - 1], gi = y[2 * tone.bin];
        err += (gr - re) * (gr - re) + (gi - im) * (gi - im) - gr * gr - gi * gi;
        norm += re * re + im * im;
    }
    EXPECT_LE(sqrt(err), 1.5 * (order + 2) * FLT_EPSILON * sqrt(norm));
    ASSERT_EQ(sp_status_ok, m.inverse(y.data(), y.data(), s.spec, nullptr));
    double back = 0, energy = 0;
    for (size_t i = 0; i < n; ++i) {
        back += (static_cast<double>(y[i]) - x[i]) * (static_cast<double>(y[i]) - x[i]);
        energy += static_cast<double>(x[i]) * x[i];
    }
    EXPECT_LE(sqrt(back), 1.5 * (2 * order + 2) * FLT_EPSILON * sqrt(energy));
}

// A plan whose set-up fails at each of its allocations in turn reports no
// memory, leaves the caller's pointer alone and keeps nothing.
inline void CheckAllocationFailures(const Member& m, int32_t order) {
    SCOPED_TRACE(order);
    const uint64_t live = sptest::LiveBlocks();
    const uint64_t steps = zvtest::ForEachAllocationFailure([&](uint64_t k) {
        sp_rfft_spec* spec = reinterpret_cast<sp_rfft_spec*>(1);
        const sp_status status = m.init(&spec, order, 2, 0);
        if (zvtest::GetAllocatorCounts().failures != 0) {
            EXPECT_EQ(sp_status_no_memory, status) << "failure at allocation " << k;
            EXPECT_EQ(reinterpret_cast<sp_rfft_spec*>(1), spec) << "out pointer written";
        } else if (status == sp_status_ok) {
            sp_rfft_spec_free(spec);
        }
        EXPECT_EQ(live, sptest::LiveBlocks()) << "leak after failing allocation " << k;
    });
    EXPECT_GE(steps, 5u);
}

}  // namespace sptest
