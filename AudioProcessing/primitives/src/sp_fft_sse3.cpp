// Real FFT, SSE3 member: fused kernel up to order 16, separate radix kernel at
// 17, column-group levels above (rows of up to 2^16 points).
#include <pmmintrin.h>

#define SP_MEMBER(name) name##_sse3
#define SP_FFT_LOADU(p) _mm_castsi128_ps(_mm_lddqu_si128(reinterpret_cast<const __m128i*>(p)))
#define SP_FFT_FUSED_LAST 16
#define SP_FFT_SEPARATE_LAST 17
#define SP_FFT_FOUR_COLUMNS 0
#define SP_FFT_ROW_LAST 16
#define SP_FFT_LARGE_BASE 524304  // 8 * 2^16 + 16

#include <stdint.h>
namespace {
// Inner order k1 and group exponent g of a level by complex order (0: none).
constexpr int8_t kLevelSplit[31] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0, 3, 4, 4, 4, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8};
constexpr int8_t kLevelGroup[31] = {0, 0, 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0, 0,
                                    0, 9, 10, 10, 10, 13, 15, 15, 15, 15, 15, 15, 15, 15, 15};
}  // namespace

#include "sp_fft_simd.inc"
