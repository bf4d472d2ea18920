// Generic members of the polyphase resampler: whole 16-bit taps and the 64-bit dot of the vector
// routines, and the free shared by every variant.
#define SP_MEMBER(name) name
#define SP_RS_ALLOC_F64 sp_alloc_f64
#define SP_RS_SPLIT 0
#include "sp_resampler.inc"

sp_status sp_resampler_free(sp_resampler_state* state) {
    if (state == nullptr) return sp_status_null_ptr;
    sp_free(state);
    return sp_status_ok;
}
