// Hookfitter: the command line, the kernel service and the filter lists.
#include "FilterInstaller.h"

#include <cstring>

#include "AsciiText.h"

namespace {

constexpr char kDriversFolder[] = "\\system32\\drivers\\";

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c) {
    return c <= '9' ? unsigned(c - '0') : unsigned(AsciiLower(c) - 'a' + 10);
}

// The whole token as hexadecimal of 1 to 8 digits.
bool ParseHex(const char* text, DWORD* value) {
    size_t length = std::strlen(text);
    if (length == 0 || length > 8) return false;
    DWORD v = 0;
    for (size_t i = 0; i < length; i++) {
        if (!IsHexDigit(text[i])) return false;
        v = v * 16 + HexValue(text[i]);
    }
    *value = v;
    return true;
}

bool ListHas(const std::vector<std::string>& entries, const char* name) {
    for (const std::string& entry : entries) {
        if (AsciiEqualNoCase(entry.c_str(), name)) return true;
    }
    return false;
}

// Copies text into a buffer of `size`; false (and nothing copied) when it does not fit.
bool CopyBounded(char* out, size_t size, const char* text) {
    size_t length = std::strlen(text);
    if (length >= size) return false;
    std::memcpy(out, text, length + 1);
    return true;
}

}  // namespace

// Reads a string of a file's version record ("\StringFileInfo\040904E4\<key>").
bool ReadVersionString(const char* file, const char* key, std::string* value) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(file, &handle);
    if (size == 0) return false;
    std::vector<BYTE> block(size, 0);
    if (!GetFileVersionInfoA(file, 0, size, block.data())) return false;
    std::string path = std::string("\\StringFileInfo\\040904E4\\") + key;
    LPVOID text = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), path.c_str(), &text, &length) || text == nullptr)
        return false;
    value->assign(static_cast<const char*>(text), length > 0 ? length - 1 : 0);
    return true;
}

int ParseGuid(const char* text, GUID* guid) {
    // 8-4-4-4-12 hexadecimal digits, nothing more.
    static const int kDashes[] = {8, 13, 18, 23};
    if (text == nullptr || std::strlen(text) != 36) return 0;
    for (int i = 0; i < 36; i++) {
        bool dash = i == kDashes[0] || i == kDashes[1] || i == kDashes[2] || i == kDashes[3];
        if (dash ? text[i] != '-' : !IsHexDigit(text[i])) return 0;
    }
    auto hex = [&](int at, int digits) {
        unsigned long long v = 0;
        for (int i = at; i < at + digits; i++) v = v * 16 + HexValue(text[i]);
        return v;
    };
    guid->Data1 = static_cast<ULONG>(hex(0, 8));
    guid->Data2 = static_cast<USHORT>(hex(9, 4));
    guid->Data3 = static_cast<USHORT>(hex(14, 4));
    guid->Data4[0] = static_cast<UCHAR>(hex(19, 2));
    guid->Data4[1] = static_cast<UCHAR>(hex(21, 2));
    for (int i = 0; i < 6; i++) guid->Data4[2 + i] = static_cast<UCHAR>(hex(24 + 2 * i, 2));
    return 1;
}

FilterList ParseFilterList(const BYTE* data, size_t size) {
    FilterList list;
    const char* text = reinterpret_cast<const char*>(data);
    size_t at = 0;
    while (at < size) {
        const void* nul = std::memchr(text + at, 0, size - at);
        size_t end = nul != nullptr ? size_t(static_cast<const char*>(nul) - text) : size;
        if (end == at) {
            list.Tail.assign(data + at, data + size);
            break;
        }
        list.Entries.emplace_back(text + at, end - at);
        at = end + 1;
    }
    return list;
}

bool FilterList::Empty() const {
    if (!Entries.empty()) return false;
    for (BYTE b : Tail) {
        if (b != 0) return false;
    }
    return true;
}

std::vector<BYTE> BuildFilterList(const FilterList& filters) {
    std::vector<BYTE> list;
    for (const std::string& entry : filters.Entries) {
        list.insert(list.end(), entry.begin(), entry.end());
        list.push_back(0);
    }
    if (filters.Tail.empty())
        list.push_back(0);
    else
        list.insert(list.end(), filters.Tail.begin(), filters.Tail.end());
    return list;
}

FilterInstaller::~FilterInstaller() {
    delete m_devices;
    delete m_classGuid;
    if (m_serviceLibrary != nullptr) FreeLibrary(m_serviceLibrary);
}

bool FilterInstaller::IsWindowsNt(DWORD* nt) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) return false;
    *nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT ? 1 : 0;
    return true;
}

int FilterInstaller::LoadServiceApi() {
    if (!IsWindowsNt(&m_isNt)) return 0;
    if (!m_isNt) return 1;  // no service is ever made before NT
    m_serviceLibrary = LoadLibraryA("ADVAPI32.dll");
    if (m_serviceLibrary == nullptr) return 0;
    auto load = [&](const char* name) {
        return reinterpret_cast<void (*)()>(GetProcAddress(m_serviceLibrary, name));
    };
    m_createService = reinterpret_cast<CreateServiceAFn>(load("CreateServiceA"));
    m_closeServiceHandle = reinterpret_cast<CloseServiceHandleFn>(load("CloseServiceHandle"));
    m_openService = reinterpret_cast<OpenServiceAFn>(load("OpenServiceA"));
    m_deleteService = reinterpret_cast<DeleteServiceFn>(load("DeleteService"));
    m_openScManager = reinterpret_cast<OpenSCManagerAFn>(load("OpenSCManagerA"));
    if (m_createService == nullptr || m_closeServiceHandle == nullptr || m_openService == nullptr ||
        m_deleteService == nullptr || m_openScManager == nullptr) {
        FreeLibrary(m_serviceLibrary);
        m_serviceLibrary = nullptr;
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------
int FilterInstaller::ParseCommandLine(int argc, char** argv) {
    if (argc < 2) return 0;
    bool fileSeen = false, listSeen = false, targetSeen = false;
    for (int i = 1; i < argc; i++) {
        const char* token = argv[i];
        if (AsciiEqualNoCase(token, "-i") || AsciiEqualNoCase(token, "-u")) {
            if (fileSeen) return 0;
            fileSeen = true;
            m_install = AsciiEqualNoCase(token, "-i") ? 1 : 0;
            // FILE must follow, with its extension, and fit the name buffers.
            if (i + 1 >= argc || std::strchr(argv[i + 1], '.') == nullptr ||
                !CopyBounded(m_driverFile, sizeof m_driverFile, argv[i + 1])) {
                return 0;
            }
            i++;
        } else if (AsciiEqualNoCase(token, "-lwr") || AsciiEqualNoCase(token, "-upr")) {
            if (listSeen) return 0;
            listSeen = true;
            m_filterProperty =
                AsciiEqualNoCase(token, "-lwr") ? SPDRP_LOWERFILTERS : SPDRP_UPPERFILTERS;
        } else if (AsciiEqualNoCase(token, "-class") || AsciiEqualNoCase(token, "-dev")) {
            if (targetSeen) return 0;
            targetSeen = true;
            m_classMode = AsciiEqualNoCase(token, "-class") ? 1 : 0;
            m_classGuid = new GUID();
            if (i + 1 >= argc || !ParseGuid(argv[i + 1], m_classGuid)) return 0;
            i++;
            if (!m_classMode && !ParseGroups(argc, argv, &i)) return 0;
        }
        // Any other token is skipped.
    }
    if (fileSeen) {
        std::memcpy(m_filterName, m_driverFile, sizeof m_filterName);
        if (m_isNt) *std::strchr(m_filterName, '.') = 0;
    }
    return fileSeen && listSeen && targetSeen ? 1 : 0;
}

// The groups after "-dev GUID": vid pid mi [minver [maxver]] ..., up to the
// next token holding "-".  *index is the last token consumed.
int FilterInstaller::ParseGroups(int argc, char** argv, int* index) {
    int i = *index;
    auto plain = [&](int at) { return at < argc && std::strchr(argv[at], '-') == nullptr; };
    auto version = [&](int at) { return plain(at) && std::strchr(argv[at], '.') != nullptr; };
    DeviceMatch** tail = &m_devices;
    if (!plain(i + 1)) return 0;  // no group at all
    while (plain(i + 1)) {
        auto group = new DeviceMatch();
        *tail = group;
        tail = &group->next;
        if (!plain(i + 2) || !plain(i + 3) || !ParseHex(argv[i + 1], &group->vid) ||
            !ParseHex(argv[i + 2], &group->pid) || !ParseHex(argv[i + 3], &group->mi)) {
            return 0;
        }
        i += 3;
        // A version with fewer than four parts is consumed but sets no bound.
        if (version(i + 1)) {
            group->minimumPresent = ParseVersion(argv[++i], group->minimumVersion) >= 4 ? 1 : 0;
            if (version(i + 1))
                group->maximumPresent = ParseVersion(argv[++i], group->maximumVersion) >= 4 ? 1 : 0;
        }
    }
    *index = i;
    return 1;
}

namespace {

// Hookfitter's edits of filter lists, one process at a time: a list is read,
// changed and written back in separate calls, and two installs at once would
// each write back the list without the other's filter.
class FilterListLock {
public:
    FilterListLock() : m_hMutex(CreateMutexA(nullptr, FALSE, "HOOKFITTER_FILTER_LISTS")) {
        if (m_hMutex == nullptr) return;
        DWORD result = WaitForSingleObject(m_hMutex, INFINITE);
        // An owner that died mid-edit left the list as the registry has it.
        m_owned = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    }
    ~FilterListLock() {
        if (m_owned) ReleaseMutex(m_hMutex);
        if (m_hMutex != nullptr) CloseHandle(m_hMutex);
    }
    FilterListLock(const FilterListLock&) = delete;
    FilterListLock& operator=(const FilterListLock&) = delete;
    bool Owned() const { return m_owned; }

private:
    HANDLE m_hMutex;
    bool m_owned = false;
};

}  // namespace

int FilterInstaller::Run() {
    // Without the lock an edit could lose another's filter: none is made.
    FilterListLock lock;
    if (!lock.Owned()) return 0;
    int result;
    if (m_classMode)
        result = m_install ? InstallClassFilter() : UninstallClassFilter();
    else
        result = m_install ? InstallDeviceFilter() : UninstallDeviceFilter();
    return result != 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The kernel service
// ---------------------------------------------------------------------------
int FilterInstaller::CreateDriverService() {
    if (!m_isNt) return 1;
    SC_HANDLE manager = m_openScManager(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) return 0;
    int result = 0;
    char windows[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    std::string binaryPath, display;
    if (length != 0 && length < sizeof windows) {
        binaryPath = std::string(windows) + kDriversFolder + m_driverFile;
    }
    // The service is named after the filter, which the lists name.
    if (!binaryPath.empty() && binaryPath.size() < MAX_PATH &&
        ReadVersionString(binaryPath.c_str(), "FileDescription", &display)) {
        SC_HANDLE service =
            m_createService(manager, m_filterName, display.c_str(), SERVICE_ALL_ACCESS,
                            SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                            binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        if (service != nullptr) {
            m_closeServiceHandle(service);
            result = 1;
        } else if (GetLastError() == ERROR_SERVICE_EXISTS) {
            result = 1;  // an existing service stays as it is
        }
    }
    m_closeServiceHandle(manager);
    return result;
}

// ---------------------------------------------------------------------------
// Class mode
// ---------------------------------------------------------------------------
const char* FilterInstaller::FilterValueName() const {
    return m_filterProperty == SPDRP_LOWERFILTERS ? "LowerFilters" : "UpperFilters";
}

int FilterInstaller::InstallClassFilter() {
    const char* valueName = FilterValueName();
    if (!CreateDriverService()) return 0;
    HKEY key = SetupDiOpenClassRegKey(m_classGuid, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (key == INVALID_HANDLE_VALUE) return 0;
    int result = 1;
    bool written = false;
    LONG writeStatus = ERROR_SUCCESS;
    DWORD type = 0, size = 0;
    LONG status = RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        std::vector<BYTE> data(size + 1, 0);
        DWORD read = size;
        if (RegQueryValueExA(key, valueName, nullptr, &type, data.data(), &read) != ERROR_SUCCESS) {
            result = 0;
        } else {
            FilterList filters = ParseFilterList(data.data(), read);
            if (!ListHas(filters.Entries, m_filterName)) {
                filters.Entries.push_back(m_filterName);
                std::vector<BYTE> list = BuildFilterList(filters);
                writeStatus = RegSetValueExA(key, valueName, 0, type, list.data(),
                                             static_cast<DWORD>(list.size()));
                written = true;
            }
        }
    } else if (status == ERROR_FILE_NOT_FOUND) {
        std::vector<BYTE> list = BuildFilterList({{m_filterName}, {}});
        // Before NT the value is binary with the same bytes: a REG_SZ reader
        // would see the first entry only.
        writeStatus = RegSetValueExA(key, valueName, 0, m_isNt ? REG_MULTI_SZ : REG_BINARY,
                                     list.data(), static_cast<DWORD>(list.size()));
        written = true;
    } else {
        result = 0;  // the list cannot be read, so it is not known whether the filter is in it
    }
    RegCloseKey(key);
    if (written) result = writeStatus == ERROR_SUCCESS ? RestartClassDevices() : 0;
    return result;
}

int FilterInstaller::UninstallClassFilter() {
    const char* valueName = FilterValueName();
    HKEY key = SetupDiOpenClassRegKey(m_classGuid, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (key == INVALID_HANDLE_VALUE) return 0;
    DWORD type = 0, size = 0;
    LONG status = RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        RegCloseKey(key);
        return status == ERROR_FILE_NOT_FOUND ? 1 : 0;  // no list: nothing to remove
    }
    if (size == 0) {
        RegDeleteValueA(key, valueName);
        RegCloseKey(key);
        return 1;
    }
    std::vector<BYTE> data(size, 0);
    DWORD read = size;
    int result = 1;
    bool removed = false;
    LONG writeStatus = ERROR_SUCCESS;
    if (RegQueryValueExA(key, valueName, nullptr, &type, data.data(), &read) != ERROR_SUCCESS) {
        result = 0;
    } else {
        FilterList filters = ParseFilterList(data.data(), read);
        FilterList kept = {{}, filters.Tail};
        for (const std::string& entry : filters.Entries) {
            if (AsciiEqualNoCase(entry.c_str(), m_filterName))
                removed = true;
            else
                kept.Entries.push_back(entry);
        }
        if (removed) {
            if (kept.Empty()) {
                writeStatus = RegDeleteValueA(key, valueName);
            } else {
                std::vector<BYTE> list = BuildFilterList(kept);
                writeStatus = RegSetValueExA(key, valueName, 0, type, list.data(),
                                             static_cast<DWORD>(list.size()));
            }
        }
    }
    RegCloseKey(key);
    if (removed) result = writeStatus == ERROR_SUCCESS ? RestartClassDevices() : 0;
    return result;
}

// ---------------------------------------------------------------------------
// Device mode
// ---------------------------------------------------------------------------
int FilterInstaller::AddDeviceFilter(HDEVINFO set, PSP_DEVINFO_DATA device, int* already) {
    *already = 0;
    DWORD type = m_isNt ? REG_MULTI_SZ : REG_SZ, size = 0;
    FilterList filters;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, m_filterProperty, &type, nullptr, 0,
                                           &size)) {
        DWORD error = GetLastError();
        if (error == ERROR_INSUFFICIENT_BUFFER) {
            std::vector<BYTE> data(size + 1, 0);
            DWORD read = 0;
            // A list that cannot be read is left alone: writing a new one would
            // drop the device's other filters.
            if (!SetupDiGetDeviceRegistryPropertyA(set, device, m_filterProperty, &type,
                                                   data.data(), size, &read)) {
                return 0;
            }
            filters = ParseFilterList(data.data(), read < size ? read : size);
        } else if (error != ERROR_INVALID_DATA) {
            return 0;  // only ERROR_INVALID_DATA says the device has no list
        }
    }
    if (ListHas(filters.Entries, m_filterName)) {
        *already = 1;
        return 1;
    }
    filters.Entries.push_back(m_filterName);
    std::vector<BYTE> list = BuildFilterList(filters);
    return SetupDiSetDeviceRegistryPropertyA(set, device, m_filterProperty, list.data(),
                                             static_cast<DWORD>(list.size()))
               ? 1
               : 0;
}

int FilterInstaller::RemoveDeviceFilter(HDEVINFO set, PSP_DEVINFO_DATA device, int* found) {
    *found = 0;
    DWORD type = 0, size = 0;
    FilterList filters;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, m_filterProperty, &type, nullptr, 0,
                                           &size)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return 0;
        std::vector<BYTE> data(size + 1, 0);
        DWORD read = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(set, device, m_filterProperty, &type, data.data(),
                                               size, &read)) {
            return 0;
        }
        filters = ParseFilterList(data.data(), read < size ? read : size);
    }
    FilterList kept = {{}, filters.Tail};
    for (const std::string& entry : filters.Entries) {
        if (AsciiEqualNoCase(entry.c_str(), m_filterName))
            *found = 1;
        else
            kept.Entries.push_back(entry);
    }
    BOOL ok;
    if (kept.Empty()) {
        ok = SetupDiSetDeviceRegistryPropertyA(set, device, m_filterProperty, nullptr, 0);
    } else {
        std::vector<BYTE> list = BuildFilterList(kept);
        ok = SetupDiSetDeviceRegistryPropertyA(set, device, m_filterProperty, list.data(),
                                               static_cast<DWORD>(list.size()));
    }
    return ok ? 1 : 0;
}

int FilterInstaller::InstallDeviceFilter() {
    if (!CreateDriverService()) return 0;
    return ProcessDevices(true);
}

int FilterInstaller::UninstallDeviceFilter() {
    return ProcessDevices(false);
}

int FilterInstaller::ProcessDevices(bool install) {
    HDEVINFO set = SetupDiGetClassDevsA(m_classGuid, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return 0;
    DWORD index = 0;
    for (;; index++) {
        SP_DEVICE_INTERFACE_DATA iface = {};
        iface.cbSize = sizeof iface;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, m_classGuid, index, &iface)) break;
        DWORD needed = 0;
        if ((!SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &needed, nullptr) &&
             GetLastError() != ERROR_INSUFFICIENT_BUFFER) ||
            needed == 0) {
            SetupDiDestroyDeviceInfoList(set);
            return 0;
        }
        std::vector<BYTE> buffer(needed + 1, 0);
        auto detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, needed, nullptr, &device))
            ProcessDevice(install, set, &iface, detail, &device);
    }
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return error == ERROR_NO_MORE_ITEMS ? 1 : 0;
}

void FilterInstaller::ProcessDevice(bool install, HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface,
                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                    PSP_DEVINFO_DATA device) {
    // Install matches the first hardware ID, uninstall the interface's path.
    char hardwareId[MAX_PATH + 1] = {};
    char* text = detail->DevicePath;
    if (install) {
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_HARDWAREID, &type,
                                               reinterpret_cast<PBYTE>(hardwareId), MAX_PATH,
                                               nullptr)) {
            return;
        }
        text = hardwareId;
    }
    DeviceMatch* group = nullptr;
    if (!MatchHardwareId(text, &group)) return;
    LONG version[4];
    GetDriverVersion(set, device, version);
    if (!group->InWindow(version)) return;
    bool active = (iface->Flags & SPINT_ACTIVE) != 0;
    if (install) {
        WriteDeviceOptions(set, device, hardwareId);
        int already = 0;
        if (AddDeviceFilter(set, device, &already) && !already && active)
            RestartDevice(set, device);
    } else {
        int found = 0;
        if (RemoveDeviceFilter(set, device, &found) && found && active) RestartDevice(set, device);
    }
}
