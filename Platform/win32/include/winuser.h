// User-interface calls of the stand-in: string resources, message boxes and
// the shutdown call.  Nothing is shown and nothing is shut down: boxes take
// scripted answers and both are recorded in the machine's journal.
#pragma once

#include <windows.h>

#define MB_OK 0x00000000L
#define MB_YESNO 0x00000004L
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

#define EWX_LOGOFF 0
#define EWX_SHUTDOWN 0x00000001
#define EWX_REBOOT 0x00000002
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_MINIMIZE 6

// From the string table linked into the program (kpres.h), in the language of
// KP_WIN32_LANGID (default 1033), falling back to the same primary language,
// to 0x0409, then to the first table.  The count copied without the NUL,
// truncated to cchBufferMax - 1; 0 for a missing string.  UTF-8 text.
int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
// MB_YESNO or MB_OK only.  The next answer of KP_WIN32_MSGBOX ("yes,no,..."),
// IDNO by default (IDOK for MB_OK); never blocks.
int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
// TRUE only when the process enabled the shutdown privilege, else FALSE with
// ERROR_PRIVILEGE_NOT_HELD.  Never acts on the host.
BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason);
