// Setupdeck: performs the installation its Setupdeck.ini describes, records it
// in the Windows folder's Temp\Setupdeck.xml, and undoes a recorded one.
#pragma once

#include "SetupHelpers.h"

// The folders of the run (InitPaths).
struct SetupPaths {
    char Current[MAX_PATH];
    char Windows[MAX_PATH];
    char Inf[MAX_PATH];
    char System[MAX_PATH];
    char Common[MAX_PATH];
    char Programs[MAX_PATH];
};
extern SetupPaths g_paths;

void InitPaths();
void SplitString(const char* text, const char* separators, StringList* list);
// False for a value without "#" (logged).
bool SplitCommand(const char* value, char* command, size_t commandSize, char* arguments,
                  size_t argumentsSize);
void RunIniCommand(IniFile* ini, const char* section, const char* key);
void RunRecordedCommand(const char* value);
void AddRegKey(const char* arguments);
void DelRegKey(const char* arguments);
// Replaces the first macro of Text (MAX_PATH) in place; an unknown macro
// leaves the text.  False, with the text left and "Invalid command!" logged,
// when the result would not fit: the command is to be skipped.
bool ExpandPathMacro(char* text);
BOOL LaunchCmdline(const char* program, const char* parameters, DWORD wait, int show);

void PerformInstall(IniFile* ini);
void PerformUninstall(const char* name, const char* infPath, const char* program,
                      const char* parameters);
