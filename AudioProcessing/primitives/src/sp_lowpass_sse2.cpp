// SSE2 members of the low-pass design.
#include <emmintrin.h>

#define SP_MEMBER(name) name##_sse2
#define SP_ALLOC_F64 sp_alloc_f64
#include "sp_lowpass_simd.inc"
