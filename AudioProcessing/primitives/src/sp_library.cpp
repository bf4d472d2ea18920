// Library support: the version records, 16-bit buffers and the
// denormals-are-zero probe.
#include "sp_library.h"

#include <string.h>

#include "sp_buffers.h"

namespace {

constexpr char kVersion[] = "v4.1";
constexpr char kGenericDate[] = "Jul 19 2004";
constexpr char kSimdDate[] = "Jul 20 2004";

const sp_version_record kGeneric = {4,
                                    1,
                                    11,
                                    88,
                                    {'G', 'N', 0, 0},
                                    "Korvane signal-processing primitives, generic",
                                    kVersion,
                                    kGenericDate};
const sp_version_record kSse = {
    4,        1,        11, 88, {'S', 'A', 0, 0}, "Korvane signal-processing primitives, SSE",
    kVersion, kSimdDate};
const sp_version_record kSse2 = {
    4,        1,        11, 88, {'S', 'B', 0, 0}, "Korvane signal-processing primitives, SSE2",
    kVersion, kSimdDate};
const sp_version_record kSse3 = {
    4,        1,        11, 88, {'S', 'C', 0, 0}, "Korvane signal-processing primitives, SSE3",
    kVersion, kSimdDate};

}  // namespace

const sp_version_record* sp_get_lib_version() {
    return &kGeneric;
}
const sp_version_record* sp_get_lib_version_sse() {
    return &kSse;
}
const sp_version_record* sp_get_lib_version_sse2() {
    return &kSse2;
}
const sp_version_record* sp_get_lib_version_sse3() {
    return &kSse3;
}

int16_t* sp_alloc_i16(int32_t count) {
    if (count < 1) return nullptr;
    // The byte count in 64 bits: a count whose bytes pass the allocator's
    // signed 32-bit size gives null, never a wrapped, too-small block.
    const int64_t bytes = static_cast<int64_t>(count) * 2;
    if (bytes > INT32_MAX) return nullptr;
    return static_cast<int16_t*>(sp_alloc_bytes(static_cast<int32_t>(bytes)));
}

int32_t sp_cpu_has_daz() {
    // FXSAVE into a zeroed, 16-byte aligned area; the MXCSR mask is the 32-bit
    // word at byte 28 (0 there means the processor's default mask, which lacks
    // the bit).
    struct alignas(16) FxsaveArea {
        unsigned char bytes[512];
    } area;
    memset(&area, 0, sizeof area);
    __asm__ volatile("fxsave %0" : "=m"(area));
    uint32_t mask;
    memcpy(&mask, area.bytes + 28, sizeof mask);
    return mask != 0 && (mask & 0x40u) != 0 ? 1 : 0;
}
