// SSE2 members of zero, copy and conversion: unaligned loads (movdqu),
// streaming copies above 256 KiB.
#include <emmintrin.h>

#define SP_LOADU(p) _mm_loadu_si128(p)
#define SP_COPY_NT_BYTES 262145  // above 262144 bytes
#define SP_MEMBER(name) name##_sse2
#include "sp_buffers_simd.inc"
