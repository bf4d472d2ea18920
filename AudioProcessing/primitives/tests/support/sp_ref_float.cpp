#include "sp_ref_float.h"

#include <math.h>
#include <string.h>

#include <limits>
#include <random>

namespace sptest {

long double SumRef(const F32s& x) {
    long double s = 0;
    for (float v : x) s += v;
    return s;
}

long double AbsSumRef(const F32s& x) {
    long double s = 0;
    for (float v : x) s += fabsl(v);
    return s;
}

long double StddevRef(const F32s& x) {
    const long double mean = SumRef(x) / x.size();
    long double q = 0;
    for (float v : x) q += (v - mean) * (v - mean);
    return sqrtl(q / (x.size() - 1));
}

int64_t UlpDistance(float a, float b) {
    if (isnan(a) || isnan(b)) return isnan(a) && isnan(b) ? 0 : INT64_MAX;
    auto key = [](float f) {
        int32_t i;
        memcpy(&i, &f, sizeof i);
        return i < 0 ? -static_cast<int64_t>(i & 0x7FFFFFFF) : static_cast<int64_t>(i);
    };
    const int64_t d = key(a) - key(b);
    return d < 0 ? -d : d;
}

F32s RandomF32(size_t n, float lo, float hi, bool specials, bool ordered, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(lo, hi);
    const float inf = std::numeric_limits<float>::infinity();
    float negNan;
    const uint32_t negNanBits = 0xFFC01234u;
    memcpy(&negNan, &negNanBits, sizeof negNan);
    const std::vector<float> all = {0.0f,   -0.0f,  inf,
                                    -inf,   1e-40f, -3e-39f,
                                    3.0e7f, -1e30f, std::numeric_limits<float>::quiet_NaN(),
                                    negNan};
    const std::vector<float> inOrder = {0.0f,    inf,    -inf,   1e-40f,
                                        -3e-39f, 3.0e7f, -1e30f, 16777217.0f};
    const std::vector<float>& pick = ordered ? inOrder : all;
    F32s x(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = specials && i % 7 == 3 ? pick[(i / 7) % pick.size()] : d(rng);
    return x;
}

}  // namespace sptest
