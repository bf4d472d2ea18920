// Running median filter over 16-bit samples (entry 66).  The output at position
// i is the median of the odd window x[i-h] .. x[i+h] of the unfiltered input,
// the ends padded by repeating the end samples; positions 0 and len-1 keep their
// values.  An even mask is reduced by one and gives the warning 5.  Every
// member gives exactly the same output.
#pragma once

#include "sp_status.h"

// Checks (-8 null, -6 len or mask below 1), copies src to dst with the
// variant's copy and filters dst in place.  src == dst is allowed; partly
// overlapping buffers are not.  -9 when the work buffer of a large mask cannot
// be had: dst then holds the unfiltered copy.
sp_status sp_median_filter_i16(const int16_t* src, int16_t* dst, int32_t len, int32_t mask);
sp_status sp_median_filter_i16_sse(const int16_t* src, int16_t* dst, int32_t len, int32_t mask);
sp_status sp_median_filter_i16_sse2(const int16_t* src, int16_t* dst, int32_t len, int32_t mask);
sp_status sp_median_filter_i16_sse3(const int16_t* src, int16_t* dst, int32_t len, int32_t mask);

// In-place kernels.  The generic one checks its arguments; the SIMD ones expect
// a non-null pointer, len >= 1 and mask >= 1.  Masks from 7 (generic) or 11
// (SIMD) on use a work buffer and return -9 when it cannot be had.
sp_status sp_median_kernel_i16(int16_t* data, int32_t len, int32_t mask);
sp_status sp_median_kernel_i16_sse(int16_t* data, int32_t len, int32_t mask);
sp_status sp_median_kernel_i16_sse2(int16_t* data, int32_t len, int32_t mask);
sp_status sp_median_kernel_i16_sse3(int16_t* data, int32_t len, int32_t mask);

// Ascending exchange sort of n signed values; n below 2 does nothing.
void sp_sort_i32(int32_t* values, int32_t n);
