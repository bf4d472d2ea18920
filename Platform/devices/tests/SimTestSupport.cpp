#include "SimTestSupport.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include "kp/dbgsink.h"
#include "kp/io.h"

namespace kp::simtest {

namespace fs = std::filesystem;

std::string ReadFileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

kp::machine::SimDevice FullDevice(const std::string& room, const std::string& source) {
    kp::machine::SimDevice d;
    d.Instance = kFullDevice;
    d.Profile = "full";
    d.RoomName = room;
    d.Description = "Simulated audio device";
    d.CaptureSource = source;
    return d;
}

std::vector<kp::machine::SimDevice> SpeakerAndCamera(LONG speakerPpm, LONG cameraPpm) {
    kp::machine::SimDevice speaker, camera;
    speaker.Instance = "PCI\\VEN_1111&DEV_2222\\1";
    speaker.Profile = "speaker";
    speaker.RoomName = "spk";
    speaker.Description = "speaker";
    speaker.ClockOffsetPpm = speakerPpm;
    camera.Instance = "USB\\VID_3333&PID_4444\\2";
    camera.Profile = "camera";
    camera.RoomName = "cam";
    camera.Description = "camera";
    camera.ClockOffsetPpm = cameraPpm;
    return {speaker, camera};
}

std::vector<float> Noise(size_t count) {
    std::vector<float> out(count);
    uint32_t seed = 1;
    for (float& v : out) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(seed >> 8) / 16777216.0f * 0.6f - 0.3f;
    }
    return out;
}

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

void SimTest::ExpectEchoSlide(LONG ppm, double seconds) {
    const double rate = ppm / 1000.0;  // ms a second
    struct Case {
        LONG SpeakerPpm, CameraPpm;
        double MsPerSecond;
    } cases[] = {{ppm, 0, -rate}, {-ppm, 0, rate}, {0, ppm, rate}, {0, -ppm, -rate}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.SpeakerPpm << " " << c.CameraPpm);
        Boot(SpeakerAndCamera(c.SpeakerPpm, c.CameraPpm),
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room\\Paths\\0]\r\n\"From\"=\"spk\"\r\n"
             "\"To\"=\"cam\"\r\n\"DelayMs\"=dword:00000064\r\n\"GainPermille\"=dword:000001f4\r\n"
             "\"TailMs\"=dword:00000014\r\n\r\n");
        kp::scenario::Options o;
        o.Seconds = seconds;
        // Noise, not the chirp: a chirp's peak moves with its time scale.
        o.FarEnd = Noise(static_cast<size_t>((seconds + 1) * o.FarRate));
        auto r = kp::scenario::Run(o);
        ASSERT_EQ(r.Status, STATUS_SUCCESS) << r.Error;
        ASSERT_GT(r.Captured.size(), (seconds - 0.5) * r.CaptureRate);
        // Each window's delay is the one at its middle, about a second in and
        // a second and a half before the end.
        double early = DelayMsAt(r, 0.5, 60), late = DelayMsAt(r, seconds - 1.5, 60);
        EXPECT_NEAR(early, 100.0 + c.MsPerSecond, 0.5);
        EXPECT_NEAR((late - early) / (seconds - 2), c.MsPerSecond, 0.1 * std::abs(c.MsPerSecond));
        TearDown();
        SetUp();
    }
}

void SimTest::Boot(std::vector<kp::machine::SimDevice> devices, const std::string& extra) {
    if (devices.empty()) devices.push_back(FullDevice());
    BootMachine(devices, extra);
}

NTSTATUS KernelGetUlong(HANDLE handle, const void* property, ULONG propertySize, ULONG* value,
                        ULONG* returned) {
    PFILE_OBJECT file;
    NTSTATUS status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode,
                                                reinterpret_cast<PVOID*>(&file), nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = KsSynchronousIoControlDevice(file, KernelMode, IOCTL_KS_PROPERTY,
                                          const_cast<void*>(property), propertySize, value,
                                          value ? sizeof *value : 4, returned);
    ObDereferenceObject(file);
    return status;
}

}  // namespace kp::simtest
