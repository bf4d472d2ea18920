// Path and registry helpers of the shell's light-weight library.
#pragma once

#include <windows.h>

// Strips the last component and its "\", keeping "C:\" for a root; TRUE when
// something was removed.
BOOL WINAPI PathRemoveFileSpecA(LPSTR pszPath);
// TRUE for an existing file or folder of the machine.
BOOL WINAPI PathFileExistsA(LPCSTR pszPath);
// Deletes the key with all its subkeys; ERROR_FILE_NOT_FOUND when missing.
LSTATUS WINAPI SHDeleteKeyA(HKEY hkey, LPCSTR pszSubKey);
