// The filter's life around the streams as users end it: the camera pulled
// out while the sound card still holds the driver's own render requests, or
// while a control application polls the private properties; an application
// that closes its pin without STOP; random stream-state sequences after which
// the applications free their buffers.  Each round boots a fresh machine.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <random>

#include "FilterLogicServices.h"
#include "StreamPair.h"
#include "ZDebug.h"
#include "kp/dbgsink.h"
#include "kp/io.h"
#include "kp/pnp.h"
#include "kp/simaudio.h"
#include "kp/thread.h"

// A hundred in the slow run.
#ifndef ZV_ECHOWELL_LIFECYCLE_ROUNDS
#define ZV_ECHOWELL_LIFECYCLE_ROUNDS 3
#endif

namespace zvecho {
namespace {

class LifecycleTest : public EchowellPairTest {
protected:
    // A fresh machine for each round after the first.
    void Round(int round) {
        if (round == 0) return;
        TearDown();
        SetUp();
    }
    void StartBoth() {
        ASSERT_EQ(SetStateWhileClockRuns(&mic_, KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(SetStateWhileClockRuns(&speaker_, KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(Active(), 1);
    }
    void SurpriseRemoveCamera() {
        WhileClockRuns([] { EXPECT_EQ(KpPnpSurpriseRemove(Pdo(kCamera)), STATUS_SUCCESS); },
                       "the surprise removal");
    }
    NTSTATUS Control(ULONG flags, ULONG id, ULONG* value) {
        KSPROPERTY p{KSPROPSETID_AecControl, id, flags};
        ULONG returned = 0;
        return captureFilter_.Property(&p, sizeof p, value, sizeof *value, &returned);
    }
    // Waits for a stream request, the clock moving only while the machine
    // rests (half a second of it at most, and a minute of host time for a
    // machine that never rests), so that a device or thread the host runs
    // late is waited for, not overtaken.
    static bool AwaitRequest(const std::shared_ptr<kp::ks::StreamRequest>& request) {
        return kp::testing::AdvanceUntil([&request] { return request->Done(); }, false, 500) ==
               kp::testing::RestingWait::Done;
    }
    const std::vector<uint8_t> tone_ = [] {
        std::vector<uint8_t> b(320);
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7);
        return b;
    }();
};

// What the thread that signals the last own request's completion does next
// is delayed until the removal has finished: a completing processor that
// was preempted right after its signal.
struct Preempted {
    const Background* Removal;
    std::atomic<int> Signals{0};
    static void Hook(PVOID context) {
        auto* self = static_cast<Preempted*>(context);
        ++self->Signals;
        for (int i = 0; i < 2000 && !self->Removal->Finished(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

// The camera is pulled out while the sound card still holds an own render
// request.  The unload waits for it (the processing thread's end does); once
// its completion signals that the last one is back, nothing of the request
// may be left to give back: the unload deletes the lookaside list of their
// contexts right after.
TEST_F(LifecycleTest, TheCamerasRemovalWithOwnRenderRequestsOutstanding) {
    for (int round = 0; round < ZV_ECHOWELL_LIFECYCLE_ROUNDS; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        Round(round);
        StartBoth();
        if (HasFatalFailure()) return;
        HoldTheSpeakersNextWrite();  // an own request of the prefill
        // The own requests' lines are level-1 lines.
        using Log = LogModule<LogModuleFilterLogic>;
        const ULONG level = Log::Level(), enable = Log::Enable();
        Log::ModuleSetLevel(1, 1);
        KpDbgClear();
        StreamBlocks(10, tone_);
        if (HasFatalFailure()) return;
        ASSERT_EQ(AecOwnIrpsPending(), 1);
        {
            Preempted preempted;
            Background removal(
                [] { EXPECT_EQ(KpPnpSurpriseRemove(Pdo(kCamera)), STATUS_SUCCESS); });
            preempted.Removal = &removal;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_FALSE(removal.Finished()) << "the unload waits for the held request";
            KpSetEventSignalHook(&g_AllIrpsCompleteEvent, Preempted::Hook, &preempted);
            Device(kSpeaker)->ReleaseHeld(STATUS_SUCCESS);
            KpSetEventSignalHook(nullptr, nullptr, nullptr);
            EXPECT_EQ(preempted.Signals.load(), 1);
            ASSERT_TRUE(removal.AwaitFinished(true));
        }
        Log::ModuleSetLevel(level, enable);
        const std::string log = KpDbgText();
        for (const char* line :
             {"HandleOnBufferInProcessing> CreateAndSendIrp ulnIrp - ", "InsertInIrpList> Irp - 0x",
              "RemoveFromIrpList> Irp - 0x", "RemoveFromIrpList> Setting  g_AllIrpsCompleteEvent"})
            EXPECT_NE(log.find(line), std::string::npos) << line;
        EXPECT_EQ(g_pInAllocator, nullptr);
        EXPECT_FALSE(ThreadRunning());
        EXPECT_EQ(Active(), 0);
    }
}

// A control application reads and writes the canceller's parameters while
// the camera is pulled out: every request answers (success, or failure once
// the logic is gone) and none uses a module the unload destroyed.
TEST_F(LifecycleTest, PropertyPollingDuringTheCamerasRemoval) {
    for (int round = 0; round < ZV_ECHOWELL_LIFECYCLE_ROUNDS; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        Round(round);
        StartBoth();
        if (HasFatalFailure()) return;
        StreamBlocks(5, tone_);
        if (HasFatalFailure()) return;
        std::atomic<bool> stop{false};
        std::atomic<int> answered{0};
        {
            Background poll([&] {
                std::mt19937 random(round);
                while (!stop) {
                    ULONG value = random() % 2;
                    NTSTATUS status = Control(KSPROPERTY_TYPE_SET, 5, &value);
                    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL);
                    status = Control(KSPROPERTY_TYPE_GET, 6, &value);
                    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL);
                    value = 1;
                    status = Control(KSPROPERTY_TYPE_SET, 12, &value);
                    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL);
                    ++answered;
                }
            });
            while (answered < 3) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::microseconds(round * 37 % 500));
            SurpriseRemoveCamera();
            const int after = answered;
            while (answered < after + 3) std::this_thread::yield();
            stop = true;
        }
        EXPECT_EQ(g_pAecModule, nullptr);
        EXPECT_EQ(g_pWaveCorr, nullptr);
    }
}

// A property request is inside the handler, waiting for the engine lock,
// when the camera is pulled out: the unload waits until it has left, and the
// request finishes with the module it found.
TEST_F(LifecycleTest, TheUnloadWaitsForAPropertyRequestInsideTheHandler) {
    KeWaitForSingleObject(&g_EngineMutex, Executive, KernelMode, FALSE, nullptr);
    ULONG value = 0;
    NTSTATUS status = STATUS_PENDING;
    bool released = false;
    // Each step goes on once its thread is asleep in the machine: a thread
    // the host has not run yet would let the removal come first.
    {
        Background get([&] { status = Control(KSPROPERTY_TYPE_GET, 6, &value); });
        EXPECT_TRUE(ApplicationThreadsAsleep(
            1, [] { return g_PropertiesInFlight.Count() == 1; }, [&] { return get.Finished(); }))
            << "the request is inside the handler, asleep";
        EXPECT_FALSE(get.Finished()) << "the request waits for the engine lock";
        Background removal([] { EXPECT_EQ(KpPnpSurpriseRemove(Pdo(kCamera)), STATUS_SUCCESS); });
        EXPECT_TRUE(ApplicationThreadsAsleep(
            2, [] { return true; }, [&] { return get.Finished() || removal.Finished(); }))
            << "the removal is asleep beside the request";
        EXPECT_FALSE(removal.Finished()) << "the unload waits for the request";
        // ... before anything of its teardown: work items are still taken.
        const bool taken = AecWorkItemBegin();
        if (taken) AecWorkItemEnd();
        EXPECT_TRUE(taken) << "the unload began its teardown beside the request";
        EXPECT_NE(g_pAecModule, nullptr);
        KeReleaseMutex(&g_EngineMutex, FALSE);
        released = true;
        EXPECT_TRUE(get.AwaitFinished());
        EXPECT_TRUE(removal.AwaitFinished(true));
    }
    if (!released) KeReleaseMutex(&g_EngineMutex, FALSE);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(g_pAecModule, nullptr);
}

// An application ends without STOP: its pin closes while the canceller runs.
// Processing stops as on a STOP, and a new application's pin at another rate
// gets chains built for it when both run again.
TEST_F(LifecycleTest, APinClosedWhileRunningStopsProcessingAsAStopWould) {
    for (bool capture : {true, false}) {
        for (int round = 0; round < ZV_ECHOWELL_LIFECYCLE_ROUNDS; ++round) {
            SCOPED_TRACE(testing::Message()
                         << (capture ? "capture" : "render") << " closed, round " << round);
            Round(capture ? round : round + 1);
            StartBoth();
            if (HasFatalFailure()) return;
            StreamBlocks(10, tone_);
            if (HasFatalFailure()) return;
            kp::ks::KsPin& closed = capture ? mic_ : speaker_;
            kp::ks::KsFilter& filter = capture ? captureFilter_ : renderFilter_;
            WhileClockRuns([&] { EXPECT_EQ(closed.Close(), STATUS_SUCCESS); }, "the close");
            // The close reaches the logic when the device has closed the pin,
            // and the stop waits for the processing thread: the clock moves
            // while the machine rests until the stop is through (10 s of it at
            // most; what is left is reported below).
            (void)kp::sim::AdvanceWhileResting(
                [&] { return Active() == 0 && !ThreadRunning() && AecPendingWorkItems() == 0; },
                false, 10000);
            kp::testing::WaitResting(
                [&] {
                    return std::all_of(writes_.begin(), writes_.end(),
                                       [](const auto& w) { return w->Done(); });
                },
                false, "the writes in flight did not return");
            writes_.clear();
            EXPECT_EQ(Active(), 0);
            EXPECT_FALSE(ThreadRunning()) << "the stop came through its work item";
            EXPECT_EQ(g_InGraph.Stages[0].InUse, 0);
            EXPECT_EQ(g_OutGraph.Stages[0].InUse, 0);
            EXPECT_EQ(AecPendingWorkItems(), 0);

            // The other stream goes on alone for two seconds.
            kp::ks::KsPin& open = capture ? speaker_ : mic_;
            for (int i = 0; i < 20; ++i) {
                std::shared_ptr<kp::ks::StreamRequest> w;
                if (capture) {
                    ASSERT_EQ(
                        open.Submit(true, {{3200, 3200, nullptr}}, sizeof(KSSTREAM_HEADER), &w),
                        STATUS_PENDING);
                } else {
                    ASSERT_EQ(open.Submit(false, {{3200, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &w),
                              STATUS_PENDING);
                }
                ASSERT_TRUE(AwaitRequest(w)) << "the open pin's request came back";
            }
            ASSERT_EQ(closed.Create(filter, capture ? 1 : 0, kp::ks::PcmFormat(8000, 16, 1)),
                      STATUS_SUCCESS);
            ASSERT_EQ(SetStateWhileClockRuns(&closed, KSSTATE_RUN), STATUS_SUCCESS);
            ASSERT_EQ(Active(), 1) << "the new pin's RUN started the canceller";
            EXPECT_EQ((capture ? g_CaptureFormat : g_RenderFormat).SamplesPerSec, 8000u)
                << "the chains are built for the new pin";
            const LONGLONG passes = InterlockedExchangeAdd64(&g_AecTiming.OutPasses, 0);
            for (int i = 0; i < 30; ++i) {
                std::shared_ptr<kp::ks::StreamRequest> w, r;
                ASSERT_EQ(
                    speaker_.Submit(true, {{320, 320, tone_.data()}}, sizeof(KSSTREAM_HEADER), &w),
                    STATUS_PENDING);
                writes_.push_back(w);
                ASSERT_EQ(mic_.Submit(false, {{320, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &r),
                          STATUS_PENDING);
                ASSERT_TRUE(AwaitRequest(r)) << "the camera delivered";
            }
            EXPECT_EQ(Active(), 1) << "no shut-off from the closed pin's last time";
            EXPECT_TRUE(AwaitOutPasses(passes + 3)) << "the canceller processes";
        }
    }
}

// An application pair as a harness drives it: each keeps up to `depth`
// requests in flight on its pin, of one to three headers of 10-30 ms (some
// not whole blocks), and frees a request's buffer the moment it is back,
// after looking that nothing still locks it.
class ApplicationPair {
public:
    ApplicationPair(kp::ks::KsPin* speaker, kp::ks::KsPin* mic, std::mt19937* random)
        : speaker_(speaker), mic_(mic), random_(random) {
        for (size_t i = 0; i < farEnd_.size(); ++i) farEnd_[i] = static_cast<uint8_t>(i * 7);
    }
    // Frees what came back, then tops both pins up to `depth` requests.
    void TopUp(size_t depth) {
        Collect();
        while (writes_.size() < depth) Submit(speaker_, true, &writes_);
        while (reads_.size() < depth) Submit(mic_, false, &reads_);
    }
    // A test that ends early leaves its requests in flight: their buffers are
    // still the driver's, so they are kept, never freed.
    ~ApplicationPair() {
        Collect();
        for (auto* list : {&writes_, &reads_})
            for (auto& r : *list) Kept()->push_back(r);
    }
    // Waits for every request, then frees it.  The STOP or the close gives
    // them back without the clock: once the machine rests, whatever is still
    // out stays out (a minute of host time at most for a machine that never
    // rests).  A request not back is kept, its buffer never freed.
    void AwaitAll() {
        auto allBack = [this] {
            for (auto* list : {&writes_, &reads_})
                for (auto& r : *list)
                    if (!r->Done()) return false;
            return true;
        };
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!allBack() && std::chrono::steady_clock::now() < giveUp)
            if (kp::sim::SettleMachine(1000)) break;
        EXPECT_TRUE(allBack()) << "the STOP or the close gives every request back";
        Collect();
        EXPECT_TRUE(writes_.empty() && reads_.empty());
        for (auto* list : {&writes_, &reads_}) {
            for (auto& r : *list) Kept()->push_back(r);
            list->clear();
        }
    }
    int Returned() const { return returned_; }

private:
    using Requests = std::vector<std::shared_ptr<kp::ks::StreamRequest>>;
    // Requests whose buffers must never be freed (a lock still on them).
    static Requests* Kept() {
        static auto* kept = new Requests;
        return kept;
    }
    void Submit(kp::ks::KsPin* pin, bool write, Requests* list) {
        std::vector<kp::ks::Chunk> chunks;
        for (unsigned h = 0, n = 1 + (*random_)() % 3; h < n; ++h) {
            ULONG bytes = 320 * (1 + (*random_)() % 3);
            if ((*random_)() % 4 == 0) bytes -= 2 * (1 + (*random_)() % 100);
            chunks.push_back({bytes, write ? bytes : 0, write ? farEnd_.data() : nullptr});
        }
        std::shared_ptr<kp::ks::StreamRequest> request;
        const NTSTATUS status = pin->Submit(write, chunks, sizeof(KSSTREAM_HEADER), &request);
        EXPECT_TRUE(NT_SUCCESS(status) || request->Done()) << std::hex << status;
        list->push_back(request);
    }
    void Collect() {
        for (auto* list : {&writes_, &reads_}) {
            std::erase_if(*list, [this](const std::shared_ptr<kp::ks::StreamRequest>& r) {
                if (!r->Done()) return false;
                ++returned_;
                // What is back is the application's again: freed now.  A
                // buffer still locked is kept instead (freeing it would stop
                // the machine), and reported.
                const ULONG locks = KpUserLockedMdlCount(r->DataAddress(0));
                if (locks != 0) {
                    ADD_FAILURE() << "a request back with status 0x" << std::hex << r->Status()
                                  << " still has its buffer locked by " << std::dec << locks
                                  << " MDLs";
                    Kept()->push_back(r);
                }
                return true;
            });
        }
    }
    kp::ks::KsPin *speaker_, *mic_;
    std::mt19937* random_;
    std::vector<uint8_t> farEnd_ = std::vector<uint8_t>(1000);
    Requests writes_, reads_;
    int returned_ = 0;
};

// Random stream-state sequences on the pair, on one machine: STOP, ACQUIRE,
// PAUSE or RUN on either pin, 0-7 blocks of 10 ms streamed between the steps
// whatever the states, with requests of several sizes in flight, some of
// them cancelled.  Each
// sequence ends with both pins stopped, or closed without STOP; the
// applications free every buffer as soon as its request is back (no page of
// theirs may still be locked), and a fresh pair on the same machine then
// processes.  On odd seeds the sound card locks every kernel-mode request's
// data, the driver's own render requests included; every third sequence runs
// on pins of other formats.
TEST_F(LifecycleTest, RandomStateSequencesLeaveNoApplicationMemoryLocked) {
    const KSSTATE states[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN};
    int returned = 0;
    for (int seed = 0; seed < ZV_ECHOWELL_LIFECYCLE_ROUNDS * 2; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        std::mt19937 random(seed);
        Device(kSpeaker)->SetKernelStreamMdl(seed % 2 != 0);
        if (seed % 3 == 2) {
            // Other formats: a stereo far end the logic mixes down, the
            // near end at 8 kHz.
            speaker_.Close();
            mic_.Close();
            ASSERT_EQ(speaker_.Create(renderFilter_, 0, kp::ks::PcmFormat(16000, 16, 2)),
                      STATUS_SUCCESS);
            ASSERT_EQ(mic_.Create(captureFilter_, 1, kp::ks::PcmFormat(8000, 16, 1)),
                      STATUS_SUCCESS);
        }
        ApplicationPair pair(&speaker_, &mic_, &random);
        const size_t depth = 1 + random() % 8;
        for (int step = 0; step < 30; ++step) {
            kp::ks::KsPin* pin = random() % 2 ? &mic_ : &speaker_;
            ASSERT_EQ(SetStateWhileClockRuns(pin, states[random() % 4]), STATUS_SUCCESS);
            for (unsigned b = 0, blocks = random() % 8; b < blocks; ++b) {
                pair.TopUp(depth);
                AdvanceMs(10);
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
            // Now and then an application cancels what it has in flight.
            if (random() % 6 == 0) {
                EXPECT_EQ(KpCancelFileIo(pin->Handle()), STATUS_SUCCESS);
            }
            if (HasFailure()) return;
        }
        if (random() % 4 == 0) {
            // The applications end without STOP.
            WhileClockRuns(
                [&] {
                    EXPECT_EQ(mic_.Close(), STATUS_SUCCESS);
                    EXPECT_EQ(speaker_.Close(), STATUS_SUCCESS);
                },
                "the closes");
        } else {
            ASSERT_EQ(SetStateWhileClockRuns(&mic_, KSSTATE_STOP), STATUS_SUCCESS);
            ASSERT_EQ(SetStateWhileClockRuns(&speaker_, KSSTATE_STOP), STATUS_SUCCESS);
        }
        pair.AwaitAll();
        returned += pair.Returned();
        if (HasFailure()) return;
        EXPECT_EQ(KpIoLiveMdlCount(), 0u);
        ClosePins();
        OpenPins();
        if (HasFatalFailure()) return;
        StartBoth();
        if (HasFatalFailure()) return;
        const LONGLONG passes = InterlockedExchangeAdd64(&g_AecTiming.OutPasses, 0);
        StreamBlocks(12, tone_);
        if (HasFatalFailure()) return;
        EXPECT_TRUE(AwaitOutPasses(passes + 3)) << "the fresh pair processes";
        ASSERT_EQ(SetStateWhileClockRuns(&mic_, KSSTATE_STOP), STATUS_SUCCESS);
        ASSERT_EQ(SetStateWhileClockRuns(&speaker_, KSSTATE_STOP), STATUS_SUCCESS);
        for (auto& w : writes_) w->Wait();
        writes_.clear();
    }
    EXPECT_GT(returned, 0);
}

}  // namespace
}  // namespace zvecho
