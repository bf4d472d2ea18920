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
        Boot(SpeakerAndCamera(speakerPpm, cameraPpm), room);
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

// Two clocks apart move the echo against what was played: p ppm, p us a
// second, later when the microphone's clock is the faster one.  A window's
// measured delay moves by a few frames from run to run (the applications'
// requests fall differently against the stepped clock), so the slide is
// taken over ten seconds, where that is a few percent of it.
TEST_F(RoomTest, ClocksApartMoveTheEchoAtTheirOffsetsRate) {
    ExpectEchoSlide(1000, 12);
}

// The path's impulse response from DelayMs on, Taps long, estimated from a
// recording of white noise (equal rates, no drift).
std::vector<double> Response(const kp::scenario::Result& r, double delayMs, size_t taps) {
    auto delay = static_cast<size_t>(delayMs * r.CaptureRate / 1000);
    size_t n = std::min(r.Played.size(), r.Captured.size());
    double xx = 0;
    for (size_t i = 0; i < n; ++i) xx += static_cast<double>(r.Played[i]) * r.Played[i];
    std::vector<double> h(taps);
    for (size_t k = 0; k < taps; ++k) {
        double xy = 0;
        for (size_t i = delay + k; i < n; ++i)
            xy += static_cast<double>(r.Captured[i]) * r.Played[i - delay - k];
        h[k] = xy / xx;
    }
    return h;
}

double EnergyDb(const std::vector<double>& h, size_t from, size_t to) {
    double e = 0;
    for (size_t k = from; k < to; ++k) e += h[k] * h[k];
    return 10 * std::log10(e);
}

// The reverberation's strength and decay as the path's values set them, and
// today's quarter of the direct energy where they are absent.
TEST_F(RoomTest, TheTailHasTheDirectToReverberantRatioAndDecayItIsGiven) {
    struct Case {
        const char* Values;
        double DrrDb, DbPer25Ms;
    } cases[] = {
        // TailDecayMs 8 alone: 27 dB in 25 ms, below what the estimate resolves.
        {"", 6.02, NAN},
        {"\"DirectToReverbCentiDb\"=dword:fffffda8\r\n\"Rt60Ms\"=dword:0000012c\r\n", -6.0, 5.0},
        {"\"DirectToReverbCentiDb\"=dword:0000012c\r\n\"Rt60Ms\"=dword:000000c8\r\n", 3.0, 7.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Values);
        std::string room = Path(50, 250, 120);
        room.insert(room.size() - 2, std::string("\"TailDecayMs\"=dword:00000008\r\n") + c.Values);
        BootRoom(room);
        kp::scenario::Options o;
        o.Seconds = 4;
        o.FarEnd = Noise(5 * o.FarRate);
        auto r = kp::scenario::Run(o);
        ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
        auto h = Response(r, 50, 16 * 120);
        EXPECT_NEAR(h[0], 0.25, 0.01);
        EXPECT_NEAR(EnergyDb(h, 0, 1) - EnergyDb(h, 1, h.size()), c.DrrDb, 0.7);
        // Two 25 ms blocks of the tail, the second weaker by the decay.
        if (!std::isnan(c.DbPer25Ms)) {
            EXPECT_NEAR(EnergyDb(h, 1, 401) - EnergyDb(h, 401, 801), c.DbPer25Ms,
                        0.1 * c.DbPer25Ms);
        }
        TearDown();
        SetUp();
    }
}

// Changes at given machine times: a path's delay and gain change, another
// path appears, the first goes; the recording shows each from its time on.
TEST_F(RoomTest, PathsChangeAppearAndGoAtTheirTimes) {
    // Timed from the machine's boot, which the run follows at once.
    auto change = [](const char* name, double atMs, const char* path, const std::string& values) {
        char head[200];
        std::snprintf(head, sizeof head,
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room\\Changes\\%s]\r\n"
                      "\"AtMs\"=dword:%08x\r\n\"Path\"=\"%s\"\r\n",
                      name, static_cast<ULONG>(atMs), path);
        return head + values + "\r\n";
    };
    BootRoom(Path(40, 500, 0) +
             change("a", 1500, "0",
                    "\"DelayMs\"=dword:00000096\r\n\"GainPermille\"=dword:000000c8\r\n") +
             change("c", 3000, "0", "\"Remove\"=dword:00000001\r\n") +
             change("b", 2500, "late",
                    "\"From\"=\"spk\"\r\n\"To\"=\"cam\"\r\n\"DelayMs\"=dword:0000012c\r\n"));
    kp::scenario::Options o;
    o.Seconds = 4.5;
    o.FarEnd = Noise(5 * o.FarRate);
    auto r = kp::scenario::Run(o);
    ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
    auto window = [&](double from, double to) {
        auto slice = [&](const std::vector<float>& v, double a, double b) {
            return std::vector<float>(v.begin() + static_cast<long>(a * r.CaptureRate),
                                      v.begin() + static_cast<long>(b * r.CaptureRate));
        };
        return kp::scenario::MeasureEcho(slice(r.Played, from, to), r.PlayRate,
                                         slice(r.Captured, from, to), r.CaptureRate, 400);
    };
    auto before = window(0.6, 1.4), changed = window(1.7, 2.4), late = window(3.2, 4.4);
    EXPECT_NEAR(before.DelayMs, 40, 0.1);
    EXPECT_NEAR(before.Gain, 0.5, 0.01);
    EXPECT_NEAR(changed.DelayMs, 150, 0.1);
    EXPECT_NEAR(changed.Gain, 0.2, 0.01);
    EXPECT_NEAR(late.DelayMs, 300, 0.1);
    EXPECT_NEAR(late.Gain, 0.3, 0.01) << "a new path takes the defaults it is not given";
    EXPECT_GT(late.Correlation, 0.99) << "the first path is gone";
    EXPECT_EQ(kp::sim::RoomChangeTimesMs().size(), 3u);
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
