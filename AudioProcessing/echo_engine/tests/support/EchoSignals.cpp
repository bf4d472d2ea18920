#include "EchoSignals.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace echotest {

namespace {

uint64_t SplitMix(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t Rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

constexpr double kPi = 3.14159265358979323846;

// Two-pole resonator y[n] = x[n] + 2 r cos(w) y[n-1] - r^2 y[n-2].
struct Resonator {
    double a1, a2, y1 = 0.0, y2 = 0.0;
    Resonator(double freq, double radius, int rate)
        : a1(2.0 * radius * std::cos(2.0 * kPi * freq / rate)), a2(-radius * radius) {}
    double Step(double x) {
        double y = x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

}  // namespace

Rng::Rng(uint64_t seed) {
    uint64_t x = seed;
    for (auto& s : s_) s = SplitMix(x);
}

uint64_t Rng::Next() {
    const uint64_t result = Rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = Rotl(s_[3], 45);
    return result;
}

double Rng::Uniform() {
    return double(Next() >> 11) * (1.0 / 9007199254740992.0);
}

double Rng::Gaussian() {
    if (haveSpare_) {
        haveSpare_ = false;
        return spare_;
    }
    double u1 = Uniform();
    double u2 = Uniform();
    if (u1 < 1e-300) u1 = 1e-300;
    double mag = std::sqrt(-2.0 * std::log(u1));
    spare_ = mag * std::sin(2.0 * kPi * u2);
    haveSpare_ = true;
    return mag * std::cos(2.0 * kPi * u2);
}

double DbfsToRms(double dbfs) {
    return kFullScale * std::pow(10.0, dbfs / 20.0);
}

std::vector<double> SpeechLike(const SpeechParams& p, size_t n) {
    Rng rng(p.seed);
    Resonator r1(p.formant1, p.radius1, p.rate);
    Resonator r2(p.formant2, p.radius2, p.rate);
    std::vector<double> raw(n);
    const double pitchPeriod = p.rate / p.pitchHz;
    double pitchPhase = 0.0;
    for (size_t i = 0; i < n; ++i) {
        double excitation = rng.Gaussian();
        pitchPhase += 1.0;
        if (pitchPhase >= pitchPeriod) {
            pitchPhase -= pitchPeriod;
            excitation += 6.0;  // glottal pulse
        }
        raw[i] = r1.Step(excitation) + 0.5 * r2.Step(excitation);
    }
    // Normalise the voiced signal to unit RMS, then apply the envelope.
    double ms = 0.0;
    for (double v : raw) ms += v * v;
    ms = n ? ms / double(n) : 1.0;
    const double norm = ms > 0.0 ? 1.0 / std::sqrt(ms) : 0.0;
    std::vector<double> out(n);
    bool talking = true;
    double remaining = p.spurts ? -std::log(1.0 - rng.Uniform()) * p.meanOnSeconds * p.rate : 1e300;
    double envelopeSum = 0.0;
    size_t envelopeCount = 0;
    std::vector<double> envelope(n);
    for (size_t i = 0; i < n; ++i) {
        if (p.spurts && --remaining <= 0.0) {
            talking = !talking;
            double mean = talking ? p.meanOnSeconds : p.meanOffSeconds;
            remaining = -std::log(1.0 - rng.Uniform()) * mean * p.rate;
        }
        double syllabic = 0.6 + 0.4 * std::sin(2.0 * kPi * p.syllabicHz * double(i) / p.rate);
        envelope[i] = talking ? syllabic : 0.0;
        if (talking) {
            envelopeSum += syllabic * syllabic;
            ++envelopeCount;
        }
    }
    const double envelopeRms = envelopeCount ? std::sqrt(envelopeSum / double(envelopeCount)) : 1.0;
    const double gain = DbfsToRms(p.levelDbfs) * norm / envelopeRms;
    for (size_t i = 0; i < n; ++i) out[i] = raw[i] * envelope[i] * gain;
    return out;
}

std::vector<double> Noise(uint64_t seed, size_t n, double levelDbfs, bool pink) {
    Rng rng(seed);
    std::vector<double> out(n);
    // Pink by a sum of first-order sections (Kellet's economy filter).
    double b0 = 0, b1 = 0, b2 = 0;
    for (size_t i = 0; i < n; ++i) {
        double w = rng.Gaussian();
        if (pink) {
            b0 = 0.99765 * b0 + w * 0.0990460;
            b1 = 0.96300 * b1 + w * 0.2965164;
            b2 = 0.57000 * b2 + w * 1.0526913;
            out[i] = b0 + b1 + b2 + w * 0.1848;
        } else {
            out[i] = w;
        }
    }
    double ms = 0.0;
    for (double v : out) ms += v * v;
    ms = n ? ms / double(n) : 1.0;
    const double gain = ms > 0.0 ? DbfsToRms(levelDbfs) / std::sqrt(ms) : 0.0;
    for (double& v : out) v *= gain;
    return out;
}

std::vector<double> EchoImpulse(const EchoPathParams& p) {
    Rng rng(p.seed);
    const size_t delay = size_t(std::lround(p.delayMs * p.rate / 1000.0));
    const size_t length = std::max<size_t>(1, size_t(std::lround(p.lengthMs * p.rate / 1000.0)));
    const double tau = p.rt60Ms / 1000.0 * p.rate / std::log(1000.0);
    std::vector<double> h(delay + length, 0.0);
    h[delay] = p.directTap;
    for (size_t n = 1; n < length; ++n)
        h[delay + n] = 0.5 * std::exp(-double(n) / tau) * rng.Gaussian();
    double energy = 0.0;
    for (double v : h) energy += v * v;
    const double gain = std::sqrt(std::pow(10.0, -p.erlDb / 10.0) / energy);
    for (double& v : h) v *= gain;
    return h;
}

std::vector<double> Convolve(const std::vector<double>& x, const std::vector<double>& h) {
    std::vector<double> y(x.size(), 0.0);
    size_t first = 0;
    while (first < h.size() && h[first] == 0.0) ++first;
    for (size_t n = 0; n < x.size(); ++n) {
        double acc = 0.0;
        for (size_t k = first; k < h.size() && k <= n; ++k) acc += h[k] * x[n - k];
        y[n] = acc;
    }
    return y;
}

std::vector<double> Mix(const std::vector<std::vector<double>>& parts) {
    size_t n = 0;
    for (const auto& p : parts) n = std::max(n, p.size());
    std::vector<double> out(n, 0.0);
    for (const auto& p : parts)
        for (size_t i = 0; i < p.size(); ++i) out[i] += p[i];
    return out;
}

std::vector<double> Gate(const std::vector<double>& x,
                         const std::vector<std::pair<size_t, size_t>>& windows) {
    std::vector<double> out(x.size(), 0.0);
    for (const auto& w : windows)
        for (size_t i = w.first; i < w.second && i < x.size(); ++i) out[i] = x[i];
    return out;
}

std::vector<int16_t> ToPcm(const std::vector<double>& x) {
    std::vector<int16_t> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        double v = std::nearbyint(x[i]);
        out[i] = int16_t(std::clamp(v, -32768.0, 32767.0));
    }
    return out;
}

double MeanSquare(const int16_t* x, size_t begin, size_t end) {
    if (end <= begin) return 0.0;
    double sum = 0.0;
    for (size_t i = begin; i < end; ++i) sum += double(x[i]) * x[i];
    return sum / double(end - begin);
}

double MeanSquare(const std::vector<double>& x, size_t begin, size_t end) {
    if (end <= begin) return 0.0;
    double sum = 0.0;
    for (size_t i = begin; i < end; ++i) sum += x[i] * x[i];
    return sum / double(end - begin);
}

double RatioDb(double numerator, double denominator) {
    const double tiny = 1e-3;
    return 10.0 * std::log10(std::max(numerator, tiny) / std::max(denominator, tiny));
}

double LevelDbfs(const int16_t* x, size_t begin, size_t end) {
    return RatioDb(MeanSquare(x, begin, end), kFullScale * kFullScale);
}

std::vector<double> WindowErle(const std::vector<int16_t>& mic, const std::vector<int16_t>& out,
                               const std::vector<int16_t>& far, size_t begin, size_t end,
                               size_t windowSamples, double farThresholdDbfs) {
    std::vector<double> result;
    end = std::min({end, mic.size(), out.size(), far.size()});
    for (size_t w = begin; w + windowSamples <= end; w += windowSamples) {
        if (LevelDbfs(far.data(), w, w + windowSamples) < farThresholdDbfs) continue;
        result.push_back(RatioDb(MeanSquare(mic.data(), w, w + windowSamples),
                                 MeanSquare(out.data(), w, w + windowSamples)));
    }
    return result;
}

double ErleDb(const std::vector<int16_t>& mic, const std::vector<int16_t>& out,
              const std::vector<int16_t>& far, size_t begin, size_t end, size_t windowSamples,
              double farThresholdDbfs) {
    double micSum = 0.0, outSum = 0.0;
    size_t windows = 0;
    end = std::min({end, mic.size(), out.size(), far.size()});
    for (size_t w = begin; w + windowSamples <= end; w += windowSamples) {
        if (LevelDbfs(far.data(), w, w + windowSamples) < farThresholdDbfs) continue;
        micSum += MeanSquare(mic.data(), w, w + windowSamples);
        outSum += MeanSquare(out.data(), w, w + windowSamples);
        ++windows;
    }
    return windows ? RatioDb(micSum, outSum) : 0.0;
}

bool ReadWav16(const char* path, std::vector<int16_t>* samples, int* rate) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    std::vector<unsigned char> bytes;
    unsigned char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), f)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(f);
    auto u32 = [&](size_t at) {
        return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
               uint32_t(bytes[at + 3]) << 24;
    };
    auto u16 = [&](size_t at) { return uint16_t(bytes[at] | bytes[at + 1] << 8); };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return false;
    bool formatOk = false;
    int sampleRate = 0;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const uint32_t size = u32(at + 4);
        const size_t body = at + 8;
        if (body + size > bytes.size()) return false;
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && size >= 16) {
            formatOk = u16(body) == 1 && u16(body + 2) == 1 && u16(body + 14) == 16;
            sampleRate = int(u32(body + 4));
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            if (!formatOk) return false;
            samples->resize(size / 2);
            for (size_t i = 0; i < samples->size(); ++i) (*samples)[i] = int16_t(u16(body + 2 * i));
            *rate = sampleRate;
            return true;
        }
        at = body + size + (size & 1);
    }
    return false;
}

std::vector<double> Decimate2(const std::vector<double>& x) {
    // 63-tap windowed sinc (Hann), cut-off at a quarter of the input rate.
    const int half = 31;
    std::vector<double> h(2 * half + 1);
    for (int i = -half; i <= half; ++i) {
        double sinc = i == 0 ? 0.5 : std::sin(kPi * 0.5 * i) / (kPi * i);
        double window = 0.5 + 0.5 * std::cos(kPi * i / (half + 1));
        h[size_t(i + half)] = sinc * window;
    }
    std::vector<double> y(x.size() / 2);
    for (size_t n = 0; n < y.size(); ++n) {
        double acc = 0.0;
        for (int k = -half; k <= half; ++k) {
            long idx = long(2 * n) + k;
            if (idx >= 0 && idx < long(x.size())) acc += h[size_t(k + half)] * x[size_t(idx)];
        }
        y[n] = acc;
    }
    return y;
}

uint64_t Fingerprint(const std::vector<int16_t>& x) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (int16_t v : x) {
        uint16_t u = uint16_t(v);
        h = (h ^ (u & 0xFF)) * 0x100000001B3ull;
        h = (h ^ (u >> 8)) * 0x100000001B3ull;
    }
    return h;
}

}  // namespace echotest
