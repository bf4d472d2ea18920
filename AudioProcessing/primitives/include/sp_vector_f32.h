// Floating-point vector routines of the primitives library.  Every routine has
// a generic member and the members of the processor variants (suffix _sse,
// _sse2, _sse3); all members check their arguments in the same order (null
// pointers -8, then lengths -6) and write nothing on an error.
//
// Included by sp_dispatch.h before the row list; includes nothing but the
// status codes.
#pragma once

#include "sp_status.h"

// ---- Double-precision scaling (no dispatch row) ----------------------------------------
// srcdst[i] *= val in double, each product rounded once.  val equal to 1.0, or
// NaN (unordered, counted as equal), leaves the data untouched; 0.0 zero-fills
// through the same variant's sp_zero_f64.  -8 srcdst null, -6 n < 1.  Each
// member of the polyphase resampler's create calls the member of its own variant.
sp_status sp_mul_const_f64_inplace(double val, double* srcdst, int32_t n);
sp_status sp_mul_const_f64_inplace_sse(double val, double* srcdst, int32_t n);
sp_status sp_mul_const_f64_inplace_sse2(double val, double* srcdst, int32_t n);
sp_status sp_mul_const_f64_inplace_sse3(double val, double* srcdst, int32_t n);

// ---- Row types ---------------------------------------------------------------------------
typedef sp_status (*sp_mul_const_f32_inplace_fn)(float val, float* srcdst, int32_t len);
typedef sp_status (*sp_mean_f32_fn)(const float* src, int32_t len, float* mean, int32_t hint);
typedef sp_status (*sp_mul_i16_to_f32_fn)(const int16_t* src1, const int16_t* src2, float* dst,
                                          int32_t len);
typedef sp_status (*sp_abs_f32_inplace_fn)(float* srcdst, int32_t len);
typedef sp_status (*sp_sum_f32_fn)(const float* src, int32_t len, float* sum, int32_t hint);
typedef sp_status (*sp_min_f32_fn)(const float* src, int32_t len, float* min);
typedef sp_status (*sp_max_f32_fn)(const float* src, int32_t len, float* max);
typedef sp_status (*sp_max_index_f32_fn)(const float* src, int32_t len, float* max, int32_t* index);
typedef sp_status (*sp_min_index_f32_fn)(const float* src, int32_t len, float* min, int32_t* index);
typedef sp_status (*sp_stddev_f32_fn)(const float* src, int32_t len, float* stddev, int32_t hint);
typedef sp_status (*sp_sort_ascend_f32_inplace_fn)(float* srcdst, int32_t len);
typedef sp_status (*sp_div_f32_fn)(const float* src1, const float* src2, float* dst, int32_t len);

// Declares a routine's four members.
#define SP_VF_MEMBERS(name, ...)        \
    sp_status name(__VA_ARGS__);        \
    sp_status name##_sse(__VA_ARGS__);  \
    sp_status name##_sse2(__VA_ARGS__); \
    sp_status name##_sse3(__VA_ARGS__);

// x *= val (entry 13), each product rounded once; val 1 (or NaN) leaves the
// vector, val 0 zero-fills it through the member's own sp_zero_f32.
SP_VF_MEMBERS(sp_mul_const_f32_inplace, float val, float* srcdst, int32_t len)
// dst[i] = src1[i] * src2[i], the exact product rounded to f32 (entry 32).
SP_VF_MEMBERS(sp_mul_i16_to_f32, const int16_t* src1, const int16_t* src2, float* dst, int32_t len)
// x = |x| by clearing the sign bit: -0 gives +0, a NaN keeps its payload (entry 33).
SP_VF_MEMBERS(sp_abs_f32_inplace, float* srcdst, int32_t len)

// Sums (entries 34, 18, 51).  hint 1 asks the SIMD members for f32 lane sums
// in long blocks (fast); any other hint for double partial sums (accurate).
// The generic members ignore the hint and sum in double.  The mean is the
// sum divided by len in double; the standard deviation is the sample one
// (len >= 2, else -6), +0 when rounding leaves no positive variance.
SP_VF_MEMBERS(sp_sum_f32, const float* src, int32_t len, float* sum, int32_t hint)
SP_VF_MEMBERS(sp_mean_f32, const float* src, int32_t len, float* mean, int32_t hint)
SP_VF_MEMBERS(sp_stddev_f32, const float* src, int32_t len, float* stddev, int32_t hint)

// Extremes (entries 36, 37, 48, 50).  Without NaN and mixed-sign zeros every
// member finds the plain minimum or maximum; the index is that of its first
// occurrence and may be null.
SP_VF_MEMBERS(sp_min_f32, const float* src, int32_t len, float* min)
SP_VF_MEMBERS(sp_max_f32, const float* src, int32_t len, float* max)
SP_VF_MEMBERS(sp_max_index_f32, const float* src, int32_t len, float* max, int32_t* index)
SP_VF_MEMBERS(sp_min_index_f32, const float* src, int32_t len, float* min, int32_t* index)

// Ascending order in place, without extra memory (entry 52).
SP_VF_MEMBERS(sp_sort_ascend_f32_inplace, float* srcdst, int32_t len)

// dst[i] = src2[i] / src1[i] (entry 53).  A zero divisor gives +inf, -inf or a
// NaN (0xFFC00000 generic, 0x7FC00000 SIMD) by the dividend's sign, and the
// status 6 once every element is written.  The generic member rounds the exact
// quotient; the SIMD members refine the processor's reciprocal estimate
// (within two units in the last place).
SP_VF_MEMBERS(sp_div_f32, const float* src1, const float* src2, float* dst, int32_t len)
#undef SP_VF_MEMBERS
