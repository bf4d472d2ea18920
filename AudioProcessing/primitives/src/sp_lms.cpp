// The LMS filter's shared operations (create, free, get taps) and its generic
// member, the reference behaviour: double sums in tap order, outputs
// truncated toward zero.
#include <string.h>

#include "sp_lms_internal.h"
#include "sp_scale_internal.h"

using namespace sp_internal;

namespace sp_internal {

sp_status LmsCreate(sp_lms_state** ppState, const float* taps, int32_t len,
                    const int16_t* delayLine, int32_t delayIndex, LmsZeroFn zero) {
    if (ppState == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    // Every filter member writes the next sample at the index and at index + L:
    // an index outside the ring would write outside the delay copies.
    if (delayIndex < 0 || delayIndex >= len) return sp_status_delay_index;
    const int64_t bytes = LmsBlockBytes(len);
    if (bytes > INT32_MAX) return sp_status_no_memory;
    auto* block = static_cast<unsigned char*>(sp_alloc_bytes(static_cast<int32_t>(bytes)));
    if (block == nullptr) return sp_status_no_memory;
    zero(block, static_cast<int32_t>(bytes));

    auto* s = reinterpret_cast<sp_lms_state*>(block);
    s->taps = reinterpret_cast<float*>(block + LmsHeaderBytes());
    s->delay = reinterpret_cast<float*>(block + LmsHeaderBytes() + LmsTapBytes(len));
    s->delayIndex = delayIndex;
    s->len = len;
    s->copyStride = static_cast<int32_t>(LmsCopyStride(len));
    if (taps != nullptr) {
        for (int32_t k = 0; k < len; ++k) s->taps[k] = taps[len - 1 - k];
    }
    if (delayLine != nullptr) {
        for (int32_t c = 0; c < 4; ++c) {
            float* w = LmsCopy(s, c);
            for (int32_t j = 0; j < len; ++j) w[j] = w[len + j] = delayLine[j];
        }
    }
    s->kind = kLmsKind;
    *ppState = s;
    return sp_status_ok;
}

}  // namespace sp_internal

namespace {

sp_status LmsGetTaps(const sp_lms_state* state, float* tapsOut) {
    if (state == nullptr || tapsOut == nullptr) return sp_status_null_ptr;
    if (state->kind != kLmsKind) return sp_status_wrong_state;
    const int32_t len = state->len;
    for (int32_t j = 0; j < len; ++j) tapsOut[j] = state->taps[len - 1 - j];
    return sp_status_ok;
}

}  // namespace

sp_status sp_lms_create(sp_lms_state** ppState, const float* taps, int32_t len,
                        const int16_t* delayLine, int32_t delayIndex) {
    return LmsCreate(ppState, taps, len, delayLine, delayIndex, sp_zero_bytes);
}

sp_status sp_lms_free(sp_lms_state* state) {
    sp_free(state);
    return sp_status_ok;
}

// Reading the taps is a plain copy in every variant: the SSE and SSE2 members
// are the same routine under their own names.
sp_status sp_lms_get_taps(const sp_lms_state* state, float* tapsOut) {
    return LmsGetTaps(state, tapsOut);
}
sp_status sp_lms_get_taps_sse(const sp_lms_state* state, float* tapsOut) {
    return LmsGetTaps(state, tapsOut);
}
sp_status sp_lms_get_taps_sse2(const sp_lms_state* state, float* tapsOut) {
    return LmsGetTaps(state, tapsOut);
}

sp_status sp_lms_filter_i16(const int16_t* src, const int16_t* ref, int16_t* dst, int32_t len,
                            float mu, sp_lms_state* state) {
    const sp_status check = LmsFilterChecks(src, ref, dst, len, state);
    if (check != sp_status_ok) return check;
    const int32_t L = state->len;
    float* t = state->taps;
    float* w = state->delay;
    int32_t i = state->delayIndex;
    for (int32_t n = 0; n < len; ++n) {
        const float x = src[n];
        w[i] = x;
        w[i + L] = x;
        if (++i >= L) i = 0;
        const float* win = w + i;  // oldest first, x last
        double y = 0.0;
        for (int32_t k = 0; k < L; ++k) y += static_cast<double>(t[k]) * win[k];
        dst[n] = RoundI16TowardZero(y);  // NaN gives -32768
        const double e = (ref[n] - y) * 2.0 * mu;
        for (int32_t k = 0; k < L; ++k) t[k] = static_cast<float>(t[k] + e * win[k]);
    }
    state->delayIndex = i;
    return sp_status_ok;
}
