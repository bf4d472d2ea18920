// Generic kernels and table builders beneath the real FFT (sp_rfft.h).  They
// trust their arguments: the fronts check everything.  "count" is a number of
// complex points (interleaved f32 pairs); table orders are log2 of a length.
//
// Tables (every value is read by quadrant from one sine table of the full
// order, s[i] = sin(2 pi i / 2^sineOrder), i = 0 .. 2^sineOrder / 4):
//   bit-reverse table of order k: 2^(k-2) + 1 int32 words; pairs (4i, 4 rev(i))
//     for i < rev(i) from the front, a 0 word, the self-reversed 4i from word
//     2^(k-2) - 1 downwards, and a closing 0 (rev reverses k - 2 bits);
//   radix twiddles of order k: 2^k/4 + 1 entries of (w^j, w^2j, w^3j), w = e^(-2 pi i / 2^k);
//   quarter twiddles of order k: 2^k/4 values w^j;
//   split table of order N: (0.5 cos t, 0.5 - 0.5 sin t), t = 2 pi k / N, k < N/4;
//   merge table of order N: (cos t, -sin t), k < N/4;
//   block (transposition) twiddles of a large-path level (m, k1): 2^m values
//     w_(2^m)^(rev(r) j) for the 2^k1 rows r and 2^(m-k1) columns j, stored by
//     groups of four columns, row after row, four values a row.
#pragma once

#include "sp_rfft.h"

// Inner order k1 of the large-path level of complex order m (0: not split).
extern const int8_t sp_fft_large_split_table[31];
// Work bytes the generic transforms need at complex order n (without the 16
// bytes of alignment room); 0 below the large path.
int32_t sp_fft_large_work_bytes(int32_t n);

// ---- Builders (null / -9 when memory is short) --------------------------------
float* sp_fft_sine_table(int32_t order);
// The sine table from sinl/cosl (extended != 0) or sin/cos of the same double
// arguments.  sp_fft_sine_table takes the double functions up to
// SP_FFT_SINE_DOUBLE_MAX_ORDER, where both give the same table.
float* sp_fft_sine_table_with(int32_t order, int32_t extended);
#define SP_FFT_SINE_DOUBLE_MAX_ORDER 22
int32_t* sp_fft_bitrev_table(int32_t k);
float* sp_fft_twiddles_radix4(int32_t k, const float* sine, int32_t sineOrder);
float* sp_fft_twiddles_quarter(int32_t k, const float* sine, int32_t sineOrder);
float* sp_fft_block_twiddles(int32_t m, int32_t k1, const float* sine, int32_t sineOrder);
sp_status sp_fft_large_tables(sp_rfft_spec* spec, int32_t n, const float* sine, int32_t sineOrder);
sp_status sp_fft_large_tables_level(sp_rfft_spec* spec, int32_t n, const float* sine,
                                    int32_t sineOrder, int32_t level);
float* sp_rfft_split_table(int32_t order, const float* sine);
float* sp_rfft_merge_table(int32_t order, const float* sine);
// Twiddle w_K^p = e^(-2 pi i p / K), 0 <= p < K, K = 2^k >= 4, from the sine table.
void sp_fft_twiddle_from_sine(const float* sine, int32_t sineOrder, int32_t k, int64_t p, float* re,
                              float* im);
// Reverses the low `bits` bits of x.
uint32_t sp_fft_reverse_bits(uint32_t x, int32_t bits);

// ---- Run-time kernels --------------------------------------------------------------
void sp_fft_bitrev_copy(const float* src, float* dst, int32_t count, const int32_t* table);
void sp_fft_bitrev_inplace(float* data, int32_t count, const int32_t* table);
// Radix passes in place on bit-reversed data, 8 <= count; twiddles of order log2(count).
void sp_fft_radix_fwd(float* data, int32_t count, const float* twiddles);
void sp_fft_radix_inv(float* data, int32_t count, const float* twiddles);
// The same passes in the direction's sense (-1 inverse), each result times
// *factor unless factor is null: the products of sp_fft_scale_f32, bit for bit.
void sp_fft_radix_scaled(float* data, int32_t count, const float* twiddles, int32_t direction,
                         const float* factor);
// count floats multiplied in place by factor (product in double, rounded to f32).
void sp_fft_scale_f32(float factor, float* data, int32_t count);
// Complex transform in place of 2^n bit-reversed points, n >= 11, scaled by the
// direction's flag of the plan; work holds sp_fft_large_work_bytes(n) bytes, 16-byte aligned.
void sp_fft_large_fwd(const sp_rfft_spec* spec, float* data, int32_t n, float* work);
void sp_fft_large_inv(const sp_rfft_spec* spec, float* data, int32_t n, float* work);
// One decomposition level of complex order n at depth `level`.
void sp_fft_large_step_fwd(const sp_rfft_spec* spec, float* data, int32_t n, int32_t level,
                           float* work);
void sp_fft_large_step_inv(const sp_rfft_spec* spec, float* data, int32_t n, int32_t level,
                           float* work);
// Unsplit block path of 2^n points (n = 11, 12): 1024-point blocks then radix-2 combines.
void sp_fft_blocks_fwd(const sp_rfft_spec* spec, float* data, int32_t n, float* work);
void sp_fft_blocks_inv(const sp_rfft_spec* spec, float* data, int32_t n, float* work);
// One radix-2 combining stage of span `span` over count points with the
// quarter table of order log2(count); direction 1 forward, -1 inverse.  The
// chunk is no longer used: the butterflies are independent and give the
// same results in any order.
void sp_fft_combine_radix2(float* data, int32_t count, int32_t span, const float* quarter,
                           int32_t direction, int32_t chunk);
// Real split (forward, after the DC/Nyquist step) and merge (inverse) over M
// complex points; direction 1 and -1.
void sp_rfft_split_fwd(float* data, int32_t count, int32_t direction, const float* table);
void sp_rfft_merge_inv(const float* src, float* dst, int32_t count, int32_t direction,
                       const float* table);
// The generic member's whole real transforms from order 4 in the packed
// order (the variant's real_fwd / real_inv): false for the internal order.
bool sp_rfft_generic_real_fwd(const sp_rfft_spec* spec, const float* src, float* dst, float* work,
                              int32_t perm);
bool sp_rfft_generic_real_inv(const sp_rfft_spec* spec, const float* src, float* dst, float* work,
                              int32_t perm);
