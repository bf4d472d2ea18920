// Shared internals of the Win32 stand-in: last error, the unmodelled-call
// report, injected faults, the machine the calls work on (live or file mode)
// and the handle table.
#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kp/registry.h"

namespace kp::win32 {

// Sets the last error and gives FALSE, the common failure of a BOOL call.
BOOL Fail(DWORD error);
// Writes "kp win32: <call>: <what> is not modelled", counts it and gives
// ERROR_CALL_NOT_IMPLEMENTED (also set as the last error).
DWORD Unmodelled(const char* call, const std::string& what);
// The error an injected fault gives this call of `call` (with `name`), or 0.
DWORD InjectedFault(const char* call, std::string_view name = {});
// Sleeps for the delay injected at this call of `call` (KP_WIN32_DELAYS), if any.
void InjectedDelay(const char* call);

// A folder call's size protocol: the length without the NUL, or the size
// needed with it when Size is short; 0 for an injected fault.
UINT FolderCall(const char* call, const char* folder, LPSTR buffer, UINT size);

// The platform the calls report (KP_WIN32_PLATFORM).
struct PlatformVersion {
    DWORD Major, Minor, Build, PlatformId;
};
PlatformVersion Platform();

// ---------------------------------------------------------------------------
// The machine.  Every call that reads the registry starts with Sync(); every
// change goes through Change(), which in file mode holds registry.lock,
// reloads, runs the edit, saves and releases.  Both give 0 or a Win32 error.
// ---------------------------------------------------------------------------
DWORD Sync();
DWORD Change(const std::function<DWORD()>& edit);
bool LiveMode();
// Counts the store's reloads; a key handle reopens its key after one.
ULONGLONG Generation();
kp::reg::Store& Store();

// A drive path of a file call ("C:\..."; "\..." is on C:) in the machine
// folder.  Other forms are not modelled (reported, nullopt, *error set).
std::optional<std::filesystem::path> MapFilePath(const char* call, LPCSTR path, DWORD* error);

// Win32 errors for the store's statuses.
DWORD ErrorFromStatus(NTSTATUS status);

// UTF-8 <-> UTF-16 names and registry paths; false for malformed UTF-8.
bool Widen(std::string_view text, std::u16string* out);
std::string Narrow(std::u16string_view text);
std::u16string GuidText(const GUID& guid);  // "{xxxxxxxx-...}" lower case

// Value bytes between the store's form and the caller's: string types are
// converted between UTF-16 and UTF-8, others copied.
std::vector<uint8_t> NarrowValue(ULONG type, const std::vector<uint8_t>& stored);
bool WidenValue(ULONG type, const BYTE* data, size_t size, std::vector<uint8_t>* stored);
inline bool IsStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// ---------------------------------------------------------------------------
// Handles: every object a call hands out is registered with its kind, so a
// handle of another kind, or one already closed, is refused.
// ---------------------------------------------------------------------------
enum class Kind {
    Key,
    ScManager,
    Service,
    DeviceSet,
    Module,
    Process,
    Thread,
    Token,
    Mutex,
    Status
};
struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;
};
void Register(Object* object);
// The object behind a handle when it is of the kind, else null.
Object* Lookup(const void* handle, Kind kind);
// Unregisters and deletes; false when the handle is not of the kind.
bool Close(const void* handle, Kind kind);

// ---------------------------------------------------------------------------
// The machine folder the process works on (live or file mode), with the
// folders every machine has; empty when none is chosen yet.
// ---------------------------------------------------------------------------
std::filesystem::path MachineFolder();
// True when Folder is the live machine's, or holds a registry.reg.
bool HoldsMachine(const std::filesystem::path& folder);
// The Windows path ("C:\...") of a host path inside the machine folder.
std::optional<std::string> WindowsPathOf(const std::filesystem::path& host);
bool EqualNoCase(std::string_view a, std::string_view b);

// One line of <folder>/journal.log, appended under journal.lock.
void Journal(const std::vector<std::string>& fields);
// The same with journal.lock held by the caller.
void JournalLocked(const std::filesystem::path& folder, const std::vector<std::string>& fields);

// Settings of the environment (read once per process).
LANGID LanguageSetting();
// The next scripted message-box answer, or 0 when the script is used up.
int NextMessageBoxAnswer();
bool ShutdownPrivilegeGranted();

// Processes.  Starts the host program of a Windows module path with the
// arguments of the command line's rest; extra environment entries are added to
// the caller's (KP_MACHINE made absolute, KP_WIN32_FAULTS and KP_SCM_SERVICE
// dropped).  0 and *handle (a process handle, or none when handle is null) or a
// Win32 error.
struct CommandLine {
    std::string Module;  // the Windows path of the program
    std::filesystem::path Host;
    std::string Rest;
};
DWORD ParseCommandLine(const char* call, const std::string& line, CommandLine* out);
std::vector<std::string> SplitArguments(const std::string& rest);
DWORD StartProcess(const CommandLine& command, const std::string& line,
                   const std::vector<std::string>& extraEnvironment, const std::string& show,
                   HANDLE* handle, DWORD* pid);
bool ProcessAlive(DWORD pid);
// The process side of WaitForSingleObject and CloseHandle (process and thread
// handles).
DWORD WaitForProcess(HANDLE handle, DWORD milliseconds);
bool CloseProcessHandle(HANDLE handle);

// A key handle of the registry calls.
HKEY OpenKeyHandle(const std::u16string& path, ACCESS_MASK access);

}  // namespace kp::win32
