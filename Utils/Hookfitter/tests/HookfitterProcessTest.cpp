// Hookfitter as a user runs it: a process on a machine folder described in
// .reg text; its exit code and registry.reg afterwards.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "ToolProcess.h"
#include "kp/machine.h"

using kp::tooltest::NarrowValue;
using kp::tooltest::RegValueText;
using kp::tooltest::TempMachine;
using kp::tooltest::ValueOf;

namespace {

constexpr char kMedia[] = "4d36e96c-e325-11ce-bfc1-08002be10318";
constexpr char kCapture[] = "65e8773d-8f56-11d0-a3b9-00a0c9223196";
const std::string kClassKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-"
    "08002be10318}";
const std::string kServices = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
const std::string kEnum = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";

std::string S(const char* bytes, size_t n) {
    return std::string(bytes, n);
}

class HookfitterProcess : public ::testing::Test {
protected:
    void SetUp() override { machine_.InstallImage(KP_FILTER_IMAGE, "drv.sys"); }
    kp::tooltest::ProcessResult Run(const std::vector<std::string>& args,
                                    const std::vector<std::string>& env = {}) {
        auto result = machine_.Run(KP_HOOKFITTER, args, env);
        EXPECT_EQ(result.Stdout, "");  // it prints nothing
        return result;
    }
    // A class key with an optional LowerFilters value.
    void ClassMachine(const std::string& value = "") {
        machine_.WriteRegistry("[" + kClassKey + "]\r\n" + value + "\r\n");
    }
    TempMachine machine_{"hookfitter"};
};

TEST_F(HookfitterProcess, ClassInstallCreatesTheServiceAndIsIdempotent) {
    ClassMachine();
    std::vector<std::string> args = {"-i", "drv.sys", "-lwr", "-class", kMedia};
    ASSERT_EQ(Run(args).ExitCode, 1);
    auto store = machine_.Registry();
    std::string service = kServices + "drv";
    EXPECT_EQ(ValueOf(*store, service, "Type"), (NarrowValue{REG_DWORD, S("\1\0\0\0", 4)}));
    EXPECT_EQ(ValueOf(*store, service, "Start"), (NarrowValue{REG_DWORD, S("\3\0\0\0", 4)}));
    EXPECT_EQ(ValueOf(*store, service, "ErrorControl"), (NarrowValue{REG_DWORD, S("\1\0\0\0", 4)}));
    EXPECT_EQ(ValueOf(*store, service, "ImagePath")->Bytes,
              S("C:\\WINDOWS\\system32\\drivers\\drv.sys\0", 36));
    EXPECT_EQ(ValueOf(*store, service, "DisplayName")->Bytes,
              S("Framework test filter (Echowell)\0", 33));
    EXPECT_EQ(ValueOf(*store, kClassKey, "LowerFilters"),
              (NarrowValue{REG_MULTI_SZ, S("drv\0\0", 5)}));
    std::string after = machine_.RegistryBytes();
    EXPECT_EQ(Run(args).ExitCode, 1);
    EXPECT_EQ(machine_.RegistryBytes(), after);
}

TEST_F(HookfitterProcess, ClassListsAreEditedWithoutDisturbingOtherFilters) {
    struct Row {
        const char* Name;
        const char* Operation;
        ULONG Type;
        std::string Before;
        bool After;  // the value exists afterwards
        std::string Expected;
    } rows[] = {
        {"append", "-i", REG_MULTI_SZ, S("a\0b\0\0", 5), true, S("a\0b\0drv\0\0", 9)},
        {"append keeps binary type", "-i", REG_BINARY, S("a\0b\0\0", 5), true,
         S("a\0b\0drv\0\0", 9)},
        {"present in other case", "-i", REG_MULTI_SZ, S("a\0DRV\0\0", 7), true, S("a\0DRV\0\0", 7)},
        {"empty value", "-i", REG_MULTI_SZ, "", true, S("drv\0\0", 5)},
        {"one byte", "-i", REG_MULTI_SZ, "a", true, S("a\0drv\0\0", 7)},
        {"one NUL", "-i", REG_MULTI_SZ, S("a\0", 2), true, S("a\0drv\0\0", 7)},
        {"no NUL", "-i", REG_BINARY, "abc", true, S("abc\0drv\0\0", 9)},
        {"remove middle", "-u", REG_MULTI_SZ, S("a\0drv\0b\0\0", 9), true, S("a\0b\0\0", 5)},
        {"remove keeps binary type", "-u", REG_BINARY, S("a\0Drv\0\0", 7), true, S("a\0\0", 3)},
        {"remove the only one", "-u", REG_MULTI_SZ, S("drv\0\0", 5), false, ""},
        {"remove unterminated", "-u", REG_BINARY, "drv", false, ""},
        {"remove from empty", "-u", REG_MULTI_SZ, "", false, ""},
        {"remove absent", "-u", REG_MULTI_SZ, S("a\0b\0\0", 5), true, S("a\0b\0\0", 5)},
        {"remove from one byte", "-u", REG_MULTI_SZ, "a", true, "a"},
        {"remove from no NUL", "-u", REG_BINARY, "abc", true, "abc"},
        // An empty entry ends what readers see; every byte after it is kept.
        {"insert before an empty entry", "-i", REG_MULTI_SZ, S("a\0\0b\0\0", 6), true,
         S("a\0drv\0\0b\0\0", 10)},
        {"remove before an empty entry", "-u", REG_MULTI_SZ, S("drv\0\0b\0\0", 8), true,
         S("\0b\0\0", 4)},
        {"remove the only one before NULs", "-u", REG_MULTI_SZ, S("drv\0\0\0", 6), false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        ClassMachine(RegValueText("LowerFilters", row.Type, row.Before));
        std::string before = machine_.RegistryBytes();
        ASSERT_EQ(Run({row.Operation, "drv.sys", "-lwr", "-class", kMedia}).ExitCode, 1);
        auto value = ValueOf(*machine_.Registry(), kClassKey, "LowerFilters");
        ASSERT_EQ(value.has_value(), row.After);
        if (row.After) {
            EXPECT_EQ(*value, (NarrowValue{row.Type, row.Expected}));
        }
        if (row.After && row.Expected == row.Before && std::string(row.Operation) == "-u") {
            EXPECT_EQ(machine_.RegistryBytes(), before);  // nothing removed, nothing written
        }
    }
}

#ifndef HOOKFITTER_ROUNDS
#define HOOKFITTER_ROUNDS 8
#endif

// Installs running at once each read the list and write it back: without
// serialising, one writes over the other's entry and both report success.
TEST_F(HookfitterProcess, InstallsAtOnceKeepEveryFilter) {
    constexpr int kFilters = 4;
    for (int i = 0; i < kFilters; i++)
        machine_.InstallImage(KP_FILTER_IMAGE, "f" + std::to_string(i) + ".sys");
    for (int round = 0; round < HOOKFITTER_ROUNDS; round++) {
        SCOPED_TRACE(round);
        ClassMachine(RegValueText("LowerFilters", REG_MULTI_SZ, S("a\0\0", 3)));
        std::vector<std::thread> runs;
        for (int i = 0; i < kFilters; i++) {
            runs.emplace_back([&, i] {
                auto result = machine_.Run(KP_HOOKFITTER, {"-i", "f" + std::to_string(i) + ".sys",
                                                           "-lwr", "-class", kMedia});
                EXPECT_EQ(result.ExitCode, 1) << result.Stderr;
            });
        }
        for (auto& run : runs) run.join();
        auto value = ValueOf(*machine_.Registry(), kClassKey, "LowerFilters");
        ASSERT_TRUE(value.has_value());
        for (int i = 0; i < kFilters; i++) {
            std::string entry =
                std::string("\0", 1) + "f" + std::to_string(i) + std::string("\0", 1);
            EXPECT_NE(value->Bytes.find(entry), std::string::npos) << "f" << i;
        }
        ASSERT_EQ(value->Bytes.size(), 3 + kFilters * 3u);
    }
}

TEST_F(HookfitterProcess, RejectedCommandLinesChangeNothing) {
    ClassMachine(RegValueText("LowerFilters", REG_MULTI_SZ, S("a\0\0", 3)));
    std::string g = kMedia;
    std::vector<std::vector<std::string>> rejected = {
        {},
        {"-i"},
        {"-i", "drv.sys", "-lwr"},
        {"-lwr", "-class", g},
        {"-i", "drv.sys", "-i", "drv.sys", "-lwr", "-class", g},
        {"-i", "drv.sys", "-u", "drv.sys", "-lwr", "-class", g},
        {"-i", "drv.sys", "-lwr", "-upr", "-class", g},
        {"-i", "drv.sys", "-lwr", "-class", g, "-dev", std::string(kCapture)},
        {"-lwr", "-class", g, "-i"},
        {"-i", "nodot", "-lwr", "-class", g},
        {"-i", "drv.sys", "-lwr", "-class"},
        {"-i", "drv.sys", "-lwr", "-class", "{" + g + "}"},
        {"-i", "drv.sys", "-lwr", "-class", g.substr(0, 35)},
        {"-i", "drv.sys", "-lwr", "-class", g.substr(0, 35) + "g"},
        {"-i", "drv.sys", "-lwr", "-class", g + "0"},
        {"-i", "drv.sys", "-lwr", "-class", "4d36e96c-e325-11ce-bfc1-08002b-e10318"},
        {"-i", std::string(300, 'd') + ".sys", "-lwr", "-class", g},
        {"-i", "drv.sys", "-dev", kCapture, "1a2", "-upr"},
        {"-i", "drv.sys", "-upr", "-dev", kCapture, "1a2", "3b"},
        {"-i", "drv.sys", "-upr", "-dev", kCapture, "1a2", "zz", "1"},
        {"-i", "drv.sys", "-upr", "-dev", kCapture, "1a2", "3b", "123456789"},
        // A group is three tokens: "-dev GUID" alone would match nothing.
        {"-i", "drv.sys", "-upr", "-dev", kCapture},
        {"-dev", kCapture, "-i", "drv.sys", "-upr"},
    };
    std::string before = machine_.RegistryBytes();
    for (const auto& args : rejected) {
        std::string line;
        for (const auto& a : args) line += a + " ";
        SCOPED_TRACE(line);
        EXPECT_EQ(Run(args).ExitCode, 0);
        EXPECT_EQ(machine_.RegistryBytes(), before);
    }
    // Case does not matter and unknown tokens are skipped.
    EXPECT_EQ(Run({"-I", "drv.sys", "-foo", "-LWR", "-CLASS", g}).ExitCode, 1);
    EXPECT_EQ(ValueOf(*machine_.Registry(), kClassKey, "LowerFilters")->Bytes, S("a\0drv\0\0", 7));
}

TEST_F(HookfitterProcess, ServiceAndPlatformBranches) {
    // No FileDescription: no service, the list untouched.
    machine_.InstallImage(KP_UNVERSIONED_IMAGE, "plain.sys");
    ClassMachine(RegValueText("LowerFilters", REG_MULTI_SZ, S("a\0\0", 3)));
    std::string before = machine_.RegistryBytes();
    EXPECT_EQ(Run({"-i", "plain.sys", "-lwr", "-class", kMedia}).ExitCode, 0);
    EXPECT_EQ(machine_.RegistryBytes(), before);
    // A missing service function: nothing done.
    EXPECT_EQ(Run({"-i", "drv.sys", "-lwr", "-class", kMedia},
                  {"KP_WIN32_FAULTS=GetProcAddress:OpenSCManagerA=127"})
                  .ExitCode,
              0);
    EXPECT_EQ(machine_.RegistryBytes(), before);
    // A list that cannot be read is not reported as installed, nor as uninstalled.
    EXPECT_EQ(Run({"-i", "drv.sys", "-lwr", "-class", kMedia},
                  {"KP_WIN32_FAULTS=RegQueryValueExA:LowerFilters=5"})
                  .ExitCode,
              0);
    EXPECT_EQ(ValueOf(*machine_.Registry(), kClassKey, "LowerFilters")->Bytes, S("a\0\0", 3));
    EXPECT_EQ(Run({"-u", "drv.sys", "-lwr", "-class", kMedia},
                  {"KP_WIN32_FAULTS=RegQueryValueExA:LowerFilters=5"})
                  .ExitCode,
              0);
    // Nor is a removal whose write failed.
    ClassMachine(RegValueText("LowerFilters", REG_MULTI_SZ, S("a\0drv\0\0", 7)));
    EXPECT_EQ(Run({"-u", "drv.sys", "-lwr", "-class", kMedia},
                  {"KP_WIN32_FAULTS=RegSetValueExA:LowerFilters=5"})
                  .ExitCode,
              0);
    EXPECT_EQ(ValueOf(*machine_.Registry(), kClassKey, "LowerFilters")->Bytes, S("a\0drv\0\0", 7));
    // An existing service is left as it is.
    ClassMachine();
    machine_.WriteRegistry("[" + kClassKey + "]\r\n\r\n" +
                           kp::machine::ServiceText("drv", "old.sys"));
    EXPECT_EQ(Run({"-i", "drv.sys", "-upr", "-class", kMedia}).ExitCode, 1);
    auto store = machine_.Registry();
    EXPECT_EQ(ValueOf(*store, kServices + "drv", "ImagePath")->Bytes,
              S("\\SystemRoot\\System32\\drivers\\old.sys\0", 37));
    EXPECT_FALSE(ValueOf(*store, kServices + "drv", "DisplayName"));
    EXPECT_EQ(ValueOf(*store, kClassKey, "UpperFilters")->Bytes, S("drv\0\0", 5));
    // Before NT: no service, the whole file name, a new value binary.
    machine_.InstallImage(KP_FILTER_IMAGE, "drv.sys");
    ClassMachine();
    EXPECT_EQ(Run({"-i", "drv.sys", "-lwr", "-class", kMedia}, {"KP_WIN32_PLATFORM=9x"}).ExitCode,
              1);
    store = machine_.Registry();
    EXPECT_FALSE(ValueOf(*store, kServices + "drv", "Type"));
    EXPECT_EQ(ValueOf(*store, kClassKey, "LowerFilters"),
              (NarrowValue{REG_BINARY, S("drv.sys\0\0", 9)}));
}

// ---------------------------------------------------------------------------
// Device mode on a machine whose interfaces were recorded at an earlier boot
// ---------------------------------------------------------------------------
struct TestDevice {
    std::string Instance;
    std::string Service;
    std::string UpperFilters;  // multi-string bytes, empty: none
};

std::string DeviceText(const TestDevice& d, int number) {
    char driver[64];
    std::snprintf(driver, sizeof driver, "{4d36e96c-e325-11ce-bfc1-08002be10318}\\%04d", number);
    std::string hardwareId = d.Instance.substr(0, d.Instance.rfind('\\'));
    std::string text = "[" + kEnum + d.Instance + "]\r\n" +
                       RegValueText("HardwareID", REG_MULTI_SZ, hardwareId + S("\0\0", 2)) +
                       "\"Service\"=\"" + d.Service + "\"\r\n" +
                       "\"ClassGUID\"=\"{4d36e96c-e325-11ce-bfc1-08002be10318}\"\r\n" +
                       "\"Driver\"=\"" + std::string(driver).replace(38, 1, "\\\\") + "\"\r\n";
    if (!d.UpperFilters.empty()) text += RegValueText("UpperFilters", REG_MULTI_SZ, d.UpperFilters);
    text += "\r\n" + kp::tooltest::InterfaceRecordText(
                         d.Instance, "{65e8773d-8f56-11d0-a3b9-00a0c9223196}", "Wave");
    return text;
}

std::string ImageService(const std::string& name, const std::string& path) {
    std::string escaped;
    for (char c : path) escaped += c == '\\' ? "\\\\" : std::string(1, c);
    return "[" + kServices + name + "]\r\n\"ImagePath\"=\"" + escaped +
           "\"\r\n\"Type\"=dword:00000001\r\n\r\n";
}

class HookfitterDevices : public HookfitterProcess {
protected:
    void SetUp() override {
        HookfitterProcess::SetUp();
        machine_.InstallImage(KP_VERSIONED_IMAGE, "ver.sys");  // FileVersion 5.1.2600.0 (x.y-z)
        devices_ = {
            {"USB\\VID_2A1C&PID_0C41&MI_01\\1", "VerAbs", ""},
            {"USB\\VID_2A1C&PID_0C42&MI_00\\2", "VerRoot", ""},
            {"USB\\VID_2A1C&PID_0C43&MI_00\\3", "VerRel", ""},
            {"USB\\VID_1234&PID_0001&MI_00\\4", "VerAbs", ""},
            {"USB\\VID_2A1C&PID_0C44&MI_00\\5", "KpSimAudio", S("other\0\0", 7)},
            {"USB\\VID_2A1C&PID_0C45&MI_00\\6", "VerAbs", ""},
        };
        WriteMachine();
    }
    void WriteMachine() {
        std::string text = ImageService("VerAbs", "C:\\WINDOWS\\system32\\drivers\\ver.sys") +
                           ImageService("VerRoot", "\\SystemRoot\\System32\\drivers\\ver.sys") +
                           ImageService("VerRel", "System32\\drivers\\ver.sys") +
                           kp::machine::ServiceText("KpSimAudio", "KpSimAudio.sys");
        for (size_t i = 0; i < devices_.size(); i++) text += DeviceText(devices_[i], int(i));
        machine_.WriteRegistry(text);
    }
    std::vector<std::string> Command(const char* operation) {
        // Device 0 inside its minimum (absolute path), 1 and 2 inside an exact
        // window (a \SystemRoot path, a path relative to the Windows folder),
        // 4 with no window (an unreadable version), 5 below its minimum.
        return {operation,    "drv.sys",    "-upr",       "-dev", kCapture, "2a1c",
                "c41",        "1",          "5.1.2600.0", "2a1c", "0c42",   "0",
                "5.1.2600.0", "5.1.2600.0", "2a1c",       "0c43", "0",      "5.1.2600.0",
                "5.1.2600.0", "2A1C",       "0C44",       "0",    "2a1c",   "0c45",
                "0",          "5.1.2600.1"};
    }
    std::optional<NarrowValue> Upper(size_t device) {
        return ValueOf(*machine_.Registry(), kEnum + devices_[device].Instance, "UpperFilters");
    }
    std::vector<std::string> Options(size_t device) {
        char key[128];
        std::snprintf(key, sizeof key, "%s\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\%04d",
                      "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class", int(device));
        std::vector<std::string> names;
        auto store = machine_.Registry();
        for (const char* prefix : {"ZAEC", "ZSAM"}) {
            for (const char* option :
                 {"AudioFilterMaster", "AudioFilterNoManualSlaves", "AudioFilterNoLoad"}) {
                auto v = ValueOf(*store, key, std::string(prefix) + option);
                if (!v) continue;
                EXPECT_EQ(v->Type, static_cast<ULONG>(REG_DWORD));
                EXPECT_EQ(v->Bytes.size(), 4u);
                names.push_back(std::string(prefix) + option + "=" + std::to_string(v->Bytes[0]));
            }
        }
        return names;
    }
    std::vector<TestDevice> devices_;
};

TEST_F(HookfitterDevices, InstallWritesOptionsAndFiltersOfDevicesInTheirWindow) {
    ASSERT_EQ(Run(Command("-i")).ExitCode, 1);
    EXPECT_EQ(Upper(0), (NarrowValue{REG_MULTI_SZ, S("drv\0\0", 5)}));
    EXPECT_EQ(Upper(1), (NarrowValue{REG_MULTI_SZ, S("drv\0\0", 5)}));
    EXPECT_EQ(Upper(2), (NarrowValue{REG_MULTI_SZ, S("drv\0\0", 5)}));
    EXPECT_FALSE(Upper(3));
    EXPECT_EQ(Upper(4), (NarrowValue{REG_MULTI_SZ, S("other\0drv\0\0", 11)}));
    EXPECT_FALSE(Upper(5));
    EXPECT_EQ(Options(0), (std::vector<std::string>{"ZAECAudioFilterMaster=1",
                                                    "ZAECAudioFilterNoManualSlaves=0",
                                                    "ZAECAudioFilterNoLoad=0"}));
    EXPECT_EQ(Options(1), (std::vector<std::string>{
                              "ZAECAudioFilterMaster=0", "ZAECAudioFilterNoManualSlaves=0",
                              "ZAECAudioFilterNoLoad=1", "ZSAMAudioFilterMaster=1",
                              "ZSAMAudioFilterNoManualSlaves=0", "ZSAMAudioFilterNoLoad=0"}));
    EXPECT_TRUE(Options(2).empty());
    EXPECT_TRUE(Options(3).empty());
    EXPECT_TRUE(Options(4).empty());
    EXPECT_TRUE(Options(5).empty());
    std::string after = machine_.RegistryBytes();
    ASSERT_EQ(Run(Command("-i")).ExitCode, 1);
    EXPECT_EQ(machine_.RegistryBytes(), after);

    ASSERT_EQ(Run(Command("-u")).ExitCode, 1);
    EXPECT_FALSE(Upper(0));
    EXPECT_FALSE(Upper(1));
    EXPECT_FALSE(Upper(2));
    EXPECT_EQ(Upper(4), (NarrowValue{REG_MULTI_SZ, S("other\0\0", 7)}));
    // The service stays registered.
    EXPECT_TRUE(ValueOf(*machine_.Registry(), kServices + "drv", "ImagePath"));
}

TEST_F(HookfitterDevices, NoMatchingDeviceStillInstallsTheService) {
    ASSERT_EQ(Run({"-i", "drv.sys", "-upr", "-dev", kCapture, "ffff", "1", "0"}).ExitCode, 1);
    EXPECT_TRUE(ValueOf(*machine_.Registry(), kServices + "drv", "ImagePath"));
    for (size_t i = 0; i < devices_.size(); i++) EXPECT_EQ(Upper(i).has_value(), i == 4);
}

TEST_F(HookfitterDevices, AnUninstallAfterAnOwnerDiedKeepsTheBytesAfterAnEmptyEntry) {
    // The last owner of the filter-list lock died holding it.
    std::filesystem::create_directories(machine_.Folder() / "mutex");
    std::ofstream(machine_.Folder() / "mutex" / "hookfitter_filter_lists") << "4194304\n";
    devices_[4].UpperFilters = S("drv\0\0b\0\0", 8);
    WriteMachine();
    ASSERT_EQ(Run({"-u", "drv.sys", "-upr", "-dev", kCapture, "2a1c", "0c44", "0"}).ExitCode, 1);
    EXPECT_EQ(Upper(4), (NarrowValue{REG_MULTI_SZ, S("\0b\0\0", 4)}));
}

TEST_F(HookfitterDevices, AListThatCannotBeReadIsKept) {
    // The second read of property 17 (the list itself, after its size) fails.
    ASSERT_EQ(Run({"-i", "drv.sys", "-upr", "-dev", kCapture, "2a1c", "0c44", "0"},
                  {"KP_WIN32_FAULTS=SetupDiGetDeviceRegistryPropertyA:17=5@2"})
                  .ExitCode,
              1);
    EXPECT_EQ(Upper(4), (NarrowValue{REG_MULTI_SZ, S("other\0\0", 7)}));
    // The size query fails with an error other than "no list": not a new list either.
    ASSERT_EQ(Run({"-i", "drv.sys", "-upr", "-dev", kCapture, "2a1c", "0c44", "0"},
                  {"KP_WIN32_FAULTS=SetupDiGetDeviceRegistryPropertyA:17=5@1"})
                  .ExitCode,
              1);
    EXPECT_EQ(Upper(4), (NarrowValue{REG_MULTI_SZ, S("other\0\0", 7)}));
}

}  // namespace
