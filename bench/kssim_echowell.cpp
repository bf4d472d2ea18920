// The echo-cancelling filter on kssim's default machine: the processing
// thread's CPU seconds per second of audio (16 kHz mono streams, processing at
// the filter's default rate and at 16 kHz) and the capture latency the
// filter adds, the two figures kssim prints.  The stepped clock measures the
// thread's own work; the real-time clock also shows any busy waiting, per
// wall-clock second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "Runner.h"
#include "WavFile.h"

namespace fs = std::filesystem;

namespace {

void Scenario(benchmark::State& state, bool realtime, LONG rateMode = -1) {
    kp::scenario::Settings s;
    fs::path speech = fs::path(KP_SOURCE_DIR) / "testdata" / "speech";
    s.NearEndWav = speech / "near_talker_16k.wav";
    s.FilterImage = KP_FILTER_IMAGE;
    s.Quiet = true;
    s.Stream.Seconds = realtime ? 4 : 10;
    s.Stream.ManualClock = !realtime;
    s.FarOnly = s.Stream.Seconds / 2;
    s.RateMode = rateMode;
    std::string error;
    if (!kp::scenario::ReadWavMono(speech / "far_talker_16k.wav", &s.Stream.FarEnd,
                                   &s.Stream.FarRate, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    fs::path base = fs::temp_directory_path() / ("kssim-bench-" + std::to_string(getpid()));
    s.Machine = base / "machine";
    s.Out = base / "out";
    kp::scenario::Measures m;
    for (auto _ : state) {
        fs::remove_all(base);
        m.clear();
        if (kp::scenario::RunEchowellScenario(s, &m) != 0) {
            state.SkipWithError("the scenario failed");
            break;
        }
    }
    fs::remove_all(base);
    state.counters["cpu_per_audio_second"] = m["cpu_per_second"];
    state.counters["added_latency_ms"] = m["added_latency_ms"];
    state.counters["erle_db"] = m["erle_db"];
}

void BM_EchowellStepped(benchmark::State& state) {
    Scenario(state, false);
}
void BM_EchowellRealTime(benchmark::State& state) {
    Scenario(state, true);
}
void BM_EchowellStepped16k(benchmark::State& state) {
    Scenario(state, false, 1);
}

BENCHMARK(BM_EchowellStepped)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_EchowellStepped16k)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_EchowellRealTime)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
