// The README's commands as a user types them: kssim boots the machine and
// records its interfaces, Hookfitter installs the filter on the camera, kssim
// shows it in the stacks (the sound card's hooked by the master), Hookfitter
// removes it again.
#include <gtest/gtest.h>

#include <fstream>

#include "ToolProcess.h"
#include "kp/machine.h"

namespace fs = std::filesystem;
using kp::tooltest::ValueOf;

namespace {

const std::string kCameraKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2A1C&PID_0C41&MI_01\\6&2F1A33&0&"
    "0001";
constexpr char kCameraLine[] = "stack USB\\VID_2A1C&PID_0C41&MI_01\\6&2F1A33&0&0001: ";
constexpr char kCardLine[] = "stack PCI\\VEN_8086&DEV_293E&SUBSYS_02841028\\3&21436425&0&D8: ";

TEST(HookfitterEndToEnd, InstallLookUninstallLook) {
    kp::tooltest::TempMachine machine("e2e");
    fs::create_directories(machine.Folder() / "Program Files" / "KpSim");
    fs::copy_file(KP_NEAR_END_WAV, machine.Folder() / "Program Files" / "KpSim" / "near.wav");
    std::ofstream(machine.Folder() / "registry.reg", std::ios::binary)
        << kp::machine::RegistryText(kp::machine::DefaultDevices(), kp::machine::DefaultRoomText());
    machine.InstallImage(KP_FILTER_IMAGE, "ZvEchowell.sys");
    auto kssim = [&] {
        auto result = kp::tooltest::RunProcess(
            KP_KSSIM, {"--machine", machine.Folder().string(), "--seconds", "0.2", "--out",
                       (machine.Folder() / "out").string()});
        EXPECT_EQ(result.ExitCode, 0) << result.Stderr;
        return result.Stdout;
    };
    std::string first = kssim();
    EXPECT_NE(first.find(kCameraLine + std::string("KpSimAudio\n")), std::string::npos) << first;
    EXPECT_NE(first.find(kCardLine + std::string("KpSimAudio\n")), std::string::npos) << first;

    std::vector<std::string> install = {
        "-i",   "ZvEchowell.sys", "-upr", "-dev", "65e8773d-8f56-11d0-a3b9-00a0c9223196",
        "2a1c", "0c41",           "1"};
    auto result = machine.Run(KP_HOOKFITTER, install);
    ASSERT_EQ(result.ExitCode, 1) << result.Stderr;
    auto store = machine.Registry();
    EXPECT_TRUE(ValueOf(*store,
                        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZvEchowell",
                        "ImagePath"));
    EXPECT_EQ(ValueOf(*store, kCameraKey, "UpperFilters")->Bytes,
              std::string("ZvEchowell\0\0", 12));
    auto driver = ValueOf(*store, kCameraKey, "Driver");
    ASSERT_TRUE(driver);
    std::string driverKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" +
                            driver->Bytes.substr(0, driver->Bytes.size() - 1);
    EXPECT_EQ(ValueOf(*store, driverKey, "ZAECAudioFilterMaster")->Bytes,
              std::string("\1\0\0\0", 4));
    EXPECT_EQ(ValueOf(*store, driverKey, "ZAECAudioFilterNoManualSlaves")->Bytes,
              std::string("\0\0\0\0", 4));
    EXPECT_EQ(ValueOf(*store, driverKey, "ZAECAudioFilterNoLoad")->Bytes,
              std::string("\0\0\0\0", 4));

    std::string second = kssim();
    EXPECT_NE(second.find(kCameraLine + std::string("KpSimAudio > ZvEchowell\n")),
              std::string::npos)
        << second;
    EXPECT_NE(second.find(kCardLine + std::string("KpSimAudio > ZvEchowell\n")), std::string::npos)
        << second;

    install[0] = "-u";
    result = machine.Run(KP_HOOKFITTER, install);
    ASSERT_EQ(result.ExitCode, 1) << result.Stderr;
    EXPECT_FALSE(ValueOf(*machine.Registry(), kCameraKey, "UpperFilters"));
    std::string third = kssim();
    EXPECT_NE(third.find(kCameraLine + std::string("KpSimAudio\n")), std::string::npos) << third;
    EXPECT_NE(third.find(kCardLine + std::string("KpSimAudio\n")), std::string::npos) << third;
}

}  // namespace
