// Kernel registry helpers: create a key or a whole key path, read a REG_DWORD
// value with a default, write a REG_DWORD value.  They work on kernel key
// handles and 16-bit texts, return the kernel's status unchanged (or the
// default value for the readers) and log nothing.  All at PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

// ZwCreateKey of name relative to root (none for an absolute path), case
// insensitive, non-volatile.  Creating an existing key opens it.  On success
// *key holds the handle; the caller closes it.
NTSTATUS RegistryCreateKey(HANDLE root, ACCESS_MASK access, PCWSTR name, PHANDLE key);

// Creates every key along path ("\Registry\Machine\Software\Korvane\<driver>\Debug",
// or "Debug\<driver>" below root), level by level; a leading backslash is not a
// level of its own.  The first failure is returned at once (levels created so
// far stay).  On success *key holds the handle of the last level; the caller
// closes it.  The path text is not written.
NTSTATUS RegistryCreateKeyPath(HANDLE root, ACCESS_MASK access, PCWSTR path, PHANDLE key);

// One REG_DWORD value to read; a table ends with an entry whose Name is null.
struct RegistryDwordEntry {
    PCWSTR Name;
    PULONG Destination;
};

// Reads every entry of the table into its destination.  Only a REG_DWORD of
// exactly 4 bytes is taken: any other type or length, and a missing value,
// leave that destination untouched (its default) and the walk goes on.  The
// first such failure is returned (STATUS_OBJECT_NAME_NOT_FOUND, or a read
// failure's own status), else STATUS_SUCCESS.
NTSTATUS RegistryQueryValues(HANDLE key, const RegistryDwordEntry* table);

// The REG_DWORD value `name` of key, or defaultValue when it is missing or not
// a 4-byte REG_DWORD.
ULONG RegistryReadDword(HANDLE key, PCWSTR name, ULONG defaultValue);
// The same; *found (when given) becomes 1 when the value was read, 0 when the
// default was used.
ULONG RegistryReadDwordEx(HANDLE key, PCWSTR name, ULONG defaultValue, PULONG found);

// Writes a REG_DWORD value: 1 on success, 0 otherwise.
ULONG RegistryWriteDword(HANDLE key, PCWSTR name, ULONG value);
