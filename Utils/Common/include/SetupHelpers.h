// Setupdeck's helper classes: the log, INI files, registry keys, string lists
// and the Sync module's kernel objects.
#pragma once

#include <windows.h>

#include <cstddef>

// ---------------------------------------------------------------------------
// Sync
// ---------------------------------------------------------------------------
class KernelObject {
public:
    // True only when the wait gave WAIT_OBJECT_0.
    virtual bool Lock(DWORD timeout);
    virtual bool Unlock(LONG count, LONG* previous);
    virtual bool Unlock() = 0;
    virtual ~KernelObject();

protected:
    HANDLE m_hObject = nullptr;
};

class NamedMutex : public KernelObject {
public:
    // Creates the mutex, or opens the one of that name.
    NamedMutex(BOOL initialOwner, const char* name, LPSECURITY_ATTRIBUTES security);
    // True when the wait gave the mutex: WAIT_OBJECT_0, or WAIT_ABANDONED
    // (ownership passes with an abandoned mutex, to be released as usual).
    bool Acquire(DWORD timeout);
    bool Unlock() override;
    using KernelObject::Unlock;
};

// ---------------------------------------------------------------------------
// The log: "[MM/DD/YYYY hh:mm:ss] - <message>" lines appended to the log file
// under "SETUPDECK_MUTEX".
// ---------------------------------------------------------------------------
extern char g_szLogFile[MAX_PATH];
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------
// StringList
// ---------------------------------------------------------------------------
struct StringNode {
    StringNode* Next;
    StringNode* Previous;
    char* Text;  // owned
};

class StringList {
public:
    virtual ~StringList();
    bool Add(const char* text);
    void Clear();
    size_t Count() const { return m_count; }
    // The entry at Index, or null out of range.
    const char* GetAt(size_t index) const;

private:
    StringNode* m_head = nullptr;
    StringNode* m_tail = nullptr;
    size_t m_count = 0;
};

// ---------------------------------------------------------------------------
// IniFile
// ---------------------------------------------------------------------------
class IniFile {
public:
    explicit IniFile(const char* path = "");
    virtual ~IniFile() = default;
    void SetPath(const char* path);
    // True for a non-empty value that fits Size with its NUL; Out untouched
    // otherwise.  A value the 256-byte read cut is logged and counts as missing.
    bool ReadString(const char* section, const char* key, char* out, size_t size);
    // The section's key names in file order; a list the 1024-byte read cut is
    // logged and loses its cut name.
    size_t KeyNames(const char* section, StringList* list);

private:
    char m_szPath[MAX_PATH];
};

// ---------------------------------------------------------------------------
// CRegistry
// ---------------------------------------------------------------------------
class CRegistry {
public:
    CRegistry(const char* subkey, HKEY root, bool create);
    virtual ~CRegistry();
    bool WriteString(const char* name, const char* text);
    void Close();
    static bool KeyExists(HKEY root, const char* subkey);
    static bool DeleteValue(HKEY root, const char* subkey, const char* name);
    static bool DeleteKeyTree(HKEY root, const char* subkey);

private:
    [[maybe_unused]] HKEY m_hRoot;  // the key the subkey lies under, kept with the handle
    HKEY m_hKey = nullptr;
};
