// The scenario table and the steps the scenarios share.
#include "Runner.h"

#include <dirent.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "WavFile.h"
#include "kp/dbgsink.h"
#include "kp/io.h"
#include "kp/pnp.h"
#include "kp/registry.h"

namespace fs = std::filesystem;

namespace kp::scenario {

const std::vector<ScenarioEntry>& Scenarios() {
    static const std::vector<ScenarioEntry> table = {
        {"echowell",
         "Echowell on the camera (master, the sound card hooked as slave): far end alone, "
         "then double talk; ERLE, echo delay, added latency, processing CPU",
         RunEchowellScenario},
        {"mutewell",
         "Mutewell on the camera (master, the sound card hooked as slave): the card's playback "
         "bridged to the camera and its recording filled from the camera's microphone, each "
         "mute mode in turn; bridge latency and SNR, levels per phase",
         RunMutewellScenario},
    };
    return table;
}

const ScenarioEntry* FindScenario(const std::string& name) {
    for (const ScenarioEntry& entry : Scenarios()) {
        if (name == entry.Name) return &entry;
    }
    return nullptr;
}

namespace {

// Sets the CPUs of every thread of the process; false when one refused.
bool SetEveryThreadsCpus(const cpu_set_t& cpus) {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return false;
    bool all = true;
    while (dirent* entry = readdir(tasks)) {
        pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (tid <= 0) continue;
        // A thread that ended since the listing is no failure.
        if (sched_setaffinity(tid, sizeof cpus, &cpus) != 0 && errno != ESRCH) all = false;
    }
    closedir(tasks);
    return all;
}

}  // namespace

OneHostCpu::OneHostCpu() {
    if (sched_getaffinity(0, sizeof m_Saved, &m_Saved) != 0) return;
    int cpu = sched_getcpu();
    if (cpu < 0 || !CPU_ISSET(cpu, &m_Saved)) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    // Twice: a thread made while the first sweep ran may have copied the old set.
    if (SetEveryThreadsCpus(one) && SetEveryThreadsCpus(one)) {
        m_Cpu = cpu;
    } else {
        SetEveryThreadsCpus(m_Saved);
    }
}

OneHostCpu::~OneHostCpu() {
    if (m_Cpu >= 0) SetEveryThreadsCpus(m_Saved);
}

void PrintThreadCpu(const Result& r, int oneCpu) {
    if (r.ThreadsMeasured == 0) {
        std::printf("cpu:     no processing thread ran\n");
        return;
    }
    char where[64];
    if (oneCpu >= 0)
        std::snprintf(where, sizeof where, "the process on host CPU %d alone", oneCpu);
    else
        std::snprintf(where, sizeof where, "the process on any of %d host CPUs",
                      static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
    double whole = 100.0 * r.ThreadCpuSeconds / r.MachineSeconds;
    double asleep = 100.0 * r.ThreadSleepCpuSeconds / r.MachineSeconds;
    std::printf(
        "cpu:     the processing thread used %.3f s of CPU in %.1f s of audio (%.2f%% of one "
        "core: %.2f%% awake, %.2f%% charged by the host while it slept; %s)\n",
        r.ThreadCpuSeconds, r.MachineSeconds, whole, whole - asleep, asleep, where);
}

namespace {

// One line per present device: "stack <instance>: KpSimAudio > Echowell",
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

bool PrepareMachine(const Settings& s, const kp::machine::DefaultMachine& machine,
                    const fs::path& image) {
    std::string error;
    auto written =
        kp::machine::CreateDefault(s.Machine, s.NearEndWav, &error, machine, s.RewriteMachine);
    if (!written) {
        std::fprintf(stderr, "kssim: %s\n", error.c_str());
        return false;
    }
    if (!s.Quiet && *written == kp::machine::DefaultWrite::Rewritten) {
        std::printf(
            "kssim: %s held an older default machine or one of another scenario: "
            "written again as the %s machine\n",
            s.Machine.c_str(), machine.Kind.c_str());
    }
    if (!image.empty() && !kp::machine::InstallDriverImage(s.Machine, image, &error)) {
        std::fprintf(stderr, "kssim: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool BootMachine(const Settings& s) {
    std::string error;
    kp::machine::WavReader reader = [&](const fs::path& p, std::vector<float>* samples,
                                        ULONG* rate) {
        return ReadWavMono(p, samples, rate, &error);
    };
    NTSTATUS status = kp::machine::Boot(fs::absolute(s.Machine), reader, &error);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "kssim: boot failed (0x%08X): %s\n", static_cast<unsigned>(status),
                     error.c_str());
        for (auto& line : KpDbgLines()) std::fprintf(stderr, "  %s\n", line.c_str());
        ShutdownMachine();
        return false;
    }
    // Slaves are hooked from work items: let them finish before looking.
    KpIoDrainWorkQueues();
    if (!s.Quiet) PrintStacks();
    return true;
}

bool ShutdownMachine() {
    std::string error;
    if (!kp::machine::Shutdown(&error)) {
        std::fprintf(stderr, "kssim: the machine's registry was not saved: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool WriteWavs(const Settings& s, const std::vector<WavOut>& files) {
    std::error_code ec;
    fs::create_directories(s.Out, ec);
    std::string error;
    for (const WavOut& f : files) {
        if (!WriteWav16(s.Out / f.Name, *f.Samples, f.Rate, &error)) {
            std::fprintf(stderr, "kssim: %s\n", error.c_str());
            return false;
        }
    }
    if (!s.Quiet) {
        std::string names;
        for (const WavOut& f : files) names += std::string(names.empty() ? "" : ", ") + f.Name;
        std::printf("wrote %s into %s\n", names.c_str(), s.Out.c_str());
    }
    return true;
}

void PrintStreams(const Result& r) {
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
    if (r.UnsettledSteps != 0)
        std::printf(
            "warning: %lu steps moved on before the machine came to rest; the run's "
            "timing depended on the host\n",
            static_cast<unsigned long>(r.UnsettledSteps));
}

std::vector<std::string> CaptureRoomNames() {
    std::vector<std::string> names;
    for (auto& device : kp::sim::SimAudioDevice::All()) {
        for (const kp::sim::PinConfig& pin : device->Pins()) {
            if (pin.Dataflow == KSPIN_DATAFLOW_OUT && !pin.Ranges.empty()) {
                names.push_back(device->RoomName());
                break;
            }
        }
    }
    return names;
}

}  // namespace kp::scenario
