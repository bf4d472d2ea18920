// SSE3 members of the low-pass design.
#include <pmmintrin.h>

#define SP_MEMBER(name) name##_sse3
#define SP_ALLOC_F64 sp_alloc_f64_sse3
#include "sp_lowpass_simd.inc"
