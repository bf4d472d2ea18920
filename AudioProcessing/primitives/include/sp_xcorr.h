// Cross-correlation of two 16-bit blocks over a window of lags (entry 67):
//   r[k] = sum over n of src1[n] * src2[n + k],  k = lowLag .. lowLag + dstLen - 1,
// over the n with 0 <= n < len1 and 0 <= n + k < len2 (lags outside
// -(len1-1) .. len2-1 are 0), computed in 32-bit floating point and written as
// saturate(round_half_even(r * 2^-scale)).  Output j belongs to lag lowLag + j.
//
// Each member picks per call between a direct path (sums lag by lag) and an
// FFT path: w = lags * min(len1, len2) / max(len1, len2) above 383 takes the
// FFT.  The generic member computes w in double, the SIMD members in float, so
// near the border they may choose differently.
//
// Status: -8 a null pointer, -6 a length below 1 (nothing written); -9 memory
// (the zeros written for lags without overlap stay); -15 when len1 + len2 - 1
// exceeds 2^30 on the FFT path.  dst must not overlap src1 or src2.
//
// Result differences between members: generic sums in double (exact products);
// the SIMD direct paths take -32768 in their second operand as -32767 inside
// the vector loops (so that a pair of products cannot overflow 32 bits) and
// sum in float lanes; SSE2 and SSE3 run the same kernels and agree bit for bit.
// The FFT paths agree within f32 FFT rounding.
//
// Reentrant; every buffer is allocated and freed within the call, except
// in the _keep forms below, which keep the FFT path's plan and buffers in the
// caller's sp_xcorr_keep between calls.
#pragma once

#include "sp_rfft.h"
#include "sp_status.h"

struct sp_xcorr_variant;
struct sp_xcorr_fft_ops;

// What the FFT path keeps between calls of one caller: the plan of one order,
// its work buffer and the two transform blocks, as one member built them.  A
// call of another order or member replaces them; a caller that correlates
// with one shape allocates nothing after its first call.  Start from all
// zeros; one keep serves one call at a time.  The results are those of the
// plain forms, bit for bit.
struct sp_xcorr_keep {
    const sp_xcorr_variant* owner;  // the member's variant that built them; null: nothing kept
    int32_t order;
    sp_rfft_spec* spec;
    uint8_t* work;  // null when the plan needs none (or it could not be had)
    float* block;   // 2 * 2^order floats
};
// Frees what the keep holds and zeroes it; null is ignored.
void sp_xcorr_keep_release(sp_xcorr_keep* keep);

sp_status sp_xcorr_i16_scaled(const int16_t* src1, int32_t len1, const int16_t* src2, int32_t len2,
                              int16_t* dst, int32_t dstLen, int32_t lowLag, int32_t scale);
sp_status sp_xcorr_i16_scaled_sse(const int16_t* src1, int32_t len1, const int16_t* src2,
                                  int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                  int32_t scale);
sp_status sp_xcorr_i16_scaled_sse2(const int16_t* src1, int32_t len1, const int16_t* src2,
                                   int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                   int32_t scale);
sp_status sp_xcorr_i16_scaled_sse3(const int16_t* src1, int32_t len1, const int16_t* src2,
                                   int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                   int32_t scale);
// The same members with a keep (null: as the plain forms).
sp_status sp_xcorr_i16_scaled_keep(const int16_t* src1, int32_t len1, const int16_t* src2,
                                   int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                   int32_t scale, sp_xcorr_keep* keep);
sp_status sp_xcorr_i16_scaled_keep_sse(const int16_t* src1, int32_t len1, const int16_t* src2,
                                       int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                       int32_t scale, sp_xcorr_keep* keep);
sp_status sp_xcorr_i16_scaled_keep_sse2(const int16_t* src1, int32_t len1, const int16_t* src2,
                                        int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                        int32_t scale, sp_xcorr_keep* keep);
sp_status sp_xcorr_i16_scaled_keep_sse3(const int16_t* src1, int32_t len1, const int16_t* src2,
                                        int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                        int32_t scale, sp_xcorr_keep* keep);

// Path border: w above this takes the FFT path.
#define SP_XCORR_DIRECT_MAX_W 383

// ---- Direct kernels ------------------------------------------------------------------
// (a, b, m, out, count), no checks:
//   fwd:    out[i]  = sum n = 0 .. m-1-i of b[n] * a[n+i]
//   rev:    out[-i] = the same sums (out points at the last of count results)
//   full:   out[i]  = sum n = 0 .. m-1 of b[n] * a[n+i]
//   mirror: out[i]  = sum n = 0 .. m-1 of b[n] * a[n-i]
// Generic members on f32 copies, sums in double, four lags per pass.
void sp_xcorr_direct_fwd(const float* a, const float* b, int32_t m, float* out, int32_t count);
void sp_xcorr_direct_rev(const float* a, const float* b, int32_t m, float* out, int32_t count);
void sp_xcorr_direct_full(const float* a, const float* b, int32_t m, float* out, int32_t count);
void sp_xcorr_direct_mirror(const float* a, const float* b, int32_t m, float* out, int32_t count);
// SIMD members on the 16-bit samples (the SSE3 member runs the SSE2 kernels).
void sp_xcorr_direct_fwd_sse2(const int16_t* a, const int16_t* b, int32_t m, float* out,
                              int32_t count);
void sp_xcorr_direct_rev_sse2(const int16_t* a, const int16_t* b, int32_t m, float* out,
                              int32_t count);
void sp_xcorr_direct_full_sse2(const int16_t* a, const int16_t* b, int32_t m, float* out,
                               int32_t count);
void sp_xcorr_direct_mirror_sse2(const int16_t* a, const int16_t* b, int32_t m, float* out,
                                 int32_t count);
void sp_xcorr_direct_fwd_sse(const int16_t* a, const int16_t* b, int32_t m, float* out,
                             int32_t count);
void sp_xcorr_direct_rev_sse(const int16_t* a, const int16_t* b, int32_t m, float* out,
                             int32_t count);
void sp_xcorr_direct_full_sse(const int16_t* a, const int16_t* b, int32_t m, float* out,
                              int32_t count);
void sp_xcorr_direct_mirror_sse(const int16_t* a, const int16_t* b, int32_t m, float* out,
                                int32_t count);

// ---- Direct-path plan -------------------------------------------------------------------
// The case split of the direct path, shared by every member: up to three kernel
// calls that together write the lags in ascending order.  a and b are offsets
// into src1 (fromSrc2 0) or src2 (fromSrc2 1); out is the output index the
// kernel's out pointer gets (for rev: its last result).
enum sp_xcorr_kernel : int32_t {
    sp_xcorr_kernel_fwd = 0,
    sp_xcorr_kernel_rev = 1,
    sp_xcorr_kernel_full = 2,
    sp_xcorr_kernel_mirror = 3,
};
struct sp_xcorr_step {
    int32_t kernel;
    int32_t aFromSrc2;
    int32_t aOffset;
    int32_t bFromSrc2;
    int32_t m;
    int32_t out;
    int32_t count;
};
struct sp_xcorr_plan {
    int32_t steps;
    sp_xcorr_step step[3];
};
// lowLag within -(len1-1) .. len2-1 and lowLag + count - 1 <= len2 - 1 (the
// front has cut the lags without overlap).
void sp_xcorr_direct_plan(int32_t len1, int32_t len2, int32_t lowLag, int32_t count,
                          sp_xcorr_plan* plan);

// ---- Variant plumbing ---------------------------------------------------------------------
// A member is the shared front run over its variant's helpers.  The FFT path
// takes the variant's own real FFT (the SIMD members': sp_fft_simd.h).
struct sp_xcorr_fft_ops {
    sp_status (*spec_init)(sp_rfft_spec** out, int32_t order, int32_t flag, int32_t hint);
    sp_status (*get_buf_size)(const sp_rfft_spec* spec, int32_t* size);
    sp_status (*spec_free)(sp_rfft_spec* spec);
    sp_status (*forward)(const float* src, float* dst, const sp_rfft_spec* spec, uint8_t* work);
    sp_status (*inverse)(const float* src, float* dst, const sp_rfft_spec* spec, uint8_t* work);
    sp_status (*mul_conj)(const float* src, float* srcdst, int32_t n);
};

// Kernels of a SIMD direct path, indexed by sp_xcorr_kernel.
struct sp_xcorr_simd_kernels {
    void (*kernel[4])(const int16_t* a, const int16_t* b, int32_t m, float* out, int32_t count);
};

struct sp_xcorr_variant {
    int32_t floatPathChoice;  // w computed in float (SIMD members) or double (generic)
    sp_status (*zero_i16)(int16_t* dst, int32_t len);
    sp_status (*zero_f32)(float* dst, int32_t len);
    sp_status (*convert_i16_to_f32)(const int16_t* src, float* dst, int32_t len);
    sp_status (*convert_f32_to_i16)(const float* src, int16_t* dst, int32_t len, int32_t roundMode,
                                    int32_t scale);
    void* (*alloc_32)(int32_t count);
    void* (*alloc_bytes)(int32_t bytes);
    // Direct path after the front: lags lowLag .. lowLag + count - 1, all with overlap.
    sp_status (*direct)(const sp_xcorr_variant* variant, const int16_t* src1, int32_t len1,
                        const int16_t* src2, int32_t len2, int16_t* dst, int32_t count,
                        int32_t lowLag, int32_t scale);
    const sp_xcorr_simd_kernels* kernels;  // for sp_xcorr_direct_simd; null in the generic member
    const sp_xcorr_fft_ops* fft;
};

extern const sp_xcorr_fft_ops sp_xcorr_fft_generic;
// keep may be null (everything allocated and freed within the call).
sp_status sp_xcorr_with(const sp_xcorr_variant* variant, const int16_t* src1, int32_t len1,
                        const int16_t* src2, int32_t len2, int16_t* dst, int32_t dstLen,
                        int32_t lowLag, int32_t scale, sp_xcorr_keep* keep);
// The FFT path: lags from firstIndex - (len1 - 1) on, count of them.
sp_status sp_xcorr_fft_with(const sp_xcorr_variant* variant, const int16_t* src1, int32_t len1,
                            const int16_t* src2, int32_t len2, int16_t* dst, int32_t count,
                            int32_t firstIndex, int32_t scale, sp_xcorr_keep* keep);
sp_status sp_xcorr_fft(const int16_t* src1, int32_t len1, const int16_t* src2, int32_t len2,
                       int16_t* dst, int32_t count, int32_t firstIndex, int32_t scale);
// SIMD direct path: one f32 output buffer; the variant's kernels read the
// 16-bit samples.
sp_status sp_xcorr_direct_simd(const sp_xcorr_variant* variant, const int16_t* src1, int32_t len1,
                               const int16_t* src2, int32_t len2, int16_t* dst, int32_t count,
                               int32_t lowLag, int32_t scale);
