// Setupdeck: installs or uninstalls a product.
//   Setupdeck -i NAME     run Setupdeck.ini's [Install] commands and record NAME
//   Setupdeck -u NAME     undo the recorded product NAME ("all": every product)
// Logs every step to the Windows folder's temp\Setupdeck.log; exits with 0.
// The entry shim (kp_winmain) hands WinMain the command line.
#include "Setupdeck.h"

#include <cstdio>
#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR lpCmdLine, int) {
    StringList tokens;
    SplitString(lpCmdLine != nullptr ? lpCmdLine : "", " ", &tokens);
    InitPaths();
    size_t uninstall = tokens.Count(), install = tokens.Count();
    for (size_t i = tokens.Count(); i-- > 0;) {
        if (std::strcmp(tokens.GetAt(i), "-u") == 0) uninstall = i;
        if (std::strcmp(tokens.GetAt(i), "-i") == 0) install = i;
    }
    // "-u" is looked for first; a switch without a name after it is no
    // switch, and leaves no other to be taken instead.
    const char* name = nullptr;
    bool uninstalling = uninstall < tokens.Count();
    if (uninstalling)
        name = tokens.GetAt(uninstall + 1);
    else if (install < tokens.Count())
        name = tokens.GetAt(install + 1);
    if (name == nullptr) {
        WriteLog("You passed an invalid switch!\n");
        return 0;
    }
    if (uninstalling) {
        WriteLog("Performing uninstallation for %s.\n", name);
        char program[MAX_PATH], infPath[MAX_PATH], parameters[MAX_PATH];
        int programLength =
            std::snprintf(program, sizeof program, "%s\\%s", g_paths.System, "rundll32.exe");
        int infLength = std::snprintf(infPath, sizeof infPath, "%s\\Inst%s.inf", g_paths.Inf, name);
        int length = std::snprintf(parameters, sizeof parameters,
                                   "setupapi,InstallHinfSection DefaultUninstall 132 %s", infPath);
        if (programLength >= MAX_PATH || infLength >= MAX_PATH || length >= MAX_PATH) {
            WriteLog("You passed an invalid switch!\n");
            return 0;
        }
        PerformUninstall(name, infPath, program, parameters);
        return 0;
    }
    WriteLog("Performing installation for %s.\n", name);
    char iniPath[MAX_PATH];
    if (std::snprintf(iniPath, sizeof iniPath, "%s\\Setupdeck.ini", g_paths.Current) >= MAX_PATH)
        iniPath[0] = 0;  // no script: no command runs
    IniFile ini(iniPath);
    StringList keys;
    ini.KeyNames("Install", &keys);
    for (size_t i = 0; i < keys.Count(); i++) RunIniCommand(&ini, "Install", keys.GetAt(i));
    PerformInstall(&ini);
    return 0;
}
