// The echo-cancelling filter on kssim's default machine: the processing
// thread's CPU seconds per second of audio (16 kHz mono streams, processing at
// the filter's default rate and at 16 kHz) and the capture latency the
// filter adds, the two figures kssim prints.  The stepped clock measures the
// thread's own work; the real-time clock also shows any busy waiting, per
// wall-clock second.  Two rooms the canceller has to follow: the sound card's
// clock 200 ppm off the camera's for a minute (the echo sliding 12 ms), and
// the echo path's delay jumping from 40 to 200 ms, with and without a new
// delay correlation asked for after it; each reports the ERLE it ends with.
// BM_EchowellCpu sets the thread's CPU with the process on any host CPU
// beside the same with it on one host CPU, awake and asleep apart.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <unistd.h>
#include <vector>

#include "Runner.h"
#include "WavFile.h"

namespace fs = std::filesystem;

namespace {

// A room for the default machine: registry text and the run's shape.
struct Room {
    std::string Extra;
    double Seconds = 0, FarOnly = 0;
    std::vector<double> RecorrelateAt;
};

// The default machine's settings for a stepped run of Seconds, with its far
// end read and its folders in the temporary folder; false (the state told)
// when the far end cannot be read.
bool DefaultSettings(benchmark::State& state, double seconds, kp::scenario::Settings* s,
                     fs::path* base) {
    fs::path speech = fs::path(KP_SOURCE_DIR) / "testdata" / "speech";
    s->NearEndWav = speech / "near_talker_16k.wav";
    s->FilterImage = KP_FILTER_IMAGE;
    s->Quiet = true;
    s->Stream.Seconds = seconds;
    s->FarOnly = seconds / 2;
    std::string error;
    if (!kp::scenario::ReadWavMono(speech / "far_talker_16k.wav", &s->Stream.FarEnd,
                                   &s->Stream.FarRate, &error)) {
        state.SkipWithError(error.c_str());
        return false;
    }
    *base = fs::temp_directory_path() / ("kssim-bench-" + std::to_string(getpid()));
    s->Machine = *base / "machine";
    s->Out = *base / "out";
    return true;
}

void Scenario(benchmark::State& state, bool realtime, LONG rateMode = -1,
              const Room* room = nullptr) {
    kp::scenario::Settings s;
    fs::path base;
    if (!DefaultSettings(state, realtime ? 4 : 10, &s, &base)) return;
    s.Stream.ManualClock = !realtime;
    s.RateMode = rateMode;
    if (room != nullptr) {
        s.MachineExtra = room->Extra;
        s.Stream.Seconds = room->Seconds;
        s.FarOnly = room->FarOnly;
        s.RecorrelateAt = room->RecorrelateAt;
    }
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
    state.counters["sleep_cpu_per_audio_second"] = m["sleep_cpu_per_second"];
    state.counters["added_latency_ms"] = m["added_latency_ms"];
    state.counters["erle_db"] = m["erle_db"];
    for (const char* name :
         {"echo_delay_ms", "echo_delay_end_ms", "erle_before_change_db", "erle_after_change_db"}) {
        if (m.count(name) != 0) state.counters[name] = m[name];
    }
}

std::string Dword(LONG value) {
    char text[20];
    std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(value));
    return text;
}

// The sound card's clock Ppm off: 60 s of far end alone, then double talk for
// the added latency; the ERLE over the far-end phase's last two seconds.
void BM_EchowellSoundCardDrift(benchmark::State& state) {
    Room room;
    room.Extra =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" +
        kp::machine::DefaultDevices()[1].Instance +
        "\\Device Parameters]\r\n\"ClockOffsetPpm\"=" + Dword(static_cast<LONG>(state.range(0))) +
        "\r\n\r\n";
    room.Seconds = 64;
    room.FarOnly = 60;
    Scenario(state, false, -1, &room);
}

// The echo path's delay goes from 40 to 200 ms 8 s into the run; with the
// argument 1 a new correlation is asked for a second later.
void BM_EchowellPathChange(benchmark::State& state) {
    Room room;
    room.Extra =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room\\Changes\\0]\r\n\"AtMs\"=" + Dword(8000) +
        "\r\n\"Path\"=\"0\"\r\n\"DelayMs\"=" + Dword(200) + "\r\n\r\n";
    room.Seconds = 34;
    room.FarOnly = 30;
    if (state.range(0) != 0) room.RecorrelateAt = {9};
    Scenario(state, false, -1, &room);
}

// The processing thread's CPU per second of audio at a processing rate
// (argument: 2 for 8 kHz, 1 for 16 kHz) over Rounds runs of 10 s of audio on
// the stepped clock, each round one run with the process on any host CPU and
// one with it on a single host CPU, interleaved so that both meet the same
// load.  Awake: the thread's own time running (the product and the
// stand-in); asleep: what the host charged it inside its sleeps, which with
// the threads on several processors holds the host's cost of waking a
// thread on another one.  Medians, with the spread as min and max.
void BM_EchowellCpu(benchmark::State& state) {
    constexpr int kRounds = 6;
    kp::scenario::Settings s;
    fs::path base;
    if (!DefaultSettings(state, 10, &s, &base)) return;
    s.RateMode = static_cast<LONG>(state.range(0));
    std::vector<double> awake[2], asleep[2];
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            for (int one = 0; one < 2; ++one) {
                s.OneCpu = one != 0;
                kp::scenario::Measures m;
                fs::remove_all(base);
                if (kp::scenario::RunEchowellScenario(s, &m) != 0 ||
                    m["one_cpu"] != static_cast<double>(one)) {
                    state.SkipWithError("the scenario failed");
                    fs::remove_all(base);
                    return;
                }
                awake[one].push_back(100.0 * (m["cpu_per_second"] - m["sleep_cpu_per_second"]));
                asleep[one].push_back(100.0 * m["sleep_cpu_per_second"]);
            }
        }
    }
    fs::remove_all(base);
    auto put = [&state](const char* name, std::vector<double> v) {
        std::sort(v.begin(), v.end());
        std::string n = name;
        state.counters[n + "_pct"] = v[v.size() / 2];
        state.counters[n + "_min"] = v.front();
        state.counters[n + "_max"] = v.back();
    };
    put("any_cpu_awake", awake[0]);
    put("any_cpu_asleep", asleep[0]);
    put("one_cpu_awake", awake[1]);
    put("one_cpu_asleep", asleep[1]);
    std::vector<double> whole[2];
    for (int one = 0; one < 2; ++one)
        for (size_t i = 0; i < awake[one].size(); ++i)
            whole[one].push_back(awake[one][i] + asleep[one][i]);
    put("any_cpu_whole", whole[0]);
    put("one_cpu_whole", whole[1]);
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

BENCHMARK(BM_EchowellCpu)->Arg(2)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_EchowellStepped)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_EchowellStepped16k)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_EchowellRealTime)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_EchowellSoundCardDrift)
    ->Arg(200)
    ->Arg(-200)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_EchowellPathChange)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
