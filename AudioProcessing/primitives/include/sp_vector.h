// Vector copies and moves of the primitives library, with the function types of
// their dispatch rows.  Every routine has a generic member and the members of
// the processor variants (suffix _sse, _sse2, _sse3); all members of a routine
// check their arguments in the same order (null pointers -8, then lengths -6)
// and write the same bytes; on an error nothing is written.
//
// Included by sp_dispatch.h before the row list; includes nothing but the
// status codes.
#pragma once

#include "sp_status.h"

// ---- Row types ------------------------------------------------------------------
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
