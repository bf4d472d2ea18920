// Setupdeck's helper classes.
#include "SetupHelpers.h"

#include <shlwapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------
// Sync
// ---------------------------------------------------------------------------
bool KernelObject::Lock(DWORD timeout) {
    return WaitForSingleObject(m_hObject, timeout) == WAIT_OBJECT_0;
}

bool KernelObject::Unlock(LONG, LONG*) {
    return true;
}

KernelObject::~KernelObject() {
    if (m_hObject != nullptr) CloseHandle(m_hObject);
}

NamedMutex::NamedMutex(BOOL initialOwner, const char* name, LPSECURITY_ATTRIBUTES security) {
    m_hObject = CreateMutexA(security, initialOwner, name);
}

bool NamedMutex::Acquire(DWORD timeout) {
    DWORD result = WaitForSingleObject(m_hObject, timeout);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

bool NamedMutex::Unlock() {
    return ReleaseMutex(m_hObject) != FALSE;
}

// ---------------------------------------------------------------------------
// The log
// ---------------------------------------------------------------------------
char g_szLogFile[MAX_PATH];

namespace {

// One mutex for every Setupdeck process, made before the program's main runs.
NamedMutex& LogMutex() {
    static NamedMutex mutex(FALSE, "SETUPDECK_MUTEX", nullptr);
    return mutex;
}
[[maybe_unused]] NamedMutex& g_logMutex = LogMutex();

}  // namespace

void WriteLog(const char* format, ...) {
    // A failed wait goes on: a lost lock must not stop the installation.  A
    // mutex its last owner died holding is ours all the same and is released
    // like any other, or every later Setupdeck would wait for this one to end.
    bool locked = LogMutex().Acquire(INFINITE);
    FILE* file = fopen(g_szLogFile, "a+");
    char message[512], line[512];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    // A cut message keeps its line end, so the next line starts on its own.
    if (length >= static_cast<int>(sizeof message) && format[std::strlen(format) - 1] == '\n')
        message[sizeof message - 2] = '\n';
    SYSTEMTIME now;
    GetLocalTime(&now);
    length = std::snprintf(line, sizeof line, "[%02d/%02d/%02d %02d:%02d:%02d] - %s", now.wMonth,
                           now.wDay, now.wYear, now.wHour, now.wMinute, now.wSecond, message);
    if (length >= static_cast<int>(sizeof line) && message[std::strlen(message) - 1] == '\n')
        line[sizeof line - 2] = '\n';
    if (file != nullptr) {
        fprintf(file, "%s", line);
        // The line reaches the file before another process may append.
        fflush(file);
        fclose(file);
    }
    if (locked) LogMutex().Unlock();
}

// ---------------------------------------------------------------------------
// StringList
// ---------------------------------------------------------------------------
StringList::~StringList() {
    Clear();
}

bool StringList::Add(const char* text) {
    if (text == nullptr) return false;
    auto node = static_cast<StringNode*>(std::malloc(sizeof(StringNode)));
    char* copy = strdup(text);
    if (node == nullptr || copy == nullptr) {
        std::free(node);
        std::free(copy);
        return false;
    }
    *node = {nullptr, m_tail, copy};
    if (m_tail != nullptr)
        m_tail->Next = node;
    else
        m_head = node;
    m_tail = node;
    m_count++;
    return true;
}

void StringList::Clear() {
    while (m_head != nullptr) {
        StringNode* next = m_head->Next;
        std::free(m_head->Text);
        std::free(m_head);
        m_head = next;
    }
    m_tail = nullptr;
    m_count = 0;
}

const char* StringList::GetAt(size_t index) const {
    if (index >= m_count) return nullptr;
    StringNode* node = m_head;
    while (index-- > 0) node = node->Next;
    return node->Text;
}

// ---------------------------------------------------------------------------
// IniFile
// ---------------------------------------------------------------------------
IniFile::IniFile(const char* path) {
    SetPath(path);
}

void IniFile::SetPath(const char* path) {
    std::snprintf(m_szPath, sizeof m_szPath, "%s", path);
}

bool IniFile::ReadString(const char* section, const char* key, char* out, size_t size) {
    // Values hold at most 255 characters; one byte more tells a value of 255
    // from a longer one the read cut (whose count is the buffer's size - 1).
    char value[257];
    DWORD count = GetPrivateProfileStringA(section, key, "", value, sizeof value, m_szPath);
    if (count == 0) return false;
    if (count >= sizeof value - 1) {
        WriteLog("Value %s of [%s] is too long!\n", key, section);
        return false;
    }
    if (count + 1 > size) return false;
    std::memcpy(out, value, count + 1);
    return true;
}

size_t IniFile::KeyNames(const char* section, StringList* list) {
    char names[1024];
    DWORD count = GetPrivateProfileStringA(section, nullptr, "", names, sizeof names, m_szPath);
    if (count == 0) return list->Count();
    list->Clear();
    // A cut list ends with a cut name, which might address another key.
    bool cut = count == sizeof names - 2;
    if (cut) WriteLog("Too many keys in [%s]!\n", section);
    for (const char* name = names; *name != 0; name += std::strlen(name) + 1) {
        if (cut && name + std::strlen(name) >= names + count) break;
        list->Add(name);
    }
    return list->Count();
}

// ---------------------------------------------------------------------------
// CRegistry
// ---------------------------------------------------------------------------
CRegistry::CRegistry(const char* subkey, HKEY root, bool create) : m_hRoot(root) {
    LSTATUS status = create ? RegCreateKeyExA(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                              KEY_READ | KEY_WRITE, nullptr, &m_hKey, nullptr)
                            : RegOpenKeyExA(root, subkey, 0, KEY_READ | KEY_WRITE, &m_hKey);
    if (status != ERROR_SUCCESS) {
        m_hKey = nullptr;
        WriteLog("CRegistry().  Oooops , Failed to open subKey %s\n", subkey);
    }
}

CRegistry::~CRegistry() {
    Close();
}

bool CRegistry::WriteString(const char* name, const char* text) {
    if (m_hKey == nullptr) return false;
    char value[256];
    std::snprintf(value, sizeof value, "%s", text);
    return RegSetValueExA(m_hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(std::strlen(value) + 1)) == ERROR_SUCCESS;
}

void CRegistry::Close() {
    if (m_hKey != nullptr) RegCloseKey(m_hKey);
    m_hKey = nullptr;
}

bool CRegistry::KeyExists(HKEY root, const char* subkey) {
    HKEY key;
    if (RegOpenKeyExA(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool CRegistry::DeleteValue(HKEY root, const char* subkey, const char* name) {
    HKEY key;
    if (RegOpenKeyExA(root, subkey, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) return false;
    bool ok = RegDeleteValueA(key, name) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

bool CRegistry::DeleteKeyTree(HKEY root, const char* subkey) {
    return KeyExists(root, subkey) && SHDeleteKeyA(root, subkey) == ERROR_SUCCESS;
}
