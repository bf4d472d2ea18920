// The request programs with a real filter logic loaded: the default
// machine's camera with the logic's driver over it as master, and its sound
// card; the program's two pin slots open pins on the camera's first filter and
// the card's, and its control requests reach the logic's private set.  Built
// once per logic (ZV_FUZZ_LOGIC names the driver), as the libFuzzer target of
// the fuzz preset, where a sanitizer report, a kernel check or a request that
// never comes back stops the run, and, with ZV_FUZZ_REPLAY, as a test in
// every build that replays the corpus.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "DrvMain.h"
#include "EchowellControl.h"
#include "FilterLogic.h"
#include "FuzzProgram.h"
#include "LogicCommon.h"
#include "MutewellControl.h"
#include "kp/machinetest.h"
#include "kp/machine.h"
#include "kp/pnp.h"

namespace {

class LogicMachine : public kp::testing::MachineTest {
public:
    void Start() {
        SetUp();
        g_bFilterLoaded = 1;  // as a freshly loaded image holds it
        UseBuiltinDriver(ZV_FUZZ_LOGIC, DriverEntry);
        auto devices = kp::machine::DefaultDevices();
        devices[0].UpperFilters = {ZV_FUZZ_LOGIC};
#ifdef ZV_FUZZ_MUTEWELL
        devices[0].Profile = "full";
        devices[0].FilterName = "global";
        devices[0].CaptureSource = "sine";
        devices[0].DriverOptions = {{ "ZSAMAudioFilterMaster", 1 }};
        devices[1].Profile = "full";
        devices[1].CaptureSource = "ramp";
#else
        devices[0].DriverOptions = {{"ZAECAudioFilterMaster", 1}};
#endif
        BootMachine(devices);
        if (HasFatalFailure()) std::abort();
        for (const auto& d : {devices[0], devices[1]}) {
            const auto links = KpPnpInterfaceLinks(Pdo(d.Instance), true);
            if (links.empty()) std::abort();
            m_target.Filters.push_back(links[0]);
        }
#ifdef ZV_FUZZ_MUTEWELL
        m_target.PrivateSet = KSPROPSETID_SwitchMute;
#else
        m_target.PrivateSet = KSPROPSETID_AecControl;
#endif
        m_target.AdvanceMs = [](LONGLONG ms) { AdvanceMs(ms); };
    }
    // Shuts the machine down (the test's own checks of what was left behind).
    void Stop() {
        TearDown();
    }
    void TestBody() override {}
    const zvfuzz::ProgramTarget& Target() const {
        return m_target;
    }

private:
    zvfuzz::ProgramTarget m_target;
};

#ifdef ZV_FUZZ_REPLAY

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

TEST(LogicFuzzReplay, EveryCorpusInputEndsWithEveryRequestBack) {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(ZV_FUZZ_CORPUS))
        inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_GE(inputs.size(), 8u) << "corpus missing";
    LogicMachine machine;
    machine.Start();
    for (const auto& path : inputs) {
        SCOPED_TRACE(path.filename().string());
        const std::vector<uint8_t> bytes = ReadFile(path);
        const zvfuzz::ProgramResult run =
            zvfuzz::RunProgram(bytes.data(), bytes.size(), machine.Target());
        EXPECT_TRUE(run.Opened);
        ASSERT_TRUE(run.AllDone) << "a request never came back";
    }
    machine.Stop();
}

#else

LogicMachine* g_pMachine = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    ::testing::InitGoogleTest(argc, *argv);
    g_pMachine = new LogicMachine;
    g_pMachine->Start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const zvfuzz::ProgramResult run = zvfuzz::RunProgram(data, size, g_pMachine->Target());
    if (!run.Opened || !run.AllDone) {
        std::fprintf(
            stderr, "%s\n",
            !run.Opened ? "a filter could not be opened" : "a request was never completed");
        std::abort();
    }
    return 0;
}

namespace {
#endif

}  // namespace
