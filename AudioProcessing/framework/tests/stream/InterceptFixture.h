// A machine with one simulated "full" audio device (render pin 0, capture pin
// 1 with a ramp source) under the framework built with the stream test logic
// as its upper filter and master, processing on, on a manual clock.  The
// application side is the KS client, as a user-mode program.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CGenDisp.h"
#include "KsClient.h"
#include "kp/machinetest.h"
#include "StreamLogic.h"
#include "kp/simaudio.h"

namespace zvstream {

inline constexpr char kDevice[] = "USB\\VID_1234&PID_5678\\1";

class InterceptTest : public kp::testing::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Boots the machine; pins: optional pin table for the device before any open.
    void Boot(const std::vector<kp::sim::PinConfig>* pins = nullptr, bool master = true);
    std::shared_ptr<kp::sim::SimAudioDevice> Device() { return MachineTest::Device(kDevice); }
    CGenDisp* GenDisp();
    void OpenFilter(kp::ks::KsFilter* filter) { MachineTest::OpenFilter(filter); }
    // The requests of a kind the device saw.
    std::vector<kp::sim::RequestRecord> DeviceRequests(UCHAR major, ULONG ioControl = 0) {
        return MachineTest::DeviceRequests(kDevice, major, ioControl);
    }

    PDEVICE_OBJECT pdo_ = nullptr;
};

std::vector<uint8_t> Offer(ULONG minRate, ULONG maxRate, ULONG minBits, ULONG maxBits,
                           ULONG maxChannels);

}  // namespace zvstream
