// The bridge's life on a booted machine, where it begins and ends: the switch
// turned off while the bridge's requests complete, slave pins that skip
// PAUSE or close while running, and the camera pulled out while a control
// application switches the bridge and processing.  The camera ("full",
// filter "global") is master with Mutewell above it; the sound card is
// hooked as slave; the framework runs in-process as the built-in driver.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <functional>
#include <random>
#include <thread>

#include "CKAUDPASrc.h"
#include "CKsFilter.h"
#include "CircBuff.h"
#include "FrameworkTesting.h"
#include "kp/machinetest.h"
#include "kp/restingclock.h"
#include "MutewellLogic.h"
#include "kp/pnp.h"
#include "kp/simaudio.h"

#ifndef ZV_LIFECYCLE_ROUNDS
#define ZV_LIFECYCLE_ROUNDS 4
#endif

// The completion routine of a stream request, held once at its exit (after
// its signal, before its last touch of the transfer object) when armed and
// called on a thread that neither moves the clock nor switches the bridge
// off: until the switch-off has returned, or 200 ms of host time.  The switch-off then runs while
// the routine is still at work on its transfer object, as a routine preempted on another processor
// would be; a stop that did not wait for it frees the object under it every time.
namespace {
std::atomic<bool> g_holdNextSignal{false}, g_signalHeld{false}, g_switchedOff{false};
std::atomic<std::thread::id> g_switchingThread, g_clockThread;
}  // namespace
extern "C" LONG __real_BridgeSetEvent(PKEVENT event);
extern "C" LONG __wrap_BridgeSetEvent(PKEVENT event) {
    const LONG previous = __real_BridgeSetEvent(event);
    const auto self = std::this_thread::get_id();
    if (g_holdNextSignal.load() && self != g_switchingThread.load() &&
        self != g_clockThread.load() && g_holdNextSignal.exchange(false)) {
        g_signalHeld = true;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (!g_switchedOff && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return previous;
}

// A channel's release, held back when armed until the control work items
// queued before it have run, as a worker thread that gets there first on a
// busy host would.
namespace {
std::atomic<bool> g_holdRelease{false};
}  // namespace
extern "C" ZvStatus __real__Z14ReleaseChannelij(LONG channel, ULONG direction);
extern "C" ZvStatus __wrap__Z14ReleaseChannelij(LONG channel, ULONG direction) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (g_holdRelease.load() && g_ControlWorkItems.Count() != 0 &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    return __real__Z14ReleaseChannelij(channel, direction);
}

namespace {

const std::string kCamera = kp::machine::DefaultDevices()[0].Instance;
const std::string kCard = kp::machine::DefaultDevices()[1].Instance;

class MutewellLifecycleTest : public kp::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_bFilterLoaded = 1;  // as a freshly loaded image holds it
        UseBuiltinDriver("Mutewell", DriverEntry);
    }
    void TearDown() override {
        ClosePins();
        card_.Close();
        camera_.Close();
        MachineTest::TearDown();
    }
    void Boot() {
        auto devices = kp::machine::DefaultDevices();
        devices[0].Profile = "full";
        devices[0].FilterName = "global";
        devices[0].CaptureSource = "sine";
        devices[0].UpperFilters = {"Mutewell"};
        devices[0].DriverOptions = {{"ZSAMAudioFilterMaster", 1}};
        devices[1].Profile = "full";
        devices[1].CaptureSource = "ramp";
        BootMachine(devices);
        ASSERT_NE(FilterDevice(kCard, "Mutewell"), nullptr) << "the master hooks the card";
        ASSERT_EQ(card_.Open(KpPnpInterfaceLinks(Pdo(kCard), true).at(0)), STATUS_SUCCESS);
        OpenCamera();
    }
    void OpenCamera() {
        ASSERT_EQ(camera_.Open(KpPnpInterfaceLinks(Pdo(kCamera), true).at(0)), STATUS_SUCCESS);
        cameraDevice_ = Device(kCamera);
    }
    // The card's loudspeaker at 16 kHz stereo and its microphone at 16 kHz
    // mono, taken through `states`.
    void CreatePins(std::initializer_list<KSSTATE> states) {
        ASSERT_EQ(speaker_.Create(card_, 0, kp::ks::PcmFormat(16000, 16, 2)), STATUS_SUCCESS);
        ASSERT_EQ(mic_.Create(card_, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
        for (KSSTATE s : states) {
            ASSERT_EQ(speaker_.SetState(s), STATUS_SUCCESS);
            ASSERT_EQ(mic_.SetState(s), STATUS_SUCCESS);
        }
    }
    // Stops what is open and waits until every request is back, then closes.
    void ClosePins() {
        for (kp::ks::KsPin* pin : {&speaker_, &mic_})
            if (pin->IsOpen()) (void)pin->SetState(KSSTATE_STOP);
        Drain(0);
        speaker_.Close();
        mic_.Close();
    }
    // Runs `work` on a thread of its own while this one moves the clock
    // (a bounded wait in the logic needs machine time).  Without `caller` the
    // clock moves while `work` runs outside the kernel too (it waits there
    // for something the clock brings).
    static void Drive(const std::function<void()>& work, bool caller = true) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            work();
            done = true;
        });
        kp::testing::WaitResting([&] { return done.load(); }, caller,
                                 "a call into the driver never returned");
        worker.join();
    }
    NTSTATUS Set(kp::ks::KsFilter& filter, ULONG id, ULONG value) {
        NTSTATUS status = STATUS_PENDING;
        Drive(
            [&] { status = filter.SetProperty(KSPROPSETID_SwitchMute, id, &value, sizeof value); });
        return status;
    }
    NTSTATUS Set(ULONG id, ULONG value) { return Set(camera_, id, value); }
    // Blocks of 10 ms both ways: one 500 Hz render request and one capture
    // request a block, at most four of each kept queued.
    void Stream(int blocks) {
        for (int b = 0; b < blocks && !HasFatalFailure(); ++b) {
            std::vector<uint8_t> tone(160 * 4);
            for (ULONG i = 0; i < 160; ++i, ++toneFrames_) {
                const auto v = static_cast<SHORT>(9000 * std::sin(2 * M_PI * toneFrames_ / 32.0));
                for (ULONG c = 0; c < 4; c += 2) {
                    tone[i * 4 + c] = static_cast<uint8_t>(v);
                    tone[i * 4 + c + 1] = static_cast<uint8_t>(v >> 8);
                }
            }
            Drive([&] {
                std::shared_ptr<kp::ks::StreamRequest> write, read;
                const auto size = static_cast<ULONG>(tone.size());
                if (speaker_.IsOpen() &&
                    NT_SUCCESS(speaker_.Submit(true, {{size, size, tone.data()}},
                                               sizeof(KSSTREAM_HEADER), &write)))
                    queued_.push_back({write, false});
                if (mic_.IsOpen() && NT_SUCCESS(mic_.Submit(false, {{320, 0, nullptr}},
                                                            sizeof(KSSTREAM_HEADER), &read)))
                    queued_.push_back({read, true});
            });
            kp::sim::StepMachine(10, 2000);
            Drain(8);
        }
    }
    // Waits (moving the clock) until at most `left` requests are queued;
    // what the microphone's reads brought is kept in order.
    void Drain(size_t left) {
        while (queued_.size() > left) {
            auto [request, read] = queued_.front();
            kp::testing::WaitResting([&] { return request->Done(); }, false,
                                     "a stream request never came back");
            queued_.pop_front();
            if (read && request->Status() == STATUS_SUCCESS) {
                for (ULONG i = 0; i + 1 < request->DataUsed(0); i += 2)
                    captured_.push_back(
                        static_cast<SHORT>(request->Data(0)[i] | request->Data(0)[i + 1] << 8));
            }
        }
    }
    // The microphone's last `n` samples carry a signal (the camera's sine,
    // resampled), not silence and not the card's own ramp.
    bool MicHearsTheCamera(size_t n) {
        if (captured_.size() < n) return false;
        int peak = 0, rampSteps = 0;
        for (size_t i = captured_.size() - n; i < captured_.size(); ++i) {
            peak = std::max(peak, std::abs(static_cast<int>(captured_[i])));
            rampSteps += i > 0 && captured_[i] == static_cast<SHORT>(captured_[i - 1] + 0x0202);
        }
        return peak > 1000 && rampSteps < static_cast<int>(n / 2);
    }
    // The camera's pin records of one pin id (0 render, 1 capture).
    std::vector<kp::sim::PinRecord> CameraPinsOf(ULONG id) {
        std::vector<kp::sim::PinRecord> out;
        for (const auto& r : cameraDevice_->PinRecords())
            if (r.PinId == id) out.push_back(r);
        return out;
    }
    size_t CameraRenderedNonZero() {
        size_t n = 0;
        for (const auto& r : CameraPinsOf(0))
            for (uint8_t b : r.Rendered) n += b != 0;
        return n;
    }

    kp::ks::KsFilter card_, camera_;
    kp::ks::KsPin speaker_, mic_;
    std::shared_ptr<kp::sim::SimAudioDevice> cameraDevice_;
    std::deque<std::pair<std::shared_ptr<kp::ks::StreamRequest>, bool>> queued_;  // bool: a read
    std::vector<SHORT> captured_;
    ULONGLONG toneFrames_ = 0;
};

// The slow build's tests carry names of their own: CTest keeps one set of
// labels per test name, and the check leaves out what is labelled slow.
#ifdef ZV_LIFECYCLE_SLOW
class MutewellLifecycleLongTest : public MutewellLifecycleTest {};
#define ZV_LIFECYCLE_SUITE MutewellLifecycleLongTest
#define ZV_STREAM_LOSS_SUITE MasterStreamLossLongTest
#else
#define ZV_LIFECYCLE_SUITE MutewellLifecycleTest
#define ZV_STREAM_LOSS_SUITE MasterStreamLossTest
#endif

// Fresh pins each round, bridged for 200 ms and switched off while a request's
// completion routine is still at work: the stop frees no transfer object the
// routine uses (the sanitizer builds run this).
TEST_F(ZV_LIFECYCLE_SUITE, SwitchingOffWhileTheBridgesRequestsCompleteFreesNothingInUse) {
    Boot();
    for (int round = 0; round < ZV_LIFECYCLE_ROUNDS && !HasFatalFailure(); ++round) {
        SCOPED_TRACE(round);
        CreatePins({KSSTATE_PAUSE, KSSTATE_RUN});
        ASSERT_EQ(Set(KSPROPERTY_SWITCHMUTE_SWITCH, 1), STATUS_SUCCESS);
        ASSERT_EQ(cameraDevice_->OpenPinCount(), 2u) << "the bridge opened the camera's pins";
        const size_t before = CameraRenderedNonZero();
        Stream(20);
        EXPECT_GT(CameraRenderedNonZero(), before) << "the camera played the card's tone";
        // The camera keeps the next render request; a thread of the test's
        // completes it, and its routine is the one held.
        g_clockThread = std::this_thread::get_id();
        kp::sim::Fault keep;
        keep.IoControl = IOCTL_KS_WRITE_STREAM;
        keep.NeverComplete = true;
        cameraDevice_->AddFault(keep);
        Stream(3);
        NTSTATUS off = STATUS_PENDING;
        Drive(
            [&] {
                g_switchingThread = std::this_thread::get_id();
                g_signalHeld = false;
                g_switchedOff = false;
                g_holdNextSignal = true;
                std::thread completer([&] { cameraDevice_->ReleaseHeld(STATUS_SUCCESS); });
                const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (!g_signalHeld && std::chrono::steady_clock::now() < giveUp)
                    std::this_thread::yield();  // the clock runs meanwhile
                EXPECT_TRUE(g_signalHeld) << "no completion routine was held";
                ULONG zero = 0;
                off = camera_.SetProperty(KSPROPSETID_SwitchMute, KSPROPERTY_SWITCHMUTE_SWITCH,
                                          &zero, sizeof zero);
                g_switchedOff = true;
                completer.join();
            },
            false);
        g_holdNextSignal = false;
        ASSERT_EQ(off, STATUS_SUCCESS);
        EXPECT_EQ(cameraDevice_->OpenPinCount(), 0u);
        ClosePins();
    }
}

// A control application switches processing and the bridge on and off while
// the camera is pulled out, then the camera comes back: the unload runs with
// property requests in flight and the next master load under them; nothing
// freed is touched and every request returns.
TEST_F(ZV_LIFECYCLE_SUITE, PropertySetsRacingTheCamerasSurpriseRemovalTouchNothingFreed) {
    Boot();
    CreatePins({KSSTATE_PAUSE, KSSTATE_RUN});
    const std::u16string camera(kCamera.begin(), kCamera.end());
    std::mt19937 random(39);
    // Each round removes and adds the camera: a third of the rounds.
    const int rounds = std::max(ZV_LIFECYCLE_ROUNDS / 3, 4);
    for (int round = 0; round < rounds && !HasFatalFailure(); ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(Set(KSPROPERTY_SWITCHMUTE_SWITCH, 1), STATUS_SUCCESS);
        Stream(3);
        std::atomic<bool> stop{false};
        std::thread control([&, seed = random()] {
            std::mt19937 r(seed);
            while (!stop) {
                ULONG value = r() % 2;
                const ULONG id =
                    r() % 2 ? KSPROPERTY_SWITCHMUTE_SWITCH : KSPROPERTY_SWITCHMUTE_PROCESS;
                (void)camera_.SetProperty(KSPROPSETID_SwitchMute, id, &value, sizeof value);
            }
        });
        PDEVICE_OBJECT pdo = Pdo(kCamera);
        AdvanceMs(random() % 4);
        NTSTATUS removed = STATUS_PENDING;
        Drive([&] { removed = KpPnpSurpriseRemove(pdo); });
        Drive([&] {
            stop = true;
            control.join();
        });
        ASSERT_EQ(removed, STATUS_SUCCESS);
        EXPECT_EQ(g_bFilterLoaded, 0);
        Stream(2);  // the slave's streams go on without the bridge
        camera_.Close();
        Drive([&] { removed = KpPnpRemove(pdo); });
        ASSERT_EQ(removed, STATUS_SUCCESS);
        Drive([&] { removed = KpPnpAddDevice(camera, nullptr); });
        ASSERT_EQ(removed, STATUS_SUCCESS);
        ASSERT_EQ(g_bFilterLoaded, 1) << "the camera is master again";
        OpenCamera();
        ASSERT_EQ(Set(KSPROPERTY_SWITCHMUTE_PROCESS, 1), STATUS_SUCCESS);
    }
}

// The switch on before the card's pins exist; the pins then go from STOP
// straight to RUN (no PAUSE between): the bridge starts both directions.
TEST_F(ZV_LIFECYCLE_SUITE, SlavePinsGoingFromStopStraightToRunAreBridged) {
    Boot();
    ASSERT_EQ(Set(KSPROPERTY_SWITCHMUTE_SWITCH, 1), STATUS_SUCCESS);
    EXPECT_EQ(cameraDevice_->OpenPinCount(), 0u) << "nothing to bridge yet";
    CreatePins({KSSTATE_RUN});
    EXPECT_EQ(cameraDevice_->OpenPinCount(), 2u);
    EXPECT_EQ(g_bSinkStarted, 1);
    EXPECT_EQ(g_bSourceStarted, 1);
    Stream(30);
    EXPECT_GT(CameraRenderedNonZero(), 1000u) << "the card's loudspeaker reaches the camera";
    EXPECT_TRUE(MicHearsTheCamera(1600)) << "the card's microphone records the camera's";
}

// The card's pins closed while bridged and running, without a STOP: the
// camera's pins pause as a STOP would pause them (the bridge's streams end,
// the pins stay open for the next run), in both directions.
TEST_F(ZV_LIFECYCLE_SUITE, ClosingARunningSlavePinPausesItsBridge) {
    Boot();
    CreatePins({KSSTATE_PAUSE, KSSTATE_RUN});
    ASSERT_EQ(Set(KSPROPERTY_SWITCHMUTE_SWITCH, 1), STATUS_SUCCESS);
    Stream(10);
    // The pause the close queues may run before the close has released the
    // channel: it must still find the channel closed.
    g_holdRelease = true;
    speaker_.Close();
    mic_.Close();
    g_holdRelease = false;
    Drain(0);
    auto stopped = [&] {
        const auto records = cameraDevice_->PinRecords();
        return records.size() == 2 &&
               std::all_of(records.begin(), records.end(),
                           [](const auto& r) { return r.States.back() == KSSTATE_STOP; });
    };
    EXPECT_TRUE(kp::sim::AdvanceWhileResting(stopped, false, 1000))
        << "a closed pin's direction still streams to the camera";
    EXPECT_EQ(g_bSinkStarted, 0);
    EXPECT_EQ(g_bSourceStarted, 0);
    EXPECT_EQ(cameraDevice_->OpenPinCount(), 2u) << "a pause keeps the pins";
    // The next pins are bridged again.
    CreatePins({KSSTATE_PAUSE, KSSTATE_RUN});
    EXPECT_EQ(g_bSinkStarted, 1);
    EXPECT_EQ(g_bSourceStarted, 1);
}

// The camera's render stream answers as a device that is gone (unplugged,
// or its stack going away): the bridge's thread ends rather than sending
// again, and the ring is flushed, so that the slave's writes stop waiting
// for a reader that is gone.  The sink refuses every piece from then on, and
// the card's own loudspeaker still plays silence, not the raw stream.
class ZV_STREAM_LOSS_SUITE : public MutewellLifecycleTest,
                             public testing::WithParamInterface<NTSTATUS> {};

TEST_P(ZV_STREAM_LOSS_SUITE, TheBridgesStreamEndsAndItsRingIsFlushed) {
    Boot();
    CreatePins({KSSTATE_PAUSE, KSSTATE_RUN});
    ASSERT_EQ(Set(KSPROPERTY_SWITCHMUTE_SWITCH, 1), STATUS_SUCCESS);
    Stream(10);
    kp::sim::Fault lost;
    lost.IoControl = IOCTL_KS_WRITE_STREAM;
    lost.Status = GetParam();
    cameraDevice_->AddFault(lost);
    const auto writes = [] {
        return DeviceRequests(kCamera, IRP_MJ_DEVICE_CONTROL, IOCTL_KS_WRITE_STREAM).size();
    };
    const size_t before = writes();
    Stream(20);
    EXPECT_LE(writes() - before, 8u) << "the thread went on sending";
    ULONG readable = 1;
    g_pAudioSink->Pin()->GetCircBuff()->GetCount(&readable, CircBuff::kReadable);
    EXPECT_EQ(readable, 0u) << "the ring still takes the slave's data";
    std::vector<uint8_t> card;
    for (const auto& r : Device(kCard)->PinRecords())
        if (r.PinId == 0) card.insert(card.end(), r.Rendered.begin(), r.Rendered.end());
    ASSERT_GE(card.size(), 6400u);
    EXPECT_TRUE(std::all_of(card.end() - 6400, card.end(), [](uint8_t b) { return b == 0; }))
        << "the card played the stream it should not";
}
INSTANTIATE_TEST_SUITE_P(Status, ZV_STREAM_LOSS_SUITE,
                         testing::Values(STATUS_DEVICE_NOT_CONNECTED, STATUS_DELETE_PENDING));

}  // namespace
