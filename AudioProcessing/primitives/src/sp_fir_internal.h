// The FIR filter's state and the set-up, block paths and kernels beneath the
// members of sp_fir.h.  The fronts check their arguments and the state's kind;
// everything declared here assumes that has been done.
#pragma once

#include <stdint.h>

#include "sp_fir.h"

struct sp_rfft_spec;

constexpr uint32_t kFirKindSingle = 0x46493035;  // created by sp_fir_create
constexpr uint32_t kFirKindMulti = 0x46493037;   // accepted by the rows, never created here

// Samples per piece of the direct form; out_block holds one piece of results.
constexpr int32_t kFirPiece = 2048;
constexpr int32_t kFirOutBlockBytes = 16384;
// Shortest call, and fewest taps, that the FFT block path takes.
constexpr int32_t kFirFftMinCall = 512;
constexpr int32_t kFirFftMinTaps = 64;

// One block from sp_alloc_bytes holds the state followed by its regions, each
// 16-byte aligned.  Fields marked "multirate" mean nothing in a single-rate
// state.
struct sp_fir_state {
    uint32_t kind;
    float* taps_rev;  // taps_rev[i] = taps[taps_len - 1 - i]
    union {
        float* delay;      // single-rate: the last taps_len inputs, oldest first, then room
        int16_t* history;  // multirate: the last history_len inputs, oldest first
    };
    int32_t taps_len;
    int32_t head_len;        // ((taps_len + 3) & ~3) + 1: pieces up to this long stay in float
    sp_rfft_spec* fft_spec;  // null without FFT path
    float* taps_spectrum;    // forward transform of the zero-padded taps (internal order)
    int32_t fft_len;         // N, or -1 without FFT path
    int32_t delay_start;     // always 0 between calls
    float* taps_x4;          // SIMD variants: tap k in all four lanes at 4k; generic: null
    int32_t delay_len;       // samples sp_fir_set_delay_line loads (taps_len)
    float* fft_block;        // N values
    uint8_t* fft_work;       // the plan's work buffer, or null when it needs none
    int64_t fft_work_size;
    float* out_block;      // results of one direct piece
    uint8_t* delay_end;    // just past the delay region
    uint32_t owns_memory;  // 1: sp_fir_free releases the block
    // Multirate fields.
    intptr_t up_factor;
    intptr_t input_threshold;
    intptr_t down_factor;
    intptr_t buffered_outputs;
    int32_t* phase_table;
    float* arranged_taps;
    intptr_t taps_per_group;
    intptr_t mode;
    intptr_t history_len;
};

// Bytes of a state block for taps_len taps (simd: with taps_x4), an FFT of fftLen
// points (0: none) and a plan work size, in 64 bits.
int64_t sp_fir_block_bytes(int64_t tapsLen, bool simd, int64_t fftLen, int64_t workBytes);

#define SP_FIR_INTERNAL_DECLARE(sfx)                                                         \
    sp_status sp_fir_state_init##sfx(sp_fir_state** ppState, const float* taps, int32_t len, \
                                     const int16_t* delay, uint32_t kind);                   \
    sp_status sp_fir_direct_run##sfx(const int16_t* src, int16_t* dst, int32_t n,            \
                                     sp_fir_state* state, int32_t scale);                    \
    sp_status sp_fir_direct_block##sfx(const int16_t* src, int16_t* dst, int32_t n,          \
                                       sp_fir_state* state, int32_t scale);                  \
    sp_status sp_fir_fft_block##sfx(const int16_t* src, int16_t* dst, int32_t n,             \
                                    sp_fir_state* state, int32_t scale);                     \
    sp_status sp_fir_spectrum_mul_f32##sfx(const float* src, float* srcdst, int32_t n);      \
    void sp_fir_direct_kernel_f32##sfx(const float* taps, const float* src, float* dst,      \
                                       int32_t count, int32_t len);                          \
    void sp_fir_direct_kernel_i16##sfx(const float* taps, const int16_t* src, float* dst,    \
                                       int32_t count, int32_t len);

SP_FIR_INTERNAL_DECLARE()
SP_FIR_INTERNAL_DECLARE(_sse)
SP_FIR_INTERNAL_DECLARE(_sse2)
SP_FIR_INTERNAL_DECLARE(_sse3)
#undef SP_FIR_INTERNAL_DECLARE

// ---- Multirate path ------------------------------------------------------------------
// The drivers of row 45 on a multirate state, by mode (1 grouped, 2 strided,
// 3 general; sp_fir_mr_run gives -17 for any other mode).  Every kernel reads a
// segment at signed indices from `base`, never in front of index 0.
#define SP_FIR_MR_DECLARE(sfx)                                                                     \
    sp_status sp_fir_mr_run##sfx(const int16_t* src, int16_t* dst, int32_t n, sp_fir_state* s,     \
                                 int32_t scale);                                                   \
    sp_status sp_fir_mr_run_grouped##sfx(const int16_t* src, int16_t* dst, int32_t n,              \
                                         sp_fir_state* s, int32_t scale);                          \
    sp_status sp_fir_mr_run_strided##sfx(const int16_t* src, int16_t* dst, int32_t n,              \
                                         sp_fir_state* s, int32_t scale);                          \
    sp_status sp_fir_mr_run_general##sfx(const int16_t* src, int16_t* dst, int32_t n,              \
                                         sp_fir_state* s, int32_t scale);                          \
    void sp_fir_mr_tail_general##sfx(const float* taps, const int16_t* src, int16_t* dst,          \
                                     int32_t count, const int32_t* table, const int32_t* tableEnd, \
                                     intptr_t base, int32_t len, int32_t scale, intptr_t bound);   \
    void sp_fir_mr_tail_grouped##sfx(const float* taps, const int16_t* src, int16_t* dst,          \
                                     int32_t count, const int32_t* table, const int32_t* tableEnd, \
                                     intptr_t base, int32_t len, int32_t scale, intptr_t bound);   \
    void sp_fir_mr_tail_strided##sfx(const float* taps, const int16_t* src, int16_t* dst,          \
                                     int32_t count, intptr_t base, int32_t len, intptr_t stride,   \
                                     int32_t scale);
SP_FIR_MR_DECLARE()
SP_FIR_MR_DECLARE(_sse)
SP_FIR_MR_DECLARE(_sse2)
SP_FIR_MR_DECLARE(_sse3)
#undef SP_FIR_MR_DECLARE

// Main kernels: count outputs (a multiple of four), returning the base after
// them.  Mode 3 (general) and mode 1 (grouped) walk a table of entries up to
// tableEnd, which holds the cycle's advance; mode 2 (strided) moves the window
// by `stride` per output.  The generic members round halves away from zero,
// the SIMD members (single precision) to nearest even.
#define SP_FIR_MR_MAIN_DECLARE(general, strided, grouped)                                       \
    intptr_t general(const float* taps, const int16_t* src, int16_t* dst, int32_t count,        \
                     const int32_t* table, const int32_t* tableEnd, intptr_t base, int32_t len, \
                     int32_t scale);                                                            \
    intptr_t strided(const float* taps, const int16_t* src, int16_t* dst, int32_t count,        \
                     intptr_t base, int32_t len, intptr_t stride, int32_t scale);               \
    intptr_t grouped(const float* taps, const int16_t* src, int16_t* dst, int32_t count,        \
                     const int32_t* table, const int32_t* tableEnd, intptr_t base, int32_t len, \
                     int32_t scale);
SP_FIR_MR_MAIN_DECLARE(sp_fir_mr_kernel_general, sp_fir_mr_kernel_strided, sp_fir_mr_kernel_grouped)
SP_FIR_MR_MAIN_DECLARE(sp_fir_resample_kernel_i16_sse, sp_fir_decimate_kernel_i16_sse,
                       sp_fir_interpolate_kernel_i16_sse)
SP_FIR_MR_MAIN_DECLARE(sp_fir_resample_kernel_i16_sse2, sp_fir_decimate_kernel_i16_sse2,
                       sp_fir_interpolate_kernel_i16_sse2)
SP_FIR_MR_MAIN_DECLARE(sp_fir_resample_kernel_i16_sse3, sp_fir_decimate_kernel_i16_sse3,
                       sp_fir_interpolate_kernel_i16_sse3)
#undef SP_FIR_MR_MAIN_DECLARE

// Pair kernels of the SIMD spectrum products: count (re, im) pairs, count >= 1.
void sp_complex_mul_pairs_f32_sse3(const float* src, float* srcdst, int32_t count);
void sp_complex_mul_pairs_f32_sse2(const float* src, float* srcdst, int32_t count);
void sp_complex_mul_pairs_f32_sse(const float* src, float* srcdst, int32_t count);
