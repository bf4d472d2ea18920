// SSE2 member of the LMS filter: a copy of the SSE3 member's kernels (they use
// no SSE3 instruction, so the same code serves the baseline).
#define SP_MEMBER(name) name##_sse2
#define SP_LMS_SSE 0
#include "sp_lms_simd.inc"
