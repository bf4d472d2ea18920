// Vector arithmetic on 16-bit integers, fills, copies and moves of the
// primitives library, with the function types of their dispatch rows.  Every routine has a generic
// member and the members of the processor variants (suffix _sse, _sse2, _sse3); all members of a
// routine check their arguments in the same order (null pointers -8, then lengths -6) and write the
// same bytes; on an error nothing is written.
//
// Included by sp_dispatch.h before the row list; includes nothing but the
// status codes.
#pragma once

#include "sp_status.h"

// Scaled results are the exact result times 2^-scale, rounded to nearest with
// ties to even and saturated to -32768..32767 (sat16).

// ---- Row types ------------------------------------------------------------------
typedef sp_status (*sp_sub_sat_i16_fn)(const int16_t* src1, const int16_t* src2, int16_t* dst,
                                       int32_t len);
typedef sp_status (*sp_abs_sat_i16_inplace_fn)(int16_t* srcdst, int32_t len);
typedef sp_status (*sp_sum_i16_scaled_fn)(const int16_t* src, int32_t len, int16_t* sum,
                                          int32_t scale);
typedef sp_status (*sp_max_i16_fn)(const int16_t* src, int32_t len, int16_t* max);
typedef sp_status (*sp_min_i16_fn)(const int16_t* src, int32_t len, int16_t* min);
typedef sp_status (*sp_rshift_i16_inplace_fn)(int32_t shift, int16_t* srcdst, int32_t len);
typedef sp_status (*sp_lshift_i16_inplace_fn)(int32_t shift, int16_t* srcdst, int32_t len);
typedef sp_status (*sp_rshift_i16_fn)(const int16_t* src, int32_t shift, int16_t* dst, int32_t len);
typedef sp_status (*sp_dot_i16_to_f32_fn)(const int16_t* src1, const int16_t* src2, int32_t len,
                                          float* dot);
typedef sp_status (*sp_set_i16_fn)(int16_t val, int16_t* dst, int32_t len);
typedef sp_status (*sp_sub_const_i16_scaled_fn)(const int16_t* src, int16_t val, int16_t* dst,
                                                int32_t len, int32_t scale);
typedef sp_status (*sp_set_32_fn)(uint32_t val, void* dst, int32_t len);
typedef sp_status (*sp_add_sat_i16_fn)(const int16_t* src1, const int16_t* src2, int16_t* dst,
                                       int32_t len);
typedef sp_status (*sp_max_index_i16_fn)(const int16_t* src, int32_t len, int16_t* max,
                                         int32_t* index);
typedef sp_status (*sp_copy_f32_fn)(const float* src, float* dst, int32_t len);
typedef sp_status (*sp_move_i16_fn)(const int16_t* src, int16_t* dst, int32_t len);
typedef sp_status (*sp_move_f32_fn)(const float* src, float* dst, int32_t len);

// ---- Copy and move ----------------------------------------------------------------
// len floats from src to dst, front to back; the arrays must not overlap
// (entry 14).  The SSE member picks its byte kernel by length: below 2048
// elements, 2048-4095, from 4096.
sp_status sp_copy_f32(const float* src, float* dst, int32_t len);
sp_status sp_copy_f32_sse(const float* src, float* dst, int32_t len);
sp_status sp_copy_f32_sse2(const float* src, float* dst, int32_t len);
sp_status sp_copy_f32_sse3(const float* src, float* dst, int32_t len);

// len elements from src to dst, correct for overlapping arrays: dst ends up
// holding what src held before the call (entries 11 and 40).
sp_status sp_move_i16(const int16_t* src, int16_t* dst, int32_t len);
sp_status sp_move_i16_sse(const int16_t* src, int16_t* dst, int32_t len);
sp_status sp_move_i16_sse2(const int16_t* src, int16_t* dst, int32_t len);
sp_status sp_move_i16_sse3(const int16_t* src, int16_t* dst, int32_t len);
sp_status sp_move_f32(const float* src, float* dst, int32_t len);
sp_status sp_move_f32_sse(const float* src, float* dst, int32_t len);
sp_status sp_move_f32_sse2(const float* src, float* dst, int32_t len);
sp_status sp_move_f32_sse3(const float* src, float* dst, int32_t len);

// ---- Saturating arithmetic (entries 1, 56, 2) --------------------------------------
// dst[i] = sat16(src2[i] - src1[i]): the second array minus the first.
sp_status sp_sub_sat_i16(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len);
sp_status sp_sub_sat_i16_sse(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len);
sp_status sp_sub_sat_i16_sse2(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len);
sp_status sp_sub_sat_i16_sse3(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len);
// dst[i] = sat16(src1[i] + src2[i]).
sp_status sp_add_sat_i16(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len);
sp_status sp_add_sat_i16_sse(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len);
sp_status sp_add_sat_i16_sse2(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len);
sp_status sp_add_sat_i16_sse3(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len);
// x = |x| in place, -32768 giving 32767.
sp_status sp_abs_sat_i16_inplace(int16_t* srcdst, int32_t len);
sp_status sp_abs_sat_i16_inplace_sse(int16_t* srcdst, int32_t len);
sp_status sp_abs_sat_i16_inplace_sse2(int16_t* srcdst, int32_t len);
sp_status sp_abs_sat_i16_inplace_sse3(int16_t* srcdst, int32_t len);

// ---- Scaled sum and difference (entries 5, 47) --------------------------------------
// *sum = sat16(sum of src * 2^-scale); any scale, INT32_MIN and INT32_MAX included.
sp_status sp_sum_i16_scaled(const int16_t* src, int32_t len, int16_t* sum, int32_t scale);
sp_status sp_sum_i16_scaled_sse(const int16_t* src, int32_t len, int16_t* sum, int32_t scale);
sp_status sp_sum_i16_scaled_sse2(const int16_t* src, int32_t len, int16_t* sum, int32_t scale);
sp_status sp_sum_i16_scaled_sse3(const int16_t* src, int32_t len, int16_t* sum, int32_t scale);
// dst[i] = sat16((src[i] - val) * 2^-scale).
sp_status sp_sub_const_i16_scaled(const int16_t* src, int16_t val, int16_t* dst, int32_t len,
                                  int32_t scale);
sp_status sp_sub_const_i16_scaled_sse(const int16_t* src, int16_t val, int16_t* dst, int32_t len,
                                      int32_t scale);
sp_status sp_sub_const_i16_scaled_sse2(const int16_t* src, int16_t val, int16_t* dst, int32_t len,
                                       int32_t scale);
sp_status sp_sub_const_i16_scaled_sse3(const int16_t* src, int16_t val, int16_t* dst, int32_t len,
                                       int32_t scale);

// ---- Extremes (entries 7, 8, 59) --------------------------------------------------
sp_status sp_max_i16(const int16_t* src, int32_t len, int16_t* max);
sp_status sp_max_i16_sse(const int16_t* src, int32_t len, int16_t* max);
sp_status sp_max_i16_sse2(const int16_t* src, int32_t len, int16_t* max);
sp_status sp_max_i16_sse3(const int16_t* src, int32_t len, int16_t* max);
sp_status sp_min_i16(const int16_t* src, int32_t len, int16_t* min);
sp_status sp_min_i16_sse(const int16_t* src, int32_t len, int16_t* min);
sp_status sp_min_i16_sse2(const int16_t* src, int32_t len, int16_t* min);
sp_status sp_min_i16_sse3(const int16_t* src, int32_t len, int16_t* min);
// The largest element and the index of its first occurrence; index may be null.
sp_status sp_max_index_i16(const int16_t* src, int32_t len, int16_t* max, int32_t* index);
sp_status sp_max_index_i16_sse(const int16_t* src, int32_t len, int16_t* max, int32_t* index);
sp_status sp_max_index_i16_sse2(const int16_t* src, int32_t len, int16_t* max, int32_t* index);
sp_status sp_max_index_i16_sse3(const int16_t* src, int32_t len, int16_t* max, int32_t* index);

// ---- Shifts (entries 9, 10, 12) -----------------------------------------------------
// Arithmetic right shift; a shift of 16 or more leaves each element's sign
// (0 or -1); a negative shift is refused with -32 after the pointer and length
// checks.
sp_status sp_rshift_i16_inplace(int32_t shift, int16_t* srcdst, int32_t len);
sp_status sp_rshift_i16_inplace_sse(int32_t shift, int16_t* srcdst, int32_t len);
sp_status sp_rshift_i16_inplace_sse2(int32_t shift, int16_t* srcdst, int32_t len);
sp_status sp_rshift_i16_inplace_sse3(int32_t shift, int16_t* srcdst, int32_t len);
sp_status sp_rshift_i16(const int16_t* src, int32_t shift, int16_t* dst, int32_t len);
sp_status sp_rshift_i16_sse(const int16_t* src, int32_t shift, int16_t* dst, int32_t len);
sp_status sp_rshift_i16_sse2(const int16_t* src, int32_t shift, int16_t* dst, int32_t len);
sp_status sp_rshift_i16_sse3(const int16_t* src, int32_t shift, int16_t* dst, int32_t len);
// Left shift keeping the low 16 bits (no saturation); 16 or more zeroes.
sp_status sp_lshift_i16_inplace(int32_t shift, int16_t* srcdst, int32_t len);
sp_status sp_lshift_i16_inplace_sse(int32_t shift, int16_t* srcdst, int32_t len);
sp_status sp_lshift_i16_inplace_sse2(int32_t shift, int16_t* srcdst, int32_t len);
sp_status sp_lshift_i16_inplace_sse3(int32_t shift, int16_t* srcdst, int32_t len);

// ---- Dot products (entry 35, and the resampler's 64-bit form) -----------------------
// The exact sum of src1[i] * src2[i]: rounded to nearest f32 by entry 35, whole
// in *dot by sp_dot_i16_to_i64.
sp_status sp_dot_i16_to_f32(const int16_t* src1, const int16_t* src2, int32_t len, float* dot);
sp_status sp_dot_i16_to_f32_sse(const int16_t* src1, const int16_t* src2, int32_t len, float* dot);
sp_status sp_dot_i16_to_f32_sse2(const int16_t* src1, const int16_t* src2, int32_t len, float* dot);
sp_status sp_dot_i16_to_f32_sse3(const int16_t* src1, const int16_t* src2, int32_t len, float* dot);
sp_status sp_dot_i16_to_i64(const int16_t* src1, const int16_t* src2, int32_t len, int64_t* dot);
sp_status sp_dot_i16_to_i64_sse(const int16_t* src1, const int16_t* src2, int32_t len,
                                int64_t* dot);
sp_status sp_dot_i16_to_i64_sse2(const int16_t* src1, const int16_t* src2, int32_t len,
                                 int64_t* dot);
sp_status sp_dot_i16_to_i64_sse3(const int16_t* src1, const int16_t* src2, int32_t len,
                                 int64_t* dot);

// ---- Fills (entries 46, 49) ---------------------------------------------------------
// Every element = val; the 32-bit fill writes the word bit for bit (a float or an
// integer alike) at any byte address.  The SSE members switch to streaming
// stores from 20480 bytes.
sp_status sp_set_i16(int16_t val, int16_t* dst, int32_t len);
sp_status sp_set_i16_sse(int16_t val, int16_t* dst, int32_t len);
sp_status sp_set_i16_sse2(int16_t val, int16_t* dst, int32_t len);
sp_status sp_set_i16_sse3(int16_t val, int16_t* dst, int32_t len);
sp_status sp_set_32(uint32_t val, void* dst, int32_t len);
sp_status sp_set_32_sse(uint32_t val, void* dst, int32_t len);
sp_status sp_set_32_sse2(uint32_t val, void* dst, int32_t len);
sp_status sp_set_32_sse3(uint32_t val, void* dst, int32_t len);
