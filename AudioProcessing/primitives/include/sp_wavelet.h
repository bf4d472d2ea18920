// One-level two-band wavelet filter bank for 16-bit signals (entries 23, 24,
// 26, 27, 38, 39).
//
// The split (analysis) side filters a 16-bit signal through two FIR branches,
// each decimating by two, and yields two half-rate f32 bands; the merge
// (synthesis) side upsamples two f32 bands by two through two FIR branches,
// adds them and yields a 16-bit signal (rounded to nearest even, saturated).
// Each branch is given by its taps, their count (at least 1) and an offset
// (at least -1) that places it in time in full-rate samples:
//   split: band[m] = sum_j taps[j] * x[2m - offset - j]
//   merge: y[t] = sum_j taps[j] * U[t - j], U holding band[m] at
//          2 * (m + offset / 2) + (offset & 1)
// A state carries its branches' histories, so a signal may be processed in
// pieces of any length with the result of one piece.
//
// Checks leave everything untouched on an error.  Create: ppState or taps1
// null -8, len1 < 1 -6, taps2 null -8, len2 < 1 -6, an offset below -1 -35,
// no memory -9 (*ppState set to null).  Run and free: state null -8, a state
// of the other side or an inconsistent one -17 (before any data pointer is
// looked at), then split: src/band1/band2 null -8, len < 1 -6; merge: band1 or
// band2 null -8, len < 1 -6, dst null -8.
#pragma once

#include "sp_status.h"

struct sp_wavelet_split_state;
struct sp_wavelet_merge_state;

typedef sp_status (*sp_wavelet_split_create_fn)(sp_wavelet_split_state** ppState,
                                                const float* taps1, int32_t len1, int32_t offset1,
                                                const float* taps2, int32_t len2, int32_t offset2);
typedef sp_status (*sp_wavelet_merge_create_fn)(sp_wavelet_merge_state** ppState,
                                                const float* taps1, int32_t len1, int32_t offset1,
                                                const float* taps2, int32_t len2, int32_t offset2);
// src holds 2 * len samples; each band len values.
typedef sp_status (*sp_wavelet_split_run_fn)(const int16_t* src, float* band1, float* band2,
                                             int32_t len, sp_wavelet_split_state* state);
// each band holds len values; dst 2 * len samples.
typedef sp_status (*sp_wavelet_merge_run_fn)(const float* band1, const float* band2, int32_t len,
                                             int16_t* dst, sp_wavelet_merge_state* state);
typedef sp_status (*sp_wavelet_split_free_fn)(sp_wavelet_split_state* state);
typedef sp_status (*sp_wavelet_merge_free_fn)(sp_wavelet_merge_state* state);

// Entry 24.
sp_status sp_wavelet_split_create(sp_wavelet_split_state** ppState, const float* taps1,
                                  int32_t len1, int32_t offset1, const float* taps2, int32_t len2,
                                  int32_t offset2);
// Entry 23.
sp_status sp_wavelet_merge_create(sp_wavelet_merge_state** ppState, const float* taps1,
                                  int32_t len1, int32_t offset1, const float* taps2, int32_t len2,
                                  int32_t offset2);
// Entry 39.
sp_status sp_wavelet_split_run(const int16_t* src, float* band1, float* band2, int32_t len,
                               sp_wavelet_split_state* state);
// Entry 38.
sp_status sp_wavelet_merge_run(const float* band1, const float* band2, int32_t len, int16_t* dst,
                               sp_wavelet_merge_state* state);
// Entry 27.
sp_status sp_wavelet_split_free(sp_wavelet_split_state* state);
// Entry 26.
sp_status sp_wavelet_merge_free(sp_wavelet_merge_state* state);

// The SIMD members.  A state is used only with the members of the variant
// that created it: the SIMD bodies read the pair and broadcast tables the
// generic set-up does not build (the generic run and free refuse a SIMD state
// with -17, and the SIMD ones a generic state).  sp_wavelet_split_free_sse2
// and sp_wavelet_merge_free_sse2 serve the SSE3 column as well.
sp_status sp_wavelet_split_create_sse(sp_wavelet_split_state** ppState, const float* taps1,
                                      int32_t len1, int32_t offset1, const float* taps2,
                                      int32_t len2, int32_t offset2);
sp_status sp_wavelet_split_create_sse2(sp_wavelet_split_state** ppState, const float* taps1,
                                       int32_t len1, int32_t offset1, const float* taps2,
                                       int32_t len2, int32_t offset2);
sp_status sp_wavelet_split_create_sse3(sp_wavelet_split_state** ppState, const float* taps1,
                                       int32_t len1, int32_t offset1, const float* taps2,
                                       int32_t len2, int32_t offset2);
sp_status sp_wavelet_split_run_sse(const int16_t* src, float* band1, float* band2, int32_t len,
                                   sp_wavelet_split_state* state);
sp_status sp_wavelet_split_run_sse2(const int16_t* src, float* band1, float* band2, int32_t len,
                                    sp_wavelet_split_state* state);
sp_status sp_wavelet_split_run_sse3(const int16_t* src, float* band1, float* band2, int32_t len,
                                    sp_wavelet_split_state* state);
sp_status sp_wavelet_split_free_sse(sp_wavelet_split_state* state);
sp_status sp_wavelet_split_free_sse2(sp_wavelet_split_state* state);
sp_status sp_wavelet_merge_create_sse(sp_wavelet_merge_state** ppState, const float* taps1,
                                      int32_t len1, int32_t offset1, const float* taps2,
                                      int32_t len2, int32_t offset2);
sp_status sp_wavelet_merge_create_sse2(sp_wavelet_merge_state** ppState, const float* taps1,
                                       int32_t len1, int32_t offset1, const float* taps2,
                                       int32_t len2, int32_t offset2);
sp_status sp_wavelet_merge_create_sse3(sp_wavelet_merge_state** ppState, const float* taps1,
                                       int32_t len1, int32_t offset1, const float* taps2,
                                       int32_t len2, int32_t offset2);
sp_status sp_wavelet_merge_run_sse(const float* band1, const float* band2, int32_t len,
                                   int16_t* dst, sp_wavelet_merge_state* state);
sp_status sp_wavelet_merge_run_sse2(const float* band1, const float* band2, int32_t len,
                                    int16_t* dst, sp_wavelet_merge_state* state);
sp_status sp_wavelet_merge_run_sse3(const float* band1, const float* band2, int32_t len,
                                    int16_t* dst, sp_wavelet_merge_state* state);
sp_status sp_wavelet_merge_free_sse(sp_wavelet_merge_state* state);
sp_status sp_wavelet_merge_free_sse2(sp_wavelet_merge_state* state);
