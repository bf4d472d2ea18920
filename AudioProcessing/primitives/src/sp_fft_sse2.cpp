// Real FFT, SSE2 member: fused kernel up to order 15, separate radix kernel at
// 16, column-group levels above (rows of up to 2^15 points).
#include <xmmintrin.h>

#define SP_MEMBER(name) name##_sse2
#define SP_FFT_LOADU(p) _mm_loadu_ps(p)
#define SP_FFT_FUSED_LAST 15
#define SP_FFT_SEPARATE_LAST 16
#define SP_FFT_FOUR_COLUMNS 0
#define SP_FFT_ROW_LAST 15
#define SP_FFT_LARGE_BASE 262160  // 8 * 2^15 + 16

#include <stdint.h>
namespace {
// Inner order k1 and group exponent g of a level by complex order (0: none).
constexpr int8_t kLevelSplit[31] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    4, 4, 4, 5, 6, 6, 8, 8, 8, 8, 8, 8, 8, 8, 8};
constexpr int8_t kLevelGroup[31] = {0, 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0, 0,
                                    9, 10, 10, 13, 13, 13, 14, 14, 14, 14, 14, 14, 14, 14, 14};
}  // namespace

#include "sp_fft_simd.inc"
