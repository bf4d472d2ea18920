// Startwarden's launcher service "ZVSrvLauncher": installs itself as an
// automatically started service and, at each start, runs the programs listed
// under HKLM "SOFTWARE\Korvane\LauncherServices", records their runs, deletes
// entries without runs left, removes itself when none is left, and offers the
// reboot a program asked for.
#pragma once

#include <windows.h>

#include <winsvc.h>

inline constexpr char kLauncherKey[] = "SOFTWARE\\Korvane\\LauncherServices";
inline constexpr DWORD kShutdownReason = 0x80010002;  // planned, hardware, installation

// One launch entry (a subkey of the launcher key).
struct LaunchEntry {
    char KeyName[MAX_PATH] = {};
    char Name[MAX_PATH] = {};        // the program's file name
    char Path[MAX_PATH] = {};        // its folder, macros expanded
    char Parameters[MAX_PATH] = {};  // empty when absent
    LONG Repeat = 0;                 // runs left after the next; negative: none
    DWORD Frequency = 0;             // minimum minutes between runs
    DWORD TimeoutMax = 30;           // seconds to wait for the program
    SYSTEMTIME LastExecuted = {};    // local time; only minute..year are kept
    LONG Priority = 50;              // run order, smaller first
    DWORD Presence = 0;              // bit 0: Frequency read; bit 1: LastExecuted read
    DWORD Wait = 1;                  // non-zero: wait for the program
    DWORD NoDelete = 0;              // keep the subkey when no runs are left
    LaunchEntry* Next = nullptr;

    static constexpr DWORD kHasFrequency = 1;
    static constexpr DWORD kHasLastExecuted = 2;

    // Inserts Entry before the first entry of *Head whose Priority is >= its own.
    static void InsertSorted(LaunchEntry** head, LaunchEntry* entry);
    bool IsDue() const;
    // Runs the program when due and Repeat >= 0; LastExecuted = now on a start.
    void Run();
};

// Lower-cases Text into Out (MAX_PATH) and replaces the first occurrence of
// each macro ("%windows%", "%system%", "%drivers%", "%programs%", "%korvane%").
// A macro whose folder cannot be had, or whose result would not fit, stays.
void ExpandLaunchPath(const char* text, char* out);

// Parses "%d %d %d %d %d" (minute hour day month year); false unless all five.
bool ParseLastExecuted(const char* text, SYSTEMTIME* time);

class LauncherService {
public:
    LauncherService();
    virtual ~LauncherService();

    int IsNt5OrLater();
    int LoadServiceApi();
    // The program's exit code for argv (only argv[1] is looked at).
    int ParseOptions(int argc, char** argv);
    int RegisterService();
    int Start();
    int Unregister();
    int Install();
    int Uninstall();
    int TakeRebootRequest();
    void ReadSrvNoUnreg();
    int ReadEntries(LaunchEntry** list);
    int WriteBackEntries(LaunchEntry* list);
    int RebootPrompt();
    // The service's entry point, through g_pLauncherService.
    static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);

    char m_szName[64];
    DWORD m_ulNt5 = 0;
    DWORD m_ulKeepRegistered = 0;
    SERVICE_STATUS_HANDLE m_hStatus = nullptr;
    SERVICE_STATUS m_status;

private:
    // The service functions, loaded from "ADVAPI32.dll".
    decltype(&CreateServiceA) m_pCreateServiceA = nullptr;
    decltype(&CloseServiceHandle) m_pCloseServiceHandle = nullptr;
    decltype(&OpenServiceA) m_pOpenServiceA = nullptr;
    decltype(&DeleteService) m_pDeleteService = nullptr;
    decltype(&OpenSCManagerA) m_pOpenSCManagerA = nullptr;
    decltype(&SetServiceStatus) m_pSetServiceStatus = nullptr;
    decltype(&StartServiceCtrlDispatcherA) m_pStartServiceCtrlDispatcherA = nullptr;
    decltype(&StartServiceA) m_pStartServiceA = nullptr;
    decltype(&RegisterServiceCtrlHandlerA) m_pRegisterServiceCtrlHandlerA = nullptr;
    HMODULE m_hLibrary = nullptr;

    // Opens the manager and the service with Access; false (nothing open) when either fails.
    bool OpenService(DWORD access, SC_HANDLE* manager, SC_HANDLE* service);
    void CloseService(SC_HANDLE manager, SC_HANDLE service);
};

extern LauncherService* g_pLauncherService;
