// SSE3 members of the wavelet filter bank's analysis side.
#include <pmmintrin.h>

#include "sp_buffers.h"

#define SP_MEMBER(name) name##_sse3
#define SP_HADD(a, b) _mm_hadd_ps(a, b)
#include "sp_wavelet_simd.inc"
