// SSE members of the FIR filters: each four-tap group summed pairwise before it
// joins the output, and a de-interleaving pair kernel with prefetches.
#include <xmmintrin.h>

#define SP_MEMBER(name) name##_sse
#define SP_FIR_SIMD 1
#define SP_FIR_SSE_ORDER 1
#define SP_FIR_PAIRS_ADDSUB 0
#define SP_FIR_PAIRS_PREFETCH 1
#include "sp_fir.inc"
