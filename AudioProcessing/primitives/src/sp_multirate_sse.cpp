// SSE members of down- and up-sampling: the plain loops, like the generic ones.
#define SP_MEMBER(name) name##_sse
#define SP_MR_KERNELS 0
#include "sp_multirate.inc"
