// Generic median filter: scalar paths for masks 3 and 5, the sorted-window
// method from mask 7; the front shared by every member.
#include "sp_median_internal.h"

namespace sp_internal {

sp_status MedianFront(const int16_t* src, int16_t* dst, int32_t len, int32_t mask,
                      sp_copy_i16_fn copy, MedianKernel kernel) {
    if (src == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1 || mask < 1) return sp_status_bad_size;
    if (src != dst) {
        const sp_status copied = copy(src, dst, len);
        if (copied != sp_status_ok) return copied;
    }
    return kernel(dst, len, mask);
}

sp_status MedianSortedWindow(int16_t* data, int32_t len, int32_t m, sp_alloc_32_fn alloc) {
    const int32_t h = (m - 1) / 2;
    // A sorted window of R = m rounded up to 8 values, then a ring of R values
    // in arrival order; the size in 64 bits so that no mask wraps it.
    const int64_t r = (static_cast<int64_t>(m) + 7) / 8 * 8;
    if (2 * r > INT32_MAX) return sp_status_no_memory;
    auto* sorted = static_cast<int32_t*>(alloc(static_cast<int32_t>(2 * r)));
    if (sorted == nullptr) return sp_status_no_memory;
    int32_t* ring = sorted + r;

    // The window of position 0: h copies of x[0], then x[0], x[1], ... while
    // samples remain, then copies of x[len-1].
    int32_t held = 0;
    int32_t next = 0;  // next input sample to read
    while (held < h) sorted[held] = ring[held] = data[0], ++held;
    while (held < m && next < len) sorted[held] = ring[held] = data[next++], ++held;
    while (held < m) sorted[held] = ring[held] = data[len - 1], ++held;
    sp_sort_i32(sorted, m);

    int32_t oldest = 0;
    for (int32_t i = 1; i <= len - 2; ++i) {
        // The newest sample is h positions ahead of the output: never filtered yet.
        const int32_t incoming = next < len ? data[next++] : data[len - 1];
        const int32_t outgoing = ring[oldest];
        int32_t k = 0;
        while (sorted[k] != outgoing) ++k;
        // Replace and move the new value into order, one place at a time.
        while (k > 0 && sorted[k - 1] > incoming) sorted[k] = sorted[k - 1], --k;
        while (k < m - 1 && sorted[k + 1] < incoming) sorted[k] = sorted[k + 1], ++k;
        sorted[k] = incoming;
        ring[oldest] = incoming;
        oldest = oldest + 1 == m ? 0 : oldest + 1;
        data[i] = static_cast<int16_t>(sorted[h]);
    }
    sp_free(sorted);
    return sp_status_ok;
}

}  // namespace sp_internal

using namespace sp_internal;

void sp_sort_i32(int32_t* values, int32_t n) {
    for (int32_t pass = n - 1; pass >= 1; --pass) {
        for (int32_t k = 0; k < pass; ++k) {
            if (values[k] > values[k + 1]) {
                const int32_t t = values[k];
                values[k] = values[k + 1];
                values[k + 1] = t;
            }
        }
    }
}

namespace {

inline int16_t Min(int16_t a, int16_t b) {
    return a < b ? a : b;
}
inline int16_t Max(int16_t a, int16_t b) {
    return a < b ? b : a;
}

inline int16_t Median3(int16_t a, int16_t b, int16_t c) {
    return Min(Max(a, b), Max(Min(a, b), c));
}

inline int16_t Median5(int16_t a, int16_t b, int16_t c, int16_t d, int16_t e) {
    // The larger of the two pair minima and the smaller of the two pair maxima
    // bracket the median together with e.
    const int16_t p = Max(Min(a, b), Min(c, d));
    const int16_t q = Min(Max(a, b), Max(c, d));
    return Median3(p, q, e);
}

void Median3Path(int16_t* x, int32_t len) {
    int16_t before = x[0], here = x[1];
    for (int32_t i = 1; i <= len - 2; ++i) {
        const int16_t after = x[i + 1];
        x[i] = Median3(before, here, after);
        before = here;
        here = after;
    }
}

void Median5Path(int16_t* x, int32_t len) {
    // Circular window of the five unfiltered values around the output.
    int16_t w[5] = {x[0], x[0], x[1], x[2], x[len > 3 ? 3 : len - 1]};
    int32_t oldest = 0;
    for (int32_t i = 1; i <= len - 2; ++i) {
        x[i] = Median5(w[0], w[1], w[2], w[3], w[4]);
        const int32_t n = i + 3 < len ? i + 3 : len - 1;
        w[oldest] = x[n];
        oldest = oldest == 4 ? 0 : oldest + 1;
    }
}

}  // namespace

sp_status sp_median_kernel_i16(int16_t* data, int32_t len, int32_t mask) {
    if (data == nullptr) return sp_status_null_ptr;
    if (len < 1 || mask < 1) return sp_status_bad_size;
    const sp_status result = mask % 2 == 0 ? sp_status_even_mask : sp_status_ok;
    const int32_t m = mask % 2 == 0 ? mask - 1 : mask;
    if (m == 1 || len < 3) return result;
    if (m == 3) {
        Median3Path(data, len);
        return result;
    }
    if (m == 5) {
        Median5Path(data, len);
        return result;
    }
    const sp_status s = MedianSortedWindow(data, len, m, sp_alloc_32);
    return s == sp_status_ok ? result : s;
}

sp_status sp_median_filter_i16(const int16_t* src, int16_t* dst, int32_t len, int32_t mask) {
    return MedianFront(src, dst, len, mask, sp_copy_i16, sp_median_kernel_i16);
}
