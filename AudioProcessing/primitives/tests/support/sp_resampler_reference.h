// Double-precision references for the polyphase resampler: the Kaiser-
// windowed sinc prototype designed independently, and the run as a sum over
// the prototype centred on each output position.
#pragma once

#include <stdint.h>

#include <functional>
#include <vector>

namespace sptest {

// The prototype h[0 .. half q] of a resampler from p to q (reduced rates).
std::vector<double> ResamplerPrototype(int64_t p, int64_t q, int64_t half, double rolloff,
                                       double alpha);

struct ResampledBlock {
    std::vector<int16_t> out;
    double time = 0.0;
};

// Outputs for the positions v = q * floor(time) + round(q * frac) + k p below
// q * len: each gain times the sum over samples j of
// src[j] * tap(|q j - v|) for |q j - v| <= half q, rounded half away from
// zero and saturated.  src may be read from -half up to the last window.
ResampledBlock ResampleReference(const std::function<double(int64_t)>& tap, int64_t p, int64_t q,
                                 int64_t half, const int16_t* src, int32_t len, double gain,
                                 double time);

}  // namespace sptest
