// Win32 stand-in: the registry calls.  A key handle keeps its key's path and
// granted access, and reopens the key when the store was reloaded from the
// machine file since it last looked.
#include <shlwapi.h>

#include "win32_internal.h"

using namespace kp::win32;

struct KpWin32Key : Object {
    KpWin32Key() : Object(Kind::Key) {}
    std::u16string Path;  // kernel path
    ACCESS_MASK Access = 0;
    kp::reg::KeyRef Key;
    ULONGLONG Generation = 0;
};

namespace {

ACCESS_MASK MapKeyAccess(REGSAM sam) {
    ACCESS_MASK access = sam & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                 MAXIMUM_ALLOWED | KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    if (sam & (GENERIC_READ | GENERIC_EXECUTE)) access |= KEY_READ;
    if (sam & GENERIC_WRITE) access |= KEY_WRITE;
    if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
    return access;
}

std::optional<std::u16string> PredefinedPath(HKEY key) {
    switch (reinterpret_cast<ULONG_PTR>(key)) {
        case 0x80000000:
            return kp::reg::RootKeyPath(u"HKEY_CLASSES_ROOT");
        case 0x80000001:
            return kp::reg::RootKeyPath(u"HKEY_CURRENT_USER");
        case 0x80000002:
            return kp::reg::RootKeyPath(u"HKEY_LOCAL_MACHINE");
        case 0x80000003:
            return kp::reg::RootKeyPath(u"HKEY_USERS");
        case 0x80000005:
            return kp::reg::RootKeyPath(u"HKEY_CURRENT_CONFIG");
        default:
            return std::nullopt;
    }
}

// The key behind a handle with the rights it needs; 0 or an error.
DWORD Resolve(HKEY handle, ACCESS_MASK needed, std::u16string* path, kp::reg::KeyRef* key) {
    if (DWORD error = Sync()) return error;
    if (auto root = PredefinedPath(handle)) {
        *path = *root;
        return ErrorFromStatus(Store().OpenKey(nullptr, *root, key));
    }
    auto object = static_cast<KpWin32Key*>(Lookup(handle, Kind::Key));
    if (object == nullptr) return ERROR_INVALID_HANDLE;
    if ((object->Access & needed) != needed) return ERROR_ACCESS_DENIED;
    if (object->Generation != Generation()) {
        // The store was reloaded: its key objects are new.
        kp::reg::KeyRef fresh;
        if (!NT_SUCCESS(Store().OpenKey(nullptr, object->Path, &fresh))) return ERROR_KEY_DELETED;
        object->Key = fresh;
        object->Generation = Generation();
    }
    *path = object->Path;
    *key = object->Key;
    return 0;
}

DWORD ValueName(LPCSTR name, std::u16string* out) {
    if (name == nullptr) {
        out->clear();  // the default value
        return 0;
    }
    return Widen(name, out) ? 0 : ERROR_INVALID_NAME;
}

}  // namespace

namespace kp::win32 {

HKEY OpenKeyHandle(const std::u16string& path, ACCESS_MASK access) {
    kp::reg::KeyRef key;
    if (!NT_SUCCESS(Store().OpenKey(nullptr, path, &key))) return nullptr;
    auto object = new KpWin32Key();
    object->Path = path;
    object->Access = MapKeyAccess(access);
    object->Key = key;
    object->Generation = Generation();
    Register(object);
    return object;
}

}  // namespace kp::win32

// ---------------------------------------------------------------------------
// RegOpenKeyExA
// ---------------------------------------------------------------------------
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (ulOptions != 0) return Unmodelled("RegOpenKeyExA", "an option");
    if (DWORD error = InjectedFault("RegOpenKeyExA")) return error;
    std::u16string base;
    kp::reg::KeyRef key;
    if (DWORD error = Resolve(hKey, 0, &base, &key)) return error;
    std::u16string sub;
    if (lpSubKey != nullptr && !Widen(lpSubKey, &sub)) return ERROR_INVALID_NAME;
    std::u16string path = sub.empty() ? base : base + u"\\" + sub;
    kp::reg::KeyRef opened;
    if (DWORD error = ErrorFromStatus(Store().OpenKey(nullptr, path, &opened))) return error;
    HKEY handle = OpenKeyHandle(path, samDesired);
    if (handle == nullptr) return ERROR_FILE_NOT_FOUND;
    *phkResult = handle;
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// RegQueryValueExA: NULL data asks for the size; a short buffer gives
// ERROR_MORE_DATA with the size.  Nothing is added to the stored bytes.
// ---------------------------------------------------------------------------
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    if (DWORD error = InjectedFault("RegQueryValueExA", lpValueName != nullptr ? lpValueName : ""))
        return error;
    std::u16string path, name;
    kp::reg::KeyRef key;
    if (DWORD error = Resolve(hKey, KEY_QUERY_VALUE, &path, &key)) return error;
    if (DWORD error = ValueName(lpValueName, &name)) return error;
    kp::reg::ValueData value;
    if (DWORD error = ErrorFromStatus(Store().QueryValue(key, name, &value))) return error;
    std::vector<uint8_t> bytes = NarrowValue(value.Type, value.Data);
    if (lpType != nullptr) *lpType = value.Type;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    DWORD room = *lpcbData;
    *lpcbData = static_cast<DWORD>(bytes.size());
    if (lpData == nullptr) return ERROR_SUCCESS;
    if (room < bytes.size()) return ERROR_MORE_DATA;
    if (!bytes.empty()) std::memcpy(lpData, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// RegSetValueExA: exactly cbData bytes, embedded NULs included.
// ---------------------------------------------------------------------------
LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
    if (Reserved != 0 || (lpData == nullptr && cbData != 0)) return ERROR_INVALID_PARAMETER;
    if (DWORD error = InjectedFault("RegSetValueExA", lpValueName != nullptr ? lpValueName : ""))
        return error;
    std::u16string name;
    if (DWORD error = ValueName(lpValueName, &name)) return error;
    std::vector<uint8_t> stored;
    if (!WidenValue(dwType, lpData, cbData, &stored)) return ERROR_INVALID_PARAMETER;
    return Change([&]() -> DWORD {
        std::u16string path;
        kp::reg::KeyRef key;
        if (DWORD error = Resolve(hKey, KEY_SET_VALUE, &path, &key)) return error;
        return ErrorFromStatus(Store().SetValue(key, name, dwType, stored.data(), stored.size()));
    });
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    if (DWORD error = InjectedFault("RegDeleteValueA", lpValueName != nullptr ? lpValueName : ""))
        return error;
    std::u16string name;
    if (DWORD error = ValueName(lpValueName, &name)) return error;
    return Change([&]() -> DWORD {
        std::u16string path;
        kp::reg::KeyRef key;
        if (DWORD error = Resolve(hKey, KEY_SET_VALUE, &path, &key)) return error;
        return ErrorFromStatus(Store().DeleteValue(key, name));
    });
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (PredefinedPath(hKey)) return ERROR_SUCCESS;
    return Close(hKey, Kind::Key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// ---------------------------------------------------------------------------
// RegCreateKeyExA
// ---------------------------------------------------------------------------
LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    if (phkResult == nullptr || Reserved != 0) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if ((lpClass != nullptr && *lpClass != 0) || dwOptions != REG_OPTION_NON_VOLATILE ||
        lpSecurityAttributes != nullptr)
        return Unmodelled("RegCreateKeyExA", "a class, an option or security attributes");
    if (lpSubKey == nullptr || *lpSubKey == 0 || *lpSubKey == '\\') return ERROR_INVALID_PARAMETER;
    if (DWORD error = InjectedFault("RegCreateKeyExA", lpSubKey)) return error;
    std::u16string sub;
    if (!Widen(lpSubKey, &sub)) return ERROR_INVALID_NAME;
    std::u16string path;
    ULONG disposition = 0;
    DWORD error = Change([&]() -> DWORD {
        std::u16string base;
        kp::reg::KeyRef key;
        if (auto root = PredefinedPath(hKey)) {
            // A root such as HKEY_CURRENT_USER's is made on first use.
            base = *root;
        } else if (DWORD error = Resolve(hKey, KEY_CREATE_SUB_KEY, &base, &key)) {
            return error;
        }
        path = base + u"\\" + sub;
        while (!path.empty() && path.back() == u'\\') path.pop_back();
        kp::reg::CreateKeyOptions options;
        options.CreateIntermediate = true;
        kp::reg::KeyRef created;
        return ErrorFromStatus(Store().CreateKey(nullptr, path, options, &created, &disposition));
    });
    if (error != 0) return error;
    HKEY handle = OpenKeyHandle(path, samDesired);
    if (handle == nullptr) return ERROR_FILE_NOT_FOUND;
    *phkResult = handle;
    if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// RegEnumKeyA
// ---------------------------------------------------------------------------
LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    if (lpName == nullptr) return ERROR_INVALID_PARAMETER;
    if (DWORD error = InjectedFault("RegEnumKeyA")) return error;
    std::u16string path;
    kp::reg::KeyRef key;
    if (DWORD error = Resolve(hKey, KEY_ENUMERATE_SUB_KEYS, &path, &key)) return error;
    kp::reg::KeyInfo info;
    NTSTATUS status = Store().EnumerateKey(key, dwIndex, &info);
    if (status == STATUS_NO_MORE_ENTRIES) return ERROR_NO_MORE_ITEMS;
    if (DWORD error = ErrorFromStatus(status)) return error;
    std::string name = Narrow(info.Name);
    if (name.size() + 1 > cchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// RegDeleteKeyA / SHDeleteKeyA
// ---------------------------------------------------------------------------
namespace {

LSTATUS DeleteSubKey(const char* call, HKEY hKey, LPCSTR lpSubKey, bool tree) {
    if (lpSubKey == nullptr || *lpSubKey == 0) return ERROR_INVALID_PARAMETER;
    if (DWORD error = InjectedFault(call, lpSubKey)) return error;
    std::u16string sub;
    if (!Widen(lpSubKey, &sub)) return ERROR_INVALID_NAME;
    return Change([&]() -> DWORD {
        std::u16string base;
        kp::reg::KeyRef key, target;
        if (DWORD error = Resolve(hKey, 0, &base, &key)) return error;
        if (DWORD error = ErrorFromStatus(Store().OpenKey(key, sub, &target))) return error;
        if (tree) return ErrorFromStatus(Store().DeleteTree(target));
        kp::reg::KeyInfo info;
        if (DWORD error = ErrorFromStatus(Store().QueryKey(target, &info))) return error;
        if (info.SubKeys > 0) return ERROR_ACCESS_DENIED;
        return ErrorFromStatus(Store().DeleteKey(target));
    });
}

}  // namespace

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return DeleteSubKey("RegDeleteKeyA", hKey, lpSubKey, false);
}

LSTATUS WINAPI SHDeleteKeyA(HKEY hkey, LPCSTR pszSubKey) {
    return DeleteSubKey("SHDeleteKeyA", hkey, pszSubKey, true);
}
