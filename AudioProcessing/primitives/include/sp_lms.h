// The LMS adaptive filter of the primitives library: an FIR filter on 16-bit
// signals with f32 taps, adapted sample by sample by the least-mean-squares
// rule, with the function types of its four dispatch rows.
//
// A caller creates a state, filters consecutive stretches of one input and
// reference signal pair through it, may read the taps at any time and frees it.
// One state is served by one member throughout: the SSE2 and SSE3 members keep
// the state's delay area in a form of their own for short filters.
//
// Included by sp_dispatch.h before the row list; includes nothing but the
// status codes.
#pragma once

#include "sp_status.h"

struct sp_lms_state;

// ---- Row types --------------------------------------------------------------------
typedef sp_status (*sp_lms_create_fn)(sp_lms_state** ppState, const float* taps, int32_t len,
                                      const int16_t* delayLine, int32_t delayIndex);
typedef sp_status (*sp_lms_free_fn)(sp_lms_state* state);
typedef sp_status (*sp_lms_get_taps_fn)(const sp_lms_state* state, float* tapsOut);
typedef sp_status (*sp_lms_filter_i16_fn)(const int16_t* src, const int16_t* ref, int16_t* dst,
                                          int32_t len, float mu, sp_lms_state* state);

// A new state of len taps (entry 25).  taps: len f32 in natural order (tap 0
// weights the newest sample), null for all zero; delayLine: len past samples
// forming a ring, null for silence; delayIndex: the ring position of the
// oldest of them (the next to be overwritten).  Checks: ppState null -8, len < 1
// -6, delayIndex outside 0..len-1 -24 (with or without a delay line), no memory
// -9; *ppState is written only on success.  The members differ only in the
// zeroing routine they use.
sp_status sp_lms_create(sp_lms_state** ppState, const float* taps, int32_t len,
                        const int16_t* delayLine, int32_t delayIndex);
sp_status sp_lms_create_sse(sp_lms_state** ppState, const float* taps, int32_t len,
                            const int16_t* delayLine, int32_t delayIndex);
sp_status sp_lms_create_sse2(sp_lms_state** ppState, const float* taps, int32_t len,
                             const int16_t* delayLine, int32_t delayIndex);
sp_status sp_lms_create_sse3(sp_lms_state** ppState, const float* taps, int32_t len,
                             const int16_t* delayLine, int32_t delayIndex);

// Releases a state (entry 28, one function for every variant); null is
// accepted; always 0.
sp_status sp_lms_free(sp_lms_state* state);

// The current taps in natural order into tapsOut[0..len-1] (entry 29; the
// SSE3 column holds the SSE2 member).  -8 null, -17 a state of another kind.
sp_status sp_lms_get_taps(const sp_lms_state* state, float* tapsOut);
sp_status sp_lms_get_taps_sse(const sp_lms_state* state, float* tapsOut);
sp_status sp_lms_get_taps_sse2(const sp_lms_state* state, float* tapsOut);

// Filters len samples of src against the desired signal ref into dst and
// adapts the taps with step mu (entry 31): y(n) = sum h[k] x(n-k), then
// h[k] += 2 mu (ref(n) - y(n)) x(n-k).  Checks: state, src, ref or dst null -8,
// len < 1 -6, a state of another kind -17; nothing is touched on an error.
// Outputs saturate to 16 bits and a NaN sum gives -32768.
//   generic: double sums in tap order, output truncated toward zero, error
//            from the unclamped sum;
//   SSE:     f32 lanes, output rounded to nearest even, error from the
//            clamped sum;
//   SSE2/SSE3: f32 lanes, output rounded to nearest even, error from the
//            unclamped sum; 80 taps or more sample by sample over four
//            delay copies, fewer in blocks of up to 2048 samples.
sp_status sp_lms_filter_i16(const int16_t* src, const int16_t* ref, int16_t* dst, int32_t len,
                            float mu, sp_lms_state* state);
sp_status sp_lms_filter_i16_sse(const int16_t* src, const int16_t* ref, int16_t* dst, int32_t len,
                                float mu, sp_lms_state* state);
sp_status sp_lms_filter_i16_sse2(const int16_t* src, const int16_t* ref, int16_t* dst, int32_t len,
                                 float mu, sp_lms_state* state);
sp_status sp_lms_filter_i16_sse3(const int16_t* src, const int16_t* ref, int16_t* dst, int32_t len,
                                 float mu, sp_lms_state* state);
