// Kernels beneath the vector routines, and the scalar helpers their members
// share.  Kernels check nothing: their member has refused null pointers and
// lengths below 1 before calling them.  Each variant's kernel is its own
// function (suffix _sse, _sse2, _sse3), so a member calls only its own
// variant's code.  Arrays may start at any byte address, odd ones included.
#pragma once

#include <string.h>

#include "sp_buffers_internal.h"
#include "sp_vector.h"

// Overlap-safe move of n >= 1 bytes: forward when dst lies below src, backward
// when above, nothing when they are the same address.  Returns dst, as the copy
// kernels do.  The SSE2 member runs a second copy of the SSE3 code.
void* sp_move_bytes_kernel_sse3(const void* src, void* dst, int64_t n);
void* sp_move_bytes_kernel_sse2(const void* src, void* dst, int64_t n);

// The kernels of each SIMD variant; a kernel name without a variant suffix is
// the generic member's.  SP_VECTOR_KERNELS(suffix) declares one variant's set.
#define SP_VECTOR_KERNELS(v)                                                                    \
    void sp_sub_sat_i16_kernel##v(const int16_t* src1, const int16_t* src2, int16_t* dst,       \
                                  int64_t len);                                                 \
    void sp_add_sat_i16_kernel##v(const int16_t* src1, const int16_t* src2, int16_t* dst,       \
                                  int64_t len);                                                 \
    void sp_abs_sat_i16_kernel##v(const int16_t* src, int16_t* dst, int64_t len);               \
    void sp_min_i16_kernel##v(const int16_t* src, int64_t len, int16_t* dst);                   \
    void sp_max_i16_kernel##v(const int16_t* src, int64_t len, int16_t* dst);                   \
    sp_status sp_sum_i16_scaled_body##v(const int16_t* src, int32_t len, int32_t* out,          \
                                        int32_t scale);                                         \
    int32_t sp_sum_i16_scaled_kernel##v(const int16_t* src, int64_t len, int32_t scale);        \
    void sp_rshift_i16_kernel##v(const int16_t* src, int32_t shift, int16_t* dst, int64_t len); \
    void sp_rshift_i16_inplace_kernel##v(int32_t shift, int16_t* srcdst, int64_t len);          \
    void sp_lshift_i16_kernel##v(int32_t shift, int16_t* srcdst, int64_t len);                  \
    sp_status sp_lshift_i16_inplace_body##v(int32_t shift, int16_t* srcdst, int32_t len);       \
    void sp_dot_i16_kernel##v(const int16_t* src1, const int16_t* src2, int64_t len, int64_t* dst);
SP_VECTOR_KERNELS(_sse)
SP_VECTOR_KERNELS(_sse2)
SP_VECTOR_KERNELS(_sse3)
#undef SP_VECTOR_KERNELS

// The SSE2 and SSE3 scaled sums: the exact sum in double, then the scale by
// repeated halving or doubling.
double sp_sum_i16_to_f64_sse2(const int16_t* src, int64_t len);
double sp_sum_i16_to_f64_sse3(const int16_t* src, int64_t len);
int32_t sp_scale_f64_to_i32_sse2(double sum, int32_t scale);
int32_t sp_scale_f64_to_i32_sse3(double sum, int32_t scale);
// The SSE scaled sum: the exact sum in 64 bits.
void sp_sum_i16_to_i64_sse(const int16_t* src, int64_t len, int64_t* out);

// Generic kernels.
sp_status sp_sum_i16_scaled_body(const int16_t* src, int32_t len, int32_t* out, int32_t scale);
sp_status sp_lshift_i16_inplace_body(int32_t shift, int16_t* srcdst, int32_t len);
void sp_dot_i16_kernel(const int16_t* src1, const int16_t* src2, int64_t len, int64_t* dst);
// Fills with no checks; a count below 1 writes nothing.  Return dst.
void* sp_set_i16_kernel(int16_t val, int16_t* dst, int64_t len);
void* sp_set_32_kernel(uint32_t val, void* dst, int64_t len);

namespace sp_internal {

// Element access at any byte address (a 16-bit or 32-bit array need not be
// aligned to its element size).
static inline int16_t LoadI16(const int16_t* p) {
    int16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}
static inline void StoreI16(int16_t* p, int16_t v) {
    memcpy(p, &v, sizeof v);
}

// Element-wise overlap-safe move of `bytes` (a multiple of `size`): forward when
// dst lies below src, backward when above (full-width address comparison).
// Returns dst.
template <int64_t size>
static inline void* MoveElements(const void* src, void* dst, int64_t bytes) {
    const auto* s = static_cast<const unsigned char*>(src);
    auto* d = static_cast<unsigned char*>(dst);
    if (reinterpret_cast<uintptr_t>(d) < reinterpret_cast<uintptr_t>(s)) {
        for (int64_t i = 0; i < bytes; i += size) memmove(d + i, s + i, static_cast<size_t>(size));
    } else if (reinterpret_cast<uintptr_t>(d) > reinterpret_cast<uintptr_t>(s)) {
        for (int64_t i = bytes - size; i >= 0; i -= size)
            memmove(d + i, s + i, static_cast<size_t>(size));
    }
    return dst;
}

static inline int16_t Sat16(int64_t v) {
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}
static inline int32_t Sat32(int64_t v) {
    return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : v));
}

// The exact sum s times 2^-k, rounded to nearest with ties to even and
// saturated to 32 bits, in integer steps: the parity of the truncated quotient
// added before the shift sends ties to the even neighbour.  Any k is prompt.
static inline int32_t ScaleSumToI32(int64_t s, int32_t k) {
    int64_t v0 = s;
    if (k >= 49) {
        v0 = 0;  // |s| < 2^46: nothing survives
    } else if (k >= 1) {
        v0 = (s + ((s >> k) & 1) + ((int64_t{1} << (k - 1)) - 1)) >> k;
    }
    const int32_t v = Sat32(v0);
    if (k >= 0 || v != v0) return v;
    const int64_t n = -static_cast<int64_t>(k);
    if (n >= 32) return v == 0 ? 0 : (v > 0 ? INT32_MAX : INT32_MIN);
    if (v >= 0 && v > (INT32_MAX >> n)) return INT32_MAX;
    if (v < 0 && v < (INT32_MIN >> n)) return INT32_MIN;
    return static_cast<int32_t>(static_cast<int64_t>(v) * (int64_t{1} << n));
}

// What every member of the scaled sum stores from the body's 32-bit value.
static inline int16_t SumToI16(int32_t v) {
    return v >= -32768 && v <= 32767 ? static_cast<int16_t>(v) : (v < 1 ? -32768 : 32767);
}

// One element of the scaled difference: d = src - val (17 bits) times 2^-scale,
// ties to even, saturated.  Scales above 16 give 0 (the members zero-fill
// instead), below -15 the sign of d.
static inline int16_t ScaleDiffToI16(int32_t d, int32_t scale) {
    if (scale > 16) return 0;
    if (scale > 0) return Sat16((d + ((1 << (scale - 1)) - 1) + ((d >> scale) & 1)) >> scale);
    if (scale > -16) return Sat16(static_cast<int64_t>(d) * (int64_t{1} << -scale));
    return d == 0 ? 0 : (d > 0 ? 32767 : -32768);
}

// The running extreme of len >= 1 elements and the index of its first
// occurrence (index may be null): an element replaces it only when strictly
// greater (or smaller).
template <bool kMax>
static inline void ExtremeScalar(const int16_t* src, int64_t len, int16_t* value, int32_t* index) {
    int16_t best = LoadI16(src);
    int64_t at = 0;
    for (int64_t i = 1; i < len; ++i) {
        const int16_t x = LoadI16(src + i);
        if (kMax ? x > best : x < best) best = x, at = i;
    }
    StoreI16(value, best);
    if (index != nullptr) *index = static_cast<int32_t>(at);
}

// Arithmetic right shift of any count 0..; 16 or more leaves the sign.
static inline int16_t ShiftRightI16(int16_t x, int32_t shift) {
    return static_cast<int16_t>(x >> (shift > 15 ? 15 : shift));
}
static inline int16_t ShiftLeftI16(int16_t x, int32_t shift) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(x) << shift));
}

}  // namespace sp_internal
