// The default machine for tests of the gain control: the private property
// set on the camera's filter, a steady tone at the camera, starts that wait
// for the mode's preset, and what the camera's volume node and capture show.
#pragma once

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "StreamPair.h"

namespace zvecho {

class AgcMachineTest : public EchowellPairTest {
public:
    static constexpr LONG kPreset = 3537609;  // mode 1's starting volume, the camera's unity
    static inline const std::string kCamera = kp::machine::DefaultDevices()[0].Instance;

protected:
    NTSTATUS Control(ULONG id, ULONG flags, ULONG* value, ULONG* returned = nullptr) {
        KSPROPERTY p{KSPROPSETID_AecControl, id, flags};
        ULONG ignored = 0;
        return captureFilter_.Property(&p, sizeof p, value, sizeof *value,
                                       returned != nullptr ? returned : &ignored);
    }
    void SetControl(ULONG id, ULONG value) {
        ASSERT_EQ(Control(id, KSPROPERTY_TYPE_SET, &value), STATUS_SUCCESS);
    }
    // A steady 500 Hz tone at the camera (`amplitude` of full scale), and no
    // far-end speech.
    static void LoudNearEnd(double amplitude) {
        kp::sim::NearEnd n;
        n.Device = Device(kCamera)->RoomName();
        for (int i = 0; i < 32; ++i)
            n.Samples.push_back(static_cast<float>(std::sin(M_PI * i / 16)));
        n.Gain = amplitude;
        kp::sim::RoomSetNearEnd(n);
    }
    // Starts the canceller; a mode with a preset has sent it when this returns.
    void Start() {
        Device(kCamera)->ClearRequests();
        ASSERT_EQ(mic_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(speaker_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(InterlockedOr(&g_bAecActive, 0), 1);
        ULONG mode = 0;
        ASSERT_EQ(Control(10, KSPROPERTY_TYPE_GET, &mode), STATUS_SUCCESS);
        if (mode == 0 || mode == 2 || mode >= 7) return;
        // The processing thread sends it before its first pass.
        for (int i = 0; i < 10000 && VolumeSets().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_FALSE(VolumeSets().empty()) << "the start sent the preset";
    }
    // The camera's volume sets since the start, completed.
    static std::vector<kp::sim::RequestRecord> VolumeSets() {
        std::vector<kp::sim::RequestRecord> sets;
        for (const kp::sim::RequestRecord& r : Device(kCamera)->Requests()) {
            if (r.IsProperty && r.Set == KSPROPSETID_Audio &&
                r.Id == KSPROPERTY_AUDIO_VOLUMELEVEL && (r.Flags & KSPROPERTY_TYPE_SET) != 0 &&
                r.Status != STATUS_PENDING)
                sets.push_back(r);
        }
        return sets;
    }
    // RMS of 10 ms blocks [first, last) of what the camera delivered.
    static double CapturedRms(size_t first, size_t last) {
        std::vector<uint8_t> bytes = Device(kCamera)->PinRecords().back().Captured;
        double sum = 0;
        size_t n = 0;
        for (size_t i = first * 160; i < last * 160 && (i + 1) * 2 <= bytes.size(); ++i, ++n) {
            SHORT s;
            std::memcpy(&s, &bytes[i * 2], 2);
            sum += static_cast<double>(s) * s;
        }
        return n != 0 ? std::sqrt(sum / static_cast<double>(n)) : 0;
    }
    static LONG CameraVolume() { return Device(kCamera)->VolumeLevel(0); }

    const std::vector<uint8_t> silence_ = std::vector<uint8_t>(320, 0);
};

}  // namespace zvecho
