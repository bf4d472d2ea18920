// Generic members of the FIR filters: double-precision direct sums over the
// reversed taps.
#include <stdint.h>

#include "sp_fir_internal.h"

int64_t sp_fir_block_bytes(int64_t tapsLen, bool simd, int64_t fftLen, int64_t workBytes) {
    const int64_t taps = (4 * tapsLen + 15) & ~int64_t{15};
    int64_t total = ((static_cast<int64_t>(sizeof(sp_fir_state)) + 15) & ~int64_t{15}) + taps +
                    ((12 * tapsLen + 31) & ~int64_t{15}) + 16 + kFirOutBlockBytes;
    if (simd) total += 4 * taps;
    if (fftLen > 0) total += 8 * fftLen + ((workBytes + 15) & ~int64_t{15});
    return total;
}

#define SP_MEMBER(name) name
#define SP_FIR_SIMD 0
#include "sp_fir.inc"
