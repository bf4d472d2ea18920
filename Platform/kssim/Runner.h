// kssim's scenarios: each boots a default machine of its own kind (its filter
// driver installed from the image it is given), runs the backbone scenario on
// it and reports what it measured.  The table names them; `kssim --scenario
// NAME` picks one.  Shared here: the parsed settings and the steps every
// scenario takes (machine folder, boot, stacks, WAV files, shutdown).
#pragma once

#include <filesystem>
#include <sched.h>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "Scenario.h"
#include "kp/machine.h"

namespace kp::scenario {

struct Settings {
    std::filesystem::path Machine = "kssim-machine", Out = "kssim-out";
    std::filesystem::path NearEndWav;   // copied into a default machine it writes
    std::filesystem::path FilterImage;  // the scenario's driver image; empty: no filter
    Options Stream;                     // the far end already read into Stream.FarEnd
    // Seconds of far end alone at the start (the near end switched off);
    // negative: 60 % of the run.
    double FarOnly = -1;
    // Exit non-zero when the echo return loss enhancement is below this (dB).
    double MinErle = std::numeric_limits<double>::quiet_NaN();
    // The echo canceller's processing rate set through its property set before
    // the pins start (1: 16 kHz, 2: 8 kHz, 0: from the streams); -1: as stored.
    LONG RateMode = -1;
    // Exit non-zero when the bridge's signal-to-noise ratio is below this (dB).
    double MinSnr = std::numeric_limits<double>::quiet_NaN();
    // Machine seconds after the pins start at which the echowell scenario asks
    // the filter for a new delay correlation, as a control application would.
    std::vector<double> RecorrelateAt;
    // Registry text added to a default machine the scenario writes (a room's
    // changes, a device's clock offset); a folder kept as it is keeps its own.
    std::string MachineExtra;
    bool Quiet = false;  // no progress and no report lines (benchmarks)
    // Run the whole process on one host CPU (--one-cpu): the processing
    // thread's CPU time then holds no host cost of waking a thread on another
    // processor, which a virtual machine charges the sleeper unevenly.
    bool OneCpu = false;
    // Write the default machine again even over a registry.reg changed since
    // kssim last wrote it (--rewrite-machine).
    bool RewriteMachine = false;
};

// What a scenario measured, by name (for example "erle_db"), for callers that
// read the numbers rather than the printed report.
using Measures = std::map<std::string, double>;

struct ScenarioEntry {
    const char* Name;
    const char* Summary;  // one line for kssim's usage text
    // Returns kssim's exit status: 0 success, 1 failure or a bound not met,
    // 2 a setting the booted machine cannot take (a rate its devices do not offer).
    int (*Run)(const Settings& settings, Measures* measures);
};

// Every scenario; the first is the default.
const std::vector<ScenarioEntry>& Scenarios();
const ScenarioEntry* FindScenario(const std::string& name);

// The scenarios.
int RunEchowellScenario(const Settings& settings, Measures* measures);
int RunMutewellScenario(const Settings& settings, Measures* measures);

// Steps shared by the scenarios.  Each prints its failure to stderr and
// returns false.
//
// Writes Machine as the default machine in the folder (or keeps what is there,
// see kp::machine::CreateDefault) and copies Image, when given, into its
// drivers folder on every run, so that the machine runs the image just built.
bool PrepareMachine(const Settings& settings, const kp::machine::DefaultMachine& machine,
                    const std::filesystem::path& image);
// Boots the folder, lets the work items that hook slaves finish and prints
// each device's stack (unless quiet).  On failure the machine is shut down.
bool BootMachine(const Settings& settings);
// Shuts the machine down and saves its registry; false when the save failed.
bool ShutdownMachine();
// Writes mono 16-bit WAV files into the output folder.
struct WavOut {
    const char* Name;
    const std::vector<float>* Samples;
    ULONG Rate;
};
bool WriteWavs(const Settings& settings, const std::vector<WavOut>& files);
// Every thread of the process on one host CPU (the one the caller runs on)
// while it lives, threads made meanwhile too; then every thread still there
// back on the CPUs the caller had.  Cpu() is -1 when it could not pin.
class OneHostCpu {
public:
    OneHostCpu();
    ~OneHostCpu();
    OneHostCpu(const OneHostCpu&) = delete;
    OneHostCpu& operator=(const OneHostCpu&) = delete;
    int Cpu() const { return m_Cpu; }

private:
    cpu_set_t m_Saved{};
    int m_Cpu = -1;
};
// The processing thread's CPU line of a report: per second of audio, the
// whole, the part charged while it slept, and the host CPUs it ran on.
void PrintThreadCpu(const Result& result, int oneCpu);
// The streaming lines of the report: formats, bytes, positions, timing.
void PrintStreams(const Result& result);
// The room names of the devices with a capture pin.
std::vector<std::string> CaptureRoomNames();

}  // namespace kp::scenario
