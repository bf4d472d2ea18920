// Probe slots: the instrumentation table, the module table handed to an outside
// probe collector, and the binding to that collector through
// IRP_MN_QUERY_INTERFACE on the master device's stack.
#include "Probe.h"

#include <type_traits>

#include "MemAlloc.h"

namespace {

// ---------------------------------------------------------------------------
// The three fillings of a slot, for any slot type
// ---------------------------------------------------------------------------
template <class Fn>
struct SlotRoutines;

template <class R, class... A>
struct SlotRoutines<R (*)(A...)> {
    // Trapped: a call after unload (or before DriverEntry) stops the system.
    static R Trap(A...) { KeBugCheckEx(PROBE_BUGCHECK_CODE, 0, 0, 0, 0); }
    // Live but unbound: nothing, or 0 for the slot that returns a word.
    static R Empty(A...) {
        if constexpr (!std::is_void_v<R>) return R();
    }
};

template <class Fn>
void StoreSlot(ProbeSlot<Fn>& slot, Fn routine) {
    slot.Set(routine);
}
template <class Fn>
void TrapSlot(ProbeSlot<Fn>& slot) {
    StoreSlot(slot, &SlotRoutines<Fn>::Trap);
}
template <class Fn>
void EmptySlot(ProbeSlot<Fn>& slot) {
    StoreSlot(slot, &SlotRoutines<Fn>::Empty);
}

// Calls visit(index, slot) for every slot from `first` on, in slot order.
template <class Visit>
void ForEachSlot(ULONG first, Visit&& visit) {
    ProbeSlotTable& t = ProbeSlots;
    auto at = [&](ULONG index, auto& slot) {
        if (index >= first) visit(slot);
    };
    at(0, t.Init);
    at(1, t.Shutdown);
    at(2, t.HookDispatch);
    at(3, t.UnhookDispatch);
    at(4, t.RegisterModule);
    at(5, t.Trace);
    at(6, t.Enter);
    at(7, t.Leave);
    at(8, t.DefineCounter);
    at(9, t.AddCounter);
    at(10, t.SetCounter);
    at(11, t.NameTimer);
    at(12, t.TimerStart);
    at(13, t.TimerStop);
    at(14, t.Slot14);
    at(15, t.NameValue);
    at(16, t.Slot16);
    at(17, t.SetValue);
    at(18, t.Slot18);
    at(19, t.Slot19);
    at(20, t.Slot20);
    at(21, t.Slot21);
    at(22, t.Slot22);
}

// ---------------------------------------------------------------------------
// Probe state (driver-wide).  Written at PASSIVE_LEVEL by enable, disable, init
// and shutdown; the device words and tables are read by the bound forwarders at
// any IRQL.
// ---------------------------------------------------------------------------
struct ProbeState {
    // The devices given to ProbeInit; a non-null FDO word means initialised.
    // Interlocked: the forwarders read the PDO word at any IRQL.
    PVOID volatile Fdo;
    PVOID volatile Lower;
    PVOID volatile Pdo;
    // Acquired interface records (also on the interface list) and the tables
    // their collector filled.
    ProbeInterfaceRecord* TraceRecord;
    ProbeInterfaceRecord* MainRecord;
    ProbeInterfaceRecord* PerfRecord;
    ProbeTraceFunctions Trace;
    ProbeMainFunctions Main;
    ProbePerfFunctions Perf;
    // The dispatch table saved by ProbeHookDispatch.
    PDRIVER_DISPATCH SavedDispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];
    PDRIVER_OBJECT HookedDriver;
    ULONG Hooked;
};
ProbeState g_probe;

ProbeModuleEntry g_moduleTable[PROBE_MAX_MODULES];
volatile LONG g_moduleCount = 0;

// The interface list: every record acquired by ProbeQueryInterface and not yet
// released.  Guarded by its mutex (PASSIVE_LEVEL).
KMUTEX g_interfaceListMutex;
LIST_ENTRY g_interfaceList;

// ---------------------------------------------------------------------------
// Bound filling: forwarders that call a collector function with the PDO ahead
// of the slot's arguments.  A function the collector left empty is skipped, and
// so is a call that arrives after ProbeShutdown cleared the table.
// ---------------------------------------------------------------------------
// Group is a member of ProbeState (the main or the performance table), Member
// one of that table's functions: both are member pointers, which every
// compiler takes as template arguments (an address inside g_probe is not).
template <class SlotFn, auto Group, auto Member>
struct Forwarder;

template <class R, class... A, auto Group, auto Member>
struct Forwarder<R (*)(A...), Group, Member> {
    static R Call(A... args) {
        auto function = (g_probe.*Group).*Member;
        if (function == nullptr) {
            if constexpr (std::is_void_v<R>) {
                return;
            } else {
                return R();
            }
        }
        return function(static_cast<PDEVICE_OBJECT>(InterlockedReadPointer(&g_probe.Pdo)), args...);
    }
};

template <auto Group, auto Member, class Fn>
void BindSlot(ProbeSlot<Fn>& slot) {
    StoreSlot(slot, &Forwarder<Fn, Group, Member>::Call);
}

constexpr auto kMain = &ProbeState::Main;
constexpr auto kPerf = &ProbeState::Perf;

void BindMainSlots() {
    ProbeSlotTable& t = ProbeSlots;
    BindSlot<kMain, &ProbeMainFunctions::Enter>(t.Enter);
    BindSlot<kMain, &ProbeMainFunctions::Leave>(t.Leave);
    BindSlot<kMain, &ProbeMainFunctions::DefineCounter>(t.DefineCounter);
    BindSlot<kMain, &ProbeMainFunctions::AddCounter>(t.AddCounter);
    BindSlot<kMain, &ProbeMainFunctions::SetCounter>(t.SetCounter);
    BindSlot<kMain, &ProbeMainFunctions::NameTimer>(t.NameTimer);
    BindSlot<kMain, &ProbeMainFunctions::TimerStart>(t.TimerStart);
    BindSlot<kMain, &ProbeMainFunctions::TimerStop>(t.TimerStop);
    BindSlot<kMain, &ProbeMainFunctions::Function8>(t.Slot14);
    BindSlot<kMain, &ProbeMainFunctions::NameValue>(t.NameValue);
    BindSlot<kMain, &ProbeMainFunctions::Function10>(t.Slot16);
    BindSlot<kMain, &ProbeMainFunctions::SetValue>(t.SetValue);
}

void BindPerfSlots() {
    ProbeSlotTable& t = ProbeSlots;
    BindSlot<kPerf, &ProbePerfFunctions::Function0>(t.Slot18);
    BindSlot<kPerf, &ProbePerfFunctions::Function1>(t.Slot19);
    BindSlot<kPerf, &ProbePerfFunctions::Function2>(t.Slot20);
    BindSlot<kPerf, &ProbePerfFunctions::Function3>(t.Slot21);
    BindSlot<kPerf, &ProbePerfFunctions::Function4>(t.Slot22);
}

/*
 * ProbeTraceForward: the bound trace slot.  The collector's line function
 * expects a trace record that the calling code places in its own stack frame;
 * finding one means searching the caller's stack for a marker, which is neither
 * defined nor safe, and no code of the drivers ever places such a record.  So
 * the bound trace slot forwards nothing, which is what the search would find.
 */
void ProbeTraceForward(ULONG level, PCSTR text) {
    UNREFERENCED_PARAMETER(level);
    UNREFERENCED_PARAMETER(text);
}

// Slots 5 to 22 back to the live, unbound filling.
void UnbindSlots() {
    ForEachSlot(5, [](auto& slot) { EmptySlot(slot); });
}

// ---------------------------------------------------------------------------
// The live routines of slots 0 to 4
// ---------------------------------------------------------------------------
ULONG AcquireInterface(PDEVICE_OBJECT lower, const GUID* identifier, ProbeInterfaceRecord** record,
                       PVOID table, ULONG tableBytes) {
    if (ProbeQueryInterface(lower, record, identifier) != PROBE_OK) return PROBE_FAILED;
    return ProbeGetFunctionTable(*record, table, tableBytes);
}

/*
 * ProbeInit (slot 0): binds the slots to a probe collector on the stack below
 * the master's filter device, once per enable or shutdown.  PASSIVE_LEVEL.
 */
void ProbeInitRoutine(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo) {
    if (static_cast<PDEVICE_OBJECT>(InterlockedReadPointer(&g_probe.Fdo)) != nullptr) return;
    InterlockedExchangePointer(&g_probe.Fdo, fdo);
    InterlockedExchangePointer(&g_probe.Lower, lower);
    InterlockedExchangePointer(&g_probe.Pdo, pdo);
    const ULONG perfMode = ReadPerfMode(pdo);

    ProbeInterfaceRecord* record = nullptr;
    if (AcquireInterface(lower, &GUID_ProbeMainInterface, &record, &g_probe.Main,
                         sizeof g_probe.Main) == PROBE_OK) {
        BindMainSlots();
    }
    g_probe.MainRecord = record;

    record = nullptr;
    if (AcquireInterface(lower, &GUID_ProbeTraceInterface, &record, &g_probe.Trace,
                         sizeof g_probe.Trace) == PROBE_OK) {
        StoreSlot(ProbeSlots.Trace, &ProbeTraceForward);
        if (g_probe.Trace.Modules != nullptr) {
            g_probe.Trace.Modules(pdo, g_moduleTable, InterlockedRead(&g_moduleCount));
        }
    }
    g_probe.TraceRecord = record;

    record = nullptr;
    if (perfMode == 1 && AcquireInterface(lower, &GUID_ProbePerfInterface, &record, &g_probe.Perf,
                                          sizeof g_probe.Perf) == PROBE_OK) {
        BindPerfSlots();
    }
    g_probe.PerfRecord = record;

    if (g_probe.MainRecord == nullptr && g_probe.TraceRecord == nullptr &&
        g_probe.PerfRecord == nullptr) {
        // Nothing answered: forget the devices so that a later call tries again.
        InterlockedExchangePointer(&g_probe.Fdo, nullptr);
        InterlockedExchangePointer(&g_probe.Lower, nullptr);
        InterlockedExchangePointer(&g_probe.Pdo, nullptr);
    }
}

// Releases one held record and clears its table.
template <class Table>
void ReleaseBound(ProbeInterfaceRecord*& record, Table& table) {
    if (record != nullptr) ProbeReleaseInterface(record);
    record = nullptr;
    std::memset(&table, 0, sizeof table);
}

/*
 * ProbeShutdown (slot 1): back to the live, unbound filling; the collector's
 * records are released (trace, main, performance).  A call on another thread
 * that already read a bound slot may still reach a forwarder; it finds the
 * cleared table and does nothing.  PASSIVE_LEVEL.
 */
void ProbeShutdownRoutine() {
    UnbindSlots();
    ReleaseBound(g_probe.TraceRecord, g_probe.Trace);
    ReleaseBound(g_probe.MainRecord, g_probe.Main);
    ReleaseBound(g_probe.PerfRecord, g_probe.Perf);
    InterlockedExchangePointer(&g_probe.Fdo, nullptr);
    InterlockedExchangePointer(&g_probe.Lower, nullptr);
    InterlockedExchangePointer(&g_probe.Pdo, nullptr);
}

constexpr ULONG kIoctlKsProperty = CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kIoctlKsWriteStream =
    CTL_CODE(FILE_DEVICE_KS, 0x004, METHOD_NEITHER, FILE_WRITE_ACCESS);
constexpr ULONG kIoctlKsReadStream =
    CTL_CODE(FILE_DEVICE_KS, 0x005, METHOD_NEITHER, FILE_READ_ACCESS);

/*
 * ProbeDispatchWrapper: the dispatch routine of a hooked driver.  Times the
 * three KS requests as sections 1 (read stream), 2 (write stream) and 3
 * (property), then calls the driver's own routine.
 */
NTSTATUS ProbeDispatchWrapper(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = stack->MajorFunction;
    ULONG section = 0;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        section = code == kIoctlKsReadStream    ? 1
                  : code == kIoctlKsWriteStream ? 2
                  : code == kIoctlKsProperty    ? 3
                                                : 0;
    }
    PDRIVER_DISPATCH routine =
        major <= IRP_MJ_MAXIMUM_FUNCTION ? g_probe.SavedDispatch[major] : nullptr;
    if (routine == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (section != 0) ProbeEnter(section);
    NTSTATUS status = routine(device, irp);
    if (section != 0) ProbeLeave(section);
    return status;
}

/*
 * ProbeHookDispatch (slot 2): routes every major function of the driver through
 * ProbeDispatchWrapper, once, and defines the three KS request counters.
 * No code of the drivers calls it.  PASSIVE_LEVEL.
 */
void ProbeHookDispatchRoutine(PDRIVER_OBJECT driver) {
    if (driver == nullptr || g_probe.Hooked != 0) return;
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        g_probe.SavedDispatch[major] = driver->MajorFunction[major];
        driver->MajorFunction[major] = &ProbeDispatchWrapper;
    }
    g_probe.HookedDriver = driver;
    g_probe.Hooked = 1;
    for (ULONG counter = PROBE_COUNTER_READ_STREAM; counter <= PROBE_COUNTER_PROPERTY; ++counter) {
        ProbeDefineCounter(counter);
    }
    for (ULONG counter = PROBE_COUNTER_DISPATCH; counter <= PROBE_COUNTER_PROPERTY; ++counter) {
        ProbeSetCounter(counter, 0);
    }
}

// ProbeUnhookDispatch (slot 3): puts the saved dispatch table back.
void ProbeUnhookDispatchRoutine() {
    if (g_probe.Hooked == 0) return;
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        g_probe.HookedDriver->MajorFunction[major] = g_probe.SavedDispatch[major];
        g_probe.SavedDispatch[major] = nullptr;
    }
    g_probe.HookedDriver = nullptr;
    g_probe.Hooked = 0;
}

/*
 * ProbeRegisterModule (slot 4): a module's place in the module table, or -1
 * once 50 modules registered (the count then stays at 50).  Any IRQL.
 */
LONG ProbeRegisterModuleRoutine(PCSTR name, ULONG level, ProbeLevelCallback callback) {
    const LONG count = InterlockedIncrement(&g_moduleCount);
    if (count > PROBE_MAX_MODULES) {
        InterlockedExchange(&g_moduleCount, PROBE_MAX_MODULES);
        return -1;
    }
    ProbeModuleEntry& entry = g_moduleTable[count - 1];
    entry.Name = name;
    entry.Level = level;
    entry.LevelCallback = callback;
    return count - 1;
}

}  // namespace

// The image's table is trapped until DriverEntry enables it.
#define ZV_TRAP(Fn) \
    { &SlotRoutines<Fn>::Trap }
constinit ProbeSlotTable ProbeSlots = {
    ZV_TRAP(ProbeInitFn),
    ZV_TRAP(ProbeVoidFn),
    ZV_TRAP(ProbeHookDispatchFn),
    ZV_TRAP(ProbeVoidFn),
    ZV_TRAP(ProbeRegisterModuleFn),
    ZV_TRAP(ProbeTraceFn),
    ZV_TRAP(ProbeIdFn),
    ZV_TRAP(ProbeIdFn),
    ZV_TRAP(ProbeIdFn),
    ZV_TRAP(ProbeId64Fn),
    ZV_TRAP(ProbeId64Fn),
    ZV_TRAP(ProbeIdNameFn),
    ZV_TRAP(ProbeIdFn),
    ZV_TRAP(ProbeIdFn),
    ZV_TRAP(ProbeWord1Fn),
    ZV_TRAP(ProbeIdNameFn),
    ZV_TRAP(ProbeWord3Fn),
    ZV_TRAP(ProbeId64Fn),
    ZV_TRAP(ProbeWord2Fn),
    ZV_TRAP(ProbeWord2Fn),
    ZV_TRAP(ProbeWord4Fn),
    ZV_TRAP(ProbeWord2Fn),
    ZV_TRAP(ProbeWordQueryFn),
};
#undef ZV_TRAP

/*
 * ProbeSetSlots: live 1 gives the live filling (first step of DriverEntry),
 * live 0 traps every slot (last step of the unload).  Either way all probe
 * state is cleared; records still on the interface list stay there for
 * ProbeReleaseAllInterfaces.  PASSIVE_LEVEL, with no other slot call running.
 */
void ProbeSetSlots(ULONG live) {
    if (live != 0) {
        ProbeSlotTable& t = ProbeSlots;
        StoreSlot(t.Init, &ProbeInitRoutine);
        StoreSlot(t.Shutdown, &ProbeShutdownRoutine);
        StoreSlot(t.HookDispatch, &ProbeHookDispatchRoutine);
        StoreSlot(t.UnhookDispatch, &ProbeUnhookDispatchRoutine);
        StoreSlot(t.RegisterModule, &ProbeRegisterModuleRoutine);
        UnbindSlots();
    } else {
        ForEachSlot(0, [](auto& slot) { TrapSlot(slot); });
    }

    std::memset(g_moduleTable, 0, sizeof g_moduleTable);
    InterlockedExchange(&g_moduleCount, 0);
    std::memset(g_probe.SavedDispatch, 0, sizeof g_probe.SavedDispatch);
    g_probe.HookedDriver = nullptr;
    g_probe.Hooked = 0;
    std::memset(&g_probe.Trace, 0, sizeof g_probe.Trace);
    std::memset(&g_probe.Main, 0, sizeof g_probe.Main);
    std::memset(&g_probe.Perf, 0, sizeof g_probe.Perf);
    g_probe.TraceRecord = nullptr;
    g_probe.MainRecord = nullptr;
    g_probe.PerfRecord = nullptr;
    InterlockedExchangePointer(&g_probe.Fdo, nullptr);
    InterlockedExchangePointer(&g_probe.Lower, nullptr);
    InterlockedExchangePointer(&g_probe.Pdo, nullptr);
}

ProbeModuleEntry* ProbeGetModuleTable() {
    return g_moduleTable;
}

LONG ProbeGetModuleCount() {
    return InterlockedRead(&g_moduleCount);
}

void ProbeGetBindingState(ProbeBindingState* state) {
    if (state == nullptr) return;
    state->Fdo = static_cast<PDEVICE_OBJECT>(InterlockedReadPointer(&g_probe.Fdo));
    state->Lower = static_cast<PDEVICE_OBJECT>(InterlockedReadPointer(&g_probe.Lower));
    state->Pdo = static_cast<PDEVICE_OBJECT>(InterlockedReadPointer(&g_probe.Pdo));
    state->TraceRecord = g_probe.TraceRecord;
    state->MainRecord = g_probe.MainRecord;
    state->PerfRecord = g_probe.PerfRecord;
}

void ProbeInitInterfaceList() {
    KeInitializeMutex(&g_interfaceListMutex, 0);
    InitializeListHead(&g_interfaceList);
}

namespace {

bool LockInterfaceList() {
    return KeWaitForSingleObject(&g_interfaceListMutex, Executive, KernelMode, FALSE, nullptr) ==
           STATUS_SUCCESS;
}
void UnlockInterfaceList() {
    KeReleaseMutex(&g_interfaceListMutex, FALSE);
}

ULONG ReleaseRecord(ProbeInterfaceRecord* record) {
    ULONG result = PROBE_OK;
    if (record->Interface.Release != nullptr)
        result = record->Interface.Release(record->Interface.Context);
    MemFree(record);
    return result;
}

}  // namespace

void ProbeReleaseAllInterfaces() {
    if (!LockInterfaceList()) return;
    while (!IsListEmpty(&g_interfaceList)) {
        PLIST_ENTRY entry = RemoveHeadList(&g_interfaceList);
        ReleaseRecord(CONTAINING_RECORD(entry, ProbeInterfaceRecord, Links));
    }
    UnlockInterfaceList();
}

ULONG ReadPerfMode(PDEVICE_OBJECT pdo) {
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, &key)))
        return 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"ZVPerfMode");
    // Room for the record's fixed part, a DWORD and three spare bytes.
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG) + 3];
    } record;
    ULONG resultLength = 0;
    ULONG perfMode = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, &record,
                                      sizeof record, &resultLength);
    if (NT_SUCCESS(status) && record.info.Type == REG_DWORD &&
        record.info.DataLength == sizeof(ULONG)) {
        std::memcpy(&perfMode, record.info.Data, sizeof perfMode);
    }
    ZwClose(key);
    return perfMode;
}

/*
 * ProbeQueryInterface: asks the top of device's stack for the interface
 * `identifier` with a synchronous IRP_MN_QUERY_INTERFACE.  On success the
 * collector's after-query routine has run and the record is on the interface
 * list.  PASSIVE_LEVEL.
 */
ULONG ProbeQueryInterface(PDEVICE_OBJECT device, ProbeInterfaceRecord** out,
                          const GUID* identifier) {
    if (out == nullptr) return PROBE_NULL_ARGUMENT;
    auto* record = static_cast<ProbeInterfaceRecord*>(MemAlloc(sizeof(ProbeInterfaceRecord)));
    if (record == nullptr) {
        *out = nullptr;
        return PROBE_NO_MEMORY;
    }
    std::memset(record, 0, sizeof *record);

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    std::memset(&ioStatus, 0, sizeof ioStatus);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &done, &ioStatus);
    if (irp == nullptr) {
        MemFree(record);
        *out = nullptr;
        ObDereferenceObject(top);
        return PROBE_NO_REQUEST;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = identifier;
    next->Parameters.QueryInterface.Size = sizeof(ProbeInterface);
    next->Parameters.QueryInterface.Version = 0;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&record->Interface);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;

    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    ObDereferenceObject(top);

    if (!NT_SUCCESS(status)) {
        MemFree(record);
        *out = nullptr;
        return PROBE_FAILED;
    }
    if (record->Interface.AfterQuery != nullptr)
        record->Interface.AfterQuery(record->Interface.Context);
    if (!LockInterfaceList()) {
        ReleaseRecord(record);
        *out = nullptr;
        return PROBE_FAILED;
    }
    InsertHeadList(&g_interfaceList, &record->Links);
    UnlockInterfaceList();
    *out = record;
    return PROBE_OK;
}

ULONG ProbeFindInterface(ProbeInterfaceRecord* record, ULONG unlink) {
    if (record == nullptr || !LockInterfaceList()) return 0;
    ULONG found = 0;
    for (PLIST_ENTRY entry = g_interfaceList.Flink; entry != &g_interfaceList;
         entry = entry->Flink) {
        if (entry == &record->Links) {
            found = 1;
            if (unlink != 0) RemoveEntryList(entry);
            break;
        }
    }
    UnlockInterfaceList();
    return found;
}

ULONG ProbeReleaseInterface(ProbeInterfaceRecord* record) {
    if (ProbeFindInterface(record, 1) == 0) return PROBE_NOT_LISTED;
    return ReleaseRecord(record);
}

ULONG ProbeGetFunctionTable(ProbeInterfaceRecord* record, PVOID table, ULONG bytes) {
    if (table == nullptr) return PROBE_NULL_ARGUMENT;
    if (ProbeFindInterface(record, 0) == 0) return PROBE_NOT_LISTED;
    if (record->Interface.FillTable == nullptr) return PROBE_FAILED;
    return record->Interface.FillTable(record->Interface.Context, table, bytes);
}
