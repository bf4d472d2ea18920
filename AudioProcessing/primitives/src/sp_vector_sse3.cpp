// SSE3 members of the vector routines: the 128-bit code with the SSE3
// unaligned load (lddqu), meant for loads that cross cache lines.
#include <pmmintrin.h>

#define SP_LOADU(p) _mm_lddqu_si128(p)
#define SP_VEC_BYTES 16
#define SP_MEMBER(name) name##_sse3
#include "sp_vector_simd.inc"
