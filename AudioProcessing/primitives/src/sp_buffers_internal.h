// Pieces shared by the members of the buffer routines.  Everything here is
// compiled once, in the generic translation unit, with baseline flags; SIMD code
// never lives in this header.
#pragma once

#include "sp_buffers.h"
#include "sp_vector.h"

namespace sp_internal {

typedef void* (*ZeroKernel)(void* dst, int64_t bytes);
typedef void* (*CopyKernel)(const void* src, void* dst, int64_t bytes);

// The checks of a zero or copy front (null first, then length), then the kernel
// on len * elementSize bytes.
sp_status ZeroFront(void* dst, int32_t len, int32_t elementSize, ZeroKernel kernel);
sp_status CopyFront(const void* src, void* dst, int32_t len, int32_t elementSize,
                    CopyKernel kernel);

// 2^-scale as a float, for any scale (0 or infinity where float runs out).
float ScaleFactorF32(int32_t scale);

// MXCSR fields touched by the SIMD conversions.
constexpr uint32_t kMxcsrRoundMask = 0x6000;
constexpr uint32_t kMxcsrRoundNearest = 0x0000;
constexpr uint32_t kMxcsrRoundTruncate = 0x6000;
constexpr uint32_t kMxcsrDaz = 0x0040;
constexpr uint32_t kMxcsrFtz = 0x8000;

// The MXCSR value a conversion runs under: `round` in the rounding field and
// denormals neither read nor written as zero, so that the members agree with
// the generic one on every finite input.
// (Internal linkage: every variant's file gets its own copy.)
static inline uint32_t ConversionMxcsr(uint32_t saved, uint32_t round) {
    return (saved & ~(kMxcsrRoundMask | kMxcsrDaz | kMxcsrFtz)) | round;
}

}  // namespace sp_internal
