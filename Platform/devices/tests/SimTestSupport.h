// A machine with simulated audio devices for each test, on a manual clock.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KsClient.h"
#include "Scenario.h"
#include "kp/machine.h"
#include "kp/machinetest.h"
#include "kp/pnp.h"

namespace kp::simtest {

inline constexpr char kFullDevice[] = "USB\\VID_1234&PID_5678\\1";

// The test kit's machine, with one "full" device unless a test names others.
class SimTest : public kp::testing::MachineTest {
protected:
    // Boots a machine with these devices (default: one "full" device with a ramp capture).
    void Boot(std::vector<kp::machine::SimDevice> devices = {}, const std::string& extra = "");
    static std::shared_ptr<kp::sim::SimAudioDevice> Device(
        const std::string& instance = kFullDevice) {
        return MachineTest::Device(instance);
    }
    // Opens the first filter of the category.
    static void OpenFilter(kp::ks::KsFilter* filter, const GUID& category = KSCATEGORY_AUDIO) {
        MachineTest::OpenFilter(filter, category);
    }
    // Runs Seconds of noise through a 100 ms echo path with the loudspeaker's,
    // then the microphone's clock Ppm fast and slow; expects the echo in the
    // recording to start at 100 ms and slide by Ppm us a second, later when
    // the microphone is the faster.
    void ExpectEchoSlide(LONG ppm, double seconds);
};

// A kernel client's synchronous property GET of one ULONG on the handle's file
// object (referenced for the call); Returned gets the byte count.
NTSTATUS KernelGetUlong(HANDLE handle, const void* property, ULONG propertySize, ULONG* value,
                        ULONG* returned);

// A file's whole content ("" when it cannot be read).
std::string ReadFileText(const std::filesystem::path& path);

kp::machine::SimDevice FullDevice(const std::string& room = "dev",
                                  const std::string& source = "ramp");

// A loudspeaker ("spk") and a camera microphone ("cam") with their clocks'
// offsets in parts per million.
std::vector<kp::machine::SimDevice> SpeakerAndCamera(LONG speakerPpm = 0, LONG cameraPpm = 0);

// White noise of 0.17 RMS, never repeating within Count samples.
std::vector<float> Noise(size_t count);

// The echo delay over one second of the recording from At seconds on: the
// played far end is taken from Lead ms earlier, so the lag found is the delay
// less the lead.
double DelayMsAt(const kp::scenario::Result& r, double at, double leadMs);

}  // namespace kp::simtest
