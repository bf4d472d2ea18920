// Startwarden run as the service manager runs it: "Startwarden.exe -i" on a
// machine folder starts the service in its own process, which runs the launch
// entries (kpdouble copies that record themselves in the journal); the
// registry and the journal are read afterwards.
#include <gtest/gtest.h>

#include <fstream>

#include "ExpectedQuestions.h"
#include "ToolProcess.h"
#include "kp/win32.h"

namespace fs = std::filesystem;
using kp::tooltest::RegValueText;
using kp::tooltest::ValueOf;

namespace {

constexpr char kLauncher[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\LauncherServices";
constexpr char kService[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZVSrvLauncher";
constexpr char kKorvane[] = "C:\\Program Files\\Korvane";

std::string Dword(const std::string& name, uint32_t value) {
    char text[80];
    std::snprintf(text, sizeof text, "\"%s\"=dword:%08x\r\n", name.c_str(), value);
    return text;
}
std::string Sz(const std::string& name, const std::string& value) {
    return RegValueText(name, REG_SZ, value + std::string(1, '\0'));
}

class Launcher : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(Folder() / "Program Files" / "Korvane");
        fs::copy_file(KP_STARTWARDEN, Folder() / "Program Files" / "Korvane" / "Startwarden.exe");
    }
    const fs::path& Folder() const { return machine_.Folder(); }
    // A double at a Windows path below the machine ("C:\..." without "C:\").
    void Double(const std::string& relative, const std::string& settings = "") {
        fs::path file = Folder() / relative;
        fs::create_directories(file.parent_path());
        fs::copy_file(KP_DOUBLE, file, fs::copy_options::overwrite_existing);
        if (!settings.empty()) {
            std::ofstream(Folder() / "doubles.ini", std::ios::app)
                << "[" << file.filename().string() << "]\r\n"
                << settings << "\r\n";
        }
    }
    // An entry running the double Name from C:\Program Files\Korvane.
    std::string Entry(const std::string& key, const std::string& name, const std::string& more) {
        return std::string("[") + kLauncher + "\\" + key + "]\r\n" + Sz("Path", kKorvane) +
               Sz("Name", name) + more + "\r\n";
    }
    void Registry(const std::string& body) {
        machine_.WriteRegistry(std::string("[") + kLauncher + "]\r\n\r\n" + body);
    }
    kp::tooltest::ProcessResult Run(const std::vector<std::string>& args,
                                    std::vector<std::string> environment = {}) {
        auto result =
            machine_.Run((Folder() / "Program Files" / "Korvane" / "Startwarden.exe").string(),
                         args, environment);
        EXPECT_TRUE(kp::win32::WaitForServiceRun(Folder(), "ZVSrvLauncher",
                                                 kp::win32::kServiceRunPatienceMs));
        return result;
    }
    // One service start at the given local time.
    void Start(const std::string& time = "2005-03-07 14:05:09",
               std::vector<std::string> environment = {}) {
        environment.push_back("KP_WIN32_LOCAL_TIME=" + time);
        auto result = Run({"-i"}, environment);
        EXPECT_EQ(result.ExitCode, 1) << result.Stdout << result.Stderr;
    }
    // The programs the service started, in order, by file name (the starts are
    // recorded by the starting process, so a program not waited for cannot
    // come later than one started after it).
    std::vector<std::string> Runs() {
        std::vector<std::string> names;
        for (auto& entry : kp::win32::ReadJournal(Folder())) {
            std::string name = entry[1].substr(entry[1].rfind('\\') + 1);
            if (entry[0] == "start" && name != "Startwarden.exe") names.push_back(name);
        }
        return names;
    }
    std::optional<kp::tooltest::NarrowValue> Value(const std::string& key,
                                                   const std::string& name) {
        return ValueOf(*machine_.Registry(), key, name);
    }
    kp::tooltest::TempMachine machine_{"startwarden"};
};

TEST_F(Launcher, EntriesRunInPriorityOrderAndLaterReadEqualsFirst) {
    for (const char* name :
         {"p50.exe", "p10.exe", "p101.exe", "nowait.exe", "tieA.exe", "tieB.exe"})
        Double(std::string("Program Files/Korvane/") + name);
    Registry(Entry("e1", "p50.exe", Dword("Priority", 50)) +
             Entry("e2", "p10.exe", Dword("Priority", 10)) +
             Entry("e3", "p101.exe", Dword("Priority", 101)) +
             Entry("e4", "nowait.exe", Dword("Priority", 5) + Dword("Wait", 0)) +
             // Enumerated "T1" then "T2": the later one stands first.
             Entry("t1", "tieA.exe", Dword("Priority", 20)) +
             Entry("t2", "tieB.exe", Dword("Priority", 20)));
    Start();
    std::vector<std::string> runs = Runs();
    ASSERT_EQ(runs.size(), 6u);
    EXPECT_EQ(runs[0], "p10.exe");
    EXPECT_EQ(runs[1], "tieB.exe");
    EXPECT_EQ(runs[2], "tieA.exe");
    EXPECT_EQ(runs[3], "p50.exe");
    // Both at 101: e4 was read after e3 and stands first.
    EXPECT_EQ(runs[4], "nowait.exe");
    EXPECT_EQ(runs[5], "p101.exe");
    // Every entry had Repeat 0: all deleted, and with them the service.
    EXPECT_FALSE(Value(std::string(kLauncher) + "\\e1", "Name"));
    EXPECT_FALSE(Value(kService, "ImagePath"));
}

TEST_F(Launcher, RepeatCountsStartsAndNoDeleteKeepsAnEntryThatNeverRunsAgain) {
    for (const char* name : {"once.exe", "keep.exe", "thrice.exe", "never.exe"})
        Double(std::string("Program Files/Korvane/") + name);
    Registry(Entry("a", "once.exe", "") + Entry("b", "keep.exe", Dword("NoDelete", 1)) +
             Entry("c", "thrice.exe", Dword("Repeat", 2)) +
             Entry("d", "never.exe", Dword("Repeat", 0xFFFFFFFD)));
    Start("2005-03-07 14:05:09");
    Start("2005-03-08 14:05:09");
    Start("2005-03-09 14:05:09");
    std::vector<std::string> runs = Runs();
    auto count = [&](const char* name) { return std::count(runs.begin(), runs.end(), name); };
    EXPECT_EQ(count("once.exe"), 1);
    EXPECT_EQ(count("keep.exe"), 1);
    EXPECT_EQ(count("thrice.exe"), 3);
    EXPECT_EQ(count("never.exe"), 0);
    EXPECT_FALSE(Value(std::string(kLauncher) + "\\a", "Name"));
    EXPECT_EQ(Value(std::string(kLauncher) + "\\b", "Repeat")->Bytes,
              std::string("\xff\xff\xff\xff", 4));
    EXPECT_FALSE(Value(std::string(kLauncher) + "\\c", "Name"));
    EXPECT_TRUE(Value(std::string(kLauncher) + "\\d", "Name"));
    // LastExecuted is written with its NUL, at the time of the run.
    EXPECT_EQ(Value(std::string(kLauncher) + "\\b", "LastExecuted")->Bytes,
              std::string("5 14 7 3 2005\0", 14));
}

TEST_F(Launcher, DueTimesFollowFrequencyAndTreatInvalidTimesAsDue) {
    struct Case {
        const char* Name;
        const char* Last;
        bool Runs;
    } cases[] = {
        {"m30.exe", "35 13 7 3 2005", false},   // 30 minutes before 14:05
        {"m60.exe", "5 13 7 3 2005", false},    // exactly 60: not due
        {"m61.exe", "4 13 7 3 2005", true},     // 61 minutes
        {"future.exe", "5 15 7 3 2005", true},  // clock set back
        {"zero.exe", "0 0 0 0 0", true},       {"month13.exe", "1 2 3 13 2005", true},
        {"short.exe", "1 2 3", true},  // not five numbers: LastExecuted absent
    };
    std::string body;
    for (const Case& c : cases) {
        Double(std::string("Program Files/Korvane/") + c.Name);
        body += Entry(c.Name, c.Name,
                      Dword("Frequency", 60) + Sz("LastExecuted", c.Last) + Dword("Repeat", 5));
    }
    Registry(body);
    Start("2005-03-07 14:05:00");
    std::vector<std::string> runs = Runs();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(std::count(runs.begin(), runs.end(), c.Name), c.Runs ? 1 : 0);
        // Repeat decreases at every start, run or not.
        EXPECT_EQ(Value(std::string(kLauncher) + "\\" + c.Name, "Repeat")->Bytes,
                  std::string("\4\0\0\0", 4));
    }
}

TEST_F(Launcher, AProgramOutlivingItsTimeoutIsKilledWithExitCodeOne) {
    Double("Program Files/Korvane/slow.exe", "SleepMs=20000");
    Double("Program Files/Korvane/instant.exe", "SleepMs=20000");
    Registry(Entry("slow", "slow.exe", Dword("TimeoutMax", 1) + Dword("NoDelete", 1)) +
             Entry("instant", "instant.exe", Dword("TimeoutMax", 0) + Dword("NoDelete", 1)));
    Start();
    int terminated = 0;
    for (auto& entry : kp::win32::ReadJournal(Folder())) {
        if (entry[0] == "terminate") {
            EXPECT_EQ(entry[2], "1");
            terminated++;
        }
    }
    EXPECT_EQ(terminated, 2);
    EXPECT_EQ(Value(std::string(kLauncher) + "\\slow", "LastExecuted")->Bytes,
              std::string("5 14 7 3 2005\0", 14));
}

TEST_F(Launcher, APathWithABlankRunsTheQuotedProgramNotCProgram) {
    Double("Program.exe");
    Double("Program Files/Korvane/helper.exe");
    Registry(Entry("a", "helper.exe", Sz("Parameters", "/x \"two words\"")) + std::string("[") +
             kLauncher + "\\b]\r\n" + Sz("Path", "%PROGRAMS%\\Korvane") + Sz("Name", "helper.exe") +
             "\r\n");
    Start();
    auto journal = kp::win32::ReadJournal(Folder());
    std::vector<std::string> arguments;
    for (auto& entry : journal) {
        if (entry[0] != "double") continue;
        EXPECT_EQ(entry[1], "C:\\Program Files\\Korvane\\helper.exe");
        arguments.push_back(entry[2]);
    }
    ASSERT_EQ(arguments.size(), 2u);
    // Both at 50: "b", read later, runs first; without Parameters it gets none.
    EXPECT_EQ(arguments[0], "");
    EXPECT_EQ(arguments[1], "/x two words");
}

TEST_F(Launcher, TheServiceRemovesItselfUnlessTheKeyAsksToKeepIt) {
    // No launcher key at all: the service deletes itself at its start.
    machine_.WriteRegistry("");
    Start();
    EXPECT_FALSE(Value(kService, "ImagePath"));

    Double("Program Files/Korvane/x.exe");
    Registry(Dword("SrvNoUnreg", 1) + "\r\n" + Entry("a", "x.exe", "") + std::string("[") +
             kLauncher + "\\noname]\r\n" + Sz("Path", kKorvane) + "\r\n");
    Start();
    EXPECT_TRUE(Value(kService, "ImagePath"));
    // The entry without Name is skipped and left as it was.
    EXPECT_EQ(Value(std::string(kLauncher) + "\\noname", "Path")->Bytes,
              std::string(kKorvane) + '\0');
    EXPECT_FALSE(Value(std::string(kLauncher) + "\\a", "Name"));
}

TEST_F(Launcher, ARebootRequestOfALaunchedProgramPromptsAndYesReboots) {
    Double("Program Files/Korvane/reboot.exe",
           "SetDword=HKLM\\SOFTWARE\\Korvane\\LauncherServices:RequestReboot=1");
    Registry(Entry("r", "reboot.exe", ""));
    Start("2005-03-07 14:05:09", {"KP_WIN32_MSGBOX=yes"});
    std::vector<std::vector<std::string>> boxes, reboots;
    for (auto& entry : kp::win32::ReadJournal(Folder())) {
        if (entry[0] == "msgbox") boxes.push_back(entry);
        if (entry[0] == "exitwindows") reboots.push_back(entry);
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0][1], "");
    EXPECT_EQ(boxes[0][2], "Korvane Installer");
    EXPECT_EQ(boxes[0][3], kExpectedQuestions[3].second);
    EXPECT_EQ(boxes[0][4], "4");
    ASSERT_EQ(reboots.size(), 1u);
    EXPECT_EQ(reboots[0], (std::vector<std::string>{"exitwindows", "2", "0x80010002", "TRUE"}));
    EXPECT_FALSE(Value(kLauncher, "RequestReboot"));
}

TEST_F(Launcher, AStaleRequestIsClearedAndNoDropsTheRequest) {
    Double("Program Files/Korvane/x.exe", "");
    Registry(Dword("RequestReboot", 1) + "\r\n" + Entry("x", "x.exe", Dword("NoDelete", 1)));
    Start();
    for (auto& entry : kp::win32::ReadJournal(Folder())) EXPECT_NE(entry[0], "msgbox");
    EXPECT_FALSE(Value(kLauncher, "RequestReboot"));
}

TEST_F(Launcher, RebootSwitchPromptsInEveryLanguageOfTheTable) {
    machine_.WriteRegistry("");
    std::string exe = (Folder() / "Program Files" / "Korvane" / "Startwarden.exe").string();
    auto prompt = [&](const std::string& language, const char* privilege, const char* answer) {
        fs::remove(Folder() / "journal.log");
        auto result = machine_.Run(
            exe, {"-reboot"},
            {"KP_WIN32_LANGID=" + language, std::string("KP_WIN32_SHUTDOWN_PRIVILEGE=") + privilege,
             std::string("KP_WIN32_MSGBOX=") + answer});
        EXPECT_EQ(result.ExitCode, 1) << result.Stderr;
        return kp::win32::ReadJournal(Folder());
    };
    for (const auto& [language, question] : kExpectedQuestions) {
        SCOPED_TRACE(language);
        auto journal = prompt(std::to_string(language), "1", "no");
        ASSERT_EQ(journal.size(), 1u);  // No: no shutdown call
        EXPECT_EQ(journal[0], (std::vector<std::string>{"msgbox", "", "Korvane Installer", question,
                                                        "4", "7"}));
    }
    struct Case {
        const char* Language;
        const char* Privilege;
        std::string Expected;  // the text shown
        const char* Reboot;    // the shutdown call's result
    } cases[] = {
        {"1049", "1", kExpectedQuestions[3].second, "TRUE"},   // Russian: English
        {"2055", "1", kExpectedQuestions[2].second, "TRUE"},   // Swiss German: German
        {"1033", "0", kExpectedQuestions[3].second, "FALSE"},  // refused privilege: still 1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Language);
        auto journal = prompt(c.Language, c.Privilege, "yes");
        ASSERT_EQ(journal.size(), 2u);
        EXPECT_EQ(journal[0][3], c.Expected);
        EXPECT_EQ(journal[1],
                  (std::vector<std::string>{"exitwindows", "2", "0x80010002", c.Reboot}));
    }
}

TEST_F(Launcher, CommandLineSwitches) {
    machine_.WriteRegistry("");
    std::string exe = (Folder() / "Program Files" / "Korvane" / "Startwarden.exe").string();
    auto result = machine_.Run(exe, {"-u"});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Stdout, "ZVSrvLauncher is not installed\n");
    result = machine_.Run(exe, {"-x", "-i"});
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Stdout, "Invalid parameter '-x'.");
    // Outside the service manager the dispatcher fails.
    EXPECT_EQ(machine_.Run(exe, {}).ExitCode, 0);
    result = machine_.Run(exe, {"-I"}, {"KP_WIN32_PLATFORM=nt4"});
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_FALSE(Value(kService, "ImagePath"));

    // Registered with its own quoted path; a launcher entry keeps it running a while.
    Double("Program Files/Korvane/slow.exe", "SleepMs=3000");
    Registry(Entry("s", "slow.exe", Dword("NoDelete", 1)));
    result = machine_.Run(exe, {"-I"});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(Value(kService, "ImagePath")->Bytes,
              std::string("\"C:\\Program Files\\Korvane\\Startwarden.exe\"") + '\0');
    EXPECT_EQ(Value(kService, "Type")->Bytes, std::string("\x10\x01\0\0", 4));
    EXPECT_EQ(Value(kService, "Start")->Bytes, std::string("\2\0\0\0", 4));
    // While it runs, a second start fails.
    EXPECT_EQ(machine_.Run(exe, {"-i"}).ExitCode, 0);
    EXPECT_TRUE(
        kp::win32::WaitForServiceRun(Folder(), "ZVSrvLauncher", kp::win32::kServiceRunPatienceMs));
}

TEST_F(Launcher, StringValuesWhereDwordsBelongAreTreatedAsAbsent) {
    Double("Program Files/Korvane/x.exe");
    Double("Program Files/Korvane/y.exe");
    // Repeat "5" as text: absent (0), so the entry is deleted after one run;
    // Wait "0" as text: absent (1), so Priority 10 holds and x runs first.
    // Four bytes of another type are no DWORD either: z's Repeat 5 is absent too.
    Double("Program Files/Korvane/z.exe");
    Registry(Entry("x", "x.exe", Sz("Repeat", "5") + Sz("Wait", "0") + Dword("Priority", 10)) +
             Entry("y", "y.exe", Dword("Priority", 20)) +
             Entry("z", "z.exe",
                   RegValueText("Repeat", REG_BINARY, std::string("\5\0\0\0", 4)) +
                       Dword("Priority", 30)));
    Start();
    EXPECT_EQ(Runs(), (std::vector<std::string>{"x.exe", "y.exe", "z.exe"}));
    EXPECT_FALSE(Value(std::string(kLauncher) + "\\x", "Name"));
    EXPECT_FALSE(Value(std::string(kLauncher) + "\\z", "Name"));
}

}  // namespace
