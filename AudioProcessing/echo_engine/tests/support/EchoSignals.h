// Deterministic synthetic signals and echo metrics for testing and
// benchmarking echo cancellation: a speech-like far end with talk spurts, an
// echo path with bulk delay and a decaying impulse response at a chosen echo
// return loss, near-end talk in marked windows and background noise.  Every
// signal comes from its own seeded generator, so a seed gives the same
// samples on every host and standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace echotest {

// xoshiro256** with a splitmix64 seeding, plus Box-Muller normals.
class Rng {
public:
    explicit Rng(uint64_t seed);
    uint64_t Next();
    double Uniform();   // [0, 1)
    double Gaussian();  // mean 0, variance 1
private:
    uint64_t s_[4];
    bool haveSpare_ = false;
    double spare_ = 0.0;
};

// Full scale of 16-bit audio; dBFS values are RMS relative to it.
constexpr double kFullScale = 32768.0;
double DbfsToRms(double dbfs);

struct SpeechParams {
    int rate = 8000;
    uint64_t seed = 1;
    double levelDbfs = -20.0;  // RMS while talking
    double formant1 = 500.0, radius1 = 0.95;
    double formant2 = 1500.0, radius2 = 0.9;
    double pitchHz = 120.0;      // glottal pulse train mixed in
    double meanOnSeconds = 1.0;  // talk spurts (exponential lengths)
    double meanOffSeconds = 0.6;
    bool spurts = true;       // false: talks all the time
    double syllabicHz = 4.0;  // envelope modulation
};
// A speech-like signal of n samples (floating point, full scale 32768).
std::vector<double> SpeechLike(const SpeechParams& p, size_t n);

// White (or pink, -3 dB per octave) noise at an RMS level.
std::vector<double> Noise(uint64_t seed, size_t n, double levelDbfs, bool pink);

struct EchoPathParams {
    int rate = 8000;
    uint64_t seed = 7;
    double delayMs = 100.0;  // bulk delay before the first tap
    double rt60Ms = 30.0;    // decay of the reverberant part
    double lengthMs = 60.0;  // length of the impulse response after the delay
    double erlDb = 10.0;     // echo return loss: far energy over echo energy
    double directTap = 0.3;  // relative weight of the direct tap
};
// Impulse response including the bulk delay (leading zeros), scaled so that
// white far end meets the path at the requested ERL.
std::vector<double> EchoImpulse(const EchoPathParams& p);

// y = h * x (the first x.size() samples).
std::vector<double> Convolve(const std::vector<double>& x, const std::vector<double>& h);

// Sum of signals, sample by sample (shorter ones count as zero).
std::vector<double> Mix(const std::vector<std::vector<double>>& parts);
// Keeps the samples inside the windows [first, second) and zeroes the rest.
std::vector<double> Gate(const std::vector<double>& x,
                         const std::vector<std::pair<size_t, size_t>>& windows);

// Rounds and clips to 16-bit PCM.
std::vector<int16_t> ToPcm(const std::vector<double>& x);

// Reads a 16-bit PCM mono WAV file; false (and nothing read) when the file
// is missing or not in that format.
bool ReadWav16(const char* path, std::vector<int16_t>* samples, int* rate);

// Halves the sample rate through a windowed-sinc low-pass at a quarter of
// the input rate.
std::vector<double> Decimate2(const std::vector<double>& x);

// ---- metrics ----

// Mean square over [begin, end).
double MeanSquare(const int16_t* x, size_t begin, size_t end);
double MeanSquare(const std::vector<double>& x, size_t begin, size_t end);
// 10 log10 of a ratio of mean squares; very small energies are floored.
double RatioDb(double numerator, double denominator);
// RMS level in dBFS over [begin, end).
double LevelDbfs(const int16_t* x, size_t begin, size_t end);

// Echo return loss enhancement, mic energy over output energy, taken over
// the windows (of windowSamples) in [begin, end) where the far end is active
// (RMS above farThresholdDbfs); NaN-free: returns 0 when no window counts.
double ErleDb(const std::vector<int16_t>& mic, const std::vector<int16_t>& out,
              const std::vector<int16_t>& far, size_t begin, size_t end, size_t windowSamples,
              double farThresholdDbfs = -40.0);

// Per-window ERLE (dB) for the active far-end windows, in order.
std::vector<double> WindowErle(const std::vector<int16_t>& mic, const std::vector<int16_t>& out,
                               const std::vector<int16_t>& far, size_t begin, size_t end,
                               size_t windowSamples, double farThresholdDbfs = -40.0);

// 64-bit FNV-1a of the samples: a fingerprint for determinism checks.
uint64_t Fingerprint(const std::vector<int16_t>& x);

}  // namespace echotest
