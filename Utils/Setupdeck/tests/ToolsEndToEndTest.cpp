// The README's commands as a user types them: Setupdeck installs Echowell on
// the camera through Hookfitter and kssim shows it in the stacks; Setupdeck
// undoes it again.  Startwarden runs its launcher list at a service start and
// offers the reboot one of the programs asked for.
#include <gtest/gtest.h>

#include <fstream>

#include "ToolProcess.h"
#include "kp/machine.h"
#include "kp/win32.h"

namespace fs = std::filesystem;
using kp::tooltest::ValueOf;

namespace {

constexpr char kCameraLine[] = "stack USB\\VID_2A1C&PID_0C41&MI_01\\6&2F1A33&0&0001: ";
constexpr char kCardLine[] = "stack PCI\\VEN_8086&DEV_293E&SUBSYS_02841028\\3&21436425&0&D8: ";

std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ToolsEndToEnd, SetupdeckInstallsEchowellThroughHookfitterAndUndoesIt) {
    kp::tooltest::TempMachine machine("tools-e2e");
    fs::path folder = machine.Folder(), korvane = folder / "Program Files" / "Korvane";
    fs::create_directories(folder / "Program Files" / "KpSim");
    fs::create_directories(korvane);
    fs::copy_file(KP_NEAR_END_WAV, folder / "Program Files" / "KpSim" / "near.wav");
    std::ofstream(folder / "registry.reg", std::ios::binary)
        << kp::machine::RegistryText(kp::machine::DefaultDevices(), kp::machine::DefaultRoomText());
    machine.InstallImage(KP_ECHOWELL_IMAGE, "Echowell.sys");
    fs::copy_file(KP_HOOKFITTER, korvane / "Hookfitter.exe");
    fs::copy_file(KP_SETUPDECK, korvane / "Setupdeck.exe");
    fs::copy_file(KP_DOUBLE, folder / "Windows" / "System32" / "rundll32.exe");
    std::ofstream(korvane / "Setupdeck.ini")
        << "[Install]\n"
           "hook=launch#<currdir>\\Hookfitter.exe,-i Echowell.sys -upr -dev "
           "65e8773d-8f56-11d0-a3b9-00a0c9223196 2a1c 0c41 1\n"
           "mark=addregkey#hklm,Software\\Korvane\\Camera,Installed,yes\n"
           "[root]\nname=camera\ninf=camera.inf\n"
           "[Uninstall]\n"
           "unhook=launch#<currdir>\\Hookfitter.exe,-u Echowell.sys -upr -dev "
           "65e8773d-8f56-11d0-a3b9-00a0c9223196 2a1c 0c41 1\n"
           "unmark=delregkey#hklm,software\\korvane\\camera\n";
    auto kssim = [&] {
        auto result = kp::tooltest::RunProcess(
            KP_KSSIM,
            {"--machine", folder.string(), "--seconds", "0.2", "--out", (folder / "out").string()});
        EXPECT_EQ(result.ExitCode, 0) << result.Stderr;
        return result.Stdout;
    };
    kssim();
    std::vector<std::string> time = {"KP_WIN32_LOCAL_TIME=2005-03-07 14:05:09"};

    auto result = machine.Run((korvane / "Setupdeck.exe").string(), {"-i", "camera"}, time);
    ASSERT_EQ(result.ExitCode, 0) << result.Stderr;
    std::string hook =
        "C:\\Program Files\\Korvane\\Hookfitter.exe -i Echowell.sys -upr -dev "
        "65e8773d-8f56-11d0-a3b9-00a0c9223196 2a1c 0c41 1";
    EXPECT_EQ(Read(folder / "Windows" / "Temp" / "Setupdeck.log"),
              "[03/07/2005 14:05:09] - Performing installation for camera.\r\n"
              "[03/07/2005 14:05:09] - LaunchCmdline::Launching " +
                  hook +
                  "\r\n"
                  "[03/07/2005 14:05:09] - Adding reg key "
                  "hklm,Software\\Korvane\\Camera,Installed,yes\r\n"
                  "[03/07/2005 14:05:09] - AddKey software\\korvane\\camera installed yes\r\n");
    std::string record = Read(folder / "Windows" / "Temp" / "Setupdeck.xml");
    EXPECT_NE(record.find("<CAMERA Inf=\"camera.inf\">"), std::string::npos) << record;
    EXPECT_NE(record.find("<![CDATA[launch#C:\\Program Files\\Korvane\\Hookfitter.exe,-u "),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("<![CDATA[delregkey#hklm,software\\korvane\\camera]]>"),
              std::string::npos);

    std::string hooked = kssim();
    EXPECT_NE(hooked.find(kCameraLine + std::string("KpSimAudio > Echowell\n")), std::string::npos)
        << hooked;
    // The sound card is hooked only by a master: the options took effect.
    EXPECT_NE(hooked.find(kCardLine + std::string("KpSimAudio > Echowell\n")), std::string::npos)
        << hooked;

    fs::remove(folder / "Windows" / "Temp" / "Setupdeck.log");
    result = machine.Run((korvane / "Setupdeck.exe").string(), {"-u", "camera"}, time);
    ASSERT_EQ(result.ExitCode, 0) << result.Stderr;
    std::string log = Read(folder / "Windows" / "Temp" / "Setupdeck.log");
    EXPECT_NE(log.find("] - Uninstalling CAMERA\r\n"), std::string::npos) << log;
    std::vector<std::string> runs;
    for (auto& entry : kp::win32::ReadJournal(folder)) {
        if (entry[0] == "start") runs.push_back(entry[1]);
        if (entry[0] == "double") runs.push_back(entry[1] + " " + entry[2]);
    }
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[1], "C:\\Program Files\\Korvane\\Hookfitter.exe");
    EXPECT_EQ(runs[3],
              "C:\\WINDOWS\\system32\\rundll32.exe setupapi,InstallHinfSection DefaultUninstall "
              "132 C:\\WINDOWS\\inf\\camera.inf");
    record = Read(folder / "Windows" / "Temp" / "Setupdeck.xml");
    EXPECT_NE(record.find("<Installed />"), std::string::npos) << record;
    EXPECT_FALSE(
        ValueOf(*machine.Registry(), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Camera", "installed"));
    std::string unhooked = kssim();
    EXPECT_EQ(unhooked.find("Echowell"), std::string::npos) << unhooked;
}

TEST(ToolsEndToEnd, KssimLeavesWhatHookfitterInstalledOnAPlainMachine) {
    kp::tooltest::TempMachine machine("tools-e2e");
    fs::path folder = machine.Folder();
    auto kssim = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"--machine", folder.string(), "--seconds",
                                         "0.2",       "--out",         (folder / "out").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return kp::tooltest::RunProcess(KP_KSSIM, args);
    };
    ASSERT_EQ(kssim({"--no-filter"}).ExitCode, 0);
    machine.InstallImage(KP_ECHOWELL_IMAGE, "Echowell.sys");
    auto result =
        machine.Run(KP_HOOKFITTER, {"-i", "Echowell.sys", "-upr", "-dev",
                                    "65e8773d-8f56-11d0-a3b9-00a0c9223196", "2a1c", "0c41", "1"});
    ASSERT_EQ(result.ExitCode, 1) << result.Stderr;
    std::string installed = machine.RegistryBytes();
    // The echowell scenario's machine would replace the plain one: refused.
    result = kssim({});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_NE(result.Stderr.find("changed after kssim last wrote it"), std::string::npos)
        << result.Stderr;
    EXPECT_EQ(machine.RegistryBytes(), installed);
    auto store = machine.Registry();
    EXPECT_TRUE(ValueOf(*store, "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Echowell",
                        "ImagePath"));
    // Booted as it is, the plain machine shows the filter Hookfitter installed;
    // saved by kssim, it still holds what the tool installed and is refused again.
    result = kssim({"--no-filter"});
    EXPECT_EQ(result.ExitCode, 0) << result.Stderr;
    EXPECT_NE(result.Stdout.find(kCameraLine + std::string("KpSimAudio > Echowell\n")),
              std::string::npos)
        << result.Stdout;
    EXPECT_EQ(kssim({}).ExitCode, 1);
    EXPECT_TRUE(ValueOf(*machine.Registry(),
                        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Echowell",
                        "ImagePath"));
    // Asked to, kssim writes its own machine.
    result = kssim({"--rewrite-machine"});
    EXPECT_EQ(result.ExitCode, 0) << result.Stderr;
    EXPECT_NE(result.Stdout.find("written again as the echowell machine"), std::string::npos);
}

TEST(ToolsEndToEnd, AToolRefusesAFolderWithoutARegistry) {
    kp::tooltest::TempMachine machine("no-registry");
    std::filesystem::remove_all(machine.Folder() / "Windows");
    for (const char* tool : {KP_HOOKFITTER, KP_SETUPDECK, KP_STARTWARDEN}) {
        SCOPED_TRACE(tool);
        auto result = machine.Run(
            tool, {"-i", "drv.sys", "-upr", "-class", "4d36e96c-e325-11ce-bfc1-08002be10318"});
        EXPECT_EQ(result.ExitCode, 2);
        EXPECT_NE(result.Stderr.find("is no machine folder (it has no registry.reg)"),
                  std::string::npos)
            << result.Stderr;
        // Nothing of a machine was made in it.
        EXPECT_TRUE(fs::is_empty(machine.Folder()));
    }
}

TEST(ToolsEndToEnd, StartwardenRunsItsLauncherListAndOffersTheReboot) {
    kp::tooltest::TempMachine machine("tools-e2e");
    fs::path folder = machine.Folder(), korvane = folder / "Program Files" / "Korvane";
    fs::create_directories(korvane);
    fs::copy_file(KP_STARTWARDEN, korvane / "Startwarden.exe");
    fs::copy_file(KP_DOUBLE, korvane / "helper.exe");
    fs::copy_file(KP_DOUBLE, korvane / "reboot.exe");
    std::ofstream(folder / "doubles.ini")
        << "[reboot.exe]\nSetDword=HKLM\\SOFTWARE\\Korvane\\LauncherServices:RequestReboot=1\n";
    auto sz = [](const std::string& name, const std::string& value) {
        return kp::tooltest::RegValueText(name, REG_SZ, value + std::string(1, '\0'));
    };
    std::string launcher = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\LauncherServices";
    machine.WriteRegistry("[" + launcher + "\\a]\r\n" + sz("Path", "%PROGRAMS%\\Korvane") +
                          sz("Name", "helper.exe") + sz("Parameters", "/x") +
                          "\"Priority\"=dword:0000000a\r\n\r\n[" + launcher + "\\b]\r\n" +
                          sz("Path", "C:\\Program Files\\Korvane") + sz("Name", "reboot.exe") +
                          "\"Priority\"=dword:00000032\r\n\r\n");
    auto result =
        machine.Run((korvane / "Startwarden.exe").string(), {"-i"}, {"KP_WIN32_MSGBOX=yes"});
    EXPECT_EQ(result.ExitCode, 1) << result.Stdout << result.Stderr;
    ASSERT_TRUE(
        kp::win32::WaitForServiceRun(folder, "ZVSrvLauncher", kp::win32::kServiceRunPatienceMs));
    std::vector<std::vector<std::string>> events;
    for (auto& entry : kp::win32::ReadJournal(folder)) {
        if (entry[0] == "double" || entry[0] == "msgbox" || entry[0] == "exitwindows")
            events.push_back(entry);
    }
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0],
              (std::vector<std::string>{"double", "C:\\Program Files\\Korvane\\helper.exe", "/x"}));
    EXPECT_EQ(events[1][1], "C:\\Program Files\\Korvane\\reboot.exe");
    EXPECT_EQ(events[2], (std::vector<std::string>{
                             "msgbox", "", "Korvane Installer",
                             "You must restart your computer for the changes to take effect. \nDo "
                             "you want to restart your system now?",
                             "4", "6"}));
    EXPECT_EQ(events[3], (std::vector<std::string>{"exitwindows", "2", "0x80010002", "TRUE"}));
    auto store = machine.Registry();
    EXPECT_FALSE(ValueOf(*store, launcher + "\\a", "Name"));
    EXPECT_FALSE(ValueOf(*store, launcher + "\\b", "Name"));
    EXPECT_FALSE(ValueOf(*store,
                         "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZVSrvLauncher",
                         "ImagePath"));
}

}  // namespace
