// The logic under the framework on a booted machine: the camera is master by
// its driver-key option, the sound card is hooked as slave by the master's
// interface notification.  The framework runs in-process (its DriverEntry is
// the built-in driver "Echowell"), so the test sees the logic's state.
#include "CDevice.h"
#include "CKAUDPEAEC.h"
#include "DrvMain.h"
#include "FilterLogicServices.h"
#include "LogicTestSupport.h"
#include "MachineFixture.h"
#include "SavedRegistry.h"
#include "kp/pnp.h"
#include "kp/registry.h"

namespace zvecho {
namespace {

constexpr char kCamera[] = "USB\\VID_2A1C&PID_0C41&MI_02\\6&2F1A33&0&0002";
constexpr char kSpeaker[] = "PCI\\VEN_8086&DEV_293E&SUBSYS_02841028\\3&21436425&0&D8";

std::vector<kp::machine::SimDevice> CameraAndSpeaker() {
    auto devices = kp::machine::DefaultDevices();
    devices[0].UpperFilters = {"Echowell"};
    devices[0].DriverOptions = {{"ZAECAudioFilterMaster", 1}};
    return devices;
}

class MachineLogicTest : public zvtest::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_bFilterLoaded = 1;  // as a freshly loaded image holds it
        UseBuiltinDriver("Echowell", DriverEntry);
    }
    static FilterDeviceExtension* Extension(const std::string& instance) {
        PDEVICE_OBJECT fdo = FilterDevice(instance, "Echowell");
        return fdo != nullptr ? FilterExtension(fdo) : nullptr;
    }
    static ULONG PinDirs(const std::string& instance) {
        FilterDeviceExtension* ext = Extension(instance);
        ULONG value = 0, size = sizeof value;
        if (ext == nullptr || ext->Device == nullptr ||
            GetInstantiatedVariable(ext->Device->GenDisp(), VID_INST_PINDIRS, &value, &size) !=
                ZV_SUCCESS)
            return 0;
        return value;
    }
};

TEST_F(MachineLogicTest, TheCameraIsMasterByItsOptionAndTheSoundCardItsSlave) {
    BootMachine(CameraAndSpeaker());
    ASSERT_NE(Extension(kCamera), nullptr);
    ASSERT_NE(Extension(kSpeaker), nullptr) << "the master hooks the sound card";
    EXPECT_EQ(Extension(kCamera)->MasterFlag, 1u);
    EXPECT_EQ(Extension(kSpeaker)->MasterFlag, 0u);
    EXPECT_EQ(PinDirs(kCamera), 2u);
    EXPECT_EQ(PinDirs(kSpeaker), 1u);
    EXPECT_EQ(g_bFilterLoaded, 1);
    EXPECT_NE(g_pAecModule, nullptr);
}

TEST_F(MachineLogicTest, ThePositionRunsSeventyMillisecondsAheadWhileProcessing) {
    BootMachine(CameraAndSpeaker());
    ASSERT_EQ(AcquireChannel(1, 1, nullptr, nullptr, nullptr), ZV_SUCCESS);
    ChannelFormat render = Pcm(48000, 16, 2);  // 192000 bytes per second
    ASSERT_EQ(SetChannelFormat(1, 1, &render), ZV_SUCCESS);
    struct Case {
        ULONG Process, Active;
        ULONGLONG Write, Expected;
    } cases[] = {
        {1, 1, 1000, 1000 + 13440},
        {1, 1, 0x00000000FFFFF000ull, 0x00000000FFFFF000ull + 13440},  // carry into the high word
        {0, 1, 1000, 1000},
        {1, 0, 1000, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Process << c.Active << " " << c.Write);
        ULONG process = c.Process;
        ASSERT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &process, 4), ZV_SUCCESS);
        ULONG ds = 0xFF, size = 4;
        ASSERT_EQ(GetSharedVariable(VID_SHARED_DSDISABLE, &ds, &size), ZV_SUCCESS);
        EXPECT_EQ(ds, c.Process) << "DirectSound is off exactly while processing is on";
        g_bAecActive = c.Active;
        KSAUDIO_POSITION p{777, c.Write};
        EXPECT_EQ(OnGetAudioPosition(nullptr, 1, &p, 1), ZV_SUCCESS);
        EXPECT_EQ(p.WriteOffset, c.Expected);
        EXPECT_EQ(p.PlayOffset, 777u);
    }
    g_bAecActive = 0;
    // Without a channel in that direction: the read's status, nothing changed.
    ULONG on = 1;
    ASSERT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &on, 4), ZV_SUCCESS);
    g_bAecActive = 1;
    KSAUDIO_POSITION p{1, 2};
    EXPECT_EQ(OnGetAudioPosition(nullptr, 2, &p, 1), ZV_NOT_READY);
    EXPECT_EQ(p.WriteOffset, 2u);
    g_bAecActive = 0;
}

TEST_F(MachineLogicTest, TheCancellersParametersPersistInTheCamerasDriverKey) {
    BootMachine(CameraAndSpeaker());
    ASSERT_NE(g_pAecModule, nullptr);
    ULONG tail = 0;
    ASSERT_EQ(g_pAecModule->GetPropertyDword(4, &tail), ZV_SUCCESS);
    EXPECT_EQ(tail, 64u);
    ASSERT_EQ(g_pAecModule->SetPropertyDword(4, 32), ZV_SUCCESS);
    std::string error;
    ASSERT_TRUE(kp::machine::Shutdown(&error)) << error;
    std::string saved = ReadSavedRegistry(folder_);
    ExpectCancellerParametersSaved(saved);
    EXPECT_NE(saved.find("\"GAEC_TailLength_ZAEC\"=dword:00000020"), std::string::npos);

    // The next boot's master load reads them back.
    ASSERT_EQ(kp::machine::Boot(folder_, nullptr, &error), STATUS_SUCCESS) << error;
    ASSERT_NE(g_pAecModule, nullptr);
    ASSERT_EQ(g_pAecModule->GetPropertyDword(4, &tail), ZV_SUCCESS);
    EXPECT_EQ(tail, 32u);
}

TEST_F(MachineLogicTest, AfterTheMastersRemovalEveryCallbackAnswersNotReady) {
    BootMachine(CameraAndSpeaker());
    ASSERT_EQ(KpPnpRemoveDevice(Pdo(kCamera)), STATUS_SUCCESS);
    EXPECT_EQ(g_bFilterLoaded, 0);
    EXPECT_EQ(g_pAecModule, nullptr);
    ChannelFormat f = Pcm(16000, 16, 1);
    LONG channel = 0;
    KSAUDIO_POSITION position{};
    EXPECT_EQ(OnDecidePinDirs(nullptr, 0), ZV_NOT_READY);
    EXPECT_EQ(OnGetRequiredFunctionFormat(1, 1, &f), ZV_NOT_READY);
    EXPECT_EQ(OnSetChannelState(1, 1, 3), ZV_NOT_READY);
    EXPECT_EQ(OnOpen(nullptr, 1, &f, &channel, nullptr, nullptr, nullptr), ZV_NOT_READY);
    EXPECT_EQ(channel, 0) << "the channel word is not written";
    EXPECT_EQ(OnGetAudioPosition(nullptr, 1, &position, 1), ZV_NOT_READY);
    // The slave still streams: its pins pass through untouched.
    kp::ks::KsFilter filter;
    OpenFilter(&filter, KSCATEGORY_RENDER);
}

}  // namespace
}  // namespace zvecho
