// SSE3 members of down- and up-sampling: long blocks through the word-store kernels.
#define SP_MEMBER(name) name##_sse3
#define SP_MR_KERNELS 1
#include "sp_multirate.inc"
