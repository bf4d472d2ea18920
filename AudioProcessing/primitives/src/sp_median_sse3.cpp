// SSE3 median members: 8 lanes, SSE3 unaligned loads (lddqu).
#include <pmmintrin.h>

#define SP_LOADU(p) _mm_lddqu_si128(p)
#define SP_MEMBER(name) name##_sse3
#define SP_ALLOC_32 sp_alloc_32_sse3
#include "sp_median_simd8.inc"
