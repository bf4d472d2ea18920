// SSE median members: 4 lanes in 64-bit MMX registers with the SSE signed
// 16-bit minimum and maximum (pminsw/pmaxsw on MMX), emms before returning.
#include <string.h>
#include <xmmintrin.h>

#include <stdint.h>

namespace {

struct Lanes {
    typedef __m64 V;
    static constexpr int32_t kCount = 4;
    static constexpr uintptr_t kAlign = 8;
    static V Load(const int16_t* p) { return LoadU(p); }
    static V LoadU(const int16_t* p) {
        V v;
        memcpy(&v, p, 8);
        return v;
    }
    static void Store(int16_t* p, V v) { memcpy(p, &v, 8); }
    static V Min(V a, V b) { return _mm_min_pi16(a, b); }
    static V Max(V a, V b) { return _mm_max_pi16(a, b); }
    template <int J>
    static V Before(V prev, V cur) {
        // Shifting by 64 bits clears the register (J == 4: all of prev).
        return _mm_or_si64(_mm_slli_si64(cur, 16 * J), _mm_srli_si64(prev, 64 - 16 * J));
    }
    static void Done() { _mm_empty(); }
};

}  // namespace

#include "sp_median_simd.inc"

sp_status sp_median_kernel_i16_sse(int16_t* data, int32_t len, int32_t mask) {
    return SimdMedianKernel(data, len, mask, sp_alloc_32);
}

sp_status sp_median_filter_i16_sse(const int16_t* src, int16_t* dst, int32_t len, int32_t mask) {
    return sp_internal::MedianFront(src, dst, len, mask, sp_copy_i16_sse, sp_median_kernel_i16_sse);
}
