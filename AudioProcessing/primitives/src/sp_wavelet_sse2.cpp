// SSE2 members of the wavelet filter bank: the SSE3 code with the horizontal
// add spelt in shuffles and adds and plain unaligned loads, which give the
// same values.
#include <xmmintrin.h>

#include "sp_buffers.h"

namespace {
__m128 HaddPairs(__m128 a, __m128 b) {
    const __m128 lo = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 hi = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
    return _mm_add_ps(lo, hi);
}
}  // namespace

#define SP_MEMBER(name) name##_sse2
#define SP_HADD(a, b) HaddPairs(a, b)
#include "sp_wavelet_simd.inc"

#define SP_LOADU(p) _mm_loadu_ps(p)
#include "sp_wavelet_merge_simd.inc"
