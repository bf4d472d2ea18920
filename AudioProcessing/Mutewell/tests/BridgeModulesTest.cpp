// The audio source and sink modules against the simulated master device: the
// stream states as the device sees them, the property rules, the captured
// data in order, a stalled capture answered with silence within the bound,
// and failed opens that leave nothing behind.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "BridgeFixture.h"
#include "CKAUDPASrc.h"
#include "ZDebug.h"
#include "ZvStatus.h"
#include "kp/dbgsink.h"

namespace zvbridge {
namespace {

class BridgeModuleTest : public BridgeTest {
protected:
    template <class Module>
    Module* Make() {
        ULONG status = 1;
        auto* module = new Module(nullptr, ZvFourCC("ZSAM"), &status);
        EXPECT_EQ(status, ZV_OK);
        EXPECT_EQ(module->SetDevices(m_pdo, m_lower), ZV_OK);
        EXPECT_EQ(module->SetPropertyDword(Module::kPropRate, 8000), ZV_OK);
        EXPECT_EQ(module->SetPropertyDword(Module::kPropLength, 50), ZV_OK);
        return module;
    }
    kp::sim::PinRecord Record(ULONG pinId) {
        kp::sim::PinRecord last;
        for (const auto& r : m_device->PinRecords())
            if (r.PinId == pinId) last = r;
        return last;
    }
};

TEST_F(BridgeModuleTest, TheSinksStatesAreWhatTheDeviceSees) {
    BootMaster();
    CKAUDPASnk* sink = Make<CKAUDPASnk>();
    ASSERT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropChannels, 1), ZV_OK);
    // START on a stopped module fails and leaves it stopped.
    EXPECT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropState, STATE_START), ZV_FAILED);
    EXPECT_EQ(sink->StreamState(), STATE_STOP);

    ASSERT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropState, STATE_PAUSE), ZV_OK);
    ASSERT_NE(sink->Pin(), nullptr);
    EXPECT_EQ(sink->Pin()->GetCircBuff()->Size(), 800u) << "5 x 160 bytes";
    EXPECT_EQ(m_device->OpenPinCount(), 1u);
    ASSERT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropState, STATE_START), ZV_OK);
    // The sink's thread runs the pin once its first eight requests are
    // filled from the ring.
    UCHAR piece[160] = {};
    for (int i = 0; i < 8; ++i) {
        AdvanceWhile(
            [&] { EXPECT_EQ(sink->SubmitPinData(0, piece, 160, nullptr, 0, nullptr), 0u); },
            [] { return true; });
    }
    // A write whose bounded wait ran out under load drops its piece: keep
    // feeding until the ring has held the eight the thread starts on.
    for (int i = 0; i < 200 && Record(0).States.size() < 3; ++i)
        AdvanceWhile([&] { (void)sink->SubmitPinData(0, piece, 160, nullptr, 0, nullptr); },
                     [] { return true; });
    WaitUntil([&] { return Record(0).States.size() == 3; }, "the pin runs");
    EXPECT_EQ(Record(0).States, (std::vector<KSSTATE>{KSSTATE_STOP, KSSTATE_PAUSE, KSSTATE_RUN}));
    ASSERT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropState, STATE_PAUSE), ZV_OK);
    EXPECT_NE(sink->Pin(), nullptr) << "a pause keeps the pin";
    EXPECT_FALSE(sink->Pin()->IsRunning());
    ASSERT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropState, STATE_STOP), ZV_OK);
    EXPECT_EQ(sink->Pin(), nullptr);
    EXPECT_EQ(m_device->OpenPinCount(), 0u);
    EXPECT_EQ(m_device->OpenFilterCount(), 0u);
    EXPECT_TRUE(Record(0).Closed);
    EXPECT_EQ(Record(0).States.back(), KSSTATE_STOP);
    delete sink;
}

TEST_F(BridgeModuleTest, PropertiesFollowTheirRules) {
    BootMaster();
    CKAUDPASrc* source = Make<CKAUDPASrc>();
    UCHAR value[16] = {};
    ULONG size = sizeof value;
    PVOID pointer = nullptr;
    ULONG pointerSize = sizeof pointer;
    ULONG word = 0;
    EXPECT_EQ(source->GetProperty(CKAUDPASrc::kPropValue16, value, &size), ZV_NOT_READY);
    EXPECT_EQ(source->SetProperty(CKAUDPASrc::kPropValue16, value, 16), ZV_NOT_READY);
    EXPECT_EQ(source->SetPropertyDword(CKAUDPASrc::kPropRateValue, 5), ZV_NOT_READY);
    EXPECT_EQ(source->SetPropertyDword(0, 7), ZV_FAILED) << "read-only";
    EXPECT_EQ(source->SetPropertyDword(10, 7), ZV_FAILED) << "unknown";
    // The device objects are whole pointers; a 4-byte buffer is too small.
    EXPECT_EQ(source->SetProperty(CKAUDPASrc::kPropPdo, &word, sizeof word), ZV_BUFFER_TOO_SMALL);
    ASSERT_EQ(source->GetProperty(CKAUDPASrc::kPropPdo, &pointer, &pointerSize), ZV_OK);
    EXPECT_EQ(pointer, m_pdo);
    EXPECT_EQ(source->GetPropertyDword(CKAUDPASrc::kPropLower, &word), ZV_BUFFER_TOO_SMALL);
    const ULONG roundTrips[][2] = {
        {CKAUDPASrc::kPropBits, 16}, {CKAUDPASrc::kPropRate, 8000}, {CKAUDPASrc::kPropLength, 30}};
    for (const auto& r : roundTrips) {
        ASSERT_EQ(source->SetPropertyDword(r[0], r[1]), ZV_OK);
        ASSERT_EQ(source->GetPropertyDword(r[0], &word), ZV_OK);
        EXPECT_EQ(word, r[1]);
    }
    ASSERT_EQ(source->SetPropertyDword(CKAUDPASrc::kPropState, STATE_PAUSE), ZV_OK);
    EXPECT_EQ(source->SetProperty(CKAUDPASrc::kPropValue16, value, 8), ZV_BUFFER_TOO_SMALL);
    std::memset(value, 0x5A, sizeof value);
    EXPECT_EQ(source->SetProperty(CKAUDPASrc::kPropValue16, value, 16), ZV_OK);
    UCHAR back[16] = {};
    size = sizeof back;
    ASSERT_EQ(source->GetProperty(CKAUDPASrc::kPropValue16, back, &size), ZV_OK);
    EXPECT_EQ(std::memcmp(back, value, 16), 0);
    // A read while paused is refused.
    UCHAR data[160];
    EXPECT_EQ(source->SubmitPinData(0, nullptr, 0, data, sizeof data, nullptr), ZV_NOT_READY);
    delete source;  // closes the open stream
    EXPECT_EQ(m_device->OpenPinCount(), 0u);
}

// The source hands on the device's captured bytes in order; when the device
// stops completing, a read returns after the bound with silence.
TEST_F(BridgeModuleTest, TheSourceReadsInOrderAndAStalledCaptureGivesSilence) {
    BootMaster();
    CKAUDPASrc* source = Make<CKAUDPASrc>();
    ASSERT_EQ(source->SetPropertyDword(CKAUDPASrc::kPropState, STATE_PAUSE), ZV_OK);
    ASSERT_EQ(source->SetPropertyDword(CKAUDPASrc::kPropState, STATE_START), ZV_OK);
    m_pin = source->Pin();
    Step();
    // The device's ramp, in order, apart from the frames the ring's steering
    // inserted or dropped.  A read whose bounded wait ran out under load
    // (the clock advances while the capture thread is not scheduled) ends in
    // silence, or fails when nothing came: read on until one finds the stream
    // flowing.
    UCHAR first[160];
    ULONG result = ZV_FAILED;
    ULONG inOrder = 0;
    for (int attempt = 0; attempt < 50 && (result != ZV_OK || inOrder < 140); ++attempt) {
        AdvanceWhile([&] { result = source->SubmitPinData(0, nullptr, 0, first, 160, nullptr); },
                     [] { return true; });
        inOrder = 0;
        for (ULONG i = 1; i < 160; ++i) inOrder += first[i] == kp::sim::RampByte(first[i - 1] + 1);
    }
    ASSERT_EQ(result, ZV_OK);
    EXPECT_GE(inOrder, 140u);

    // Every later read request is held; drain what is buffered.
    kp::sim::Fault hold;
    hold.IoControl = IOCTL_KS_READ_STREAM;
    hold.NeverComplete = true;
    hold.Nth = 1;
    for (int i = 0; i < 64; ++i) m_device->AddFault(hold);
    for (int i = 0; i < 12; ++i) kp::sim::StepMachine(10, 2000);
    UCHAR data[160];
    for (int i = 0; i < 20 && result == ZV_OK; ++i) {
        std::memset(data, 0x77, sizeof data);
        std::atomic<bool> done{false};
        std::thread reader([&] {
            result = source->SubmitPinData(0, nullptr, 0, data, sizeof data, nullptr);
            done = true;
        });
        // The clock moves 1 ms at a time while the read waits in the kernel,
        // at most 100 ms: a read that waits longer has no bound.  (Moved by
        // host time, it could run out before a slow host's reader began.)
        (void)kp::sim::AdvanceWhileResting([&] { return done.load(); }, true, 100);
        WaitUntil([&] { return done.load(); }, "the read returns within its bound");
        if (!done) source->Pin()->GetCircBuff()->Flush();  // let it go
        reader.join();
    }
    EXPECT_EQ(result, ZV_FAILED) << "nothing came within the bound";
    for (UCHAR b : data) ASSERT_EQ(b, 0);
    m_pin = nullptr;
    ASSERT_EQ(source->SetPropertyDword(CKAUDPASrc::kPropState, STATE_STOP), ZV_OK);
    m_device->ReleaseHeld(STATUS_CANCELLED);
    delete source;
}

// A pin create the device refuses, and a filter name nothing registers:
// the module stays stopped with nothing open.
TEST_F(BridgeModuleTest, AFailedOpenLeavesNothingAndTheOldState) {
    BootMaster();
    CKAUDPASnk* sink = Make<CKAUDPASnk>();
    kp::sim::Fault refuse;
    refuse.Major = IRP_MJ_CREATE;
    refuse.PinId = 0;
    m_device->AddFault(refuse);
    KpDbgClear();
    LogModule<LogModuleFilterLogic>::ModuleSetLevel(1, 1);
    EXPECT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropState, STATE_PAUSE), ZV_FAILED);
    LogModule<LogModuleFilterLogic>::ModuleSetLevel(0, 0);
    EXPECT_NE(KpDbgText().find("CreatePin>> Failed to instantiate Capture/Render Pin "),
              std::string::npos);
    EXPECT_EQ(sink->StreamState(), STATE_STOP);
    EXPECT_EQ(sink->Pin(), nullptr);
    EXPECT_EQ(m_device->OpenFilterCount(), 0u);
    EXPECT_EQ(m_device->OpenPinCount(), 0u);
    // Bits the pin cannot take: the format is refused at create.
    ASSERT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropBits, 24), ZV_OK);
    EXPECT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropState, STATE_PAUSE), ZV_FAILED);
    EXPECT_EQ(m_device->OpenFilterCount(), 0u);
    // A buffer length of 0 ms: no ring can be made, and the open fails whole.
    ASSERT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropBits, 16), ZV_OK);
    ASSERT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropLength, 0), ZV_OK);
    EXPECT_EQ(sink->SetPropertyDword(CKAUDPASnk::kPropState, STATE_PAUSE), ZV_FAILED);
    EXPECT_EQ(sink->StreamState(), STATE_STOP);
    EXPECT_EQ(sink->Pin(), nullptr);
    EXPECT_EQ(m_device->OpenPinCount(), 0u);
    delete sink;
}

}  // namespace
}  // namespace zvbridge
