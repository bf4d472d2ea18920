// SSE members of the wavelet filter bank's analysis side: f32 products summed
// in double in the head, pair-form bodies taking the newest pairs first, and
// single outputs in double (newest sample first) at an unaligned start and for
// the last one to four outputs.
#include <stdint.h>
#include <xmmintrin.h>

#include "sp_buffers.h"
#include "sp_vector.h"
#include "sp_wavelet_internal.h"

namespace {

float Head(const float* r, const float* w, int32_t len) {
    double acc = 0.0;
    for (int32_t i = 0; i < len; ++i) acc += static_cast<double>(r[i] * w[i]);
    return static_cast<float>(acc);
}

// Single form in double: taps[0] times the newest sample first.
float Single(const float* taps, const float* newest, int32_t len) {
    double acc = 0.0;
    for (int32_t k = 0; k < len; ++k) acc += static_cast<double>(taps[k]) * newest[-k];
    return static_cast<float>(acc);
}

// Pair-form lanes {even, odd, even, odd} of the outputs whose windows start at
// w and w + 2, the pair table's groups taken newest first.
__m128 PairLanes(const float* pairs, int32_t groups, const float* w) {
    __m128 acc = _mm_setzero_ps();
    for (int32_t g = groups - 1; g >= 0; --g)
        acc = _mm_add_ps(acc, _mm_mul_ps(_mm_loadu_ps(w + 2 * g), _mm_load_ps(pairs + 4 * g)));
    return acc;
}

// {a0 + a1, a2 + a3, b0 + b1, b2 + b3} with SSE1 shuffles.
__m128 AddPairs(__m128 a, __m128 b) {
    return _mm_add_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                      _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
}

}  // namespace

void sp_wavelet_split_body_sse(const sp_wavelet_split_taps* table, const float* s, float* dst,
                               int32_t c) {
    const int32_t len = table->len;
    if (len == 1) {
        for (int32_t j = 0; j < c; ++j) dst[j] = table->taps[0] * s[2 * j];
        return;
    }
    const int32_t groups = (len + 1) / 2;
    const float* w = s - (len - 1);
    int32_t j = 0;
    for (; j < c && (reinterpret_cast<uintptr_t>(dst + j) & 15) != 0; ++j)
        dst[j] = Single(table->taps, s + 2 * j, len);
    const int32_t rest = c - j;
    if (rest >= 5) {
        const int32_t tail = rest % 4 == 0 ? 4 : rest % 4;
        for (const int32_t end = c - tail; j < end; j += 4) {
            const __m128 a = PairLanes(table->second, groups, w + 2 * j);
            const __m128 b = PairLanes(table->second, groups, w + 2 * j + 4);
            _mm_stream_ps(dst + j, AddPairs(a, b));
        }
        _mm_sfence();
    }
    for (; j < c; ++j) dst[j] = Single(table->taps, s + 2 * j, len);
}

int32_t sp_wavelet_split_branch_run_sse(sp_wavelet_split_branch* branch, const float* src,
                                        int32_t n, float* dst) {
    static const sp_wavelet_split_kernels kKernels = {Head, sp_wavelet_split_body_sse,
                                                      sp_copy_f32_sse};
    return sp_wavelet_split_branch_run_with(kKernels, branch, src, n, dst);
}

sp_wavelet_split_branch* sp_wavelet_split_branch_create_sse(const float* taps, int32_t len,
                                                            int32_t offset) {
    return sp_wavelet_split_branch_build(taps, len, offset, true);
}

sp_status sp_wavelet_split_create_sse(sp_wavelet_split_state** ppState, const float* taps1,
                                      int32_t len1, int32_t offset1, const float* taps2,
                                      int32_t len2, int32_t offset2) {
    return sp_wavelet_split_create_with(sp_wavelet_split_branch_create_sse, ppState, taps1, len1,
                                        offset1, taps2, len2, offset2);
}

// The SSE run checks branches with the generic analysis check.
sp_status sp_wavelet_split_run_sse(const int16_t* src, float* band1, float* band2, int32_t len,
                                   sp_wavelet_split_state* state) {
    static const sp_wavelet_split_front kFront = {
        sp_wavelet_branch_check, sp_convert_i16_to_f32_sse, sp_wavelet_split_branch_run_sse};
    return sp_wavelet_split_run_with(kFront, src, band1, band2, len, state);
}
