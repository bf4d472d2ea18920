// The echo canceller engine against SpeexDSP's MDF echo canceller, a
// different, well-known canceller used here only as a yardstick through its
// public API, on the same signals: the recorded far-end clip through a room
// echo path of 100 ms delay, 10 dB echo return loss and a 64 ms tail, with
// background noise at -60 dBFS, at 8 kHz and 16 kHz; from half-way on the
// recorded near-end clip talks as well (double talk).  Both run 10 ms frames
// with a 64 ms filter; MDF, which has no delay estimation of its own, gets
// the far end already delayed by 95 ms (what a caller that knows the delay
// would hand it).  The two run interleaved round by round over the whole
// scene; thread CPU time per frame of each and the per-round ratio are
// printed with their spread.  Then, from one pass: the echo reduction from
// 4 s to the double talk (the engine's total, microphone against output, and
// linear, its filter's own: near end against the filter's error; MDF's
// output, its linear error), and the double-talk SNR: the output's part that
// a short fixed filter of the near talker explains against the rest (echo
// left over and the near talker's distortion), so that each canceller's
// own input filtering does not count against it.
#include <speex/speex_echo.h>
#include <stdlib.h>

#include "AecInternal.h"
#include "DoubleTalkScene.h"
#include "EchoSignals.h"
#include "interleaved.h"

namespace {

struct Scene {
    int rate = 8000;
    size_t frame = 80;
    size_t doubleTalk = 0;  // first sample of the double talk
    std::vector<int16_t> far, farForMdf, mic, nearTalker;
};

bool MakeScene(int rate, Scene* s) {
    echotest::DoubleTalkScene scene;
    // The near talker from half-way on.
    if (!echotest::MakeDoubleTalkScene(ZV_SPEECH_DIR, rate, 0, 0, &scene)) return false;
    s->doubleTalk = scene.talkFrom;
    s->rate = rate;
    s->frame = size_t(rate / 100);
    const size_t frames = scene.far.size() / s->frame;
    s->far = echotest::ToPcm(scene.far);
    s->mic = echotest::Microphone(scene);
    s->nearTalker = echotest::ToPcm(scene.nearTalk);
    s->far.resize(frames * s->frame);
    s->mic.resize(frames * s->frame);
    s->nearTalker.resize(frames * s->frame);
    const size_t lead = size_t(rate) * 95 / 1000;
    s->farForMdf.assign(lead, 0);
    s->farForMdf.insert(s->farForMdf.end(), s->far.begin(), s->far.end() - long(lead));
    return true;
}

// One engine walking through the scene frame by frame, wrapping at its end.
struct EngineRun {
    const Scene& s;
    AecState* state = nullptr;
    std::vector<int16_t> out;
    size_t f = 0;
    explicit EngineRun(const Scene& scene) : s(scene), out(scene.mic.size()) {
        AecCreate(&state);
        if (s.rate == 16000) AecSetPropertyDword(state, AEC_PROP_SAMPLE_RATE, 16000);
    }
    ~EngineRun() { AecDestroy(state); }
    void Frame() {
        const size_t at = f * s.frame;
        int16_t delay = 100;
        AecSubmit(state, AEC_PIN_FAR_END, const_cast<int16_t*>(s.far.data() + at),
                  uint32_t(2 * s.frame), nullptr, 0, nullptr);
        AecSubmit(state, AEC_PIN_NEAR_END, const_cast<int16_t*>(s.mic.data() + at),
                  uint32_t(2 * s.frame), out.data() + at, uint32_t(2 * s.frame), &delay);
        f = (f + 1) % (s.mic.size() / s.frame);
    }
};

struct MdfRun {
    const Scene& s;
    SpeexEchoState* state;
    std::vector<int16_t> out;
    size_t f = 0;
    explicit MdfRun(const Scene& scene)
        : s(scene),
          state(speex_echo_state_init(int(scene.frame), scene.rate * 64 / 1000)),
          out(scene.mic.size()) {
        int rate = s.rate;
        speex_echo_ctl(state, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    }
    ~MdfRun() { speex_echo_state_destroy(state); }
    void Frame() {
        const size_t at = f * s.frame;
        speex_echo_cancellation(state, s.mic.data() + at, s.farForMdf.data() + at, out.data() + at);
        f = (f + 1) % (s.mic.size() / s.frame);
    }
};

// SNR over [begin, end) of `out` with the near talker as signal: the least-
// squares fit of a 32-tap filter of the near talker to the output is the
// signal, what it leaves is the noise.  Neither canceller delays its output
// against the microphone (a search over lags up to two frames finds the
// best fit at lag 0 for both).
double DoubleTalkSnrDb(const std::vector<int16_t>& out, const std::vector<int16_t>& talker,
                       size_t begin, size_t end) {
    constexpr int kTaps = 32;
    // Normal equations with the talker's autocorrelation (Toeplitz) and the
    // cross-correlation of output and talker.
    std::vector<double> r(kTaps, 0.0), p(kTaps, 0.0);
    for (size_t t = begin + kTaps; t < end; ++t) {
        for (int k = 0; k < kTaps; ++k) {
            r[size_t(k)] += double(talker[t]) * talker[t - size_t(k)];
            p[size_t(k)] += double(out[t]) * talker[t - size_t(k)];
        }
    }
    std::vector<std::vector<double>> a(kTaps, std::vector<double>(kTaps + 1));
    for (int i = 0; i < kTaps; ++i) {
        for (int j = 0; j < kTaps; ++j) a[size_t(i)][size_t(j)] = r[size_t(std::abs(i - j))];
        a[size_t(i)][kTaps] = p[size_t(i)];
        a[size_t(i)][size_t(i)] *= 1.0 + 1e-9;
    }
    for (int c = 0; c < kTaps; ++c) {  // Gaussian elimination, positive definite
        for (int i = c + 1; i < kTaps; ++i) {
            const double f = a[size_t(i)][size_t(c)] / a[size_t(c)][size_t(c)];
            for (int j = c; j <= kTaps; ++j) a[size_t(i)][size_t(j)] -= f * a[size_t(c)][size_t(j)];
        }
    }
    std::vector<double> h(kTaps, 0.0);
    for (int i = kTaps - 1; i >= 0; --i) {
        double v = a[size_t(i)][kTaps];
        for (int j = i + 1; j < kTaps; ++j) v -= a[size_t(i)][size_t(j)] * h[size_t(j)];
        h[size_t(i)] = v / a[size_t(i)][size_t(i)];
    }
    double signal = 0, noise = 0;
    for (size_t t = begin + kTaps; t < end; ++t) {
        double fit = 0;
        for (int k = 0; k < kTaps; ++k) fit += h[size_t(k)] * talker[t - size_t(k)];
        signal += fit * fit;
        noise += (out[t] - fit) * (out[t] - fit);
    }
    return echotest::RatioDb(signal, noise);
}

void Compare(int rate, int rounds) {
    Scene s;
    if (!MakeScene(rate, &s)) {
        printf("speech clip not found in %s\n", ZV_SPEECH_DIR);
        return;
    }
    printf("\n%d Hz, %zu frames of 10 ms, double talk from %.1f s\n", rate, s.mic.size() / s.frame,
           double(s.doubleTalk) / rate);
    EngineRun engine(s);
    MdfRun mdf(s);
    const std::vector<kpbench::System> systems = {{"engine", [&] { engine.Frame(); }},
                                                  {"MDF", [&] { mdf.Frame(); }}};
    const auto times = kpbench::RunRounds(systems, rounds);
    std::vector<double> us[2];
    for (int i = 0; i < 2; ++i)
        for (double ns : times[size_t(i)]) us[i].push_back(ns / 1000);
    kpbench::PrintSpread("engine, CPU per frame", kpbench::SpreadOf(us[0]), "us");
    kpbench::PrintSpread("MDF, CPU per frame", kpbench::SpreadOf(us[1]), "us");
    kpbench::PrintSpread("engine / MDF", kpbench::RatioSpread(times[0], times[1]), "x");

    // Echo reduction of one pass from the start, outside the timing, over the
    // windows where the microphone hears echo.
    EngineRun e(s);
    MdfRun m(s);
    const aec::AecCanceller& c = e.state->canceller;
    const size_t frames = s.mic.size() / s.frame, from = 400;  // 4 s
    double nearSum = 0, errorSum = 0;
    for (size_t f = 0; f < frames; ++f) {
        e.Frame();
        m.Frame();
        if (f < from || f * s.frame >= s.doubleTalk) continue;
        const double nearMs = echotest::MeanSquare(c.nearIn, 0, aec::kPiece);
        if (nearMs < 100.0) continue;
        nearSum += nearMs;
        errorSum += echotest::MeanSquare(c.errors, 0, aec::kPiece);
    }
    const size_t begin = from * s.frame, window = s.frame * 10;
    printf(
        "echo reduction from 4 s to the double talk: engine total %.1f dB, engine linear "
        "%.1f dB, MDF %.1f dB\n",
        echotest::ErleDb(s.mic, e.out, s.mic, begin, s.doubleTalk, window),
        echotest::RatioDb(nearSum, errorSum),
        echotest::ErleDb(s.mic, m.out, s.mic, begin, s.doubleTalk, window));
    printf(
        "double-talk SNR (near talker against the rest): engine %.1f dB, MDF %.1f dB, "
        "microphone %.1f dB\n",
        DoubleTalkSnrDb(e.out, s.nearTalker, s.doubleTalk, s.mic.size()),
        DoubleTalkSnrDb(m.out, s.nearTalker, s.doubleTalk, s.mic.size()),
        DoubleTalkSnrDb(s.mic, s.nearTalker, s.doubleTalk, s.mic.size()));
}

}  // namespace

// Both rates by default; a rate on the command line (8000 or 16000) runs
// that one alone, for a profiler, and a second number sets the rounds (more
// of them steady the median on a loaded machine).
int main(int argc, char** argv) {
    const int only = argc > 1 ? atoi(argv[1]) : 0;
    const int rounds = argc > 2 && atoi(argv[2]) > 0 ? atoi(argv[2]) : 41;
    printf("Echo canceller engine against SpeexDSP MDF (median of per-round values)\n");
    if (only != 16000) Compare(8000, rounds);
    if (only != 8000) Compare(16000, rounds);
    return 0;
}
