// Generic members of down- and up-sampling: the plain loops.
#define SP_MEMBER(name) name
#define SP_MR_KERNELS 0
#include "sp_multirate.inc"
