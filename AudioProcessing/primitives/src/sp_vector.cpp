// Generic members of the vector routines: plain loops in wide integers, the
// reference for the SIMD members.
#include "sp_vector_internal.h"

using namespace sp_internal;

// ---- Moves ------------------------------------------------------------------------

sp_status sp_move_i16(const int16_t* src, int16_t* dst, int32_t len) {
    return CopyFront(src, dst, len, 2, MoveElements<2>);
}
sp_status sp_move_f32(const float* src, float* dst, int32_t len) {
    return CopyFront(src, dst, len, 4, MoveElements<4>);
}
