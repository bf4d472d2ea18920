// Registry calls of the stand-in ("A" forms).  Keys live in the machine's one
// registry store; string-typed values (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)
// are kept as UTF-16 and read and written here in UTF-8, with sizes of the
// narrow form; other types travel byte for byte.  Access masks are enforced.
#pragma once

#include <windows.h>

struct KpWin32Key;
typedef KpWin32Key* HKEY;
typedef HKEY* PHKEY;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002)
#define HKEY_USERS ((HKEY)(ULONG_PTR)0x80000003)
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)0x80000005)

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult);
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData);
LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData);
LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
LSTATUS WINAPI RegCloseKey(HKEY hKey);
// Creates every missing level (the root of HKEY_CURRENT_USER on first use).
// No class, non-volatile, default security: anything else is not modelled.
LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition);
// The index-th subkey's name, in the store's order (upper-cased names);
// ERROR_NO_MORE_ITEMS past the end, ERROR_MORE_DATA for a name that does not
// fit cchName with its NUL.
LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
// A key without subkeys; ERROR_ACCESS_DENIED for one with subkeys.
LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
