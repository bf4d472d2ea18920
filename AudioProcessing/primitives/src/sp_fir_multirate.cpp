// Generic members of the multirate FIR path: sums in double, halves away from zero.
#define SP_MEMBER(name) name
#define SP_MR_SIMD 0
#include "sp_fir_multirate.inc"
