// Fronts shared by every member of the floating-point vector routines; each
// member passes its own variant's routines.  Internal linkage only: every
// variant's translation unit compiles its own copy with its own flags.
#pragma once

#include <math.h>
#include <stdint.h>
#include <string.h>

#include "sp_buffers.h"
#include "sp_lowpass.h"
#include "sp_vector_f32.h"
#include "sp_vector_internal.h"  // LoadI16

// Kernels shared by the SSE, SSE2 and SSE3 members (one function each, on
// the baseline instruction set).
// Eight double accumulators, rotating by one place each group of eight.
double sp_sum_accurate_kernel_f32(const float* src, int64_t len);
// The sample standard deviation from double sums (accurate) or from f32 lane
// sums over blocks of 1024 folded into double (fast); writes *dst.
void sp_stddev_accurate_kernel_f32(const float* src, int64_t len, float* dst);
void sp_stddev_fast_kernel_f32(const float* src, int64_t len, float* dst);

// Reduction kernels of the SIMD sets that no routine calls; each sums or
// compares in its own fixed order.  The caller guarantees valid pointers and
// n >= 1 (sp_min_kernel_f64_sse also takes n < 1 and writes +0).
void sp_max_kernel_f64_sse3(const double* src, int32_t n, double* dst);
void sp_min_kernel_f64_sse3(const double* src, int32_t n, double* dst);
void sp_max_kernel_f64_sse2(const double* src, int32_t n, double* dst);
void sp_min_kernel_f64_sse2(const double* src, int32_t n, double* dst);
void sp_min_kernel_f64_sse(const double* src, int32_t n, double* dst);
void sp_dot_kernel_f32_f64_sse3(const float* src1, const float* src2, int32_t n, double* dst);
void sp_dot_kernel_f32_f64_sse2(const float* src1, const float* src2, int32_t n, double* dst);
void sp_dot_kernel_f32_sse3(const float* src1, const float* src2, int32_t n, float* dst);
void sp_dot_kernel_f32_sse2(const float* src1, const float* src2, int32_t n, float* dst);
void sp_dot_kernel_f32_sse(const float* src1, const float* src2, int32_t n, float* dst);

namespace sp_internal {

typedef sp_status (*ZeroF64Fn)(double* dst, int32_t n);
typedef void (*MulConstF64Kernel)(double value, double* data, int32_t n);

static inline sp_status MulConstF64Front(double val, double* srcdst, int32_t n, ZeroF64Fn zero,
                                         MulConstF64Kernel kernel) {
    if (srcdst == nullptr) return sp_status_null_ptr;
    if (n < 1) return sp_status_bad_size;
    if (!(val < 1.0 || val > 1.0)) return sp_status_ok;  // 1.0, or NaN: unordered counts as equal
    if (val == 0.0) return zero(srcdst, n);
    kernel(val, srcdst, n);
    return sp_status_ok;
}

// Element by element: the generic and SSE members' multiply, and every
// member's path for short arrays.  The array may lie off the 8-byte grid, so
// elements go through memcpy.
static inline void MulConstF64Scalar(double value, double* data, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        double x;
        memcpy(&x, data + i, sizeof x);
        x *= value;
        memcpy(data + i, &x, sizeof x);
    }
}

// Element access at any byte address: the f32 routines accept arrays off the
// 4-byte grid.
static inline float LoadF32(const float* p) {
    float v;
    memcpy(&v, p, sizeof v);
    return v;
}
static inline void StoreF32(float* p, float v) {
    memcpy(p, &v, sizeof v);
}

// The sign bit cleared: -0 gives +0, a NaN keeps its payload.
static inline float AbsF32(float x) {
    uint32_t bits;
    memcpy(&bits, &x, sizeof bits);
    bits &= 0x7FFFFFFFu;
    memcpy(&x, &bits, sizeof x);
    return x;
}

// The quotient by a zero divisor: +inf for a dividend above zero, -inf below,
// else the member's NaN pattern.
static inline float ZeroDivisorQuotient(float dividend, uint32_t nanBits) {
    if (dividend > 0.0f) return INFINITY;
    if (dividend < 0.0f) return -INFINITY;
    float nan;
    memcpy(&nan, &nanBits, sizeof nan);
    return nan;
}

// Scans src[from..len-1] for an element strictly beyond src[*at] (greater for
// the maximum, smaller for the minimum) and moves *at to each one found, so
// *at ends at the first occurrence of the extreme.
template <bool kMax>
static inline void ScanExtremeF32(const float* src, int64_t from, int64_t len, int32_t* at) {
    float best = LoadF32(src + *at);
    for (int64_t i = from; i < len; ++i) {
        const float x = LoadF32(src + i);
        if (kMax ? x > best : x < best) best = x, *at = static_cast<int32_t>(i);
    }
}

// The checks of the one-array routines: -8 null, then -6 below minLen.
static inline sp_status CheckArray(const void* a, const void* b, int32_t len, int32_t minLen) {
    if (a == nullptr || b == nullptr) return sp_status_null_ptr;
    return len < minLen ? sp_status_bad_size : sp_status_ok;
}

// The end common to every standard deviation: the variance from the sums in
// double; a set sign bit (negative from rounding, or -0) gives +0.
static inline float StddevFromSums(double s, double q, int32_t len) {
    const double n = len;
    const double var = (n * q - s * s) / ((n - 1) * n);
    return signbit(var) ? 0.0f : static_cast<float>(sqrt(var));
}

// Ascending sort in place, the same in every member.  Segments of up to nine
// elements are finished by selection sort; larger ones are split around the
// median of their first, middle and last elements, the smaller part sorted
// next and the larger kept on a stack of at most 32 segments (the smaller part
// is at most half its segment, so the stack cannot hold more for any int32
// length).  Both partition scans are bounded by the segment, so equal runs and
// NaN stay inside it.
static inline void SortAscendF32(float* a, int32_t len) {
    struct Segment {
        int32_t first, last;
    };
    Segment stack[32];
    int32_t depth = 0;
    int32_t first = 0, last = len - 1;
    auto swap = [a](int32_t x, int32_t y) {
        const float t = LoadF32(a + x);
        StoreF32(a + x, LoadF32(a + y));
        StoreF32(a + y, t);
    };
    for (;;) {
        if (last - first + 1 <= 9) {
            for (int32_t end = last; end > first; --end) {
                int32_t big = first;
                for (int32_t k = first + 1; k <= end; ++k)
                    if (LoadF32(a + k) > LoadF32(a + big)) big = k;
                swap(big, end);
            }
            if (depth == 0) return;
            --depth;
            first = stack[depth].first;
            last = stack[depth].last;
            continue;
        }
        const int32_t mid = first + (last - first + 1) / 2;
        if (LoadF32(a + first) < LoadF32(a + first + 1)) swap(first, first + 1);
        if (LoadF32(a + mid) < LoadF32(a + first)) swap(mid, first);
        if (LoadF32(a + last) < LoadF32(a + first)) swap(last, first);
        if (LoadF32(a + last) < LoadF32(a + mid)) swap(last, mid);
        const float pivot = LoadF32(a + mid);
        int32_t i = first + 1, j = last;
        for (;;) {
            while (i <= j && LoadF32(a + i) <= pivot) ++i;
            while (j > first && LoadF32(a + j) > pivot) --j;
            if (i >= j) break;
            swap(i, j);
            ++i;
            --j;
        }
        // Left: first..i-1, all <= pivot, less its trailing run equal to the
        // pivot (in place already); right: i..last, all > pivot.
        int32_t leftEnd = i - 1;
        while (leftEnd >= first && LoadF32(a + leftEnd) == pivot) --leftEnd;
        if (leftEnd == last) --leftEnd;  // only with NaN data: keep making progress
        Segment left = {first, leftEnd}, right = {i, last};
        if (left.last - left.first > right.last - right.first) {
            const Segment t = left;
            left = right;
            right = t;
        }
        // left is now the smaller part: sort it next, keep the larger.
        if (right.last > right.first) stack[depth++] = right;
        if (left.last > left.first) {
            first = left.first;
            last = left.last;
        } else {
            if (depth == 0) return;
            --depth;
            first = stack[depth].first;
            last = stack[depth].last;
        }
    }
}

}  // namespace sp_internal
