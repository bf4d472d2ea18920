// SSE2 median members: 8 lanes, unaligned loads (movdqu).
#include <emmintrin.h>

#define SP_LOADU(p) _mm_loadu_si128(p)
#define SP_MEMBER(name) name##_sse2
#define SP_ALLOC_32 sp_alloc_32
#include "sp_median_simd8.inc"
