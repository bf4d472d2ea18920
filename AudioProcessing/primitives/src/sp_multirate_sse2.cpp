// SSE2 members of down- and up-sampling: the SSE3 members' word-store kernels on the baseline
// instruction set.
#define SP_MEMBER(name) name##_sse2
#define SP_MR_KERNELS 1
#include "sp_multirate.inc"
