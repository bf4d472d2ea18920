// The accurate sum and both standard-deviation kernels of the SIMD members:
// one function each, shared by the SSE, SSE2 and SSE3 members.  The fast
// standard deviation sums in four-lane f32 vectors (baseline SSE); every
// double here is an IEEE double rounded at that precision.
#include <xmmintrin.h>

#include "sp_vector_f32_internal.h"

using namespace sp_internal;

namespace {

// One group of eight: element j into b_j.
inline void AddGroup(const float* p, double& b0, double& b1, double& b2, double& b3, double& b4,
                     double& b5, double& b6, double& b7) {
    b0 += LoadF32(p);
    b1 += LoadF32(p + 1);
    b2 += LoadF32(p + 2);
    b3 += LoadF32(p + 3);
    b4 += LoadF32(p + 4);
    b5 += LoadF32(p + 5);
    b6 += LoadF32(p + 6);
    b7 += LoadF32(p + 7);
}

}  // namespace

double sp_sum_accurate_kernel_f32(const float* src, int64_t len) {
    // Element j of group k goes to A[(j - k) mod 8].  Eight groups bring the
    // rotation back to where it began, so they are written out one by one
    // and the accumulators stay in registers; every accumulator takes the
    // same values in the same order as with the rotation computed.
    double a0 = 0, a1 = 0, a2 = 0, a3 = 0, a4 = 0, a5 = 0, a6 = 0, a7 = 0;
    const int64_t groups = len / 8;
    int64_t k = 0;
    for (const float* p = src; k + 8 <= groups; k += 8, p += 64) {
        AddGroup(p, a0, a1, a2, a3, a4, a5, a6, a7);
        AddGroup(p + 8, a7, a0, a1, a2, a3, a4, a5, a6);
        AddGroup(p + 16, a6, a7, a0, a1, a2, a3, a4, a5);
        AddGroup(p + 24, a5, a6, a7, a0, a1, a2, a3, a4);
        AddGroup(p + 32, a4, a5, a6, a7, a0, a1, a2, a3);
        AddGroup(p + 40, a3, a4, a5, a6, a7, a0, a1, a2);
        AddGroup(p + 48, a2, a3, a4, a5, a6, a7, a0, a1);
        AddGroup(p + 56, a1, a2, a3, a4, a5, a6, a7, a0);
    }
    double a[8] = {a0, a1, a2, a3, a4, a5, a6, a7};
    for (; k < groups; ++k) {
        for (int64_t j = 0; j < 8; ++j) a[(j - k % 8 + 8) % 8] += LoadF32(src + 8 * k + j);
    }
    double& rest = a[(8 - groups % 8) % 8];
    for (int64_t i = 8 * groups; i < len; ++i) rest += LoadF32(src + i);
    return ((a[0] + a[4]) + (a[2] + a[6])) + ((a[1] + a[5]) + (a[3] + a[7]));
}

void sp_stddev_accurate_kernel_f32(const float* src, int64_t len, float* dst) {
    double s0 = 0, s1 = 0, q0 = 0, q1 = 0;
    int64_t i = 0;
    for (; i + 4 <= len; i += 4) {
        const double x0 = LoadF32(src + i), x1 = LoadF32(src + i + 1);
        const double x2 = LoadF32(src + i + 2), x3 = LoadF32(src + i + 3);
        s0 += x0;
        s1 += x1;
        s0 += x2;
        s1 += x3;
        q0 += x0 * x0;
        q1 += x1 * x1;
        q0 += x2 * x2;
        q1 += x3 * x3;
    }
    double s = s0 + s1, q = q0 + q1;
    for (; i < len; ++i) {
        const double x = LoadF32(src + i);
        s += x;
        q += x * x;
    }
    StoreF32(dst, StddevFromSums(s, q, static_cast<int32_t>(len)));
}

namespace {

// f32 lane sums of n elements: groups of 16 (when wanted) as four four-lane
// groups, then groups of four, then a pair into lanes 0 and 1, then one into
// lane 0; the lanes are folded as (0 + 2) + (1 + 3) and added to s and q.
void StddevLanes(const float* p, int64_t n, bool groups16, double* s, double* q) {
    __m128 u = _mm_setzero_ps(), w = _mm_setzero_ps();
    int64_t k = 0;
    for (; groups16 && k + 16 <= n; k += 16) {
        const __m128 g0 = _mm_loadu_ps(p + k), g1 = _mm_loadu_ps(p + k + 4);
        const __m128 g2 = _mm_loadu_ps(p + k + 8), g3 = _mm_loadu_ps(p + k + 12);
        u = _mm_add_ps(u, g0);
        u = _mm_add_ps(u, g1);
        u = _mm_add_ps(u, g2);
        u = _mm_add_ps(u, g3);
        w = _mm_add_ps(w, _mm_add_ps(_mm_mul_ps(g1, g1), _mm_mul_ps(g0, g0)));
        w = _mm_add_ps(w, _mm_add_ps(_mm_mul_ps(g3, g3), _mm_mul_ps(g2, g2)));
    }
    for (; k + 4 <= n; k += 4) {
        const __m128 g = _mm_loadu_ps(p + k);
        u = _mm_add_ps(u, g);
        w = _mm_add_ps(w, _mm_mul_ps(g, g));
    }
    float ul[4], wl[4];
    _mm_storeu_ps(ul, u);
    _mm_storeu_ps(wl, w);
    if (n - k >= 2) {
        for (int lane = 0; lane < 2; ++lane, ++k) {
            const float x = LoadF32(p + k);
            ul[lane] += x;
            wl[lane] += x * x;
        }
    }
    if (n - k == 1) {
        const float x = LoadF32(p + k);
        ul[0] += x;
        wl[0] += x * x;
    }
    *s += (ul[0] + ul[2]) + (ul[1] + ul[3]);
    *q += (wl[0] + wl[2]) + (wl[1] + wl[3]);
}

}  // namespace

void sp_stddev_fast_kernel_f32(const float* src, int64_t len, float* dst) {
    double s = 0, q = 0;
    int64_t i = 0;
    auto scalar = [&](int64_t k) {
        const double x = LoadF32(src + k);
        s += x;
        q += x * x;
    };
    if (len <= 8) {
        for (; i < len; ++i) scalar(i);
    } else {
        for (; i < len && (reinterpret_cast<uintptr_t>(src + i) & 12) != 0; ++i) scalar(i);
        for (; len - i >= 1024; i += 1024) StddevLanes(src + i, 1024, true, &s, &q);
        // Exactly 16 left are taken as four groups of four.
        if (i < len) StddevLanes(src + i, len - i, len - i > 16, &s, &q);
    }
    StoreF32(dst, StddevFromSums(s, q, static_cast<int32_t>(len)));
}
