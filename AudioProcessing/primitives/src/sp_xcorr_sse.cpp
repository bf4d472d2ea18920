// Cross-correlation, SSE member: two-lane direct kernels on 64-bit multimedia
// operations (four samples a step), pair sums converted to f32 with the SSE
// conversion and summed in two f32 lanes.  Operand b is clamped to -32767 in
// the vector loops, as in the four-lane kernels; leftovers are exact.
#include <mmintrin.h>
#include <string.h>
#include <xmmintrin.h>

#include "sp_buffers.h"
#include "sp_fft_simd.h"
#include "sp_xcorr.h"

namespace {

inline __m64 ClampB(__m64 v) {
    return _mm_max_pi16(v, _mm_set1_pi16(-32767));
}

inline __m64 Load4(const int16_t* p) {
    __m64 v;
    memcpy(&v, p, 8);
    return v;
}

inline __m64 Load2(const int16_t* p) {
    int32_t pair;
    memcpy(&pair, p, 4);
    return _mm_cvtsi32_si64(pair);
}

// Adds two 32-bit pair sums to the two low f32 lanes.
inline __m128 AddPairs(__m128 acc, __m64 sums) {
    return _mm_add_ps(acc, _mm_cvtpi32_ps(_mm_setzero_ps(), sums));
}

inline void Lanes(__m128 v, float* lane) {
    _mm_storeu_ps(lane, v);
}

float Dot(const int16_t* a, const int16_t* b, int32_t len) {
    __m128 acc = _mm_setzero_ps();
    int32_t n = 0;
    for (; n + 4 <= len; n += 4)
        acc = AddPairs(acc, _mm_madd_pi16(Load4(a + n), ClampB(Load4(b + n))));
    for (; n + 2 <= len; n += 2)
        acc = AddPairs(acc, _mm_madd_pi16(Load2(a + n), ClampB(Load2(b + n))));
    float lane[4];
    Lanes(acc, lane);
    float sum = lane[0] + lane[1];
    if (n < len) sum += static_cast<float>(int32_t{a[n]} * b[n]);  // odd leftover, exact
    return sum;
}

// Four lags i..i+3 with b pairs broadcast; lags (i, i+1) in acc01, (i+2, i+3) in acc23.
void FourLags(const int16_t* a, const int16_t* b, int32_t i, int32_t pairsEnd, int32_t dir,
              float* lag) {
    __m128 acc01 = _mm_setzero_ps(), acc23 = _mm_setzero_ps();
    for (int32_t n = 0; n + 1 < pairsEnd; n += 2) {
        int32_t pair;
        memcpy(&pair, b + n, 4);
        const __m64 bb = ClampB(_mm_set1_pi32(pair));
        __m64 v01, v23;
        if (dir > 0) {
            const int16_t* p = a + n + i;
            v01 = _mm_set_pi16(p[2], p[1], p[1], p[0]);
            v23 = _mm_set_pi16(p[4], p[3], p[3], p[2]);
        } else {
            const int16_t* q = a + n - i;
            v01 = _mm_set_pi16(q[0], q[-1], q[1], q[0]);
            v23 = _mm_set_pi16(q[-2], q[-3], q[-1], q[-2]);
        }
        acc01 = AddPairs(acc01, _mm_madd_pi16(v01, bb));
        acc23 = AddPairs(acc23, _mm_madd_pi16(v23, bb));
    }
    float l01[4], l23[4];
    Lanes(acc01, l01);
    Lanes(acc23, l23);
    lag[0] = l01[0];
    lag[1] = l01[1];
    lag[2] = l23[0];
    lag[3] = l23[1];
}

inline void EndKernel() {
    _mm_empty();
}  // the multimedia registers alias the x87 stack

}  // namespace

#include "sp_xcorr_simd.inc"

void sp_xcorr_direct_fwd_sse(const int16_t* a, const int16_t* b, int32_t m, float* out,
                             int32_t count) {
    Triangular(a, b, m, out, count, 1);
}
void sp_xcorr_direct_rev_sse(const int16_t* a, const int16_t* b, int32_t m, float* out,
                             int32_t count) {
    Triangular(a, b, m, out, count, -1);
}
void sp_xcorr_direct_full_sse(const int16_t* a, const int16_t* b, int32_t m, float* out,
                              int32_t count) {
    Square(a, b, m, out, count, 1);
}
void sp_xcorr_direct_mirror_sse(const int16_t* a, const int16_t* b, int32_t m, float* out,
                                int32_t count) {
    Square(a, b, m, out, count, -1);
}

namespace {

const sp_xcorr_simd_kernels kKernels = {{sp_xcorr_direct_fwd_sse, sp_xcorr_direct_rev_sse,
                                         sp_xcorr_direct_full_sse, sp_xcorr_direct_mirror_sse}};

const sp_xcorr_variant kSse = {
    1,
    sp_zero_i16_sse,
    sp_zero_f32_sse,
    sp_convert_i16_to_f32_sse,
    sp_convert_f32_to_i16_scaled_sse,
    sp_alloc_32,
    sp_alloc_bytes,
    sp_xcorr_direct_simd,
    &kKernels,
    &sp_xcorr_fft_sse,  // this variant's own real FFT
};

}  // namespace

sp_status sp_xcorr_i16_scaled_sse(const int16_t* src1, int32_t len1, const int16_t* src2,
                                  int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                  int32_t scale) {
    return sp_xcorr_with(&kSse, src1, len1, src2, len2, dst, dstLen, lowLag, scale, nullptr);
}

sp_status sp_xcorr_i16_scaled_keep_sse(const int16_t* src1, int32_t len1, const int16_t* src2,
                                       int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                       int32_t scale, sp_xcorr_keep* keep) {
    return sp_xcorr_with(&kSse, src1, len1, src2, len2, dst, dstLen, lowLag, scale, keep);
}
