// SSE3 members of the floating-point vector routines.
#include <pmmintrin.h>

#define SP_MEMBER(name) name##_sse3
#define SP_VF_SSE 0
#define SP_VF_F64_BROADCAST(p) _mm_loaddup_pd(p)
#define SP_VF_F64_PREFETCH_FROM 131072
#define SP_VF_F32_PREFETCH_FROM 262144
#define SP_VF_LOADU_PS(p) _mm_castsi128_ps(_mm_lddqu_si128(reinterpret_cast<const __m128i*>(p)))
#define SP_VF_DOT_F64_X87 0
#define SP_VF_DOT_SHUFFLED 0
#include "sp_vector_f32_simd.inc"
