// Windowed-sinc low-pass design (entry 68), its windows and the cosine-series
// ("tone") generator it uses.  Members of the processor variants differ in the
// last bits of the taps only; the taps are exactly symmetric in every member.
#pragma once

#include "sp_status.h"

// Window kinds of sp_fir_design_lowpass_f64; any other value means no window.
enum sp_window_kind : int32_t {
    sp_window_bartlett = 0,
    sp_window_blackman_opt = 1,
    sp_window_hamming = 2,
    sp_window_hann = 3,
};

// len taps of a linear-phase low-pass filter with cut-off rFreq (fraction of the
// sampling rate), windowed, normalised to unit DC gain magnitude when normalise
// is non-zero.  -8 for null taps or when the temporary cannot be allocated; -6
// for len < 5 or rFreq outside (0, 0.5).  Nothing is written on an error.
sp_status sp_fir_design_lowpass_f64(double rFreq, double* taps, int32_t len, int32_t window,
                                    int32_t normalise);
sp_status sp_fir_design_lowpass_f64_sse(double rFreq, double* taps, int32_t len, int32_t window,
                                        int32_t normalise);
sp_status sp_fir_design_lowpass_f64_sse2(double rFreq, double* taps, int32_t len, int32_t window,
                                         int32_t normalise);
sp_status sp_fir_design_lowpass_f64_sse3(double rFreq, double* taps, int32_t len, int32_t window,
                                         int32_t normalise);

// dst[n] = magnitude * cos(2 pi rFreq n + *phase), n = 0 .. len-1; *phase is
// replaced by the phase at n = len reduced into [0, 2 pi).  Checks in order:
// phase null -8, magnitude <= 0 -46, rFreq outside [0, 0.5) -45, *phase outside
// [0, 2 pi) -44, dst null -8, len < 1 -6.  hint 1 lets the SSE2/SSE3 members make
// the series in independently seeded blocks; any other hint uses the recurrence.
sp_status sp_fir_design_sinc_f64(double* dst, int32_t len, double magnitude, double rFreq,
                                 double* phase, int32_t hint);
sp_status sp_fir_design_sinc_f64_sse(double* dst, int32_t len, double magnitude, double rFreq,
                                     double* phase, int32_t hint);
sp_status sp_fir_design_sinc_f64_sse2(double* dst, int32_t len, double magnitude, double rFreq,
                                      double* phase, int32_t hint);
sp_status sp_fir_design_sinc_f64_sse3(double* dst, int32_t len, double magnitude, double rFreq,
                                      double* phase, int32_t hint);

// n values set to 0.0: -8 null, -6 n < 1.
sp_status sp_zero_f64(double* dst, int32_t n);
sp_status sp_zero_f64_sse(double* dst, int32_t n);
sp_status sp_zero_f64_sse2(double* dst, int32_t n);
sp_status sp_zero_f64_sse3(double* dst, int32_t n);

// Windows, multiplying taps in place from both ends: -8 null, -6 len < 3
// (len < 4 for the optimal Blackman, which leaves its null test to the kernel).
#define SP_WINDOW_MEMBERS(name)                       \
    sp_status name(double* taps, int32_t len);        \
    sp_status name##_sse(double* taps, int32_t len);  \
    sp_status name##_sse2(double* taps, int32_t len); \
    sp_status name##_sse3(double* taps, int32_t len);
SP_WINDOW_MEMBERS(sp_window_bartlett_f64)
SP_WINDOW_MEMBERS(sp_window_blackman_opt_f64)
SP_WINDOW_MEMBERS(sp_window_hamming_f64)
SP_WINDOW_MEMBERS(sp_window_hann_f64)
#undef SP_WINDOW_MEMBERS

// Generalised Blackman window (alpha + 1)/2 - 0.5 cos(k theta) - (alpha/2) cos(2 k theta),
// theta = 2 pi / (len - 1); alpha = -0.16 is the classic Blackman window.
sp_status sp_window_blackman_kernel_f64(double* taps, int32_t len, double alpha);
sp_status sp_window_blackman_kernel_f64_sse(double* taps, int32_t len, double alpha);
sp_status sp_window_blackman_kernel_f64_sse2(double* taps, int32_t len, double alpha);
sp_status sp_window_blackman_kernel_f64_sse3(double* taps, int32_t len, double alpha);

// Inner step of the SSE2/SSE3 Blackman kernels: dst[k] = src[k] * w_k and
// dst[len-1-k] = src[len-1-k] * w_k for k < len/2, centre copied for odd len.
// gPrev = 0.5 cos(theta) (the recurrence's value before k = 0).
void sp_window_blackman_apply_f64_sse2(const double* src, const double* srcEnd, double* dst,
                                       double* dstEnd, int32_t len, double alpha, double gPrev,
                                       double twoCos1, double twoCos2);
void sp_window_blackman_apply_f64_sse3(const double* src, const double* srcEnd, double* dst,
                                       double* dstEnd, int32_t len, double alpha, double gPrev,
                                       double twoCos1, double twoCos2);
