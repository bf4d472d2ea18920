// Generic members of the vector routines: plain loops in wide integers, the
// reference for the SIMD members.
#include "sp_vector_internal.h"

using namespace sp_internal;

// ---- Moves ------------------------------------------------------------------------

sp_status sp_move_i16(const int16_t* src, int16_t* dst, int32_t len) {
    return CopyFront(src, dst, len, 2, MoveElements<2>);
}
sp_status sp_move_f32(const float* src, float* dst, int32_t len) {
    return CopyFront(src, dst, len, 4, MoveElements<4>);
}

// ---- Kernels ------------------------------------------------------------------------

void sp_dot_i16_kernel(const int16_t* src1, const int16_t* src2, int64_t len, int64_t* dst) {
    int64_t sum = 0;
    for (int64_t i = 0; i < len; ++i)
        sum += static_cast<int32_t>(LoadI16(src1 + i)) * static_cast<int32_t>(LoadI16(src2 + i));
    *dst = sum;
}

void* sp_set_i16_kernel(int16_t val, int16_t* dst, int64_t len) {
    auto* d = reinterpret_cast<unsigned char*>(dst);
    // Up to a 4-byte boundary (an odd address never gets there), then the value
    // twice in each 32-bit word, eight words a step, then the rest.
    for (; len > 0 && (reinterpret_cast<uintptr_t>(d) & 2) != 0; --len, d += 2) memcpy(d, &val, 2);
    const uint32_t pair = static_cast<uint16_t>(val) * 0x00010001u;
    for (; len >= 16; len -= 16, d += 32)
        for (int k = 0; k < 8; ++k) memcpy(d + 4 * k, &pair, 4);
    for (; len > 0; --len, d += 2) memcpy(d, &val, 2);
    return dst;
}

void* sp_set_32_kernel(uint32_t val, void* dst, int64_t len) {
    auto* d = static_cast<unsigned char*>(dst);
    for (; len >= 8; len -= 8, d += 32)
        for (int k = 0; k < 8; ++k) memcpy(d + 4 * k, &val, 4);
    for (; len > 0; --len, d += 4) memcpy(d, &val, 4);
    return dst;
}

namespace {

// The exact sum: 65536 elements at a time in 32 bits (it cannot overflow), each
// chunk's total added to a 64-bit one.
int64_t SumI16(const int16_t* src, int64_t len) {
    int64_t total = 0;
    for (int64_t at = 0; at < len; at += 65536) {
        const int64_t n = len - at < 65536 ? len - at : 65536;
        int32_t a = 0, b = 0;
        int64_t i = 0;
        for (; i + 2 <= n; i += 2) {
            a += LoadI16(src + at + i);
            b += LoadI16(src + at + i + 1);
        }
        if (i < n) a += LoadI16(src + at + i);
        total += static_cast<int64_t>(a) + b;
    }
    return total;
}

}  // namespace

sp_status sp_sum_i16_scaled_body(const int16_t* src, int32_t len, int32_t* out, int32_t scale) {
    if (src == nullptr || out == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    *out = ScaleSumToI32(SumI16(src, len), scale);
    return sp_status_ok;
}

sp_status sp_lshift_i16_inplace_body(int32_t shift, int16_t* srcdst, int32_t len) {
    if (srcdst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    if (shift < 0) return sp_status_negative_shift;
    if (shift > 15) {
        sp_zero_bytes_kernel(srcdst, static_cast<int64_t>(len) * 2);
        return sp_status_ok;
    }
    for (int32_t i = 0; i < len; ++i)
        StoreI16(srcdst + i, ShiftLeftI16(LoadI16(srcdst + i), shift));
    return sp_status_ok;
}

// ---- Members ------------------------------------------------------------------------

sp_status sp_sub_sat_i16(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len) {
    if (src1 == nullptr || src2 == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    for (int32_t i = 0; i < len; ++i)
        StoreI16(dst + i, Sat16(int32_t{LoadI16(src2 + i)} - LoadI16(src1 + i)));
    return sp_status_ok;
}

sp_status sp_add_sat_i16(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len) {
    if (src1 == nullptr || src2 == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    for (int32_t i = 0; i < len; ++i)
        StoreI16(dst + i, Sat16(int32_t{LoadI16(src1 + i)} + LoadI16(src2 + i)));
    return sp_status_ok;
}

sp_status sp_abs_sat_i16_inplace(int16_t* srcdst, int32_t len) {
    if (srcdst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    for (int32_t i = 0; i < len; ++i) {
        const int32_t x = LoadI16(srcdst + i);
        StoreI16(srcdst + i, Sat16(x < 0 ? -x : x));
    }
    return sp_status_ok;
}

sp_status sp_sum_i16_scaled(const int16_t* src, int32_t len, int16_t* sum, int32_t scale) {
    if (src == nullptr || sum == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    int32_t v = 0;
    sp_sum_i16_scaled_body(src, len, &v, scale);
    StoreI16(sum, SumToI16(v));
    return sp_status_ok;
}

sp_status sp_sub_const_i16_scaled(const int16_t* src, int16_t val, int16_t* dst, int32_t len,
                                  int32_t scale) {
    if (src == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    if (scale == 0 && val == 0) return sp_copy_i16(src, dst, len);
    if (scale > 16) return sp_zero_i16(dst, len);
    for (int32_t i = 0; i < len; ++i)
        StoreI16(dst + i, ScaleDiffToI16(int32_t{LoadI16(src + i)} - val, scale));
    return sp_status_ok;
}

sp_status sp_max_i16(const int16_t* src, int32_t len, int16_t* max) {
    if (src == nullptr || max == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    ExtremeScalar<true>(src, len, max, nullptr);
    return sp_status_ok;
}
sp_status sp_min_i16(const int16_t* src, int32_t len, int16_t* min) {
    if (src == nullptr || min == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    ExtremeScalar<false>(src, len, min, nullptr);
    return sp_status_ok;
}
sp_status sp_max_index_i16(const int16_t* src, int32_t len, int16_t* max, int32_t* index) {
    if (src == nullptr || max == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    ExtremeScalar<true>(src, len, max, index);
    return sp_status_ok;
}

sp_status sp_rshift_i16(const int16_t* src, int32_t shift, int16_t* dst, int32_t len) {
    if (src == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    if (shift < 0) return sp_status_negative_shift;
    for (int32_t i = 0; i < len; ++i) StoreI16(dst + i, ShiftRightI16(LoadI16(src + i), shift));
    return sp_status_ok;
}
sp_status sp_rshift_i16_inplace(int32_t shift, int16_t* srcdst, int32_t len) {
    return sp_rshift_i16(srcdst, shift, srcdst, len);
}
sp_status sp_lshift_i16_inplace(int32_t shift, int16_t* srcdst, int32_t len) {
    return sp_lshift_i16_inplace_body(shift, srcdst, len);
}

sp_status sp_dot_i16_to_i64(const int16_t* src1, const int16_t* src2, int32_t len, int64_t* dot) {
    if (src1 == nullptr || src2 == nullptr || dot == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    sp_dot_i16_kernel(src1, src2, len, dot);
    return sp_status_ok;
}
sp_status sp_dot_i16_to_f32(const int16_t* src1, const int16_t* src2, int32_t len, float* dot) {
    if (src1 == nullptr || src2 == nullptr || dot == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    int64_t sum;
    sp_dot_i16_kernel(src1, src2, len, &sum);
    *dot = static_cast<float>(sum);
    return sp_status_ok;
}

sp_status sp_set_i16(int16_t val, int16_t* dst, int32_t len) {
    if (dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    sp_set_i16_kernel(val, dst, len);
    return sp_status_ok;
}
sp_status sp_set_32(uint32_t val, void* dst, int32_t len) {
    if (dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    sp_set_32_kernel(val, dst, len);
    return sp_status_ok;
}
