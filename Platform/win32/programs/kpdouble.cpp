// kpdouble: a stand-in for any Windows program a tool starts (rundll32.exe, a
// launcher entry's helper).  It records its Windows path and arguments in the
// machine's journal and behaves as <folder>/doubles.ini says in the section
// named after its file name:
//   SleepMs   milliseconds to sleep before exiting
//   ExitCode  its exit code (default 0)
//   SetDword  "HKLM\<key>:<value>=<n>": a REG_DWORD it writes first
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "kp/win32.h"

namespace {

std::string Setting(const std::string& section, const char* key) {
    char value[512] = {};
    GetPrivateProfileStringA(section.c_str(), key, "", value, sizeof value, "C:\\doubles.ini");
    return value;
}

// "HKLM\<key>:<value>=<n>"
bool SetDword(const std::string& text) {
    size_t colon = text.rfind(':'), equal = text.rfind('=');
    if (text.compare(0, 5, "HKLM\\") != 0 || colon == std::string::npos ||
        equal == std::string::npos || equal < colon) {
        std::fprintf(stderr, "kpdouble: SetDword \"%s\" is not HKLM\\<key>:<value>=<n>\n",
                     text.c_str());
        return false;
    }
    std::string key = text.substr(5, colon - 5), name = text.substr(colon + 1, equal - colon - 1);
    DWORD value = static_cast<DWORD>(std::strtoul(text.c_str() + equal + 1, nullptr, 0));
    HKEY handle;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &handle, nullptr) != ERROR_SUCCESS)
        return false;
    LSTATUS status = RegSetValueExA(handle, name.c_str(), 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    char self[MAX_PATH];
    if (GetModuleFileNameA(nullptr, self, sizeof self) == 0) return 90;
    std::string arguments;
    for (int i = 1; i < argc; i++) arguments += (i > 1 ? " " : "") + std::string(argv[i]);
    kp::win32::Journal({"double", self, arguments});
    std::string path = self;
    std::string section = path.substr(path.find_last_of('\\') + 1);
    std::string dword = Setting(section, "SetDword");
    if (!dword.empty() && !SetDword(dword)) return 91;
    std::string sleep = Setting(section, "SleepMs");
    if (!sleep.empty())
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::strtoul(sleep.c_str(), nullptr, 10)));
    return std::atoi(Setting(section, "ExitCode").c_str());
}
