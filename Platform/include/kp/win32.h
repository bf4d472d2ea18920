// Host-only controls of the Win32 stand-in (Platform/win32), for tests and the
// tools' test harness.  The tools themselves never include this header.
//
// Modes, chosen at the first call unless a test chooses:
//   live  the process runs the machine (KpMachineFolder() set): the calls work on
//         the live registry store and PnP manager and never touch the file;
//   file  the process is a tool: the calls work on <KP_MACHINE>\registry.reg
//         (default ./kssim-machine), reloading it when it changed and saving each
//         change under registry.lock; a change is refused while another process
//         runs the machine (machine.lock held).
// Settings in a tool process come from the environment:
//   KP_WIN32_PLATFORM  nt5 (default, 5.1), nt4 (4.0) or 9x (4.10, pre-NT)
//   KP_WIN32_FAULTS    "Call[:Name]=Error[@N];...": the call (with that Name: the
//                      library of LoadLibraryA, the function of GetProcAddress, the
//                      property number of the SetupDi property calls; the DOM
//                      document's save is the call IXMLDOMDocument.save) fails with
//                      Error on its Nth call, or on every call without @N.
//   KP_WIN32_DELAYS    "Call=Milliseconds[@N];...": the call sleeps that long, on
//                      its Nth call or on every one; IXMLDOMDocument.load sleeps
//                      after it has read the file (to widen a race at will).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/ntdef.h"

void KpWin32UseMachineFile(const std::filesystem::path& Folder);
void KpWin32UseLiveMachine(void);
// Test programs (the test kit calls it before main): file mode without
// KP_MACHINE finds no machine instead of ./kssim-machine, so a test never makes
// a machine's folders in the folder it was started in.
void KpWin32RefuseDefaultMachine(void);
// Arguments, flags or forms no tool uses: each such call failed with
// ERROR_CALL_NOT_IMPLEMENTED and wrote "kp win32: <call>: <what> is not modelled".
ULONG KpWin32UnmodelledCount(void);
// Nth = 0: every call.  The same as one KP_WIN32_FAULTS entry.
void KpWin32FailCall(const char* Call, const char* Name, ULONG Error, ULONG Nth = 0);
void KpWin32ClearFailures(void);
// "nt5", "nt4" or "9x"; false for anything else.
bool KpWin32SetPlatform(const char* Name);
// Key, service-manager, device-set and library handles now open.
ULONG KpWin32OpenHandleCount(void);

// The machine's journal (<folder>/journal.log), one entry per line as fields:
//   start <module> <command line> <pid> <show>    a process started (show: the
//                                                 ShellExecuteExA nShow, else empty)
//   exit <pid> <code>                             a wait saw the process end
//   terminate <pid> <code>                        TerminateProcess
//   service <name> <state> <pid>                  StartServiceA (2), SetServiceStatus
//   msgbox <owner> <caption> <text> <style> <answer>
//   exitwindows <flags> <reason 0x%08X> <TRUE|FALSE>
//   double <Windows path> <arguments as received, joined with blanks>
// Extra KP_* settings of a tool process:
//   KP_WIN32_LANGID               the user's language (default 1033)
//   KP_WIN32_MSGBOX               "yes,no,...": one answer per message box (default no)
//   KP_WIN32_LOCAL_TIME           "2005-03-07 14:05:09", fixed for the process
//   KP_WIN32_SHUTDOWN_PRIVILEGE   0 refuses the shutdown privilege
// A child started by the stand-in inherits them, except KP_WIN32_FAULTS and
// KP_WIN32_DELAYS.
namespace kp::win32 {
std::vector<std::vector<std::string>> ReadJournal(const std::filesystem::path& folder);
// Appends one entry to the journal of the machine this process works on.
void Journal(const std::vector<std::string>& fields);
// Waits until the service's last run has ended (it reported SERVICE_STOPPED or
// its process is gone); false when Milliseconds passed first.
bool WaitForServiceRun(const std::filesystem::path& folder, const std::string& name,
                       unsigned milliseconds);
// How long a test waits for a service's run before calling the service hung.
// A run starts processes of its own, and a loaded machine can take seconds to
// start each one: the wait catches a hung service, never a slow one.
constexpr unsigned kServiceRunPatienceMs = 240000;
}  // namespace kp::win32
// Forgets an enabled shutdown privilege (tests of several prompts in one process).
void KpWin32ResetShutdownPrivilege(void);
