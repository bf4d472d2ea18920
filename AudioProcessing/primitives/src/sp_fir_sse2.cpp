// SSE2 members of the FIR filters: the SSE3 members' kernels on the baseline
// instruction set, with a de-interleaving pair kernel (the same bits as the
// SSE3 one).
#include <xmmintrin.h>

#define SP_MEMBER(name) name##_sse2
#define SP_FIR_SIMD 1
#define SP_FIR_SSE_ORDER 0
#define SP_FIR_PAIRS_ADDSUB 0
#define SP_FIR_PAIRS_PREFETCH 0
#include "sp_fir.inc"
