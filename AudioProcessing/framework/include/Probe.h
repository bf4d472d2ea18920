// Probe slots: all instrumentation of the drivers goes through one table of 23
// operation pointers.  Code calls a slot without testing it.
//
// The table has three fillings:
//  - trapped: every slot stops the system (KeBugCheckEx 0xDEADBEEF).  This is
//    the table as the driver image holds it before DriverEntry, and again after
//    ProbeDisable at unload;
//  - live: slots 0 to 4 do real work (init, shutdown, dispatch hook, module
//    registration), 5 to 21 do nothing, 22 returns 0;
//  - bound: once ProbeInit found an outside probe collector on the master
//    device's stack (IRP_MN_QUERY_INTERFACE under three interface identifiers),
//    slots 5 to 22 forward to the collector's functions, each called with the
//    PDO given to ProbeInit ahead of the slot's own arguments.
//
// On this host the slots are typed function pointers and 64-bit values travel
// as one 64-bit argument; the order of the arguments is the collector's
// contract.  The collector's function tables are arrays of pointers, so their
// byte sizes are 2, 12 and 5 pointers (trace, main, performance).
#pragma once

#include <wdm.h>

#include "OSDep.h"

#define PROBE_SLOT_COUNT 23
#define PROBE_MAX_MODULES 50
#define PROBE_BUGCHECK_CODE 0xDEADBEEFu

// Results of the interface routines.
#define PROBE_OK 0u
#define PROBE_FAILED 1u
#define PROBE_NOT_LISTED 2u
#define PROBE_NULL_ARGUMENT 3u
#define PROBE_NO_MEMORY 5u
#define PROBE_NO_REQUEST 6u

// Counter ids.
#define PROBE_COUNTER_DISPATCH 0u
#define PROBE_COUNTER_READ_STREAM 1u
#define PROBE_COUNTER_WRITE_STREAM 2u
#define PROBE_COUNTER_PROPERTY 3u
#define PROBE_COUNTER_PAGED_BYTES 4u
#define PROBE_COUNTER_NONPAGED_BYTES 5u
#define PROBE_COUNTER_LARGEST_REQUEST 6u
#define PROBE_COUNTER_STREAM_THREAD 14u
#define PROBE_COUNTER_WORKERS 15u

// The collector's interfaces.
DEFINE_GUID(GUID_ProbeMainInterface, 0x6F376556, 0x8DC5, 0x4DB1, 0x99, 0x40, 0xCE, 0x11, 0xC1, 0x22,
            0x7C, 0x8A);
DEFINE_GUID(GUID_ProbeTraceInterface, 0xEAEAB6E2, 0x5574, 0x4A0F, 0xB5, 0x89, 0x85, 0x93, 0x23,
            0x09, 0xBA, 0x14);
DEFINE_GUID(GUID_ProbePerfInterface, 0xD53BFB1A, 0x7F21, 0x498F, 0x8B, 0x6F, 0x25, 0xC2, 0x3F, 0xEC,
            0x77, 0x2E);

// ---------------------------------------------------------------------------
// Slot types
// ---------------------------------------------------------------------------
typedef void (*ProbeLevelCallback)(ULONG level, ULONG enable);

typedef void (*ProbeInitFn)(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo);
typedef void (*ProbeVoidFn)();
typedef void (*ProbeHookDispatchFn)(PDRIVER_OBJECT driver);
typedef LONG (*ProbeRegisterModuleFn)(PCSTR name, ULONG level, ProbeLevelCallback callback);
typedef void (*ProbeTraceFn)(ULONG level, PCSTR text);
typedef void (*ProbeIdFn)(ULONG id);
typedef void (*ProbeId64Fn)(ULONG id, LONGLONG value);
typedef void (*ProbeIdNameFn)(ULONG id, PCSTR name);
typedef void (*ProbeWord1Fn)(ULONG_PTR a);
typedef void (*ProbeWord2Fn)(ULONG_PTR a, ULONG_PTR b);
typedef void (*ProbeWord3Fn)(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c);
typedef void (*ProbeWord4Fn)(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c, ULONG_PTR d);
typedef ULONG_PTR (*ProbeWordQueryFn)(ULONG_PTR a);

// One slot: a routine shared without a lock, written and read with the
// kernel's interlocked pointer operations (any IRQL).
template <class Fn>
struct ProbeSlot {
    Fn volatile Routine;

    Fn Get() const {
        return reinterpret_cast<Fn>(InterlockedReadPointer(Word(const_cast<ProbeSlot*>(this))));
    }
    void Set(Fn routine) {
        InterlockedExchangePointer(Word(this), reinterpret_cast<PVOID>(routine));
    }

private:
    static PVOID volatile* Word(ProbeSlot* slot) {
        return reinterpret_cast<PVOID volatile*>(const_cast<Fn*>(&slot->Routine));
    }
};

// ProbeSlots, in slot order.  Written at PASSIVE_LEVEL (enable, disable, init,
// shutdown), read without a lock by any thread at any IRQL.
struct ProbeSlotTable {
    ProbeSlot<ProbeInitFn> Init;                      // 0
    ProbeSlot<ProbeVoidFn> Shutdown;                  // 1
    ProbeSlot<ProbeHookDispatchFn> HookDispatch;      // 2
    ProbeSlot<ProbeVoidFn> UnhookDispatch;            // 3
    ProbeSlot<ProbeRegisterModuleFn> RegisterModule;  // 4
    ProbeSlot<ProbeTraceFn> Trace;                    // 5
    ProbeSlot<ProbeIdFn> Enter;                       // 6
    ProbeSlot<ProbeIdFn> Leave;                       // 7
    ProbeSlot<ProbeIdFn> DefineCounter;               // 8
    ProbeSlot<ProbeId64Fn> AddCounter;                // 9
    ProbeSlot<ProbeId64Fn> SetCounter;                // 10
    ProbeSlot<ProbeIdNameFn> NameTimer;               // 11
    ProbeSlot<ProbeIdFn> TimerStart;                  // 12
    ProbeSlot<ProbeIdFn> TimerStop;                   // 13
    ProbeSlot<ProbeWord1Fn> Slot14;                   // 14
    ProbeSlot<ProbeIdNameFn> NameValue;               // 15
    ProbeSlot<ProbeWord3Fn> Slot16;                   // 16
    ProbeSlot<ProbeId64Fn> SetValue;                  // 17
    ProbeSlot<ProbeWord2Fn> Slot18;                   // 18
    ProbeSlot<ProbeWord2Fn> Slot19;                   // 19
    ProbeSlot<ProbeWord4Fn> Slot20;                   // 20
    ProbeSlot<ProbeWord2Fn> Slot21;                   // 21
    ProbeSlot<ProbeWordQueryFn> Slot22;               // 22
};
extern ProbeSlotTable ProbeSlots;

// ---------------------------------------------------------------------------
// Calls through the slots (what the rest of the drivers use)
// ---------------------------------------------------------------------------
#define ZV_PROBE_SLOT(slot) (ProbeSlots.slot.Get())
inline void ProbeInit(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo) {
    ZV_PROBE_SLOT(Init)(fdo, lower, pdo);
}
inline void ProbeShutdown() {
    ZV_PROBE_SLOT(Shutdown)();
}
inline void ProbeHookDispatch(PDRIVER_OBJECT driver) {
    ZV_PROBE_SLOT(HookDispatch)(driver);
}
inline void ProbeUnhookDispatch() {
    ZV_PROBE_SLOT(UnhookDispatch)();
}
inline LONG ProbeRegisterModule(PCSTR name, ULONG level, ProbeLevelCallback callback) {
    return ZV_PROBE_SLOT(RegisterModule)(name, level, callback);
}
inline void ProbeTrace(ULONG level, PCSTR text) {
    ZV_PROBE_SLOT(Trace)(level, text);
}
inline void ProbeEnter(ULONG section) {
    ZV_PROBE_SLOT(Enter)(section);
}
inline void ProbeLeave(ULONG section) {
    ZV_PROBE_SLOT(Leave)(section);
}
inline void ProbeDefineCounter(ULONG counter) {
    ZV_PROBE_SLOT(DefineCounter)(counter);
}
inline void ProbeAddCounter(ULONG counter, LONGLONG delta) {
    ZV_PROBE_SLOT(AddCounter)(counter, delta);
}
inline void ProbeSetCounter(ULONG counter, LONGLONG value) {
    ZV_PROBE_SLOT(SetCounter)(counter, value);
}
inline void ProbeNameTimer(ULONG timer, PCSTR name) {
    ZV_PROBE_SLOT(NameTimer)(timer, name);
}
inline void ProbeTimerStart(ULONG timer) {
    ZV_PROBE_SLOT(TimerStart)(timer);
}
inline void ProbeTimerStop(ULONG timer) {
    ZV_PROBE_SLOT(TimerStop)(timer);
}
inline void ProbeSlot14(ULONG_PTR a) {
    ZV_PROBE_SLOT(Slot14)(a);
}
inline void ProbeNameValue(ULONG value, PCSTR name) {
    ZV_PROBE_SLOT(NameValue)(value, name);
}
inline void ProbeSlot16(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) {
    ZV_PROBE_SLOT(Slot16)(a, b, c);
}
inline void ProbeSetValue(ULONG value, LONGLONG data) {
    ZV_PROBE_SLOT(SetValue)(value, data);
}
inline void ProbeSlot18(ULONG_PTR a, ULONG_PTR b) {
    ZV_PROBE_SLOT(Slot18)(a, b);
}
inline void ProbeSlot19(ULONG_PTR a, ULONG_PTR b) {
    ZV_PROBE_SLOT(Slot19)(a, b);
}
inline void ProbeSlot20(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c, ULONG_PTR d) {
    ZV_PROBE_SLOT(Slot20)(a, b, c, d);
}
inline void ProbeSlot21(ULONG_PTR a, ULONG_PTR b) {
    ZV_PROBE_SLOT(Slot21)(a, b);
}
inline ULONG_PTR ProbeSlot22(ULONG_PTR a) {
    return ZV_PROBE_SLOT(Slot22)(a);
}
#undef ZV_PROBE_SLOT

// ---------------------------------------------------------------------------
// The module table handed to the collector
// ---------------------------------------------------------------------------
struct ProbeModuleEntry {
    ULONG_PTR CollectorWord;           // 0 from the driver; only the collector writes it
    PCSTR Name;                        // module name
    ULONG Level;                       // level at registration
    ProbeLevelCallback LevelCallback;  // ModuleSetLevel of the module: (level, enable)
};

// Read-only views of the probe state, for the collector and for tests.
ProbeModuleEntry* ProbeGetModuleTable();
LONG ProbeGetModuleCount();

// ---------------------------------------------------------------------------
// The collector's function tables (filled by the collector's table routine)
// ---------------------------------------------------------------------------
struct ProbeTraceFunctions {
    // Function 0: the collector learns every registered module.
    void (*Modules)(PDEVICE_OBJECT pdo, ProbeModuleEntry* table, LONG count);
    // Function 1: one trace line (collector word, three context words, four
    // zero words, level, text, address of further arguments).
    void (*Line)(PDEVICE_OBJECT pdo, ULONG_PTR collectorWord, ULONG context0, ULONG context1,
                 ULONG context2, ULONG zero0, ULONG zero1, ULONG zero2, ULONG zero3, ULONG level,
                 PCSTR text, PVOID furtherArgs);
};

struct ProbeMainFunctions {
    void (*Enter)(PDEVICE_OBJECT pdo, ULONG section);                               // 0
    void (*Leave)(PDEVICE_OBJECT pdo, ULONG section);                               // 1
    void (*DefineCounter)(PDEVICE_OBJECT pdo, ULONG counter);                       // 2
    void (*AddCounter)(PDEVICE_OBJECT pdo, ULONG counter, LONGLONG d);              // 3
    void (*SetCounter)(PDEVICE_OBJECT pdo, ULONG counter, LONGLONG v);              // 4
    void (*NameTimer)(PDEVICE_OBJECT pdo, ULONG timer, PCSTR name);                 // 5
    void (*TimerStart)(PDEVICE_OBJECT pdo, ULONG timer);                            // 6
    void (*TimerStop)(PDEVICE_OBJECT pdo, ULONG timer);                             // 7
    void (*Function8)(PDEVICE_OBJECT pdo, ULONG_PTR a);                             // 8
    void (*NameValue)(PDEVICE_OBJECT pdo, ULONG value, PCSTR name);                 // 9
    void (*Function10)(PDEVICE_OBJECT pdo, ULONG_PTR a, ULONG_PTR b, ULONG_PTR c);  // 10
    void (*SetValue)(PDEVICE_OBJECT pdo, ULONG value, LONGLONG data);               // 11
};

struct ProbePerfFunctions {
    void (*Function0)(PDEVICE_OBJECT pdo, ULONG_PTR a, ULONG_PTR b);
    void (*Function1)(PDEVICE_OBJECT pdo, ULONG_PTR a, ULONG_PTR b);
    void (*Function2)(PDEVICE_OBJECT pdo, ULONG_PTR a, ULONG_PTR b, ULONG_PTR c, ULONG_PTR d);
    void (*Function3)(PDEVICE_OBJECT pdo, ULONG_PTR a, ULONG_PTR b);
    ULONG_PTR (*Function4)(PDEVICE_OBJECT pdo, ULONG_PTR a);
};

// ---------------------------------------------------------------------------
// Interface record: the interface the collector fills in answer to
// IRP_MN_QUERY_INTERFACE, then the driver's own list links.
// ---------------------------------------------------------------------------
typedef void (*ProbeInterfaceAfterQuery)(PVOID context);
typedef ULONG (*ProbeInterfaceRelease)(PVOID context);
typedef ULONG (*ProbeInterfaceFillTable)(PVOID context, PVOID table, ULONG bytes);  // 0 = success

struct ProbeInterface {
    USHORT Size;                          // the query asks for sizeof(ProbeInterface)
    USHORT Version;                       // the query asks for 0
    PVOID Context;                        // first argument of the routines below
    PVOID Unused1;                        // not used by the driver
    ProbeInterfaceAfterQuery AfterQuery;  // called once after the query succeeded
    ProbeInterfaceRelease Release;        // called when the record is released
    PVOID Unused2[2];                     // not used by the driver
    ProbeInterfaceFillTable FillTable;    // fills a function table
};

struct ProbeInterfaceRecord {
    ProbeInterface Interface;
    LIST_ENTRY Links;  // the driver's interface list
};

// ---------------------------------------------------------------------------
// Set-up and tear-down (DriverEntry and unload), PASSIVE_LEVEL
// ---------------------------------------------------------------------------
// live 1: the live filling; live 0: every slot trapped.  Both clear the module
// table, the saved dispatch table, the bound tables, records and device words.
void ProbeSetSlots(ULONG live);
inline void ProbeEnable() {
    ProbeSetSlots(1);
}
inline void ProbeDisable() {
    ProbeSetSlots(0);
}

// The interface list: its mutex and empty head (after MemInitialize).
void ProbeInitInterfaceList();
// Unlinks every listed record, calls its release routine and frees it.
void ProbeReleaseAllInterfaces();

// "ZVPerfMode" of the PDO's device key: the value when it is a 4-byte
// REG_DWORD, else 0.
ULONG ReadPerfMode(PDEVICE_OBJECT pdo);

// Asks the top of device's stack for an interface; on success the record is
// listed and returned in *out.  Results PROBE_*.
ULONG ProbeQueryInterface(PDEVICE_OBJECT device, ProbeInterfaceRecord** out,
                          const GUID* identifier);
// 1 when the record is listed (and unlinked when unlink is set), else 0.
ULONG ProbeFindInterface(ProbeInterfaceRecord* record, ULONG unlink);
// Unlinks, releases and frees a listed record: the release routine's result,
// or PROBE_NOT_LISTED.
ULONG ProbeReleaseInterface(ProbeInterfaceRecord* record);
// The record's table routine: PROBE_NULL_ARGUMENT, PROBE_NOT_LISTED or its result.
ULONG ProbeGetFunctionTable(ProbeInterfaceRecord* record, PVOID table, ULONG bytes);

// Bound state, for tests: the device words and whether each interface record
// is held.
struct ProbeBindingState {
    PDEVICE_OBJECT Fdo;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    ProbeInterfaceRecord* TraceRecord;
    ProbeInterfaceRecord* MainRecord;
    ProbeInterfaceRecord* PerfRecord;
};
void ProbeGetBindingState(ProbeBindingState* state);
