#include "sp_wavelet_reference.h"

namespace sptest {
namespace {

double At(const std::vector<float>& v, int64_t i) {
    return i >= 0 && i < static_cast<int64_t>(v.size()) ? v[i] : 0.0;
}

// Window z[t - len + 1 .. t] against the taps, oldest first; grouped as the
// body groups it when asked.
double Sum(const std::vector<float>& taps, const std::vector<float>& z, int64_t t, bool grouped) {
    const int32_t len = static_cast<int32_t>(taps.size());
    auto term = [&](int32_t i) {
        return static_cast<double>(taps[len - 1 - i]) * At(z, t - len + 1 + i);
    };
    if (!grouped) {
        double acc = 0.0;
        for (int32_t i = 0; i < len; ++i) acc += term(i);
        return acc;
    }
    double acc = 0.0;
    for (int32_t i = 0; i < 4; ++i) acc += term(i);
    int32_t i = 4;
    for (; len - i >= 2;) {
        const int32_t g = len - i >= 4 ? 4 : len - i;
        double part = term(i);
        for (int32_t j = 1; j < g; ++j) part += term(i + j);
        acc += part;
        i += g;
    }
    if (i < len) acc += term(i);
    return acc;
}

}  // namespace

std::vector<double> WaveletSplitFormula(const std::vector<float>& taps, int32_t offset,
                                        const std::vector<float>& x, int32_t count) {
    std::vector<double> out(count);
    const int32_t len = static_cast<int32_t>(taps.size());
    for (int32_t m = 0; m < count; ++m) {
        double acc = 0.0;
        for (int32_t j = len - 1; j >= 0; --j)
            acc += static_cast<double>(taps[j]) * At(x, 2 * int64_t{m} - offset - j);
        out[m] = acc;
    }
    return out;
}

std::vector<double> WaveletMergeFormula(const std::vector<float>& taps, int32_t offset,
                                        const std::vector<float>& band, int32_t count) {
    std::vector<float> u(count, 0.0f);
    const int64_t shift = 2 * int64_t{offset / 2} + (offset & 1);
    for (size_t m = 0; m < band.size(); ++m) {
        const int64_t at = 2 * static_cast<int64_t>(m) + shift;
        if (at < count) u[at] = band[m];
    }
    std::vector<double> out(count);
    const int32_t len = static_cast<int32_t>(taps.size());
    for (int32_t t = 0; t < count; ++t) {
        double acc = 0.0;
        for (int32_t j = len - 1; j >= 0; --j) {
            // Zero positions of U are skipped: the member never forms those terms.
            const int64_t i = int64_t{t} - j;
            if (i >= 0 && u[i] != 0.0f) acc += static_cast<double>(taps[j]) * u[i];
        }
        out[t] = acc;
    }
    return out;
}

std::vector<float> WaveletSplitShaped(const std::vector<float>& taps, int32_t offset,
                                      const std::vector<float>& x,
                                      const std::vector<int32_t>& calls) {
    const int32_t len = static_cast<int32_t>(taps.size());
    const int32_t d = offset > 0 ? offset : 0;
    std::vector<float> z(x.size() + d, 0.0f);
    for (size_t i = 0; i < x.size(); ++i) z[i + d] = x[i];
    std::vector<float> out;
    int32_t p = offset == -1 ? 1 : 0;
    int64_t t = 0;
    auto run = [&](int32_t r) {
        const int32_t lead = len - ((len & 1) ^ p);
        const int32_t h = lead < r ? lead : r;
        for (int32_t i = 0; i < r; ++i, ++t) {
            if (p == 0) out.push_back(static_cast<float>(Sum(taps, z, t, i >= h && len >= 8)));
            p ^= 1;
        }
    };
    for (int32_t n : calls) {
        const int32_t first = d > 0 && d < n ? d : n;
        run(first);
        run(n - first);
    }
    return out;
}

}  // namespace sptest
