#include "BridgeFixture.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "FrameworkTestSupport.h"
#include "kp/io.h"
#include "kp/pool.h"
#include "kp/simaudio.h"

// The bridge's entry points for ObReferenceObjectByHandle,
// KeDelayExecutionThread and IoCancelIrp: the platform's, counted and with
// failures injected on request (the linker routes the bridge's calls here).
extern "C" {
NTSTATUS __real_BridgeReferenceObjectByHandle(HANDLE, ACCESS_MASK, POBJECT_TYPE, KPROCESSOR_MODE,
                                              PVOID*);
NTSTATUS __real_BridgeDelayExecution(PLARGE_INTEGER);
BOOLEAN __real_BridgeCancelIrp(PIRP);
}

namespace {
std::atomic<ULONG> g_referenceFailure{0};
std::atomic<ULONG> g_delayCalls{0};
std::atomic<ULONG> g_cancelCalls{0};
}  // namespace

extern "C" {
NTSTATUS __wrap_BridgeReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type,
                                              KPROCESSOR_MODE mode, PVOID* object) {
    ULONG n = g_referenceFailure.load();
    while (n != 0 && !g_referenceFailure.compare_exchange_weak(n, n - 1)) {
    }
    if (n == 1) return STATUS_OBJECT_TYPE_MISMATCH;
    return __real_BridgeReferenceObjectByHandle(handle, access, type, mode, object);
}
NTSTATUS __wrap_BridgeDelayExecution(PLARGE_INTEGER interval) {
    ++g_delayCalls;
    return __real_BridgeDelayExecution(interval);
}
BOOLEAN __wrap_BridgeCancelIrp(PIRP irp) {
    ++g_cancelCalls;
    return __real_BridgeCancelIrp(irp);
}
}

namespace zvbridge {

void FailReferenceByHandle(ULONG nth) {
    g_referenceFailure = nth;
}
ULONG DelayCalls() {
    return g_delayCalls.load();
}
void ResetDelayCalls() {
    g_delayCalls = 0;
}
ULONG CancelCalls() {
    return g_cancelCalls.load();
}
void ResetCancelCalls() {
    g_cancelCalls = 0;
}

WAVEFORMATEX Pcm(ULONG rate, ULONG bits, ULONG channels) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = static_cast<WORD>(channels);
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<WORD>(bits / 8 * channels);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.wBitsPerSample = static_cast<WORD>(bits);
    return f;
}

void BridgeTest::SetUp() {
    MachineTest::SetUp();
    zvtest::ClearKorvaneKeys();
    ZDebugSetDriverName("Mutewell");
    ProbeEnable();
    MemInitialize();
    ProbeInitInterfaceList();
    LogModule<LogModuleFilterLogic>::ModuleRegister(nullptr);
    m_files = KpIoLiveFileObjectCount();
}

void BridgeTest::TearDown() {
    CloseAll();
    FailReferenceByHandle(0);
    EXPECT_EQ(KpIoLiveFileObjectCount(), m_files);
    EXPECT_EQ(MemCheckLiveLists(), 0) << "allocator blocks left live";
    ProbeReleaseAllInterfaces();
    MemShutdown();
    ProbeDisable();
    ZDebugSetDriverName(nullptr);
    zvtest::ClearKorvaneKeys();
    m_device.reset();
    MachineTest::TearDown();
}

void BridgeTest::BootMaster(bool disconnect) {
    kp::machine::SimDevice d;
    d.Instance = kMaster;
    d.Profile = "full";
    d.RoomName = "camera";
    d.Description = "USB camera";
    d.CaptureSource = "ramp";
    d.FilterName = "global";
    std::string extra;
    if (disconnect) {
        extra = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + std::string(kMaster) +
                "\\Device Parameters]\r\n\"DisconnectOnRemoval\"=dword:00000001\r\n\r\n";
    }
    BootMachine({d}, extra);
    m_pdo = Pdo(kMaster);
    ASSERT_NE(m_pdo, nullptr);
    m_device = Device(kMaster);
    ASSERT_NE(m_device, nullptr);
    m_lower = m_device->Fdo();
}

void BridgeTest::OpenFilter(const GUID& category, ULONG pinId) {
    m_enumerator = new KsFilterEnumerator;
    ASSERT_NE(m_enumerator, nullptr);
    ASSERT_EQ(m_enumerator->EnumFilters(m_pdo, m_lower, kFilterName, &category, pinId, TRUE, TRUE),
              STATUS_SUCCESS);
    m_filter = static_cast<CKsFilter*>(m_enumerator->m_listFilters.GetHead());
    ASSERT_NE(m_filter, nullptr);
}

void BridgeTest::StartPin(bool render, ULONG ms) {
    OpenFilter(render ? KSCATEGORY_RENDER : KSCATEGORY_CAPTURE, render ? 0 : 1);
    WAVEFORMATEX format = Pcm(8000, 16, 1);
    m_pin = render ? m_filter->CreateRenderPin(&format) : m_filter->CreateCapturePin(&format);
    ASSERT_NE(m_pin, nullptr);
    ASSERT_EQ(m_pin->CreateStream(ms), STATUS_SUCCESS);
    ASSERT_EQ(m_pin->Run(), STATUS_SUCCESS);
}

void BridgeTest::CloseAll() {
    delete m_enumerator;
    m_enumerator = nullptr;
    m_filter = nullptr;
    m_pin = nullptr;
}

void BridgeTest::WaitUntil(const std::function<bool()>& condition, const char* what) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > give_up) {
            ADD_FAILURE() << "never happened: " << what;
            return;
        }
        std::this_thread::yield();
    }
}

void BridgeTest::Step() {
    AdvanceMs(10);
    WaitUntil([this] { return m_device->QueuedStreamRequests() == kTransfersInFlight; },
              "eight requests queued again");
}

void BridgeTest::AdvanceWhile(const std::function<void()>& call,
                              const std::function<bool()>& ready) {
    std::atomic<bool> done{false};
    std::thread caller([&] {
        call();
        done = true;
    });
    WaitUntil([&] { return done || ready(); }, "ready to advance");
    // A call that outlives a minute of machine time or 20 s of the host's
    // has hung: the run fails at once with a message rather than at the
    // test runner's cut-off.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    // The clock steps only while the machine rests and the caller sleeps in
    // the kernel: a busy host may not have run the caller at all yet.
    for (int step = 0; !done;) {
        if (step == 6000 || std::chrono::steady_clock::now() > give_up) {
            ADD_FAILURE() << "a call never returned while the clock moved";
            std::abort();  // its thread cannot be joined
        }
        if (kp::sim::SettleMachine(50) && !done && kp::sim::CallersAsleep()) {
            AdvanceMs(10);
            ++step;
        }
        std::this_thread::yield();
    }
    caller.join();
}

}  // namespace zvbridge
