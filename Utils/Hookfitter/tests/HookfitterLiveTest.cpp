// Hookfitter on a machine running in the test program: the devices it changes
// restart with their new stacks, and the reboot request when one cannot.
#include <gtest/gtest.h>

#include <ks.h>
#include <ksmedia.h>

#include <fstream>

#include "FilterInstaller.h"
#include "KsClient.h"
#include "MasterFlag.h"
#include "kp/io.h"
#include "kp/machine.h"
#include "kp/machinetest.h"
#include "kp/pnp.h"
#include "kp/registry.h"
#include "kp/win32.h"

namespace {

const std::u16string kCamera = u"USB\\VID_2A1C&PID_0C41&MI_01\\6&2F1A33&0&0001";
const std::u16string kCard = u"PCI\\VEN_8086&DEV_293E&SUBSYS_02841028\\3&21436425&0&D8";
constexpr char kLauncher[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\LauncherServices]\r\n\r\n";

class HookfitterLive : public kp::testing::MachineTest {
protected:
    void Boot(const std::string& extra = "") {
        CopyDriverImage(KP_FILTER_IMAGE, "ZvEchowell.sys");
        BootMachine(kp::machine::DefaultDevices(), extra);
        if (HasFatalFailure()) return;
        KpWin32UseLiveMachine();
        unmodelled_ = KpWin32UnmodelledCount();
        handles_ = KpWin32OpenHandleCount();
    }
    void TearDown() override {
        KpWin32ClearFailures();
        EXPECT_EQ(KpWin32UnmodelledCount(), unmodelled_);
        EXPECT_EQ(KpWin32OpenHandleCount(), handles_);  // every set and key handed back
        std::string error;
        EXPECT_TRUE(kp::machine::Shutdown(&error)) << error;
        MachineTest::TearDown();
    }
    static int Hookfitter(std::vector<std::string> tokens) {
        tokens.insert(tokens.begin(), "Hookfitter");
        std::vector<char*> argv;
        for (auto& t : tokens) argv.push_back(t.data());
        FilterInstaller installer;
        if (!installer.LoadServiceApi() ||
            !installer.ParseCommandLine(int(argv.size()), argv.data()))
            return 0;
        return installer.Run();
    }
    static std::vector<std::u16string> Stack(const std::u16string& instance) {
        KpIoDrainWorkQueues();  // slaves are hooked from work items
        PDEVICE_OBJECT pdo = KpPnpFindPdo(instance);
        EXPECT_NE(pdo, nullptr);
        return pdo != nullptr ? KpPnpStackServices(pdo) : std::vector<std::u16string>{};
    }
    ULONG unmodelled_ = 0, handles_ = 0;
};

using Services = std::vector<std::u16string>;

TEST_F(HookfitterLive, ClassInstallRestartsEveryDeviceOfTheClass) {
    Boot();
    EXPECT_EQ(Stack(kCamera), (Services{u"KpSimAudio"}));
    ASSERT_EQ(Hookfitter({"-i", "ZvEchowell.sys", "-upr", "-class",
                          "4d36e96c-e325-11ce-bfc1-08002be10318"}),
              1);
    EXPECT_EQ(Stack(kCamera), (Services{u"KpSimAudio", u"ZvEchowell"}));
    EXPECT_EQ(Stack(kCard), (Services{u"KpSimAudio", u"ZvEchowell"}));
    ASSERT_EQ(Hookfitter({"-u", "ZvEchowell.sys", "-upr", "-class",
                          "4d36e96c-e325-11ce-bfc1-08002be10318"}),
              1);
    EXPECT_EQ(Stack(kCamera), (Services{u"KpSimAudio"}));
    EXPECT_EQ(Stack(kCard), (Services{u"KpSimAudio"}));
}

TEST_F(HookfitterLive, DeviceInstallMakesTheCameraMaster) {
    Boot(kLauncher);
    ASSERT_EQ(Hookfitter({"-i", "ZvEchowell.sys", "-upr", "-dev",
                          "65e8773d-8f56-11d0-a3b9-00a0c9223196", "2a1c", "0c41", "1"}),
              1);
    // The camera's filter device became master and hooked the sound card.
    EXPECT_EQ(Stack(kCamera), (Services{u"KpSimAudio", u"ZvEchowell"}));
    EXPECT_EQ(Stack(kCard), (Services{u"KpSimAudio", u"ZvEchowell"}));
    EXPECT_EQ(FilterMasterFlag(KpPnpFindPdo(kCamera), u"\\Driver\\ZvEchowell"), 1);
    EXPECT_EQ(FilterMasterFlag(KpPnpFindPdo(kCard), u"\\Driver\\ZvEchowell"), 0);
    std::u16string driverKey =
        std::u16string(kKpClassPath) + u"\\" +
        *kp::reg::GetString(std::u16string(kKpEnumPath) + u"\\" + kCamera, u"Driver");
    EXPECT_EQ(kp::reg::GetDword(driverKey, u"ZAECAudioFilterMaster"), 1u);
    EXPECT_EQ(kp::reg::GetDword(driverKey, u"ZAECAudioFilterNoManualSlaves"), 0u);
    EXPECT_EQ(kp::reg::GetDword(driverKey, u"ZAECAudioFilterNoLoad"), 0u);
    // A plain restart asks for no reboot.
    EXPECT_FALSE(kp::reg::GetDword(u"\\Registry\\Machine\\SOFTWARE\\Korvane\\LauncherServices",
                                   u"RequestReboot"));
}

TEST_F(HookfitterLive, DeviceWithOpenHandleAsksForAReboot) {
    for (bool launcherKey : {true, false}) {
        SCOPED_TRACE(launcherKey ? "launcher key" : "no launcher key");
        Boot(launcherKey ? kLauncher : "");
        auto links = kp::ks::FindDevices(KSCATEGORY_CAPTURE);
        ASSERT_EQ(links.size(), 1u);
        kp::ks::KsFilter filter;
        ASSERT_TRUE(NT_SUCCESS(filter.Open(links[0])));
        ASSERT_EQ(Hookfitter({"-i", "ZvEchowell.sys", "-upr", "-dev",
                              "65e8773d-8f56-11d0-a3b9-00a0c9223196", "2a1c", "0c41", "1"}),
                  1);
        // The old stack keeps serving the open filter.
        EXPECT_EQ(Stack(kCamera), (Services{u"KpSimAudio"}));
        ULONG pins = 0;
        EXPECT_TRUE(NT_SUCCESS(filter.PinCount(&pins)));
        filter.Close();
        std::u16string launcher = u"\\Registry\\Machine\\SOFTWARE\\Korvane\\LauncherServices";
        if (launcherKey)
            EXPECT_EQ(kp::reg::GetDword(launcher, u"RequestReboot"), 1u);
        else
            EXPECT_FALSE(kp::reg::KeyExists(launcher));
        std::string error;
        ASSERT_TRUE(kp::machine::Shutdown(&error)) << error;
    }
    Boot();
}

TEST_F(HookfitterLive, RefusedRestartStillSucceeds) {
    Boot(kLauncher);
    KpWin32FailCall("SetupDiCallClassInstaller", nullptr, ERROR_INVALID_PARAMETER);
    ASSERT_EQ(Hookfitter({"-i", "ZvEchowell.sys", "-upr", "-dev",
                          "65e8773d-8f56-11d0-a3b9-00a0c9223196", "2a1c", "0c41", "1"}),
              1);
    EXPECT_EQ(Stack(kCamera), (Services{u"KpSimAudio"}));
    EXPECT_EQ(
        kp::reg::GetMultiString(std::u16string(kKpEnumPath) + u"\\" + kCamera, u"UpperFilters"),
        (Services{u"ZvEchowell"}));
    EXPECT_FALSE(kp::reg::GetDword(u"\\Registry\\Machine\\SOFTWARE\\Korvane\\LauncherServices",
                                   u"RequestReboot"));
}

TEST_F(HookfitterLive, FailedEnumerationsGiveTheDeviceSetBack) {
    Boot();
    const char* calls[] = {"SetupDiGetDeviceInterfaceDetailA", "SetupDiEnumDeviceInterfaces"};
    for (const char* call : calls) {
        SCOPED_TRACE(call);
        KpWin32FailCall(call, nullptr, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(Hookfitter({"-u", "ZvEchowell.sys", "-upr", "-dev",
                              "65e8773d-8f56-11d0-a3b9-00a0c9223196", "2a1c", "0c41", "1"}),
                  0);
        EXPECT_EQ(KpWin32OpenHandleCount(), handles_);
        KpWin32ClearFailures();
    }
}

}  // namespace
