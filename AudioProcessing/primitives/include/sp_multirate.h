// Integer-factor rate change without filtering (entries 44 and 60).
//
// sp_downsample_i16 keeps the samples at *phase, *phase + factor, ... of the
// block, writes their number to *dstLen and leaves in *phase where the next
// block continues; sp_upsample_i16 puts source sample i at destination index
// phase + i * factor, zeros everywhere else, and writes factor * len to
// *dstLen (the phase is only read).  Every member gives the same samples.
//
// Checks, in this order, with nothing written on a failure: a null pointer
// (-8), len < 1 (-6), factor < 1 (-31), a phase outside 0 .. factor - 1 (-30);
// up-sampling then refuses a result longer than INT32_MAX samples (-6).
#pragma once

#include "sp_status.h"

typedef sp_status (*sp_downsample_i16_fn)(const int16_t* src, int32_t len, int16_t* dst,
                                          int32_t* dstLen, int32_t factor, int32_t* phase);
typedef sp_status (*sp_upsample_i16_fn)(const int16_t* src, int32_t len, int16_t* dst,
                                        int32_t* dstLen, int32_t factor, int32_t* phase);

#define SP_MULTIRATE_DECLARE(sfx)                                                                  \
    sp_status sp_downsample_i16##sfx(const int16_t* src, int32_t len, int16_t* dst,                \
                                     int32_t* dstLen, int32_t factor, int32_t* phase);             \
    sp_status sp_upsample_i16##sfx(const int16_t* src, int32_t len, int16_t* dst, int32_t* dstLen, \
                                   int32_t factor, int32_t* phase);

SP_MULTIRATE_DECLARE()
SP_MULTIRATE_DECLARE(_sse)
SP_MULTIRATE_DECLARE(_sse2)
SP_MULTIRATE_DECLARE(_sse3)
#undef SP_MULTIRATE_DECLARE

// Kernels of the SSE2 and SSE3 members (the same code in each): the caller has
// checked the arguments, factor >= 2 (exactly 2 for the by-2 kernel).
#define SP_DOWNSAMPLE_KERNELS_DECLARE(sfx)                                                \
    void sp_downsample_kernel_i16##sfx(const int16_t* src, int32_t len, int16_t* dst,     \
                                       int32_t* dstLen, int32_t factor, int32_t* phase);  \
    void sp_downsample_by2_kernel_i16##sfx(const int16_t* src, int32_t len, int16_t* dst, \
                                           int32_t* dstLen, int32_t* phase);
SP_DOWNSAMPLE_KERNELS_DECLARE(_sse2)
SP_DOWNSAMPLE_KERNELS_DECLARE(_sse3)
#undef SP_DOWNSAMPLE_KERNELS_DECLARE
