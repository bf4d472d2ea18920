// The framework driven by the PnP manager on a machine folder: master
// election, slaves hooked on running stacks, hand-over, removal and unload,
// options by prefix, device-state bits, and DirectSound across two drivers.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "E2ESupport.h"
#include "FakeAudioDriver.h"
#include "kp/io.h"
#include "kp/pnp.h"

namespace zvtest {
namespace {

const std::string kEchowell = "\\Driver\\ZvEchowell";
const std::string kMutewell = "\\Driver\\ZvMutewell";
const std::string kFake = "\\Driver\\ZvFakeAudio";

bool Contains(const std::vector<std::string>& v, const std::string& what) {
    return std::find(v.begin(), v.end(), what) != v.end();
}

using AttachTest = E2ETest;

TEST_F(AttachTest, MasterIsElectedSlavesAreHookedAndTheRoleIsHandedOverAndBack) {
    WriteMachine({
        {"1", {}, {}, 1},  // capture device running without the filter
        {"2", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1},  // the master
        {"3", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 2},  // a second candidate
        {"4", {}, {{"ZAECAudioFilterMaster", 1}}, 2},  // arrives later, carries the Master option
        {"5", {}, {}, 0},                              // audio but neither capture nor render
    });
    PDEVICE_OBJECT slave = Plug("1");
    EXPECT_EQ(StackDrivers(slave), (std::vector<std::string>{"\\Driver\\KpBus", kFake}));

    PDEVICE_OBJECT master = Plug("2");
    KpIoDrainWorkQueues();
    // The registration reported the running capture device: it is hooked on top.
    EXPECT_EQ(StackDrivers(slave), (std::vector<std::string>{"\\Driver\\KpBus", kFake, kEchowell}));
    EXPECT_EQ(StackDrivers(master),
              (std::vector<std::string>{"\\Driver\\KpBus", kFake, kEchowell}));
    EXPECT_EQ(KpPnpNotificationCount(), 1u);
    FilterDeviceExtension* masterExt = ExtensionOf(master);
    FilterDeviceExtension* slaveExt = ExtensionOf(slave);
    ASSERT_NE(masterExt, nullptr);
    ASSERT_NE(slaveExt, nullptr);
    EXPECT_EQ(masterExt->MasterFlag, 1u);
    EXPECT_EQ(masterExt->HandledDirections, 2u);
    EXPECT_EQ(slaveExt->MasterFlag, 0u);
    EXPECT_EQ(slaveExt->HandledDirections, 1u);
    EXPECT_EQ(LogicCalls("Echowell", FilterOf(master, u"\\Driver\\ZvEchowell")),
              (std::vector<std::string>{"OnFilterLoad(1)", "OnDecidePinDirs(1)"}));
    EXPECT_EQ(LogicCalls("Echowell", FilterOf(slave, u"\\Driver\\ZvEchowell")),
              (std::vector<std::string>{"OnFilterLoad(0)", "OnDecidePinDirs(0)"}));
    // The work item opened the device by its link: CREATE and CLEANUP reached
    // the running stack, and the CLOSE came through the new filter.
    auto requests = FakeAudioRequests(slave);
    EXPECT_TRUE(Contains(requests, "0x00/0x00"));
    EXPECT_TRUE(Contains(requests, "0x12/0x00"));
    EXPECT_TRUE(Contains(requests, "0x02/0x00"));
    // Processing on: DirectSound off on both hooked devices, both directions.
    EXPECT_EQ(DsValue("1", true, "Device Presence", u"ZVDSDisableCount"), 1u);
    EXPECT_EQ(DsValue("1", false, "Device Presence", u"ZVDSDisableCount"), 1u);
    EXPECT_EQ(DsValue("2", true, "Device Presence", u"ZVDSDisableCount"), 1u);

    // A second candidate is an ordinary device.
    PDEVICE_OBJECT second = Plug("3");
    KpIoDrainWorkQueues();
    EXPECT_EQ(ExtensionOf(second)->MasterFlag, 0u);
    EXPECT_EQ(LogicCalls("Echowell", FilterOf(second, u"\\Driver\\ZvEchowell")),
              (std::vector<std::string>{"OnFilterLoad(0)", "OnDecidePinDirs(0)"}));
    EXPECT_EQ(DsValue("3", false, "Device Presence", u"ZVDSDisableCount"), 1u);

    // A later arrival carrying the Master option is still a slave.
    PDEVICE_OBJECT late = Plug("4");
    PDEVICE_OBJECT notAudio = Plug("5");
    KpIoDrainWorkQueues();
    ASSERT_NE(ExtensionOf(late), nullptr);
    EXPECT_EQ(ExtensionOf(late)->MasterFlag, 0u);
    EXPECT_EQ(LogicCalls("Echowell", FilterOf(late, u"\\Driver\\ZvEchowell")),
              (std::vector<std::string>{"OnFilterLoad(0)", "OnDecidePinDirs(0)"}));
    EXPECT_EQ(DsValue("4", true, "Device Presence", u"ZVDSDisableCount"), 1u);
    EXPECT_EQ(StackDrivers(notAudio), (std::vector<std::string>{"\\Driver\\KpBus", kFake}));
    // Still one master load in all.
    auto all = LogicCalls("Echowell");
    EXPECT_EQ(std::count(all.begin(), all.end(), "OnFilterLoad(1)"), 1);

    // Hand-over: the master stops; processing off re-enables DirectSound and
    // the registration goes.
    KpIoTraceClear();
    ASSERT_EQ(KpPnpQueryRemove(master), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpNotificationCount(), 0u);
    EXPECT_EQ(LogicCalls("Echowell", FilterOf(master, u"\\Driver\\ZvEchowell")),
              (std::vector<std::string>{"OnFilterUnload(1)"}));
    EXPECT_EQ(DsValue("1", true, "Device Presence", u"ZVDSDisableCount"), 0u);
    EXPECT_EQ(DsValue("3", false, "Device Presence", u"ZVDSDisableCount"), 0u);
    EXPECT_EQ(masterExt->PnpState, 4);

    // Cancelled: nobody took the role, so the master takes it back.
    KpIoTraceClear();
    ASSERT_EQ(KpPnpCancelRemove(master), STATUS_SUCCESS);
    KpIoDrainWorkQueues();
    EXPECT_EQ(masterExt->PnpState, 1);
    EXPECT_EQ(masterExt->MasterFlag, 1u);
    EXPECT_EQ(KpPnpNotificationCount(), 1u);
    EXPECT_EQ(LogicCalls("Echowell", FilterOf(master, u"\\Driver\\ZvEchowell")),
              (std::vector<std::string>{"OnFilterLoad(1)"}));
    EXPECT_EQ(DsValue("1", true, "Device Presence", u"ZVDSDisableCount"), 1u);

    // Removal of a slave, then of the master: the stop handling runs once each.
    KpIoTraceClear();
    ASSERT_EQ(KpPnpRemoveDevice(slave), STATUS_SUCCESS);
    ASSERT_EQ(KpPnpRemoveDevice(master), STATUS_SUCCESS);
    auto calls = LogicCalls("Echowell");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "OnFilterUnload(0)"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "OnFilterUnload(1)"), 1);
    EXPECT_EQ(KpPnpNotificationCount(), 0u);
    EXPECT_NE(KpFindDriver(u"ZvEchowell"), nullptr);  // devices 3 and 4 still hooked
    KpPnpShutdown();
    EXPECT_EQ(KpFindDriver(u"ZvEchowell"), nullptr);
}

TEST_F(AttachTest, AMasterCandidateThatIsNotHookedLeavesTheRoleFree) {
    WriteMachine({
        {"1", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}, {"ZAECAudioFilterNoLoad", 1}}, 1},
        {"2",
         {"ZvEchowell"},
         {{"ZAECAudioFilterMaster", 1}, {"ZAECAudioFilterNoManualSlaves", 1}},
         1},
        {"3", {}, {}, 1},
    });
    PDEVICE_OBJECT refused = Plug("1");
    EXPECT_EQ(StackDrivers(refused), (std::vector<std::string>{"\\Driver\\KpBus", kFake}));
    PDEVICE_OBJECT master = Plug("2");
    ASSERT_NE(ExtensionOf(master), nullptr);
    EXPECT_EQ(ExtensionOf(master)->MasterFlag, 1u);
    EXPECT_EQ(ExtensionOf(master)->NoManualSlaves, 1u);
    // NoManualSlaves: no registration, so a running device is not hooked.
    EXPECT_EQ(KpPnpNotificationCount(), 0u);
    PDEVICE_OBJECT other = Plug("3");
    KpIoDrainWorkQueues();
    EXPECT_EQ(StackDrivers(other), (std::vector<std::string>{"\\Driver\\KpBus", kFake}));
}

TEST_F(AttachTest, OptionNamesCarryEachDriversPrefixAndStateBitsFollowTheDriver) {
    WriteMachine({
        {"1", {"ZvEchowell", "ZvMutewell"}, {{"ZSAMAudioFilterNoLoad", 1}}, 1, 0x20},
        {"2", {"ZvMutewell"}, {}, 1, 0x20},
    });
    PDEVICE_OBJECT both = Plug("1");
    EXPECT_EQ(StackDrivers(both), (std::vector<std::string>{"\\Driver\\KpBus", kFake, kEchowell}));
    EXPECT_EQ(KpPnpDeviceStateBits(both), 0x20u);
    PDEVICE_OBJECT mute = Plug("2");
    EXPECT_EQ(StackDrivers(mute), (std::vector<std::string>{"\\Driver\\KpBus", kFake, kMutewell}));
    EXPECT_EQ(KpPnpDeviceStateBits(mute), 0x22u);  // hidden from the user interface
    EXPECT_EQ(ExtensionOf(mute, u"\\Driver\\ZvMutewell")->HandledDirections,
              0u);  // logic not loaded: no master
}

TEST_F(AttachTest, TwoDriversOnOneDeviceResetALeftOverCountOnceAndShareTheBusyFlag) {
    std::string profile =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Hardware "
        "Profiles\\Current\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_"
        "ABCD\\1\\DirectSound\\Device Presence]\r\n"
        "\"ZVDSDisableCount\"=dword:00000002\r\n\"VxD\"=dword:00000001\r\n\"WDM\"=dword:"
        "00000001\r\n"
        "\"VxDOrig\"=dword:00000000\r\n\"WDMOrig\"=dword:00000000\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Hardware "
        "Profiles\\Current\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_"
        "ABCD\\1\\DirectSound\\Mixer Defaults]\r\n"
        "\"Acceleration\"=dword:0000000f\r\n\"AccelerationOrig\"=dword:00000003\r\n\r\n";
    // Both drivers elect this device as their master: each turns processing
    // on and so disables DirectSound once.
    WriteMachine({{"1",
                   {"ZvMutewell", "ZvEchowell"},
                   {{"ZAECAudioFilterMaster", 1}, {"ZSAMAudioFilterMaster", 1}},
                   1,
                   0,
                   profile}});
    PDEVICE_OBJECT pdo = Plug("1");
    ASSERT_EQ(StackDrivers(pdo),
              (std::vector<std::string>{"\\Driver\\KpBus", kFake, kMutewell, kEchowell}));
    FilterDeviceExtension* echo = ExtensionOf(pdo, u"\\Driver\\ZvEchowell");
    FilterDeviceExtension* mute = ExtensionOf(pdo, u"\\Driver\\ZvMutewell");
    ASSERT_NE(echo->DsBusyFlag, nullptr);
    EXPECT_EQ(echo->DsBusyFlag, mute->DsBusyFlag);
    EXPECT_EQ(*echo->DsBusyFlag, 0);
    // The left-over count 2 was reset once, by the first driver: a second
    // reset would have undone Mutewell's disable and left 1.
    for (bool render : {true, false}) {
        EXPECT_EQ(DsValue("1", render, "Device Presence", u"ZVDSDisableCount"), 2u);
        EXPECT_EQ(DsValue("1", render, "Device Presence", u"VxD"), 1u);
        EXPECT_EQ(DsValue("1", render, "Mixer Defaults", u"Acceleration"), 15u);
    }
    // The reset restored the saved values, and the first disable saved them again.
    EXPECT_EQ(DsValue("1", true, "Device Presence", u"VxDOrig"), 0u);
    EXPECT_EQ(DsValue("1", true, "Mixer Defaults", u"AccelerationOrig"), 3u);
    // Each driver's stop enables once: the device's own values come back.
    ASSERT_EQ(KpPnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(DsValue("1", true, "Device Presence", u"ZVDSDisableCount"), 0u);
    EXPECT_EQ(DsValue("1", true, "Device Presence", u"VxD"), 0u);
    EXPECT_EQ(DsValue("1", true, "Mixer Defaults", u"Acceleration"), 3u);
    EXPECT_EQ(DsValue("1", false, "Device Presence", u"ZVDSDisableCount"), 0u);
}

TEST_F(AttachTest, RemovalGoesDownFirstAndWaitsForARequestHeldBelow) {
    WriteMachine({{"1", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1}});
    PDEVICE_OBJECT pdo = Plug("1");
    PDEVICE_OBJECT fdo = FilterOf(pdo, u"\\Driver\\ZvEchowell");
    ASSERT_NE(fdo, nullptr);
    // A request the device below holds.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_ZVTEST_HOLD, fdo, nullptr, 0, nullptr, 0, FALSE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_PENDING);
    EXPECT_EQ(HeldRequestCount(), 1u);
    // The remove goes down first; the device below then lets the request go
    // and the removal finishes.
    EXPECT_EQ(KpPnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

// Another driver on the device holds its DirectSound busy flag: the stop of an
// ordinary device waits for it before it enables DirectSound again.
TEST_F(AttachTest, TheStopWaitsForTheDirectSoundBusyFlag) {
    WriteMachine({
        {"1", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 2},
        {"2", {"ZvEchowell"}, {}, 1},
    });
    Plug("1");
    PDEVICE_OBJECT plain = Plug("2");
    ASSERT_NE(ExtensionOf(plain), nullptr);
    volatile LONG* busy = ExtensionOf(plain)->DsBusyFlag;
    ASSERT_NE(busy, nullptr);
    ASSERT_EQ(DsValue("2", true, "Device Presence", u"ZVDSDisableCount"), 1u);
    ASSERT_EQ(InterlockedExchange(busy, 1), 0);
    std::atomic<bool> stopped{false};
    std::thread stop([&] {
        EXPECT_EQ(KpPnpQueryRemove(plain), STATUS_SUCCESS);
        stopped = true;
    });
    // Long enough for a stop that does not wait to have enabled both directions.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(stopped.load()) << "the stop did not wait for the busy flag";
    EXPECT_EQ(DsValue("2", true, "Device Presence", u"ZVDSDisableCount"), 1u);
    InterlockedExchange(busy, 0);
    stop.join();
    EXPECT_EQ(DsValue("2", true, "Device Presence", u"ZVDSDisableCount"), 0u);
    EXPECT_EQ(DsValue("2", false, "Device Presence", u"ZVDSDisableCount"), 0u);
    EXPECT_EQ(*busy, 0);
}

TEST_F(AttachTest, WithoutAWaitableThreadObjectTheUnloadWaitsOnTheExitEvent) {
    KpIoSetWdmVersion(1, 0x00);
    WriteMachine({{"1", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1}});
    PDEVICE_OBJECT pdo = Plug("1");
    ASSERT_NE(ExtensionOf(pdo), nullptr);
    ASSERT_EQ(KpPnpRemoveDevice(pdo), STATUS_SUCCESS);
    PDRIVER_OBJECT left = KpFindDriver(u"ZvEchowell");
    EXPECT_EQ(left, nullptr);
}

TEST_F(AttachTest, AThreadThatCannotStartStillLoadsAndUnloads) {
    WriteMachine({{"1", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1}});
    FailThreadCreations(1);
    PDEVICE_OBJECT pdo = Plug("1");
    ASSERT_NE(ExtensionOf(pdo), nullptr);
    ASSERT_EQ(KpPnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(KpFindDriver(u"ZvEchowell"), nullptr);
}

}  // namespace
}  // namespace zvtest

namespace zvtest {
namespace {

size_t FilterCount(const std::vector<std::string>& stack) {
    return static_cast<size_t>(std::count(stack.begin(), stack.end(), "\\Driver\\ZvEchowell"));
}

TEST_F(AttachTest, ManyInterfacesAtOnceHookEachDeviceOnce) {
    std::vector<E2EDevice> devices;
    for (int i = 1; i <= 5; ++i) devices.push_back({std::to_string(i), {}, {}, 3});
    devices.push_back({"6", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1});
    WriteMachine(devices);
    KpIoSetWorkerThreadCount(3);
    std::vector<PDEVICE_OBJECT> pdos;
    for (int i = 1; i <= 5; ++i) pdos.push_back(Plug(std::to_string(i)));
    PDEVICE_OBJECT master = Plug("6");
    KpIoDrainWorkQueues();
    for (PDEVICE_OBJECT pdo : pdos) EXPECT_EQ(FilterCount(StackDrivers(pdo)), 1u);
    EXPECT_EQ(FilterCount(StackDrivers(master)), 1u);
    // The same interfaces reported again (the master's registration after a
    // cancelled removal) hook nothing twice.
    ASSERT_EQ(KpPnpQueryRemove(master), STATUS_SUCCESS);
    ASSERT_EQ(KpPnpCancelRemove(master), STATUS_SUCCESS);
    KpIoDrainWorkQueues();
    for (PDEVICE_OBJECT pdo : pdos) EXPECT_EQ(FilterCount(StackDrivers(pdo)), 1u);
    auto calls = LogicCalls("Echowell");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "OnFilterLoad(0)"), 5);
}

TEST_F(AttachTest, QueryRemoveThenCancelUnloadsAndReloadsSurpriseRemovalStopsOnce) {
    WriteMachine({
        {"1", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1},
        {"2", {"ZvEchowell"}, {}, 2},
    });
    PDEVICE_OBJECT master = Plug("1");
    PDEVICE_OBJECT plain = Plug("2");
    PDEVICE_OBJECT fdo = FilterOf(plain, u"\\Driver\\ZvEchowell");
    FilterDeviceExtension* ext = FilterExtension(fdo);
    EXPECT_EQ(ext->PnpState, 1);
    KpIoTraceClear();
    ASSERT_EQ(KpPnpQueryRemove(plain), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, 4);
    // Processing is on: the stop enabled DirectSound once.
    EXPECT_EQ(DsValue("2", true, "Device Presence", u"ZVDSDisableCount"), 0u);
    ASSERT_EQ(KpPnpCancelRemove(plain), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, 1);
    EXPECT_EQ(LogicCalls("Echowell", fdo),
              (std::vector<std::string>{"OnFilterUnload(0)", "OnFilterLoad(0)"}));
    EXPECT_EQ(DsValue("2", true, "Device Presence", u"ZVDSDisableCount"), 1u);

    KpIoTraceClear();
    ASSERT_EQ(KpPnpSurpriseRemove(plain), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, 5);
    ASSERT_EQ(KpPnpRemove(plain), STATUS_SUCCESS);
    EXPECT_EQ(LogicCalls("Echowell", fdo), (std::vector<std::string>{"OnFilterUnload(0)"}));
    EXPECT_EQ(DsValue("2", false, "Device Presence", u"ZVDSDisableCount"), 0u);

    // A bare removal (no query, no surprise) stops the logic after the device
    // below saw the request.
    KpIoTraceClear();
    PDEVICE_OBJECT masterFdo = FilterOf(master, u"\\Driver\\ZvEchowell");
    ASSERT_EQ(KpPnpRemove(master), STATUS_SUCCESS);
    std::vector<std::string> order;
    for (auto& e : KpIoTraceEntries()) {
        if (e.Who == "fake-audio" && e.Event == "irp" && e.Major == IRP_MJ_PNP &&
            e.Minor == IRP_MN_REMOVE_DEVICE) {
            order.push_back("remove-below");
        } else if (e.Who == "Echowell" && e.Device == masterFdo) {
            order.push_back(e.Event);
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"remove-below", "OnFilterUnload(1)"}));
}

TEST_F(AttachTest, AMasterWhoseRemovalIsCancelledAfterAHandOverStaysOrdinary) {
    WriteMachine({
        {"1", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1},
        {"2", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1},
    });
    PDEVICE_OBJECT first = Plug("1");
    PDEVICE_OBJECT firstFdo = FilterOf(first, u"\\Driver\\ZvEchowell");
    ASSERT_EQ(KpPnpQueryRemove(first), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpNotificationCount(), 0u);
    // The next candidate takes the role (processing back on).
    PDEVICE_OBJECT second = Plug("2");
    EXPECT_EQ(ExtensionOf(second)->MasterFlag, 1u);
    KpIoTraceClear();
    ASSERT_EQ(KpPnpCancelRemove(first), STATUS_SUCCESS);
    KpIoDrainWorkQueues();
    EXPECT_EQ(FilterExtension(firstFdo)->MasterFlag, 0u);
    // The new master saw its interface while its removal was pending and
    // left it alone: its own filter still sits there.
    EXPECT_EQ(FilterCount(StackDrivers(first)), 1u);
    EXPECT_EQ(LogicCalls("Echowell", firstFdo), (std::vector<std::string>{"OnFilterLoad(0)"}));
    EXPECT_EQ(KpPnpNotificationCount(), 1u);
    // As an ordinary device it follows the DirectSound switch.
    EXPECT_EQ(DsValue("1", true, "Device Presence", u"ZVDSDisableCount"), 1u);
    EXPECT_EQ(DsValue("1", false, "Device Presence", u"ZVDSDisableCount"), 1u);
}

}  // namespace
}  // namespace zvtest

namespace zvtest {
namespace {

TEST_F(AttachTest, TheDirectSoundSwitchReachesEveryHookedDeviceBeyondFifteen) {
    std::vector<E2EDevice> devices;
    std::vector<std::string> names;
    for (char c = 'a'; c <= 'q'; ++c) names.push_back(std::string(1, c));  // 17 running devices
    for (auto& name : names) devices.push_back({name, {}, {}, 1});
    devices.push_back({"1", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 2});
    WriteMachine(devices);
    for (auto& name : names) Plug(name);
    PDEVICE_OBJECT master = Plug("1");
    KpIoDrainWorkQueues();
    for (auto& name : names) {
        EXPECT_EQ(DsValue(name, true, "Device Presence", u"ZVDSDisableCount"), 1u) << name;
    }
    // Processing off at the master's stop: every device is enabled exactly once.
    ASSERT_EQ(KpPnpQueryRemove(master), STATUS_SUCCESS);
    for (auto& name : names) {
        EXPECT_EQ(DsValue(name, true, "Device Presence", u"ZVDSDisableCount"), 0u) << name;
        EXPECT_EQ(DsValue(name, false, "Device Presence", u"ZVDSDisableCount"), 0u) << name;
    }
}

}  // namespace
}  // namespace zvtest
