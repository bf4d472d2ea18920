// Echowell.sys loaded from a machine folder as the camera's upper filter:
// every symbol resolved inside the image, its master load and unload through
// the stand-in's PnP manager, pins opened and streamed by an application, and
// a machine that shuts down with nothing left behind.
#include <chrono>
#include <thread>

#include "kp/machinetest.h"
#include "SavedRegistry.h"
#include "kp/clock.h"
#include "kp/pnp.h"

namespace {

class EchowellImageTest : public kp::testing::MachineTest {};

// Streams `seconds` of 10 ms requests through the pin, advancing the clock.
void Stream(kp::ks::KsPin* pin, bool write, int seconds) {
    std::vector<uint8_t> data(320, 0x11);
    for (int i = 0; i < seconds * 100; ++i) {
        std::shared_ptr<kp::ks::StreamRequest> r;
        NTSTATUS status =
            pin->Submit(write, {{320, write ? 320u : 0u, write ? data.data() : nullptr}},
                        sizeof(KSSTREAM_HEADER), &r);
        ASSERT_TRUE(status == STATUS_PENDING || status == STATUS_SUCCESS) << std::hex << status;
        // While the canceller runs, a render request completes 70 ms later
        // (the hold-back goes down ahead of it): advance until it is played.
        KpClockAdvance(KpMs(10));
        for (int k = 0; k < 100 && !r->Done(); ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!r->Done()) KpClockAdvance(KpMs(10));
        }
        r->Wait();
        ASSERT_EQ(r->Status(), STATUS_SUCCESS);
    }
}

TEST_F(EchowellImageTest, LoadsFromTheMachineFolderRunsAndLeavesNothingBehind) {
    UseDriverImage("Echowell", ECHOWELL_IMAGE);
    auto devices = kp::machine::DefaultDevices();
    devices[0].UpperFilters = {"Echowell"};
    devices[0].DriverOptions = {{"ZAECAudioFilterMaster", 1}};
    devices[0].CaptureSource = "sine";
    BootMachine(devices);
    ASSERT_NE(FilterDevice(devices[0].Instance, "Echowell"), nullptr);
    ASSERT_NE(FilterDevice(devices[1].Instance, "Echowell"), nullptr) << "the slave is hooked";

    kp::ks::KsFilter capture, render;
    OpenFilter(&capture, KSCATEGORY_CAPTURE);
    OpenFilter(&render, KSCATEGORY_RENDER);
    kp::ks::KsPin mic, speaker;
    ASSERT_EQ(mic.Create(capture, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
    ASSERT_EQ(speaker.Create(render, 0, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
    ASSERT_EQ(mic.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(speaker.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Stream(&mic, false, 1);
    Stream(&speaker, true, 1);
    ASSERT_EQ(mic.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(speaker.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    mic.Close();
    speaker.Close();
    capture.Close();
    render.Close();

    // The master's unload destroyed the echo canceller, which keeps its
    // parameters in the camera's driver key: the saved registry has them.
    std::string error;
    ASSERT_TRUE(kp::machine::Shutdown(&error)) << error;
    zvecho::ExpectCancellerParametersSaved(zvecho::ReadSavedRegistry(folder_));
}

}  // namespace
