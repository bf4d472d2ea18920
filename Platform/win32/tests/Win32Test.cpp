// The Win32 stand-in as a Windows programmer expects it to behave: size
// protocols, last errors, access rights, the two modes over a machine folder.
#include <sys/file.h>
#include <unistd.h>

#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include <ks.h>
#include <ksmedia.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "KsClient.h"
#include "ToolProcess.h"
#include "kp/machine.h"
#include "kp/machinetest.h"
#include "kp/pnp.h"
#include "kp/registry.h"
#include "kp/win32.h"
#include "platform/zw.h"

namespace fs = std::filesystem;
using kp::tooltest::TempMachine;

namespace {

constexpr char kSoftware[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\KpWin32Test";
const GUID kMediaClass = {
    0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// Live mode on the process's own store; no call may reach an unmodelled path
// and every handle must be closed.
class Win32Live : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(KpMachineSetFolder(machine_.Folder(), &error)) << error;
        KpWin32UseLiveMachine();
        kp::reg::Machine().Clear();
        unmodelled_ = KpWin32UnmodelledCount();
        handles_ = KpWin32OpenHandleCount();
    }
    void TearDown() override {
        EXPECT_EQ(KpWin32UnmodelledCount(), unmodelled_);
        EXPECT_EQ(KpWin32OpenHandleCount(), handles_);
        KpWin32ClearFailures();
        kp::reg::Machine().Clear();
    }
    void Import(const std::string& body) {
        std::u16string text;
        kp::reg::Utf8ToUtf16("Windows Registry Editor Version 5.00\r\n\r\n" + body, &text);
        std::string error;
        ASSERT_TRUE(kp::reg::Machine().ImportText(text, &error)) << error;
    }
    std::u16string Export() {
        std::u16string text;
        std::string error;
        EXPECT_TRUE(kp::reg::Machine().ExportText(&text, &error)) << error;
        return text;
    }
    TempMachine machine_{"win32"};
    ULONG unmodelled_ = 0, handles_ = 0;
};

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------
TEST_F(Win32Live, QueryFollowsTheSizeProtocolAndNarrowsStrings) {
    Import(std::string("[") + kSoftware + "]\r\n" +
           // UTF-16 "a", "été": in UTF-8 the two é take two bytes each.
           kp::tooltest::RegValueText("Filters", REG_MULTI_SZ, std::string("a\0\xe9t\xe9\0\0", 7)) +
           "\"Count\"=dword:00000007\r\n\r\n");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KpWin32Test", 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    // NULL data: size and type, of the narrow form ("a", "été" in UTF-8, NULs).
    ASSERT_EQ(RegQueryValueExA(key, "Filters", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(size, 9u);
    BYTE small[4];
    DWORD smallSize = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "Filters", nullptr, &type, small, &smallSize), ERROR_MORE_DATA);
    EXPECT_EQ(smallSize, 9u);
    BYTE data[16] = {};
    size = sizeof data;
    ASSERT_EQ(RegQueryValueExA(key, "Filters", nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size),
              std::string("a\0\xc3\xa9t\xc3\xa9\0\0", 9));
    DWORD count = 0;
    size = sizeof count;
    ASSERT_EQ(
        RegQueryValueExA(key, "Count", nullptr, &type, reinterpret_cast<BYTE*>(&count), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    // A handle without KEY_SET_VALUE cannot write.
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(key, "Count", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key, "Count"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    HKEY missing;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nowhere", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Live, SetStoresExactlyTheBytesGiven) {
    Import(std::string("[") + kSoftware + "]\r\n\r\n");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KpWin32Test", 0, KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    const char text[] = "Caf\xc3\xa9";
    ASSERT_EQ(
        RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
        ERROR_SUCCESS);
    const BYTE raw[] = {1, 0, 2, 0, 0};
    ASSERT_EQ(RegSetValueExA(key, "Raw", 0, REG_BINARY, raw, sizeof raw), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_MULTI_SZ, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    std::u16string path = u"\\Registry\\Machine\\SOFTWARE\\KpWin32Test";
    EXPECT_EQ(kp::reg::GetString(path, u"Name"), std::u16string(u"Caf\u00e9"));
    auto value = kp::reg::GetValue(path, u"Raw");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->Data, std::vector<uint8_t>(raw, raw + sizeof raw));
    EXPECT_EQ(kp::reg::GetValue(path, u"Empty")->Data.size(), 0u);
}

// ---------------------------------------------------------------------------
// Service control manager
// ---------------------------------------------------------------------------
TEST_F(Win32Live, CreateServiceWritesTheRecordOnce) {
    Import("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services]\r\n\r\n");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = CreateServiceA(
        manager, "drv", "A driver", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, "C:\\WINDOWS\\system32\\drivers\\drv.sys", nullptr, nullptr, nullptr,
        nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(CloseServiceHandle(service));
    std::u16string key = std::u16string(kKpServicesPath) + u"\\drv";
    EXPECT_EQ(kp::reg::GetDword(key, u"Type"), 1u);
    EXPECT_EQ(kp::reg::GetDword(key, u"Start"), 3u);
    EXPECT_EQ(kp::reg::GetDword(key, u"ErrorControl"), 1u);
    EXPECT_EQ(kp::reg::GetString(key, u"ImagePath"), u"C:\\WINDOWS\\system32\\drivers\\drv.sys");
    EXPECT_EQ(kp::reg::GetString(key, u"DisplayName"), u"A driver");
    std::u16string before = Export();
    EXPECT_EQ(CreateServiceA(manager, "DRV", "Other", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                             SERVICE_AUTO_START, SERVICE_ERROR_IGNORE, "C:\\other.sys", nullptr,
                             nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(Export(), before);
    EXPECT_TRUE(CloseServiceHandle(manager));
}

TEST_F(Win32Live, QueryServiceConfigTakesTwoCallsAndChecksRights) {
    Import(kp::machine::ServiceText("drv", "drv.sys"));
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    ASSERT_NE(manager, nullptr);
    // The manager was not opened to create services.
    EXPECT_EQ(CreateServiceA(manager, "x", "x", SERVICE_ALL_ACCESS, 1, 3, 1, "C:\\x.sys", nullptr,
                             nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OpenServiceA(manager, "absent", SERVICE_QUERY_CONFIG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    SC_HANDLE status = OpenServiceA(manager, "drv", SERVICE_QUERY_STATUS);
    ASSERT_NE(status, nullptr);
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfigA(status, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(QueryServiceConfigA(reinterpret_cast<SC_HANDLE>(manager), nullptr, 0, &needed) &&
                 false);
    EXPECT_TRUE(CloseServiceHandle(status));
    SC_HANDLE service = OpenServiceA(manager, "drv", SERVICE_QUERY_CONFIG);
    ASSERT_NE(service, nullptr);
    EXPECT_FALSE(QueryServiceConfigA(service, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGA));
    std::vector<BYTE> buffer(needed);
    auto config = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buffer.data());
    EXPECT_FALSE(QueryServiceConfigA(service, config, needed - 1, &needed));
    ASSERT_TRUE(QueryServiceConfigA(service, config, needed, &needed));
    EXPECT_STREQ(config->lpBinaryPathName, "\\SystemRoot\\System32\\drivers\\drv.sys");
    EXPECT_EQ(config->dwServiceType, 1u);
    EXPECT_EQ(config->dwStartType, 3u);
    EXPECT_GE(reinterpret_cast<BYTE*>(config->lpBinaryPathName), buffer.data());
    EXPECT_LT(reinterpret_cast<BYTE*>(config->lpDisplayName), buffer.data() + buffer.size());
    // A service handle is no manager handle.
    EXPECT_EQ(OpenServiceA(service, "drv", SERVICE_QUERY_CONFIG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));
}

TEST_F(Win32Live, RemoteMachineIsNotModelledAndSaysSo) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(OpenSCManagerA("\\\\server", nullptr, SC_MANAGER_CONNECT), nullptr);
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_NE(said.find("kp win32: OpenSCManagerA: a machine name"), std::string::npos) << said;
    EXPECT_NE(said.find("is not modelled"), std::string::npos);
    EXPECT_EQ(KpWin32UnmodelledCount(), unmodelled_ + 1);
    unmodelled_++;
}

TEST_F(Win32Live, LibraryTableAndInjectedFaults) {
    HMODULE library = LoadLibraryA("advapi32.DLL");
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(GetProcAddress(library, "OpenSCManagerA"),
              reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&OpenSCManagerA)));
    EXPECT_EQ(GetProcAddress(library, "ControlService"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    // Function names are compared with their case, as on the platform.
    EXPECT_EQ(GetProcAddress(library, "openscmanagera"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    KpWin32FailCall("GetProcAddress", "DeleteService", ERROR_PROC_NOT_FOUND, 2);
    EXPECT_NE(GetProcAddress(library, "DeleteService"), nullptr);
    EXPECT_EQ(GetProcAddress(library, "DeleteService"), nullptr);
    EXPECT_NE(GetProcAddress(library, "DeleteService"), nullptr);
    EXPECT_TRUE(FreeLibrary(library));
    EXPECT_EQ(LoadLibraryA("shell32.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = 156;
    EXPECT_FALSE(GetVersionExA(&version));
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(KpWin32SetPlatform("9x"));
    EXPECT_TRUE(GetVersionExA(&version));
    EXPECT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
    ASSERT_TRUE(KpWin32SetPlatform("nt5"));
    EXPECT_TRUE(GetVersionExA(&version));
    EXPECT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    char windows[MAX_PATH];
    EXPECT_EQ(GetWindowsDirectoryA(windows, 5), 11u);
    EXPECT_EQ(GetWindowsDirectoryA(windows, sizeof windows), 10u);
    EXPECT_STREQ(windows, "C:\\WINDOWS");
}

// ---------------------------------------------------------------------------
// Version data
// ---------------------------------------------------------------------------
TEST_F(Win32Live, VersionRecordsOfImages) {
    machine_.InstallImage(KP_VERSIONED_IMAGE, "ver.sys");
    machine_.InstallImage(KP_UNVERSIONED_IMAGE, "plain.sys");
    DWORD handle = 7;
    DWORD size = GetFileVersionInfoSizeA("C:\\windows\\SYSTEM32\\drivers\\ver.sys", &handle);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(handle, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(
        GetFileVersionInfoA("C:\\WINDOWS\\system32\\drivers\\ver.sys", 0, size, block.data()));
    struct Row {
        const char* Key;
        bool Found;
        const char* Value;
    } rows[] = {
        {"\\StringFileInfo\\040904E4\\FileDescription", true, "Versioned test image"},
        {"\\StringFileInfo\\040904E4\\FileVersion", true, "5.1.2600.0 (x.y-z)"},
        {"\\StringFileInfo\\040904E4\\ProductName", false, nullptr},
        {"\\StringFileInfo\\040704B0\\FileVersion", false, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Key);
        LPVOID text = nullptr;
        UINT length = 0;
        ASSERT_EQ(VerQueryValueA(block.data(), row.Key, &text, &length) != 0, row.Found);
        if (!row.Found) continue;
        EXPECT_STREQ(static_cast<char*>(text), row.Value);
        EXPECT_EQ(length, std::strlen(row.Value) + 1);
        EXPECT_GE(static_cast<BYTE*>(text), block.data());
        EXPECT_LE(static_cast<BYTE*>(text) + length, block.data() + block.size());
    }
    EXPECT_EQ(GetFileVersionInfoSizeA("C:\\WINDOWS\\system32\\drivers\\plain.sys", &handle), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(GetFileVersionInfoSizeA("C:\\WINDOWS\\system32\\drivers\\none.sys", &handle), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A path rooted without a drive is on C:, where "\SystemRoot" is no folder.
    EXPECT_EQ(GetFileVersionInfoSizeA("\\SystemRoot\\system32\\drivers\\ver.sys", &handle), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // Relative paths and other drives are not modelled: a call must never find
    // a file the platform would not.
    ::testing::internal::CaptureStderr();
    for (const char* path :
         {"System32\\drivers\\ver.sys", "D:\\WINDOWS\\system32\\drivers\\ver.sys"}) {
        EXPECT_EQ(GetFileVersionInfoSizeA(path, &handle), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    }
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("is not modelled"), std::string::npos);
    EXPECT_EQ(KpWin32UnmodelledCount(), unmodelled_ + 2);
    unmodelled_ += 2;
}

// ---------------------------------------------------------------------------
// The device installer on a booted machine
// ---------------------------------------------------------------------------
class Win32Booted : public kp::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        unmodelled_ = KpWin32UnmodelledCount();
        handles_ = KpWin32OpenHandleCount();
        BootMachine(kp::machine::DefaultDevices());
        KpWin32UseLiveMachine();
    }
    void TearDown() override {
        std::string error;
        EXPECT_TRUE(kp::machine::Shutdown(&error)) << error;
        EXPECT_EQ(KpWin32UnmodelledCount(), unmodelled_);
        EXPECT_EQ(KpWin32OpenHandleCount(), handles_);
        KpWin32ClearFailures();
        MachineTest::TearDown();
    }
    // The capture interfaces: device paths and their flags.
    std::vector<std::pair<std::string, DWORD>> CaptureInterfaces() {
        std::vector<std::pair<std::string, DWORD>> found;
        HDEVINFO set =
            SetupDiGetClassDevsA(&KSCATEGORY_CAPTURE, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        if (set == INVALID_HANDLE_VALUE) return found;
        for (DWORD i = 0;; i++) {
            SP_DEVICE_INTERFACE_DATA iface = {};
            iface.cbSize = sizeof iface;
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_CAPTURE, i, &iface)) {
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
                break;
            }
            DWORD needed = 0;
            EXPECT_FALSE(
                SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &needed, nullptr));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            std::vector<BYTE> buffer(needed);
            auto detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
            detail->cbSize = 5;  // the 32-bit size is not this structure's
            EXPECT_FALSE(
                SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, needed, nullptr, nullptr));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
            detail->cbSize = sizeof *detail;
            EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, needed - 1, nullptr,
                                                          nullptr));
            SP_DEVINFO_DATA device = {};
            device.cbSize = sizeof device;
            EXPECT_TRUE(
                SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, needed, nullptr, &device));
            found.emplace_back(detail->DevicePath, iface.Flags);
        }
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        return found;
    }
    ULONG unmodelled_ = 0, handles_ = 0;
};

TEST_F(Win32Booted, CameraInterfaceIsActiveLiveAndInactiveFromTheSavedFile) {
    const std::string path =
        "\\\\?\\USB#VID_2A1C&PID_0C41&MI_01#6&2F1A33&0&0001#{65e8773d-8f56-11d0-a3b9-00a0c9223196}"
        "\\Wave";
    auto live = CaptureInterfaces();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].first, path);
    EXPECT_EQ(live[0].second, static_cast<DWORD>(SPINT_ACTIVE));
    std::string error;
    ASSERT_TRUE(kp::machine::Shutdown(&error)) << error;
    KpWin32UseMachineFile(folder_);
    auto saved = CaptureInterfaces();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].first, path);
    EXPECT_EQ(saved[0].second, 0u);
    // Booted again, the record is reused and active again.
    ASSERT_TRUE(NT_SUCCESS(kp::machine::Boot(folder_, nullptr, &error))) << error;
    KpWin32UseLiveMachine();
    EXPECT_EQ(CaptureInterfaces(), live);
}

TEST_F(Win32Booted, PropertiesAndTheDriverKey) {
    HDEVINFO set = SetupDiGetClassDevsA(&kMediaClass, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device + 1;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    device.cbSize = sizeof device;
    int cameras = 0;
    DWORD index = 0;
    for (; SetupDiEnumDeviceInfo(set, index, &device); index++) {
        char id[MAX_PATH] = {};
        DWORD type = 0, needed = 0;
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type,
                                                       nullptr, 0, &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type,
                                                      reinterpret_cast<PBYTE>(id), sizeof id,
                                                      &needed));
        EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
        EXPECT_EQ(needed, std::strlen(id) + 2);
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_LOWERFILTERS, &type,
                                                       reinterpret_cast<PBYTE>(id), sizeof id,
                                                       &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
        if (std::string(id) != "USB\\VID_2A1C&PID_0C41&MI_01") continue;
        cameras++;
        HKEY key =
            SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_SET_VALUE);
        ASSERT_NE(key, INVALID_HANDLE_VALUE);
        DWORD value = 0x5A5A0001;
        EXPECT_EQ(RegSetValueExA(key, "KpProbe", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        // The driver reads the same key.
        PDEVICE_OBJECT pdo = KpPnpFindPdo(u"USB\\VID_2A1C&PID_0C41&MI_01\\6&2F1A33&0&0001");
        ASSERT_NE(pdo, nullptr);
        HANDLE driverKey;
        ASSERT_TRUE(
            NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &driverKey)));
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"KpProbe");
        UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
        ULONG length = 0;
        ASSERT_TRUE(NT_SUCCESS(ZwQueryValueKey(driverKey, &name, KeyValuePartialInformation, buffer,
                                               sizeof buffer, &length)));
        auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
        EXPECT_EQ(*reinterpret_cast<ULONG*>(info->Data), 0x5A5A0001u);
        ZwClose(driverKey);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(cameras, 1);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    const GUID absent = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 5, 5, 5, 5}};
    EXPECT_EQ(SetupDiOpenClassRegKey(&absent, KEY_READ), INVALID_HANDLE_VALUE);
    HKEY media = SetupDiOpenClassRegKey(&kMediaClass, KEY_READ);
    EXPECT_NE(media, INVALID_HANDLE_VALUE);
    RegCloseKey(media);
}

TEST_F(Win32Booted, ClassInstallerRestartsOrAsksForAReboot) {
    HDEVINFO set = SetupDiGetClassDevsA(&kMediaClass, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &device));  // no parameters
    SP_PROPCHANGE_PARAMS params = {};
    params.ClassInstallHeader.cbSize = sizeof params.ClassInstallHeader;
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    ASSERT_TRUE(
        SetupDiSetClassInstallParamsA(set, &device, &params.ClassInstallHeader, sizeof params));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &device));
    SP_DEVINSTALL_PARAMS_A install = {};
    install.cbSize = 296;
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(set, &device, &install));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    install.cbSize = sizeof install;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &device, &install));
    EXPECT_EQ(install.Flags, 0u);
    // An open file object vetoes the removal: the device keeps its stack.
    char id[MAX_PATH] = {};
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<PBYTE>(id), sizeof id, nullptr));
    auto links = kp::ks::FindDevices(KSCATEGORY_AUDIO);
    ASSERT_FALSE(links.empty());
    kp::ks::KsFilter filter;
    ASSERT_TRUE(NT_SUCCESS(filter.Open(links[0])));
    HDEVINFO again = SetupDiGetClassDevsA(&kMediaClass, nullptr, nullptr, DIGCF_PRESENT);
    int rebootRequests = 0;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(again, i, &device); i++) {
        ASSERT_TRUE(SetupDiSetClassInstallParamsA(again, &device, &params.ClassInstallHeader,
                                                  sizeof params));
        ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, again, &device));
        ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(again, &device, &install));
        rebootRequests += install.Flags == DI_NEEDREBOOT;
    }
    EXPECT_EQ(rebootRequests, 1);
    ULONG pins = 0;
    EXPECT_TRUE(NT_SUCCESS(filter.PinCount(&pins)));
    filter.Close();
    KpWin32FailCall("SetupDiCallClassInstaller", nullptr, ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(
        SetupDiSetClassInstallParamsA(again, &device, &params.ClassInstallHeader, sizeof params));
    EXPECT_TRUE(SetupDiEnumDeviceInfo(again, 0, &device));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, again, &device));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(again));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Win32Booted, RestartRebuildsTheStackAndRecordsOutliveTheDevice) {
    PDEVICE_OBJECT pdo = KpPnpFindPdo(u"USB\\VID_2A1C&PID_0C41&MI_01\\6&2F1A33&0&0001");
    ASSERT_NE(pdo, nullptr);
    auto links = KpPnpInterfaceLinks(pdo, true);
    ASSERT_FALSE(links.empty());
    kp::ks::KsFilter filter;
    ASSERT_TRUE(NT_SUCCESS(filter.Open(links[0])));
    EXPECT_EQ(KpPnpRestartDevice(pdo), STATUS_DEVICE_BUSY);
    EXPECT_EQ(KpPnpFindPdo(u"USB\\VID_2A1C&PID_0C41&MI_01\\6&2F1A33&0&0001"), pdo);
    EXPECT_EQ(KpPnpGetState(pdo), KpPnpStarted);
    filter.Close();
    EXPECT_EQ(KpPnpRestartDevice(pdo), STATUS_SUCCESS);
    pdo = KpPnpFindPdo(u"USB\\VID_2A1C&PID_0C41&MI_01\\6&2F1A33&0&0001");
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(KpPnpStackServices(pdo), (std::vector<std::u16string>{u"KpSimAudio"}));
    EXPECT_EQ(KpPnpInterfaceLinks(pdo, true).size(), links.size());
    // Removed, the device keeps its records; only their volatile "Control" goes.
    ASSERT_TRUE(NT_SUCCESS(KpPnpRemoveDevice(pdo)));
    std::u16string classKey =
        std::u16string(kKpDeviceClassesPath) + u"\\{65e8773d-8f56-11d0-a3b9-00a0c9223196}";
    auto records = kp::reg::SubKeyNames(classKey);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(kp::reg::GetString(classKey + u"\\" + records[0], u"DeviceInstance"),
              u"USB\\VID_2A1C&PID_0C41&MI_01\\6&2F1A33&0&0001");
    EXPECT_FALSE(kp::reg::KeyExists(classKey + u"\\" + records[0] + u"\\Control"));
}

// ---------------------------------------------------------------------------
// File mode: processes share registry.reg through its lock
// ---------------------------------------------------------------------------
TEST(Win32File, ConcurrentToolsKeepEveryChange) {
    TempMachine machine("file");
    machine.WriteRegistry(std::string("[") + kSoftware + "]\r\n\r\n");
    std::vector<std::thread> runners;
    std::vector<int> codes(4, -1);
    for (int p = 0; p < 4; p++) {
        runners.emplace_back([&, p] {
            codes[p] = machine.Run(KP_SETVALUES, {"p" + std::to_string(p) + "_", "50"}).ExitCode;
        });
    }
    for (auto& t : runners) t.join();
    EXPECT_EQ(codes, std::vector<int>(4, 0));
    auto store = machine.Registry();
    int found = 0;
    for (int p = 0; p < 4; p++) {
        for (int i = 0; i < 50; i++) {
            auto value = kp::tooltest::ValueOf(*store, kSoftware,
                                               "p" + std::to_string(p) + "_" + std::to_string(i));
            found += value && value->Type == REG_DWORD && value->Bytes.size() == 4;
        }
    }
    EXPECT_EQ(found, 200);
}

TEST(Win32File, ToolRefusesWhileTheMachineRuns) {
    TempMachine machine("locked");
    machine.WriteRegistry(std::string("[") + kSoftware + "]\r\n\r\n");
    std::string before = machine.RegistryBytes();
    {
        KpMachineFileLock running(machine.Folder(), "machine.lock", LOCK_EX);
        ASSERT_TRUE(running.Held());
        auto result = machine.Run(KP_SETVALUES, {"v", "1"});
        EXPECT_EQ(result.ExitCode, 1);
        EXPECT_NE(result.Stderr.find("is running in another process"), std::string::npos)
            << result.Stderr;
    }
    EXPECT_EQ(machine.RegistryBytes(), before);
    EXPECT_EQ(machine.Run(KP_SETVALUES, {"v", "1"}).ExitCode, 0);
    EXPECT_NE(machine.RegistryBytes(), before);
}

TEST(Win32File, KeyHandlesFollowTheFileAcrossReloads) {
    TempMachine machine("reload");
    machine.WriteRegistry(std::string("[") + kSoftware + "]\r\n\r\n");
    KpWin32UseMachineFile(machine.Folder());
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KpWin32Test", 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "v0", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_FILE_NOT_FOUND);
    // Another process changes the file: the open handle sees the change.
    ASSERT_EQ(machine.Run(KP_SETVALUES, {"v", "2"}).ExitCode, 0);
    size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "v1", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    // And this process's change reaches the file, the other's kept.
    value = 42;
    ASSERT_EQ(RegSetValueExA(key, "mine", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    auto store = machine.Registry();
    EXPECT_EQ(kp::tooltest::ValueOf(*store, kSoftware, "mine")->Bytes,
              std::string("\x2a\0\0\0", 4));
    EXPECT_TRUE(kp::tooltest::ValueOf(*store, kSoftware, "v0"));
    KpWin32UseLiveMachine();
    kp::reg::Machine().Clear();
}

TEST(Win32File, FolderWithoutRegistryFails) {
    TempMachine machine("empty");
    auto result = machine.Run(KP_SETVALUES, {"v", "1"});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_NE(result.Stderr.find("has no registry.reg"), std::string::npos) << result.Stderr;
    EXPECT_FALSE(fs::exists(machine.Folder() / "registry.reg"));
}

// ---------------------------------------------------------------------------
// A test program and the folder it runs in
// ---------------------------------------------------------------------------
// A test that chose no machine finds none, even beside a ./kssim-machine that
// holds one: nothing is read from or made in the folder the test runs in,
// which may be the checkout.  The child process starts afresh, so the mode is
// chosen at its first call.
TEST(Win32TestProgram, FindsNoMachineInTheFolderItRunsIn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempMachine here("cwd");
    fs::create_directories(here.Folder() / "kssim-machine");
    std::ofstream(here.Folder() / "kssim-machine" / "registry.reg", std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpCwd]\r\n\"Value\"=dword:00000007\r\n\r\n";
    EXPECT_EXIT(
        {
            unsetenv("KP_MACHINE");
            if (chdir(here.Folder().c_str()) != 0) std::_Exit(3);
            HKEY key = nullptr;
            LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KpCwd", 0, KEY_READ, &key);
            HANDLE mutex = CreateMutexA(nullptr, FALSE, "kp_test_program");
            std::error_code ec;
            bool made = fs::exists(fs::path("kssim-machine") / "mutex", ec) ||
                        fs::exists(fs::path("kssim-machine") / "Windows", ec);
            std::_Exit(opened != ERROR_SUCCESS && mutex == nullptr && !made ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "a test program has no machine");
}

}  // namespace
