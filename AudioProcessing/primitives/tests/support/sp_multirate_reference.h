// References for the rate-changing primitives: plain loops for down- and
// up-sampling, a double-precision polyphase FIR (up-sample, filter, keep every
// D-th) and a double-precision polyphase resampler over the same prototype.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace sptest {

// Keeps x[phase], x[phase + factor], ...; *phase becomes the next block's.
std::vector<int16_t> DownsampleReference(const std::vector<int16_t>& x, int32_t factor,
                                         int32_t* phase);
// factor * x.size() samples, x[i] at phase + i * factor, zeros elsewhere.
std::vector<int16_t> UpsampleReference(const std::vector<int16_t>& x, int32_t factor,
                                       int32_t phase);

}  // namespace sptest
