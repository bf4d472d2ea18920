// FIR filters for 16-bit signals (entries 41-43 and 45).
//
// sp_fir_create builds a single-rate filter from float taps and an optional
// 16-bit history (newest sample first); sp_fir_filter_i16_scaled runs blocks of
// samples through it and writes y * 2^-scale rounded to nearest even and
// saturated.  Calls of 512 samples or more on filters of 64 taps or more go
// through FFT blocks (overlap-save), shorter ones through the direct form; both
// keep the same history, so a state may alternate between them.
//
// A state is used only with the members of the variant that created it.  The
// rows also accept a multirate state (its own kind), which no create here
// builds.  Checks run in this order and leave everything untouched on an error:
// null pointers (-8), the length (-26 create, -6 filter), the kind (-17).
#pragma once

#include "sp_status.h"

struct sp_fir_state;

typedef sp_status (*sp_fir_create_fn)(sp_fir_state** ppState, const float* taps, int32_t len,
                                      const int16_t* delay);
typedef sp_status (*sp_fir_set_delay_line_fn)(sp_fir_state* state, const int16_t* delay);
typedef sp_status (*sp_fir_free_fn)(sp_fir_state* state);
typedef sp_status (*sp_fir_filter_i16_scaled_fn)(const int16_t* src, int16_t* dst, int32_t n,
                                                 sp_fir_state* state, int32_t scale);

#define SP_FIR_DECLARE(sfx)                                                              \
    sp_status sp_fir_create##sfx(sp_fir_state** ppState, const float* taps, int32_t len, \
                                 const int16_t* delay);                                  \
    sp_status sp_fir_set_delay_line##sfx(sp_fir_state* state, const int16_t* delay);     \
    sp_status sp_fir_free##sfx(sp_fir_state* state);                                     \
    sp_status sp_fir_filter_i16_scaled##sfx(const int16_t* src, int16_t* dst, int32_t n, \
                                            sp_fir_state* state, int32_t scale);

// Entry 41: the state is written to *ppState only on success (-9 when memory
// is short, the FFT plan's status when it cannot be built).
// Entry 42: reloads the history from delay (newest first) or zeroes it (null).
// Entry 43: releases the plan and the block when the state owns them.
// Entry 45: n samples in, n results out.
SP_FIR_DECLARE()
SP_FIR_DECLARE(_sse)
SP_FIR_DECLARE(_sse2)
SP_FIR_DECLARE(_sse3)
#undef SP_FIR_DECLARE
