// Double-precision references for the FIR filters and their transforms.
#pragma once

#include <stdint.h>

#include <vector>

namespace sptest {

// Direct-form FIR with history: y[n] = sum over k of taps[k] * x[n - k], with
// the past inputs before the first call taken from `delay` (newest first, as
// sp_fir_create takes it; empty for silence).  Run returns the results scaled
// by 2^-scale, rounded to nearest even and saturated to 16 bits.
class FirReference {
public:
    FirReference(const std::vector<float>& taps, const std::vector<int16_t>& delay);
    std::vector<int16_t> Run(const std::vector<int16_t>& x, int32_t scale);
    // The unrounded, unscaled sums of the same call.
    std::vector<double> Sums(const std::vector<int16_t>& x);

private:
    std::vector<double> taps_;
    std::vector<double> past_;  // the last taps_len inputs, oldest first
};

// Real DFT of 2^order samples in the internal order: X0, X(N/2), then Re and
// Im of bins 1 .. N/2-1 (order 0: X0 only).
std::vector<double> DftPerm(const float* x, int32_t order);

}  // namespace sptest
