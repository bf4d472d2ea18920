// SSE3 member of the LMS filter: block path below 80 taps, per-sample path over
// the four delay copies from 80.
#define SP_MEMBER(name) name##_sse3
#define SP_LMS_SSE 0
#include "sp_lms_simd.inc"
