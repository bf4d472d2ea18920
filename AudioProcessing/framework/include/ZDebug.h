// Debug log modules.
//
// Every source file of the drivers is a log module: a name, a level word, an
// enable word and a probe index.  A module registers once at driver start
// (ModuleRegister), which reads its level from the registry and hands its level
// callback to the probe layer; it writes its lines through ZDebugPrint, which
// prefixes them with the driver and module names, prints them on the kernel
// debugger when the module lets them pass and forwards them to the probe trace.
//
// A source file takes its module words through the LogModule template with the
// tag of its module, e.g.
//     using ThisModule = LogModule<LogModuleDevice>;
//     ThisModule::ModulePrint(ZDBG_ERR | 1, "CDevice::Init> failed 0x%lx\n", status);
// The format is the kernel's printf dialect: %d %x %u %ld %lx are 32 bits wide,
// %I64d and %I64x 64 bits, %s narrow text and %S 16-bit text.  Pointers are
// printed through %lx / %x cast to 32 bits.
#pragma once

#include <wdm.h>

#include <cstdarg>

#include "OSDep.h"
#include "Probe.h"

// ---------------------------------------------------------------------------
// DebugFlags: the flag word of every log call.
// ---------------------------------------------------------------------------
#define ZDBG_LEVEL_MASK 0x0000000Fu  // message level: 1 important, 2 normal, 3 verbose
#define ZDBG_DROP 0x00800000u        // nothing happens at all
#define ZDBG_NO_PROBE 0x01000000u    // not forwarded to the probe trace
#define ZDBG_WARN 0x04000000u        // prefix tag "=>WARN "
#define ZDBG_ERR 0x08000000u         // prefix tag "=>ERR " (wins over ZDBG_WARN)
#define ZDBG_NO_PREFIX 0x20000000u   // the formatted text alone
#define ZDBG_QUOTE 0x40000000u       // the prefix begins with "'"
#define ZDBG_BREAK 0x80000000u       // DbgBreakPoint after a printed line

// A log line is built in this many bytes (at most 511 characters and the
// terminator); longer lines are cut at the end.
#define ZDBG_LINE_BYTES 512
// Level of a module that has no registry value and no "Default".
#define ZDBG_DEFAULT_LEVEL 2u

// A pointer as the log lines print it: its low 32 bits, for "%lx" (32 bits in
// the kernel's printf dialect).
inline ULONG Low32(const void* p) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(p));
}

// ---------------------------------------------------------------------------
// Driver name
// ---------------------------------------------------------------------------
// The narrow driver name (the descriptor's DriverName) that every log line carries
// and under which the module levels are kept in the registry.  DriverEntry sets
// it from the driver's descriptor before any module registers; until then it is
// the empty text.  PASSIVE_LEVEL; the text must stay valid for the whole load.
void ZDebugSetDriverName(PCSTR driverName);
// Any IRQL.  Never null.
PCSTR ZDebugGetDriverName();

// ---------------------------------------------------------------------------
// Shared routines
// ---------------------------------------------------------------------------
// Builds one line ("%s%s%s.%s: " with quote, tag, driver name and module name,
// then the caller's text, cut to 511 characters), prints it with DbgPrint when
// (flags & 0xF) <= (moduleLevel & 0xF) and enable is non-zero, breaks into the
// debugger after a printed line when ZDBG_BREAK is set, and forwards it to the
// ProbeTrace slot unless ZDBG_NO_PROBE is set.  Any IRQL up to DISPATCH_LEVEL:
// no lock, no allocation, the line lives on the stack.
void ZDebugPrint(PCSTR driverName, PCSTR moduleName, ULONG enable, ULONG moduleLevel, ULONG flags,
                 PCSTR format, va_list args);

// The level of a module: from "\Registry\Machine\Software\Korvane\<driver>\Debug"
// without a device, from "Debug\<driver>" under the device's driver key with one
// (keys created when missing).  Reads "Default" (2 when absent), then the value
// named after the module (the default when absent or not a 4-byte REG_DWORD),
// and writes the result back under the module's name.  2 when the key cannot be
// opened or created (nothing written then).  PASSIVE_LEVEL.
ULONG ZDebugLevelRead(PCSTR driverName, PCSTR moduleName, PDEVICE_OBJECT device);

// ---------------------------------------------------------------------------
// The log modules of the drivers, in the order of their registration (and so
// of their probe indices 0 to 10).
// ---------------------------------------------------------------------------
struct LogModuleDrvMain {
    static constexpr char kName[] = "DrvMain";
};
struct LogModuleDevice {
    static constexpr char kName[] = "Device";
};
struct LogModuleZDebug {
    static constexpr char kName[] = "ZDebug";
};
struct LogModuleRegistry {
    static constexpr char kName[] = "Registry";
};
struct LogModuleOSDep {
    static constexpr char kName[] = "OSDep";
};
struct LogModuleGenDisp {
    static constexpr char kName[] = "GenDisp";
};
struct LogModuleDSDisblr {
    static constexpr char kName[] = "DSDisblr";
};
struct LogModuleZvKAPFWi {
    static constexpr char kName[] = "ZvKAPFWi";
};
struct LogModuleIrpTgt {
    static constexpr char kName[] = "IrpTgt";
};
struct LogModuleFilterLogic {
    static constexpr char kName[] = "FilterLogic";
};
struct LogModuleKsFltTst {
    static constexpr char kName[] = "KsFltTst";
};

// The words and routines of one log module.  One instance per module tag and
// per driver image.  The level and enable words are 32-bit words that the
// collector's level callback writes without a lock at any time: they are
// written and read with the interlocked operations.
template <class Module>
class LogModule {
public:
    // The level callback handed to the probe layer: stores both words.
    static void ModuleSetLevel(ULONG level, ULONG enable) {
        InterlockedExchange(&s_level, static_cast<LONG>(level));
        InterlockedExchange(&s_enable, static_cast<LONG>(enable));
    }

    // Reads the module's level (ZDebugLevelRead) and registers the module with
    // the probe layer.  DriverEntry calls it with no device, once per module, in
    // the order of the tags above, after ProbeEnable.  PASSIVE_LEVEL.
    static void ModuleRegister(PDEVICE_OBJECT device) {
        ULONG level = ZDebugLevelRead(ZDebugGetDriverName(), Module::kName, device);
        InterlockedExchange(&s_level, static_cast<LONG>(level));
        InterlockedExchange(&s_probeIndex,
                            ProbeRegisterModule(Module::kName, level, &ModuleSetLevel));
    }

    // printf-style line of this module (kernel dialect).  Any IRQL up to
    // DISPATCH_LEVEL.
    static void ModulePrint(ULONG flags, PCSTR format, ...) {
        va_list args;
        va_start(args, format);
        ModulePrintV(flags, format, args);
        va_end(args);
    }

    static void ModulePrintV(ULONG flags, PCSTR format, va_list args) {
        ZDebugPrint(ZDebugGetDriverName(), Module::kName, Enable(), Level(), flags, format, args);
    }

    static PCSTR Name() { return Module::kName; }
    static ULONG Level() { return static_cast<ULONG>(InterlockedRead(&s_level)); }
    static ULONG Enable() { return static_cast<ULONG>(InterlockedRead(&s_enable)); }
    // The module's place in the probe layer's module table; -1 when the table
    // was full, or before registration.
    static LONG ProbeIndex() { return InterlockedRead(&s_probeIndex); }

private:
    static inline volatile LONG s_level = 0;
    static inline volatile LONG s_enable = 0;
    static inline volatile LONG s_probeIndex = -1;
};

// A list of log modules registered together, in the list's order.
template <class... Modules>
struct LogModuleList {
    static void RegisterAll(PDEVICE_OBJECT device) {
        (LogModule<Modules>::ModuleRegister(device), ...);
    }
};

// The framework's log modules in DriverEntry's order (probe indices 0 to 10).
using FrameworkLogModules =
    LogModuleList<LogModuleDrvMain, LogModuleDevice, LogModuleZDebug, LogModuleRegistry,
                  LogModuleOSDep, LogModuleGenDisp, LogModuleDSDisblr, LogModuleZvKAPFWi,
                  LogModuleIrpTgt, LogModuleFilterLogic, LogModuleKsFltTst>;
