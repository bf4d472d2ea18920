// SSE members of zero, copy and conversion: 8-byte MMX stores (streaming for
// large blocks), 16-byte SSE moves for small copies, MMX integer conversions.
// Only SSE1 and MMX operations are used here; every MMX stretch ends with emms.
#include <mmintrin.h>
#include <string.h>
#include <xmmintrin.h>

#include "sp_buffers_internal.h"

using namespace sp_internal;

namespace {

constexpr int64_t kSseLargeBytes = 20480;  // zero and copy switch to the streaming kernels here
constexpr int64_t kPage = 4096;

inline void ZeroBytes(unsigned char* d, int64_t n) {
    while (n-- > 0) *d++ = 0;
}
inline void CopyBytes(unsigned char* d, const unsigned char* s, int64_t n) {
    while (n-- > 0) *d++ = *s++;
}

inline __m64 Load64(const unsigned char* s) {
    __m64 v;
    memcpy(&v, s, 8);
    return v;
}

// Head to 8-byte alignment, 8-byte stores (streaming or not) in 64-byte steps,
// then the tail.
template <bool kStream>
void* ZeroKernel8(void* dst, int64_t bytes) {
    auto* d = static_cast<unsigned char*>(dst);
    int64_t n = bytes;
    if (n >= 64) {
        const int64_t head = static_cast<int64_t>((8 - (reinterpret_cast<uintptr_t>(d) & 7)) & 7);
        ZeroBytes(d, head);
        d += head, n -= head;
        const __m64 zero = _mm_setzero_si64();
        for (; n >= 64; n -= 64, d += 64) {
            for (int k = 0; k < 8; ++k) {
                if (kStream) {
                    _mm_stream_pi(reinterpret_cast<__m64*>(d) + k, zero);
                } else {
                    memcpy(d + 8 * k, &zero, 8);
                }
            }
        }
        if (kStream) _mm_sfence();
        _mm_empty();
    }
    ZeroBytes(d, n);
    return dst;
}

}  // namespace

void* sp_zero_bytes_kernel_sse(void* dst, int64_t bytes) {
    return ZeroKernel8<false>(dst, bytes);
}
void* sp_zero_bytes_kernel_sse_large(void* dst, int64_t bytes) {
    return ZeroKernel8<true>(dst, bytes);
}

void* sp_copy_bytes_kernel_sse_small(const void* src, void* dst, int64_t bytes) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    int64_t n = bytes;
    if (n >= 64) {
        const int64_t head =
            static_cast<int64_t>((16 - (reinterpret_cast<uintptr_t>(d) & 15)) & 15);
        CopyBytes(d, s, head);
        d += head, s += head, n -= head;
        for (; n >= 16; n -= 16, d += 16, s += 16) {
            _mm_store_ps(reinterpret_cast<float*>(d),
                         _mm_loadu_ps(reinterpret_cast<const float*>(s)));
        }
        if (n >= 8) {
            const __m64 v = Load64(s);
            memcpy(d, &v, 8);
            d += 8, s += 8, n -= 8;
            _mm_empty();
        }
    }
    CopyBytes(d, s, n);
    return dst;
}

void* sp_copy_bytes_kernel_sse(const void* src, void* dst, int64_t bytes) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    int64_t n = bytes;
    const int64_t head = static_cast<int64_t>((8 - (reinterpret_cast<uintptr_t>(d) & 7)) & 7);
    if (n >= 64) {
        CopyBytes(d, s, head);
        d += head, s += head, n -= head;
        for (; n >= 64; n -= 64, d += 64, s += 64) {
            for (int k = 0; k < 8; ++k)
                _mm_stream_pi(reinterpret_cast<__m64*>(d) + k, Load64(s + 8 * k));
        }
        _mm_sfence();
        _mm_empty();
    }
    CopyBytes(d, s, n);
    return dst;
}

void* sp_copy_bytes_kernel_sse_large(const void* src, void* dst, int64_t bytes) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    int64_t n = bytes;
    while (n > 0 && (reinterpret_cast<uintptr_t>(d) & 7) != 0) {
        *d++ = *s++;
        --n;
    }
    if (n < kSseLargeBytes) {
        sp_copy_bytes_kernel_sse(s, d, n);
        return dst;
    }
    // Up to the next page boundary of the source, then page by page with the
    // source page touched and prefetched first, then the rest.
    const int64_t toPage = static_cast<int64_t>(
        (kPage - (reinterpret_cast<uintptr_t>(s) & (kPage - 1))) & (kPage - 1));
    sp_copy_bytes_kernel_sse(s, d, toPage);
    d += toPage, s += toPage, n -= toPage;
    for (; n >= kPage; n -= kPage, d += kPage, s += kPage) {
        sp_prefetch_block(s, kPage);
        sp_copy_bytes_kernel_sse(s, d, kPage);
    }
    if (n > 0) {
        sp_prefetch_block(s, n);
        sp_copy_bytes_kernel_sse(s, d, n);
    }
    return dst;
}

namespace {

sp_status ZeroFrontSse(void* dst, int32_t len, int32_t elementSize) {
    const bool large = static_cast<int64_t>(len) * elementSize >= kSseLargeBytes;
    return ZeroFront(dst, len, elementSize,
                     large ? sp_zero_bytes_kernel_sse_large : sp_zero_bytes_kernel_sse);
}

}  // namespace

sp_status sp_zero_bytes_sse(void* dst, int32_t bytes) {
    return ZeroFrontSse(dst, bytes, 1);
}
sp_status sp_zero_i16_sse(int16_t* dst, int32_t len) {
    return ZeroFrontSse(dst, len, 2);
}
sp_status sp_zero_f32_sse(float* dst, int32_t len) {
    return ZeroFrontSse(dst, len, 4);
}

namespace {

// The SSE copies choose their kernel by size: small below 8192 bytes, the
// streaming kernel up to 16383, the page-wise large kernel from 16384 (2048 and
// 4096 floats, 4096 and 8192 16-bit samples).
sp_status CopyFrontSse(const void* src, void* dst, int32_t len, int32_t elementSize) {
    const int64_t bytes = static_cast<int64_t>(len) * elementSize;
    CopyKernel kernel = bytes < 8192    ? sp_copy_bytes_kernel_sse_small
                        : bytes < 16384 ? sp_copy_bytes_kernel_sse
                                        : sp_copy_bytes_kernel_sse_large;
    return CopyFront(src, dst, len, elementSize, kernel);
}

}  // namespace

sp_status sp_copy_i16_sse(const int16_t* src, int16_t* dst, int32_t len) {
    return CopyFrontSse(src, dst, len, 2);
}
sp_status sp_copy_f32_sse(const float* src, float* dst, int32_t len) {
    return CopyFrontSse(src, dst, len, 4);
}

sp_status sp_convert_i16_to_f32_sse(const int16_t* src, float* dst, int32_t len) {
    if (src == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    int32_t i = 0;
    while (i < len && (reinterpret_cast<uintptr_t>(dst + i) & 7) != 0) {
        dst[i] = static_cast<float>(src[i]);
        ++i;
    }
    if (i + 8 <= len) {
        for (; i + 8 <= len; i += 8) {
            const auto* s = reinterpret_cast<const unsigned char*>(src + i);
            _mm_storeu_ps(dst + i, _mm_cvtpi16_ps(Load64(s)));
            _mm_storeu_ps(dst + i + 4, _mm_cvtpi16_ps(Load64(s + 8)));
        }
        _mm_empty();
    }
    for (; i < len; ++i) dst[i] = static_cast<float>(src[i]);
    return sp_status_ok;
}

namespace {

// One value as the vector path does it: min with the limit (NaN gives the
// limit), convert under the current rounding field, saturate to 16 bits.
inline int16_t SseScaledOne(float x, __m128 factor, bool scaled) {
    __m128 y = _mm_set_ss(x);
    if (scaled) y = _mm_mul_ss(y, factor);
    y = _mm_min_ss(y, _mm_set_ss(32767.0f));
    const int32_t v = _mm_cvtss_si32(y);
    return static_cast<int16_t>(v < -32768 ? -32768 : v);
}

}  // namespace

sp_status sp_convert_f32_to_i16_scaled_sse(const float* src, int16_t* dst, int32_t len,
                                           int32_t roundMode, int32_t scale) {
    if (src == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    const bool scaled = scale != 0;
    const __m128 factor = _mm_set1_ps(ScaleFactorF32(scale));
    const __m128 limit = _mm_set1_ps(32767.0f);
    // Mode 1 rounds to nearest, every other mode truncates: both through the
    // rounding field, restored exactly on return.
    const uint32_t saved = _mm_getcsr();
    const uint32_t wanted =
        ConversionMxcsr(saved, roundMode == 1 ? kMxcsrRoundNearest : kMxcsrRoundTruncate);
    if (wanted != saved) _mm_setcsr(wanted);

    int32_t i = 0;
    while (i < len && (reinterpret_cast<uintptr_t>(src + i) & 31) != 0) {
        dst[i] = SseScaledOne(src[i], factor, scaled);
        ++i;
    }
    if (i + 8 <= len) {
        for (; i + 8 <= len; i += 8) {
            __m128 a = _mm_load_ps(src + i);
            __m128 b = _mm_load_ps(src + i + 4);
            if (scaled) {
                a = _mm_mul_ps(a, factor);
                b = _mm_mul_ps(b, factor);
            }
            a = _mm_min_ps(a, limit);
            b = _mm_min_ps(b, limit);
            // Four pairs through 64-bit integer registers, packed with saturation.
            const __m64 lo = _mm_packs_pi32(_mm_cvtps_pi32(a), _mm_cvtps_pi32(_mm_movehl_ps(a, a)));
            const __m64 hi = _mm_packs_pi32(_mm_cvtps_pi32(b), _mm_cvtps_pi32(_mm_movehl_ps(b, b)));
            memcpy(dst + i, &lo, 8);
            memcpy(dst + i + 4, &hi, 8);
        }
        _mm_empty();
    }
    for (; i < len; ++i) dst[i] = SseScaledOne(src[i], factor, scaled);

    if (_mm_getcsr() != saved) _mm_setcsr(saved);
    return sp_status_ok;
}
