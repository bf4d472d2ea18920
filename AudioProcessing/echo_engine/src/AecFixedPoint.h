// Fixed-point arithmetic of the echo canceller engine.
//
// Samples and coefficients are signed 16-bit (Q15, Q13 or Q12 as each use
// says); accumulators and energies are signed 32-bit two's complement.  Plain
// 32-bit sums and products that the algorithms let wrap are done in unsigned
// arithmetic on purpose, so that wrapping is defined behaviour; everything
// that must saturate goes through the helpers below.
//
// Built with AEC_CHECKED_ARITHMETIC (the tests do), AecCheck traps where a
// quantity must not overflow by construction (headroom-shifted energies and
// correlations, Q15 products of in-range operands).
#pragma once

#include <stdint.h>
#include <string.h>

namespace aec {

#if defined(AEC_CHECKED_ARITHMETIC)
inline void AecCheck(bool ok) {
    if (!ok) __builtin_trap();
}
#else
inline void AecCheck(bool) {}
#endif

constexpr int32_t kInt32Max = 0x7FFFFFFF;
constexpr int32_t kInt32Min = -0x7FFFFFFF - 1;

// ---- wrapping and saturating basics ----------------------------------------

// a + b and a * b modulo 2^32.
inline int32_t WrapAdd32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t WrapSub32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t WrapMul32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
// x * 2^n modulo 2^32 for 0 <= n <= 31 (a left shift that may drop bits).
inline int32_t WrapShl32(int32_t x, int n) {
    return static_cast<int32_t>(static_cast<uint32_t>(x) << n);
}
// Shift right by n (left by -n), shift counts limited to 31 either way.
inline int32_t ShiftRight32(int32_t x, int n) {
    if (n >= 0) return x >> (n > 31 ? 31 : n);
    n = -n;
    return WrapShl32(x, n > 31 ? 31 : n);
}
inline int64_t ShiftRight64(int64_t x, int n) {
    if (n >= 0) return x >> (n > 63 ? 63 : n);
    n = -n;
    return static_cast<int64_t>(static_cast<uint64_t>(x) << (n > 62 ? 62 : n));
}

inline int64_t Min64(int64_t a, int64_t b) {
    return a < b ? a : b;
}
inline int64_t Max64(int64_t a, int64_t b) {
    return a > b ? a : b;
}

// Saturate to the 16-bit range.
inline int16_t Saturate16(int32_t x) {
    if (x > 32767) return 32767;
    if (x < -32768) return -32768;
    return static_cast<int16_t>(x);
}
inline int16_t Saturate16(int64_t x) {
    if (x > 32767) return 32767;
    if (x < -32768) return -32768;
    return static_cast<int16_t>(x);
}
inline int32_t Saturate32(int64_t x) {
    if (x > kInt32Max) return kInt32Max;
    if (x < kInt32Min) return kInt32Min;
    return static_cast<int32_t>(x);
}

// a + b and a - b saturated to [-32768, 32767].
inline int16_t add16(int16_t a, int16_t b) {
    return Saturate16(int32_t(a) + int32_t(b));
}
inline int16_t sub16(int16_t a, int16_t b) {
    return Saturate16(int32_t(a) - int32_t(b));
}
// a + b and a - b saturated to the 32-bit range.
inline int32_t add32(int32_t a, int32_t b) {
    return Saturate32(int64_t(a) + int64_t(b));
}
inline int32_t sub32(int32_t a, int32_t b) {
    return Saturate32(int64_t(a) - int64_t(b));
}

// Q15 x Q15 -> Q15 with rounding: (a * b + 2^14) >> 15.  Only -1 * -1
// leaves the range, and saturates.
inline int16_t MulQ15Round(int16_t a, int16_t b) {
    return Saturate16((int32_t(a) * int32_t(b) + 16384) >> 15);
}
// A 32-bit value rounded to its upper 16 bits, saturated.
inline int16_t Round16(int32_t x) {
    return Saturate16((int64_t(x) + 0x8000) >> 16);
}

// Left shifts that bring a non-zero x (or ~x for negative x) into
// 0x40000000..0x7FFFFFFF; 0 for 0, 31 for -1.
inline int norm32(int32_t x) {
    if (x == 0) return 0;
    if (x < 0) x = ~x;
    if (x == 0) return 31;
    return __builtin_clz(static_cast<uint32_t>(x)) - 1;
}
// norm32 with 31 for a zero argument, as every caller wants.
inline int Norm32NonZero(int32_t x) {
    return x == 0 ? 31 : norm32(x);
}

// Position of the highest set bit of n plus one (0 for 0).
inline int BitCount(uint32_t n) {
    return n == 0 ? 0 : 32 - __builtin_clz(n);
}

// a / b truncated toward zero; 0x7FFFFFFF for b = 0 and for the one quotient
// that does not fit (INT32_MIN / -1).
inline int32_t div32by16(int32_t a, int16_t b) {
    if (b == 0) return kInt32Max;
    if (a == kInt32Min && b == -1) return kInt32Max;
    return a / b;
}

// ---- buffers ------------------------------------------------------------------

inline void fill16(int16_t* buffer, int16_t value, int count) {
    for (int i = 0; i < count; ++i) buffer[i] = value;
}
inline void fill32(int32_t* buffer, int32_t value, int count) {
    for (int i = 0; i < count; ++i) buffer[i] = value;
}
// Copies n samples of src forwards into dst backwards (dstEnd, dstEnd - 1, ...);
// returns the position after the last write.
inline int16_t* copyReversed(int16_t* dstEnd, const int16_t* src, int n) {
    for (int i = 0; i < n; ++i) *dstEnd-- = src[i];
    return dstEnd;
}
inline void move16(int16_t* dst, const int16_t* src, int n) {
    if (n > 0) memmove(dst, src, size_t(n) * sizeof(int16_t));
}
inline void move32(int32_t* dst, const int32_t* src, int n) {
    if (n > 0) memmove(dst, src, size_t(n) * sizeof(int32_t));
}

// ---- reductions ---------------------------------------------------------------

inline int32_t min32(const int32_t* v, int n) {
    int32_t m = v[0];
    for (int i = 1; i < n; ++i)
        if (v[i] < m) m = v[i];
    return m;
}
inline int32_t max32(const int32_t* v, int n) {
    int32_t m = v[0];
    for (int i = 1; i < n; ++i)
        if (v[i] > m) m = v[i];
    return m;
}
inline int16_t max16(const int16_t* v, int n) {
    int16_t m = v[0];
    for (int i = 1; i < n; ++i)
        if (v[i] > m) m = v[i];
    return m;
}
// Largest |v[i]|; 32 bits because |-32768| does not fit 16.  0 when n < 1.
inline int32_t maxAbs16(const int16_t* v, int n) {
    int32_t m = 0;
    for (int i = 0; i < n; ++i) {
        int32_t a = v[i] < 0 ? -int32_t(v[i]) : int32_t(v[i]);
        if (a > m) m = a;
    }
    return m;
}

// Smallest shift s such that n products of the largest |x| squared cannot
// overflow 32 bits: bits(n) - norm(max^2), at least 0; 0 for all-zero x.
inline int HeadroomShift(const int16_t* x, int n) {
    int32_t m = maxAbs16(x, n);
    if (m == 0) return 0;
    int s = BitCount(uint32_t(n)) - norm32(m * m);
    return s < 0 ? 0 : s;
}

// Sum of (x^2 >> shift) with the headroom shift, which is written out.
inline int32_t energyScaled(const int16_t* x, int n, int* shiftOut) {
    int s = HeadroomShift(x, n);
    int64_t sum = 0;
    for (int i = 0; i < n; ++i) sum += (int32_t(x[i]) * x[i]) >> s;
    AecCheck(sum <= kInt32Max);
    *shiftOut = s;
    return Saturate32(sum);
}

// Sum of (a[i] * b[i]) >> s; must fit 32 bits with the caller's shift.
inline int32_t dotScaled(const int16_t* a, const int16_t* b, int n, int s) {
    int64_t sum = 0;
    for (int i = 0; i < n; ++i) sum += (int32_t(a[i]) * b[i]) >> s;
    AecCheck(sum <= kInt32Max && sum >= kInt32Min);
    return Saturate32(sum);
}

// Sum of a[i] * b[i] with a wrapping 32-bit sum.
inline int32_t dot(const int16_t* a, const int16_t* b, int n) {
    uint32_t sum = 0;
    for (int i = 0; i < n; ++i) sum += static_cast<uint32_t>(int32_t(a[i]) * b[i]);
    return static_cast<int32_t>(sum);
}

// First-order smoothing of x^2 into *acc with weight 2^-k, per sample:
// acc += (x^2 - acc + c) >> k.  Callers pass c = 2^(k-1) when acc exceeds it.
inline void LeakyEnergy(int32_t* acc, const int16_t* x, int n, int k, int32_t c) {
    int32_t a = *acc;
    if (a >= 0 && c >= 0 && c < (int32_t(1) << 30)) {
        // Then no step leaves [0, 2^31): a step up ends at most at
        // x^2 + c < 2^31, a step down no lower than x^2 + c >= 0.  The
        // saturation never acts and stays off the per-sample chain.
        for (int i = 0; i < n; ++i) a += (int32_t(x[i]) * x[i] + c - a) >> k;
        *acc = a;
        return;
    }
    for (int i = 0; i < n; ++i) {
        int64_t step = (int64_t(int32_t(x[i]) * x[i]) - a + c) >> k;
        a = Saturate32(int64_t(a) + step);
    }
    *acc = a;
}
// The leaky energy with the rounding offset chosen as callers do, kept >= 1.
inline void TrackEnergy(int32_t* acc, const int16_t* x, int n, int k) {
    int32_t half = int32_t(1) << (k - 1);
    LeakyEnergy(acc, x, n, k, *acc > half ? half : 0);
    if (*acc < 1) *acc = 1;
}

// taps[i] += (x[i] * r + 0x8000) >> 16, wrapping in 16 bits: a tap that
// overflows changes sign, and the divergence watch repairs it.
inline void tapUpdate(int16_t r, int n, const int16_t* x, int16_t* taps) {
    for (int i = 0; i < n; ++i) {
        int32_t d = (int32_t(x[i]) * r + 0x8000) >> 16;
        taps[i] = static_cast<int16_t>(
            static_cast<uint16_t>(static_cast<uint16_t>(taps[i]) + static_cast<uint16_t>(d)));
    }
}

// Copies the last m of n samples to dst (filter memories).
inline void tailCopy(const int16_t* src, int n, int m, int16_t* dst) {
    move16(dst, src + (n - m), m);
}

// ---- out of line ----------------------------------------------------------------

// Square root of a non-negative 32-bit value by a polynomial on the
// normalised argument; 0 for x <= 0.  The result can exceed 16 bits (46340 at
// most), so it is returned in 32.
int32_t sqrt32(int32_t x);
// The polynomial of sqrt32 on a normalised y; the root is in the upper 16 bits.
int32_t sqrtPoly(int32_t y);

// r[k] = sum (x[i] x[i+k]) >> s over i < n-k, k = 0..maxLag, with s the
// headroom shift of x over n (written out).
void autocorr(const int16_t* x, int n, int maxLag, int32_t* r, int* shiftOut);
// r[k] = dotScaled(x, x + k, n - k, s) for k = 0..maxLag.
void autocorrLags(const int16_t* x, int n, int maxLag, int32_t* r, int* shiftOut);

// num / den in Q15 for 0 <= num <= den, den > 0: the fifteen quotient bits
// of restoring division (32767 when num == den).
int16_t DivideQ15(int32_t num, int32_t den);
// Reflection coefficients k[1..p] (Q15, k[0] unused) of r[0..p] by the Schur
// recursion.  Returns the prediction gain r[0] / final error (integer, >= 1).
int32_t reflection(const int32_t* r, int p, int16_t* k);
// Reflection coefficients to direct form: a[0] = 1 in Q(q) when `leading`,
// a[1..p] from k[1..p] in Q(q) (q = 12 or 13).
void stepUp(const int16_t* k, int p, int q, int16_t* a);

// Block floating point: value = mantissa * 2^shift.
struct Bfp {
    int32_t mantissa;
    int shift;
};
// A non-negative 64-bit quantity as a 32-bit mantissa in 0x40000000..0x7FFFFFFF
// (or 0) with its shift.
Bfp ToBfp(int64_t v);

}  // namespace aec
