// SSE3 members of the polyphase resampler: taps near the centre split into
// a side block, exact widened 16-bit dots.
#include <pmmintrin.h>

#define SP_MEMBER(name) name##_sse3
#define SP_RS_ALLOC_F64 sp_alloc_f64_sse3
#define SP_RS_SPLIT 1
#include "sp_resampler.inc"
