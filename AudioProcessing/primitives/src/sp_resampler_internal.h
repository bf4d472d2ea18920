// The polyphase resampler's state and the design, build and dot-product
// kernels beneath the members of sp_resampler.h.
#pragma once

#include <stdint.h>

#include "sp_resampler.h"

// One block from sp_alloc_bytes: this record, the advance table, the phase
// pointer table, then q phase blocks of taps (each followed by side_len side
// taps in the split 16-bit states of the SSE2 and SSE3 members).
struct sp_resampler_state {
    intptr_t p;          // input rate over the rates' greatest common divisor
    intptr_t q;          // output rate over the same; the number of phases
    double tap_scale;    // 2^-14 for 16-bit taps, 1.0 for float taps
    intptr_t half;       // ((len + 3) & ~3) / 2
    intptr_t flags;      // bit 0: float taps; bit 1: 16-bit taps
    int32_t* advance;    // q entries: samples the window moves on after an output of phase i
    void** phases;       // q pointers: phase 0 holds 2 half + 1 taps, the others 2 half
    intptr_t side_len;   // 0, or 16 side taps behind each 16-bit phase block
    intptr_t block_len;  // taps (and side taps) from one phase block to the next
};

constexpr intptr_t kResamplerFloatTaps = 1;
constexpr intptr_t kResamplerI16Taps = 2;
constexpr int32_t kResamplerSideLen = 16;
// Largest alpha: beyond it the Bessel series' sum overflows and never ends.
constexpr double kResamplerMaxAlpha = 700.0;

#define SP_RESAMPLER_INTERNAL_DECLARE(sfx)                                                      \
    double sp_bessel_i0_f64##sfx(double x);                                                     \
    void sp_resampler_design_taps##sfx(int64_t period, double rolloff, double alpha, int64_t n, \
                                       double* h);                                              \
    void sp_quantize_f64_to_i16##sfx(const double* src, int16_t* dst, int64_t n, int32_t mode,  \
                                     int32_t shift);                                            \
    sp_status sp_resampler_build_i16##sfx(sp_resampler_state** ppState, int32_t inRate,         \
                                          int32_t outRate, int32_t len, double rolloff,         \
                                          double alpha);                                        \
    sp_status sp_resampler_build_f32##sfx(sp_resampler_state** ppState, int32_t inRate,         \
                                          int32_t outRate, int32_t len, double rolloff,         \
                                          double alpha);                                        \
    void sp_dot_i16_f32_to_f64##sfx(const int16_t* x, const float* taps, int64_t n, double* out);
SP_RESAMPLER_INTERNAL_DECLARE()
SP_RESAMPLER_INTERNAL_DECLARE(_sse)
SP_RESAMPLER_INTERNAL_DECLARE(_sse2)
SP_RESAMPLER_INTERNAL_DECLARE(_sse3)
#undef SP_RESAMPLER_INTERNAL_DECLARE

// The split 16-bit dots of the SSE2 and SSE3 runs: exact 64-bit sums.
void sp_resampler_dot_i16_sse2(const int16_t* x, const int16_t* taps, int64_t* out, int64_t n);
void sp_resampler_dot_i16_sse3(const int16_t* x, const int16_t* taps, int64_t* out, int64_t n);
void sp_resampler_dot16_i16_sse2(const int16_t* x, const int16_t* taps, int64_t* out);
void sp_resampler_dot16_i16_sse3(const int16_t* x, const int16_t* taps, int64_t* out);
