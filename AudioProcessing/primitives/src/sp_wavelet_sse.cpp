// SSE members of the wavelet filter bank.  Analysis: f32 products summed in
// double in the head, pair-form bodies taking the newest pairs first, and
// single outputs in double (newest sample first) at an unaligned start and for
// the last one to four outputs.  Synthesis: the same head sums, and body
// kernels that make groups of eight outputs in f32 (newest product first from
// six taps on) with single outputs in double up to the 16-byte grid and for
// the last one to eight outputs.
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

// ---- Synthesis ----------------------------------------------------------------------

namespace {

double MergeDot(const float* array, const float* window, int32_t n) {
    return Head(array, window, n);
}

// Where the kernel stands: the window of the next output pair and its path
// (q = 1: B(w), A(w), advance; q = 0: A(w), B(w + 1), advance).  A(w) applies
// h[len - 1], h[len - 3], .. to w[0], w[1], ..; B(w) h[len - 2], h[len - 4], ...
struct MergeCursor {
    const float* w;
    int32_t q;
};

// One output in double, products oldest first, from the old value when
// adding; the path continues with the other kind.
template <bool Add>
void SingleOutput(MergeCursor& c, const float* h, int32_t len, float* out) {
    double acc = Add ? static_cast<double>(*out) : 0.0;
    const int32_t first = c.q == 1 ? 2 : 1;  // B: h[len - 2], A: h[len - 1]
    for (int32_t j = 0; len - first - 2 * j >= 0; ++j)
        acc += static_cast<double>(h[len - first - 2 * j]) * c.w[j];
    *out = static_cast<float>(acc);
    if (c.q == 0) ++c.w;
    c.q ^= 1;
}

// Products of group table rows against four consecutive windows, summed from
// the newest term (len >= 6) or the oldest (shorter filters).
__m128 GroupSum(const float* bt, int32_t firstRow, const float* w, int32_t n, bool newestFirst) {
    __m128 acc = _mm_setzero_ps();
    for (int32_t i = 0; i < n; ++i) {
        const int32_t j = newestFirst ? n - 1 - i : i;
        acc = _mm_add_ps(acc,
                         _mm_mul_ps(_mm_load_ps(bt + 4 * (firstRow + 2 * j)), _mm_loadu_ps(w + j)));
    }
    return acc;
}

// Four output pairs from four consecutive windows, out 16-byte aligned.
template <bool Add>
void GroupOutputs(MergeCursor& c, int32_t len, const float* bt, float* out) {
    const int32_t ne = (len + 1) / 2;
    const int32_t no = len / 2;
    const bool newestFirst = len >= 6;
    _mm_prefetch(reinterpret_cast<const char*>(c.w + ne + 16), _MM_HINT_T0);
    const __m128 a = GroupSum(bt, 0, c.w, ne, newestFirst);
    // q = 0: B of the window w + 1.
    const __m128 b = GroupSum(bt, 1, c.w + (c.q == 1 ? 0 : 1), no, newestFirst);
    const __m128 lo = c.q == 1 ? _mm_unpacklo_ps(b, a) : _mm_unpacklo_ps(a, b);
    const __m128 hi = c.q == 1 ? _mm_unpackhi_ps(b, a) : _mm_unpackhi_ps(a, b);
    // Ordinary stores: the adding branch reads this block straight back, which
    // streaming stores would send out to memory first.
    _mm_store_ps(out, Add ? _mm_add_ps(lo, _mm_load_ps(out)) : lo);
    _mm_store_ps(out + 4, Add ? _mm_add_ps(hi, _mm_load_ps(out + 4)) : hi);
    c.w += 4;
}

template <bool Add>
void MergeKernel(const float* w, float* out, int32_t count, const float* h, int32_t len, int32_t q,
                 const float* bt) {
    MergeCursor c = {w, q};
    int32_t o = 0;
    for (; o < count && (reinterpret_cast<uintptr_t>(out + o) & 15) != 0; ++o)
        SingleOutput<Add>(c, h, len, out + o);
    if (o < count) {
        const int32_t groups = (count - o - 1) / 8;
        for (int32_t g = 0; g < groups; ++g, o += 8) GroupOutputs<Add>(c, len, bt, out + o);
    }
    for (; o < count; ++o) SingleOutput<Add>(c, h, len, out + o);
}

}  // namespace

void sp_wavelet_merge_body_kernel_sse(const float* w, float* out, int32_t count, const float* taps,
                                      int32_t len, int32_t q, const float* broadcast) {
    MergeKernel<false>(w, out, count, taps, len, q, broadcast);
}

void sp_wavelet_merge_body_kernel_add_sse(const float* w, float* out, int32_t count,
                                          const float* taps, int32_t len, int32_t q,
                                          const float* broadcast) {
    MergeKernel<true>(w, out, count, taps, len, q, broadcast);
}

void sp_wavelet_merge_body_sse(const sp_wavelet_merge_taps* table, const float* in, float* out,
                               int32_t count, int32_t phase) {
    sp_wavelet_merge_body_with(sp_wavelet_merge_body_kernel_sse, false, table, in, out, count,
                               phase);
}

void sp_wavelet_merge_body_add_sse(const sp_wavelet_merge_taps* table, const float* in, float* out,
                                   int32_t count, int32_t phase) {
    sp_wavelet_merge_body_with(sp_wavelet_merge_body_kernel_add_sse, true, table, in, out, count,
                               phase);
}

namespace {
const sp_wavelet_merge_kernels kMergeKernels = {MergeDot, sp_wavelet_merge_body_sse,
                                                sp_wavelet_merge_body_add_sse, sp_copy_f32_sse};
}  // namespace

int32_t sp_wavelet_merge_branch_run_sse(sp_wavelet_merge_branch* branch, const float* src,
                                        float* dst, int32_t k) {
    return sp_wavelet_merge_branch_run_with(kMergeKernels, false, branch, src, dst, k);
}

int32_t sp_wavelet_merge_branch_run_add_sse(sp_wavelet_merge_branch* branch, const float* src,
                                            float* dst, int32_t k) {
    return sp_wavelet_merge_branch_run_with(kMergeKernels, true, branch, src, dst, k);
}

sp_wavelet_merge_branch* sp_wavelet_merge_branch_create_sse(const float* taps, int32_t len,
                                                            int32_t offset) {
    return sp_wavelet_merge_branch_build(taps, len, offset, true);
}

sp_status sp_wavelet_merge_create_sse(sp_wavelet_merge_state** ppState, const float* taps1,
                                      int32_t len1, int32_t offset1, const float* taps2,
                                      int32_t len2, int32_t offset2) {
    return sp_wavelet_merge_create_with(sp_wavelet_merge_branch_create_sse, ppState, taps1, len1,
                                        offset1, taps2, len2, offset2);
}

sp_status sp_wavelet_merge_run_sse(const float* band1, const float* band2, int32_t len,
                                   int16_t* dst, sp_wavelet_merge_state* state) {
    static const sp_wavelet_merge_front kFront = {
        sp_wavelet_merge_branch_check_sse, sp_wavelet_merge_branch_run_sse,
        sp_wavelet_merge_branch_run_add_sse, sp_convert_f32_to_i16_scaled_sse};
    return sp_wavelet_merge_run_with(kFront, band1, band2, len, dst, state);
}

// ---- Fronts (analysis) -----------------------------------------------------------------

// The SSE run checks branches with the generic analysis check.
sp_status sp_wavelet_split_run_sse(const int16_t* src, float* band1, float* band2, int32_t len,
                                   sp_wavelet_split_state* state) {
    static const sp_wavelet_split_front kFront = {
        sp_wavelet_branch_check, 1, sp_convert_i16_to_f32_sse, sp_wavelet_split_branch_run_sse};
    return sp_wavelet_split_run_with(kFront, src, band1, band2, len, state);
}
