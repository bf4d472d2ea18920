#include "sp_reference.h"

#include <math.h>

#include <algorithm>

namespace sptest {

std::vector<int16_t> MedianReference(const std::vector<int16_t>& x, int32_t mask) {
    const int32_t m = mask % 2 == 0 ? mask - 1 : mask;
    const int32_t h = (m - 1) / 2;
    const int32_t len = static_cast<int32_t>(x.size());
    std::vector<int16_t> y = x;
    std::vector<int16_t> w(m);
    for (int32_t i = 1; i + 1 < len; ++i) {
        for (int32_t k = 0; k < m; ++k) w[k] = x[std::clamp(i - h + k, 0, len - 1)];
        std::sort(w.begin(), w.end());
        y[i] = w[h];
    }
    return y;
}

long double BlackmanReference(long double alpha, int32_t n, int32_t len) {
    const long double pi = 3.141592653589793238462643383279502884L;
    const long double t = 2 * pi * n / (len - 1);
    return (alpha + 1) / 2 - 0.5L * cosl(t) - alpha / 2 * cosl(2 * t);
}

long double WindowReference(int32_t kind, int32_t n, int32_t len) {
    const long double pi = 3.141592653589793238462643383279502884L;
    const int32_t k = std::min(n, len - 1 - n);  // distance from the nearer end
    switch (kind) {
        case 0:
            return 2.0L * k / (len - 1);
        case 1: {
            const long double c = 0.5L / cosl(pi / (len - 1));
            return BlackmanReference(-c * c, k, len);
        }
        case 2:
            return 0.54L - 0.46L * cosl(2 * pi * k / (len - 1));
        case 3:
            return 0.5L - 0.5L * cosl(2 * pi * k / (len - 1));
        default:
            return 1.0L;
    }
}

std::vector<long double> LowpassReference(double rFreq, int32_t len, int32_t kind, bool normalise) {
    const long double pi = 3.141592653589793238462643383279502884L;
    std::vector<long double> taps(len);
    const long double centre = (len - 1) / 2.0L;
    for (int32_t n = 0; n < len; ++n) {
        const long double d = fabsl(n - centre);
        const long double ideal = d == 0 ? 2.0L * rFreq : sinl(2 * pi * rFreq * d) / (pi * d);
        // The centre tap of an odd length keeps weight 1 in every window.
        const long double w = (len % 2 == 1 && n == len / 2) ? 1.0L : WindowReference(kind, n, len);
        taps[n] = ideal * w;
    }
    if (normalise) {
        long double sum = 0;
        for (long double t : taps) sum += t;
        for (long double& t : taps) t /= fabsl(sum);
    }
    return taps;
}

}  // namespace sptest
