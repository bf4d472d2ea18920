// SSE3 members of the IIR filters: SSE3 unaligned loads (lddqu) of the samples.
#include <pmmintrin.h>

#define SP_MEMBER(name) name##_sse3
#define SP_IIR_MMX_CONVERSIONS 0
#define SP_IIR_LOAD_I16X8(p) _mm_lddqu_si128(reinterpret_cast<const __m128i*>(p))
#define SP_IIR_SSE_LAST_GROUP 0
#include "sp_iir_simd.inc"
