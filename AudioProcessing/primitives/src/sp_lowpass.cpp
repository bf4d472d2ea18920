// Generic low-pass design: the windowed sinc, its windows and the cosine-series
// generator, with the recurrences in extended precision (long double).
#include <math.h>
#include <string.h>

#include "sp_lowpass_internal.h"

namespace sp_internal {

sp_status SincChecks(double* dst, int32_t len, double magnitude, double rFreq,
                     const double* phase) {
    if (phase == nullptr) return sp_status_null_ptr;
    if (!(magnitude > 0.0)) return sp_status_tone_magnitude;
    if (!(rFreq >= 0.0 && rFreq < 0.5)) return sp_status_tone_freq;
    if (!(*phase >= 0.0 && *phase < kTwoPi)) return sp_status_tone_phase;
    if (dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    return sp_status_ok;
}

double SincEndPhase(int32_t len, double rFreq, double phase) {
    const double p = kTwoPi * rFreq * len + phase;
    const double reduced = p - kTwoPi * floor(p * 0.15915494309189535);
    return reduced >= 0.0 && reduced < kTwoPi ? reduced : 0.0;
}

double BlackmanOptAlpha(int32_t len) {
    const double c = 0.5 / cos(kPi / (len - 1));
    return -(c * c);
}

sp_status LowpassDesign(double rFreq, double* taps, int32_t len, int32_t window, int32_t normalise,
                        const LowpassMembers& m) {
    if (taps == nullptr) return sp_status_null_ptr;
    if (len < 5 || !(rFreq > 0.0 && rFreq < 0.5)) return sp_status_bad_size;
    const int32_t h = len / 2;
    auto* series = static_cast<double*>(m.allocF64(h + 1));
    // A failed temporary reports -8 (not -9): the callers treat every failure alike.
    if (series == nullptr) return sp_status_null_ptr;

    // Start phases that turn the cosine series into sin(2 pi f d), d = 1, 2, ...
    // (odd len) or d = 0.5, 1.5, ... (even len); D is pi * d.
    double phase;
    double divisor;
    if (len % 2 == 1) {
        taps[h] = 2.0 * rFreq;
        phase = rFreq >= 0.25 ? kTwoPi * (rFreq - 0.25) : kTwoPi * (rFreq + 0.75);
        divisor = kPi;
    } else {
        phase = kPi * (1.5 + rFreq);
        divisor = kPi / 2;
    }
    m.sinc(series, h + 1, 1.0, rFreq, &phase, 2);

    // Left half from the centre outwards; the right half is mirrored at the end.
    for (int32_t i = 0; i < h; ++i) {
        taps[h - 1 - i] = series[i] / divisor;
        divisor += kPi;
    }
    m.zeroF64(taps + (len + 1) / 2, h);
    if (window >= 0 && window < 4) m.window[window](taps, len);

    if (normalise != 0) {
        double sum = 0.0;
        for (int32_t i = 0; i < h; ++i) sum += taps[i];
        double factor;
        if (len % 2 == 1) {
            factor = 1.0 / fabs(sum + (taps[h] + sum));
            taps[h] *= factor;
        } else {
            factor = 1.0 / fabs(2.0 * sum);
        }
        for (int32_t i = 0; i < h; ++i) {
            taps[i] *= factor;
            taps[len - 1 - i] = taps[i];
        }
    } else {
        for (int32_t i = 0; i < h; ++i) taps[len - 1 - i] = taps[i];
    }
    sp_free(series);
    return sp_status_ok;
}

}  // namespace sp_internal

using namespace sp_internal;

sp_status sp_zero_f64(double* dst, int32_t n) {
    if (dst == nullptr) return sp_status_null_ptr;
    if (n < 1) return sp_status_bad_size;
    // Bytewise: a caller's array need not lie on the 8-byte grid, and +0.0 is
    // all zero bytes.
    memset(dst, 0, static_cast<size_t>(n) * sizeof(double));
    return sp_status_ok;
}

sp_status sp_fir_design_sinc_f64(double* dst, int32_t len, double magnitude, double rFreq,
                                 double* phase, int32_t hint) {
    (void)hint;  // the generic member has one route
    const sp_status checked = SincChecks(dst, len, magnitude, rFreq, phase);
    if (checked != sp_status_ok) return checked;
    const double start = *phase;
    *phase = SincEndPhase(len, rFreq, start);

    const long double w = kTwoPi * rFreq;
    const long double c = 2.0L * cosl(w);
    // Extended-precision copies of the last four values carry the recurrence.
    long double x0 = magnitude * cosl(start);
    dst[0] = static_cast<double>(x0);
    if (len == 1) return sp_status_ok;
    long double x1 = magnitude * cosl(w + start);
    dst[1] = static_cast<double>(x1);
    if (len == 2) return sp_status_ok;
    long double x2 = c * x1 - x0;
    dst[2] = static_cast<double>(x2);
    if (len == 3) return sp_status_ok;
    long double x3 = c * x2 - x1;
    dst[3] = static_cast<double>(x3);
    // Stride two: x[n] = 2 cos(2w) x[n-2] - x[n-4].
    const long double c2 = c * c - 2.0L;
    for (int32_t n = 4; n < len; ++n) {
        const long double x4 = c2 * x2 - x0;
        dst[n] = static_cast<double>(x4);
        x0 = x1, x1 = x2, x2 = x3, x3 = x4;
    }
    return sp_status_ok;
}

namespace {

// w[k] = a + b cos(k theta) from both ends; (cos, sin) advanced by rotation.
sp_status RaisedCosine(double* taps, int32_t len, long double a, long double b) {
    if (taps == nullptr) return sp_status_null_ptr;
    if (len < 3) return sp_status_bad_size;
    const long double theta = kTwoPi / (len - 1);
    const long double c = cosl(theta);
    const long double s = sqrtl(1.0L - c * c);
    long double ck = 1.0L, sk = 0.0L;
    int32_t k = 0;
    for (; k < (len - 1) / 2; ++k) {
        const long double w = a + b * ck;
        taps[k] = static_cast<double>(taps[k] * w);
        taps[len - 1 - k] = static_cast<double>(taps[len - 1 - k] * w);
        const long double next = ck * c - sk * s;
        sk = sk * c + ck * s;
        ck = next;
    }
    if (k < len - 1 - k) {  // even len: the middle pair
        const long double w = a + b * ck;
        taps[k] = static_cast<double>(taps[k] * w);
        taps[k + 1] = static_cast<double>(taps[k + 1] * w);
    }
    return sp_status_ok;
}

}  // namespace

sp_status sp_window_hamming_f64(double* taps, int32_t len) {
    return RaisedCosine(taps, len, 0.54L, -0.46L);
}
sp_status sp_window_hann_f64(double* taps, int32_t len) {
    return RaisedCosine(taps, len, 0.5L, -0.5L);
}

sp_status sp_window_bartlett_f64(double* taps, int32_t len) {
    if (taps == nullptr) return sp_status_null_ptr;
    if (len < 3) return sp_status_bad_size;
    const long double step = 2.0L / (len - 1);
    taps[0] = 0.0;
    taps[len - 1] = 0.0;
    long double w = 0.0L;
    for (int32_t k = 1; k <= len / 2 - 1; ++k) {
        w += step;
        taps[k] = static_cast<double>(taps[k] * w);
        taps[len - 1 - k] = static_cast<double>(taps[len - 1 - k] * w);
    }
    return sp_status_ok;
}

sp_status sp_window_blackman_kernel_f64(double* taps, int32_t len, double alpha) {
    if (taps == nullptr) return sp_status_null_ptr;
    if (len < 3) return sp_status_bad_size;
    if (len == 3) {
        taps[0] = taps[2] = 0.0;
        return sp_status_ok;
    }
    const long double theta = kTwoPi / (len - 1);
    const long double c = cosl(theta);
    const long double s = sqrtl(1.0L - c * c);
    const long double a = alpha;
    long double ck = 1.0L, sk = 0.0L;
    auto weight = [&](long double cosk) {
        return (a + 1.0L) / 2 - 0.5L * cosk - a / 2 * (2.0L * cosk * cosk - 1.0L);
    };
    int32_t k = 0;
    for (; k < (len - 1) / 2; ++k) {
        const long double w = weight(ck);
        taps[k] = static_cast<double>(taps[k] * w);
        taps[len - 1 - k] = static_cast<double>(taps[len - 1 - k] * w);
        const long double next = ck * c - sk * s;
        sk = sk * c + ck * s;
        ck = next;
    }
    if (k < len - 1 - k) {
        const long double w = weight(ck);
        taps[k] = static_cast<double>(taps[k] * w);
        taps[k + 1] = static_cast<double>(taps[k + 1] * w);
    }
    return sp_status_ok;
}

sp_status sp_window_blackman_opt_f64(double* taps, int32_t len) {
    if (len < 4) return sp_status_bad_size;
    return sp_window_blackman_kernel_f64(taps, len, BlackmanOptAlpha(len));
}

sp_status sp_fir_design_lowpass_f64(double rFreq, double* taps, int32_t len, int32_t window,
                                    int32_t normalise) {
    static const LowpassMembers kGeneric = {sp_alloc_f64,
                                            sp_fir_design_sinc_f64,
                                            sp_zero_f64,
                                            {sp_window_bartlett_f64, sp_window_blackman_opt_f64,
                                             sp_window_hamming_f64, sp_window_hann_f64}};
    return LowpassDesign(rFreq, taps, len, window, normalise, kGeneric);
}
