// Kernels beneath the vector routines, and the scalar helpers their members
// share.  Kernels check nothing: their member has refused null pointers and
// lengths below 1 before calling them.  Each variant's kernel is its own
// function (suffix _sse, _sse2, _sse3), so a member calls only its own
// variant's code.  Arrays may start at any byte address, odd ones included.
#pragma once

#include <string.h>

#include "sp_buffers_internal.h"
#include "sp_vector.h"

// Overlap-safe move of n >= 1 bytes: forward when dst lies below src, backward
// when above, nothing when they are the same address.  Returns dst, as the copy
// kernels do.  The SSE2 member runs a second copy of the SSE3 code.
void* sp_move_bytes_kernel_sse3(const void* src, void* dst, int64_t n);
void* sp_move_bytes_kernel_sse2(const void* src, void* dst, int64_t n);

namespace sp_internal {

// Element access at any byte address (a 16-bit or 32-bit array need not be
// aligned to its element size).
static inline int16_t LoadI16(const int16_t* p) {
    int16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}
static inline void StoreI16(int16_t* p, int16_t v) {
    memcpy(p, &v, sizeof v);
}

// Element-wise overlap-safe move of `bytes` (a multiple of `size`): forward when
// dst lies below src, backward when above (full-width address comparison).
// Returns dst.
template <int64_t size>
static inline void* MoveElements(const void* src, void* dst, int64_t bytes) {
    const auto* s = static_cast<const unsigned char*>(src);
    auto* d = static_cast<unsigned char*>(dst);
    if (reinterpret_cast<uintptr_t>(d) < reinterpret_cast<uintptr_t>(s)) {
        for (int64_t i = 0; i < bytes; i += size) memmove(d + i, s + i, static_cast<size_t>(size));
    } else if (reinterpret_cast<uintptr_t>(d) > reinterpret_cast<uintptr_t>(s)) {
        for (int64_t i = bytes - size; i >= 0; i -= size)
            memmove(d + i, s + i, static_cast<size_t>(size));
    }
    return dst;
}

}  // namespace sp_internal
