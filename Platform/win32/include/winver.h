// Version data of a file: the strings of an image's version record
// (kp_version_record in the build), language and code page 040904E4 only.
#pragma once

#include <windows.h>

// 0 with ERROR_FILE_NOT_FOUND for a missing file, ERROR_RESOURCE_TYPE_NOT_FOUND
// for a file without a version record.  *lpdwHandle is set to 0.
DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle);
BOOL WINAPI GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);
// "\StringFileInfo\040904E4\<key>": a pointer into the block and the length in
// characters with the NUL; FALSE when the block or the key is missing.
BOOL WINAPI VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen);
