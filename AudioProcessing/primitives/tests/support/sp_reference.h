// Plain references for the primitives' tests, computed the obvious way in wide
// arithmetic.
#pragma once

#include <stdint.h>

#include <vector>

namespace sptest {

// Running median by sorting every padded window: mask reduced to odd, ends
// repeated, positions 0 and len-1 kept.
std::vector<int16_t> MedianReference(const std::vector<int16_t>& x, int32_t mask);

// Unnormalised low-pass taps, windowed, from the closed form in long double:
// sin(2 pi f d) / (pi d) with d the distance from the centre, times the window
// of `kind` (0 Bartlett, 1 Blackman-opt, 2 Hamming, 3 Hann, other none).
std::vector<long double> LowpassReference(double rFreq, int32_t len, int32_t kind, bool normalise);

// Window weight w(n) over len points in long double.
long double WindowReference(int32_t kind, int32_t n, int32_t len);
// The generalised Blackman weight with parameter alpha.
long double BlackmanReference(long double alpha, int32_t n, int32_t len);

}  // namespace sptest
