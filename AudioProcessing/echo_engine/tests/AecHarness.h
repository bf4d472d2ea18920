// Drives an engine through its submit entry point the way the echo-canceller
// module does: each 10 ms, the far-end frame on pin 0, then the near-end
// frame on pin 1 with the near-end delay.
#pragma once

#include "AecInternal.h"
#include "EchoSignals.h"
#include "TestAllocator.h"

#include <gtest/gtest.h>

#include <vector>

namespace aectest {

// Owns one engine for a test; checks on destruction that nothing leaked.
class Engine {
public:
    Engine() {
        before_ = zvtest::GetAllocatorCounts().liveBlocks;
        EXPECT_EQ(AecCreate(&state_), 0u);
    }
    ~Engine() {
        AecDestroy(state_);
        EXPECT_EQ(zvtest::GetAllocatorCounts().liveBlocks, before_);
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    AecState* get() const { return state_; }
    aec::AecCanceller& canceller() const { return state_->canceller; }
    void Set(uint32_t id, uint16_t value) { AecSetPropertyDword(state_, id, value); }

private:
    AecState* state_ = nullptr;
    uint64_t before_ = 0;
};

struct RunResult {
    std::vector<int16_t> out;
    std::vector<uint32_t> status;  // per frame, near-end submit
};

// Runs whole frames of far and mic through the engine with a constant
// reported delay (or one per frame when `delays` is given).
inline RunResult RunEngine(AecState* state, int rate, const std::vector<int16_t>& far,
                           const std::vector<int16_t>& mic, int16_t delayMs,
                           const std::vector<int16_t>* delays = nullptr) {
    const size_t frame = size_t(rate / 100);
    const size_t frames = std::min(far.size(), mic.size()) / frame;
    RunResult r;
    r.out.resize(frames * frame);
    for (size_t f = 0; f < frames; ++f) {
        int16_t delay = delays ? (*delays)[f] : delayMs;
        EXPECT_EQ(AecSubmit(state, AEC_PIN_FAR_END, far.data() + f * frame, uint32_t(frame * 2),
                            nullptr, 0, nullptr),
                  0u);
        r.status.push_back(AecSubmit(state, AEC_PIN_NEAR_END, mic.data() + f * frame,
                                     uint32_t(frame * 2), r.out.data() + f * frame,
                                     uint32_t(frame * 2), &delay));
    }
    return r;
}

// A standard echo scene: speech-like far end through an echo path, plus
// optional near-end talk in windows, plus background noise.
struct Scene {
    int rate = 8000;
    double seconds = 10.0;
    double delayMs = 100.0;
    double rt60Ms = 30.0;
    double erlDb = 10.0;
    double farDbfs = -20.0;
    bool farSpurts = true;
    double noiseDbfs = -60.0;
    bool pinkNoise = false;
    double nearDbfs = -20.0;
    std::vector<std::pair<double, double>> nearTalk;  // seconds
    uint64_t seed = 11;
    double pathChangeAt = -1.0;  // seconds; the echo path doubles from then on

    std::vector<int16_t> far, mic, echo, nearTalker;

    void Build() {
        const size_t n = size_t(seconds * rate);
        echotest::SpeechParams fp;
        fp.rate = rate;
        fp.seed = seed;
        fp.levelDbfs = farDbfs;
        fp.spurts = farSpurts;
        auto farSig = echotest::SpeechLike(fp, n);
        echotest::EchoPathParams ep;
        ep.rate = rate;
        ep.seed = seed + 1;
        ep.delayMs = delayMs;
        ep.rt60Ms = rt60Ms;
        ep.erlDb = erlDb;
        auto h = echotest::EchoImpulse(ep);
        auto echoSig = echotest::Convolve(farSig, h);
        if (pathChangeAt >= 0.0)
            for (size_t i = size_t(pathChangeAt * rate); i < n; ++i) echoSig[i] *= 2.0;
        echotest::SpeechParams np;
        np.rate = rate;
        np.seed = seed + 2;
        np.levelDbfs = nearDbfs;
        np.formant1 = 700;
        np.formant2 = 1200;
        np.spurts = false;
        std::vector<double> nearSig(n, 0.0);
        if (!nearTalk.empty()) {
            std::vector<std::pair<size_t, size_t>> w;
            for (auto& t : nearTalk) w.push_back({size_t(t.first * rate), size_t(t.second * rate)});
            nearSig = echotest::Gate(echotest::SpeechLike(np, n), w);
        }
        auto noise = echotest::Noise(seed + 3, n, noiseDbfs, pinkNoise);
        far = echotest::ToPcm(farSig);
        echo = echotest::ToPcm(echoSig);
        nearTalker = echotest::ToPcm(nearSig);
        mic = echotest::ToPcm(echotest::Mix({echoSig, nearSig, noise}));
    }
};

// Floating-point model of the engine's near-end high-pass (Q12 coefficients
// {b0, b1, b2, a1, a2}): what the near end should look like after it.
inline std::vector<double> HighPassModel(const std::vector<int16_t>& x, int rate) {
    static const double k8[5] = {3798, -7596, 3798, 7807, -3733};
    static const double k16[5] = {4012, -8024, 4012, 8002, -3913};
    const double* q = rate == 16000 ? k16 : k8;
    std::vector<double> y(x.size());
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        double v = (q[0] * double(x[i]) + q[1] * x1 + q[2] * x2 + q[3] * y1 + q[4] * y2) / 4096.0;
        x2 = x1;
        x1 = x[i];
        y2 = y1;
        y1 = v;
        y[i] = v;
    }
    return y;
}

}  // namespace aectest
