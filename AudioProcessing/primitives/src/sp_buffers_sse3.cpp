// SSE3 members of zero, copy and conversion: SSE3 unaligned loads (lddqu),
// streaming copies from 512 KiB.
#include <pmmintrin.h>

#define SP_LOADU(p) _mm_lddqu_si128(p)
#define SP_COPY_NT_BYTES 524288
#define SP_MEMBER(name) name##_sse3
#include "sp_buffers_simd.inc"
