// SIMD members of the real FFT: the SSE3, SSE2 and SSE plans and
// transforms, and the kernels and table builders beneath them.  A
// plan built by one variant's init is used only with that variant's
// transforms (and freed by sp_rfft_spec_free, shared by all).
//
// Path limits by real order (complex order n = order - 1):
//   variant  fused bit reversal + radix   separate   large-order driver
//   SSE3     4-16                          17         18-30
//   SSE2     4-15                          16         17-30
//   SSE      4-10                          11         12-30
// Every routine of a variant uses only that variant's instructions (SSE1
// packed singles for all three, lddqu in SSE3).
#pragma once

#include "sp_fft.h"
#include "sp_xcorr.h"

#define SP_FFT_SIMD_DECLARE(sfx)                                                                 \
    sp_status sp_rfft_spec_init_##sfx(sp_rfft_spec** out, int32_t order, int32_t flag,           \
                                      int32_t hint);                                             \
    sp_status sp_rfft_forward_##sfx(const float* src, float* dst, const sp_rfft_spec* spec,      \
                                    uint8_t* work);                                              \
    sp_status sp_rfft_inverse_##sfx(const float* src, float* dst, const sp_rfft_spec* spec,      \
                                    uint8_t* work);                                              \
    sp_status sp_rfft_forward_perm_##sfx(const float* src, float* dst, const sp_rfft_spec* spec, \
                                         uint8_t* work);                                         \
    sp_status sp_rfft_inverse_perm_##sfx(const float* src, float* dst, const sp_rfft_spec* spec, \
                                         uint8_t* work);                                         \
    sp_status sp_packed_spectrum_mul_conj_##sfx(const float* src, float* srcdst, int32_t n);     \
    extern const sp_xcorr_fft_ops sp_xcorr_fft_##sfx;                                            \
    /* Table builders (null / -9 when memory is short). */                                       \
    int32_t* sp_fft_bitrev_starts_##sfx(int32_t n);                                              \
    float* sp_fft_radix_twiddles_##sfx(int32_t m, const float* sine, int32_t sineOrder);         \
    float* sp_rfft_split_table_##sfx(int32_t order, const float* sine);                          \
    float* sp_rfft_merge_table_##sfx(int32_t order, const float* sine);                          \
    sp_status sp_rfft_tables_init_##sfx(sp_rfft_spec* spec, int32_t n, const float* sine,        \
                                        int32_t sineOrder);                                      \
    /* Kernels on count = 2^n complex points; they trust their arguments. */                     \
    void sp_fft_bitrev_copy_##sfx(const float* src, float* dst, int32_t count,                   \
                                  const int32_t* table);                                         \
    void sp_fft_bitrev_inplace_##sfx(float* data, int32_t count, const int32_t* table);          \
    /* Bit-reversed data in place; mark 1 interleaved output, 0 split-4 blocks. */               \
    void sp_fft_radix_fwd_##sfx(float* data, int32_t count, const float* rows, float* work,      \
                                int32_t mark);                                                   \
    void sp_fft_radix_inv_##sfx(float* data, int32_t count, const float* rows, float* work,      \
                                int32_t mark);                                                   \
    void sp_fft_bitrev_radix_fwd_##sfx(const float* src, float* dst, int32_t count,              \
                                       const float* rows, const int32_t* starts, float* work);   \
    void sp_fft_bitrev_radix_inv_##sfx(const float* src, float* dst, int32_t count,              \
                                       const float* rows, const int32_t* starts, float* work);   \
    void sp_fft_large_fwd_##sfx(const sp_rfft_spec* spec, float* data, int32_t n, float* work);  \
    void sp_fft_large_inv_##sfx(const sp_rfft_spec* spec, float* data, int32_t n, float* work);  \
    void sp_fft_scale_f32_##sfx(float factor, float* data, int32_t count);                       \
    void sp_rfft_split_fwd_##sfx(float* data, int32_t count, int32_t direction,                  \
                                 const float* table);                                            \
    void sp_rfft_merge_inv_##sfx(const float* src, float* dst, int32_t count, int32_t direction, \
                                 const float* table);

SP_FFT_SIMD_DECLARE(sse3)
SP_FFT_SIMD_DECLARE(sse2)
SP_FFT_SIMD_DECLARE(sse)
