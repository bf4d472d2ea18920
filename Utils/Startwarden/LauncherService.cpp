// The launcher service: command line, service registration, the launch entries
// and their write-back.
#include "LauncherService.h"

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "AsciiText.h"

LauncherService* g_pLauncherService = nullptr;

namespace {

// Reads a REG_DWORD of exactly four bytes; anything else counts as absent.
bool ReadDword(HKEY key, const char* name, DWORD* out) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return false;
    *out = value;
    return true;
}

// Reads a string value into MAX_PATH bytes, always terminated; a value of
// another type counts as absent.
bool ReadString(HKEY key, const char* name, char* out) {
    char text[MAX_PATH];
    DWORD type = 0, size = sizeof text;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    text[size < sizeof text ? size : sizeof text - 1] = 0;
    std::memcpy(out, text, std::strlen(text) + 1);
    return true;
}

// The folder a macro stands for, or false.
bool MacroFolder(int index, char* folder) {
    switch (index) {
        case 0:
            return GetWindowsDirectoryA(folder, MAX_PATH) - 1u < MAX_PATH - 1u;
        case 1:
            return GetSystemDirectoryA(folder, MAX_PATH) - 1u < MAX_PATH - 1u;
        case 2: {
            UINT length = GetWindowsDirectoryA(folder, MAX_PATH);
            static const char kDrivers[] = "\\system32\\drivers";
            if (length == 0 || length + sizeof kDrivers > MAX_PATH) return false;
            std::memcpy(folder + length, kDrivers, sizeof kDrivers);
            return true;
        }
        case 3: {
            LPITEMIDLIST list = nullptr;
            if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAM_FILES, &list)))
                return false;
            BOOL ok = SHGetPathFromIDListA(list, folder);
            CoTaskMemFree(list);
            return ok != FALSE;
        }
        case 4: {
            HKEY key;
            if (RegOpenKeyExA(
                    HKEY_LOCAL_MACHINE,
                    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Cindral.exe", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
                return false;
            bool ok = ReadString(key, "Path", folder);
            RegCloseKey(key);
            return ok;
        }
        default:
            return false;
    }
}

void FormatLastExecuted(const SYSTEMTIME& t, char* text, size_t size) {
    std::snprintf(text, size, "%d %d %d %d %d", t.wMinute, t.wHour, t.wDay, t.wMonth, t.wYear);
}

void WINAPI IgnoreControl(DWORD) {
    // The service accepts no control: every request is ignored.
}

}  // namespace

// ---------------------------------------------------------------------------
// Launch entries
// ---------------------------------------------------------------------------
void ExpandLaunchPath(const char* text, char* out) {
    size_t length = std::strlen(text);
    if (length > MAX_PATH - 1) length = MAX_PATH - 1;
    std::memcpy(out, text, length);
    out[length] = 0;
    AsciiLowerInPlace(out);
    static const char* const kMacros[] = {"%windows%", "%system%", "%drivers%", "%programs%",
                                          "%korvane%"};
    for (int i = 0; i < 5; i++) {
        char* at = std::strstr(out, kMacros[i]);
        char folder[MAX_PATH];
        if (at == nullptr || !MacroFolder(i, folder)) continue;
        const char* rest = at + std::strlen(kMacros[i]);
        size_t folderLength = std::strlen(folder);
        // The folder's own "\" stands for the one after the macro.
        if (folderLength > 0 && folder[folderLength - 1] == '\\' && *rest == '\\') rest++;
        size_t head = static_cast<size_t>(at - out);
        size_t tail = std::strlen(rest);
        if (head + folderLength + tail > MAX_PATH - 1) continue;  // would not fit: keep the macro
        std::memmove(out + head + folderLength, rest, tail + 1);
        std::memcpy(out + head, folder, folderLength);
    }
}

bool ParseLastExecuted(const char* text, SYSTEMTIME* time) {
    char copy[MAX_PATH];
    std::snprintf(copy, sizeof copy, "%s", text);
    int fields[5];
    int count = 0;
    char* save = nullptr;
    for (char* token = strtok_r(copy, " ", &save); token != nullptr && count < 5;
         token = strtok_r(nullptr, " ", &save))
        fields[count++] = std::atoi(token);
    if (count < 5) return false;
    *time = {};
    time->wMinute = static_cast<WORD>(fields[0]);
    time->wHour = static_cast<WORD>(fields[1]);
    time->wDay = static_cast<WORD>(fields[2]);
    time->wMonth = static_cast<WORD>(fields[3]);
    time->wYear = static_cast<WORD>(fields[4]);
    return true;
}

void LaunchEntry::InsertSorted(LaunchEntry** head, LaunchEntry* entry) {
    LaunchEntry** link = head;
    while (*link != nullptr && (*link)->Priority < entry->Priority) link = &(*link)->Next;
    entry->Next = *link;
    *link = entry;
}

bool LaunchEntry::IsDue() const {
    if ((Presence & (kHasFrequency | kHasLastExecuted)) != (kHasFrequency | kHasLastExecuted))
        return true;
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME nowTime, lastTime;
    // A stored time that is no time ("0 0 0 0 0", month 13) cannot be compared: due.
    if (!SystemTimeToFileTime(&now, &nowTime) || !SystemTimeToFileTime(&LastExecuted, &lastTime))
        return true;
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    unsigned long long current = ticks(nowTime), last = ticks(lastTime);
    if (current < last) return true;
    return current - last > static_cast<unsigned long long>(Frequency) * 600000000ull;
}

void LaunchEntry::Run() {
    if (!IsDue() || Repeat < 0) return;
    // The program path is quoted: "c:\program files\..." would otherwise run
    // c:\program.exe when that exists.
    char commandLine[3 * MAX_PATH + 8];
    std::snprintf(commandLine, sizeof commandLine, "\"%s\\%s\" %s", Path, Name, Parameters);
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return;
    if (Wait != 0) {
        unsigned long long ms = static_cast<unsigned long long>(TimeoutMax) * 1000ull;
        DWORD timeout = ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
        if (WaitForSingleObject(process.hProcess, timeout) != WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    GetLocalTime(&LastExecuted);
}

// ---------------------------------------------------------------------------
// LauncherService
// ---------------------------------------------------------------------------
LauncherService::LauncherService() {
    std::snprintf(m_szName, sizeof m_szName, "%s", "ZVSrvLauncher");
    std::memset(&m_status, 0, sizeof m_status);
    m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_status.dwCurrentState = SERVICE_STOPPED;
    m_status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    g_pLauncherService = this;
}

LauncherService::~LauncherService() {
    if (m_hLibrary != nullptr) FreeLibrary(m_hLibrary);
    if (g_pLauncherService == this) g_pLauncherService = nullptr;
}

int LauncherService::IsNt5OrLater() {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) return 0;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        if (version.dwMajorVersion < 5) return 0;
        m_ulNt5 = 1;
        return 1;
    }
    m_ulNt5 = 0;
    return 1;
}

int LauncherService::LoadServiceApi() {
    if (!IsNt5OrLater() || !m_ulNt5) return 0;
    m_hLibrary = LoadLibraryA("ADVAPI32.dll");
    if (m_hLibrary == nullptr) return 0;
    auto load = [&](auto** slot, const char* name) {
        *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(
            reinterpret_cast<void (*)()>(GetProcAddress(m_hLibrary, name)));
        return *slot != nullptr;
    };
    bool ok = load(&m_pCloseServiceHandle, "CloseServiceHandle") &&
              load(&m_pSetServiceStatus, "SetServiceStatus") &&
              load(&m_pRegisterServiceCtrlHandlerA, "RegisterServiceCtrlHandlerA") &&
              load(&m_pStartServiceCtrlDispatcherA, "StartServiceCtrlDispatcherA") &&
              load(&m_pStartServiceA, "StartServiceA") &&
              load(&m_pDeleteService, "DeleteService") &&
              load(&m_pCreateServiceA, "CreateServiceA") &&
              load(&m_pOpenServiceA, "OpenServiceA") && load(&m_pOpenSCManagerA, "OpenSCManagerA");
    if (!ok) {
        FreeLibrary(m_hLibrary);
        m_hLibrary = nullptr;
        return 0;
    }
    return 1;
}

int LauncherService::ParseOptions(int argc, char** argv) {
    if (argc < 2) {
        SERVICE_TABLE_ENTRYA table[] = {{m_szName, &LauncherService::ServiceMain},
                                        {nullptr, nullptr}};
        return m_pStartServiceCtrlDispatcherA(table) ? 1 : 0;
    }
    const char* token = argv[1];
    if (AsciiEqualNoCase(token, "-i") || AsciiEqualNoCase(token, "-is")) return Install();
    if (AsciiEqualNoCase(token, "-u")) return Uninstall();
    if (AsciiEqualNoCase(token, "-reboot")) {
        RebootPrompt();
        return 1;
    }
    std::printf("Invalid parameter '%s'.", token);
    return 0;
}

bool LauncherService::OpenService(DWORD access, SC_HANDLE* manager, SC_HANDLE* service) {
    *manager = m_pOpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    *service = nullptr;
    if (*manager == nullptr) return false;
    *service = m_pOpenServiceA(*manager, m_szName, access);
    if (*service != nullptr) return true;
    m_pCloseServiceHandle(*manager);
    *manager = nullptr;
    return false;
}

void LauncherService::CloseService(SC_HANDLE manager, SC_HANDLE service) {
    m_pCloseServiceHandle(service);
    m_pCloseServiceHandle(manager);
}

int LauncherService::RegisterService() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return 0;
    // Quoted, so that the service manager does not split a path with blanks.
    char image[MAX_PATH + 2];
    std::snprintf(image, sizeof image, "\"%s\"", path);
    SC_HANDLE manager = m_pOpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return 0;
    SC_HANDLE service = m_pCreateServiceA(manager, m_szName, m_szName, SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                                          SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image, nullptr,
                                          nullptr, nullptr, nullptr, nullptr);
    if (service != nullptr) m_pCloseServiceHandle(service);
    m_pCloseServiceHandle(manager);
    return service != nullptr ? 1 : 0;
}

int LauncherService::Start() {
    SC_HANDLE manager, service;
    if (!OpenService(SERVICE_START, &manager, &service)) return 0;
    BOOL started = m_pStartServiceA(service, 0, nullptr);
    CloseService(manager, service);
    return started ? 1 : 0;
}

int LauncherService::Unregister() {
    SC_HANDLE manager, service;
    if (!OpenService(DELETE, &manager, &service)) return 0;
    BOOL deleted = m_pDeleteService(service);
    CloseService(manager, service);
    return deleted ? 1 : 0;
}

int LauncherService::Install() {
    SC_HANDLE manager, service;
    if (OpenService(SERVICE_QUERY_CONFIG, &manager, &service)) {
        CloseService(manager, service);
        return Start();
    }
    if (!RegisterService()) {
        std::printf("Failed to register service\n");
        return 0;
    }
    return Start();
}

int LauncherService::Uninstall() {
    SC_HANDLE manager, service;
    if (OpenService(SERVICE_QUERY_CONFIG, &manager, &service)) {
        CloseService(manager, service);
        return Unregister();
    }
    std::printf("%s is not installed\n", m_szName);
    return 1;
}

int LauncherService::TakeRebootRequest() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLauncherKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return 0;
    DWORD request = 0;
    int result = 0;
    if (ReadDword(key, "RequestReboot", &request)) {
        RegDeleteValueA(key, "RequestReboot");
        result = request == 1 ? 1 : 0;
    }
    RegCloseKey(key);
    return result;
}

void LauncherService::ReadSrvNoUnreg() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLauncherKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    DWORD value = 0;
    if (ReadDword(key, "SrvNoUnreg", &value)) m_ulKeepRegistered = value != 0 ? 1 : 0;
    RegCloseKey(key);
}

int LauncherService::ReadEntries(LaunchEntry** list) {
    *list = nullptr;
    HKEY launcher;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLauncherKey, 0, KEY_ENUMERATE_SUB_KEYS, &launcher) !=
        ERROR_SUCCESS)
        return 0;
    char name[256];
    for (DWORD index = 0; RegEnumKeyA(launcher, index, name, sizeof name) == ERROR_SUCCESS;
         index++) {
        HKEY key;
        if (RegOpenKeyExA(launcher, name, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) continue;
        auto entry = new (std::nothrow) LaunchEntry();
        if (entry == nullptr) {
            RegCloseKey(key);
            break;
        }
        std::snprintf(entry->KeyName, sizeof entry->KeyName, "%s", name);
        char path[MAX_PATH], text[MAX_PATH];
        if (!ReadString(key, "Path", path) || !ReadString(key, "Name", entry->Name)) {
            delete entry;
            RegCloseKey(key);
            continue;
        }
        ExpandLaunchPath(path, entry->Path);
        ReadString(key, "Parameters", entry->Parameters);
        DWORD value;
        if (ReadDword(key, "Repeat", &value)) entry->Repeat = static_cast<LONG>(value);
        if (ReadDword(key, "Frequency", &value)) {
            entry->Frequency = value;
            entry->Presence |= LaunchEntry::kHasFrequency;
        }
        if (ReadString(key, "LastExecuted", text) && ParseLastExecuted(text, &entry->LastExecuted))
            entry->Presence |= LaunchEntry::kHasLastExecuted;
        if (ReadDword(key, "Priority", &value)) entry->Priority = static_cast<LONG>(value);
        if (ReadDword(key, "TimeoutMax", &value)) entry->TimeoutMax = value;
        if (ReadDword(key, "Wait", &value)) {
            entry->Wait = value;
            if (value == 0) entry->Priority = 101;
        }
        LaunchEntry::InsertSorted(list, entry);
        if (ReadDword(key, "NoDelete", &value)) entry->NoDelete = value != 0 ? 1 : 0;
        RegCloseKey(key);
    }
    RegCloseKey(launcher);
    return 1;
}

int LauncherService::WriteBackEntries(LaunchEntry* list) {
    HKEY launcher;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLauncherKey, 0, KEY_ENUMERATE_SUB_KEYS, &launcher) !=
        ERROR_SUCCESS)
        return 0;
    bool kept = false;
    for (LaunchEntry* entry = list; entry != nullptr; entry = entry->Next) {
        if (entry->Repeat == 0 && !entry->NoDelete) {
            RegDeleteKeyA(launcher, entry->KeyName);
            continue;
        }
        kept = true;
        if (entry->Repeat != -1) entry->Repeat--;
        HKEY key;
        if (RegOpenKeyExA(launcher, entry->KeyName, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            continue;
        DWORD repeat = static_cast<DWORD>(entry->Repeat);
        RegSetValueExA(key, "Repeat", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&repeat),
                       sizeof repeat);
        char text[64];
        FormatLastExecuted(entry->LastExecuted, text, sizeof text);
        RegSetValueExA(key, "LastExecuted", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>(std::strlen(text) + 1));
        RegCloseKey(key);
    }
    RegCloseKey(launcher);
    if (!kept && !m_ulKeepRegistered) Uninstall();
    return 1;
}

void WINAPI LauncherService::ServiceMain(DWORD, LPSTR*) {
    LauncherService* self = g_pLauncherService;
    self->m_hStatus = self->m_pRegisterServiceCtrlHandlerA(self->m_szName, IgnoreControl);
    self->TakeRebootRequest();
    self->ReadSrvNoUnreg();
    LaunchEntry* list = nullptr;
    self->ReadEntries(&list);
    if (list != nullptr) {
        for (LaunchEntry* entry = list; entry != nullptr; entry = entry->Next) entry->Run();
        self->WriteBackEntries(list);
        while (list != nullptr) {
            LaunchEntry* next = list->Next;
            delete list;
            list = next;
        }
        if (self->TakeRebootRequest() == 1) self->RebootPrompt();
    } else {
        self->Uninstall();
    }
    self->m_status.dwCurrentState = SERVICE_STOPPED;
    if (self->m_hStatus != nullptr) self->m_pSetServiceStatus(self->m_hStatus, &self->m_status);
}
