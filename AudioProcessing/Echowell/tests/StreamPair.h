// A machine test with the two pins an application pair opens on the default
// machine: the camera's capture pin and the sound card's render pin, 16 kHz
// mono.
#pragma once

#include <gtest/gtest.h>

#include "DrvMain.h"
#include "EchowellLogic.h"
#include "KsClient.h"
#include "MachineFixture.h"

namespace zvecho {

class StreamPairTest : public zvtest::MachineTest {
protected:
    void OpenPins() {
        OpenFilter(&captureFilter_, KSCATEGORY_CAPTURE);
        OpenFilter(&renderFilter_, KSCATEGORY_RENDER);
        ASSERT_EQ(mic_.Create(captureFilter_, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
        ASSERT_EQ(speaker_.Create(renderFilter_, 0, kp::ks::PcmFormat(16000, 16, 1)),
                  STATUS_SUCCESS);
    }
    void ClosePins() {
        mic_.Close();
        speaker_.Close();
        captureFilter_.Close();
        renderFilter_.Close();
    }

    kp::ks::KsFilter captureFilter_, renderFilter_;
    kp::ks::KsPin mic_, speaker_;
};

// The default machine with Echowell over the camera (master by its option),
// the framework in-process, and the two pins open.
class EchowellPairTest : public StreamPairTest {
protected:
    void SetUp() override {
        StreamPairTest::SetUp();
        g_bFilterLoaded = 1;  // as a freshly loaded image holds it
        UseBuiltinDriver("Echowell", DriverEntry);
        auto devices = kp::machine::DefaultDevices();
        devices[0].UpperFilters = {"Echowell"};
        devices[0].DriverOptions = {{"ZAECAudioFilterMaster", 1}};
        BootMachine(devices);
        if (HasFatalFailure()) return;
        OpenPins();
    }
    void TearDown() override {
        if (mic_.Handle() != nullptr) (void)mic_.SetState(KSSTATE_STOP);
        if (speaker_.Handle() != nullptr) (void)speaker_.SetState(KSSTATE_STOP);
        ClosePins();
        StreamPairTest::TearDown();
    }
};

}  // namespace zvecho
