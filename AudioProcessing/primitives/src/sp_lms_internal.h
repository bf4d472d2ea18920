// The LMS filter's state and the layout of its block, shared by the generic
// member and the SIMD members' files.
//
// One block from sp_alloc_bytes (32-byte aligned) holds, in this order:
//   the header (this struct), padded to a multiple of 32 bytes;
//   the taps: L f32 stored in reverse (stored tap k is the caller's tap
//     L-1-k), 32-byte aligned, their room rounded up to 16 bytes;
//   the delay area, 16-byte aligned: four delay copies, copy c starting
//     c * copyStride bytes in.  Each copy is a doubled line of 2L f32: the
//     sample of ring position j is at j and at j + L, so the window of L values
//     from any position 0..L-1 is contiguous.  copyStride is 4 more than a
//     multiple of 16, so copy c lies c elements off the 16-byte grid and for
//     every window start exactly one copy starts it on a 16-byte boundary.
//     Copy 0 also has room for 2L + 2048 values: the SSE2/SSE3 block path puts
//     the history and one block of 2048 new samples there.
// The whole block is zeroed at creation.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sp_buffers.h"
#include "sp_lms.h"

struct sp_lms_state {
    uint32_t kind;       // kLmsKind; checked by the filter and get-taps members
    float* taps;         // L taps, reversed, inside the block
    float* delay;        // delay copy 0, inside the block
    int32_t delayIndex;  // 0..L-1: where copy 0 takes the next sample; the
                         // oldest sample of the current window
    int32_t len;         // L >= 1
    int32_t copyStride;  // bytes between delay copies: ((8L + 27) & ~15) + 4
};

namespace sp_internal {

constexpr uint32_t kLmsKind = 0x4C4D5300;
// Taps from which the SSE2/SSE3 members filter sample by sample over the four
// copies; shorter filters take the block path.
constexpr int32_t kLmsLongTaps = 80;
// Samples per block on the SSE2/SSE3 block path.
constexpr int32_t kLmsBlock = 2048;

constexpr int64_t LmsHeaderBytes() {
    return (static_cast<int64_t>(sizeof(sp_lms_state)) + 31) & ~int64_t{31};
}
inline int64_t LmsTapBytes(int64_t len) {
    return (4 * len + 15) & ~int64_t{15};
}
inline int64_t LmsCopyStride(int64_t len) {
    return ((8 * len + 27) & ~int64_t{15}) + 4;
}
// The whole block, in 64 bits: it passes the 32-bit range for very long filters.
inline int64_t LmsBlockBytes(int64_t len) {
    const int64_t linear = 8 * len + 8192;                       // copy 0 as 2L + 2048 values
    const int64_t copies = 4 * ((8 * len + 27) & ~int64_t{15});  // four doubled copies
    return LmsHeaderBytes() + LmsTapBytes(len) + (linear > copies ? linear : copies);
}
inline float* LmsCopy(const sp_lms_state* s, int32_t c) {
    return reinterpret_cast<float*>(reinterpret_cast<unsigned char*>(s->delay) +
                                    static_cast<ptrdiff_t>(c) * s->copyStride);
}

// The create operation of every member, with its variant's zeroing routine.
typedef sp_status (*LmsZeroFn)(void* dst, int32_t bytes);
sp_status LmsCreate(sp_lms_state** ppState, const float* taps, int32_t len,
                    const int16_t* delayLine, int32_t delayIndex, LmsZeroFn zero);
// The checks every filter member makes first, in order: -8, -6, -17; 0 to go on.
inline sp_status LmsFilterChecks(const int16_t* src, const int16_t* ref, const int16_t* dst,
                                 int32_t len, const sp_lms_state* state) {
    if (state == nullptr || src == nullptr || ref == nullptr || dst == nullptr)
        return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    if (state->kind != kLmsKind) return sp_status_wrong_state;
    return sp_status_ok;
}

}  // namespace sp_internal
