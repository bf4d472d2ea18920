// SSE members of the vector routines.  The processor level they stand for has
// no 128-bit integer vectors, so the integer kernels work on 64-bit halves
// (four 16-bit lanes) of the SSE2 registers, which give the same results as
// the 64-bit vector registers of that level without leaving x87 state behind.
#include <emmintrin.h>
#include <xmmintrin.h>

#define SP_LOADU(p) _mm_loadu_si128(p)
#define SP_VEC_BYTES 8
#define SP_MEMBER(name) name##_sse
#include "sp_vector_simd.inc"

namespace {

// ---- Moves ------------------------------------------------------------------------

// The SSE moves copy inline: 16-byte units (whole SSE registers) in the
// direction that keeps an overlapping move right, then single bytes.
void* MoveInlineSse(const void* src, void* dst, int64_t n) {
    const auto* s = static_cast<const unsigned char*>(src);
    auto* d = static_cast<unsigned char*>(dst);
    if (reinterpret_cast<uintptr_t>(d) < reinterpret_cast<uintptr_t>(s)) {
        for (; n >= 16; n -= 16, s += 16, d += 16)
            _mm_storeu_ps(reinterpret_cast<float*>(d),
                          _mm_loadu_ps(reinterpret_cast<const float*>(s)));
        for (; n > 0; --n) *d++ = *s++;
    } else if (reinterpret_cast<uintptr_t>(d) > reinterpret_cast<uintptr_t>(s)) {
        s += n, d += n;
        for (; n >= 16; n -= 16) {
            s -= 16, d -= 16;
            _mm_storeu_ps(reinterpret_cast<float*>(d),
                          _mm_loadu_ps(reinterpret_cast<const float*>(s)));
        }
        for (; n > 0; --n) *--d = *--s;
    }
    return dst;
}

}  // namespace

sp_status sp_move_i16_sse(const int16_t* src, int16_t* dst, int32_t len) {
    return CopyFront(src, dst, len, 2, MoveInlineSse);
}
sp_status sp_move_f32_sse(const float* src, float* dst, int32_t len) {
    return CopyFront(src, dst, len, 4, MoveInlineSse);
}
