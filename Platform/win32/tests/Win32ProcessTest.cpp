// The stand-in's processes, services, named mutexes, INI files, string tables,
// time and text files, used as a Windows program uses them, on a machine folder
// in file mode.
#include <signal.h>
#include <unistd.h>

#include <windows.h>

#include <kpres.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ToolProcess.h"
#include "kp/win32.h"

namespace fs = std::filesystem;

namespace {

class Win32Processes : public ::testing::Test {
protected:
    void SetUp() override {
        machine_.WriteRegistry("");
        KpWin32UseMachineFile(machine_.Folder());
    }
    void TearDown() override { KpWin32ClearFailures(); }
    const fs::path& Folder() const { return machine_.Folder(); }
    void Double(const std::string& relative, const std::string& settings = "") {
        fs::path file = Folder() / relative;
        fs::create_directories(file.parent_path());
        fs::copy_file(KP_DOUBLE, file, fs::copy_options::overwrite_existing);
        if (!settings.empty())
            std::ofstream(Folder() / "doubles.ini", std::ios::app)
                << "[" << file.filename().string() << "]\n"
                << settings << "\n";
    }
    std::vector<std::vector<std::string>> Events(const std::string& kind) {
        std::vector<std::vector<std::string>> out;
        for (auto& entry : kp::win32::ReadJournal(Folder()))
            if (entry[0] == kind) out.push_back(entry);
        return out;
    }
    // Starts a command line; true on success, with the handles closed unless kept.
    bool Start(std::string line, PROCESS_INFORMATION* info) {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, info) != FALSE;
    }
    kp::tooltest::TempMachine machine_{"win32-process"};
};

TEST_F(Win32Processes, CommandLinesFindTheirModuleAsThePlatformDoes) {
    Double("Program Files/Korvane/x.exe");
    PROCESS_INFORMATION info;
    // Quoted: the right program, with the rest split as the C runtime splits it.
    ASSERT_TRUE(Start("\"C:\\Program Files\\Korvane\\x.exe\" a \"b c\" d\\\"e", &info));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    // Unquoted without C:\Program.exe: the shortest prefix naming a file.
    ASSERT_TRUE(Start("C:\\Program Files\\Korvane\\x /y", &info));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    // Unquoted with C:\Program.exe present: that runs instead.
    Double("Program.exe");
    ASSERT_TRUE(Start("C:\\Program Files\\Korvane\\x.exe /z", &info));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    auto runs = Events("double");
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0], (std::vector<std::string>{"double", "C:\\Program Files\\Korvane\\x.exe",
                                                 "a b c d\"e"}));
    EXPECT_EQ(runs[1][1], "C:\\Program Files\\Korvane\\x.exe");
    EXPECT_EQ(runs[1][2], "/y");
    EXPECT_EQ(runs[2][1], "C:\\Program.exe");
    EXPECT_EQ(runs[2][2], "Files\\Korvane\\x.exe /z");
}

TEST_F(Win32Processes, MissingAndForeignFilesGiveTheirErrors) {
    PROCESS_INFORMATION info;
    EXPECT_FALSE(Start("C:\\none.exe", &info));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    std::ofstream(Folder() / "text.exe") << "not a program";
    EXPECT_FALSE(Start("\"C:\\text.exe\"", &info));
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
}

TEST_F(Win32Processes, WaitsTimeOutAndTerminateRecordsItsExitCode) {
    Double("slow.exe", "SleepMs=20000");
    Double("quick.exe", "ExitCode=7");
    PROCESS_INFORMATION slow, quick;
    ASSERT_TRUE(Start("C:\\slow.exe", &slow));
    ASSERT_TRUE(Start("C:\\quick.exe", &quick));
    EXPECT_EQ(WaitForSingleObject(slow.hProcess, 20), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(quick.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(TerminateProcess(slow.hProcess, 1));
    EXPECT_EQ(WaitForSingleObject(slow.hProcess, 0), WAIT_OBJECT_0);
    for (HANDLE h : {slow.hThread, slow.hProcess, quick.hThread, quick.hProcess})
        EXPECT_TRUE(CloseHandle(h));
    auto exits = Events("exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0][2], "7");
    auto kills = Events("terminate");
    ASSERT_EQ(kills.size(), 1u);
    EXPECT_EQ(kills[0][1], std::to_string(slow.dwProcessId));
    EXPECT_EQ(kills[0][2], "1");
}

TEST_F(Win32Processes, AServiceRunsInItsOwnProcessAndIsDeletedAtStopped) {
    fs::create_directories(Folder() / "Program Files");
    fs::copy_file(KP_SERVICE_PROGRAM, Folder() / "Program Files" / "svc.exe");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = CreateServiceA(
        manager, "KpTestService", "KpTestService", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "\"C:\\Program Files\\svc.exe\"", nullptr,
        nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));
    // It runs until released: a second start is refused.
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
    // Deleting it while it runs keeps its key until it reports SERVICE_STOPPED.
    EXPECT_TRUE(DeleteService(service));
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    auto key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KpTestService";
    EXPECT_TRUE(kp::tooltest::ValueOf(*machine_.Registry(), key, "ImagePath"));
    std::ofstream(Folder() / "release") << "";
    EXPECT_TRUE(
        kp::win32::WaitForServiceRun(Folder(), "KpTestService", kp::win32::kServiceRunPatienceMs));
    EXPECT_FALSE(kp::tooltest::ValueOf(*machine_.Registry(), key, "ImagePath"));
    // The service's main ran in another process, which reported its states.
    auto states = Events("service");
    ASSERT_EQ(states.size(), 3u);
    EXPECT_EQ(states[1][2], "4");
    EXPECT_EQ(states[2][2], "1");
    EXPECT_NE(states[2][3], std::to_string(getpid()));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(Win32Processes, TheDispatcherOutsideTheServiceManagerFails) {
    auto result =
        kp::tooltest::RunProcess(KP_SERVICE_PROGRAM, {}, {"KP_MACHINE=" + Folder().string()});
    EXPECT_EQ(result.ExitCode, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT & 0xFF);
}

TEST_F(Win32Processes, ANamedMutexWhoseOwnerWasKilledIsAbandoned) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "KP_TEST_MUTEX");
    ASSERT_NE(mutex, nullptr);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    // The child says when its wait has returned: only then does it own the
    // mutex (a process killed inside its wait never did, and the mutex it was
    // being given is not abandoned).
    int owned[2];
    ASSERT_EQ(pipe(owned), 0);
    pid_t child = fork();
    if (child == 0) {
        // The child takes the mutex and dies holding it.
        HANDLE own = CreateMutexA(nullptr, FALSE, "KP_TEST_MUTEX");
        if (WaitForSingleObject(own, INFINITE) == WAIT_OBJECT_0) {
            char byte = 1;
            (void)!write(owned[1], &byte, 1);
        }
        pause();
        _exit(0);
    }
    ASSERT_GT(child, 0);
    close(owned[1]);
    char byte = 0;
    EXPECT_EQ(read(owned[0], &byte, 1), 1);
    close(owned[0]);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_ABANDONED);
    // Owned now, recursively, and released by this thread.
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST(Win32NoMachine, AFolderWithoutARegistryGetsNoMachineFolders) {
    kp::tooltest::TempMachine folder("no-registry");
    fs::remove_all(folder.Folder() / "Windows");
    KpWin32UseMachineFile(folder.Folder());
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "KP_TEST_MUTEX"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    EXPECT_TRUE(fs::is_empty(folder.Folder()));
}

TEST_F(Win32Processes, ProfileStringsFollowThePlatformsRules) {
    std::ofstream(Folder() / "t.ini", std::ios::binary)
        << "; comment\r\n[Install]\r\nk2 = launch#x \r\nK1=\"quoted value\"\r\n k2=second\r\n"
           "  ; not a comment = value\r\nempty=\r\n[install]\r\nk3=later section\r\n"
           "[Other]\r\nlong="
        << std::string(300, 'v') << "\r\n";
    struct Case {
        const char* Section;
        const char* Key;
        DWORD Size;
        std::string Expected;
        DWORD Count;
    } cases[] = {
        {"INSTALL", "k2", 256, "launch#x", 8},            // blanks trimmed, no case
        {"install", "k1", 256, "quoted value", 12},       // quotes removed
        {"install", "; not a comment", 256, "value", 5},  // ";" only at a line's start
        {"install", "empty", 256, "", 0},
        {"install", "missing", 256, "dflt", 4},
        {"nosection", "k", 256, "dflt", 4},
        {"other", "long", 256, std::string(255, 'v'), 255},  // truncated: size - 1
        {"install", nullptr, 256, std::string("k2\0K1\0; not a comment\0empty\0\0", 29), 28},
        {"install", nullptr, 8, std::string("k2\0K1\0\0\0", 8), 6},  // size - 2
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Section) + "/" + (c.Key ? c.Key : "(list)"));
        std::vector<char> buffer(c.Size, 'x');
        DWORD count =
            GetPrivateProfileStringA(c.Section, c.Key, "dflt", buffer.data(), c.Size, "C:\\t.ini");
        EXPECT_EQ(count, c.Count);
        size_t compared = c.Key ? c.Expected.size() + 1 : c.Expected.size();
        EXPECT_EQ(std::string(buffer.data(), compared),
                  c.Key ? c.Expected + std::string(1, '\0') : c.Expected);
    }
    char buffer[16];
    EXPECT_EQ(GetPrivateProfileStringA("a", "b", "", buffer, sizeof buffer, "C:\\none.ini"), 0u);
}

TEST_F(Win32Processes, KeysAreCreatedEnumeratedInTheStoresOrderAndDeleted) {
    HKEY key;
    DWORD disposition = 0;
    // HKEY_CURRENT_USER's root is made on first use, with every missing level.
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Kp\\b", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    for (const char* name : {"Software\\Kp\\a", "Software\\Kp\\C\\deep"}) {
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kp", 0, KEY_ENUMERATE_SUB_KEYS, &key),
              ERROR_SUCCESS);
    char name[8];
    std::vector<std::string> names;
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; i++)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "C"}));
    EXPECT_EQ(RegEnumKeyA(key, 3, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(key, 0, name, 1), ERROR_MORE_DATA);
    // A key with subkeys is not deleted one level at a time; the tree call takes it.
    EXPECT_EQ(RegDeleteKeyA(key, "c"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(key, "a"), ERROR_SUCCESS);
    EXPECT_EQ(SHDeleteKeyA(key, "c"), ERROR_SUCCESS);
    EXPECT_EQ(SHDeleteKeyA(key, "c"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegEnumKeyA(key, 1, name, sizeof name), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(Win32Processes, ShellExecuteOpensAProgramAndRecordsHowItIsShown) {
    Double("Program Files/Korvane/setup.exe", "ExitCode=3");
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = "open";
    info.lpFile = "C:\\Program Files\\Korvane\\setup.exe";
    info.lpParameters = "/s \"a b\"";
    info.nShow = SW_MINIMIZE;
    ASSERT_TRUE(ShellExecuteExA(&info));
    ASSERT_NE(info.hProcess, nullptr);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(info.hProcess));
    auto starts = Events("start");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0][4], "6");
    EXPECT_EQ(Events("double")[0][2], "/s a b");
    EXPECT_EQ(Events("exit")[0][2], "3");
    info.lpFile = "C:\\Program Files\\Korvane\\none.exe";
    info.hProcess = nullptr;
    EXPECT_FALSE(ShellExecuteExA(&info));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(info.hProcess, nullptr);
}

TEST_F(Win32Processes, PathHelpersAndShellFolders) {
    struct Case {
        const char* Path;
        BOOL Removed;
        const char* Left;
    } cases[] = {
        {"C:\\a\\b.exe", TRUE, "C:\\a"},
        {"C:\\b.exe", TRUE, "C:\\"},
        {"C:\\", FALSE, "C:\\"},
        {"b.exe", TRUE, ""},
        {"", FALSE, ""},
    };
    for (const Case& c : cases) {
        char path[MAX_PATH];
        std::strcpy(path, c.Path);
        EXPECT_EQ(PathRemoveFileSpecA(path), c.Removed) << c.Path;
        EXPECT_STREQ(path, c.Left) << c.Path;
    }
    EXPECT_TRUE(PathFileExistsA("C:\\WINDOWS\\system32"));
    EXPECT_FALSE(PathFileExistsA("C:\\WINDOWS\\none"));

    HMODULE shell = LoadLibraryA("shfolder");
    ASSERT_NE(shell, nullptr);
    auto getFolder = reinterpret_cast<PFNSHGETFOLDERPATHA>(
        reinterpret_cast<void (*)()>(GetProcAddress(shell, "SHGetFolderPathA")));
    ASSERT_NE(getFolder, nullptr);
    char folder[MAX_PATH];
    EXPECT_EQ(getFolder(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, folder), S_OK);
    EXPECT_STREQ(folder, "C:\\Program Files\\Common Files");
    EXPECT_TRUE(PathFileExistsA(folder));  // every machine has it
    FreeLibrary(shell);
    LPITEMIDLIST list = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAM_FILES, &list), S_OK);
    EXPECT_TRUE(SHGetPathFromIDListA(list, folder));
    EXPECT_STREQ(folder, "C:\\Program Files");
    CoTaskMemFree(list);
    KpWin32FailCall("LoadLibraryA", "shfolder.dll", ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryA("shfolder.dll"), nullptr);
}

TEST(Win32Time, SystemTimeToFileTimeChecksEveryField) {
    SYSTEMTIME good = {2005, 3, 0, 7, 14, 5, 9, 0};
    FILETIME t;
    ASSERT_TRUE(SystemTimeToFileTime(&good, &t));
    unsigned long long ticks =
        (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    // 2005-03-07 14:05:09 UTC is Unix time 1110204309.
    EXPECT_EQ(ticks, (1110204309ull + 11644473600ull) * 10000000ull);
    SYSTEMTIME base = good;
    base.wDayOfWeek = 6;  // ignored
    EXPECT_TRUE(SystemTimeToFileTime(&base, &t));
    auto bad = [&](auto change) {
        SYSTEMTIME s = good;
        change(s);
        SetLastError(0);
        return !SystemTimeToFileTime(&s, &t) && GetLastError() == ERROR_INVALID_PARAMETER;
    };
    EXPECT_TRUE(bad([](SYSTEMTIME& s) { s.wYear = 1600; }));
    EXPECT_TRUE(bad([](SYSTEMTIME& s) { s.wYear = 30828; }));
    EXPECT_TRUE(bad([](SYSTEMTIME& s) { s.wMonth = 13; }));
    EXPECT_TRUE(bad([](SYSTEMTIME& s) { s.wMonth = 0; }));
    EXPECT_TRUE(bad([](SYSTEMTIME& s) { s.wMonth = 2, s.wDay = 29; }));
    EXPECT_TRUE(bad([](SYSTEMTIME& s) { s.wDay = 0; }));
    EXPECT_TRUE(bad([](SYSTEMTIME& s) { s.wHour = 24; }));
    EXPECT_TRUE(bad([](SYSTEMTIME& s) { s.wMinute = 60; }));
    EXPECT_TRUE(bad([](SYSTEMTIME& s) { s.wSecond = 60; }));
    EXPECT_TRUE(bad([](SYSTEMTIME& s) { s.wMilliseconds = 1000; }));
    EXPECT_FALSE(bad([](SYSTEMTIME& s) { s.wYear = 2004, s.wMonth = 2, s.wDay = 29; }));
}

TEST(Win32Strings, LoadStringTruncatesAndFallsBackByLanguage) {
    static const KpStringEntry german[] = {{101, "Deutsch"}};
    static const KpStringEntry swiss[] = {{101, "Schweiz"}};
    static const KpStringEntry english[] = {{101, "English"}, {102, "Caption"}};
    static const KpStringTable tables[] = {
        {0x0807, swiss, 1}, {0x0409, english, 2}, {0x0407, german, 1}};
    for (const auto& table : tables) KpRegisterStringTable(&table);
    HMODULE self = GetModuleHandleA(nullptr);
    char buffer[5];
    // The default language is 1033.
    EXPECT_EQ(LoadStringA(self, 101, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "Engl");
    EXPECT_EQ(LoadStringA(self, 103, buffer, sizeof buffer), 0);
    for (const auto& table : tables) KpUnregisterStringTable(&table);
}

TEST_F(Win32Processes, TextModeFilesWriteCrLf) {
    FILE* file = fopen("C:\\WINDOWS\\Temp\\t.log", "a+");
    ASSERT_NE(file, nullptr);
    fprintf(file, "one\ntwo\n");
    fclose(file);
    file = fopen("C:\\WINDOWS\\Temp\\t.log", "ab");
    ASSERT_NE(file, nullptr);
    fprintf(file, "three\n");
    fclose(file);
    std::ifstream in(Folder() / "Windows" / "Temp" / "t.log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "one\r\ntwo\r\nthree\n");
}

}  // namespace
