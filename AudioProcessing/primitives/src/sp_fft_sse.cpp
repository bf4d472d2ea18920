// Real FFT, SSE member (SSE1 packed singles only): fused kernel up to order
// 10, separate radix kernel at 11, above the generic order split with four
// twiddled columns at a time and the halving recursion for unsplit blocks.
#include <xmmintrin.h>

#define SP_MEMBER(name) name##_sse
#define SP_FFT_LOADU(p) _mm_loadu_ps(p)
#define SP_FFT_FUSED_LAST 10
#define SP_FFT_SEPARATE_LAST 11
#define SP_FFT_FOUR_COLUMNS 1
#define SP_FFT_LARGE_BASE 8208  // one 1024-point block + 16

#include <stdint.h>
namespace {
// Inner order of a level by complex order; 0 for the unsplit 11 and 12.
constexpr int8_t kGenericSplit[31] = {0, 0, 0, 0,  0,  0,  0,  0, 0, 0,  0,  0,  0,  5,  6, 7,
                                      8, 8, 8, 10, 10, 10, 10, 8, 8, 10, 10, 10, 10, 10, 10};
}  // namespace

#include "sp_fft_simd.inc"
