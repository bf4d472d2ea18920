// Generic members of zero, copy and sample conversion: plain integer and x87
// (long double) code, the reference for the SIMD members.
#include <math.h>
#include <string.h>

#include "sp_buffers_internal.h"

namespace sp_internal {

sp_status ZeroFront(void* dst, int32_t len, int32_t elementSize, ZeroKernel kernel) {
    if (dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    kernel(dst, static_cast<int64_t>(len) * elementSize);
    return sp_status_ok;
}

sp_status CopyFront(const void* src, void* dst, int32_t len, int32_t elementSize,
                    CopyKernel kernel) {
    if (src == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    kernel(src, dst, static_cast<int64_t>(len) * elementSize);
    return sp_status_ok;
}

float ScaleFactorF32(int32_t scale) {
    // The same value as halving (or doubling) 1.0f |scale| times, without the
    // loop: beyond +-300 the float has long reached 0 or infinity.
    const int64_t s = scale;
    const int exponent = static_cast<int>(s > 300 ? 300 : (s < -300 ? -300 : s));
    return ldexpf(1.0f, -exponent);
}

}  // namespace sp_internal

using namespace sp_internal;

void* sp_zero_bytes_kernel(void* dst, int64_t bytes) {
    auto* p = static_cast<unsigned char*>(dst);
    int64_t n = bytes;
    while (n > 0 && (reinterpret_cast<uintptr_t>(p) & 3) != 0) {
        *p++ = 0;
        --n;
    }
    const uint32_t zero = 0;
    for (; n >= 32; n -= 32, p += 32) {
        for (int k = 0; k < 8; ++k) memcpy(p + 4 * k, &zero, 4);
    }
    while (n > 0) {
        *p++ = 0;
        --n;
    }
    return dst;
}

void* sp_copy_bytes_kernel(const void* src, void* dst, int64_t bytes) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    int64_t n = bytes;
    while (n > 0 && (reinterpret_cast<uintptr_t>(d) & 3) != 0) {
        *d++ = *s++;
        --n;
    }
    for (; n >= 32; n -= 32, d += 32, s += 32) {
        for (int k = 0; k < 8; ++k) {
            uint32_t w;
            memcpy(&w, s + 4 * k, 4);
            memcpy(d + 4 * k, &w, 4);
        }
    }
    while (n > 0) {
        *d++ = *s++;
        --n;
    }
    return dst;
}

sp_status sp_zero_bytes(void* dst, int32_t bytes) {
    return ZeroFront(dst, bytes, 1, sp_zero_bytes_kernel);
}
sp_status sp_zero_i16(int16_t* dst, int32_t len) {
    return ZeroFront(dst, len, 2, sp_zero_bytes_kernel);
}
sp_status sp_zero_f32(float* dst, int32_t len) {
    return ZeroFront(dst, len, 4, sp_zero_bytes_kernel);
}
sp_status sp_copy_i16(const int16_t* src, int16_t* dst, int32_t len) {
    return CopyFront(src, dst, len, 2, sp_copy_bytes_kernel);
}
sp_status sp_copy_f32(const float* src, float* dst, int32_t len) {
    return CopyFront(src, dst, len, 4, sp_copy_bytes_kernel);
}

sp_status sp_convert_i16_to_f32(const int16_t* src, float* dst, int32_t len) {
    if (src == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    for (int32_t i = 0; i < len; ++i) dst[i] = static_cast<float>(src[i]);
    return sp_status_ok;
}

namespace {

// One value in extended precision: saturate (NaN gives -32768), then round.
int16_t ScaledToI16(long double y, int32_t roundMode) {
    if (y >= 32767.0L) return 32767;
    if (!(y > -32768.0L)) return -32768;
    if (roundMode != 1) return static_cast<int16_t>(static_cast<int32_t>(y));  // the cast truncates
    // Nearest, ties to even: bias by a half, truncate, and step an odd result
    // back toward zero when the biased value was exactly an integer (a tie).
    const long double biased = y >= 0 ? y + 0.5L : y - 0.5L;
    int32_t t = static_cast<int32_t>(biased);
    if ((t & 1) != 0 && static_cast<long double>(t) == biased) t += y >= 0 ? -1 : 1;
    return static_cast<int16_t>(t);
}

}  // namespace

sp_status sp_convert_f32_to_i16_scaled(const float* src, int16_t* dst, int32_t len,
                                       int32_t roundMode, int32_t scale) {
    if (src == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    // 2^-scale in extended precision; the exponent range of long double ends
    // near +-16445, so the clamp changes nothing.
    const int64_t s = scale;
    const long double factor =
        ldexpl(1.0L, -static_cast<int>(s > 20000 ? 20000 : (s < -20000 ? -20000 : s)));
    for (int32_t i = 0; i < len; ++i) {
        const long double y = scale == 0 ? static_cast<long double>(src[i]) : src[i] * factor;
        dst[i] = ScaledToI16(y, roundMode);
    }
    return sp_status_ok;
}
