// Touch-and-prefetch ahead of the large-block copies.
#include <xmmintrin.h>

#include "sp_buffers.h"

namespace {

constexpr int64_t kBlock = 4096;
constexpr int64_t kLine = 32;

void TouchAndPrefetch(const unsigned char* p, int64_t bytes) {
    // Reading the first and last byte brings both pages in; the prefetches then
    // pull the lines without polluting the caches.
    const volatile unsigned char* v = p;
    (void)v[0];
    (void)v[bytes - 1];
    for (int64_t off = 0; off < bytes; off += kLine) {
        _mm_prefetch(reinterpret_cast<const char*>(p + off), _MM_HINT_NTA);
    }
}

}  // namespace

void sp_prefetch_range(const void* src, int64_t bytes) {
    const auto* p = static_cast<const unsigned char*>(src);
    while (bytes > kBlock) {
        TouchAndPrefetch(p, kBlock);
        p += kBlock;
        bytes -= kBlock;
    }
    if (bytes > 0) TouchAndPrefetch(p, bytes);
}

void sp_prefetch_block(const void* src, int64_t bytes) {
    sp_prefetch_range(src, bytes);
}
