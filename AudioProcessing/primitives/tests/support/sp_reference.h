// Plain references for the primitives' tests, computed the obvious way in wide
// arithmetic.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <complex>
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

// ---- Spectra ----------------------------------------------------------------------
// The FFT references are O(N log N) and computed once per signal: a test that
// checks several processor members of a transform computes the reference of
// an order once and compares every member with it.

// Radix-2 DFT in place, a.size() a power of two: sign -1 forward, +1 the
// inverse without the 1/N.  Each root comes from its own sine and cosine, so
// the error grows with log2 N times the type's rounding.
template <typename T>
void RadixTwoFft(std::vector<std::complex<T>>& a, int sign);
extern template void RadixTwoFft(std::vector<std::complex<double>>&, int);
extern template void RadixTwoFft(std::vector<std::complex<long double>>&, int);

// The packed spectrum of a real signal of power-of-two length: X0, Re X1,
// Im X1, ..., Re X(N/2-1), Im X(N/2-1), X(N/2); computed in T.
template <typename T>
std::vector<T> PackedSpectrum(const std::vector<float>& x);
extern template std::vector<double> PackedSpectrum(const std::vector<float>&);
extern template std::vector<long double> PackedSpectrum(const std::vector<float>&);

// n samples uniform in [-1, 1) from a Mersenne twister seeded with `seed`.
std::vector<float> RandomSignal(size_t n, uint32_t seed);

// A random signal of 2^order samples (RandomSignal, seed 100 + order) and its
// packed spectrum in double (some 10^8 times finer than the transforms' f32
// error bounds, and several times faster than long double), computed on first
// use and kept for the rest of the test program: every member and both
// directions compare with the one reference of an order.  The tests run one
// at a time.
struct SpectrumCase {
    std::vector<float> signal;
    std::vector<double> packed;
};
const SpectrumCase& RandomSpectrum(int32_t order);

// A cosine on a whole bin of an n-point period.
struct Tone {
    size_t bin;
    double amplitude, phase;
};
// sum of amplitude * cos(2 pi bin t / n + phase) over the tones, t < n, rounded
// to float.  Each tone's phasor advances by one rotation per sample in double
// and is taken afresh from its sine and cosine every few thousand samples: the
// error stays far below float rounding at any length, without a cosine per
// sample.
std::vector<float> ToneSum(size_t n, const std::vector<Tone>& tones);

}  // namespace sptest
