// The output scale of the integer-result filters and the conversions to 16 bits
// that follow it.  A result y * 2^-scale is formed in double with an exact
// power of two for every scale a caller can reach: the factor is built with
// ldexp rather than in a float's exponent field, so a scale of 128 divides by
// 2^128 instead of wrapping round to 1.  The scale is clamped to +-1000, where
// every 16-bit result has long saturated (or reached 0) and the factor is still
// finite, so that a zero sum times the largest factor stays 0.
//
// Everything here has internal linkage: each variant's translation unit
// compiles its own copy with its own flags.  None of it reads or changes the
// floating-point control state: rounding is done with exact integer steps,
// not by the processor's rounding mode.
#pragma once

#include <math.h>
#include <stdint.h>

namespace sp_internal {

constexpr int32_t kExactScaleLimit = 1000;

// 2^-scale in double, the scale clamped to +-1000.
static inline double ExactScaleFactor(int32_t scale) {
    const int32_t s = scale > kExactScaleLimit    ? kExactScaleLimit
                      : scale < -kExactScaleLimit ? -kExactScaleLimit
                                                  : scale;
    return ldexp(1.0, -s);
}

// Saturation common to the three conversions: true with *out set when y is
// NaN (-32768) or outside (-32768, 32767); false when y needs rounding.
static inline bool SaturateI16(double y, int16_t* out) {
    if (y != y) {
        *out = -32768;
        return true;
    }
    if (y >= 32767.0) {
        *out = 32767;
        return true;
    }
    if (y <= -32768.0) {
        *out = -32768;
        return true;
    }
    return false;
}

// Nearest, ties to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
static inline int16_t RoundI16NearestEven(double y) {
    int16_t r;
    if (SaturateI16(y, &r)) return r;
    const double t = trunc(y);  // |y| < 2^15, so t and y - t are exact
    const double frac = y - t;
    int32_t v = static_cast<int32_t>(t);
    if (frac > 0.5 || (frac == 0.5 && (v & 1) != 0)) ++v;
    if (frac < -0.5 || (frac == -0.5 && (v & 1) != 0)) --v;
    return static_cast<int16_t>(v);
}

// Nearest, halves away from zero (2.5 -> 3, -2.5 -> -3).
static inline int16_t RoundI16HalfAway(double y) {
    int16_t r;
    if (SaturateI16(y, &r)) return r;
    const double t = trunc(y);
    const double frac = y - t;
    int32_t v = static_cast<int32_t>(t);
    if (frac >= 0.5) ++v;
    if (frac <= -0.5) --v;
    return static_cast<int16_t>(v);
}

// Toward zero (2.9 -> 2, -2.9 -> -2).
static inline int16_t RoundI16TowardZero(double y) {
    int16_t r;
    if (SaturateI16(y, &r)) return r;
    return static_cast<int16_t>(static_cast<int32_t>(trunc(y)));
}

}  // namespace sp_internal
