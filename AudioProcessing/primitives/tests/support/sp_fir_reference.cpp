#include "sp_fir_reference.h"

#include <math.h>

namespace sptest {

FirReference::FirReference(const std::vector<float>& taps, const std::vector<int16_t>& delay)
    : taps_(taps.begin(), taps.end()), past_(taps.size(), 0.0) {
    for (size_t i = 0; i < delay.size() && i < past_.size(); ++i)
        past_[past_.size() - 1 - i] = delay[i];
}

std::vector<double> FirReference::Sums(const std::vector<int16_t>& x) {
    const size_t len = taps_.size();
    std::vector<double> line(past_);
    line.insert(line.end(), x.begin(), x.end());
    std::vector<double> y(x.size());
    for (size_t n = 0; n < x.size(); ++n) {
        double acc = 0.0;
        for (size_t k = 0; k < len; ++k) acc += taps_[k] * line[len + n - k];
        y[n] = acc;
    }
    past_.assign(line.end() - static_cast<std::ptrdiff_t>(len), line.end());
    return y;
}

std::vector<int16_t> FirReference::Run(const std::vector<int16_t>& x, int32_t scale) {
    const std::vector<double> sums = Sums(x);
    std::vector<int16_t> out(sums.size());
    for (size_t i = 0; i < sums.size(); ++i) {
        const double v = nearbyint(ldexp(sums[i], -scale));
        out[i] = static_cast<int16_t>(v > 32767.0 ? 32767.0 : v < -32768.0 ? -32768.0 : v);
    }
    return out;
}

std::vector<double> DftPerm(const float* x, int32_t order) {
    const int64_t n = int64_t{1} << order;
    std::vector<double> out(static_cast<size_t>(n));
    auto bin = [&](int64_t k, double& re, double& im) {
        re = im = 0.0;
        for (int64_t t = 0; t < n; ++t) {
            const double angle =
                -2.0 * M_PI * static_cast<double>((k * t) % n) / static_cast<double>(n);
            re += x[t] * cos(angle);
            im += x[t] * sin(angle);
        }
    };
    double re, im;
    bin(0, re, im);
    out[0] = re;
    if (n == 1) return out;
    bin(n / 2, re, im);
    out[1] = re;
    for (int64_t k = 1; k < n / 2; ++k) {
        bin(k, re, im);
        out[static_cast<size_t>(2 * k)] = re;
        out[static_cast<size_t>(2 * k + 1)] = im;
    }
    return out;
}

}  // namespace sptest
