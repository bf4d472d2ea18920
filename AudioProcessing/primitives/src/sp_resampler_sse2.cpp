// SSE2 members of the polyphase resampler: the SSE3 members' split taps and
// dots on the baseline instruction set.
#include <emmintrin.h>

#define SP_MEMBER(name) name##_sse2
#define SP_RS_ALLOC_F64 sp_alloc_f64
#define SP_RS_SPLIT 1
#include "sp_resampler.inc"
