// String tables linked into a program, which LoadStringA reads: one static
// KpStringTable per language, registered before main.
#pragma once

#include <windows.h>

struct KpStringEntry {
    UINT Id;
    const char* Text;  // UTF-8
};

struct KpStringTable {
    LANGID Language;
    const KpStringEntry* Entries;
    size_t Count;
};

// Adds a table for the process's own module; tables registered first come first.
void KpRegisterStringTable(const KpStringTable* table);
// Removes one again (tests that swap tables).
void KpUnregisterStringTable(const KpStringTable* table);
