// A machine test with the two pins an application pair opens on the default
// machine: the camera's capture pin and the sound card's render pin, 16 kHz
// mono.
#pragma once

#include <gtest/gtest.h>

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

}  // namespace zvecho
