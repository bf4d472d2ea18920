// The room: an echo path's delay and gain measured from a recording made
// through the stand-in, and the backbone scenario on the default machine.
#include <cmath>

#include "kp/io.h"

#include "Scenario.h"
#include "SimTestSupport.h"

namespace kp::simtest {
namespace {

class RoomTest : public SimTest {
protected:
    void BootRoom(const std::string& room, LONG speakerPpm = 0, LONG cameraPpm = 0) {
        kp::machine::SimDevice speaker, camera;
        speaker.Instance = "PCI\\VEN_1111&DEV_2222\\1";
        speaker.Profile = "speaker";
        speaker.RoomName = "spk";
        speaker.Description = "speaker";
        camera.Instance = "USB\\VID_3333&PID_4444\\2";
        camera.Profile = "camera";
        camera.RoomName = "cam";
        camera.Description = "camera";
        speaker.ClockOffsetPpm = speakerPpm;
        camera.ClockOffsetPpm = cameraPpm;
        Boot({speaker, camera}, room);
    }
};

std::string Path(ULONG delayMs, ULONG gainPermille, ULONG tailMs, const char* from = "spk",
                 const char* to = "cam") {
    char text[400];
    std::snprintf(
        text, sizeof text,
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room\\Paths\\0]\r\n\"From\"=\"%s\"\r\n\"To\"=\"%"
        "s\"\r\n"
        "\"DelayMs\"=dword:%08x\r\n\"GainPermille\"=dword:%08x\r\n\"TailMs\"=dword:%08x\r\n\r\n",
        from, to, delayMs, gainPermille, tailMs);
    return text;
}

TEST_F(RoomTest, TheEchoPathsDelayAndGainShowInTheRecording) {
    BootRoom(Path(30, 250, 0));
    kp::scenario::Options o;
    o.Seconds = 2;
    auto r = kp::scenario::Run(o);
    ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
    auto e = kp::scenario::MeasureEcho(r.Played, r.PlayRate, r.Captured, r.CaptureRate);
    EXPECT_NEAR(e.DelayMs, 30.0, 0.1);
    EXPECT_NEAR(e.Gain, 0.25, 0.005);
    EXPECT_GT(e.Correlation, 0.99);
}

// The echo delay over one second of the recording from At seconds on: the
// played far end is taken from Lead ms earlier, so the lag found is the delay
// less the lead.
double DelayMsAt(const kp::scenario::Result& r, double at, double leadMs) {
    const size_t rate = r.CaptureRate, from = static_cast<size_t>(at * rate);
    const auto lead = static_cast<size_t>(leadMs * rate / 1000);
    std::vector<float> played(r.Played.begin() + static_cast<long>(from - lead),
                              r.Played.begin() + static_cast<long>(from - lead + rate));
    std::vector<float> captured(r.Captured.begin() + static_cast<long>(from),
                                r.Captured.begin() + static_cast<long>(from + rate));
    return kp::scenario::MeasureEcho(played, r.PlayRate, captured, r.CaptureRate, 100).DelayMs +
           leadMs;
}

// Two clocks apart move the echo against what was played: p ppm, p us a
// second, later when the microphone's clock is the faster one.
TEST_F(RoomTest, ClocksApartMoveTheEchoAtTheirOffsetsRate) {
    struct Case {
        LONG SpeakerPpm, CameraPpm;
        double MsPerSecond;
    } cases[] = {{1000, 0, -1.0}, {-1000, 0, 1.0}, {0, 1000, 1.0}, {0, -1000, -1.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.SpeakerPpm << " " << c.CameraPpm);
        BootRoom(Path(100, 500, 20), c.SpeakerPpm, c.CameraPpm);
        kp::scenario::Options o;
        o.Seconds = 6;
        // Noise, not the chirp: a chirp's peak moves with its time scale.
        uint32_t seed = 1;
        o.FarEnd.resize(7 * o.FarRate);
        for (float& v : o.FarEnd) {
            seed = seed * 1664525u + 1013904223u;
            v = static_cast<float>(seed >> 8) / 16777216.0f * 0.6f - 0.3f;
        }
        auto r = kp::scenario::Run(o);
        ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
        ASSERT_GT(r.Captured.size(), 5.5 * r.CaptureRate);
        // Each window's delay is the one at its middle, about a second in and five in.
        double early = DelayMsAt(r, 0.5, 60), late = DelayMsAt(r, 4.5, 60);
        EXPECT_NEAR(early, 100.0 + c.MsPerSecond, 0.5);
        EXPECT_NEAR((late - early) / 4.0, c.MsPerSecond, 0.1 * std::abs(c.MsPerSecond));
        TearDown();
        SetUp();
    }
}

TEST_F(RoomTest, ATailAndANearEndKeepTheDirectPathOnTop) {
    BootRoom(Path(70, 500, 40) +
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room\\NearEnd\\cam]\r\n\"GainPermille\"=dword:"
             "00000064\r\n\r\n"
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room\\Noise\\cam]\r\n\"RmsMicro\"=dword:"
             "000003e8\r\n\r\n");
    kp::scenario::Options o;
    o.Seconds = 2;
    o.Rate = 8000;
    auto r = kp::scenario::Run(o);
    ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
    EXPECT_EQ(r.CaptureRate, 8000u);
    auto e = kp::scenario::MeasureEcho(r.Played, r.PlayRate, r.Captured, r.CaptureRate);
    EXPECT_NEAR(e.DelayMs, 70.0, 0.2);
    EXPECT_GT(e.Gain, 0.35);
    EXPECT_LT(e.Gain, 0.65);
}

TEST_F(RoomTest, TheBackboneScenarioStreamsThroughTheDefaultMachine) {
    std::string room = kp::machine::DefaultRoomText();
    // The near end from the generator rather than a file.
    size_t file = room.find("\"File\"");
    room.erase(file, room.find("\r\n", file) + 2 - file);
    Boot(kp::machine::DefaultDevices(), room);
    kp::scenario::Options o;
    o.Seconds = 3;
    o.InFlight = 3;
    auto r = kp::scenario::Run(o);
    ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
    // 3 s at 16 kHz, 16 bit, mono.
    EXPECT_EQ(r.RenderPosition.PlayOffset, 96000u);
    EXPECT_EQ(r.RenderPosition.WriteOffset, r.BytesWritten);
    EXPECT_LE(r.BytesWritten - r.RenderPosition.PlayOffset, 3u * 320u);
    EXPECT_EQ(r.WritesCompleted, 300u);
    EXPECT_EQ(r.CapturePosition.WriteOffset, 96000u);
    EXPECT_GE(r.CapturePosition.PlayOffset, r.BytesRead);
    EXPECT_LT(r.CapturePosition.PlayOffset - r.BytesRead, 800u);
    EXPECT_EQ(r.BytesRead, r.ReadsCompleted * 800ull);
    EXPECT_EQ(r.Captured.size() * 2, r.BytesRead);
    auto e = kp::scenario::MeasureEcho(r.Played, r.PlayRate, r.Captured, r.CaptureRate);
    EXPECT_NEAR(e.DelayMs, 40.0, 0.5);
    // Nothing is left queued on either device after the scenario closed its pins.
    for (auto& d : kp::sim::SimAudioDevice::All()) {
        EXPECT_EQ(d->QueuedStreamRequests(), 0u);
        EXPECT_EQ(d->OpenPinCount(), 0u);
    }
}

#ifdef KP_PASS_FILTER_IMAGE
// A filter driver image named in the camera's UpperFilters sits above the
// device; the scenario streams through it unchanged.
TEST_F(RoomTest, TheBackboneScenarioStreamsThroughAnUpperFilterImage) {
    std::string error;
    ASSERT_TRUE(kp::machine::InstallDriverImage(folder_, KP_PASS_FILTER_IMAGE, &error)) << error;
    auto devices = kp::machine::DefaultDevices();
    devices[0].UpperFilters = {"KpTestFilter"};
    Boot(devices, kp::machine::ServiceText("KpTestFilter", "KpTestFilter.sys") +
                      Path(40, 316, 0, "speaker", "camera"));
    PDEVICE_OBJECT pdo =
        KpPnpFindPdo(std::u16string(u"USB\\VID_2A1C&PID_0C41&MI_01\\6&2F1A33&0&0001"));
    ASSERT_NE(pdo, nullptr);
    ASSERT_NE(pdo->AttachedDevice, nullptr);
    ASSERT_NE(pdo->AttachedDevice->AttachedDevice, nullptr);  // bus PDO, simulated device, filter
    KpIoTraceClear();
    kp::scenario::Options o;
    o.Seconds = 1;
    auto r = kp::scenario::Run(o);
    ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
    ULONG reads = 0;
    for (auto& e : KpIoTraceEntries())
        reads += e.IoControlCode == static_cast<ULONG>(IOCTL_KS_READ_STREAM);
    EXPECT_GE(reads, r.ReadsCompleted);
    auto e = kp::scenario::MeasureEcho(r.Played, r.PlayRate, r.Captured, r.CaptureRate);
    EXPECT_NEAR(e.DelayMs, 40.0, 0.1);
}
#endif

}  // namespace
}  // namespace kp::simtest
