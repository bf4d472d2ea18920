// SSE members of the polyphase resampler: whole 16-bit taps.
#include <xmmintrin.h>

#define SP_MEMBER(name) name##_sse
#define SP_RS_ALLOC_F64 sp_alloc_f64
#define SP_RS_SPLIT 0
#include "sp_resampler.inc"
