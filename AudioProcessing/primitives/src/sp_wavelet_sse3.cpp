// SSE3 members of the wavelet filter bank.
#include <pmmintrin.h>

#include "sp_buffers.h"

#define SP_MEMBER(name) name##_sse3
#define SP_HADD(a, b) _mm_hadd_ps(a, b)
#include "sp_wavelet_simd.inc"

#define SP_LOADU(p) _mm_castsi128_ps(_mm_lddqu_si128(reinterpret_cast<const __m128i*>(p)))
#include "sp_wavelet_merge_simd.inc"
