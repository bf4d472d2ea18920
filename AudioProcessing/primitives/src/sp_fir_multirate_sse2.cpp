// SSE2 members of the multirate FIR path: the SSE3 members' kernels on the baseline
// instruction set.
#include <xmmintrin.h>

#define SP_MEMBER(name) name##_sse2
#define SP_MR_SIMD 1
#include "sp_fir_multirate.inc"
