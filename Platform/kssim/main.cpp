// kssim: boots a simulated machine and runs one of its scenarios on it (see
// Runner.h): an application plays a far-end signal on the loudspeaker while
// another records the camera microphone; the WAV files and what was measured
// are the result.
//
//   kssim [OPTION]...    (kssim --help lists them, each with its range and default)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "CommandLine.h"
#include "Runner.h"
#include "WavFile.h"

namespace fs = std::filesystem;
using namespace kp::scenario;
using kp::cli::Option;
using Kind = kp::cli::Option::Kind;

namespace {

// The longest run: a machine hour of streams is held in memory.
constexpr double kMaxSeconds = 3600;

int Help(const std::vector<Option>& table) {
    std::printf(
        "usage: kssim [OPTION]...\n"
        "Boots the machine folder DIR (the scenario's default machine is written there when\n"
        "it has no registry.reg or an older default), plays the far end on the loudspeaker,\n"
        "records the camera microphone and writes OUT/render.wav, OUT/capture.wav (what the\n"
        "application received) and OUT/capture-raw.wav (what the device delivered).  A folder\n"
        "whose registry.reg changed after kssim last wrote it is not written again (kssim\n"
        "exits 1) unless --rewrite-machine is given.  The room is the machine's (registry.reg,\n"
        "HKLM\\SOFTWARE\\KpSim\\Room; see the README).  A bound not met exits 1, a usage error 2.\n"
        "Options:\n");
    kp::cli::PrintOptions(stdout, table);
    std::printf("Scenarios:\n");
    for (const ScenarioEntry& entry : Scenarios())
        std::printf("  %-10s %s\n", entry.Name, entry.Summary);
    return 0;
}

int UsageError(const std::string& error) {
    std::fprintf(stderr, "kssim: %s\n(kssim --help lists the options)\n", error.c_str());
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
    std::string names;
    for (const ScenarioEntry& entry : Scenarios())
        names += std::string(names.empty() ? "" : ", ") + entry.Name;
    auto seconds = [&](const char*, double v) { s.Stream.Seconds = v; };
    const char* echo = "echowell";
    const char* mute = "mutewell";
    const std::vector<Option> table = {
        {"--help", Kind::Switch, nullptr, 0, 0, "off", "this text", nullptr,
         [](const char*, double) {}},
        {"--scenario", Kind::Text, "NAME", 0, 0, "echowell", "the scenario to run", nullptr,
         [&](const char* v, double) { scenario = v; }},
        {"--machine", Kind::Text, "DIR", 0, 0, "kssim-machine", "the machine folder", nullptr,
         [&](const char* v, double) { s.Machine = v; }},
        {"--out", Kind::Text, "DIR", 0, 0, "kssim-out", "where the WAV files go", nullptr,
         [&](const char* v, double) { s.Out = v; }},
        {"--seconds", Kind::Number, "S", 0.01, kMaxSeconds, "10", "machine seconds streamed", echo,
         seconds},
        {"--seconds", Kind::Number, "S", 1, kMaxSeconds, "10",
         "machine seconds of the five phases together", mute, seconds},
        {"--far", Kind::Text, "FILE.wav", 0, 0,
         "the source tree's testdata/speech/far_talker_16k.wav", "the far end played", echo,
         [&](const char* v, double) { far = v; }},
        {"--rate", Kind::Integer, "HZ", 1000, 384000, "16000",
         "both pins' rate, refused when a device does not offer it", echo,
         [&](const char*, double v) { s.Stream.Rate = static_cast<ULONG>(v); }},
        {"--realtime", Kind::Switch, nullptr, 0, 0, "off: a stepped clock",
         "the machine clock runs in real time", echo,
         [&](const char*, double) { s.Stream.ManualClock = false; }},
        {"--in-flight", Kind::Integer, "N", 1, 64, "4", "requests kept queued on each pin", echo,
         [&](const char*, double v) { s.Stream.InFlight = static_cast<ULONG>(v); }},
        {"--far-only", Kind::Number, "S", 0, kMaxSeconds, "60% of the run",
         "seconds of far end alone at the start, at most --seconds", echo,
         [&](const char*, double v) { s.FarOnly = v; }},
        {"--min-erle", Kind::Number, "DB", -200, 200, "none",
         "exit 1 when the echo return loss enhancement is below DB", echo,
         [&](const char*, double v) { s.MinErle = v; }},
        {"--no-filter", Kind::Switch, nullptr, 0, 0, "off",
         "the default machine without the scenario's filter", nullptr,
         [&](const char*, double) { s.FilterImage.clear(); }},
        // The filter answers for the modes it has: one it refuses exits 1.
        {"--rate-mode", Kind::Integer, "N", 0, 2147483647, "as the machine stores it",
         "the canceller's processing rate (1: 16 kHz, 2: 8 kHz, 0: from the streams)", echo,
         [&](const char*, double v) { s.RateMode = static_cast<LONG>(v); }},
        {"--min-snr", Kind::Number, "DB", -200, 200, "none",
         "exit 1 when the bridge's SNR is below DB", mute,
         [&](const char*, double v) { s.MinSnr = v; }},
        {"--rewrite-machine", Kind::Switch, nullptr, 0, 0, "off",
         "write the default machine even over a registry.reg changed since", nullptr,
         [&](const char*, double) { s.RewriteMachine = true; }},
        {"--recorrelate-at", Kind::Number, "S", 0, kMaxSeconds, "none",
         "ask the filter for a new delay correlation S seconds into the run, before "
         "--seconds (may be given again)",
         echo, [&](const char*, double v) { s.RecorrelateAt.push_back(v); }},
        {"--one-cpu", Kind::Switch, nullptr, 0, 0, "off",
         "the whole process on one host CPU (no host cost of waking threads across CPUs)", echo,
         [&](const char*, double) { s.OneCpu = true; }},
    };
    std::vector<kp::cli::Given> given;
    std::string error;
    if (!kp::cli::Match(table, argc, argv, &given, &error)) return UsageError(error);
    for (const kp::cli::Given& g : given) {
        if (g.Name == "--help") return Help(table);
        if (g.Name == "--scenario") scenario = g.Text;
    }
    const ScenarioEntry* entry = FindScenario(scenario);
    if (entry == nullptr) return UsageError("--scenario " + scenario + ": not one of " + names);
    if (!kp::cli::Apply(table, given, entry->Name, &error)) return UsageError(error);
    // Bounds set by the run's length, whatever the order the options came in
    // (their values have already been read whole and checked).
    for (const kp::cli::Given& g : given) {
        bool farOnly = g.Name == "--far-only", recorrelate = g.Name == "--recorrelate-at";
        double v = farOnly || recorrelate ? std::strtod(g.Text, nullptr) : 0;
        if ((farOnly && v > s.Stream.Seconds) || (recorrelate && v >= s.Stream.Seconds)) {
            char range[64];
            std::snprintf(range, sizeof range, "from 0 to %s%g (the run's --seconds)",
                          recorrelate ? "below " : "", s.Stream.Seconds);
            return UsageError(g.Name + " " + g.Text + ": must be " + range);
        }
    }
#ifdef KP_MUTEWELL_FILTER_IMAGE
    if (scenario == "mutewell" && !s.FilterImage.empty()) s.FilterImage = KP_MUTEWELL_FILTER_IMAGE;
#endif
    if (!far.empty() && !ReadWavMono(far, &s.Stream.FarEnd, &s.Stream.FarRate, &error)) {
        std::fprintf(stderr, "kssim: %s\n", error.c_str());
        return 1;
    }
    return entry->Run(s, nullptr);
}
