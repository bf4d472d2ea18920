// Win32 stand-in: local time, the shutdown privilege, string tables, message
// boxes and the shutdown call, shell folders and INI files.
#include <shlobj.h>
#include <winuser.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <mutex>

#include "kpres.h"
#include "win32_internal.h"

namespace fs = std::filesystem;
using namespace kp::win32;

namespace {

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------
bool IsLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Days from 1601-01-01 to the date.
long long DaysSince1601(int year, int month, int day) {
    long long y = year - 1601;
    long long days = y * 365 + y / 4 - y / 100 + y / 400;
    for (int m = 1; m < month; m++) days += DaysInMonth(year, m);
    return days + day - 1;
}

int DayOfWeek(int year, int month, int day) {
    return static_cast<int>((DaysSince1601(year, month, day) + 1) % 7);  // 1601-01-01: Monday
}

// KP_WIN32_LOCAL_TIME once per process, so that every call sees one moment.
bool InjectedLocalTime(SYSTEMTIME* out) {
    static std::once_flag once;
    static bool present = false;
    static SYSTEMTIME fixed{};
    std::call_once(once, [] {
        const char* text = std::getenv("KP_WIN32_LOCAL_TIME");
        if (text == nullptr) return;
        int y, mo, d, h, mi, s;
        char end;
        if (std::sscanf(text, "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &end) != 6 ||
            y < 1601 || y > 30827 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) ||
            h > 23 || h < 0 || mi < 0 || mi > 59 || s < 0 || s > 59) {
            std::fprintf(stderr,
                         "kp win32: KP_WIN32_LOCAL_TIME=%s is not \"YYYY-MM-DD hh:mm:ss\"\n", text);
            return;
        }
        fixed = {WORD(y), WORD(mo), WORD(DayOfWeek(y, mo, d)), WORD(d), WORD(h), WORD(mi),
                 WORD(s), 0};
        present = true;
    });
    if (present) *out = fixed;
    return present;
}

// ---------------------------------------------------------------------------
// String tables and the token
// ---------------------------------------------------------------------------
std::mutex g_tablesLock;
std::vector<const KpStringTable*> g_tables;
std::atomic<bool> g_shutdownEnabled{false};

struct KpWin32Token : Object {
    KpWin32Token() : Object(Kind::Token) {}
};

const KpStringTable* PickTable(LANGID language) {
    const KpStringTable* primary = nullptr;
    const KpStringTable* english = nullptr;
    for (const KpStringTable* table : g_tables) {
        if (table->Language == language) return table;
        if (primary == nullptr && (table->Language & 0x3FF) == (language & 0x3FF)) primary = table;
        if (english == nullptr && table->Language == 0x0409) english = table;
    }
    if (primary != nullptr) return primary;
    if (english != nullptr) return english;
    return g_tables.empty() ? nullptr : g_tables.front();
}

// The process's own module: its handle is the address of this tag.
char g_ownModuleTag;
HMODULE OwnModule() {
    return reinterpret_cast<HMODULE>(&g_ownModuleTag);
}

// ---------------------------------------------------------------------------
// INI files
// ---------------------------------------------------------------------------
std::string Trim(const std::string& text) {
    size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(start, end - start + 1);
}

struct IniSection {
    std::string Name;
    std::vector<std::pair<std::string, std::string>> Keys;  // file order
};

std::vector<IniSection> ReadIni(const fs::path& file) {
    std::vector<IniSection> sections;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    IniSection* current = nullptr;
    while (std::getline(in, line)) {
        std::string text = Trim(line);
        if (text.empty() || line[0] == ';') continue;
        if (text[0] == '[') {
            size_t close = text.find(']');
            sections.push_back(
                {Trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1)),
                 {}});
            current = &sections.back();
            continue;
        }
        if (current == nullptr) continue;
        size_t equal = text.find('=');
        std::string key = Trim(text.substr(0, equal));
        std::string value = equal == std::string::npos ? "" : Trim(text.substr(equal + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (!key.empty()) current->Keys.emplace_back(key, value);
    }
    return sections;
}

// Copies text into a buffer of size bytes, truncating; the count copied.
DWORD CopyTruncated(const std::string& text, LPSTR buffer, DWORD size) {
    if (size == 0) return 0;
    DWORD count = static_cast<DWORD>(std::min<size_t>(text.size(), size - 1));
    std::memcpy(buffer, text.data(), count);
    buffer[count] = 0;
    return count;
}

}  // namespace

void KpRegisterStringTable(const KpStringTable* table) {
    std::lock_guard<std::mutex> guard(g_tablesLock);
    g_tables.push_back(table);
}

void KpUnregisterStringTable(const KpStringTable* table) {
    std::lock_guard<std::mutex> guard(g_tablesLock);
    g_tables.erase(std::remove(g_tables.begin(), g_tables.end(), table), g_tables.end());
}

void KpWin32ResetShutdownPrivilege(void) {
    g_shutdownEnabled = false;
}

// ---------------------------------------------------------------------------
// GetLocalTime / SystemTimeToFileTime
// ---------------------------------------------------------------------------
void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    if (lpSystemTime == nullptr) return;
    if (InjectedLocalTime(lpSystemTime)) return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    *lpSystemTime = {WORD(local.tm_year + 1900),
                     WORD(local.tm_mon + 1),
                     WORD(local.tm_wday),
                     WORD(local.tm_mday),
                     WORD(local.tm_hour),
                     WORD(local.tm_min),
                     WORD(std::min(local.tm_sec, 59)),
                     WORD(now.tv_nsec / 1000000)};
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    if (lpSystemTime == nullptr || lpFileTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const SYSTEMTIME& t = *lpSystemTime;
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
        t.wDay > DaysInMonth(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 ||
        t.wSecond > 59 || t.wMilliseconds > 999)
        return Fail(ERROR_INVALID_PARAMETER);
    unsigned long long seconds = DaysSince1601(t.wYear, t.wMonth, t.wDay) * 86400ull +
                                 t.wHour * 3600ull + t.wMinute * 60ull + t.wSecond;
    unsigned long long ticks = seconds * 10000000ull + t.wMilliseconds * 10000ull;
    lpFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    lpFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return TRUE;
}

// ---------------------------------------------------------------------------
// OpenProcessToken / LookupPrivilegeValueA / AdjustTokenPrivileges
// ---------------------------------------------------------------------------
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (ProcessHandle != GetCurrentProcess()) {
        Unmodelled("OpenProcessToken", "another process's token");
        return FALSE;
    }
    if (TokenHandle == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD error = InjectedFault("OpenProcessToken")) return Fail(error);
    (void)DesiredAccess;
    auto token = new KpWin32Token();
    Register(token);
    *TokenHandle = token;
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    if (lpSystemName != nullptr) {
        Unmodelled("LookupPrivilegeValueA", "a system name");
        return FALSE;
    }
    if (lpName == nullptr || lpLuid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!EqualNoCase(lpName, SE_SHUTDOWN_NAME)) return Fail(ERROR_NO_SUCH_PRIVILEGE);
    *lpLuid = {19, 0};
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    if (Lookup(TokenHandle, Kind::Token) == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (DisableAllPrivileges || PreviousState != nullptr || ReturnLength != nullptr ||
        BufferLength != 0 || NewState == nullptr || NewState->PrivilegeCount != 1) {
        Unmodelled("AdjustTokenPrivileges", "anything but enabling one privilege");
        return FALSE;
    }
    const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[0];
    if (entry.Luid.LowPart != 19 || entry.Luid.HighPart != 0) return Fail(ERROR_NO_SUCH_PRIVILEGE);
    if (!ShutdownPrivilegeGranted()) {
        SetLastError(ERROR_NOT_ALL_ASSIGNED);
        return TRUE;
    }
    g_shutdownEnabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// ---------------------------------------------------------------------------
// GetModuleHandleA / LoadStringA
// ---------------------------------------------------------------------------
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (lpModuleName != nullptr) {
        Unmodelled("GetModuleHandleA", "a module name");
        return nullptr;
    }
    return OwnModule();
}

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    if (hInstance != OwnModule()) {
        Unmodelled("LoadStringA", "a module other than the process's own");
        return 0;
    }
    if (lpBuffer == nullptr || cchBufferMax <= 0) {
        Unmodelled("LoadStringA", "a read-only pointer to the resource");
        return 0;
    }
    std::lock_guard<std::mutex> guard(g_tablesLock);
    const KpStringTable* table = PickTable(LanguageSetting());
    if (table != nullptr) {
        for (size_t i = 0; i < table->Count; i++) {
            if (table->Entries[i].Id == uID)
                return static_cast<int>(CopyTruncated(table->Entries[i].Text, lpBuffer,
                                                      static_cast<DWORD>(cchBufferMax)));
        }
    }
    lpBuffer[0] = 0;
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
}

// ---------------------------------------------------------------------------
// MessageBoxA / ExitWindowsEx
// ---------------------------------------------------------------------------
int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    if (uType != MB_YESNO && uType != MB_OK) {
        Unmodelled("MessageBoxA", "the style " + std::to_string(uType));
        return 0;
    }
    int scripted = NextMessageBoxAnswer();
    int answer = uType == MB_OK ? IDOK : (scripted == IDYES ? IDYES : IDNO);
    char owner[32];
    std::snprintf(owner, sizeof owner, "%p", static_cast<void*>(hWnd));
    Journal({"msgbox", hWnd == nullptr ? "" : owner, lpCaption != nullptr ? lpCaption : "",
             lpText != nullptr ? lpText : "", std::to_string(uType), std::to_string(answer)});
    return answer;
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    bool allowed = g_shutdownEnabled;
    char reason[16];
    std::snprintf(reason, sizeof reason, "0x%08X", dwReason);
    Journal({"exitwindows", std::to_string(uFlags), reason, allowed ? "TRUE" : "FALSE"});
    if (!allowed) return Fail(ERROR_PRIVILEGE_NOT_HELD);
    return TRUE;
}

// ---------------------------------------------------------------------------
// Shell folders
// ---------------------------------------------------------------------------
namespace {

const char* FolderOf(int csidl) {
    switch (csidl) {
        case CSIDL_PROGRAM_FILES:
            return "C:\\Program Files";
        case CSIDL_PROGRAM_FILES_COMMON:
            return "C:\\Program Files\\Common Files";
        default:
            return nullptr;
    }
}

}  // namespace

HRESULT WINAPI SHGetSpecialFolderLocation(HWND hwndOwner, int nFolder, LPITEMIDLIST* ppidl) {
    if (ppidl == nullptr) return E_INVALIDARG;
    *ppidl = nullptr;
    const char* folder = nFolder == CSIDL_PROGRAM_FILES ? FolderOf(nFolder) : nullptr;
    if (hwndOwner != nullptr || folder == nullptr) {
        Unmodelled("SHGetSpecialFolderLocation", "the folder " + std::to_string(nFolder));
        return E_NOTIMPL;
    }
    if (DWORD error = InjectedFault("SHGetSpecialFolderLocation"))
        return HRESULT(0x80070000 | error);
    // The list is the folder's Windows path, owned by the task allocator.
    size_t size = std::strlen(folder) + 1;
    auto list = static_cast<char*>(CoTaskMemAlloc(size));
    if (list == nullptr) return E_OUTOFMEMORY;
    std::memcpy(list, folder, size);
    *ppidl = reinterpret_cast<LPITEMIDLIST>(list);
    return S_OK;
}

BOOL WINAPI SHGetPathFromIDListA(LPCITEMIDLIST pidl, LPSTR pszPath) {
    if (pidl == nullptr || pszPath == nullptr) return FALSE;
    const char* folder = reinterpret_cast<const char*>(pidl);
    CopyTruncated(folder, pszPath, MAX_PATH);
    return TRUE;
}

HRESULT WINAPI SHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPSTR pszPath) {
    const char* folder = FolderOf(csidl);
    if (hwnd != nullptr || hToken != nullptr || dwFlags != SHGFP_TYPE_CURRENT ||
        folder == nullptr) {
        Unmodelled("SHGetFolderPathA", "the folder " + std::to_string(csidl) + " or its options");
        return E_NOTIMPL;
    }
    if (pszPath == nullptr) return E_INVALIDARG;
    if (DWORD error = InjectedFault("SHGetFolderPathA")) return HRESULT(0x80070000 | error);
    CopyTruncated(folder, pszPath, MAX_PATH);
    return S_OK;
}

// ---------------------------------------------------------------------------
// GetPrivateProfileStringA
// ---------------------------------------------------------------------------
DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
    if (lpAppName == nullptr) {
        Unmodelled("GetPrivateProfileStringA", "the list of sections");
        return 0;
    }
    if (lpReturnedString == nullptr || nSize == 0 || lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD error = 0;
    auto file = MapFilePath("GetPrivateProfileStringA", lpFileName, &error);
    const IniSection* section = nullptr;
    std::vector<IniSection> sections;
    if (file) sections = ReadIni(*file);
    for (const IniSection& s : sections) {
        if (EqualNoCase(s.Name, lpAppName)) {
            section = &s;
            break;
        }
    }
    if (lpKeyName == nullptr) {
        if (section == nullptr) {
            lpReturnedString[0] = 0;
            if (nSize > 1) lpReturnedString[1] = 0;
            return 0;
        }
        // Names each with a NUL, then a final NUL; a list that does not fit is
        // cut with its last name and ends in two NULs (the count nSize - 2).
        std::vector<std::string> names;
        for (const auto& entry : section->Keys) {
            const std::string& key = entry.first;
            bool seen = std::any_of(names.begin(), names.end(),
                                    [&](const std::string& n) { return EqualNoCase(n, key); });
            if (!seen) names.push_back(key);
        }
        std::string list;
        for (const std::string& name : names) list += name + std::string(1, '\0');
        if (list.size() + 1 <= nSize) {
            std::memcpy(lpReturnedString, list.data(), list.size());
            lpReturnedString[list.size()] = 0;
            return static_cast<DWORD>(list.size());
        }
        if (nSize < 2) {
            lpReturnedString[0] = 0;
            return 0;
        }
        std::memcpy(lpReturnedString, list.data(), nSize - 2);
        lpReturnedString[nSize - 2] = 0;
        lpReturnedString[nSize - 1] = 0;
        return nSize - 2;
    }
    std::string defaultText = Trim(lpDefault != nullptr ? lpDefault : "");
    const std::string* value = nullptr;
    if (section != nullptr) {
        for (const auto& [key, text] : section->Keys) {
            if (EqualNoCase(key, lpKeyName)) {
                value = &text;
                break;
            }
        }
    }
    return CopyTruncated(value != nullptr ? *value : defaultText, lpReturnedString, nSize);
}
