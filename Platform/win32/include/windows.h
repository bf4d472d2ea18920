// The Win32 base of the stand-in: the types, error codes and kernel32 calls
// the tools use.  User-mode code only: kernel code never sees this folder.
// Text is "ANSI", which on this host means UTF-8.  Calls the tools do not make,
// and arguments or forms no tool uses, are not modelled: they fail with
// ERROR_CALL_NOT_IMPLEMENTED and say so on stderr (kp/win32.h).
#pragma once

#include "platform/ntdef.h"
#include "platform/zw.h"  // registry value types and key access rights

#define WINAPI
#define CALLBACK
#define APIENTRY
#define MAX_PATH 260

typedef uint32_t DWORD;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef BOOL* PBOOL;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef UINT* PUINT;
typedef LONG LSTATUS;
typedef LONG* LPLONG;
typedef ULONG REGSAM;
typedef DWORD DEVINST;

struct KpWin32Window;
struct KpWin32Module;
typedef KpWin32Window* HWND;
typedef KpWin32Module* HMODULE;
typedef HMODULE HINSTANCE;
typedef intptr_t (*FARPROC)(void);

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)(-1))

// ---------------------------------------------------------------------------
// Error codes (GetLastError, and the results of the Reg* calls)
// ---------------------------------------------------------------------------
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_WRITE_FAULT 29L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_FORMAT 11L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_BADDB 1009L
#define ERROR_KEY_DELETED 1018L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L

// ---------------------------------------------------------------------------
// Generic access rights
// ---------------------------------------------------------------------------
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#endif
#ifndef MAXIMUM_ALLOWED
#define MAXIMUM_ALLOWED 0x02000000L
#endif

// ---------------------------------------------------------------------------
// Errors and versions
// ---------------------------------------------------------------------------
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

// FALSE with ERROR_INSUFFICIENT_BUFFER unless dwOSVersionInfoSize is sizeof(OSVERSIONINFOA).
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
// "C:\WINDOWS": the length without the NUL, or the size needed with it when uSize is short.
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);

// ---------------------------------------------------------------------------
// Libraries: a name table of the system libraries the tools load by name.
// ---------------------------------------------------------------------------
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

#include <winreg.h>
#include <winsvc.h>
#include <winver.h>
