// Out-of-line fixed-point operations of the echo canceller engine: square
// root, correlations, the Schur recursion and its step-up to direct form.
#include "AecFixedPoint.h"

namespace aec {

namespace {

// Upper 16 bits of a 32-bit value, signed.
inline int32_t High16(int32_t x) {
    return x >> 16;
}

}  // namespace

int16_t DivideQ15(int32_t num, int32_t den) {
    // Fifteen steps of restoring division keep the remainder below den, so
    // for num < den they give floor(num * 2^15 / den); for num == den every
    // step subtracts and all fifteen bits are set.
    if (num >= den) return 32767;
    return static_cast<int16_t>((num << 15) / den);
}

int32_t sqrtPoly(int32_t y) {
    // d = y/2 - 1/2 in Q31; the root is a polynomial in d around 1/sqrt(2).
    int32_t d = WrapSub32(y >> 1, 0x40000000);
    int32_t t = High16(d);
    int32_t a = 2 * t * t;
    int32_t u = High16(-a);
    int32_t q = High16(WrapMul32(2 * u, u));
    int32_t r = High16(WrapMul32(2 * q, t));
    int32_t result = d;
    result = WrapAdd32(result, (-a) >> 1);
    result = WrapAdd32(result, kInt32Min);  // + 0x80000000
    result = WrapSub32(result, WrapMul32(40960, q));
    result = WrapAdd32(result, WrapMul32(57344, r));
    result = WrapAdd32(result, WrapMul32(High16(a), t));
    result = WrapAdd32(result, 0x8000);
    return result;
}

int32_t sqrt32(int32_t x) {
    if (x <= 0) return 0;
    int n = norm32(x);
    int h = n / 2;
    // Round the normalised argument to 16 bits; the rounding must not carry
    // into the sign, so it stops at 0x7FFF0000.
    int64_t rounded = int64_t(WrapShl32(x, n)) + 32768;
    if (rounded > 0x7FFF0000) rounded = 0x7FFF0000;
    int32_t y = static_cast<int32_t>(rounded) & static_cast<int32_t>(0xFFFF0000u);
    int32_t p = sqrtPoly(y);
    int32_t root;
    if ((n & 1) == 0) {
        // An even normalisation halves the argument's exponent exactly, so the
        // polynomial's root of y/2 is multiplied back by sqrt(2) (46340 in Q15).
        root =
            static_cast<int32_t>((int64_t(static_cast<uint32_t>(p) >> 16) * 46340 + 32768) >> 15);
        root &= ~1;
    } else {
        root = static_cast<int32_t>(static_cast<uint32_t>(p) >> 16);
    }
    return root >> h;
}

void autocorr(const int16_t* x, int n, int maxLag, int32_t* r, int* shiftOut) {
    int s = HeadroomShift(x, n);
    for (int k = 0; k <= maxLag; ++k) {
        int64_t sum = 0;
        for (int i = 0; i < n - k; ++i) sum += (int32_t(x[i]) * x[i + k]) >> s;
        AecCheck(sum <= kInt32Max && sum >= kInt32Min);
        r[k] = Saturate32(sum);
    }
    *shiftOut = s;
}

void autocorrLags(const int16_t* x, int n, int maxLag, int32_t* r, int* shiftOut) {
    int32_t m = maxAbs16(x, n);
    int s = 0;
    if (m != 0) {
        s = BitCount(uint32_t(n)) - norm32(m * m);
        if (s < 0) s = 0;
    }
    for (int k = 0; k <= maxLag; ++k) r[k] = dotScaled(x, x + k, n - k, s);
    *shiftOut = s;
}

int32_t reflection(const int32_t* r, int p, int16_t* k) {
    // Working rows in Q15 after normalising by r[0].
    int16_t P[16] = {};
    int16_t K[16] = {};
    int n = Norm32NonZero(r[0]);
    for (int i = 0; i <= p; ++i) P[i] = static_cast<int16_t>(WrapShl32(r[i], n) >> 16);
    for (int i = 1; i < p; ++i) K[i] = P[i];
    int16_t p0 = P[0];
    for (int i = 1; i <= p; ++i) k[i] = 0;
    for (int i = 1; i <= p; ++i) {
        int32_t absP1 = P[1] < 0 ? -int32_t(P[1]) : P[1];
        if (absP1 > P[0] || P[0] <= 0) break;
        int16_t ki = DivideQ15(absP1, P[0]);
        if (P[1] > 0) ki = static_cast<int16_t>(-ki);
        k[i] = ki;
        P[0] = add16(P[0], static_cast<int16_t>((int32_t(P[1]) * ki + 16384) >> 15));
        if (i == p) break;
        for (int j = 1; j <= p - i; ++j) {
            int16_t next = P[j + 1];
            P[j] = add16(next, static_cast<int16_t>((int32_t(K[j]) * ki + 16384) >> 15));
            K[j] = add16(K[j], static_cast<int16_t>((int32_t(next) * ki + 16384) >> 15));
        }
    }
    if (P[0] <= 0) return kInt32Max;
    int32_t gain = div32by16(p0, P[0]);
    return gain < 1 ? 1 : gain;
}

void stepUp(const int16_t* k, int p, int q, int16_t* a) {
    // k is Q15; a[i] = k[i] >> (15 - q) puts it in Q(q).
    int down = 15 - q;
    int16_t scratch[16] = {};
    a[0] = static_cast<int16_t>(1 << q);
    a[1] = static_cast<int16_t>(k[1] >> down);
    for (int i = 2; i <= p; ++i) {
        for (int j = 1; j < i; ++j)
            scratch[j] = add16(a[j], static_cast<int16_t>((int32_t(a[i - j]) * k[i]) >> 15));
        for (int j = 1; j < i; ++j) a[j] = scratch[j];
        a[i] = static_cast<int16_t>(k[i] >> down);
    }
}

Bfp ToBfp(int64_t v) {
    Bfp b{0, 0};
    if (v <= 0) return b;
    int shift = 0;
    while (v > kInt32Max) {
        v >>= 1;
        ++shift;
    }
    int n = norm32(static_cast<int32_t>(v));
    b.mantissa = static_cast<int32_t>(v) << n;
    b.shift = shift - n;
    return b;
}

}  // namespace aec
