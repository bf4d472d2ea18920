// SSE member of the LMS filter: one per-sample kernel on delay copy 0.
#define SP_MEMBER(name) name##_sse
#define SP_LMS_SSE 1
#include "sp_lms_simd.inc"
