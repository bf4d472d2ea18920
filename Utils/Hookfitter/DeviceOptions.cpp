// Hookfitter: device groups and matching, driver versions, the per-device
// options the drivers read at AddDevice, restarts and the reboot request.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "AsciiText.h"
#include "DeviceIds.h"
#include "FilterInstaller.h"

namespace {

constexpr char kLauncherKey[] = "SOFTWARE\\Korvane\\LauncherServices";

struct DeviceOption {
    const char* Name;
    DWORD Value;
};

// Rule 1: product A's interface 1 is the echo canceller's master.
const DeviceOption kMasterCameraOptions[] = {
    {"ZAECAudioFilterMaster", 1},
    {"ZAECAudioFilterNoManualSlaves", 0},
    {"ZAECAudioFilterNoLoad", 0},
};
// Rule 2: product B's interface 0 is left to Mutewell, as its master.
const DeviceOption kBridgedCameraOptions[] = {
    {"ZAECAudioFilterMaster", 0},         {"ZAECAudioFilterNoManualSlaves", 0},
    {"ZAECAudioFilterNoLoad", 1},         {"ZSAMAudioFilterMaster", 1},
    {"ZSAMAudioFilterNoManualSlaves", 0}, {"ZSAMAudioFilterNoLoad", 0},
};

struct OptionRule {
    unsigned Product;
    const char* Interface;
    const DeviceOption* Options;
    size_t Count;
};

const OptionRule kOptionRules[] = {
    {kCameraProductA, "mi_01", kMasterCameraOptions, std::size(kMasterCameraOptions)},
    {kCameraProductB, "mi_00", kBridgedCameraOptions, std::size(kBridgedCameraOptions)},
};

LONG ClampedPart(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<LONG>(value);
}

// A service's binary path as a file call takes it: "\SystemRoot\..." and
// "%SystemRoot%\..." are in the Windows directory, and so is a path without a
// root ("System32\drivers\x.sys"), as the service manager and the loader read them.
bool ResolveDriverPath(const char* path, char* out, size_t size) {
    char windows[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    if (length == 0 || length >= sizeof windows) return false;
    const char* rest = nullptr;
    static const char* const kRoots[] = {"\\SystemRoot\\", "%SystemRoot%\\"};
    for (const char* root : kRoots) {
        size_t n = std::strlen(root);
        if (std::strlen(path) >= n && AsciiEqualNoCase(path, root, n)) rest = path + n;
    }
    bool rooted = path[0] == '\\' || (path[0] != 0 && path[1] == ':');
    if (rest == nullptr && !rooted) rest = path;
    int written = rest != nullptr ? std::snprintf(out, size, "%s\\%s", windows, rest)
                                  : std::snprintf(out, size, "%s", path);
    return written > 0 && static_cast<size_t>(written) < size;
}

}  // namespace

DeviceMatch::~DeviceMatch() {
    delete next;
}

int DeviceMatch::CompareVersion(const LONG version[4], const LONG bound[4]) {
    for (int i = 0; i < 4; i++) {
        if (version[i] != bound[i]) return version[i] > bound[i] ? 1 : -1;
    }
    return 0;
}

bool DeviceMatch::InWindow(const LONG version[4]) const {
    return (!minimumPresent || CompareVersion(version, minimumVersion) >= 0) &&
           (!maximumPresent || CompareVersion(version, maximumVersion) <= 0);
}

int ParseVersion(const char* text, LONG version[4]) {
    for (int i = 0; i < 4; i++) version[i] = 0;
    int parts = 0;
    const char* at = text;
    for (;;) {
        if (parts < 4) version[parts] = ClampedPart(at);
        parts++;
        const char* dot = std::strchr(at, '.');
        if (dot == nullptr) break;
        at = dot + 1;
    }
    return parts;
}

int FilterInstaller::MatchHardwareId(char* text, DeviceMatch** group) {
    *group = nullptr;
    AsciiLowerInPlace(text);
    for (DeviceMatch* candidate = m_devices; candidate != nullptr; candidate = candidate->next) {
        char vid[16], pid[16], mi[16];
        std::snprintf(vid, sizeof vid, "vid_%04x", candidate->vid);
        std::snprintf(pid, sizeof pid, "pid_%04x", candidate->pid);
        std::snprintf(mi, sizeof mi, "mi_%02x", candidate->mi);
        if (std::strstr(text, vid) && std::strstr(text, pid) && std::strstr(text, mi)) {
            *group = candidate;
            return 1;
        }
    }
    return 0;
}

void FilterInstaller::GetDriverVersion(HDEVINFO set, PSP_DEVINFO_DATA device, LONG version[4]) {
    for (int i = 0; i < 4; i++) version[i] = 0;
    char service[MAX_PATH + 1] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_SERVICE, nullptr,
                                           reinterpret_cast<PBYTE>(service), MAX_PATH, nullptr)) {
        return;
    }
    std::string file;
    if (!m_isNt) {
        file = service;  // before NT the property is the file itself
    } else {
        SC_HANDLE manager = m_openScManager(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
        if (manager == nullptr) return;
        SC_HANDLE handle = m_openService(manager, service, SERVICE_QUERY_CONFIG);
        if (handle != nullptr) {
            DWORD needed = 0;
            if (!QueryServiceConfigA(handle, nullptr, 0, &needed) &&
                GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed != 0) {
                std::vector<BYTE> buffer(needed, 0);
                auto config = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buffer.data());
                if (QueryServiceConfigA(handle, config, needed, &needed) &&
                    config->lpBinaryPathName != nullptr) {
                    file = config->lpBinaryPathName;
                }
            }
            m_closeServiceHandle(handle);
        }
        m_closeServiceHandle(manager);
    }
    char path[MAX_PATH];
    std::string text;
    if (file.empty() || !ResolveDriverPath(file.c_str(), path, sizeof path) ||
        !ReadVersionString(path, "FileVersion", &text)) {
        return;
    }
    ParseVersion(text.c_str(), version);
}

int FilterInstaller::WriteDeviceOptions(HDEVINFO set, PSP_DEVINFO_DATA device,
                                        const char* hardwareId) {
    char vendor[16];
    std::snprintf(vendor, sizeof vendor, "vid_%04x", kKorvaneVendorId);
    for (const OptionRule& rule : kOptionRules) {
        char product[16];
        std::snprintf(product, sizeof product, "pid_%04x", rule.Product);
        if (!std::strstr(hardwareId, vendor) || !std::strstr(hardwareId, product) ||
            !std::strstr(hardwareId, rule.Interface)) {
            continue;
        }
        HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_SET_VALUE);
        if (key == INVALID_HANDLE_VALUE) continue;
        for (size_t i = 0; i < rule.Count; i++) {
            DWORD value = rule.Options[i].Value;
            RegSetValueExA(key, rule.Options[i].Name, 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&value), sizeof value);
        }
        RegCloseKey(key);
    }
    return 1;
}

int FilterInstaller::RestartDevice(HDEVINFO set, PSP_DEVINFO_DATA device) {
    SP_PROPCHANGE_PARAMS params = {};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsA(set, device, &params.ClassInstallHeader, sizeof params) ||
        !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, device)) {
        return 0;
    }
    SP_DEVINSTALL_PARAMS_A install = {};
    install.cbSize = sizeof install;
    if (SetupDiGetDeviceInstallParamsA(set, device, &install) &&
        (install.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0) {
        RequestReboot();
    }
    return 1;
}

int FilterInstaller::RestartClassDevices() {
    HDEVINFO set = SetupDiGetClassDevsA(m_classGuid, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return 0;
    for (DWORD index = 0;; index++) {
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        if (!SetupDiEnumDeviceInfo(set, index, &device)) break;
        RestartDevice(set, &device);  // a device that cannot be restarted is passed over
    }
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return error == ERROR_NO_MORE_ITEMS ? 1 : 0;
}

void FilterInstaller::RequestReboot() {
    HKEY key;
    // The launcher's key is never created here: without it nobody would read the request.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLauncherKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    DWORD one = 1;
    RegSetValueExA(key, "RequestReboot", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                   sizeof one);
    RegCloseKey(key);
}
