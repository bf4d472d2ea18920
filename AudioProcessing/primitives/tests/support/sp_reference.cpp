#include "sp_reference.h"

#include <math.h>

#include <algorithm>
#include <map>
#include <random>

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

template <typename T>
void RadixTwoFft(std::vector<std::complex<T>>& a, int sign) {
    const size_t n = a.size();
    if (n < 2) return;
    for (size_t i = 1, j = 0; i < n; ++i) {  // bit-reversed order: every even/odd split at once
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    const long double pi = 3.141592653589793238462643383279502884L;
    std::vector<std::complex<T>> w(n / 2);
    for (size_t k = 0; k < n / 2; ++k) {
        const long double angle =
            sign * 2 * pi * static_cast<long double>(k) / static_cast<long double>(n);
        w[k] = std::complex<T>(static_cast<T>(cosl(angle)), static_cast<T>(sinl(angle)));
    }
    // The products written out: std::complex's operator* goes through the
    // library's NaN-recovering multiply, a call per product, which made the
    // large references the slowest part of the FFT tests.  The values are the
    // same for finite data.
    for (size_t len = 2; len <= n; len <<= 1) {
        const size_t stride = n / len;
        for (size_t g = 0; g < n; g += len) {
            for (size_t k = 0; k < len / 2; ++k) {
                const std::complex<T> wk = w[k * stride];
                const std::complex<T> b = a[g + k + len / 2];
                const std::complex<T> t(wk.real() * b.real() - wk.imag() * b.imag(),
                                        wk.real() * b.imag() + wk.imag() * b.real());
                a[g + k + len / 2] = a[g + k] - t;
                a[g + k] += t;
            }
        }
    }
}
template void RadixTwoFft(std::vector<std::complex<double>>&, int);
template void RadixTwoFft(std::vector<std::complex<long double>>&, int);

template <typename T>
std::vector<T> PackedSpectrum(const std::vector<float>& x) {
    const size_t n = x.size();
    std::vector<std::complex<T>> a(x.begin(), x.end());
    RadixTwoFft(a, -1);
    std::vector<T> packed(n);
    if (n == 0) return packed;
    packed[0] = a[0].real();
    if (n == 1) return packed;
    for (size_t k = 1; k < n / 2; ++k) {
        packed[2 * k - 1] = a[k].real();
        packed[2 * k] = a[k].imag();
    }
    packed[n - 1] = a[n / 2].real();
    return packed;
}
template std::vector<double> PackedSpectrum(const std::vector<float>&);
template std::vector<long double> PackedSpectrum(const std::vector<float>&);

const SpectrumCase& RandomSpectrum(int32_t order) {
    static std::map<int32_t, SpectrumCase> cache;
    const auto found = cache.find(order);
    if (found != cache.end()) return found->second;
    SpectrumCase& c = cache[order];
    c.signal = RandomSignal(size_t{1} << order, 100 + static_cast<uint32_t>(order));
    c.packed = PackedSpectrum<double>(c.signal);
    return c;
}

std::vector<float> RandomSignal(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (float& v : x) v = dist(gen);
    return x;
}

std::vector<float> ToneSum(size_t n, const std::vector<Tone>& tones) {
    constexpr size_t kAnchorEvery = 4096;
    const long double pi = 3.141592653589793238462643383279502884L;
    std::vector<double> sum(n, 0.0);
    for (const Tone& tone : tones) {
        const size_t bin = n != 0 ? tone.bin % n : 0;
        // The angle at sample t, reduced modulo the period in integers first.
        const auto angleAt = [&](size_t t) {
            return 2 * pi * static_cast<long double>((bin * t) % n) / static_cast<long double>(n) +
                   tone.phase;
        };
        const long double stepAngle = n != 0 ? angleAt(1) - angleAt(0) : 0;
        const double c = static_cast<double>(cosl(stepAngle));
        const double s = static_cast<double>(sinl(stepAngle));
        double re = 0, im = 0;
        for (size_t t = 0; t < n; ++t) {
            if (t % kAnchorEvery == 0) {
                re = static_cast<double>(cosl(angleAt(t)));
                im = static_cast<double>(sinl(angleAt(t)));
            } else {
                const double next = re * c - im * s;
                im = re * s + im * c;
                re = next;
            }
            sum[t] += tone.amplitude * re;
        }
    }
    return std::vector<float>(sum.begin(), sum.end());
}

}  // namespace sptest
