// SSE3 members of the multirate FIR path: single-precision main kernels.
#include <pmmintrin.h>

#define SP_MEMBER(name) name##_sse3
#define SP_MR_SIMD 1
#include "sp_fir_multirate.inc"
