#include "ProbeCollector.h"

#include <kp/io.h>
#include <kp/pnp.h>
#include <kp/registry.h>

#include <algorithm>
#include <mutex>

namespace zvtest {

// ===========================================================================
// The pass-through function driver of the test device
// ===========================================================================
namespace {

constexpr char16_t kServiceName[] = u"ZvProbeTestFunction";
constexpr char16_t kEnumBase[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\Root\\ZVPROBE\\";

struct PassExtension {
    PDEVICE_OBJECT Lower;
};

NTSTATUS PassDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<PassExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = extension->Lower;
    const bool remove =
        stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS PassAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(PassExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* extension = static_cast<PassExtension*>(fdo->DeviceExtension);
    extension->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (extension->Lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID PassUnload(PDRIVER_OBJECT) {}

NTSTATUS PassDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = &PassAddDevice;
    driver->DriverUnload = &PassUnload;
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        driver->MajorFunction[major] = &PassDispatch;
    return STATUS_SUCCESS;
}

std::u16string InstancePath(const char16_t* instance) {
    return std::u16string(u"Root\\ZVPROBE\\") + instance;
}

}  // namespace

namespace {

constexpr char16_t kClassKey[] = u"{4d36e96c-e325-11ce-bfc1-08002be10318}";

// Removes what an earlier device of the same instance left in the registry
// (its device key lives below the instance key, its driver key below the class).
void ForgetDeviceKeys(const char16_t* instance) {
    const std::u16string keys[] = {
        std::u16string(kEnumBase) + instance,
        std::u16string(kKpClassPath) + u"\\" + kClassKey + u"\\09" + instance};
    for (const auto& key : keys) {
        if (kp::reg::KeyExists(key)) kp::reg::DeleteTree(key);
    }
}

}  // namespace

TestDeviceStack::TestDeviceStack(const char16_t* instance) : m_instance(instance) {
    ForgetDeviceKeys(instance);
    const std::u16string key = std::u16string(kEnumBase) + instance;
    kp::reg::SetString(key, u"Service", kServiceName);
    kp::reg::SetMultiString(key, u"HardwareID", {u"ROOT\\ZVPROBE"});
    kp::reg::SetString(key, u"Driver", std::u16string(kClassKey) + u"\\09" + instance);
    const std::u16string service = std::u16string(kKpServicesPath) + u"\\" + kServiceName;
    kp::reg::SetDword(service, u"Type", 1);
    kp::reg::SetDword(service, u"Start", 3);
    KpRegisterBuiltinDriver(kServiceName, &PassDriverEntry);
    m_status = KpPnpAddDevice(InstancePath(instance), &m_pdo);
}

TestDeviceStack::~TestDeviceStack() {
    if (m_pdo != nullptr) KpPnpRemoveDevice(m_pdo);
    KpPnpUnloadIdleDrivers();
    ForgetDeviceKeys(m_instance.c_str());
}

PDEVICE_OBJECT TestDeviceStack::Fdo() const {
    return m_pdo != nullptr ? m_pdo->AttachedDevice : nullptr;
}

void TestDeviceStack::SetDeviceValue(const char16_t* name, ULONG value) const {
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(m_pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, name);
    EXPECT_EQ(ZwSetValueKey(key, &counted, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
    ZwClose(key);
}

// ===========================================================================
// The recording collector
// ===========================================================================
struct RecordingCollector::State {
    mutable std::mutex Lock;
    PDEVICE_OBJECT Pdo = nullptr;
    bool Offered[3] = {true, true, true};
    bool FailFill[3] = {false, false, false};
    ULONG ReleaseResult[3] = {0, 0, 0};
    // The context of each interface: its index, findable from the state.
    struct Context {
        State* Owner;
        int Which;
    } Contexts[3];
    std::vector<std::string> Queries;
    std::vector<std::string> AfterQueries;
    std::vector<std::string> Releases;
    std::vector<CollectorCall> Calls;
    std::vector<std::string> Only;  // the functions recorded; empty: all
    std::u16string BootInstance;    // the instance AttachAtBoot answers for
    ProbeModuleEntry* Modules = nullptr;
    LONG ModuleCount = -1;
};

namespace {

const char* const kInterfaceNames[3] = {"trace", "main", "perf"};

// The collector the function tables report to.  One at a time.
std::mutex g_currentLock;
RecordingCollector::State* g_current = nullptr;

void RecordCall(const char* function, PDEVICE_OBJECT pdo, std::vector<LONGLONG> words,
                PCSTR text = nullptr) {
    std::lock_guard<std::mutex> guard(g_currentLock);
    if (g_current == nullptr) return;
    std::lock_guard<std::mutex> inner(g_current->Lock);
    const auto& only = g_current->Only;
    if (!only.empty() && std::find(only.begin(), only.end(), function) == only.end()) return;
    CollectorCall call;
    call.Function = function;
    call.Pdo = pdo;
    call.Words = std::move(words);
    if (text != nullptr) call.Text = text;
    g_current->Calls.push_back(std::move(call));
}

LONGLONG W(ULONG_PTR word) {
    return static_cast<LONGLONG>(word);
}

// Trace interface.
void TraceModules(PDEVICE_OBJECT pdo, ProbeModuleEntry* table, LONG count) {
    RecordCall("trace.0", pdo, {count});
    std::lock_guard<std::mutex> guard(g_currentLock);
    if (g_current != nullptr) {
        g_current->Modules = table;
        g_current->ModuleCount = count;
    }
}
void TraceLine(PDEVICE_OBJECT pdo, ULONG_PTR, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG,
               ULONG level, PCSTR text, PVOID) {
    RecordCall("trace.1", pdo, {level}, text);
}

// Main interface.
template <int N>
void MainId(PDEVICE_OBJECT pdo, ULONG id) {
    RecordCall(N == 0   ? "main.0"
               : N == 1 ? "main.1"
               : N == 2 ? "main.2"
               : N == 6 ? "main.6"
                        : "main.7",
               pdo, {id});
}
template <int N>
void MainId64(PDEVICE_OBJECT pdo, ULONG id, LONGLONG value) {
    RecordCall(N == 3 ? "main.3" : N == 4 ? "main.4" : "main.11", pdo, {id, value});
}
template <int N>
void MainIdName(PDEVICE_OBJECT pdo, ULONG id, PCSTR name) {
    RecordCall(N == 5 ? "main.5" : "main.9", pdo, {id}, name);
}
void Main8(PDEVICE_OBJECT pdo, ULONG_PTR a) {
    RecordCall("main.8", pdo, {W(a)});
}
void Main10(PDEVICE_OBJECT pdo, ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) {
    RecordCall("main.10", pdo, {W(a), W(b), W(c)});
}

// Performance interface.
void Perf0(PDEVICE_OBJECT pdo, ULONG_PTR a, ULONG_PTR b) {
    RecordCall("perf.0", pdo, {W(a), W(b)});
}
void Perf1(PDEVICE_OBJECT pdo, ULONG_PTR a, ULONG_PTR b) {
    RecordCall("perf.1", pdo, {W(a), W(b)});
}
void Perf2(PDEVICE_OBJECT pdo, ULONG_PTR a, ULONG_PTR b, ULONG_PTR c, ULONG_PTR d) {
    RecordCall("perf.2", pdo, {W(a), W(b), W(c), W(d)});
}
void Perf3(PDEVICE_OBJECT pdo, ULONG_PTR a, ULONG_PTR b) {
    RecordCall("perf.3", pdo, {W(a), W(b)});
}
ULONG_PTR Perf4(PDEVICE_OBJECT pdo, ULONG_PTR a) {
    RecordCall("perf.4", pdo, {W(a)});
    return a + 1000;
}

// Interface routines: the context tells the interface.
void AfterQuery(PVOID context) {
    auto* c = static_cast<RecordingCollector::State::Context*>(context);
    std::lock_guard<std::mutex> guard(c->Owner->Lock);
    c->Owner->AfterQueries.push_back(kInterfaceNames[c->Which]);
}

ULONG Release(PVOID context) {
    auto* c = static_cast<RecordingCollector::State::Context*>(context);
    std::lock_guard<std::mutex> guard(c->Owner->Lock);
    c->Owner->Releases.push_back(kInterfaceNames[c->Which]);
    return c->Owner->ReleaseResult[c->Which];
}

ULONG FillTable(PVOID context, PVOID table, ULONG bytes) {
    auto* c = static_cast<RecordingCollector::State::Context*>(context);
    if (c->Owner->FailFill[c->Which]) return 1;
    switch (c->Which) {
        case 0: {
            if (bytes != sizeof(ProbeTraceFunctions)) return 1;
            auto* t = static_cast<ProbeTraceFunctions*>(table);
            t->Modules = &TraceModules;
            t->Line = &TraceLine;
            return 0;
        }
        case 1: {
            if (bytes != sizeof(ProbeMainFunctions)) return 1;
            auto* t = static_cast<ProbeMainFunctions*>(table);
            t->Enter = &MainId<0>;
            t->Leave = &MainId<1>;
            t->DefineCounter = &MainId<2>;
            t->AddCounter = &MainId64<3>;
            t->SetCounter = &MainId64<4>;
            t->NameTimer = &MainIdName<5>;
            t->TimerStart = &MainId<6>;
            t->TimerStop = &MainId<7>;
            t->Function8 = &Main8;
            t->NameValue = &MainIdName<9>;
            t->Function10 = &Main10;
            t->SetValue = &MainId64<11>;
            return 0;
        }
        default: {
            if (bytes != sizeof(ProbePerfFunctions)) return 1;
            auto* t = static_cast<ProbePerfFunctions*>(table);
            t->Function0 = &Perf0;
            t->Function1 = &Perf1;
            t->Function2 = &Perf2;
            t->Function3 = &Perf3;
            t->Function4 = &Perf4;
            return 0;
        }
    }
}

NTSTATUS AnswerQuery(PVOID context, PDEVICE_OBJECT, PIO_STACK_LOCATION stack) {
    auto* state = static_cast<RecordingCollector::State*>(context);
    const GUID* asked = stack->Parameters.QueryInterface.InterfaceType;
    int which = -1;
    if (asked != nullptr && *asked == GUID_ProbeTraceInterface) which = 0;
    if (asked != nullptr && *asked == GUID_ProbeMainInterface) which = 1;
    if (asked != nullptr && *asked == GUID_ProbePerfInterface) which = 2;
    {
        std::lock_guard<std::mutex> guard(state->Lock);
        state->Queries.push_back(which < 0 ? "other" : kInterfaceNames[which]);
    }
    if (which < 0 || !state->Offered[which]) return STATUS_NOT_SUPPORTED;
    if (stack->Parameters.QueryInterface.Size < sizeof(ProbeInterface) ||
        stack->Parameters.QueryInterface.Interface == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* iface = reinterpret_cast<ProbeInterface*>(stack->Parameters.QueryInterface.Interface);
    iface->Size = sizeof(ProbeInterface);
    iface->Version = 0;
    iface->Context = &state->Contexts[which];
    iface->AfterQuery = &AfterQuery;
    iface->Release = &Release;
    iface->FillTable = &FillTable;
    return STATUS_SUCCESS;
}

}  // namespace

RecordingCollector::RecordingCollector() : m_state(new State) {
    for (int i = 0; i < 3; ++i) m_state->Contexts[i] = {m_state, i};
    std::lock_guard<std::mutex> guard(g_currentLock);
    g_current = m_state;
}

RecordingCollector::~RecordingCollector() {
    if (m_state->Pdo != nullptr) KpPnpSetQueryInterfaceHandler(m_state->Pdo, nullptr, nullptr);
    if (!m_state->BootInstance.empty())
        KpPnpSetInstanceQueryInterfaceHandler(m_state->BootInstance, nullptr, nullptr);
    {
        std::lock_guard<std::mutex> guard(g_currentLock);
        if (g_current == m_state) g_current = nullptr;
    }
    delete m_state;
}

void RecordingCollector::Attach(PDEVICE_OBJECT pdo) {
    m_state->Pdo = pdo;
    KpPnpSetQueryInterfaceHandler(pdo, &AnswerQuery, m_state);
}

void RecordingCollector::AttachAtBoot(const std::u16string& instancePath) {
    m_state->BootInstance = instancePath;
    KpPnpSetInstanceQueryInterfaceHandler(instancePath, &AnswerQuery, m_state);
}

void RecordingCollector::RecordOnly(std::vector<std::string> functions) {
    std::lock_guard<std::mutex> guard(m_state->Lock);
    m_state->Only = std::move(functions);
}

void RecordingCollector::Offer(CollectorInterface which, bool offered) {
    m_state->Offered[static_cast<int>(which)] = offered;
}

void RecordingCollector::FailTableFill(CollectorInterface which, bool fail) {
    m_state->FailFill[static_cast<int>(which)] = fail;
}

void RecordingCollector::SetReleaseResult(CollectorInterface which, ULONG result) {
    m_state->ReleaseResult[static_cast<int>(which)] = result;
}

std::vector<std::string> RecordingCollector::Queries() const {
    std::lock_guard<std::mutex> guard(m_state->Lock);
    return m_state->Queries;
}
std::vector<std::string> RecordingCollector::AfterQueries() const {
    std::lock_guard<std::mutex> guard(m_state->Lock);
    return m_state->AfterQueries;
}
std::vector<std::string> RecordingCollector::Releases() const {
    std::lock_guard<std::mutex> guard(m_state->Lock);
    return m_state->Releases;
}
std::vector<CollectorCall> RecordingCollector::Calls() const {
    std::lock_guard<std::mutex> guard(m_state->Lock);
    return m_state->Calls;
}
std::vector<LONGLONG> RecordingCollector::Values(ULONG id) const {
    std::lock_guard<std::mutex> guard(m_state->Lock);
    std::vector<LONGLONG> values;
    for (const CollectorCall& call : m_state->Calls) {
        if (call.Function == "main.11" && call.Words.size() == 2 &&
            call.Words[0] == static_cast<LONGLONG>(id))
            values.push_back(call.Words[1]);
    }
    return values;
}

ProbeModuleEntry* RecordingCollector::ReceivedModules() const {
    std::lock_guard<std::mutex> guard(g_currentLock);
    return m_state->Modules;
}
LONG RecordingCollector::ReceivedModuleCount() const {
    std::lock_guard<std::mutex> guard(g_currentLock);
    return m_state->ModuleCount;
}
void RecordingCollector::ClearCalls() {
    std::lock_guard<std::mutex> guard(m_state->Lock);
    m_state->Calls.clear();
}

}  // namespace zvtest
