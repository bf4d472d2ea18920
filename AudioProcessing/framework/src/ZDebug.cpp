// ZDebug: the shared log line routine and the module level reader.  Its log
// module (LogModule<LogModuleZDebug>) registers like every
// other but writes no lines of its own.
#include "ZDebug.h"

#include "Probe.h"
#include "Registry.h"

namespace {

// The driver name of every log line; set once by DriverEntry, read by every
// line at any IRQL.
PVOID volatile g_driverName = const_cast<char*>("");

// Widens plain ASCII names into 16-bit text, each byte sign-extended as the
// driver's C runtime widens a char.
constexpr size_t kWideNameChars = 64;
void WidenName(PCSTR name, WCHAR (&wide)[kWideNameChars]) {
    size_t i = 0;
    for (; name != nullptr && name[i] != '\0' && i + 1 < kWideNameChars; ++i) {
        wide[i] = static_cast<WCHAR>(static_cast<SHORT>(static_cast<signed char>(name[i])));
    }
    wide[i] = u'\0';
}

}  // namespace

void ZDebugSetDriverName(PCSTR driverName) {
    InterlockedExchangePointer(&g_driverName,
                               const_cast<char*>(driverName != nullptr ? driverName : ""));
}

PCSTR ZDebugGetDriverName() {
    return static_cast<PCSTR>(InterlockedReadPointer(&g_driverName));
}

/*
 * ZDebugPrint: one log line of a module.
 *   driverName, moduleName: the prefix's names; enable, moduleLevel: the module's
 *   words; flags: DebugFlags with the message level in the low 4 bits; format and
 *   args: the caller's text in the kernel's printf dialect.
 * The line is cut to ZDBG_LINE_BYTES - 1 characters.  Any IRQL up to
 * DISPATCH_LEVEL: the line is on the stack and no lock is taken.
 */
void ZDebugPrint(PCSTR driverName, PCSTR moduleName, ULONG enable, ULONG moduleLevel, ULONG flags,
                 PCSTR format, va_list args) {
    const bool passes = (flags & ZDBG_LEVEL_MASK) <= (moduleLevel & ZDBG_LEVEL_MASK) && enable != 0;
    if ((flags & ZDBG_DROP) != 0) return;
    if (!passes && (flags & ZDBG_NO_PROBE) != 0)
        return;  // nobody would see it: do not even format it

    CHAR line[ZDBG_LINE_BYTES];
    size_t used = 0;
    line[0] = '\0';
    if ((flags & ZDBG_NO_PREFIX) == 0) {
        PCSTR quote = (flags & ZDBG_QUOTE) != 0 ? "'" : "";
        PCSTR tag = (flags & ZDBG_ERR) != 0 ? "=>ERR " : (flags & ZDBG_WARN) != 0 ? "=>WARN " : "";
        _snprintf(line, sizeof line, "%s%s%s.%s: ", quote, tag, driverName, moduleName);
        used = std::strlen(line);
    }
    if (format != nullptr && used + 1 < sizeof line) {
        _vsnprintf(line + used, sizeof line - used, format, args);
    }
    line[sizeof line - 1] = '\0';  // whatever the formatter did at the end of the buffer

    if (passes) {
        DbgPrint("%s", line);  // the finished line is text, never a format
        if ((flags & ZDBG_BREAK) != 0) DbgBreakPoint();
    }
    if ((flags & ZDBG_NO_PROBE) == 0) ProbeTrace(flags & ZDBG_LEVEL_MASK, line);
}

/*
 * ZDebugLevelRead: the level of one log module from the driver's Debug key,
 * written back so that every module's value stands in the key after the first
 * start.  device: none for the machine-wide key, else the device whose driver
 * key holds "Debug\<driver>".  PASSIVE_LEVEL.
 */
ULONG ZDebugLevelRead(PCSTR driverName, PCSTR moduleName, PDEVICE_OBJECT device) {
    WCHAR driverWide[kWideNameChars];
    WCHAR moduleWide[kWideNameChars];
    WidenName(driverName, driverWide);
    WidenName(moduleName, moduleWide);

    WCHAR path[256];
    HANDLE driverKey = nullptr;
    HANDLE debugKey = nullptr;
    NTSTATUS status;
    if (device == nullptr) {
        status = RtlStringCchPrintfW(
            path, 256, u"\\Registry\\Machine\\Software\\Korvane\\%s\\Debug", driverWide);
        if (NT_SUCCESS(status))
            status = RegistryCreateKeyPath(nullptr, KEY_ALL_ACCESS, path, &debugKey);
    } else {
        status = IoOpenDeviceRegistryKey(device, PLUGPLAY_REGKEY_DRIVER, STANDARD_RIGHTS_REQUIRED,
                                         &driverKey);
        if (NT_SUCCESS(status)) {
            status = RtlStringCchPrintfW(path, 256, u"Debug\\%s", driverWide);
            if (NT_SUCCESS(status))
                status = RegistryCreateKeyPath(driverKey, KEY_ALL_ACCESS, path, &debugKey);
        } else {
            driverKey = nullptr;
        }
    }

    ULONG level = ZDBG_DEFAULT_LEVEL;
    if (NT_SUCCESS(status)) {
        ULONG defaultLevel = RegistryReadDword(debugKey, u"Default", ZDBG_DEFAULT_LEVEL);
        level = RegistryReadDword(debugKey, moduleWide, defaultLevel);
        RegistryWriteDword(debugKey, moduleWide, level);
        ZwClose(debugKey);
    }
    if (driverKey != nullptr) ZwClose(driverKey);
    return level;
}
