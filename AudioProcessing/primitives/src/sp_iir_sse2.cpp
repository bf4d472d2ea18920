// SSE2 members of the IIR filters: the SSE3 members' code, with the baseline
// unaligned load in place of lddqu (the same bits).
#include <emmintrin.h>

#define SP_MEMBER(name) name##_sse2
#define SP_IIR_MMX_CONVERSIONS 0
#define SP_IIR_LOAD_I16X8(p) _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))
#define SP_IIR_SSE_LAST_GROUP 0
#include "sp_iir_simd.inc"
