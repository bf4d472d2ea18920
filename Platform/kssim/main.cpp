// kssim: boots a simulated machine and runs one of its scenarios on it (see
// Runner.h): an application plays a far-end signal on the loudspeaker while
// another records the camera microphone; the WAV files and what was measured
// are the result.
//
//   kssim [--scenario NAME] [--machine DIR] [--out DIR] [--seconds S] [--far FILE.wav]
//         [--rate HZ] [--realtime] [--in-flight N] [--far-only S] [--min-erle DB]
//         [--no-filter] [--rate-mode N] [--min-snr DB] [--rewrite-machine]
//         [--recorrelate-at S]... [--one-cpu]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Runner.h"
#include "WavFile.h"

namespace fs = std::filesystem;
using namespace kp::scenario;

namespace {

int Usage() {
    std::fprintf(
        stderr,
        "usage: kssim [--scenario NAME] [--machine DIR] [--out DIR] [--seconds S]\n"
        "             [--far FILE.wav] [--rate HZ] [--realtime] [--in-flight N]\n"
        "             [--far-only S] [--min-erle DB] [--no-filter] [--rate-mode N]\n"
        "             [--min-snr DB] [--rewrite-machine] [--recorrelate-at S]... [--one-cpu]\n"
        "Boots the machine folder DIR (the scenario's default machine is written there when\n"
        "it has no registry.reg or an older default), plays the far end on the loudspeaker\n"
        "for S seconds (the near end silent for the first --far-only seconds, 60%% of the\n"
        "run by default), records the camera microphone and writes OUT/render.wav,\n"
        "OUT/capture.wav (what the application received) and OUT/capture-raw.wav (what the\n"
        "device delivered).  --min-erle: exit 1 when the echo return loss enhancement\n"
        "measured is below DB.  --no-filter: the default machine without the scenario's\n"
        "filter (a folder written for it is written again).  A folder whose registry.reg\n"
        "changed after kssim last wrote it is not written again (kssim exits 1) unless\n"
        "--rewrite-machine is given.  --rate-mode: the canceller's\n"
        "processing rate (1: 16 kHz, 2: 8 kHz, 0: from the streams).  --min-snr: exit 1 when the\n"
        "bridge's SNR (mutewell) is below DB.  --recorrelate-at: ask the filter for a new\n"
        "delay correlation S seconds into the run (echowell; may be given again).  The room\n"
        "is the machine's (registry.reg, HKLM\\SOFTWARE\\KpSim\\Room; see the README).\n"
        "--one-cpu: the whole process on one host CPU (echowell), so that the processing\n"
        "thread's CPU holds no host cost of waking threads across processors.\n"
        "Scenarios:\n");
    for (const ScenarioEntry& entry : Scenarios())
        std::fprintf(stderr, "  %-10s %s\n", entry.Name, entry.Summary);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    fs::path source = KP_SOURCE_DIR;
    fs::path far = source / "testdata" / "speech" / "far_talker_16k.wav";
    s.NearEndWav = source / "testdata" / "speech" / "near_talker_16k.wav";
#ifdef KP_DEFAULT_FILTER_IMAGE
    s.FilterImage = KP_DEFAULT_FILTER_IMAGE;
#endif
    s.Stream.Seconds = 10;
    std::string scenario = Scenarios().front().Name;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--realtime") {
            s.Stream.ManualClock = false;
        } else if (a == "--no-filter") {
            s.FilterImage.clear();
        } else if (a == "--one-cpu") {
            s.OneCpu = true;
        } else if (a == "--rewrite-machine") {
            s.RewriteMachine = true;
        } else if ((a == "--machine" || a == "--out" || a == "--seconds" || a == "--far" ||
                    a == "--rate" || a == "--in-flight" || a == "--scenario" || a == "--far-only" ||
                    a == "--min-erle" || a == "--rate-mode" || a == "--min-snr" ||
                    a == "--recorrelate-at") &&
                   (v = next()) != nullptr) {
            if (a == "--machine") s.Machine = v;
            if (a == "--out") s.Out = v;
            if (a == "--seconds") s.Stream.Seconds = std::atof(v);
            if (a == "--far") far = v;
            if (a == "--rate") s.Stream.Rate = static_cast<ULONG>(std::atoi(v));
            if (a == "--in-flight") s.Stream.InFlight = static_cast<ULONG>(std::atoi(v));
            if (a == "--scenario") scenario = v;
            if (a == "--far-only") s.FarOnly = std::atof(v);
            if (a == "--min-erle") s.MinErle = std::atof(v);
            if (a == "--rate-mode") s.RateMode = std::atoi(v);
            if (a == "--min-snr") s.MinSnr = std::atof(v);
            if (a == "--recorrelate-at") s.RecorrelateAt.push_back(std::atof(v));
        } else {
            return Usage();
        }
    }
#ifdef KP_MUTEWELL_FILTER_IMAGE
    if (scenario == "mutewell" && !s.FilterImage.empty()) s.FilterImage = KP_MUTEWELL_FILTER_IMAGE;
#endif
    const ScenarioEntry* entry = FindScenario(scenario);
    if (entry == nullptr || s.Stream.Seconds <= 0 || s.Stream.Rate == 0 || s.Stream.InFlight == 0)
        return Usage();
    std::string error;
    if (!far.empty() && !ReadWavMono(far, &s.Stream.FarEnd, &s.Stream.FarRate, &error)) {
        std::fprintf(stderr, "kssim: %s\n", error.c_str());
        return 1;
    }
    return entry->Run(s, nullptr);
}
