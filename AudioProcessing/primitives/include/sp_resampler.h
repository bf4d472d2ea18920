// Polyphase resampler for 16-bit signals (entries 63-65).
//
// sp_resampler_create reduces inRate:outRate to p:q, designs one Kaiser-
// windowed sinc prototype (len taps per output, cut-off rolloff, window alpha)
// and splits it into q phase filters, held as 16-bit integers (taps times
// 2^14) or, with hint 2, as floats.  sp_resampler_run_i16 converts one buffer:
// *time is the position of the next output in input samples counted from src,
// rounded to the grid of 1/q; outputs are made for the positions from there
// up to the end of the block (len samples from src), each a dot product of its phase's taps with
// the samples around it, times norm (and q/p when down-sampling), rounded half away from zero and
// saturated.  The state keeps no signal history: the caller supplies half
// samples before src and after the buffer (half = ((len + 3) & ~3) / 2 of the
// create call).  *time advances by p/q per output; *outLen receives their
// number.  Runs only read the state, so one state may serve several threads.
// A state is used with the members of the variant that created it.
#pragma once

#include "sp_status.h"

struct sp_resampler_state;

typedef sp_status (*sp_resampler_create_fn)(sp_resampler_state** ppState, int32_t inRate,
                                            int32_t outRate, int32_t len, float rolloff,
                                            float alpha, int32_t hint);
typedef sp_status (*sp_resampler_run_i16_fn)(const sp_resampler_state* state, const int16_t* src,
                                             int32_t len, int16_t* dst, float norm, double* time,
                                             int32_t* outLen);
typedef sp_status (*sp_resampler_free_fn)(sp_resampler_state* state);

// Create: -8 null ppState; -6 a rate or len below 1; -5 rolloff outside
// (0, 1] or alpha outside [1, 700] (NaN and infinities included); -4 when
// memory is short or a size does not fit the allocator.  *ppState is written
// only on success.
// Run: -8 a null pointer; -6 len < 1; -5 a *time that is not finite or not
// below 2^31 in magnitude.  Nothing is written on an error.
// Free (every variant): -8 for null, else the block is released.
#define SP_RESAMPLER_DECLARE(sfx)                                                                \
    sp_status sp_resampler_create##sfx(sp_resampler_state** ppState, int32_t inRate,             \
                                       int32_t outRate, int32_t len, float rolloff, float alpha, \
                                       int32_t hint);                                            \
    sp_status sp_resampler_run_i16##sfx(const sp_resampler_state* state, const int16_t* src,     \
                                        int32_t len, int16_t* dst, float norm, double* time,     \
                                        int32_t* outLen);
SP_RESAMPLER_DECLARE()
SP_RESAMPLER_DECLARE(_sse)
SP_RESAMPLER_DECLARE(_sse2)
SP_RESAMPLER_DECLARE(_sse3)
#undef SP_RESAMPLER_DECLARE
sp_status sp_resampler_free(sp_resampler_state* state);
