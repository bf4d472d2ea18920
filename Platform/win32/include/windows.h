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
typedef WORD LANGID;
typedef LONG HRESULT;
typedef CHAR* LPTSTR;

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
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILE_EXISTS 80L
#define ERROR_NOT_OWNER 288L
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
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_NO_SUCH_PRIVILEGE 1313L
#define ERROR_PRIVILEGE_NOT_HELD 1314L
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

// ---------------------------------------------------------------------------
// Modules and folders
// ---------------------------------------------------------------------------
// "C:\WINDOWS\system32", sized as GetWindowsDirectoryA.
UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
// Only the process's own module (NULL): the Windows path of the running
// executable, which must lie inside the machine folder.  The length copied
// without the NUL; a short buffer gets a truncated, terminated copy, its size
// as the result and ERROR_INSUFFICIENT_BUFFER.
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
// NULL only: the process's own module, whose string table LoadStringA reads.
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
// Copies a file of the machine; with bFailIfExists an existing target gives
// ERROR_FILE_EXISTS and is left as it is.
BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists);

// ---------------------------------------------------------------------------
// Handles, processes and waits
// ---------------------------------------------------------------------------
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED 0xFFFFFFFF

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// Process, thread, token and mutex handles.  Closing a process handle leaves
// the process running.
BOOL WINAPI CloseHandle(HANDLE hObject);
// No application name, no handle inheritance, creation flags 0, the caller's
// environment and folder: anything else is not modelled.  The module is parsed
// from the command line as the platform does (a quoted name to its quote; an
// unquoted one is the shortest blank-separated prefix naming an existing file,
// ".exe" added to a name without extension) and started as a host program with
// the rest of the line split into arguments.  ERROR_FILE_NOT_FOUND for no such
// file, ERROR_BAD_EXE_FORMAT for a file that is not a host program.
BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation);
// A process: WAIT_OBJECT_0 once it has ended, else WAIT_TIMEOUT.  A mutex:
// WAIT_OBJECT_0, or WAIT_ABANDONED when its last owner died holding it (owned
// either way), else WAIT_TIMEOUT.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Kills the process; uExitCode is what a wait reports and the journal records.
BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode);
// The pseudo handle (HANDLE)-1.
HANDLE WINAPI GetCurrentProcess(void);

// ---------------------------------------------------------------------------
// Named mutexes: one per name for every process of the machine.
// ---------------------------------------------------------------------------
// Default security, not initially owned, and a name: anything else is not
// modelled.  ERROR_ALREADY_EXISTS as the last error when it was opened.
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName);
// FALSE with ERROR_NOT_OWNER when the calling thread does not own it.
BOOL WINAPI ReleaseMutex(HANDLE hMutex);

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------
typedef struct _SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

// KP_WIN32_LOCAL_TIME ("2005-03-07 14:05:09"), fixed for the process; unset:
// the host's local time.
void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
// 100 ns since 1601-01-01.  FALSE (ERROR_INVALID_PARAMETER) for a year outside
// 1601-30827, a month, day, hour, minute, second or millisecond out of range;
// wDayOfWeek is ignored.
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);

// ---------------------------------------------------------------------------
// Tokens and privileges: only the shutdown privilege of the own process.
// ---------------------------------------------------------------------------
typedef struct _LUID {
    DWORD LowPart;
    LONG HighPart;
} LUID, *PLUID;
typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
} LUID_AND_ATTRIBUTES;
typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_QUERY 0x0008
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_SHUTDOWN_NAME "SeShutdownPrivilege"

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
// The local system only; an unknown name gives ERROR_NO_SUCH_PRIVILEGE.
BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid);
// One privilege, no previous state.  TRUE; with KP_WIN32_SHUTDOWN_PRIVILEGE=0
// the privilege is not granted and the last error is ERROR_NOT_ALL_ASSIGNED.
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

// ---------------------------------------------------------------------------
// INI files
// ---------------------------------------------------------------------------
// Section and key names without case (the first duplicate wins); the value's
// blanks trimmed and one pair of surrounding quotes removed; ";" starts a
// comment at the beginning of a line.  A NULL key lists the section's names,
// each with its NUL, then a final NUL.  The count without the final NUL; on
// truncation nSize - 1 (a value) or nSize - 2 (a list).  A missing file,
// section or key gives the default.
DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);

#include <winreg.h>
#include <winsvc.h>
#include <winver.h>
#include <winuser.h>
