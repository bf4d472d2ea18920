// Hookfitter: installs or uninstalls a kernel-mode filter driver as a filter of
// a device setup class or of selected devices, with the drivers' per-device
// options, restarts the devices it changed and asks for a reboot when a
// restart is not enough.  Its only output is its exit code: 1 success, 0 failure.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include <string>
#include <vector>

// One group of "-dev": a USB vendor, product and interface, with an optional
// window of driver versions.  Entries form a singly linked list in command-line
// order; deleting an entry deletes its successors first.
struct DeviceMatch {
    DeviceMatch() = default;
    ~DeviceMatch();
    DeviceMatch(const DeviceMatch&) = delete;
    DeviceMatch& operator=(const DeviceMatch&) = delete;

    // 1, 0 or -1 as version is above, equal to or below bound, part by part.
    static int CompareVersion(const LONG version[4], const LONG bound[4]);
    // Each bound applies only when it was given well-formed.
    bool InWindow(const LONG version[4]) const;

    DWORD vid = 0;  // read as hexadecimal
    DWORD pid = 0;
    DWORD mi = 0;
    DeviceMatch* next = nullptr;
    LONG minimumVersion[4] = {};  // a.b.c.d, all 0 when absent
    LONG maximumVersion[4] = {};
    DWORD minimumPresent = 0;  // 1 when a four-part minimum was given
    DWORD maximumPresent = 0;
};

// The parts of a dotted version "a.b.c.d" (decimal, each clamped to the range
// of a LONG); parts not in the text stay 0.  Gives the number of parts found.
int ParseVersion(const char* text, LONG version[4]);
// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (hexadecimal, no braces): 1, or 0 for
// anything else.
int ParseGuid(const char* text, GUID* guid);
// A filter list (a multi-string): the entries up to the first empty one, which
// is where readers of the list stop, and the bytes from that empty entry on,
// kept as they are when the list is written again.
struct FilterList {
    std::vector<std::string> Entries;
    std::vector<BYTE> Tail;  // empty when the value ended without an empty entry
    // No entry, and nothing but NULs after: the value may be deleted.
    bool Empty() const;
};
// The list bounded by its size: a missing final NUL is tolerated.
FilterList ParseFilterList(const BYTE* data, size_t size);
// A string of a file's version record ("\StringFileInfo\040904E4\<key>").
bool ReadVersionString(const char* file, const char* key, std::string* value);
// Each entry with its NUL, then the tail, or one more NUL when it has none.
std::vector<BYTE> BuildFilterList(const FilterList& list);

class FilterInstaller {
public:
    FilterInstaller() = default;
    ~FilterInstaller();
    FilterInstaller(const FilterInstaller&) = delete;
    FilterInstaller& operator=(const FilterInstaller&) = delete;

    // The platform (NT or not) and, on NT, the service functions of ADVAPI32.dll.
    int LoadServiceApi();
    // 1 when the command line names exactly one of each group and every argument
    // is well-formed; 0 rejects it.
    int ParseCommandLine(int argc, char** argv);
    // The parsed operation: one of the four below.
    int Run();

    int InstallClassFilter();
    int UninstallClassFilter();
    int InstallDeviceFilter();
    int UninstallDeviceFilter();

    int CreateDriverService();
    int AddDeviceFilter(HDEVINFO set, PSP_DEVINFO_DATA device, int* already);
    int RemoveDeviceFilter(HDEVINFO set, PSP_DEVINFO_DATA device, int* found);

    // Device options and restarts.
    int MatchHardwareId(char* text, DeviceMatch** group);
    void GetDriverVersion(HDEVINFO set, PSP_DEVINFO_DATA device, LONG version[4]);
    int WriteDeviceOptions(HDEVINFO set, PSP_DEVINFO_DATA device, const char* hardwareId);
    int RestartDevice(HDEVINFO set, PSP_DEVINFO_DATA device);
    int RestartClassDevices();
    void RequestReboot();

    // What the command line chose (for tests).
    const DeviceMatch* Devices() const { return m_devices; }
    DWORD FilterProperty() const { return m_filterProperty; }
    const char* FilterName() const { return m_filterName; }
    DWORD InstallFlag() const { return m_install; }
    DWORD ClassModeFlag() const { return m_classMode; }

private:
    static bool IsWindowsNt(DWORD* nt);
    // The device loop shared by install and uninstall.
    int ProcessDevices(bool install);
    void ProcessDevice(bool install, HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface,
                       PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, PSP_DEVINFO_DATA device);
    int ParseGroups(int argc, char** argv, int* index);
    const char* FilterValueName() const;

    typedef SC_HANDLE(WINAPI* CreateServiceAFn)(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD,
                                                DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR,
                                                LPCSTR);
    typedef BOOL(WINAPI* CloseServiceHandleFn)(SC_HANDLE);
    typedef SC_HANDLE(WINAPI* OpenServiceAFn)(SC_HANDLE, LPCSTR, DWORD);
    typedef BOOL(WINAPI* DeleteServiceFn)(SC_HANDLE);
    typedef SC_HANDLE(WINAPI* OpenSCManagerAFn)(LPCSTR, LPCSTR, DWORD);

    DeviceMatch* m_devices = nullptr;  // "-dev" groups, command-line order
    DWORD m_filterProperty = SPDRP_LOWERFILTERS;
    char m_driverFile[MAX_PATH] = {};  // FILE of "-i"/"-u"
    char m_filterName[MAX_PATH] = {};  // NT: FILE up to its first "."; before NT: FILE
    DWORD m_isNt = 0;
    GUID* m_classGuid = nullptr;  // setup class ("-class") or interface class ("-dev")
    CreateServiceAFn m_createService = nullptr;
    CloseServiceHandleFn m_closeServiceHandle = nullptr;
    OpenServiceAFn m_openService = nullptr;
    DeleteServiceFn m_deleteService = nullptr;
    OpenSCManagerAFn m_openScManager = nullptr;
    HMODULE m_serviceLibrary = nullptr;
    DWORD m_install = 0;    // 1 for "-i"
    DWORD m_classMode = 0;  // 1 for "-class"
};
