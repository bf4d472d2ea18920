// SSE2 members of the vector routines: the 128-bit code with ordinary
// unaligned loads.
#include <emmintrin.h>

#define SP_LOADU(p) _mm_loadu_si128(p)
#define SP_VEC_BYTES 16
#define SP_MEMBER(name) name##_sse2
#include "sp_vector_simd.inc"
