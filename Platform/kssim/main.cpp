// kssim: boots a simulated machine, plays a far-end signal on its loudspeaker
// while recording from its camera microphone, writes both as WAV files and
// prints what it measured.
//
//   kssim [--machine DIR] [--out DIR] [--seconds S] [--far FILE.wav] [--rate HZ]
//         [--realtime] [--in-flight N]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "Scenario.h"
#include "WavFile.h"
#include "kp/dbgsink.h"
#include "kp/io.h"
#include "kp/machine.h"
#include "kp/pnp.h"
#include "kp/registry.h"

namespace fs = std::filesystem;
using namespace kp::scenario;

namespace {

int Usage() {
    std::fprintf(
        stderr,
        "usage: kssim [--machine DIR] [--out DIR] [--seconds S] [--far FILE.wav] [--rate HZ]\n"
        "             [--realtime] [--in-flight N]\n"
        "Boots the machine folder DIR (the default machine is created there when it has no\n"
        "registry.reg), plays the far end on the loudspeaker, records the camera microphone\n"
        "and writes OUT/render.wav and OUT/capture.wav.\n");
    return 2;
}

// One line per present device: "stack <instance>: KpSimAudio > ZvEchowell",
// the services of its stack bottom to top, filters hooked at run time included.
void PrintStacks() {
    std::u16string enumKey(kKpEnumPath);
    for (auto& enumerator : kp::reg::SubKeyNames(enumKey)) {
        for (auto& device : kp::reg::SubKeyNames(enumKey + u"\\" + enumerator)) {
            for (auto& instance :
                 kp::reg::SubKeyNames(enumKey + u"\\" + enumerator + u"\\" + device)) {
                std::u16string path = enumerator + u"\\" + device + u"\\" + instance;
                PDEVICE_OBJECT pdo = KpPnpFindPdo(path);
                if (pdo == nullptr) continue;
                std::string line = "stack " + kp::reg::Utf16ToUtf8(path) + ":";
                const char* separator = " ";
                for (auto& service : KpPnpStackServices(pdo)) {
                    line += separator + kp::reg::Utf16ToUtf8(service);
                    separator = " > ";
                }
                std::printf("%s\n", line.c_str());
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    fs::path machine = "kssim-machine", out = "kssim-out";
    fs::path source = KP_SOURCE_DIR;
    fs::path far = source / "testdata" / "speech" / "far_talker_16k.wav";
    Options o;
    o.Seconds = 10;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--realtime") {
            o.ManualClock = false;
        } else if ((a == "--machine" || a == "--out" || a == "--seconds" || a == "--far" ||
                    a == "--rate" || a == "--in-flight") &&
                   (v = next()) != nullptr) {
            if (a == "--machine") machine = v;
            if (a == "--out") out = v;
            if (a == "--seconds") o.Seconds = std::atof(v);
            if (a == "--far") far = v;
            if (a == "--rate") o.Rate = static_cast<ULONG>(std::atoi(v));
            if (a == "--in-flight") o.InFlight = static_cast<ULONG>(std::atoi(v));
        } else {
            return Usage();
        }
    }
    if (o.Seconds <= 0 || o.Rate == 0 || o.InFlight == 0) return Usage();
    std::string error;
    kp::machine::WavReader reader = [&](const fs::path& p, std::vector<float>* s, ULONG* rate) {
        return ReadWavMono(p, s, rate, &error);
    };
    if (!far.empty() && !ReadWavMono(far, &o.FarEnd, &o.FarRate, &error)) {
        std::fprintf(stderr, "kssim: %s\n", error.c_str());
        return 1;
    }
    if (!kp::machine::CreateDefault(machine, source / "testdata" / "speech" / "near_talker_16k.wav",
                                    &error)) {
        std::fprintf(stderr, "kssim: %s\n", error.c_str());
        return 1;
    }
    NTSTATUS status = kp::machine::Boot(fs::absolute(machine), reader, &error);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "kssim: boot failed (0x%08X): %s\n", static_cast<unsigned>(status),
                     error.c_str());
        for (auto& line : KpDbgLines()) std::fprintf(stderr, "  %s\n", line.c_str());
        kp::machine::Shutdown();
        return 1;
    }
    // Slaves are hooked from work items: let them finish before looking.
    KpIoDrainWorkQueues();
    PrintStacks();
    std::printf("kssim: machine %s booted; streaming %.1f s of machine time (%s clock)\n",
                fs::absolute(machine).c_str(), o.Seconds, o.ManualClock ? "stepped" : "real-time");
    o.Progress = [](double s) {
        std::printf("\r  %5.1f s", s);
        std::fflush(stdout);
    };
    Result r = Run(o);
    std::printf("\n");
    kp::machine::Shutdown();
    if (!NT_SUCCESS(r.Status)) {
        std::fprintf(stderr, "kssim: scenario failed (0x%08X): %s\n",
                     static_cast<unsigned>(r.Status), r.Error.c_str());
        return 1;
    }
    fs::create_directories(out);
    if (!WriteWav16(out / "render.wav", r.Played, r.PlayRate, &error) ||
        !WriteWav16(out / "capture.wav", r.Captured, r.CaptureRate, &error)) {
        std::fprintf(stderr, "kssim: %s\n", error.c_str());
        return 1;
    }
    EchoEstimate echo = MeasureEcho(r.Played, r.PlayRate, r.Captured, r.CaptureRate);
    auto w = kp::ks::WaveOf(r.RenderFormat), c = kp::ks::WaveOf(r.CaptureFormat);
    std::printf(
        "render:  %u Hz %u ch %u bit; %llu bytes written, %u requests completed, position "
        "%llu/%llu\n",
        w.nSamplesPerSec, w.nChannels, w.wBitsPerSample,
        static_cast<unsigned long long>(r.BytesWritten), r.WritesCompleted,
        static_cast<unsigned long long>(r.RenderPosition.PlayOffset),
        static_cast<unsigned long long>(r.RenderPosition.WriteOffset));
    std::printf(
        "capture: %u Hz %u ch %u bit; %llu bytes read, %u requests completed, position %llu/%llu\n",
        c.nSamplesPerSec, c.nChannels, c.wBitsPerSample,
        static_cast<unsigned long long>(r.BytesRead), r.ReadsCompleted,
        static_cast<unsigned long long>(r.CapturePosition.PlayOffset),
        static_cast<unsigned long long>(r.CapturePosition.WriteOffset));
    std::printf("timing:  %.2f s of machine time in %.2f s\n", r.MachineSeconds, r.HostSeconds);
    std::printf(
        "echo:    delay %.1f ms, gain %.1f dB (correlation %.2f); no filter installed, so no "
        "reduction\n",
        echo.DelayMs, 20.0 * std::log10(std::max(std::abs(echo.Gain), 1e-9)), echo.Correlation);
    std::printf("wrote %s and %s\n", (out / "render.wav").c_str(), (out / "capture.wav").c_str());
    return 0;
}
