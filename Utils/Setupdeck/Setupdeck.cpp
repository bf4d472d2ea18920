// Setupdeck's entry, folders, script commands and path macros.
#include "Setupdeck.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <winuser.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "AsciiText.h"

SetupPaths g_paths;

namespace {

constexpr char kInvalidCommand[] = "Invalid command!\n";

// The root key a script names, or null.
HKEY RootOf(const char* name) {
    static const struct {
        const char* Name;
        HKEY Key;
    } kRoots[] = {{"hklm", HKEY_LOCAL_MACHINE},
                  {"hkcu", HKEY_CURRENT_USER},
                  {"hkcr", HKEY_CLASSES_ROOT},
                  {"hku", HKEY_USERS},
                  {"hkcc", HKEY_CURRENT_CONFIG}};
    for (const auto& root : kRoots) {
        if (AsciiEqualNoCase(name, root.Name)) return root.Key;
    }
    return nullptr;
}

// Splits a script's registry arguments; the root, or null when it is unknown
// (logged).
HKEY SplitRegArguments(const char* arguments, StringList* fields) {
    SplitString(arguments, ",", fields);
    const char* root = fields->GetAt(0);
    HKEY key = root != nullptr ? RootOf(root) : nullptr;
    if (key == nullptr) WriteLog("Invalid reg key %s!\n", root != nullptr ? root : "");
    return key;
}

// Copies Text into Out (Size bytes); false, with nothing copied, when it does not fit.
bool CopyBounded(char* out, size_t size, const char* text, size_t length) {
    if (length + 1 > size) return false;
    std::memcpy(out, text, length);
    out[length] = 0;
    return true;
}

void LoadFolder(PFNSHGETFOLDERPATHA getFolder, int csidl, char* folder) {
    folder[0] = 0;
    if (getFolder == nullptr ||
        FAILED(getFolder(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder)))
        folder[0] = 0;
}

}  // namespace

void InitPaths() {
    std::memset(&g_paths, 0, sizeof g_paths);
    if (GetModuleFileNameA(nullptr, g_paths.Current, MAX_PATH) - 1u < MAX_PATH - 1u)
        PathRemoveFileSpecA(g_paths.Current);
    else
        g_paths.Current[0] = 0;
    if (GetWindowsDirectoryA(g_paths.Windows, MAX_PATH) - 1u >= MAX_PATH - 1u)
        g_paths.Windows[0] = 0;
    // The Windows folder is short; a path that did not fit names nothing.
    if (std::snprintf(g_paths.Inf, MAX_PATH, "%s\\%s", g_paths.Windows, "inf") >= MAX_PATH)
        g_paths.Inf[0] = 0;
    if (GetSystemDirectoryA(g_paths.System, MAX_PATH) - 1u >= MAX_PATH - 1u) g_paths.System[0] = 0;
    HMODULE shell = LoadLibraryA("shfolder.dll");
    PFNSHGETFOLDERPATHA getFolder =
        shell != nullptr ? reinterpret_cast<PFNSHGETFOLDERPATHA>(reinterpret_cast<void (*)()>(
                               GetProcAddress(shell, "SHGetFolderPathA")))
                         : nullptr;
    LoadFolder(getFolder, CSIDL_PROGRAM_FILES_COMMON, g_paths.Common);
    LoadFolder(getFolder, CSIDL_PROGRAM_FILES, g_paths.Programs);
    if (shell != nullptr) FreeLibrary(shell);
    if (std::snprintf(g_szLogFile, MAX_PATH, "%s\\temp\\Setupdeck.log", g_paths.Windows) >=
        MAX_PATH)
        g_szLogFile[0] = 0;
}

void SplitString(const char* text, const char* separators, StringList* list) {
    size_t length = std::strlen(text);
    char* copy = new (std::nothrow) char[length + 1];
    if (copy == nullptr) return;
    std::memcpy(copy, text, length + 1);
    char* save = nullptr;
    for (char* piece = strtok_r(copy, separators, &save); piece != nullptr;
         piece = strtok_r(nullptr, separators, &save)) {
        AsciiLowerInPlace(piece);
        list->Add(piece);
    }
    delete[] copy;
}

bool SplitCommand(const char* value, char* command, size_t commandSize, char* arguments,
                  size_t argumentsSize) {
    const char* hash = std::strchr(value, '#');
    if (hash == nullptr || !CopyBounded(command, commandSize, value, hash - value) ||
        !CopyBounded(arguments, argumentsSize, hash + 1, std::strlen(hash + 1))) {
        WriteLog(kInvalidCommand);
        return false;
    }
    return true;
}

void RunRecordedCommand(const char* value) {
    char command[MAX_PATH], arguments[MAX_PATH];
    if (!SplitCommand(value, command, sizeof command, arguments, sizeof arguments)) return;
    if (AsciiEqualNoCase(command, "launch")) {
        const char* comma = std::strchr(arguments, ',');
        if (comma == nullptr) return;
        char program[MAX_PATH], parameters[MAX_PATH];
        if (!CopyBounded(program, sizeof program, arguments, comma - arguments) ||
            !CopyBounded(parameters, sizeof parameters, comma + 1, std::strlen(comma + 1))) {
            WriteLog(kInvalidCommand);
            return;
        }
        // A path that lost its macro would name something else: no launch.
        if (!ExpandPathMacro(program) || !ExpandPathMacro(parameters)) return;
        LaunchCmdline(program, parameters, INFINITE, SW_MINIMIZE);
    } else if (AsciiEqualNoCase(command, "addregkey")) {
        AddRegKey(arguments);
    } else if (AsciiEqualNoCase(command, "delregkey")) {
        DelRegKey(arguments);
    } else {
        WriteLog(kInvalidCommand);
    }
}

void RunIniCommand(IniFile* ini, const char* section, const char* key) {
    char value[256];
    if (!ini->ReadString(section, key, value, sizeof value)) return;
    RunRecordedCommand(value);
}

void AddRegKey(const char* arguments) {
    WriteLog("Adding reg key %s\n", arguments);
    StringList fields;
    HKEY root = SplitRegArguments(arguments, &fields);
    if (root == nullptr) return;
    if (fields.Count() < 4) {
        WriteLog(kInvalidCommand);
        return;
    }
    CRegistry key(fields.GetAt(1), root, true);
    key.WriteString(fields.GetAt(2), fields.GetAt(3));
    WriteLog("AddKey %s %s %s\n", fields.GetAt(1), fields.GetAt(2), fields.GetAt(3));
    key.Close();
}

void DelRegKey(const char* arguments) {
    WriteLog("Deleting reg key %s\n", arguments);
    StringList fields;
    HKEY root = SplitRegArguments(arguments, &fields);
    if (root == nullptr) return;
    if (fields.Count() == 3) {
        CRegistry::DeleteValue(root, fields.GetAt(1), fields.GetAt(2));
    } else if (fields.Count() == 2) {
        CRegistry::DeleteKeyTree(root, fields.GetAt(1));
    } else if (fields.Count() < 2) {
        WriteLog(kInvalidCommand);
    }
}

bool ExpandPathMacro(char* text) {
    char* open = std::strchr(text, '<');
    char* close = open != nullptr ? std::strchr(open, '>') : nullptr;
    if (close == nullptr) return true;
    static const struct {
        const char* Macro;
        const char* Folder;
    } kMacros[] = {{"<currdir>", g_paths.Current},     {"<windir>", g_paths.Windows},
                   {"<programdir>", g_paths.Programs}, {"<commondir>", g_paths.Common},
                   {"<infdir>", g_paths.Inf},          {"<sysdir>", g_paths.System}};
    size_t macroLength = close - open + 1;
    for (const auto& macro : kMacros) {
        if (std::strlen(macro.Macro) != macroLength ||
            !AsciiEqualNoCase(open, macro.Macro, macroLength))
            continue;
        size_t head = open - text, folder = std::strlen(macro.Folder),
               tail = std::strlen(close + 1);
        if (head + folder + tail > MAX_PATH - 1) {
            WriteLog(kInvalidCommand);
            return false;
        }
        std::memmove(text + head + folder, close + 1, tail + 1);
        std::memcpy(text + head, macro.Folder, folder);
        return true;
    }
    return true;
}

BOOL LaunchCmdline(const char* program, const char* parameters, DWORD wait, int show) {
    if (program == nullptr || *program == 0) return FALSE;
    char file[MAX_PATH], arguments[MAX_PATH];
    if (!CopyBounded(file, sizeof file, program, std::strlen(program)) ||
        !CopyBounded(arguments, sizeof arguments, parameters != nullptr ? parameters : "",
                     parameters != nullptr ? std::strlen(parameters) : 0))
        return FALSE;
    if (!PathFileExistsA(file)) return FALSE;
    WriteLog("LaunchCmdline::Launching %s %s\n", file, arguments);
    SHELLEXECUTEINFOA info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = wait != 0 ? SEE_MASK_NOCLOSEPROCESS : 0;
    info.lpVerb = "open";
    info.lpFile = file;
    info.lpParameters = arguments;
    info.nShow = show;
    BOOL started = ShellExecuteExA(&info);
    if (wait != 0 && info.hProcess != nullptr) WaitForSingleObject(info.hProcess, wait);
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
    return started;
}
