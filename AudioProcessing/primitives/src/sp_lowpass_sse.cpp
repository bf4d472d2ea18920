// SSE members of the low-pass design: the generic code throughout, except for
// its own raised-cosine kernel and the SSE zero kernels.  (SSE has no packed
// double arithmetic; the recurrences stay in extended precision.)
#include <math.h>

#include "sp_lowpass_internal.h"

using namespace sp_internal;

sp_status sp_zero_f64_sse(double* dst, int32_t n) {
    if (dst == nullptr) return sp_status_null_ptr;
    if (n < 1) return sp_status_bad_size;
    const int64_t bytes = static_cast<int64_t>(n) * 8;
    if (bytes < 20480) {
        sp_zero_bytes_kernel_sse(dst, bytes);
    } else {
        sp_zero_bytes_kernel_sse_large(dst, bytes);
    }
    return sp_status_ok;
}

namespace {

// w[k] = a + b cos(k theta) from both ends, cos(k theta) by the three-term
// recurrence c(k+1) = 2 cos(theta) c(k) - c(k-1).
sp_status RaisedCosineSse(double* taps, int32_t len, long double a, long double b) {
    if (taps == nullptr) return sp_status_null_ptr;
    if (len < 3) return sp_status_bad_size;
    const long double c1 = cosl(kTwoPi / (len - 1));
    const long double twoC1 = 2.0L * c1;
    long double before = c1, ck = 1.0L;  // cos(-theta), cos(0)
    const int32_t pairs = len / 2;       // the centre of an odd len keeps weight 1
    for (int32_t k = 0; k < pairs; ++k) {
        const long double w = a + b * ck;
        taps[k] = static_cast<double>(taps[k] * w);
        taps[len - 1 - k] = static_cast<double>(taps[len - 1 - k] * w);
        const long double next = twoC1 * ck - before;
        before = ck;
        ck = next;
    }
    return sp_status_ok;
}

}  // namespace

sp_status sp_window_hamming_f64_sse(double* taps, int32_t len) {
    return RaisedCosineSse(taps, len, 0.54L, -0.46L);
}
sp_status sp_window_hann_f64_sse(double* taps, int32_t len) {
    return RaisedCosineSse(taps, len, 0.5L, -0.5L);
}
sp_status sp_window_bartlett_f64_sse(double* taps, int32_t len) {
    return sp_window_bartlett_f64(taps, len);
}
sp_status sp_window_blackman_kernel_f64_sse(double* taps, int32_t len, double alpha) {
    return sp_window_blackman_kernel_f64(taps, len, alpha);
}
sp_status sp_window_blackman_opt_f64_sse(double* taps, int32_t len) {
    if (len < 4) return sp_status_bad_size;
    return sp_window_blackman_kernel_f64_sse(taps, len, BlackmanOptAlpha(len));
}
sp_status sp_fir_design_sinc_f64_sse(double* dst, int32_t len, double magnitude, double rFreq,
                                     double* phase, int32_t hint) {
    return sp_fir_design_sinc_f64(dst, len, magnitude, rFreq, phase, hint);
}

sp_status sp_fir_design_lowpass_f64_sse(double rFreq, double* taps, int32_t len, int32_t window,
                                        int32_t normalise) {
    static const LowpassMembers kSse = {sp_alloc_f64,
                                        sp_fir_design_sinc_f64_sse,
                                        sp_zero_f64_sse,
                                        {sp_window_bartlett_f64_sse, sp_window_blackman_opt_f64_sse,
                                         sp_window_hamming_f64_sse, sp_window_hann_f64_sse}};
    return LowpassDesign(rFreq, taps, len, window, normalise, kSse);
}
