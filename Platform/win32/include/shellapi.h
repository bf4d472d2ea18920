// ShellExecuteExA of the stand-in: "open" on a program only.
#pragma once

#include <windows.h>

#define SEE_MASK_NOCLOSEPROCESS 0x00000040

typedef struct _SHELLEXECUTEINFOA {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCSTR lpVerb;
    LPCSTR lpFile;
    LPCSTR lpParameters;
    LPCSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    void* lpIDList;
    LPCSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    HANDLE hIcon;
    HANDLE hProcess;
} SHELLEXECUTEINFOA, *LPSHELLEXECUTEINFOA;

// The verb "open" (or none) on a host program of the machine: it starts with
// lpParameters as its arguments, nShow is recorded, and with
// SEE_MASK_NOCLOSEPROCESS hProcess is a process handle.  FALSE with
// ERROR_FILE_NOT_FOUND for a missing file; another verb, a folder, a class or
// a document is not modelled.
BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA* pExecInfo);
