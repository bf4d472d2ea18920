// Probe slots bound to a recording collector found by IRP_MN_QUERY_INTERFACE on
// a device stack.
#include <kp/io.h>
#include <kp/dbgsink.h>
#include <kp/pnp.h>
#include <kp/pool.h>
#include <kp/registry.h>

#include <memory>

#include "ProbeCollector.h"
#include "Registry.h"

namespace {

using zvtest::CollectorInterface;
using zvtest::FrameworkTest;

class ProbeBindingTest : public FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        zvtest::RegisterAllLogModules();
        m_stack = std::make_unique<zvtest::TestDeviceStack>();
        ASSERT_EQ(m_stack->Status(), STATUS_SUCCESS);
        m_collector = std::make_unique<zvtest::RecordingCollector>();
        m_collector->Attach(Pdo());
    }
    void TearDown() override {
        ProbeShutdown();
        m_collector.reset();
        m_stack.reset();
        KpPoolClearFailures();
        KpIoClearFailures();
        LogModule<LogModuleGenDisp>::ModuleSetLevel(0, 0);
        FrameworkTest::TearDown();
    }

    PDEVICE_OBJECT Pdo() const { return m_stack->Pdo(); }
    PDEVICE_OBJECT Fdo() const { return m_stack->Fdo(); }
    // As the master's attachment calls it: our device, the device below it, the PDO.
    void Init() { ProbeInit(Fdo(), Pdo(), Pdo()); }
    static ProbeBindingState Binding() {
        ProbeBindingState state;
        ProbeGetBindingState(&state);
        return state;
    }

    std::unique_ptr<zvtest::TestDeviceStack> m_stack;
    std::unique_ptr<zvtest::RecordingCollector> m_collector;
};

TEST_F(ProbeBindingTest, WithoutCollectorEveryQueryFailsAndTheNextInitTriesAgain) {
    m_collector->Offer(CollectorInterface::Trace, false);
    m_collector->Offer(CollectorInterface::Main, false);
    m_collector->Offer(CollectorInterface::Perf, false);
    Init();
    EXPECT_EQ(m_collector->Queries(), (std::vector<std::string>{"main", "trace"}));
    EXPECT_EQ(Binding().Fdo, nullptr);
    EXPECT_EQ(Binding().Pdo, nullptr);
    EXPECT_EQ(ProbeSlot22(1), 0u);

    m_stack->SetDeviceValue(u"ZVPerfMode", 1);
    Init();
    EXPECT_EQ(m_collector->Queries(),
              (std::vector<std::string>{"main", "trace", "main", "trace", "perf"}));
    ProbeAddCounter(5, 1);
    EXPECT_TRUE(m_collector->Calls().empty());
    EXPECT_TRUE(m_collector->AfterQueries().empty());
}

TEST_F(ProbeBindingTest, MainInterfaceAloneBindsItsTwelveSlots) {
    m_stack->SetDeviceValue(u"ZVPerfMode", 1);
    m_collector->Offer(CollectorInterface::Trace, false);
    m_collector->Offer(CollectorInterface::Perf, false);
    Init();
    EXPECT_EQ(Binding().Fdo, Fdo());
    EXPECT_NE(Binding().MainRecord, nullptr);
    EXPECT_EQ(Binding().TraceRecord, nullptr);
    EXPECT_EQ(m_collector->AfterQueries(), (std::vector<std::string>{"main"}));
    m_collector->ClearCalls();  // the allocator already counted the later queries' records

    ProbeEnter(0);
    ProbeLeave(0);
    ProbeDefineCounter(2);
    ProbeAddCounter(5, -40);
    ProbeSetCounter(6, 0x123456789ALL);
    ProbeNameTimer(5, "timer five");
    ProbeTimerStart(5);
    ProbeTimerStop(5);
    ProbeSlot14(14);
    ProbeNameValue(10, "value ten");
    ProbeSlot16(1, 2, 3);
    ProbeSetValue(11, -7);
    auto calls = m_collector->Calls();
    ASSERT_EQ(calls.size(), 12u);
    const char* functions[] = {"main.0", "main.1", "main.2", "main.3", "main.4",  "main.5",
                               "main.6", "main.7", "main.8", "main.9", "main.10", "main.11"};
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].Function, functions[i]);
        EXPECT_EQ(calls[i].Pdo, Pdo()) << functions[i];
    }
    EXPECT_EQ(calls[3].Words, (std::vector<LONGLONG>{5, -40}));
    EXPECT_EQ(calls[4].Words, (std::vector<LONGLONG>{6, 0x123456789ALL}));
    EXPECT_EQ(calls[5].Text, "timer five");
    EXPECT_EQ(calls[9].Text, "value ten");
    EXPECT_EQ(calls[10].Words, (std::vector<LONGLONG>{1, 2, 3}));
    EXPECT_EQ(calls[11].Words, (std::vector<LONGLONG>{11, -7}));

    // Trace and performance slots stay unbound.
    m_collector->ClearCalls();
    ProbeTrace(1, "line");
    ProbeSlot18(1, 2);
    EXPECT_EQ(ProbeSlot22(5), 0u);
    EXPECT_TRUE(m_collector->Calls().empty());
}

TEST_F(ProbeBindingTest, TraceInterfaceLearnsTheModulesAndCanSwitchOneOn) {
    KpDbgClear();
    Init();
    std::vector<zvtest::CollectorCall> learned;
    for (const auto& call : m_collector->Calls()) {
        if (call.Function == "trace.0") learned.push_back(call);
    }
    ASSERT_EQ(learned.size(), 1u);
    EXPECT_EQ(learned[0].Pdo, Pdo());
    EXPECT_EQ(learned[0].Words, (std::vector<LONGLONG>{11}));
    ASSERT_EQ(m_collector->ReceivedModuleCount(), 11);
    ProbeModuleEntry* modules = m_collector->ReceivedModules();
    EXPECT_STREQ(modules[5].Name, "GenDisp");

    // The collector switches GenDisp on through its level callback.
    modules[5].LevelCallback(3, 1);
    LogModule<LogModuleGenDisp>::ModulePrint(3, "CGenDisp::Dispatch> now visible\n");
    LogModule<LogModuleDevice>::ModulePrint(1, "CDevice::Dispatch> still silent\n");
    EXPECT_EQ(KpDbgRecords(),
              (std::vector<std::string>{"Echowell.GenDisp: CGenDisp::Dispatch> now visible\n"}));

    // The bound trace slot forwards no line: no code places a trace record.
    for (const auto& call : m_collector->Calls()) EXPECT_NE(call.Function, "trace.1");
}

TEST_F(ProbeBindingTest, PerformanceInterfaceOnlyWithPerfModeOne) {
    m_stack->SetDeviceValue(u"ZVPerfMode", 2);
    Init();
    EXPECT_EQ(m_collector->Queries(), (std::vector<std::string>{"main", "trace"}));
    EXPECT_EQ(ProbeSlot22(5), 0u);
    ProbeShutdown();

    m_stack->SetDeviceValue(u"ZVPerfMode", 1);
    Init();
    EXPECT_NE(Binding().PerfRecord, nullptr);
    m_collector->ClearCalls();
    ProbeSlot18(1, 2);
    ProbeSlot19(3, 4);
    ProbeSlot20(5, 6, 7, 8);
    ProbeSlot21(9, 10);
    EXPECT_EQ(ProbeSlot22(5), 1005u);
    auto calls = m_collector->Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].Function, "perf.0");
    EXPECT_EQ(calls[2].Words, (std::vector<LONGLONG>{5, 6, 7, 8}));
    EXPECT_EQ(calls[4].Function, "perf.4");
    EXPECT_EQ(calls[4].Pdo, Pdo());
}

TEST_F(ProbeBindingTest, SecondInitDoesNothingAndShutdownReleasesInOrder) {
    m_stack->SetDeviceValue(u"ZVPerfMode", 1);
    Init();
    const size_t queries = m_collector->Queries().size();
    EXPECT_EQ(queries, 3u);
    Init();
    EXPECT_EQ(m_collector->Queries().size(), queries);

    ProbeShutdown();
    EXPECT_EQ(m_collector->Releases(), (std::vector<std::string>{"trace", "main", "perf"}));
    EXPECT_EQ(Binding().Fdo, nullptr);
    EXPECT_EQ(Binding().MainRecord, nullptr);
    m_collector->ClearCalls();
    ProbeAddCounter(5, 1);
    EXPECT_EQ(ProbeSlot22(1), 0u);
    EXPECT_TRUE(m_collector->Calls().empty());
    EXPECT_EQ(ProbeGetModuleCount(), 11);  // registrations survive
    EXPECT_EQ(ProbeRegisterModule("Late", 1, nullptr), 11);

    Init();  // binds again
    EXPECT_EQ(m_collector->Queries().size(), 2 * queries);
    ProbeEnter(0);
    ASSERT_FALSE(m_collector->Calls().empty());
    EXPECT_EQ(m_collector->Calls().back().Function, "main.0");
}

TEST_F(ProbeBindingTest, SwitchingTheSlotsForgetsTheBinding) {
    // An unload (interfaces released, slots trapped) and a new load: nothing of
    // the old binding may survive, or the new master's ProbeInit would do nothing.
    m_stack->SetDeviceValue(u"ZVPerfMode", 1);
    Init();
    ASSERT_NE(Binding().MainRecord, nullptr);
    ProbeReleaseAllInterfaces();
    ProbeDisable();
    ProbeEnable();
    const ProbeBindingState state = Binding();
    EXPECT_EQ(state.Fdo, nullptr);
    EXPECT_EQ(state.Lower, nullptr);
    EXPECT_EQ(state.Pdo, nullptr);
    EXPECT_EQ(state.TraceRecord, nullptr);
    EXPECT_EQ(state.MainRecord, nullptr);
    EXPECT_EQ(state.PerfRecord, nullptr);
    m_collector->ClearCalls();
    ProbeEnter(0);
    EXPECT_EQ(ProbeSlot22(1), 0u);
    EXPECT_TRUE(m_collector->Calls().empty());

    zvtest::RegisterAllLogModules();
    Init();
    EXPECT_EQ(m_collector->Queries().size(), 6u);  // main, trace, perf twice
    ProbeEnter(0);
    ASSERT_FALSE(m_collector->Calls().empty());
    EXPECT_EQ(m_collector->Calls().back().Function, "main.0");
}

TEST_F(ProbeBindingTest, RecordWhoseTableFailedStaysListedUnboundAndIsReleasedOnce) {
    m_collector->FailTableFill(CollectorInterface::Main, true);
    Init();
    EXPECT_NE(Binding().MainRecord, nullptr);
    EXPECT_EQ(ProbeFindInterface(Binding().MainRecord, 0), 1u);
    m_collector->ClearCalls();
    ProbeEnter(0);
    EXPECT_TRUE(m_collector->Calls().empty());

    ProbeReleaseAllInterfaces();  // the unload's release
    EXPECT_EQ(m_collector->Releases(), (std::vector<std::string>{"trace", "main"}));
    ProbeShutdown();  // finds nothing listed any more
    EXPECT_EQ(m_collector->Releases().size(), 2u);
}

TEST_F(ProbeBindingTest, QueryFailuresReportTheirCause) {
    ProbeInterfaceRecord* record = reinterpret_cast<ProbeInterfaceRecord*>(0x1);
    EXPECT_EQ(ProbeQueryInterface(Pdo(), nullptr, &GUID_ProbeMainInterface), PROBE_NULL_ARGUMENT);

    KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, 1);
    EXPECT_EQ(ProbeQueryInterface(Pdo(), &record, &GUID_ProbeMainInterface), PROBE_NO_MEMORY);
    EXPECT_EQ(record, nullptr);
    KpPoolClearFailures();

    const LONG references = KpObjectReferenceCount(Fdo());
    KpIoFailCall(KpFaultAllocateIrp, 1);
    EXPECT_EQ(ProbeQueryInterface(Pdo(), &record, &GUID_ProbeMainInterface), PROBE_NO_REQUEST);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(KpObjectReferenceCount(Fdo()), references);

    m_collector->Offer(CollectorInterface::Main, false);
    EXPECT_EQ(ProbeQueryInterface(Pdo(), &record, &GUID_ProbeMainInterface), PROBE_FAILED);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(KpObjectReferenceCount(Fdo()), references);

    m_collector->Offer(CollectorInterface::Main, true);
    ASSERT_EQ(ProbeQueryInterface(Pdo(), &record, &GUID_ProbeMainInterface), PROBE_OK);
    EXPECT_EQ(m_collector->AfterQueries(), (std::vector<std::string>{"main"}));
    ProbeMainFunctions table{};
    EXPECT_EQ(ProbeGetFunctionTable(record, nullptr, sizeof table), PROBE_NULL_ARGUMENT);
    EXPECT_EQ(ProbeGetFunctionTable(record, &table, sizeof table), PROBE_OK);
    EXPECT_NE(table.SetValue, nullptr);
    // The release routine's own answer is the result.
    m_collector->SetReleaseResult(CollectorInterface::Main, 0x77);
    EXPECT_EQ(ProbeReleaseInterface(record), 0x77u);
    EXPECT_EQ(m_collector->Releases(), (std::vector<std::string>{"main"}));

    // A record that is not listed any more is left alone.
    ProbeInterfaceRecord stranger{};
    EXPECT_EQ(ProbeFindInterface(&stranger, 1), 0u);
    EXPECT_EQ(ProbeReleaseInterface(&stranger), PROBE_NOT_LISTED);
    EXPECT_EQ(ProbeGetFunctionTable(&stranger, &table, sizeof table), PROBE_NOT_LISTED);
    EXPECT_EQ(ProbeGetFunctionTable(&stranger, nullptr, 0), PROBE_NULL_ARGUMENT);  // checked first
}

TEST_F(ProbeBindingTest, PerfModeIsReadAsAFourByteDword) {
    EXPECT_EQ(ReadPerfMode(Pdo()), 0u);
    m_stack->SetDeviceValue(u"ZVPerfMode", 1);
    EXPECT_EQ(ReadPerfMode(Pdo()), 1u);

    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"ZVPerfMode");
    const UCHAR binary[4] = {1, 0, 0, 0};
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, const_cast<UCHAR*>(binary), 4),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadPerfMode(Pdo()), 0u);
    const UCHAR longer[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, const_cast<UCHAR*>(longer), 8),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadPerfMode(Pdo()), 0u);
    ZwClose(key);

    m_stack->SetDeviceValue(u"ZVPerfMode", 1);
    KpPnpFailRegistryKey(Pdo(), PLUGPLAY_REGKEY_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ReadPerfMode(Pdo()), 0u);
    KpPnpFailRegistryKey(Pdo(), PLUGPLAY_REGKEY_DEVICE, STATUS_SUCCESS);
}

TEST_F(ProbeBindingTest, HookedDispatchTimesTheKsRequests) {
    PDRIVER_OBJECT driver = Fdo()->DriverObject;
    zvtest::RecordProbeSlots();
    ProbeHookDispatch(driver);
    const ULONG codes[] = {CTL_CODE(FILE_DEVICE_KS, 0x005, METHOD_NEITHER, FILE_READ_ACCESS),
                           CTL_CODE(FILE_DEVICE_KS, 0x004, METHOD_NEITHER, FILE_WRITE_ACCESS),
                           CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS),
                           CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS)};
    for (ULONG code : codes) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK ioStatus{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, Fdo(), nullptr, 0, nullptr, 0, FALSE, &done,
                                                 &ioStatus);
        ASSERT_NE(irp, nullptr);
        NTSTATUS status = IoCallDriver(Fdo(), irp);
        if (status == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    ProbeUnhookDispatch();
    std::vector<LONGLONG> entered;
    for (const auto& call : zvtest::ProbeCallsOf(6)) entered.push_back(call.Words[0]);
    EXPECT_EQ(entered, (std::vector<LONGLONG>{1, 2, 3}));
    EXPECT_EQ(zvtest::ProbeCallsOf(7).size(), 3u);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], driver->MajorFunction[IRP_MJ_PNP]);
}

// ---------------------------------------------------------------------------
// Levels below a device's driver key
// ---------------------------------------------------------------------------
TEST_F(ProbeBindingTest, DeviceLevelsLiveBelowTheDriverKey) {
    HANDLE driverKey = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &driverKey),
              STATUS_SUCCESS);
    HANDLE debugKey = nullptr;
    ASSERT_EQ(RegistryCreateKeyPath(driverKey, KEY_ALL_ACCESS, u"Debug\\Echowell", &debugKey),
              STATUS_SUCCESS);
    EXPECT_EQ(RegistryWriteDword(debugKey, u"Default", 3), 1u);
    EXPECT_EQ(RegistryWriteDword(debugKey, u"Device", 1), 1u);
    ZwClose(debugKey);

    EXPECT_EQ(ZDebugLevelRead("Echowell", "Device", Pdo()), 1u);
    EXPECT_EQ(ZDebugLevelRead("Echowell", "GenDisp", Pdo()), 3u);
    EXPECT_EQ(ZDebugLevelRead("Mutewell", "GenDisp", Pdo()), 2u);  // its own, new key

    ASSERT_EQ(RegistryCreateKeyPath(driverKey, KEY_ALL_ACCESS, u"Debug\\Echowell", &debugKey),
              STATUS_SUCCESS);
    EXPECT_EQ(RegistryReadDword(debugKey, u"GenDisp", 0), 3u);  // written back
    ZwClose(debugKey);
    ASSERT_EQ(RegistryCreateKeyPath(driverKey, KEY_ALL_ACCESS, u"Debug\\Mutewell", &debugKey),
              STATUS_SUCCESS);
    EXPECT_EQ(RegistryReadDword(debugKey, u"GenDisp", 0), 2u);
    ZwClose(debugKey);
    ZwClose(driverKey);
    EXPECT_FALSE(kp::reg::KeyExists(u"\\Registry\\Machine\\Software\\Korvane\\Mutewell"));
}

TEST_F(ProbeBindingTest, UnopenableDriverKeyGivesTwoAndWritesNothing) {
    KpPnpFailRegistryKey(Pdo(), PLUGPLAY_REGKEY_DRIVER, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ZDebugLevelRead("Echowell", "GenDisp", Pdo()), 2u);
    KpPnpFailRegistryKey(Pdo(), PLUGPLAY_REGKEY_DRIVER, STATUS_SUCCESS);

    HANDLE driverKey = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &driverKey),
              STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Debug");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, driverKey, nullptr);
    HANDLE debugKey = nullptr;
    EXPECT_EQ(ZwOpenKey(&debugKey, KEY_READ, &attributes), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(driverKey);
}

}  // namespace
