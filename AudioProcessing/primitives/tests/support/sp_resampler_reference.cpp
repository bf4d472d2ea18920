// References for the polyphase resampler, written for clarity.
#include "sp_resampler_reference.h"

#include <math.h>

#include <cmath>

namespace sptest {

std::vector<double> ResamplerPrototype(int64_t p, int64_t q, int64_t half, double rolloff,
                                       double alpha) {
    const int64_t n = half * q + 1, period = p > q ? p : q;
    const double pi = std::acos(-1.0);
    std::vector<double> h(static_cast<size_t>(n));
    const double norm = std::cyl_bessel_i(0.0, alpha);
    for (int64_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(i) / static_cast<double>(n - 1);
        const double sinc =
            i == 0 ? rolloff : std::sin(pi * rolloff * i / period) / (pi * i / period);
        h[static_cast<size_t>(i)] =
            i == 0 ? sinc : sinc * std::cyl_bessel_i(0.0, alpha * std::sqrt(1.0 - x * x)) / norm;
    }
    // The taps at multiples of the period (both sides) sum to 1.
    double sum = h[0];
    for (int64_t i = period; i < n; i += period) sum += 2.0 * h[static_cast<size_t>(i)];
    for (double& v : h) v /= sum;
    return h;
}

ResampledBlock ResampleReference(const std::function<double(int64_t)>& tap, int64_t p, int64_t q,
                                 int64_t half, const int16_t* src, int32_t len, double gain,
                                 double time) {
    ResampledBlock r;
    const double t0 = std::floor(time);
    int64_t v =
        static_cast<int64_t>(t0) * q + static_cast<int64_t>(std::floor(q * (time - t0) + 0.5));
    const int64_t end = int64_t{len} * q;
    for (; v < end; v += p) {
        double sum = 0.0;
        const int64_t lo =
            static_cast<int64_t>(std::floor((v - half * q) / static_cast<double>(q))) - 1;
        for (int64_t j = lo; j * q <= v + half * q; ++j) {
            const int64_t d = j * q - v < 0 ? v - j * q : j * q - v;
            if (d <= half * q) sum += src[j] * tap(d);
        }
        const double y = sum * gain;
        int16_t out;
        if (y != y || y <= -32768.0)
            out = -32768;
        else if (y >= 32767.0)
            out = 32767;
        else
            out = static_cast<int16_t>(y < 0 ? -std::floor(-y + 0.5) : std::floor(y + 0.5));
        r.out.push_back(out);
    }
    r.time = time + static_cast<double>(static_cast<int64_t>(r.out.size()) * p) / q;
    return r;
}

}  // namespace sptest
