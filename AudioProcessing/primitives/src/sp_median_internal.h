// Pieces shared by the members of the median filter.  Compiled once, in the
// generic translation unit, with baseline flags: integer code only.
#pragma once

#include "sp_buffers.h"
#include "sp_dispatch.h"
#include "sp_median.h"

namespace sp_internal {

typedef sp_status (*MedianKernel)(int16_t* data, int32_t len, int32_t mask);

// A member of entry 66: checks (null, then len and mask), the variant's copy of
// src into dst (skipped when they are the same buffer), then the variant's
// kernel in place.
sp_status MedianFront(const int16_t* src, int16_t* dst, int32_t len, int32_t mask,
                      sp_copy_i16_fn copy, MedianKernel kernel);

// The sorted-window method for an odd mask m >= 3 on len >= 3 samples, with
// the work buffer from `alloc` (the variant's sp_alloc_32).  0, or -9 when the
// work buffer cannot be had (data unchanged then).
sp_status MedianSortedWindow(int16_t* data, int32_t len, int32_t m, sp_alloc_32_fn alloc);

}  // namespace sp_internal
