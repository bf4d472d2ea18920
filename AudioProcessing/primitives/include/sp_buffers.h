// Aligned buffers, zero fill, copy and sample conversion: the vector services on
// which the rest of the primitives stand.  Every routine exists in the members
// of the processor variants (suffix _sse, _sse2, _sse3; the generic member has
// none); the members write the same bytes and differ only in speed, except where
// noted at sp_convert_f32_to_i16_scaled.
//
// The vector operations check null pointers first (-8), then lengths (-6), and
// leave their outputs untouched on an error.  The raw kernels check nothing, do
// nothing for a count below 1, handle no overlap and return the destination.
#pragma once

#include "sp_status.h"

// ---- Aligned blocks -------------------------------------------------------
// A block is the first 32-byte boundary at least 8 bytes into an allocation of
// n + 40 bytes from MemAlloc; the allocator's own pointer is kept in the 8 bytes
// just before the block.  Null when n < 1, when the size does not fit the
// allocator's 32-bit request, or when memory is short.  Freed only by sp_free.
void* sp_alloc_bytes(int32_t bytes);
void* sp_alloc_32(int32_t count);  // count 32-bit elements (entry 61, generic/SSE/SSE2)
void* sp_alloc_32_sse3(int32_t count);
void* sp_alloc_f64(int32_t count);  // count 64-bit floats
void* sp_alloc_f64_sse3(int32_t count);
// Gives a block back to the allocator; null is ignored (entry 3, every variant).
void sp_free(void* block);

// ---- Zero -------------------------------------------------------------------
sp_status sp_zero_i16(int16_t* dst, int32_t len);  // entry 4
sp_status sp_zero_i16_sse(int16_t* dst, int32_t len);
sp_status sp_zero_i16_sse2(int16_t* dst, int32_t len);
sp_status sp_zero_i16_sse3(int16_t* dst, int32_t len);
sp_status sp_zero_f32(float* dst, int32_t len);  // entry 15
sp_status sp_zero_f32_sse(float* dst, int32_t len);
sp_status sp_zero_f32_sse2(float* dst, int32_t len);
sp_status sp_zero_f32_sse3(float* dst, int32_t len);
sp_status sp_zero_bytes(void* dst, int32_t bytes);
sp_status sp_zero_bytes_sse(void* dst, int32_t bytes);
sp_status sp_zero_bytes_sse2(void* dst, int32_t bytes);
sp_status sp_zero_bytes_sse3(void* dst, int32_t bytes);

void* sp_zero_bytes_kernel(void* dst, int64_t bytes);
void* sp_zero_bytes_kernel_sse(void* dst, int64_t bytes);        // below 20480 bytes
void* sp_zero_bytes_kernel_sse_large(void* dst, int64_t bytes);  // non-temporal stores
void* sp_zero_bytes_kernel_sse2(void* dst, int64_t bytes);
void* sp_zero_bytes_kernel_sse3(void* dst, int64_t bytes);

// ---- Copy -------------------------------------------------------------------
// Front to back, for buffers that do not overlap.
sp_status sp_copy_i16(const int16_t* src, int16_t* dst, int32_t len);  // entry 6
sp_status sp_copy_i16_sse(const int16_t* src, int16_t* dst, int32_t len);
sp_status sp_copy_i16_sse2(const int16_t* src, int16_t* dst, int32_t len);
sp_status sp_copy_i16_sse3(const int16_t* src, int16_t* dst, int32_t len);

void* sp_copy_bytes_kernel(const void* src, void* dst, int64_t bytes);
void* sp_copy_bytes_kernel_sse_small(const void* src, void* dst, int64_t bytes);
void* sp_copy_bytes_kernel_sse(const void* src, void* dst, int64_t bytes);  // non-temporal
void* sp_copy_bytes_kernel_sse_large(const void* src, void* dst, int64_t bytes);
void* sp_copy_bytes_kernel_sse2(const void* src, void* dst, int64_t bytes);
void* sp_copy_bytes_kernel_sse3(const void* src, void* dst, int64_t bytes);

// Touches a source block ahead of a copy: per 4096-byte stretch the first and
// last byte are read and every 32-byte line is prefetched non-temporally.  Reads
// only; a count of 0 does nothing.  sp_prefetch_block is the same routine.
void sp_prefetch_range(const void* src, int64_t bytes);
void sp_prefetch_block(const void* src, int64_t bytes);

// ---- Conversion -------------------------------------------------------------
// dst[i] = src[i] exactly (entry 17); all members give the same values.
sp_status sp_convert_i16_to_f32(const int16_t* src, float* dst, int32_t len);
sp_status sp_convert_i16_to_f32_sse(const int16_t* src, float* dst, int32_t len);
sp_status sp_convert_i16_to_f32_sse2(const int16_t* src, float* dst, int32_t len);
sp_status sp_convert_i16_to_f32_sse3(const int16_t* src, float* dst, int32_t len);

// dst[i] = src[i] * 2^-scale, saturated to -32768..32767 and rounded: round mode
// 1 to nearest with ties to even, 0 toward zero (entry 16).  Members agree for
// finite values in modes 0 and 1 whenever the scaled value is a normal float.
// Known differences: NaN gives -32768 in the generic member and 32767 in the
// SIMD members; other round modes truncate in the generic and SSE members and
// round to nearest in SSE2/SSE3.  The floating-point control state is the same
// after the call as before it.
sp_status sp_convert_f32_to_i16_scaled(const float* src, int16_t* dst, int32_t len,
                                       int32_t roundMode, int32_t scale);
sp_status sp_convert_f32_to_i16_scaled_sse(const float* src, int16_t* dst, int32_t len,
                                           int32_t roundMode, int32_t scale);
sp_status sp_convert_f32_to_i16_scaled_sse2(const float* src, int16_t* dst, int32_t len,
                                            int32_t roundMode, int32_t scale);
sp_status sp_convert_f32_to_i16_scaled_sse3(const float* src, int16_t* dst, int32_t len,
                                            int32_t roundMode, int32_t scale);
