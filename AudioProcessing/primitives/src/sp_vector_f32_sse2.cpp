// SSE2 members of the floating-point vector routines: the SSE3 members' code
// with baseline spellings of its SSE3 loads (the same bits).
#include <emmintrin.h>

#define SP_MEMBER(name) name##_sse2
#define SP_VF_SSE 0
#define SP_VF_F64_BROADCAST(p) _mm_unpacklo_pd(_mm_load_sd(p), _mm_load_sd(p))
#define SP_VF_F64_PREFETCH_FROM 65536
#define SP_VF_F32_PREFETCH_FROM 131072
#define SP_VF_LOADU_PS(p) _mm_loadu_ps(p)
#define SP_VF_DOT_F64_X87 1
#define SP_VF_DOT_SHUFFLED 1
#include "sp_vector_f32_simd.inc"
