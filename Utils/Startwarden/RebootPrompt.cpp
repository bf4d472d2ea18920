// The reboot prompt: asks in the user's language whether Windows may restart
// now, and restarts it on Yes.  Every failure is passed over: without the
// privilege the restart simply does not happen.
#include "LauncherService.h"

#include <winuser.h>

int LauncherService::RebootPrompt() {
    HANDLE token;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
        TOKEN_PRIVILEGES privileges;
        if (LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) {
            privileges.PrivilegeCount = 1;
            privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        }
        CloseHandle(token);
    }
    char text[MAX_PATH], caption[MAX_PATH];
    HMODULE self = GetModuleHandleA(nullptr);
    if (LoadStringA(self, 101, text, MAX_PATH) == 0 ||
        LoadStringA(self, 102, caption, MAX_PATH) == 0)
        return 0;
    if (MessageBoxA(nullptr, text, caption, MB_YESNO) == IDYES)
        ExitWindowsEx(EWX_REBOOT, kShutdownReason);
    return 1;
}
