// A machine test with the two pins an application pair opens on the default
// machine: the camera's capture pin and the sound card's render pin, 16 kHz
// mono.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "EchowellLogic.h"
#include "FrameworkTesting.h"
#include "KsClient.h"
#include "kp/machinetest.h"
#include "kp/restingclock.h"
#include "kp/clock.h"
#include "kp/simaudio.h"
#include "kp/thread.h"

namespace zvecho {

// The default machine's camera and sound card, by instance path.
inline const std::string kCamera = kp::machine::DefaultDevices()[0].Instance;
inline const std::string kSpeaker = kp::machine::DefaultDevices()[1].Instance;

// Runs `action` on a thread of its own; Finished says whether it returned.
class Background {
public:
    explicit Background(std::function<void()> action)
        : m_Thread([this, action] {
              action();
              m_Done = true;
          }) {}
    ~Background() { m_Thread.join(); }
    bool Finished() const { return m_Done; }
    // At most a minute of host time; with `moveClock` the machine clock moves
    // meanwhile (10 s of it at most), 1 ms at a time and only while the
    // machine rests and an application thread waits in the kernel.
    bool AwaitFinished(bool moveClock = false) const {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        if (moveClock) (void)kp::testing::AdvanceUntil([this] { return m_Done.load(); }, true);
        while (!m_Done && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return m_Done;
    }

private:
    std::atomic<bool> m_Done{false};
    std::thread m_Thread;
};

// TRUE once `count` application threads are asleep in the machine and
// `where` holds, both read with the machine at rest (every system thread
// asleep too), so that a driver thread going to sleep meanwhile is not taken
// for one of them.  FALSE once `over` holds (a thread that should have been
// asleep returned), or after a minute of host time.
inline bool ApplicationThreadsAsleep(ULONG count, const std::function<bool()>& where,
                                     const std::function<bool()>& over) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < giveUp && !over()) {
        if (kp::sim::SettleMachine(1000) && where() &&
            KpBlockedWaiterCount() >= KpRunningSystemThreadCount() + count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class StreamPairTest : public kp::testing::MachineTest {
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
    // Read with the interlocked operations: the logic's threads write them.
    static LONG Active() { return InterlockedOr(&g_bAecActive, 0); }
    static bool ThreadRunning() { return InterlockedOr(&g_AudioProcThread.Running, 0) != 0; }
    // The sound card keeps the next write it gets (after a start, the first
    // of the driver's own render requests that carry the hold-back).
    void HoldTheSpeakersNextWrite() {
        kp::sim::Fault hold;
        hold.Major = IRP_MJ_DEVICE_CONTROL;
        hold.IoControl = IOCTL_KS_WRITE_STREAM;
        hold.NeverComplete = true;
        Device(kSpeaker)->AddFault(hold);
    }
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
        // After a failure a stop may wait for the clock (for the sound card
        // to play): the stops then move it, bounded, and the test ends.
        for (kp::ks::KsPin* pin : {&mic_, &speaker_}) {
            if (pin->Handle() != nullptr)
                (void)(HasFailure() ? SetStateWhileClockRuns(pin, KSSTATE_STOP)
                                    : pin->SetState(KSSTATE_STOP));
        }
        writes_.clear();  // the STOP completed them
        reads_.clear();
        ClosePins();
        StreamPairTest::TearDown();
    }

    // Streams `blocks` 10 ms blocks as a pair of applications does: each
    // writes `farEnd` (320 bytes) to the sound card, then reads 10 ms from the
    // camera, the clock moving until the read is back.
    void StreamBlocks(ULONG blocks, const std::vector<uint8_t>& farEnd) {
        for (ULONG i = 0; i < blocks; ++i) {
            std::shared_ptr<kp::ks::StreamRequest> w, r;
            NTSTATUS status =
                speaker_.Submit(true, {{320, 320, farEnd.data()}}, sizeof(KSSTREAM_HEADER), &w);
            ASSERT_TRUE(status == STATUS_PENDING || status == STATUS_SUCCESS) << std::hex << status;
            writes_.push_back(w);
            status = mic_.Submit(false, {{320, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &r);
            ASSERT_TRUE(status == STATUS_PENDING || status == STATUS_SUCCESS) << std::hex << status;
            reads_.push_back(r);  // an undelivered one stays until the STOP completes it
            // The framework's stream worker hands the read back on its own
            // thread; the clock moves only while the machine rests, so a
            // worker the host runs late is waited for, not overtaken.
            (void)kp::sim::AdvanceWhileResting([&r] { return r->Done(); }, false, 500);
            ASSERT_TRUE(r->Done()) << "the camera delivers within half a second";
            ASSERT_EQ(r->Status(), STATUS_SUCCESS);
            while (!writes_.empty() && writes_.front()->Done()) writes_.erase(writes_.begin());
            reads_.pop_back();
        }
    }
    // Runs `action` on a thread of its own while this one moves the clock (a
    // stop waits until the sound card played the driver's own render requests
    // still queued), 1 ms at a time and only while the machine rests and the
    // action's thread waits in the kernel: a thread the host runs late never
    // finds the clock gone past the wait it had yet to enter.  10 s of machine
    // time, or a minute of host time without rest, ends the run with a
    // message.
    static void WhileClockRuns(const std::function<void()>& action, const char* what) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            action();
            done = true;
        });
        kp::testing::WaitResting([&] { return done.load(); }, true,
                                 std::string(what) + " did not return");
        worker.join();
    }
    static NTSTATUS SetStateWhileClockRuns(kp::ks::KsPin* pin, KSSTATE state) {
        NTSTATUS status = STATUS_PENDING;
        WhileClockRuns([&] { status = pin->SetState(state); }, "a state change");
        return status;
    }
    // Waits until the processing thread made `passes` passes over the near
    // end, or until the machine rests short of them (nothing moves the clock
    // here, so no pass would come).  A minute of host time at most.
    static bool AwaitOutPasses(LONGLONG passes) {
        auto reached = [passes] {
            return InterlockedExchangeAdd64(&g_AecTiming.OutPasses, 0) >= passes;
        };
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!reached() && std::chrono::steady_clock::now() < giveUp) {
            if (kp::sim::SettleMachine(1000)) return reached();
        }
        return reached();
    }

    std::vector<std::shared_ptr<kp::ks::StreamRequest>> writes_, reads_;
};

}  // namespace zvecho
