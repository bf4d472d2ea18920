// Win32 stand-in: last error, versions, the library name table, injected
// faults and unmodelled calls, the machine the calls work on (live or file
// mode) and the handle table.
#include <sys/file.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <shlobj.h>
#include <winuser.h>

#include "kp/pnp.h"
#include "kp/win32.h"
#include "win32_internal.h"

namespace fs = std::filesystem;

namespace kp::win32 {
namespace {

thread_local DWORD t_lastError = 0;
std::atomic<ULONG> g_unmodelled{0};

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------
struct Fault {
    std::string Call, Name;
    DWORD Error = 0;
    ULONG Nth = 0;  // 0: every call
    ULONG Seen = 0;
};

std::mutex g_settingsLock;
bool g_settingsRead = false;
std::vector<Fault> g_faults;
std::vector<Fault> g_delays;  // Error: the milliseconds
PlatformVersion g_platform{5, 1, 2600, VER_PLATFORM_WIN32_NT};

LANGID g_language = 1033;
std::vector<int> g_answers;
size_t g_nextAnswer = 0;
bool g_shutdownPrivilege = true;

bool SetPlatformLocked(std::string_view name) {
    if (name == "nt5")
        g_platform = {5, 1, 2600, VER_PLATFORM_WIN32_NT};
    else if (name == "nt4")
        g_platform = {4, 0, 1381, VER_PLATFORM_WIN32_NT};
    else if (name == "9x")
        g_platform = {4, 10, 2222, VER_PLATFORM_WIN32_WINDOWS};
    else
        return false;
    return true;
}

// "Call[:Name]=Error[@N]"
bool ParseFault(const std::string& entry, Fault* fault) {
    size_t equal = entry.find('=');
    if (equal == std::string::npos || equal == 0) return false;
    std::string head = entry.substr(0, equal), tail = entry.substr(equal + 1);
    size_t colon = head.find(':');
    fault->Call = head.substr(0, colon);
    if (colon != std::string::npos) fault->Name = head.substr(colon + 1);
    size_t at = tail.find('@');
    std::string error = tail.substr(0, at);
    char* end = nullptr;
    unsigned long value = std::strtoul(error.c_str(), &end, 0);
    if (error.empty() || *end != 0 || value == 0 || value > 0xFFFFFFFFul) return false;
    fault->Error = static_cast<DWORD>(value);
    if (at != std::string::npos) {
        std::string nth = tail.substr(at + 1);
        unsigned long n = std::strtoul(nth.c_str(), &end, 10);
        if (nth.empty() || *end != 0 || n == 0 || n > 0xFFFFFFFFul) return false;
        fault->Nth = static_cast<ULONG>(n);
    }
    return !fault->Call.empty();
}

void ReadFaultsLocked(const char* variable, const char* what, std::vector<Fault>* faults) {
    const char* value = std::getenv(variable);
    if (value == nullptr) return;
    std::string text = value;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        std::string entry = text.substr(start, end - start);
        Fault fault;
        if (!entry.empty()) {
            if (ParseFault(entry, &fault))
                faults->push_back(fault);
            else
                std::fprintf(stderr, "kp win32: %s: \"%s\" is not Call[:Name]=%s[@N]\n", variable,
                             entry.c_str(), what);
        }
        start = end + 1;
    }
}

void ReadSettingsLocked() {
    if (g_settingsRead) return;
    g_settingsRead = true;
    if (const char* platform = std::getenv("KP_WIN32_PLATFORM")) {
        if (!SetPlatformLocked(platform))
            std::fprintf(stderr, "kp win32: KP_WIN32_PLATFORM=%s is not nt5, nt4 or 9x\n",
                         platform);
    }
    if (const char* language = std::getenv("KP_WIN32_LANGID")) {
        char* end = nullptr;
        unsigned long value = std::strtoul(language, &end, 0);
        if (*language != 0 && *end == 0 && value > 0 && value <= 0xFFFF)
            g_language = static_cast<LANGID>(value);
        else
            std::fprintf(stderr, "kp win32: KP_WIN32_LANGID=%s is not a language id\n", language);
    }
    if (const char* answers = std::getenv("KP_WIN32_MSGBOX")) {
        std::string text = answers;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(',', start);
            if (end == std::string::npos) end = text.size();
            std::string answer = text.substr(start, end - start);
            if (EqualNoCase(answer, "yes"))
                g_answers.push_back(IDYES);
            else if (EqualNoCase(answer, "no"))
                g_answers.push_back(IDNO);
            else if (EqualNoCase(answer, "ok"))
                g_answers.push_back(IDOK);
            else
                std::fprintf(stderr, "kp win32: KP_WIN32_MSGBOX: \"%s\" is not yes, no or ok\n",
                             answer.c_str());
            start = end + 1;
        }
    }
    if (const char* privilege = std::getenv("KP_WIN32_SHUTDOWN_PRIVILEGE"))
        g_shutdownPrivilege = std::strcmp(privilege, "0") != 0;
    ReadFaultsLocked("KP_WIN32_FAULTS", "Error", &g_faults);
    ReadFaultsLocked("KP_WIN32_DELAYS", "Milliseconds", &g_delays);
}

// ---------------------------------------------------------------------------
// The machine
// ---------------------------------------------------------------------------
enum class Mode { Unset, Live, File };

struct FileStamp {
    dev_t Device = 0;
    ino_t Inode = 0;
    struct timespec Modified {};
    bool Valid = false;
};

std::recursive_mutex g_machineLock;  // mode, stamp; held across a file-mode change
Mode g_mode = Mode::Unset;
fs::path g_folder;  // file mode
FileStamp g_stamp;
std::atomic<ULONGLONG> g_generation{0};
bool g_missingReported = false;
// Set in test programs: no fallback to ./kssim-machine (see KpWin32RefuseDefaultMachine).
std::atomic<bool> g_refuseDefault{false};

bool StampOf(const fs::path& file, FileStamp* stamp) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0) return false;
    stamp->Device = st.st_dev;
    stamp->Inode = st.st_ino;
    stamp->Modified = st.st_mtim;
    stamp->Valid = true;
    return true;
}

// The folders every machine has, beyond those the loader makes.
void CreateMachineFolders(const fs::path& folder) {
    std::error_code ec;
    for (const char* sub : {"Windows/inf", "Program Files/Common Files"})
        fs::create_directories(folder / sub, ec);
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
    return a.Valid && b.Valid && a.Device == b.Device && a.Inode == b.Inode &&
           a.Modified.tv_sec == b.Modified.tv_sec && a.Modified.tv_nsec == b.Modified.tv_nsec;
}

void ChooseModeLocked() {
    if (g_mode != Mode::Unset) return;
    if (!KpMachineFolder().empty()) {
        g_mode = Mode::Live;
        return;
    }
    const char* env = std::getenv("KP_MACHINE");
    g_mode = Mode::File;
    if ((env == nullptr || *env == 0) && g_refuseDefault) {
        // No folder: a test that chose no machine finds none, and nothing is
        // made in the folder it was started in.
        g_folder.clear();
        return;
    }
    g_folder = fs::absolute(env != nullptr && *env != 0 ? env : "kssim-machine");
}

DWORD SyncLocked() {
    ChooseModeLocked();
    if (g_mode == Mode::Live) return 0;
    if (g_folder.empty()) {
        if (!g_missingReported) {
            std::fprintf(stderr,
                         "kp win32: a test program has no machine: KP_MACHINE is not set and "
                         "none was chosen (./kssim-machine is not used in tests)\n");
            g_missingReported = true;
        }
        return ERROR_FILE_NOT_FOUND;
    }
    fs::path file = g_folder / "registry.reg";
    FileStamp now;
    if (!StampOf(file, &now)) {
        if (!g_missingReported) {
            std::fprintf(stderr, "kp win32: machine %s has no registry.reg\n", g_folder.c_str());
            g_missingReported = true;
        }
        return ERROR_FILE_NOT_FOUND;
    }
    // The file calls map paths into the machine folder; it is set once the
    // folder holds a machine, so that no subfolders are made in any other.
    if (KpMachineFolder() != g_folder) {
        std::string error;
        if (!KpMachineSetFolder(g_folder, &error))
            std::fprintf(stderr, "kp win32: %s\n", error.c_str());
        CreateMachineFolders(g_folder);
    }
    if (SameStamp(now, g_stamp)) return 0;
    std::string error;
    if (!kp::reg::Machine().LoadFile(file, &error)) {
        std::fprintf(stderr, "kp win32: %s does not load: %s\n", file.c_str(), error.c_str());
        g_stamp = {};
        return ERROR_BADDB;
    }
    g_stamp = now;
    g_generation++;
    return 0;
}

// ---------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------
std::mutex g_handleLock;
std::map<const void*, Object*> g_handles;

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

LANGID LanguageSetting() {
    std::lock_guard<std::mutex> guard(g_settingsLock);
    ReadSettingsLocked();
    return g_language;
}

int NextMessageBoxAnswer() {
    std::lock_guard<std::mutex> guard(g_settingsLock);
    ReadSettingsLocked();
    return g_nextAnswer < g_answers.size() ? g_answers[g_nextAnswer++] : 0;
}

bool ShutdownPrivilegeGranted() {
    std::lock_guard<std::mutex> guard(g_settingsLock);
    ReadSettingsLocked();
    return g_shutdownPrivilege;
}

fs::path MachineFolder() {
    fs::path folder;
    bool live;
    {
        std::lock_guard<std::recursive_mutex> guard(g_machineLock);
        ChooseModeLocked();
        live = g_mode == Mode::Live;
        folder = live ? KpMachineFolder() : g_folder;
    }
    // Folders are made only in a machine: a folder without registry.reg is
    // somebody else's, whatever the tool was started in.
    std::error_code ec;
    if (!folder.empty() && (live || fs::exists(folder / "registry.reg", ec)))
        CreateMachineFolders(folder);
    return folder;
}

bool HoldsMachine(const fs::path& folder) {
    std::error_code ec;
    return !folder.empty() && (LiveMode() || fs::exists(folder / "registry.reg", ec));
}

std::optional<std::string> WindowsPathOf(const fs::path& host) {
    std::error_code ec;
    fs::path folder = fs::weakly_canonical(MachineFolder(), ec);
    fs::path file = fs::weakly_canonical(host, ec);
    if (folder.empty() || ec) return std::nullopt;
    fs::path relative = file.lexically_relative(folder);
    if (relative.empty() || *relative.begin() == "..") return std::nullopt;
    std::string out = "C:";
    size_t index = 0;
    bool windows = false;
    for (const fs::path& part : relative) {
        std::string name = part.string();
        // The folders whose names the platform reports in its own case.
        if (index == 0 && EqualNoCase(name, "Windows")) {
            name = "WINDOWS";
            windows = true;
        } else if (index == 1 && windows && EqualNoCase(name, "System32")) {
            name = "system32";
        }
        out += "\\" + name;
        index++;
    }
    return out;
}

BOOL Fail(DWORD error) {
    t_lastError = error;
    return FALSE;
}

DWORD Unmodelled(const char* call, const std::string& what) {
    std::fprintf(stderr, "kp win32: %s: %s is not modelled\n", call, what.c_str());
    g_unmodelled++;
    t_lastError = ERROR_CALL_NOT_IMPLEMENTED;
    return ERROR_CALL_NOT_IMPLEMENTED;
}

namespace {

DWORD Injected(std::vector<Fault>* faults, const char* call, std::string_view name) {
    std::lock_guard<std::mutex> guard(g_settingsLock);
    ReadSettingsLocked();
    DWORD error = 0;
    for (Fault& fault : *faults) {
        if (!EqualNoCase(fault.Call, call)) continue;
        if (!fault.Name.empty() && !EqualNoCase(fault.Name, name)) continue;
        fault.Seen++;
        if (error == 0 && (fault.Nth == 0 || fault.Seen == fault.Nth)) error = fault.Error;
    }
    return error;
}

}  // namespace

DWORD InjectedFault(const char* call, std::string_view name) {
    return Injected(&g_faults, call, name);
}

void InjectedDelay(const char* call) {
    if (DWORD milliseconds = Injected(&g_delays, call, {}))
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

PlatformVersion Platform() {
    std::lock_guard<std::mutex> guard(g_settingsLock);
    ReadSettingsLocked();
    return g_platform;
}

DWORD Sync() {
    std::lock_guard<std::recursive_mutex> guard(g_machineLock);
    return SyncLocked();
}

DWORD Change(const std::function<DWORD()>& edit) {
    std::lock_guard<std::recursive_mutex> guard(g_machineLock);
    ChooseModeLocked();
    if (g_mode == Mode::Live) return edit();
    if (g_folder.empty() || !fs::exists(g_folder / "registry.reg")) return SyncLocked();
    KpMachineFileLock writing(g_folder, "registry.lock", LOCK_EX);
    KpMachineFileLock running(g_folder, "machine.lock", LOCK_SH | LOCK_NB);
    if (!writing.Held() || !running.Held()) {
        std::fprintf(stderr,
                     "kp win32: machine %s is running in another process; registry.reg is left "
                     "unchanged\n",
                     g_folder.c_str());
        return ERROR_SHARING_VIOLATION;
    }
    DWORD error = SyncLocked();
    if (error != 0) return error;
    error = edit();
    if (error != 0) {
        // The edit may have changed the store before it failed: read the file again next time.
        g_stamp = {};
        return error;
    }
    fs::path file = g_folder / "registry.reg";
    std::string message;
    if (!kp::reg::Machine().SaveFile(file, &message)) {
        std::fprintf(stderr, "kp win32: cannot save %s: %s\n", file.c_str(), message.c_str());
        g_stamp = {};
        return ERROR_WRITE_FAULT;
    }
    if (!StampOf(file, &g_stamp)) g_stamp = {};
    return 0;
}

bool LiveMode() {
    std::lock_guard<std::recursive_mutex> guard(g_machineLock);
    ChooseModeLocked();
    return g_mode == Mode::Live;
}

ULONGLONG Generation() {
    return g_generation;
}

kp::reg::Store& Store() {
    return kp::reg::Machine();
}

std::optional<fs::path> MapFilePath(const char* call, LPCSTR path, DWORD* error) {
    std::string text = path != nullptr ? path : "";
    bool drive =
        text.size() >= 3 && (text[0] == 'C' || text[0] == 'c') && text[1] == ':' && text[2] == '\\';
    bool rooted = !text.empty() && text[0] == '\\' && (text.size() < 2 || text[1] != '\\');
    if (!drive && !rooted) {
        *error = Unmodelled(call, "the path form of \"" + text + "\"");
        return std::nullopt;
    }
    // A path rooted without a drive is on the current drive, C:.
    std::u16string wide;
    if (!Widen(rooted ? "C:" + text : text, &wide)) {
        *error = ERROR_INVALID_NAME;
        return std::nullopt;
    }
    Sync();  // chooses the mode, and with it the folder
    auto mapped = KpMapWindowsPath(wide);
    if (!mapped) *error = ERROR_PATH_NOT_FOUND;
    return mapped;
}

DWORD ErrorFromStatus(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS:
            return ERROR_SUCCESS;
        case STATUS_OBJECT_NAME_NOT_FOUND:
            return ERROR_FILE_NOT_FOUND;
        case STATUS_OBJECT_PATH_NOT_FOUND:
            return ERROR_PATH_NOT_FOUND;
        case STATUS_KEY_DELETED:
            return ERROR_KEY_DELETED;
        case STATUS_ACCESS_DENIED:
            return ERROR_ACCESS_DENIED;
        case STATUS_INSUFFICIENT_RESOURCES:
        case STATUS_NO_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case STATUS_OBJECT_NAME_INVALID:
        case STATUS_OBJECT_PATH_SYNTAX_BAD:
            return ERROR_INVALID_NAME;
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

bool Widen(std::string_view text, std::u16string* out) {
    return kp::reg::Utf8ToUtf16(text, out);
}

std::string Narrow(std::u16string_view text) {
    return kp::reg::Utf16ToUtf8(text);
}

std::u16string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

std::vector<uint8_t> NarrowValue(ULONG type, const std::vector<uint8_t>& stored) {
    if (!IsStringType(type)) return stored;
    std::u16string wide(stored.size() / 2, u'\0');
    if (!wide.empty()) std::memcpy(wide.data(), stored.data(), wide.size() * 2);
    std::string narrow = Narrow(wide);
    return std::vector<uint8_t>(narrow.begin(), narrow.end());
}

bool WidenValue(ULONG type, const BYTE* data, size_t size, std::vector<uint8_t>* stored) {
    if (!IsStringType(type)) {
        stored->assign(data, data + size);
        return true;
    }
    std::u16string wide;
    if (!Widen(std::string_view(reinterpret_cast<const char*>(data), size), &wide)) return false;
    stored->resize(wide.size() * 2);
    if (!stored->empty()) std::memcpy(stored->data(), wide.data(), stored->size());
    return true;
}

void Register(Object* object) {
    std::lock_guard<std::mutex> guard(g_handleLock);
    g_handles[object] = object;
}

Object* Lookup(const void* handle, Kind kind) {
    std::lock_guard<std::mutex> guard(g_handleLock);
    auto it = g_handles.find(handle);
    return it != g_handles.end() && it->second->kind == kind ? it->second : nullptr;
}

bool Close(const void* handle, Kind kind) {
    Object* object;
    {
        std::lock_guard<std::mutex> guard(g_handleLock);
        auto it = g_handles.find(handle);
        if (it == g_handles.end() || it->second->kind != kind) return false;
        object = it->second;
        g_handles.erase(it);
    }
    delete object;
    return true;
}

}  // namespace kp::win32

using namespace kp::win32;

// ---------------------------------------------------------------------------
// Host controls (kp/win32.h)
// ---------------------------------------------------------------------------
void KpWin32UseMachineFile(const fs::path& Folder) {
    std::lock_guard<std::recursive_mutex> guard(g_machineLock);
    g_mode = Mode::File;
    g_folder = fs::absolute(Folder);
    g_stamp = {};
    g_missingReported = false;
}

void KpWin32RefuseDefaultMachine(void) {
    std::lock_guard<std::recursive_mutex> guard(g_machineLock);
    g_refuseDefault = true;
}

void KpWin32UseLiveMachine(void) {
    std::lock_guard<std::recursive_mutex> guard(g_machineLock);
    g_mode = Mode::Live;
    g_stamp = {};
    g_generation++;
}

ULONG KpWin32UnmodelledCount(void) {
    return g_unmodelled;
}

void KpWin32FailCall(const char* Call, const char* Name, ULONG Error, ULONG Nth) {
    std::lock_guard<std::mutex> guard(g_settingsLock);
    ReadSettingsLocked();
    Fault fault;
    fault.Call = Call;
    fault.Name = Name != nullptr ? Name : "";
    fault.Error = Error;
    fault.Nth = Nth;
    g_faults.push_back(fault);
}

void KpWin32ClearFailures(void) {
    std::lock_guard<std::mutex> guard(g_settingsLock);
    ReadSettingsLocked();
    g_faults.clear();
}

bool KpWin32SetPlatform(const char* Name) {
    std::lock_guard<std::mutex> guard(g_settingsLock);
    ReadSettingsLocked();
    return SetPlatformLocked(Name != nullptr ? Name : "");
}

ULONG KpWin32OpenHandleCount(void) {
    std::lock_guard<std::mutex> guard(g_handleLock);
    return static_cast<ULONG>(g_handles.size());
}

// ---------------------------------------------------------------------------
// GetLastError / SetLastError
// ---------------------------------------------------------------------------
DWORD WINAPI GetLastError(void) {
    return t_lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

// ---------------------------------------------------------------------------
// GetVersionExA
// ---------------------------------------------------------------------------
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    if (DWORD error = InjectedFault("GetVersionExA")) return Fail(error);
    if (lpVersionInformation == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    PlatformVersion v = Platform();
    lpVersionInformation->dwMajorVersion = v.Major;
    lpVersionInformation->dwMinorVersion = v.Minor;
    lpVersionInformation->dwBuildNumber = v.Build;
    lpVersionInformation->dwPlatformId = v.PlatformId;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    return TRUE;
}

// ---------------------------------------------------------------------------
// GetWindowsDirectoryA
// ---------------------------------------------------------------------------
namespace kp::win32 {

UINT FolderCall(const char* call, const char* folder, LPSTR buffer, UINT size) {
    if (DWORD error = InjectedFault(call)) {
        SetLastError(error);
        return 0;
    }
    UINT length = static_cast<UINT>(std::strlen(folder));
    if (buffer == nullptr || size < length + 1) return length + 1;
    std::memcpy(buffer, folder, length + 1);
    return length;
}

}  // namespace kp::win32

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    return FolderCall("GetWindowsDirectoryA", "C:\\WINDOWS", lpBuffer, uSize);
}

// ---------------------------------------------------------------------------
// LoadLibraryA / GetProcAddress / FreeLibrary over a name table
// ---------------------------------------------------------------------------
struct KpWin32Module : Object {
    KpWin32Module() : Object(Kind::Module) {}
    std::string Name;
};

namespace {

// A function of the table as the loader hands it out.
template <typename Function>
FARPROC Export(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

struct LibraryEntry {
    const char* Name;
    std::vector<std::pair<const char*, FARPROC>> Functions;
};

const std::vector<LibraryEntry>& Libraries() {
    static const std::vector<LibraryEntry> table = {
        {"ADVAPI32.dll",
         {
             {"CreateServiceA", Export(&CreateServiceA)},
             {"CloseServiceHandle", Export(&CloseServiceHandle)},
             {"OpenServiceA", Export(&OpenServiceA)},
             {"DeleteService", Export(&DeleteService)},
             {"OpenSCManagerA", Export(&OpenSCManagerA)},
             {"SetServiceStatus", Export(&SetServiceStatus)},
             {"StartServiceCtrlDispatcherA", Export(&StartServiceCtrlDispatcherA)},
             {"StartServiceA", Export(&StartServiceA)},
             {"RegisterServiceCtrlHandlerA", Export(&RegisterServiceCtrlHandlerA)},
         }},
        {"shfolder.dll", {{"SHGetFolderPathA", Export(&SHGetFolderPathA)}}},
    };
    return table;
}

const LibraryEntry* FindLibrary(std::string_view name) {
    for (const LibraryEntry& library : Libraries()) {
        if (EqualNoCase(library.Name, name)) return &library;
    }
    return nullptr;
}

}  // namespace

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    std::string name = lpLibFileName != nullptr ? lpLibFileName : "";
    if (name.find_first_of("\\/:") != std::string::npos) {
        Unmodelled("LoadLibraryA", "a path (\"" + name + "\")");
        return nullptr;
    }
    // The platform adds ".dll" to a name without an extension.
    if (name.find('.') == std::string::npos) name += ".dll";
    if (DWORD error = InjectedFault("LoadLibraryA", name)) {
        SetLastError(error);
        return nullptr;
    }
    const LibraryEntry* library = FindLibrary(name);
    if (library == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    auto module = new KpWin32Module();
    module->Name = library->Name;
    Register(module);
    return module;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    auto module = static_cast<KpWin32Module*>(Lookup(hModule, Kind::Module));
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        Unmodelled("GetProcAddress", "an ordinal");
        return nullptr;
    }
    if (DWORD error = InjectedFault("GetProcAddress", lpProcName)) {
        SetLastError(error);
        return nullptr;
    }
    // Export names are compared with their case.
    for (auto& [name, function] : FindLibrary(module->Name)->Functions) {
        if (std::strcmp(name, lpProcName) == 0) return function;
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (!Close(hLibModule, Kind::Module)) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}
