// The runner's pieces under kssim's scenarios: the default machine's marker
// (written, kept, written again), the raw capture beside what the application
// got, timed actions switching the near end, and the enhancement measure.
#include <cmath>
#include <fstream>

#include "Scenario.h"
#include "SimTestSupport.h"
#include "kp/registry.h"

namespace kp::simtest {
namespace {

namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

using DefaultMachineTest = SimTest;

TEST_F(DefaultMachineTest, TheMarkerDecidesWhetherAnExistingFolderIsWrittenAgain) {
    using kp::machine::DefaultWrite;
    kp::machine::DefaultMachine echo;
    echo.Kind = "echowell";
    echo.Extra = kp::machine::ServiceText("Flt", "Flt.sys");
    const std::string handMade = kp::machine::RegistryText(kp::machine::DefaultDevices());
    struct Case {
        const char* Name;
        std::string Existing;  // empty: no registry.reg
        DefaultWrite Expected;
    } cases[] = {
        {"no file", "", DefaultWrite::Written},
        {"current", handMade + kp::machine::DefaultMarkerText("echowell"), DefaultWrite::Kept},
        {"newer", handMade + kp::machine::DefaultMarkerText("echowell", 99), DefaultWrite::Kept},
        {"older", handMade + kp::machine::DefaultMarkerText("echowell", 1),
         DefaultWrite::Rewritten},
        {"other kind", handMade + kp::machine::DefaultMarkerText("plain"), DefaultWrite::Rewritten},
        {"made by hand", handMade, DefaultWrite::Kept},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        fs::path folder = folder_ / c.Name;
        fs::create_directories(folder);
        if (!c.Existing.empty()) WriteText(folder / "registry.reg", c.Existing);
        std::string error;
        // Written by hand, so not as kssim last wrote it: asked to rewrite.
        auto written = kp::machine::CreateDefault(folder, {}, &error, echo, true);
        ASSERT_TRUE(written) << error;
        EXPECT_EQ(*written, c.Expected);
        std::string text = ReadFileText(folder / "registry.reg");
        if (c.Expected == DefaultWrite::Kept) {
            EXPECT_EQ(text, c.Existing);
        } else {
            EXPECT_NE(text.find(kp::machine::DefaultMarkerText("echowell")), std::string::npos);
            EXPECT_NE(text.find("Services\\Flt]"), std::string::npos) << "the extra text";
            // What it wrote is current: the next run keeps it.
            EXPECT_EQ(kp::machine::CreateDefault(folder, {}, &error, echo), DefaultWrite::Kept);
        }
    }
}

TEST_F(DefaultMachineTest, AMarkedMachineChangedSinceKssimWroteItIsWrittenAgainOnlyWhenAsked) {
    using kp::machine::DefaultWrite;
    kp::machine::DefaultMachine echo;
    echo.Kind = "echowell";
    std::string error;
    ASSERT_EQ(kp::machine::CreateDefault(folder_, {}, &error), DefaultWrite::Written);
    // Unchanged since: the other scenario's machine replaces it unasked.
    ASSERT_EQ(kp::machine::CreateDefault(folder_, {}, &error, echo), DefaultWrite::Rewritten);
    ASSERT_EQ(kp::machine::CreateDefault(folder_, {}, &error), DefaultWrite::Rewritten);
    // A tool's value since then keeps it.
    std::string changed =
        ReadFileText(folder_ / "registry.reg") +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool]\r\n\"Installed\"=dword:00000001\r\n\r\n";
    WriteText(folder_ / "registry.reg", changed);
    EXPECT_FALSE(kp::machine::CreateDefault(folder_, {}, &error, echo));
    EXPECT_NE(error.find("--rewrite-machine"), std::string::npos) << error;
    EXPECT_EQ(ReadFileText(folder_ / "registry.reg"), changed);
    EXPECT_EQ(kp::machine::CreateDefault(folder_, {}, &error, echo, true), DefaultWrite::Rewritten);
    EXPECT_EQ(ReadFileText(folder_ / "registry.reg").find("SOFTWARE\\Tool"), std::string::npos);
}

TEST_F(DefaultMachineTest, AnUnreadableRegistryIsAFailureNotARewrite) {
    const std::string broken = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_NOWHERE\\x\r\n";
    WriteText(folder_ / "registry.reg", broken);
    std::string error;
    EXPECT_FALSE(kp::machine::CreateDefault(folder_, {}, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ReadFileText(folder_ / "registry.reg"), broken);
}

using RunnerTest = SimTest;

std::string NearEndOnly(const char* room) {
    return std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room\\NearEnd\\") + room +
           "]\r\n\"GainPermille\"=dword:000001f4\r\n\r\n";
}

double Energy(const std::vector<float>& v, size_t from, size_t to) {
    double e = 0;
    for (size_t i = from; i < to && i < v.size(); ++i) e += static_cast<double>(v[i]) * v[i];
    return e;
}

TEST_F(RunnerTest, ATimedActionSwitchesTheNearEndAndTheRawCaptureIsTheDevicesOwn) {
    Boot(kp::machine::DefaultDevices(), NearEndOnly("camera"));
    ASSERT_FALSE(kp::sim::RoomEnableNearEnd("nobody", false)) << "no near end to switch";
    ASSERT_TRUE(kp::sim::RoomEnableNearEnd("camera", false));
    kp::scenario::Options o;
    o.Seconds = 1;
    o.Actions = {{0.5, [] { kp::sim::RoomEnableNearEnd("camera", true); }}};
    auto r = kp::scenario::Run(o);
    ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
    // No filter: the application got exactly what the device delivered.
    ASSERT_EQ(r.RawCaptured.size(), r.Captured.size());
    ASSERT_GT(r.Captured.size(), r.CaptureRate * 9 / 10);
    EXPECT_TRUE(r.RawCaptured == r.Captured);
    size_t half = r.CaptureRate / 2;
    EXPECT_EQ(Energy(r.Captured, 0, half), 0.0) << "silent before the action";
    // The speech-like generator pauses now and then: half a second holds speech.
    EXPECT_GT(Energy(r.Captured, half, r.Captured.size()), 1.0);
}

// A talker switched on begins at the switch: what the microphone hears then
// does not depend on how long the machine ran before (a boot on the host's
// time, here 137.0003 ms longer than the test's own).
TEST_F(RunnerTest, ANearEndSwitchedOnBeginsItsRecordingAtTheSwitch) {
    Boot(kp::machine::DefaultDevices(), NearEndOnly("camera"));
    kp::sim::NearEnd ramp;  // sample k is (1000 + k)/32768: the value names the place
    ramp.Device = "camera";
    ramp.Gain = 1.0;
    ramp.Enabled = false;
    for (int k = 0; k < 16000; ++k)
        ramp.Samples.push_back(static_cast<float>((1000 + k) / 32768.0));
    kp::sim::RoomSetNearEnd(ramp);
    Advance(KpMs(137) + 3);  // and not a whole number of frames
    kp::scenario::Options o;
    o.Seconds = 0.5;
    o.Actions = {{0.25, [] { kp::sim::RoomEnableNearEnd("camera", true); }}};
    auto r = kp::scenario::Run(o);
    ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
    size_t at = 0;
    while (at < r.Captured.size() && r.Captured[at] == 0.0f) ++at;
    ASSERT_LT(at + 1000, r.Captured.size()) << "the talker was heard";
    EXPECT_EQ(at, r.CaptureRate / 4) << "the first frame after the switch";
    for (size_t k = 0; k < 1000; ++k)
        ASSERT_EQ(std::lround(r.Captured[at + k] * 32768.0), 1000 + static_cast<long>(k)) << k;
}

TEST(ErleTest, MedianOfTheWindowsWithEcho) {
    std::vector<float> raw(1000);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<float>(std::sin(0.05 * i));
    std::vector<float> tenth(raw.size() + 30, 0.0f);  // raw / 10, 30 samples later
    for (size_t i = 0; i < raw.size(); ++i) tenth[i + 30] = raw[i] / 10;
    std::vector<float> burst = tenth;  // one window of ten not reduced at all
    for (size_t i = 300; i < 400; ++i) burst[i + 30] = raw[i];
    std::vector<float> silent(raw.size(), 0.0f);
    // Echo only in the last three windows; the quiet ones pass unchanged.
    std::vector<float> quietRaw = raw, quietOut(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (i < 700) quietRaw[i] *= 1e-3f;
        quietOut[i] = i < 700 ? quietRaw[i] : quietRaw[i] / 10;
    }
    struct Case {
        const char* Name;
        const std::vector<float>* Raw;
        const std::vector<float>* Processed;
        size_t From, To, Lag;
        double Low, High;  // NaN: no measurement
    } cases[] = {
        {"unchanged", &raw, &raw, 0, 1000, 0, -1e-9, 1e-9},
        {"20 dB, aligned by the lag", &raw, &tenth, 100, 900, 30, 20 - 1e-4, 20 + 1e-4},
        {"a burst moves no median", &raw, &burst, 0, 1000, 30, 20 - 1e-4, 20 + 1e-4},
        {"quiet windows left out", &quietRaw, &quietOut, 0, 1000, 0, 20 - 1e-4, 20 + 1e-4},
        // Sine energy 50 per window of 100 against one 16-bit step per sample.
        {"muted output: the 16-bit floor", &raw, &silent, 0, 1000, 0, 87.0, 87.6},
        {"window past the processed end", &raw, &tenth, 100, 1000, 31, NAN, NAN},
        {"window past the raw end", &raw, &raw, 0, 1001, 0, NAN, NAN},
        {"no whole window", &raw, &raw, 10, 99, 0, NAN, NAN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        double erle = kp::scenario::ErleDb(*c.Raw, *c.Processed, c.From, c.To, c.Lag, 100);
        if (std::isnan(c.Low)) {
            EXPECT_TRUE(std::isnan(erle)) << erle;
        } else {
            EXPECT_GE(erle, c.Low);
            EXPECT_LE(erle, c.High);
        }
    }
}

}  // namespace
}  // namespace kp::simtest
