// Generic members of the floating-point vector routines: plain loops in double
// where a sum is formed, each result rounded once.
#include "sp_vector_f32_internal.h"

using namespace sp_internal;

sp_status sp_mul_const_f64_inplace(double val, double* srcdst, int32_t n) {
    return MulConstF64Front(val, srcdst, n, sp_zero_f64, MulConstF64Scalar);
}

sp_status sp_mul_const_f32_inplace(float val, float* srcdst, int32_t len) {
    const sp_status check = CheckArray(srcdst, srcdst, len, 1);
    if (check != sp_status_ok) return check;
    if (!(val < 1.0f || val > 1.0f)) return sp_status_ok;  // 1, or NaN: unordered counts as equal
    if (val == 0.0f) return sp_zero_f32(srcdst, len);
    for (int32_t i = 0; i < len; ++i) StoreF32(srcdst + i, LoadF32(srcdst + i) * val);
    return sp_status_ok;
}

sp_status sp_mul_i16_to_f32(const int16_t* src1, const int16_t* src2, float* dst, int32_t len) {
    if (src1 == nullptr || src2 == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    for (int32_t i = 0; i < len; ++i) {
        const int32_t p = static_cast<int32_t>(LoadI16(src1 + i)) * LoadI16(src2 + i);
        StoreF32(dst + i, static_cast<float>(p));
    }
    return sp_status_ok;
}

sp_status sp_abs_f32_inplace(float* srcdst, int32_t len) {
    const sp_status check = CheckArray(srcdst, srcdst, len, 1);
    if (check != sp_status_ok) return check;
    for (int32_t i = 0; i < len; ++i) StoreF32(srcdst + i, AbsF32(LoadF32(srcdst + i)));
    return sp_status_ok;
}

namespace {

// Two double accumulators take the even and the odd elements of the first
// len rounded down to four, are added, and the last len mod 4 elements follow
// one by one.
double SumGeneric(const float* src, int32_t len) {
    double even = 0.0, odd = 0.0;
    const int32_t body = len & ~3;
    for (int32_t i = 0; i < body; i += 2) {
        even += LoadF32(src + i);
        odd += LoadF32(src + i + 1);
    }
    double total = even + odd;
    for (int32_t i = body; i < len; ++i) total += LoadF32(src + i);
    return total;
}

// First index of the extreme: an element replaces it only when strictly
// greater (smaller), so a NaN replaces nothing and is kept only at index 0.
template <bool kMax>
sp_status ExtremeGeneric(const float* src, int32_t len, float* value, int32_t* index) {
    const sp_status check = CheckArray(src, value, len, 1);
    if (check != sp_status_ok) return check;
    int32_t at = 0;
    ScanExtremeF32<kMax>(src, 1, len, &at);
    StoreF32(value, LoadF32(src + at));
    if (index != nullptr) *index = at;
    return sp_status_ok;
}

}  // namespace

sp_status sp_sum_f32(const float* src, int32_t len, float* sum, int32_t /*hint*/) {
    const sp_status check = CheckArray(src, sum, len, 1);
    if (check != sp_status_ok) return check;
    StoreF32(sum, static_cast<float>(SumGeneric(src, len)));
    return sp_status_ok;
}

sp_status sp_mean_f32(const float* src, int32_t len, float* mean, int32_t /*hint*/) {
    const sp_status check = CheckArray(src, mean, len, 1);
    if (check != sp_status_ok) return check;
    StoreF32(mean, static_cast<float>(SumGeneric(src, len) / len));
    return sp_status_ok;
}

sp_status sp_stddev_f32(const float* src, int32_t len, float* stddev, int32_t /*hint*/) {
    const sp_status check = CheckArray(src, stddev, len, 2);
    if (check != sp_status_ok) return check;
    double s = 0.0, q = 0.0;
    for (int32_t i = 0; i < len; ++i) {
        const double x = LoadF32(src + i);
        s += x;
        q += x * x;
    }
    StoreF32(stddev, StddevFromSums(s, q, len));
    return sp_status_ok;
}

sp_status sp_min_f32(const float* src, int32_t len, float* min) {
    return ExtremeGeneric<false>(src, len, min, nullptr);
}
sp_status sp_max_f32(const float* src, int32_t len, float* max) {
    return ExtremeGeneric<true>(src, len, max, nullptr);
}
sp_status sp_max_index_f32(const float* src, int32_t len, float* max, int32_t* index) {
    return ExtremeGeneric<true>(src, len, max, index);
}
sp_status sp_min_index_f32(const float* src, int32_t len, float* min, int32_t* index) {
    return ExtremeGeneric<false>(src, len, min, index);
}

sp_status sp_sort_ascend_f32_inplace(float* srcdst, int32_t len) {
    const sp_status check = CheckArray(srcdst, srcdst, len, 1);
    if (check != sp_status_ok) return check;
    SortAscendF32(srcdst, len);
    return sp_status_ok;
}

sp_status sp_div_f32(const float* src1, const float* src2, float* dst, int32_t len) {
    if (src1 == nullptr || src2 == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    sp_status status = sp_status_ok;
    for (int32_t i = 0; i < len; ++i) {
        const float d = LoadF32(src1 + i), x = LoadF32(src2 + i);
        if (d == 0.0f) {
            StoreF32(dst + i, ZeroDivisorQuotient(x, 0xFFC00000u));
            status = sp_status_zero_divisor;
        } else {
            StoreF32(dst + i, static_cast<float>(static_cast<double>(x) / d));
        }
    }
    return status;
}
