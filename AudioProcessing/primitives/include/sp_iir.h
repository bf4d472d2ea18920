// Recursive (IIR) filters for 16-bit signals (entries 19-22, 30, 54, 57, 58).
//
// A filter is created from float coefficients b0..bN a0..aN of the transfer
// function B(z)/A(z) and an optional initial delay line, runs blocks of 16-bit
// samples with an output scale of 2^-scale, and is freed by its family's free.
// Two families behave alike and differ only in the state kinds they stamp and
// accept: family a (create_a, filter, filter_inplace, set_delay_line, free_a)
// and family b (create_b, filter_b, free_b).  Besides the direct-form states
// they make, the filters accept cascades of second-order sections.
//
// The generic member computes in double and rounds halves away from zero; the
// SIMD members compute in single precision and round to nearest even.  A state
// is used only with the members of the processor variant that created it; the
// SIMD filters refuse a state of the generic layout (-17), which has none of
// their tables.
//
// Checks run in this order and leave everything untouched on an error: null
// pointers (-8), the order (-25) or length (-6), the state's kind (-17).
// create_a/create_b: -9 when the block cannot be had (nothing stored); -10 when
// a0 is zero or NaN: the state is stored and must be freed, and it filters to
// silence (its coefficients, tables and delay line are zero).
#pragma once

#include "sp_status.h"

struct sp_iir_state;

typedef sp_status (*sp_iir_create_a_fn)(sp_iir_state** ppState, const float* taps, int32_t order,
                                        const float* delay);
typedef sp_status (*sp_iir_filter_i16_scaled_fn)(const int16_t* src, int16_t* dst, int32_t len,
                                                 sp_iir_state* state, int32_t scale);
typedef sp_status (*sp_iir_filter_i16_scaled_inplace_fn)(int16_t* srcdst, int32_t len,
                                                         sp_iir_state* state, int32_t scale);
typedef sp_status (*sp_iir_free_a_fn)(sp_iir_state* state);
typedef sp_status (*sp_iir_set_delay_line_fn)(sp_iir_state* state, const float* delay);
typedef sp_iir_create_a_fn sp_iir_create_b_fn;
typedef sp_iir_filter_i16_scaled_fn sp_iir_filter_b_i16_scaled_fn;
typedef sp_iir_free_a_fn sp_iir_free_b_fn;

// Entry 20 (family a) and 54 (family b): taps holds 2N+2 values, delay N values
// or null for silence.
sp_status sp_iir_create_a(sp_iir_state** ppState, const float* taps, int32_t order,
                          const float* delay);
sp_status sp_iir_create_a_sse(sp_iir_state** ppState, const float* taps, int32_t order,
                              const float* delay);
sp_status sp_iir_create_a_sse2(sp_iir_state** ppState, const float* taps, int32_t order,
                               const float* delay);
sp_status sp_iir_create_a_sse3(sp_iir_state** ppState, const float* taps, int32_t order,
                               const float* delay);
sp_status sp_iir_create_b(sp_iir_state** ppState, const float* taps, int32_t order,
                          const float* delay);
sp_status sp_iir_create_b_sse(sp_iir_state** ppState, const float* taps, int32_t order,
                              const float* delay);
sp_status sp_iir_create_b_sse2(sp_iir_state** ppState, const float* taps, int32_t order,
                               const float* delay);
sp_status sp_iir_create_b_sse3(sp_iir_state** ppState, const float* taps, int32_t order,
                               const float* delay);

// Entry 19 (family a) and 57 (family b); src may equal dst.
sp_status sp_iir_filter_i16_scaled(const int16_t* src, int16_t* dst, int32_t len,
                                   sp_iir_state* state, int32_t scale);
sp_status sp_iir_filter_i16_scaled_sse(const int16_t* src, int16_t* dst, int32_t len,
                                       sp_iir_state* state, int32_t scale);
sp_status sp_iir_filter_i16_scaled_sse2(const int16_t* src, int16_t* dst, int32_t len,
                                        sp_iir_state* state, int32_t scale);
sp_status sp_iir_filter_i16_scaled_sse3(const int16_t* src, int16_t* dst, int32_t len,
                                        sp_iir_state* state, int32_t scale);
sp_status sp_iir_filter_b_i16_scaled(const int16_t* src, int16_t* dst, int32_t len,
                                     sp_iir_state* state, int32_t scale);
sp_status sp_iir_filter_b_i16_scaled_sse(const int16_t* src, int16_t* dst, int32_t len,
                                         sp_iir_state* state, int32_t scale);
sp_status sp_iir_filter_b_i16_scaled_sse2(const int16_t* src, int16_t* dst, int32_t len,
                                          sp_iir_state* state, int32_t scale);
sp_status sp_iir_filter_b_i16_scaled_sse3(const int16_t* src, int16_t* dst, int32_t len,
                                          sp_iir_state* state, int32_t scale);

// Entry 30 (family a).
sp_status sp_iir_filter_i16_scaled_inplace(int16_t* srcdst, int32_t len, sp_iir_state* state,
                                           int32_t scale);
sp_status sp_iir_filter_i16_scaled_inplace_sse(int16_t* srcdst, int32_t len, sp_iir_state* state,
                                               int32_t scale);
sp_status sp_iir_filter_i16_scaled_inplace_sse2(int16_t* srcdst, int32_t len, sp_iir_state* state,
                                                int32_t scale);
sp_status sp_iir_filter_i16_scaled_inplace_sse3(int16_t* srcdst, int32_t len, sp_iir_state* state,
                                                int32_t scale);

// Entry 22 (family a only): loads the state's delay elements from delay, or
// zeroes them for null; coefficients and the final zero element stay.
sp_status sp_iir_set_delay_line(sp_iir_state* state, const float* delay);
sp_status sp_iir_set_delay_line_sse(sp_iir_state* state, const float* delay);
sp_status sp_iir_set_delay_line_sse2(sp_iir_state* state, const float* delay);
sp_status sp_iir_set_delay_line_sse3(sp_iir_state* state, const float* delay);

// Entries 21 (family a) and 58 (family b): the block goes back to the allocator
// only when the state owns it.  One member serves the generic and SSE columns,
// the other the SSE2 and SSE3 columns.
sp_status sp_iir_free_a(sp_iir_state* state);
sp_status sp_iir_free_a_sse2(sp_iir_state* state);
sp_status sp_iir_free_b(sp_iir_state* state);
sp_status sp_iir_free_b_sse2(sp_iir_state* state);
