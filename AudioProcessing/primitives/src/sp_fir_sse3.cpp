// SSE3 members of the FIR filters: the spectrum product's pairs through
// duplicated even and odd lanes and one alternating subtract/add.
#include <pmmintrin.h>

#define SP_MEMBER(name) name##_sse3
#define SP_FIR_SIMD 1
#define SP_FIR_SSE_ORDER 0
#define SP_FIR_PAIRS_ADDSUB 1
#define SP_FIR_PAIRS_PREFETCH 0
#include "sp_fir.inc"
