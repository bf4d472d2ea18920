#include "kp/testing.h"

#include "kp/dbgsink.h"
#include "kp/pool.h"
#include "kp/thread.h"
#include "platform/ke.h"
#include "platform/ob.h"

namespace kp::testing {

namespace {

void ResetInjections() {
    KpPoolClearFailures();
    KpFailThreadCreations(0);
}

}  // namespace

KernelChecks::KernelChecks()
    : poolSerial_(KpPoolSerial()),
      handles_(KpOpenHandleCount(nullptr)),
      objects_(KpLiveObjectCount(nullptr)),
      threads_(KpRunningSystemThreadCount()) {
    ResetInjections();
    KpDbgClear();
}

std::vector<std::string> KernelChecks::Problems() const {
    std::vector<std::string> problems;
    std::string leaks = KpPoolDescribeLiveBlocks(poolSerial_);
    if (!leaks.empty()) problems.push_back("pool blocks leaked: " + leaks);
    ULONG handles = KpOpenHandleCount(nullptr);
    if (handles != handles_) {
        problems.push_back("open handles: " + std::to_string(handles) + " at the end, " +
                           std::to_string(handles_) + " at the start");
    }
    ULONG objects = KpLiveObjectCount(nullptr);
    if (objects != objects_) {
        problems.push_back("live objects: " + std::to_string(objects) + " at the end, " +
                           std::to_string(objects_) + " at the start");
    }
    ULONG threads = KpRunningSystemThreadCount();
    if (threads != threads_) {
        problems.push_back("running system threads: " + std::to_string(threads) + " at the end, " +
                           std::to_string(threads_) + " at the start");
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        problems.push_back("the test thread ended at IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    if (KpFloatingPointDepth() != 0) {
        problems.push_back(std::to_string(KpFloatingPointDepth()) +
                           " floating-point save(s) left open");
    }
    return problems;
}

void KernelChecks::Verify() {
    for (const std::string& problem : Problems()) ADD_FAILURE() << problem;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) KeLowerIrql(PASSIVE_LEVEL);
    ResetInjections();
}

void KernelTest::SetUp() {
    checks_ = new KernelChecks;
}

void KernelTest::TearDown() {
    if (restoreClock_) KpClockSetMode(savedMode_);
    checks_->Verify();
    delete checks_;
    checks_ = nullptr;
}

void KernelTest::FailAllocation(ULONG Tag, ULONG Nth, ULONG Count) {
    KpPoolFailAllocation(Tag, Nth, Count);
}

void KernelTest::FailThreadCreations(ULONG Count) {
    KpFailThreadCreations(Count);
}

std::vector<std::string> KernelTest::DbgLines() {
    return KpDbgLines();
}

void KernelTest::UseManualClock() {
    if (!restoreClock_) {
        savedMode_ = KpClockGetMode();
        restoreClock_ = true;
    }
    KpClockSetMode(KpClockMode::Manual);
}

void KernelTest::Advance(LONGLONG Delta100ns) {
    KpClockAdvance(Delta100ns);
}

namespace {

class Listener : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override { checks_ = new KernelChecks; }
    void OnTestEnd(const ::testing::TestInfo&) override {
        // Runs before the result printer's own OnTestEnd, so a failure added here
        // still counts against the test.
        if (checks_ != nullptr) checks_->Verify();
        delete checks_;
        checks_ = nullptr;
    }

private:
    KernelChecks* checks_ = nullptr;
};

}  // namespace

::testing::TestEventListener* NewKernelCheckListener() {
    return new Listener;
}

void InstallKernelCheckListener() {
    ::testing::UnitTest::GetInstance()->listeners().Append(NewKernelCheckListener());
}

}  // namespace kp::testing
