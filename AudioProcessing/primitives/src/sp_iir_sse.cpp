// SSE members of the IIR filters: 16-bit conversions through MMX, and their own
// grouping of the recursion's last term for orders 5, 9, 13, ... (which can
// change the fourth output of a step in its last bit).
#include <xmmintrin.h>

#define SP_MEMBER(name) name##_sse
#define SP_IIR_MMX_CONVERSIONS 1
#define SP_IIR_SSE_LAST_GROUP 1
#include "sp_iir_simd.inc"
