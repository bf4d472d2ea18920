// CPU time of the echo canceller engine per 10 ms frame (far-end plus
// near-end submit) at 8 kHz and 16 kHz with a 64 ms tail, on a speech-like
// echo scene with double talk; the ERLE reached on the same scene is
// reported beside the time as a counter.

#include <benchmark/benchmark.h>

#include <AecEngine.h>
#include <EchoSignals.h>

#include <vector>

namespace {

struct Scene {
    std::vector<int16_t> far, mic, echo;
};

Scene MakeScene(int rate, double seconds) {
    const size_t n = size_t(seconds * rate);
    echotest::SpeechParams fp;
    fp.rate = rate;
    fp.seed = 21;
    auto far = echotest::SpeechLike(fp, n);
    echotest::EchoPathParams ep;
    ep.rate = rate;
    auto echo = echotest::Convolve(far, echotest::EchoImpulse(ep));
    echotest::SpeechParams np = fp;
    np.seed = 22;
    np.formant1 = 700;
    np.formant2 = 1200;
    auto near = echotest::Gate(echotest::SpeechLike(np, n), {{size_t(4 * rate), size_t(5 * rate)}});
    auto noise = echotest::Noise(23, n, -60, false);
    Scene s;
    s.far = echotest::ToPcm(far);
    s.echo = echotest::ToPcm(echo);
    s.mic = echotest::ToPcm(echotest::Mix({echo, near, noise}));
    return s;
}

void EngineFrame(benchmark::State& state) {
    const int rate = int(state.range(0));
    const size_t frame = size_t(rate / 100);
    static Scene scenes[2] = {MakeScene(8000, 10), MakeScene(16000, 10)};
    const Scene& s = scenes[rate == 16000 ? 1 : 0];
    AecState* engine = nullptr;
    if (AecCreate(&engine) != 0) {
        state.SkipWithError("AecCreate failed");
        return;
    }
    if (rate == 16000) AecSetPropertyDword(engine, AEC_PROP_SAMPLE_RATE, 16000);
    const size_t frames = s.mic.size() / frame;
    std::vector<int16_t> out(frames * frame);
    int16_t delay = 100;
    size_t f = 0;
    for (auto _ : state) {
        AecSubmit(engine, AEC_PIN_FAR_END, s.far.data() + f * frame, uint32_t(frame * 2), nullptr,
                  0, nullptr);
        AecSubmit(engine, AEC_PIN_NEAR_END, s.mic.data() + f * frame, uint32_t(frame * 2),
                  out.data() + f * frame, uint32_t(frame * 2), &delay);
        benchmark::DoNotOptimize(out[f * frame]);
        if (++f == frames) f = 0;
    }
    AecDestroy(engine);
    // ERLE of a full pass over the scene, after the double talk (4-5 s),
    // measured outside the timing.
    AecCreate(&engine);
    if (rate == 16000) AecSetPropertyDword(engine, AEC_PROP_SAMPLE_RATE, 16000);
    for (size_t i = 0; i < frames; ++i) {
        AecSubmit(engine, AEC_PIN_FAR_END, s.far.data() + i * frame, uint32_t(frame * 2), nullptr,
                  0, nullptr);
        AecSubmit(engine, AEC_PIN_NEAR_END, s.mic.data() + i * frame, uint32_t(frame * 2),
                  out.data() + i * frame, uint32_t(frame * 2), &delay);
    }
    AecDestroy(engine);
    state.counters["erle_dB"] =
        echotest::ErleDb(s.mic, out, s.echo, size_t(6 * rate), out.size(), frame * 10);
    state.counters["frames_per_s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(EngineFrame)->Arg(8000)->Arg(16000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
