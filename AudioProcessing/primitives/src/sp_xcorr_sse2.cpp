// Cross-correlation, SSE2 member, and the four-lane direct kernels that the
// SSE2 and SSE3 members share (so their direct results agree bit for bit).
//
// The kernels read the 16-bit samples directly and multiply with the 16-bit
// multiply-add: adjacent products are summed in 32 bits, each pair sum is
// converted to f32 and added into four f32 lanes.  Operand b is clamped to
// -32767 inside the vector loops so that no pair sum can leave the 32-bit
// range (two products of -32768 * -32768 would); leftover single products
// are formed exactly.  Reads never go past the samples a sum uses.
#include <emmintrin.h>
#include <string.h>

#include "sp_buffers.h"
#include "sp_fft_simd.h"
#include "sp_xcorr.h"

namespace {

inline __m128i ClampB(__m128i v) {
    return _mm_max_epi16(v, _mm_set1_epi16(-32767));
}

// Broadcast of the pair (b[n], b[n+1]) into four 32-bit lanes, clamped.
inline __m128i PairB(const int16_t* b) {
    int32_t pair;
    memcpy(&pair, b, 4);
    return ClampB(_mm_set1_epi32(pair));
}

// (p[0],p[1]), (p[1],p[2]), (p[2],p[3]), (p[3],p[4]) from five samples.
inline __m128i SlidingPairs(const int16_t* p) {
    __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    x = _mm_insert_epi16(x, p[4], 4);
    return _mm_unpacklo_epi16(x, _mm_srli_si128(x, 2));
}

inline float HorizontalSum(__m128 v) {
    float lane[4];
    _mm_storeu_ps(lane, v);
    return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

// One lag as a full dot product: sum over n < len of b[n] * a[n].
float Dot(const int16_t* a, const int16_t* b, int32_t len) {
    __m128 acc = _mm_setzero_ps();
    int32_t n = 0;
    for (; n + 8 <= len; n += 8) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + n));
        const __m128i vb = ClampB(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + n)));
        acc = _mm_add_ps(acc, _mm_cvtepi32_ps(_mm_madd_epi16(va, vb)));
    }
    for (; n + 2 <= len; n += 2) {
        int32_t pa, pb;
        memcpy(&pa, a + n, 4);
        memcpy(&pb, b + n, 4);
        const __m128i prod = _mm_madd_epi16(_mm_cvtsi32_si128(pa), ClampB(_mm_cvtsi32_si128(pb)));
        acc = _mm_add_ss(acc, _mm_cvtepi32_ps(prod));
    }
    float sum = HorizontalSum(acc);
    if (n < len) sum += static_cast<float>(int32_t{a[n]} * b[n]);  // odd leftover, exact
    return sum;
}

// Four lags i..i+3 with the b pairs broadcast: lane t is lag i+t.
void FourLags(const int16_t* a, const int16_t* b, int32_t i, int32_t pairsEnd, int32_t dir,
              float* lag) {
    __m128 acc = _mm_setzero_ps();
    for (int32_t n = 0; n + 1 < pairsEnd; n += 2) {
        __m128i va;
        if (dir > 0) {
            va = SlidingPairs(a + n + i);
        } else {
            va = _mm_shuffle_epi32(SlidingPairs(a + n - i - 3), _MM_SHUFFLE(0, 1, 2, 3));
        }
        acc = _mm_add_ps(acc, _mm_cvtepi32_ps(_mm_madd_epi16(va, PairB(b + n))));
    }
    _mm_storeu_ps(lag, acc);
}

inline void EndKernel() {}

}  // namespace

#include "sp_xcorr_simd.inc"

void sp_xcorr_direct_fwd_sse2(const int16_t* a, const int16_t* b, int32_t m, float* out,
                              int32_t count) {
    Triangular(a, b, m, out, count, 1);
}
void sp_xcorr_direct_rev_sse2(const int16_t* a, const int16_t* b, int32_t m, float* out,
                              int32_t count) {
    Triangular(a, b, m, out, count, -1);
}
void sp_xcorr_direct_full_sse2(const int16_t* a, const int16_t* b, int32_t m, float* out,
                               int32_t count) {
    Square(a, b, m, out, count, 1);
}
void sp_xcorr_direct_mirror_sse2(const int16_t* a, const int16_t* b, int32_t m, float* out,
                                 int32_t count) {
    Square(a, b, m, out, count, -1);
}

namespace {

const sp_xcorr_simd_kernels kKernels = {{sp_xcorr_direct_fwd_sse2, sp_xcorr_direct_rev_sse2,
                                         sp_xcorr_direct_full_sse2, sp_xcorr_direct_mirror_sse2}};

const sp_xcorr_variant kSse2 = {
    1,
    sp_zero_i16_sse2,
    sp_zero_f32_sse2,
    sp_convert_i16_to_f32_sse2,
    sp_convert_f32_to_i16_scaled_sse2,
    sp_alloc_32,
    sp_alloc_bytes,
    sp_xcorr_direct_simd,
    &kKernels,
    &sp_xcorr_fft_sse2,  // this variant's own real FFT
};

}  // namespace

sp_status sp_xcorr_i16_scaled_sse2(const int16_t* src1, int32_t len1, const int16_t* src2,
                                   int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                   int32_t scale) {
    return sp_xcorr_with(&kSse2, src1, len1, src2, len2, dst, dstLen, lowLag, scale, nullptr);
}

sp_status sp_xcorr_i16_scaled_keep_sse2(const int16_t* src1, int32_t len1, const int16_t* src2,
                                        int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                        int32_t scale, sp_xcorr_keep* keep) {
    return sp_xcorr_with(&kSse2, src1, len1, src2, len2, dst, dstLen, lowLag, scale, keep);
}
