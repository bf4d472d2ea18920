// Shell folders of the stand-in: the program-files folders only.
#pragma once

#include <objbase.h>

#define CSIDL_PROGRAM_FILES 0x0026
#define CSIDL_PROGRAM_FILES_COMMON 0x002b
#define SHGFP_TYPE_CURRENT 0

typedef struct _ITEMIDLIST ITEMIDLIST;
typedef ITEMIDLIST* LPITEMIDLIST;
typedef const ITEMIDLIST* LPCITEMIDLIST;

// No owner; CSIDL_PROGRAM_FILES ("C:\Program Files") only.  The list is freed
// with CoTaskMemFree.
HRESULT WINAPI SHGetSpecialFolderLocation(HWND hwndOwner, int nFolder, LPITEMIDLIST* ppidl);
BOOL WINAPI SHGetPathFromIDListA(LPCITEMIDLIST pidl, LPSTR pszPath);
// The function "shfolder.dll" exports: CSIDL_PROGRAM_FILES and
// CSIDL_PROGRAM_FILES_COMMON, no token, flags SHGFP_TYPE_CURRENT.
HRESULT WINAPI SHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPSTR pszPath);
typedef HRESULT(WINAPI* PFNSHGETFOLDERPATHA)(HWND, int, HANDLE, DWORD, LPSTR);
