// SSE members of the multirate FIR path: single-precision main kernels.
#include <xmmintrin.h>

#define SP_MEMBER(name) name##_sse
#define SP_MR_SIMD 1
#include "sp_fir_multirate.inc"
