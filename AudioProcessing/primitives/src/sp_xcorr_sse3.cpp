// Cross-correlation, SSE3 member: the SSE2 member's direct kernels (one code,
// so the two agree bit for bit) with this variant's own buffer, zero and
// conversion routines.
#include "sp_buffers.h"
#include "sp_fft_simd.h"
#include "sp_xcorr.h"

namespace {

const sp_xcorr_simd_kernels kKernels = {{sp_xcorr_direct_fwd_sse2, sp_xcorr_direct_rev_sse2,
                                         sp_xcorr_direct_full_sse2, sp_xcorr_direct_mirror_sse2}};

const sp_xcorr_variant kSse3 = {
    1,
    sp_zero_i16_sse3,
    sp_zero_f32_sse3,
    sp_convert_i16_to_f32_sse3,
    sp_convert_f32_to_i16_scaled_sse3,
    sp_alloc_32_sse3,
    sp_alloc_bytes,
    sp_xcorr_direct_simd,
    &kKernels,
    &sp_xcorr_fft_sse3,  // this variant's own real FFT
};

}  // namespace

sp_status sp_xcorr_i16_scaled_sse3(const int16_t* src1, int32_t len1, const int16_t* src2,
                                   int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                   int32_t scale) {
    return sp_xcorr_with(&kSse3, src1, len1, src2, len2, dst, dstLen, lowLag, scale, nullptr);
}

sp_status sp_xcorr_i16_scaled_keep_sse3(const int16_t* src1, int32_t len1, const int16_t* src2,
                                        int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                        int32_t scale, sp_xcorr_keep* keep) {
    return sp_xcorr_with(&kSse3, src1, len1, src2, len2, dst, dstLen, lowLag, scale, keep);
}
