#include "sp_ref_vector.h"

namespace sptest {

namespace {

int16_t Sat(int64_t v) {
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

template <class F>
I16s Map(const I16s& a, const I16s& b, F f) {
    I16s out(a.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = f(int64_t{a[i]}, int64_t{b[i]});
    return out;
}

}  // namespace

int16_t RoundScaledRef(int64_t v, int32_t scale) {
    if (v == 0) return 0;
    if (scale <= 0) {
        // Multiplying by 2^17 or more saturates any nonzero 16-bit-scale value.
        if (scale < -40) return v > 0 ? 32767 : -32768;
        const int64_t m = int64_t{1} << -scale;
        if (v > INT64_MAX / m || v < INT64_MIN / m) return v > 0 ? 32767 : -32768;
        return Sat(v * m);
    }
    if (scale >= 62) return 0;  // |v| < 2^47 here: below a half
    const int64_t d = int64_t{1} << scale;
    int64_t q = v / d, r = v % d;
    if (r < 0) q -= 1, r += d;  // floor division
    if (2 * r > d || (2 * r == d && (q & 1) != 0)) q += 1;
    return Sat(q);
}

I16s SubSatRef(const I16s& src1, const I16s& src2) {
    return Map(src1, src2, [](int64_t a, int64_t b) { return Sat(b - a); });
}
I16s AddSatRef(const I16s& src1, const I16s& src2) {
    return Map(src1, src2, [](int64_t a, int64_t b) { return Sat(a + b); });
}
I16s AbsSatRef(const I16s& x) {
    return Map(x, x, [](int64_t a, int64_t) { return Sat(a < 0 ? -a : a); });
}
I16s RShiftRef(const I16s& x, int32_t shift) {
    // Floor division by 2^shift is the arithmetic shift.
    return Map(x, x, [shift](int64_t a, int64_t) {
        const int64_t d = int64_t{1} << (shift > 40 ? 40 : shift);
        int64_t q = a / d;
        if (a % d != 0 && a < 0) q -= 1;
        return static_cast<int16_t>(q);
    });
}
I16s LShiftRef(const I16s& x, int32_t shift) {
    return Map(x, x, [shift](int64_t a, int64_t) {
        const int64_t wide = shift > 40 ? 0 : a * (int64_t{1} << shift);
        int64_t low = ((wide % 65536) + 65536) % 65536;
        return static_cast<int16_t>(low >= 32768 ? low - 65536 : low);
    });
}
I16s SubConstScaledRef(const I16s& x, int16_t val, int32_t scale) {
    return Map(x, x, [val, scale](int64_t a, int64_t) { return RoundScaledRef(a - val, scale); });
}
int16_t SumScaledRef(const I16s& x, int32_t scale) {
    int64_t s = 0;
    for (int16_t v : x) s += v;
    return RoundScaledRef(s, scale);
}
int64_t DotRef(const I16s& a, const I16s& b) {
    int64_t s = 0;
    for (size_t i = 0; i < a.size(); ++i) s += int64_t{a[i]} * b[i];
    return s;
}
int16_t ExtremeRef(const I16s& x, bool max, int32_t* index) {
    size_t at = 0;
    for (size_t i = 1; i < x.size(); ++i)
        if (max ? x[i] > x[at] : x[i] < x[at]) at = i;
    if (index != nullptr) *index = static_cast<int32_t>(at);
    return x[at];
}

}  // namespace sptest
