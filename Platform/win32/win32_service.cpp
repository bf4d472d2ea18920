// Win32 stand-in: the service control manager.  A service's record is its key
// under Services, the key the PnP manager's loader reads ImagePath from.
#include <sys/file.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "kp/pnp.h"
#include "kp/win32.h"
#include "win32_internal.h"

namespace fs = std::filesystem;

using namespace kp::win32;

struct KpWin32ScObject : Object {
    explicit KpWin32ScObject(Kind kind) : Object(kind) {}
    ACCESS_MASK Access = 0;
    std::u16string Service;  // a service handle's service
};

namespace {

ACCESS_MASK MapManagerAccess(DWORD desired) {
    ACCESS_MASK access = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (desired & GENERIC_READ)
        access |= SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (desired & GENERIC_WRITE)
        access |= SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (desired & GENERIC_EXECUTE) access |= SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (desired & GENERIC_ALL) access |= SC_MANAGER_ALL_ACCESS;
    return access | SC_MANAGER_CONNECT;
}

ACCESS_MASK MapServiceAccess(DWORD desired) {
    ACCESS_MASK access = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (desired & GENERIC_READ)
        access |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    if (desired & GENERIC_WRITE) access |= SERVICE_CHANGE_CONFIG;
    if (desired & GENERIC_EXECUTE)
        access |=
            SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
    if (desired & GENERIC_ALL) access |= SERVICE_ALL_ACCESS;
    return access;
}

std::u16string ServiceKey(const std::u16string& name) {
    return std::u16string(kKpServicesPath) + u"\\" + name;
}

// The handle as the kind with the rights; null with the last error set otherwise.
KpWin32ScObject* Check(SC_HANDLE handle, Kind kind, ACCESS_MASK needed) {
    auto object = static_cast<KpWin32ScObject*>(Lookup(handle, kind));
    if (object == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((object->Access & needed) != needed) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return object;
}

SC_HANDLE NewService(const std::u16string& name, DWORD access) {
    auto service = new KpWin32ScObject(Kind::Service);
    service->Access = MapServiceAccess(access);
    service->Service = name;
    Register(service);
    return service;
}

// ---------------------------------------------------------------------------
// The process side: <folder>/scm/<name> holds "pid state pending" of the
// service's last run, changed under scm.lock (taken before registry.lock when
// both are needed).  Volatile registry values would not cross processes.
// ---------------------------------------------------------------------------
struct RunState {
    DWORD Pid = 0;
    DWORD State = SERVICE_STOPPED;
    bool Pending = false;
    // The run's process is alive and has not reported SERVICE_STOPPED.
    bool Running() const { return State != SERVICE_STOPPED && ProcessAlive(Pid); }
};

fs::path StateFile(const fs::path& folder, const std::string& name) {
    std::string lower = name;
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return folder / "scm" / lower;
}

RunState ReadState(const fs::path& folder, const std::string& name) {
    RunState state;
    std::ifstream in(StateFile(folder, name));
    int pending = 0;
    if (in >> state.Pid >> state.State >> pending)
        state.Pending = pending != 0;
    else
        state = {};
    return state;
}

void WriteState(const fs::path& folder, const std::string& name, const RunState& state) {
    std::error_code ec;
    fs::create_directories(folder / "scm", ec);
    std::ofstream(StateFile(folder, name), std::ios::trunc)
        << state.Pid << " " << state.State << " " << (state.Pending ? 1 : 0) << "\n";
}

// The service of this process (KP_SCM_SERVICE), its status handle and the
// dispatcher's wait for its end.
struct KpWin32ServiceRun {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Stopped = false;
};
KpWin32ServiceRun g_run;

bool ServiceName(LPCSTR text, std::u16string* name) {
    return text != nullptr && *text != 0 && std::strchr(text, '\\') == nullptr &&
           std::strchr(text, '/') == nullptr && Widen(text, name);
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
    if (lpMachineName != nullptr && *lpMachineName != 0) {
        Unmodelled("OpenSCManagerA", "a machine name (\"" + std::string(lpMachineName) + "\")");
        return nullptr;
    }
    if (lpDatabaseName != nullptr) {
        Unmodelled("OpenSCManagerA", "a database name");
        return nullptr;
    }
    if (DWORD error = InjectedFault("OpenSCManagerA")) {
        Fail(error);
        return nullptr;
    }
    if (DWORD error = Sync()) {
        Fail(error);
        return nullptr;
    }
    auto manager = new KpWin32ScObject(Kind::ScManager);
    manager->Access = MapManagerAccess(dwDesiredAccess);
    Register(manager);
    return manager;
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                                LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                                LPCSTR lpServiceStartName, LPCSTR lpPassword) {
    if (Check(hSCManager, Kind::ScManager, SC_MANAGER_CREATE_SERVICE) == nullptr) return nullptr;
    const char* unmodelled = lpLoadOrderGroup != nullptr     ? "a load-order group"
                             : lpdwTagId != nullptr          ? "a tag"
                             : lpDependencies != nullptr     ? "dependencies"
                             : lpServiceStartName != nullptr ? "an account"
                             : lpPassword != nullptr         ? "a password"
                                                             : nullptr;
    if (unmodelled != nullptr) {
        Unmodelled("CreateServiceA", unmodelled);
        return nullptr;
    }
    if (DWORD error =
            InjectedFault("CreateServiceA", lpServiceName != nullptr ? lpServiceName : "")) {
        Fail(error);
        return nullptr;
    }
    std::u16string name, display, image;
    if (!ServiceName(lpServiceName, &name)) {
        Fail(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (lpBinaryPathName == nullptr || !Widen(lpBinaryPathName, &image) ||
        (lpDisplayName != nullptr && !Widen(lpDisplayName, &display))) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (lpDisplayName == nullptr) display = name;
    DWORD error = Change([&]() -> DWORD {
        std::u16string key = ServiceKey(name);
        if (kp::reg::KeyExists(key)) return ERROR_SERVICE_EXISTS;
        NTSTATUS status = kp::reg::SetDword(key, u"Type", dwServiceType);
        if (NT_SUCCESS(status)) status = kp::reg::SetDword(key, u"Start", dwStartType);
        if (NT_SUCCESS(status)) status = kp::reg::SetDword(key, u"ErrorControl", dwErrorControl);
        if (NT_SUCCESS(status))
            status = kp::reg::SetString(key, u"ImagePath", image, REG_EXPAND_SZ);
        if (NT_SUCCESS(status)) status = kp::reg::SetString(key, u"DisplayName", display);
        return ErrorFromStatus(status);
    });
    if (error != 0) {
        Fail(error);
        return nullptr;
    }
    return NewService(name, dwDesiredAccess);
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    if (Check(hSCManager, Kind::ScManager, SC_MANAGER_CONNECT) == nullptr) return nullptr;
    if (DWORD error =
            InjectedFault("OpenServiceA", lpServiceName != nullptr ? lpServiceName : "")) {
        Fail(error);
        return nullptr;
    }
    std::u16string name;
    if (!ServiceName(lpServiceName, &name)) {
        Fail(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (DWORD error = Sync()) {
        Fail(error);
        return nullptr;
    }
    if (!kp::reg::KeyExists(ServiceKey(name))) {
        Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return NewService(name, dwDesiredAccess);
}

BOOL WINAPI QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig,
                                DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    KpWin32ScObject* service = Check(hService, Kind::Service, SERVICE_QUERY_CONFIG);
    if (service == nullptr) return FALSE;
    if (pcbBytesNeeded == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD error = InjectedFault("QueryServiceConfigA")) return Fail(error);
    if (DWORD error = Sync()) return Fail(error);
    std::u16string key = ServiceKey(service->Service);
    if (!kp::reg::KeyExists(key)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    auto text = [&](const char16_t* value) {
        return Narrow(kp::reg::GetString(key, value).value_or(u""));
    };
    std::string image = text(u"ImagePath"), group = text(u"Group"), account = text(u"ObjectName"),
                display = text(u"DisplayName");
    // The strings follow the record: each with its NUL, the dependencies as an
    // empty multi-string.
    size_t needed = sizeof(QUERY_SERVICE_CONFIGA) + image.size() + 1 + group.size() + 1 + 2 +
                    account.size() + 1 + display.size() + 1;
    *pcbBytesNeeded = static_cast<DWORD>(needed);
    if (lpServiceConfig == nullptr || cbBufSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    char* at = reinterpret_cast<char*>(lpServiceConfig + 1);
    auto place = [&](const std::string& s, size_t nuls) {
        char* start = at;
        std::memcpy(at, s.data(), s.size());
        at += s.size();
        for (size_t i = 0; i < nuls; i++) *at++ = 0;
        return start;
    };
    lpServiceConfig->dwServiceType = kp::reg::GetDword(key, u"Type").value_or(0);
    lpServiceConfig->dwStartType = kp::reg::GetDword(key, u"Start").value_or(0);
    lpServiceConfig->dwErrorControl = kp::reg::GetDword(key, u"ErrorControl").value_or(0);
    lpServiceConfig->dwTagId = kp::reg::GetDword(key, u"Tag").value_or(0);
    lpServiceConfig->lpBinaryPathName = place(image, 1);
    lpServiceConfig->lpLoadOrderGroup = place(group, 1);
    lpServiceConfig->lpDependencies = place("", 2);
    lpServiceConfig->lpServiceStartName = place(account, 1);
    lpServiceConfig->lpDisplayName = place(display, 1);
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
    KpWin32ScObject* service = Check(hService, Kind::Service, DELETE);
    if (service == nullptr) return FALSE;
    if (DWORD error = InjectedFault("DeleteService")) return Fail(error);
    fs::path folder = MachineFolder();
    std::string name = Narrow(service->Service);
    KpMachineFileLock scm(folder, "scm.lock", LOCK_EX);
    RunState state = ReadState(folder, name);
    if (state.Pending && state.Running()) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    DWORD error = Change([&]() -> DWORD {
        std::u16string key = ServiceKey(service->Service);
        if (!kp::reg::KeyExists(key)) return ERROR_SERVICE_DOES_NOT_EXIST;
        // A running service's record goes when it reports SERVICE_STOPPED.
        if (state.Running()) return 0;
        return ErrorFromStatus(kp::reg::DeleteTree(key));
    });
    if (error != 0) return Fail(error);
    if (state.Running()) {
        state.Pending = true;
        WriteState(folder, name, state);
    } else {
        std::error_code ec;
        fs::remove(StateFile(folder, name), ec);
    }
    return TRUE;
}

// ---------------------------------------------------------------------------
// StartServiceA
// ---------------------------------------------------------------------------
BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
    KpWin32ScObject* service = Check(hService, Kind::Service, SERVICE_START);
    if (service == nullptr) return FALSE;
    if (dwNumServiceArgs != 0 || lpServiceArgVectors != nullptr) {
        Unmodelled("StartServiceA", "service arguments");
        return FALSE;
    }
    if (DWORD error = InjectedFault("StartServiceA")) return Fail(error);
    if (DWORD error = Sync()) return Fail(error);
    std::u16string key = ServiceKey(service->Service);
    if (!kp::reg::KeyExists(key)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    DWORD type = kp::reg::GetDword(key, u"Type").value_or(0);
    if ((type & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)) == 0 ||
        (type & SERVICE_WIN32_SHARE_PROCESS) != 0) {
        Unmodelled("StartServiceA", "a service that is not an own-process service");
        return FALSE;
    }
    std::string image = Narrow(kp::reg::GetString(key, u"ImagePath").value_or(u""));
    std::string name = Narrow(service->Service);
    fs::path folder = MachineFolder();
    KpMachineFileLock scm(folder, "scm.lock", LOCK_EX);
    RunState state = ReadState(folder, name);
    if (state.Pending) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (state.Running()) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    CommandLine command;
    if (DWORD error = ParseCommandLine("StartServiceA", image, &command)) return Fail(error);
    DWORD pid = 0;
    if (DWORD error = StartProcess(command, image, {"KP_SCM_SERVICE=" + name}, "", nullptr, &pid))
        return Fail(error);
    WriteState(folder, name, {pid, SERVICE_START_PENDING, false});
    Journal({"service", name, std::to_string(SERVICE_START_PENDING), std::to_string(pid)});
    return TRUE;
}

// ---------------------------------------------------------------------------
// The service's own process
// ---------------------------------------------------------------------------
struct KpWin32StatusHandle : Object {
    KpWin32StatusHandle() : Object(Kind::Status) {}
    std::string Name;
    LPHANDLER_FUNCTION Handler = nullptr;  // kept; no control is ever sent
};

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
    if (lpServiceStartTable == nullptr || lpServiceStartTable[0].lpServiceName == nullptr ||
        lpServiceStartTable[0].lpServiceProc == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (lpServiceStartTable[1].lpServiceName != nullptr) {
        Unmodelled("StartServiceCtrlDispatcherA", "more than one service in a process");
        return FALSE;
    }
    const char* marker = std::getenv("KP_SCM_SERVICE");
    if (marker == nullptr || !EqualNoCase(marker, lpServiceStartTable[0].lpServiceName))
        return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    std::string name = lpServiceStartTable[0].lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA main = lpServiceStartTable[0].lpServiceProc;
    std::thread thread([name, main] {
        std::vector<char> text(name.begin(), name.end());
        text.push_back(0);
        LPSTR args[] = {text.data(), nullptr};
        main(1, args);
        std::lock_guard<std::mutex> guard(g_run.Lock);
        g_run.Stopped = true;
        g_run.Changed.notify_all();
    });
    {
        std::unique_lock<std::mutex> guard(g_run.Lock);
        g_run.Changed.wait(guard, [] { return g_run.Stopped; });
    }
    thread.join();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR lpServiceName,
                                                         LPHANDLER_FUNCTION lpHandlerProc) {
    const char* marker = std::getenv("KP_SCM_SERVICE");
    if (lpServiceName == nullptr || lpHandlerProc == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (marker == nullptr || !EqualNoCase(marker, lpServiceName)) {
        Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    auto handle = new KpWin32StatusHandle();
    handle->Name = lpServiceName;
    handle->Handler = lpHandlerProc;
    Register(handle);
    return handle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                             LPSERVICE_STATUS lpServiceStatus) {
    auto handle = static_cast<KpWin32StatusHandle*>(Lookup(hServiceStatus, Kind::Status));
    if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (lpServiceStatus == nullptr || lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
        lpServiceStatus->dwCurrentState > 7)
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD current = lpServiceStatus->dwCurrentState;
    fs::path folder = MachineFolder();
    {
        KpMachineFileLock scm(folder, "scm.lock", LOCK_EX);
        // Recorded before the state changes: a waiter that sees the run ended
        // finds it in the journal.
        Journal({"service", handle->Name, std::to_string(current), std::to_string(getpid())});
        RunState state = ReadState(folder, handle->Name);
        state.Pid = static_cast<DWORD>(getpid());
        state.State = current;
        if (current == SERVICE_STOPPED && state.Pending) {
            std::u16string name;
            Widen(handle->Name, &name);
            DWORD error = Change([&]() -> DWORD {
                std::u16string key = ServiceKey(name);
                return kp::reg::KeyExists(key) ? ErrorFromStatus(kp::reg::DeleteTree(key)) : 0;
            });
            if (error != 0) return Fail(error);
            std::error_code ec;
            fs::remove(StateFile(folder, handle->Name), ec);
        } else {
            WriteState(folder, handle->Name, state);
        }
    }
    if (current == SERVICE_STOPPED) {
        std::lock_guard<std::mutex> guard(g_run.Lock);
        g_run.Stopped = true;
        g_run.Changed.notify_all();
    }
    return TRUE;
}

// ---------------------------------------------------------------------------
// Host controls (kp/win32.h)
// ---------------------------------------------------------------------------
namespace kp::win32 {

bool WaitForServiceRun(const fs::path& folder, const std::string& name, unsigned milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (true) {
        RunState state;
        {
            KpMachineFileLock scm(folder, "scm.lock", LOCK_EX);
            state = ReadState(folder, name);
        }
        if (!state.Running()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace kp::win32

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    if (Close(hSCObject, Kind::ScManager) || Close(hSCObject, Kind::Service)) return TRUE;
    return Fail(ERROR_INVALID_HANDLE);
}
