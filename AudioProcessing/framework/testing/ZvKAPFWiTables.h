// The channel table and the shared-variable table as ZvKAPFWi.cpp keeps them,
// for that unit and for tests that look at a record directly.  Nothing else
// of the framework, and no filter logic, reads them: they go through the
// services of FilterLogicServices.h.  Declared once, here, so that the unit
// that defines the tables and the tests that read them cannot disagree.
#pragma once

#include "FilterLogicServices.h"

struct ChannelRecord {
    ULONG Acquired;
    ChannelFormat Format;
    ULONG State;  // ChannelState
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Fdo;
    PFILE_OBJECT PinFile;
    ULONGLONG Position;
    ULONGLONG CompletedCount;
};

// {pointer, size} entry of a variable table.
struct VariableEntry {
    PVOID Value;
    ULONG Size;
};

extern ChannelRecord ChannelTable[2 * ZV_CHANNEL_COUNT];
extern KSPIN_LOCK ChannelTableLock;
extern VariableEntry SharedVariableTable[4];
extern KSPIN_LOCK SharedVariableLock;

ZvStatus StoreVariable(PVOID source, ULONG sourceSize, VariableEntry* table, ULONG index);
ZvStatus LoadVariable(PVOID destination, PULONG size, VariableEntry* table, ULONG index);
