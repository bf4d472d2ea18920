// SSE members of the floating-point vector routines (four-lane f32 vectors; no
// double-precision vectors at this level).
#include <xmmintrin.h>

#define SP_MEMBER(name) name##_sse
#define SP_VF_SSE 1
#define SP_VF_F32_PREFETCH_FROM 131072
#define SP_VF_LOADU_PS(p) _mm_loadu_ps(p)
#include "sp_vector_f32_simd.inc"
