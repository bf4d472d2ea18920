// The filter device's request entry: pass-through, power, device objects
// without a CDevice, and AddDevice failures that must give the master role back.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CDevice.h"
#include "E2ESupport.h"
#include "FakeAudioDriver.h"
#include "MemAlloc.h"
#include "ZDebug.h"
#include "kp/io.h"
#include "kp/pnp.h"
#include "kp/pool.h"

namespace zvtest {
namespace {

using FilterDeviceTest = E2ETest;

NTSTATUS SendControl(PDEVICE_OBJECT device, ULONG code, IO_STATUS_BLOCK* iosb) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, device, nullptr, 0, nullptr, 0, FALSE, &event, iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb->Status;
    }
    return status;
}

TEST_F(FilterDeviceTest, UnknownRequestsAndPowerPassDownAndTheRemoveLockComesBack) {
    WriteMachine({{"1", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1}});
    PDEVICE_OBJECT pdo = Plug("1");
    PDEVICE_OBJECT fdo = FilterOf(pdo, u"\\Driver\\ZvEchowell");
    ASSERT_NE(fdo, nullptr);
    CDevice* device = FilterExtension(fdo)->Device;
    ASSERT_NE(device, nullptr);
    KpIoTraceClear();
    IO_STATUS_BLOCK iosb = {};
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x955, METHOD_BUFFERED, FILE_ANY_ACCESS);
    EXPECT_EQ(SendControl(fdo, code, &iosb), STATUS_SUCCESS);
    auto entries = KpIoTraceEntries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().Who, ZV_FAKE_AUDIO_LABEL);
    EXPECT_EQ(entries.back().IoControlCode, code);
    // A request held below keeps the lock; its completion gives it back.
    IO_STATUS_BLOCK held = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_ZVTEST_HOLD, fdo, nullptr, 0, nullptr, 0, FALSE,
                                             &event, &held);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(RemoveLockCount(device->GetRemoveLock()), 1);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_PENDING);
    ReleaseHeldRequests();
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(RemoveLockCount(device->GetRemoveLock()), 1);
    EXPECT_EQ(device->OutstandingRequests(), 0);

    ULONG before = KpPoStartNextPowerIrpCount();
    LONG state = FilterExtension(fdo)->PnpState;
    EXPECT_EQ(KpPnpSetDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(KpPoStartNextPowerIrpCount(),
              before + 3);  // the filter, the function driver and the bus
    EXPECT_EQ(FilterExtension(fdo)->PnpState, state);
    EXPECT_EQ(KpPnpSetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    ASSERT_EQ(KpPnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(KpFindDriver(u"ZvEchowell"), nullptr);
}

TEST_F(FilterDeviceTest, ADeviceObjectWithoutACDeviceFailsEveryRequest) {
    WriteMachine({{"1", {"ZvEchowell"}, {}, 1}});
    PDEVICE_OBJECT pdo = Plug("1");
    PDRIVER_OBJECT driver = KpFindDriver(u"ZvEchowell");
    ASSERT_NE(driver, nullptr);
    PDEVICE_OBJECT bare = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(FilterDeviceExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &bare),
              STATUS_SUCCESS);
    KpIoTraceClear();
    IO_STATUS_BLOCK iosb = {};
    EXPECT_EQ(SendControl(bare, IOCTL_KS_PROPERTY, &iosb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_TRUE(LogicCalls("Echowell").empty());
    EXPECT_TRUE(KpIoTraceEntries().empty());
    IoDeleteDevice(bare);
    ASSERT_EQ(KpPnpRemoveDevice(pdo), STATUS_SUCCESS);
}

// A filter device attached on a running stack gets requests before
// CDevice::Init has finished.  They pass straight down under the remove lock
// and never touch the half-built CDevice (here a block of fill bytes).
TEST_F(FilterDeviceTest, RequestsBeforeInitFinishesPassStraightDown) {
    WriteMachine({{"1", {"ZvEchowell"}, {}, 1}});
    PDEVICE_OBJECT pdo = Plug("1");
    PDRIVER_OBJECT driver = KpFindDriver(u"ZvEchowell");
    ASSERT_NE(driver, nullptr);
    PDEVICE_OBJECT early = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(FilterDeviceExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &early),
              STATUS_SUCCESS);
    FilterDeviceExtension* ext = FilterExtension(early);
    InitializeRemoveLock(&ext->Lock);
    ext->Ready = 0;
    alignas(16) unsigned char halfBuilt[sizeof(CDevice)];
    std::memset(halfBuilt, 0xCD, sizeof halfBuilt);
    SetDeviceOf(ext, reinterpret_cast<CDevice*>(halfBuilt));
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(early, pdo);
    ASSERT_NE(lower, nullptr);
    KpIoTraceClear();
    IO_STATUS_BLOCK iosb = {};
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x956, METHOD_BUFFERED, FILE_ANY_ACCESS);
    EXPECT_EQ(SendControl(early, code, &iosb), STATUS_SUCCESS);
    auto entries = KpIoTraceEntries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().Who, ZV_FAKE_AUDIO_LABEL);
    EXPECT_EQ(entries.back().IoControlCode, code);
    EXPECT_EQ(RemoveLockCount(&ext->Lock), 1);
    IoDetachDevice(lower);
    SetDeviceOf(ext, nullptr);
    IoDeleteDevice(early);
    ASSERT_EQ(KpPnpRemoveDevice(pdo), STATUS_SUCCESS);
}

// The filter's device, caught the moment it joins the stack (from an attach
// hook), and a request sent to it there on a thread of its own.
struct EarlyRequest {
    std::atomic<PDEVICE_OBJECT> Fdo{nullptr};
    std::thread Sender;
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    std::atomic<bool> Blocked{false};
};

// Sends `code` to the Echowell filter's device the first time one joins a
// stack; false for every other device.
bool SendEarly(EarlyRequest* early, PDEVICE_OBJECT attached, ULONG code) {
    const UNICODE_STRING& name = attached->DriverObject->DriverName;
    if (std::u16string(name.Buffer, name.Length / 2) != u"\\Driver\\ZvEchowell") return false;
    if (early->Fdo.exchange(attached) != nullptr) return false;
    early->Sender = std::thread([early, attached, code] {
        IO_STATUS_BLOCK iosb = {};
        early->Status = SendControl(attached, code, &iosb);
    });
    return true;
}

// The early request is kept inside the device below (so inside the filter's
// early pass-through too), then the next driver allocation, the first of
// CDevice::Init, is made to fail.
void SendBlockedRequestEarly(PVOID context, PDEVICE_OBJECT attached, PDEVICE_OBJECT) {
    auto early = static_cast<EarlyRequest*>(context);
    if (!SendEarly(early, attached, IOCTL_ZVTEST_BLOCK)) return;
    early->Blocked = WaitForBlockedRequests(1);
    if (early->Blocked) KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, 1);
}

// A request that reached the filter device before CDevice::Init finished is
// still inside it when Init fails: the failed AddDevice waits for it to leave
// before it frees the CDevice and deletes the device object.
TEST_F(FilterDeviceTest, AFailedInitWaitsForTheRequestItPassedDownEarly) {
    WriteMachine({{"1", {"ZvEchowell"}, {}, 1}});
    EarlyRequest early;
    KpIoSetAttachHook(&SendBlockedRequestEarly, &early);
    std::atomic<bool> returned{false};
    std::atomic<NTSTATUS> added{STATUS_PENDING};
    std::thread adder([&] {
        PDEVICE_OBJECT pdo = nullptr;
        added = KpPnpAddDevice(InstancePath("1"), &pdo);
        returned = true;
    });
    // Until the AddDevice returns or starts its wait for the request (the
    // device object stays while the request is in its dispatch).
    for (;;) {
        if (returned) break;
        PDEVICE_OBJECT fdo = early.Fdo;
        if (fdo != nullptr &&
            __atomic_load_n(&FilterExtension(fdo)->Lock.Removing, __ATOMIC_SEQ_CST) != 0)
            break;
        std::this_thread::yield();
    }
    const bool returnedWithTheRequestInside = returned;
    UnblockRequests();
    adder.join();
    if (early.Sender.joinable()) early.Sender.join();
    KpIoSetAttachHook(nullptr, nullptr);
    KpPoolClearFailures();
    ASSERT_NE(early.Fdo.load(), nullptr);
    ASSERT_TRUE(early.Blocked);
    EXPECT_FALSE(returnedWithTheRequestInside);
    EXPECT_EQ(added, STATUS_NO_MEMORY);
    // The request went down untouched and came back with the device's answer.
    EXPECT_EQ(early.Status, STATUS_SUCCESS);
    EXPECT_EQ(KpPnpFindPdo(InstancePath("1")), nullptr);
    EXPECT_TRUE(LogicCalls("Echowell").empty());
}

// Another thread sizes the early request and sends it while the attaching
// thread goes on setting the device up, nothing ordering the two, as when the
// master hooks a running stack that other requests reach.
void SendWhileTheFilterJoins(PVOID context, PDEVICE_OBJECT attached, PDEVICE_OBJECT) {
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x957, METHOD_BUFFERED, FILE_ANY_ACCESS);
    if (!SendEarly(static_cast<EarlyRequest*>(context), attached, code)) return;
    // Host time, not a wait on the sender: nothing the sender does is ordered
    // before what this thread does next.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The request comes back (sized before the filter added its own locations, it
// still has one for every device in the stack), and under the thread
// sanitizer the stack size the filter raises is read and written whole.
TEST_F(FilterDeviceTest, ARequestSizedAsTheFilterJoinsTheStackComesBack) {
    WriteMachine({{"1", {"ZvEchowell"}, {}, 1}});
    EarlyRequest joining;
    KpIoSetAttachHook(&SendWhileTheFilterJoins, &joining);
    PDEVICE_OBJECT pdo = Plug("1");
    if (joining.Sender.joinable()) joining.Sender.join();
    KpIoSetAttachHook(nullptr, nullptr);
    ASSERT_NE(joining.Fdo.load(), nullptr);
    EXPECT_EQ(joining.Status, STATUS_SUCCESS);
    EXPECT_EQ(FilterOf(pdo, u"\\Driver\\ZvEchowell"), joining.Fdo.load());
    ASSERT_EQ(KpPnpRemoveDevice(pdo), STATUS_SUCCESS);
}

TEST_F(FilterDeviceTest, EveryAddDeviceFailureUndoesItsWorkAndFreesTheMasterRole) {
    WriteMachine({
        {"1", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1},
        {"2", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1},
        {"3", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1},
    });
    PDEVICE_OBJECT pdo = nullptr;
    // The function driver creates and attaches its device first; the filter's
    // calls are the second of each kind.
    KpIoFailCall(KpFaultCreateDevice, 2);
    EXPECT_NE(KpPnpAddDevice(InstancePath("1"), &pdo), STATUS_SUCCESS);
    KpIoClearFailures();
    KpIoFailCall(KpFaultAttachDevice, 2);
    EXPECT_EQ(KpPnpAddDevice(InstancePath("2"), &pdo), STATUS_UNSUCCESSFUL);
    KpIoClearFailures();
    KpIoDrainWorkQueues();
    // A failed AddDevice takes the whole device away again.
    EXPECT_EQ(KpPnpFindPdo(InstancePath("1")), nullptr);
    EXPECT_EQ(KpPnpFindPdo(InstancePath("2")), nullptr);
    // Nothing took the role for good: the next candidate is master.
    pdo = Plug("3");
    ASSERT_NE(ExtensionOf(pdo), nullptr);
    EXPECT_EQ(ExtensionOf(pdo)->MasterFlag, 1u);
    EXPECT_EQ(KpPnpNotificationCount(), 1u);
    auto calls = LogicCalls("Echowell");
    // The failed attempts never reached the logic.
    EXPECT_EQ(calls, (std::vector<std::string>{"OnFilterLoad(1)", "OnDecidePinDirs(1)",
                                               "OnSharedVariableChange(2,1)",
                                               "OnSharedVariableChange(1,1)"}));
}

}  // namespace
}  // namespace zvtest

extern InternalDeviceTable RecordingInternalDevices;

namespace zvtest {
namespace {

TEST_F(FilterDeviceTest, TheFilterDeviceCopiesItsLowerDeviceAndPointsItsVariablesAtItself) {
    WriteMachine({{"1", {"ZvEchowell"}, {}, 1}});
    PDEVICE_OBJECT pdo = Plug("1");
    PDEVICE_OBJECT fdo = FilterOf(pdo, u"\\Driver\\ZvEchowell");
    ASSERT_NE(fdo, nullptr);
    PDEVICE_OBJECT lower = pdo->AttachedDevice;
    EXPECT_EQ(fdo->StackSize, lower->StackSize + 1 + 4);
    EXPECT_EQ(fdo->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH),
              lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH));
    EXPECT_NE(fdo->Flags & DO_DIRECT_IO, 0u);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(fdo->DeviceType, lower->DeviceType);
    EXPECT_EQ(fdo->Characteristics, lower->Characteristics);
    FilterDeviceExtension* ext = FilterExtension(fdo);
    EXPECT_EQ(ext->InstPinDirsPtr, &ext->HandledDirections);
    EXPECT_EQ(ext->InstPinDirsSize, 4u);
    EXPECT_EQ(ext->InstMasterStackPtr, &ext->MasterFlag);
    EXPECT_EQ(ext->InstMasterStackSize, 4u);
    EXPECT_EQ(ext->NotificationHandle, nullptr);
}

TEST_F(FilterDeviceTest, TheDeviceListAcceptsByVendorProductAndLowRevisionByte) {
    E2EDevice hd("2");
    hd.HardwareId = "HDAUDIO\\FUNC_01&VEN_10EC";
    WriteMachine({{"1", {}, {}, 1}, hd});
    PDEVICE_OBJECT usb = Plug("1");
    PDEVICE_OBJECT other = Plug("2");
    InternalDeviceEntry entry = {0x1234, 0xABCD, 2};
    RecordingInternalDevices = {1, &entry};
    EXPECT_EQ(IsDeviceInList(nullptr, usb), 1u);
    entry.MinimumRevision = 3;  // REV_0102 counts as 2
    EXPECT_EQ(IsDeviceInList(nullptr, usb), 0u);
    entry = {0x1234, 0xABCE, 0};
    EXPECT_EQ(IsDeviceInList(nullptr, usb), 0u);
    entry = {0x1234, 0xABCD, 0};
    LogModule<LogModuleDrvMain>::ModuleSetLevel(1, 1);
    EXPECT_EQ(IsDeviceInList(nullptr, other), 0u);
    LogModule<LogModuleDrvMain>::ModuleSetLevel(2, 0);
    RecordingInternalDevices = {0, nullptr};
    auto lines = DbgLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("Echowell.DrvMain: IsDeviceInList> PDO(0x") != std::string::npos &&
               line.find(
                   "): ID(HDAUDIO\\FUNC_01&VEN_10EC) is not a USB ID. Not hooking this "
                   "device...") != std::string::npos;
    })) << ::testing::PrintToString(lines);
}

}  // namespace
}  // namespace zvtest

namespace zvtest {
namespace {

TEST_F(FilterDeviceTest, AStartThatPendsIsWaitedForAndAFailedStartUnloadsTheLogic) {
    E2EDevice pending("1", {"ZvEchowell"}, {}, 1);
    pending.PendStart = 1;
    E2EDevice failing("2", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1);
    failing.FailStart = static_cast<ULONG>(STATUS_DEVICE_NOT_READY);
    E2EDevice next("3", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1);
    WriteMachine({pending, failing, next});
    PDEVICE_OBJECT pdo = Plug("1");
    ASSERT_NE(ExtensionOf(pdo), nullptr);
    EXPECT_EQ(ExtensionOf(pdo)->PnpState, 1);

    KpIoTraceClear();
    PDEVICE_OBJECT failed = nullptr;
    EXPECT_EQ(KpPnpAddDevice(InstancePath("2"), &failed), STATUS_DEVICE_NOT_READY);
    KpIoDrainWorkQueues();
    auto calls = LogicCalls("Echowell");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "OnFilterLoad(1)"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "OnFilterUnload(1)"), 1);
    // Its stop gave the role back.
    PDEVICE_OBJECT master = Plug("3");
    EXPECT_EQ(ExtensionOf(master)->MasterFlag, 1u);
}

}  // namespace
}  // namespace zvtest
