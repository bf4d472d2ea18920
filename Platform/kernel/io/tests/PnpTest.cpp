// The PnP manager and the loader on a machine folder: device stacks built from
// a .reg description, their start and removal, driver unloads, interfaces and
// their notifications, device properties and registry keys.
#include <algorithm>
#include <atomic>
#include <thread>

#include "IoTestSupport.h"
#include "TestDriverProtocol.h"
#include "kp/dbgsink.h"
#include "kp/registry.h"

namespace kp::iotest {
namespace {

class PnpTest : public IoTest {
protected:
    // Sends a buffered control code to the top of the device's stack through a
    // file on its interface; returns the status and the ULONG answer.
    NTSTATUS QueryCounter(PDEVICE_OBJECT pdo, ULONG code, ULONG* value) {
        auto links = KpPnpInterfaceLinks(pdo, true);
        if (links.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        UNICODE_STRING name;
        std::u16string link = links[0];
        name.Buffer = link.data();
        name.Length = name.MaximumLength = static_cast<USHORT>(link.size() * 2);
        PFILE_OBJECT file;
        PDEVICE_OBJECT top;
        NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top);
        if (!NT_SUCCESS(status)) return status;
        KEVENT event;
        IO_STATUS_BLOCK iosb;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, top, nullptr, 0, value, sizeof *value, FALSE,
                                                 &event, &iosb);
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        status = IoCallDriver(top, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        ObDereferenceObject(file);
        return status;
    }

    static std::vector<PDEVICE_OBJECT> Stack(PDEVICE_OBJECT pdo) {
        std::vector<PDEVICE_OBJECT> stack;
        for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) stack.push_back(d);
        return stack;
    }

    static std::string DriverOf(PDEVICE_OBJECT device) {
        UNICODE_STRING& name = device->DriverObject->DriverName;
        return Narrow(std::u16string(name.Buffer, name.Length / 2));
    }
};

const std::string kPnp = IrpText(IRP_MJ_PNP, IRP_MN_START_DEVICE).substr(0, 5);
std::string Pnp(UCHAR minor) {
    return IrpText(IRP_MJ_PNP, minor);
}

// Only the PnP requests and events of a trace.
std::vector<std::string> PnpOnly(const std::vector<std::string>& trace) {
    std::vector<std::string> out;
    for (auto& entry : trace) {
        if (entry.rfind("0x", 0) != 0 || entry.rfind(kPnp, 0) == 0) out.push_back(entry);
    }
    return out;
}

TEST_F(PnpTest, ThreeDriverStackFromARegFileStartsAndGoesAwayWithUnloadsLast) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() + TestDevice("5&1&0", true));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS) << ::testing::PrintToString(KpDbgLines());
    PDEVICE_OBJECT pdo = KpPnpFindPdo(u"usb\\vid_1234&pid_abcd\\5&1&0");
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(KpPnpGetState(pdo), KpPnpStarted);

    auto stack = Stack(pdo);
    ASSERT_EQ(stack.size(), 3u);
    EXPECT_EQ(DriverOf(stack[0]), "\\Driver\\KpBus");
    EXPECT_EQ(DriverOf(stack[1]), "\\Driver\\KpTestFunction");
    EXPECT_EQ(DriverOf(stack[2]), "\\Driver\\KpTestFilter");
    EXPECT_EQ(stack[2]->StackSize, 3);
    EXPECT_EQ(KpPnpInterfaceLinks(pdo, true).size(), 2u);  // the interface and its alias

    // AddDevice in stack order; START passes the filter, then the function driver.
    EXPECT_EQ(PnpOnly(TraceOf(kKpTestFunctionLabel)),
              (std::vector<std::string>{"driver-entry", "add-device", Pnp(IRP_MN_START_DEVICE),
                                        Pnp(IRP_MN_QUERY_PNP_DEVICE_STATE)}));
    EXPECT_EQ(PnpOnly(TraceOf(kKpTestFilterLabel)),
              (std::vector<std::string>{"driver-entry", "add-device", Pnp(IRP_MN_START_DEVICE),
                                        Pnp(IRP_MN_QUERY_PNP_DEVICE_STATE)}));
    auto entries = KpIoTraceEntries();
    auto firstAdd = [&](const std::string& who) {
        return std::find_if(entries.begin(), entries.end(),
                            [&](auto& e) { return e.Who == who && e.Event == "add-device"; }) -
               entries.begin();
    };
    EXPECT_LT(firstAdd(kKpTestFunctionLabel), firstAdd(kKpTestFilterLabel));

    // Each image keeps its own copy of the library both link.
    ULONG count = 0;
    EXPECT_EQ(QueryCounter(pdo, IOCTL_KPTEST_COUNTER, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    count = 0;
    EXPECT_EQ(QueryCounter(pdo, IOCTL_KPTEST_FILTER_COUNTER, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);

    KpIoTraceClear();
    EXPECT_EQ(KpPnpSurpriseRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpGetState(pdo), KpPnpSurpriseRemoved);
    EXPECT_TRUE(KpPnpInterfaceLinks(pdo, true).empty());
    EXPECT_EQ(KpPnpRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\5&1&0"), nullptr);
    EXPECT_EQ(KpFindDriver(u"KpTestFunction"), nullptr);
    EXPECT_EQ(KpFindDriver(u"KpTestFilter"), nullptr);

    std::vector<std::string> order;
    for (auto& e : KpIoTraceEntries()) {
        order.push_back(e.Who + ":" + (e.Event == "irp" ? IrpText(e.Major, e.Minor) : e.Event));
    }
    EXPECT_EQ(order,
              (std::vector<std::string>{
                  "filter:" + Pnp(IRP_MN_SURPRISE_REMOVAL),
                  "function:" + Pnp(IRP_MN_SURPRISE_REMOVAL), "filter:" + Pnp(IRP_MN_REMOVE_DEVICE),
                  "function:" + Pnp(IRP_MN_REMOVE_DEVICE), "filter:unload", "function:unload"}));
}

TEST_F(PnpTest, ARefusedQueryRemoveIsCancelledAndTheDeviceRuns) {
    TestMachine machine;
    machine.WriteRegistry(
        StandardServices() +
        TestDevice("1", true, "", "\"FailQueryRemove\"=" + RegDword(0xC0000001) + "\r\n"));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\1");
    KpIoTraceClear();
    EXPECT_EQ(KpPnpRemoveDevice(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(KpPnpGetState(pdo), KpPnpStarted);
    EXPECT_EQ(TraceOf(kKpTestFilterLabel),
              (std::vector<std::string>{Pnp(IRP_MN_QUERY_REMOVE_DEVICE),
                                        Pnp(IRP_MN_CANCEL_REMOVE_DEVICE)}));
    EXPECT_EQ(KpPnpInterfaceLinks(pdo, true).size(), 2u);
}

TEST_F(PnpTest, RestartRebuildsTheStackFromTheRegistry) {
    TestMachine machine;
    machine.WriteRegistry(
        StandardServices() + TestDevice("4", false) +
        TestDevice("5", false, "", "\"FailQueryRemove\"=" + RegDword(0xC0000001) + "\r\n"));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    const std::u16string instance = u"USB\\VID_1234&PID_ABCD\\4";
    const std::u16string key = std::u16string(kKpEnumPath) + u"\\" + instance;
    PDEVICE_OBJECT pdo = KpPnpFindPdo(instance);
    EXPECT_EQ(KpPnpStackServices(pdo), (std::vector<std::u16string>{u"KpTestFunction"}));
    ASSERT_EQ(kp::reg::SetMultiString(key, u"UpperFilters", {u"KpTestFilter"}), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpRestartDevice(pdo), STATUS_SUCCESS);
    pdo = KpPnpFindPdo(instance);
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(KpPnpStackServices(pdo),
              (std::vector<std::u16string>{u"KpTestFunction", u"KpTestFilter"}));

    // A refused removal leaves the device running with its stack.
    PDEVICE_OBJECT refusing = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\5");
    EXPECT_EQ(KpPnpRestartDevice(refusing), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\5"), refusing);
    EXPECT_EQ(KpPnpGetState(refusing), KpPnpStarted);

    // A stack that does not start again leaves the device removed.
    ASSERT_EQ(kp::reg::SetDword(key + u"\\Device Parameters", u"FailStart", 0xC0000185),
              STATUS_SUCCESS);
    EXPECT_EQ(KpPnpRestartDevice(pdo), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(KpPnpFindPdo(instance), nullptr);
}

TEST_F(PnpTest, QueryRemoveThenCancelThenOrderlyRemoval) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() + TestDevice("2", false));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\2");
    EXPECT_EQ(Stack(pdo).size(), 2u);
    KpIoTraceClear();
    EXPECT_EQ(KpPnpQueryRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpGetState(pdo), KpPnpQueryRemoved);
    EXPECT_EQ(KpPnpCancelRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpGetState(pdo), KpPnpStarted);
    EXPECT_EQ(KpPnpCancelRemove(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(KpPnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(TraceOf(kKpTestFunctionLabel),
              (std::vector<std::string>{
                  Pnp(IRP_MN_QUERY_REMOVE_DEVICE), Pnp(IRP_MN_CANCEL_REMOVE_DEVICE),
                  Pnp(IRP_MN_QUERY_REMOVE_DEVICE), Pnp(IRP_MN_REMOVE_DEVICE), "unload"}));
}

TEST_F(PnpTest, AFailedStartRemovesWhatWasBuiltAndUnloadsTheDrivers) {
    TestMachine machine;
    machine.WriteRegistry(
        StandardServices() +
        TestDevice("3", true, "", "\"FailStart\"=" + RegDword(0xC0000185) + "\r\n"));
    ASSERT_EQ(KpPnpBoot(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\3"), nullptr);
    EXPECT_EQ(PnpOnly(TraceOf(kKpTestFunctionLabel)),
              (std::vector<std::string>{"driver-entry", "add-device", Pnp(IRP_MN_START_DEVICE),
                                        Pnp(IRP_MN_REMOVE_DEVICE), "unload"}));
    EXPECT_EQ(KpFindDriver(u"KpTestFilter"), nullptr);
}

TEST_F(PnpTest, MissingImagesAndServicesFailTheDeviceLoudly) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() +
                          TestDevice("4", false, "\"UpperFilters\"=" + RegMultiSz({"NoSuch"})));
    ASSERT_EQ(KpPnpBoot(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\4"), nullptr);
    bool logged = false;
    for (auto& line : KpDbgLines()) logged |= line.find("NoSuch") != std::string::npos;
    EXPECT_TRUE(logged);
    EXPECT_EQ(KpFindDriver(u"KpTestFunction"), nullptr);
}

TEST_F(PnpTest, AClassUpperFilterAttachesToAStackThatArrivesLater) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() + TestDevice("5", false));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    EXPECT_EQ(Stack(KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\5")).size(), 2u);
    // Installed while the machine runs: the class gets the filter, a new device arrives.
    std::u16string classKey =
        std::u16string(kKpClassPath) + u"\\{5a0e1c2b-7f31-4d6a-9b1e-2c4d6e8f0aff}";
    ASSERT_EQ(kp::reg::SetMultiString(classKey, u"UpperFilters", {u"KpTestFilter"}),
              STATUS_SUCCESS);
    std::u16string deviceKey = std::u16string(kKpEnumPath) + u"\\USB\\VID_1234&PID_ABCD\\6";
    ASSERT_EQ(kp::reg::SetString(deviceKey, u"Service", u"KpTestFunction"), STATUS_SUCCESS);
    ASSERT_EQ(
        kp::reg::SetString(deviceKey, u"ClassGUID", u"{5a0e1c2b-7f31-4d6a-9b1e-2c4d6e8f0aff}"),
        STATUS_SUCCESS);
    PDEVICE_OBJECT later;
    ASSERT_EQ(KpPnpAddDevice(u"USB\\VID_1234&PID_ABCD\\6", &later), STATUS_SUCCESS);
    auto stack = Stack(later);
    ASSERT_EQ(stack.size(), 3u);
    EXPECT_EQ(DriverOf(stack[2]), "\\Driver\\KpTestFilter");
    EXPECT_EQ(KpPnpAddDevice(u"USB\\VID_1234&PID_ABCD\\6", nullptr), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(KpPnpAddDevice(u"USB\\VID_1234&PID_ABCD\\7", nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
}

// ---------------------------------------------------------------------------
// Interfaces and notifications
// ---------------------------------------------------------------------------
struct Heard {
    std::vector<std::string> Events;
    std::vector<std::u16string> Links;
    int* HandleWritten = nullptr;
    PVOID* Handle = nullptr;
};

NTSTATUS Listen(PVOID structure, PVOID context) {
    auto heard = static_cast<Heard*>(context);
    auto n = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(structure);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(n->InterfaceClassGuid == KPTEST_INTERFACE_CLASS);
    std::string event = n->Event == GUID_DEVICE_INTERFACE_ARRIVAL   ? "arrival"
                        : n->Event == GUID_DEVICE_INTERFACE_REMOVAL ? "removal"
                                                                    : "other";
    if (heard->Handle != nullptr && *heard->Handle == nullptr) event += "-before-handle";
    heard->Events.push_back(event);
    heard->Links.emplace_back(n->SymbolicLinkName->Buffer, n->SymbolicLinkName->Length / 2);
    return STATUS_SUCCESS;
}

TEST_F(PnpTest, NotificationsReportExistingInterfacesFirstThenChanges) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() + TestDevice("8", false));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    PDEVICE_OBJECT first = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\8");
    LambdaDriver listener;

    PVOID handle = nullptr;
    Heard heard;
    heard.Handle = &handle;
    GUID cls = KPTEST_INTERFACE_CLASS;
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                             PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
                                             &cls, listener.Driver(), Listen, &heard, &handle),
              STATUS_SUCCESS);
    // The existing interface was reported inside the call, before the handle came out.
    EXPECT_EQ(heard.Events, (std::vector<std::string>{"arrival-before-handle"}));
    EXPECT_EQ(heard.Links, KpPnpInterfaceLinks(first, true).size()
                               ? std::vector<std::u16string>{heard.Links[0]}
                               : std::vector<std::u16string>{});
    std::u16string link = heard.Links[0];
    EXPECT_EQ(link,
              u"\\??\\USB#VID_1234&PID_ABCD#8#{5a0e1c2b-7f31-4d6a-9b1e-2c4d6e8f0a11}\\global");

    // A registration without INCLUDE_EXISTING hears nothing now.
    Heard quiet;
    PVOID quietHandle;
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, &cls,
                                             listener.Driver(), Listen, &quiet, &quietHandle),
              STATUS_SUCCESS);
    EXPECT_TRUE(quiet.Events.empty());

    // A device that arrives later, then goes.
    KpPnpDeviceDescription description;
    description.InstancePath = u"USB\\VID_1234&PID_ABCD\\9";
    description.HardwareIds = {u"USB\\VID_1234&PID_ABCD"};
    description.Service = u"KpTestFunction";
    ASSERT_EQ(KpPnpWriteDevice(description), STATUS_SUCCESS);
    PDEVICE_OBJECT second;
    ASSERT_EQ(KpPnpAddDevice(u"USB\\VID_1234&PID_ABCD\\9", &second), STATUS_SUCCESS);
    EXPECT_EQ(heard.Events, (std::vector<std::string>{"arrival-before-handle", "arrival"}));
    EXPECT_EQ(quiet.Events, (std::vector<std::string>{"arrival"}));
    ASSERT_EQ(IoUnregisterPlugPlayNotification(quietHandle), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpRemoveDevice(second), STATUS_SUCCESS);
    EXPECT_EQ(heard.Events,
              (std::vector<std::string>{"arrival-before-handle", "arrival", "removal"}));
    EXPECT_EQ(heard.Links[1], heard.Links[2]);
    EXPECT_EQ(quiet.Events.size(), 1u);

    ASSERT_EQ(IoUnregisterPlugPlayNotification(handle), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpRemoveDevice(first), STATUS_SUCCESS);
    EXPECT_EQ(heard.Events.size(), 3u);
}

TEST_F(PnpTest, AliasesAndInterfaceListsFollowTheDeviceAndReferenceString) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() + TestDevice("10", false));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\10");
    std::u16string link =
        u"\\??\\USB#VID_1234&PID_ABCD#10#{5a0e1c2b-7f31-4d6a-9b1e-2c4d6e8f0a11}\\global";
    UNICODE_STRING name, alias;
    name.Buffer = link.data();
    name.Length = name.MaximumLength = static_cast<USHORT>(link.size() * 2);
    ASSERT_EQ(IoGetDeviceInterfaceAlias(&name, &KPTEST_ALIAS_CLASS, &alias), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(alias.Buffer, alias.Length / 2),
              u"\\??\\USB#VID_1234&PID_ABCD#10#{5a0e1c2b-7f31-4d6a-9b1e-2c4d6e8f0a12}\\global");
    RtlFreeUnicodeString(&alias);
    EXPECT_EQ(IoGetDeviceInterfaceAlias(&name, &KPTEST_UNUSED_CLASS, &alias),
              STATUS_OBJECT_NAME_NOT_FOUND);

    PWSTR list = nullptr;
    ASSERT_EQ(IoGetDeviceInterfaces(&KPTEST_INTERFACE_CLASS, nullptr, 0, &list), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(list), link);
    EXPECT_EQ(list[link.size() + 1], 0);
    ExFreePool(list);
    ASSERT_EQ(IoGetDeviceInterfaces(&KPTEST_UNUSED_CLASS, nullptr, 0, &list), STATUS_SUCCESS);
    EXPECT_EQ(list[0], 0);
    ExFreePool(list);

    // Registering the same interface again gives the same link.
    UNICODE_STRING again, reference;
    RtlInitUnicodeString(&reference, u"global");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &KPTEST_INTERFACE_CLASS, &reference, &again),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(again.Buffer, again.Length / 2), link);
    EXPECT_EQ(IoSetDeviceInterfaceState(&again, TRUE), STATUS_OBJECT_NAME_EXISTS);
    RtlFreeUnicodeString(&again);
}

// ---------------------------------------------------------------------------
// Device properties and keys
// ---------------------------------------------------------------------------
TEST_F(PnpTest, HardwareIdPropertyIsAMultiStringWithItsSizeOnAShortBuffer) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() + TestDevice("11", false));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\11");
    std::u16string expected = u"USB\\VID_1234&PID_ABCD&REV_0102";
    expected.push_back(0);
    expected += u"USB\\VID_1234&PID_ABCD";
    expected.push_back(0);
    expected.push_back(0);
    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, expected.size() * 2);
    std::vector<WCHAR> buffer(needed / 2);
    EXPECT_EQ(
        IoGetDeviceProperty(pdo, DevicePropertyHardwareID, needed - 2, buffer.data(), &needed),
        STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, needed, buffer.data(), &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer.begin(), buffer.end()), expected);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, 0, nullptr, &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    std::vector<WCHAR> enumerator(8);
    ASSERT_EQ(
        IoGetDeviceProperty(pdo, DevicePropertyEnumeratorName, 16, enumerator.data(), &needed),
        STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(enumerator.data()), u"USB");
}

TEST_F(PnpTest, DeviceRegistryKeysAreDistinctPerTypeAndFailOnRequest) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() + TestDevice("12", false) + TestDevice("13", false));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    PDEVICE_OBJECT a = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\12");
    PDEVICE_OBJECT b = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\13");
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, u"Mark");
    ULONG types[] = {PLUGPLAY_REGKEY_DEVICE, PLUGPLAY_REGKEY_DRIVER,
                     PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE};
    for (ULONG i = 0; i < 3; i++) {
        HANDLE key;
        ASSERT_EQ(IoOpenDeviceRegistryKey(a, types[i], KEY_ALL_ACCESS, &key), STATUS_SUCCESS)
            << types[i];
        ULONG mark = 100 + i;
        EXPECT_EQ(ZwSetValueKey(key, &valueName, 0, REG_DWORD, &mark, 4), STATUS_SUCCESS);
        ZwClose(key);
    }
    for (ULONG i = 0; i < 3; i++) {
        for (PDEVICE_OBJECT pdo : {a, b}) {
            HANDLE key;
            ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, types[i], KEY_QUERY_VALUE, &key),
                      STATUS_SUCCESS);
            UCHAR buffer[32];
            ULONG length;
            NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer,
                                              sizeof buffer, &length);
            if (pdo == a) {
                ASSERT_EQ(status, STATUS_SUCCESS);
                EXPECT_EQ(*reinterpret_cast<ULONG*>(
                              reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->Data),
                          100 + i);
            } else {
                EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
            }
            ZwClose(key);
        }
    }
    KpPnpFailRegistryKey(b, PLUGPLAY_REGKEY_DRIVER, STATUS_OBJECT_NAME_NOT_FOUND);
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(b, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    ASSERT_EQ(IoOpenDeviceRegistryKey(a, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
    KpPnpFailRegistryKey(b, PLUGPLAY_REGKEY_DRIVER, STATUS_SUCCESS);
    ASSERT_EQ(IoOpenDeviceRegistryKey(b, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(PnpTest, TargetRelationsAndQueryInterfaceAtTheBus) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() + TestDevice("14", true));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\14");
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);

    auto send = [&](UCHAR minor, auto setup, ULONG_PTR* info) {
        KEVENT event;
        IO_STATUS_BLOCK iosb;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &iosb);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MinorFunction = minor;
        setup(stack);
        NTSTATUS status = IoCallDriver(top, irp);
        if (status == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        *info = iosb.Information;
        return iosb.Status;
    };
    ULONG_PTR info = 0;
    ASSERT_EQ(send(
                  IRP_MN_QUERY_DEVICE_RELATIONS,
                  [](PIO_STACK_LOCATION s) {
                      s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
                  },
                  &info),
              STATUS_SUCCESS);
    auto relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
    ASSERT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], pdo);
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);

    INTERFACE record{};
    auto query = [&](PIO_STACK_LOCATION s) {
        s->Parameters.QueryInterface.InterfaceType = &KPTEST_UNUSED_CLASS;
        s->Parameters.QueryInterface.Size = sizeof record;
        s->Parameters.QueryInterface.Interface = &record;
    };
    EXPECT_EQ(send(IRP_MN_QUERY_INTERFACE, query, &info), STATUS_NOT_SUPPORTED);
    KpPnpSetQueryInterfaceHandler(
        pdo,
        [](PVOID, PDEVICE_OBJECT, PIO_STACK_LOCATION s) -> NTSTATUS {
            s->Parameters.QueryInterface.Interface->Version = 7;
            return STATUS_SUCCESS;
        },
        nullptr);
    EXPECT_EQ(send(IRP_MN_QUERY_INTERFACE, query, &info), STATUS_SUCCESS);
    EXPECT_EQ(record.Version, 7);
    ObDereferenceObject(top);
}

// Answers with its version; counts the queries and notes the PDO it was given.
struct Answerer {
    USHORT Version;
    std::atomic<int> Queries{0};
    PDEVICE_OBJECT Pdo = nullptr;
    static NTSTATUS Answer(PVOID context, PDEVICE_OBJECT pdo, PIO_STACK_LOCATION stack) {
        auto* self = static_cast<Answerer*>(context);
        self->Queries++;
        self->Pdo = pdo;
        stack->Parameters.QueryInterface.Interface->Version = self->Version;
        return STATUS_SUCCESS;
    }
};

// The answers the filter traced to its queries at START, and the trace cleared.
std::vector<std::string> TakeStartAnswers() {
    std::vector<std::string> answers;
    for (auto& event : TraceOf("filter")) {
        if (event.rfind("query-interface", 0) == 0) answers.push_back(event);
    }
    KpIoTraceClear();
    return answers;
}

TEST_F(PnpTest, AnInstanceHandlerInstalledBeforeBootAnswersTheDriversStartAndStopsWhenRemoved) {
    TestMachine machine;
    const std::string query = "\"QueryInterfaceAtStart\"=" + RegDword(1) + "\r\n";
    machine.WriteRegistry(StandardServices() + TestDevice("20", true, "", query) +
                          TestDevice("21", true, "", query));
    const std::string answered = "query-interface 0x00000000 version ";
    const std::string unanswered = "query-interface 0xC00000BB version 0";
    Answerer mine{7}, other{9};
    // Installed by a spelling of another case, for a device not yet there; a
    // second handler goes to the other device only.
    KpPnpSetInstanceQueryInterfaceHandler(u"usb\\vid_1234&pid_abcd\\20", &Answerer::Answer, &mine);
    KpPnpSetInstanceQueryInterfaceHandler(u"USB\\VID_1234&PID_ABCD\\21", &Answerer::Answer, &other);
    KpIoTraceClear();
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS) << ::testing::PrintToString(KpDbgLines());
    PDEVICE_OBJECT pdo = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\20");
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(TakeStartAnswers(), (std::vector<std::string>{answered + "7", answered + "9"}));
    EXPECT_EQ(mine.Queries, 1);
    EXPECT_EQ(mine.Pdo, pdo);

    // A restart builds a new PDO for the instance: the handler stays with it.
    ASSERT_EQ(KpPnpRestartDevice(pdo), STATUS_SUCCESS);
    pdo = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\20");
    EXPECT_EQ(TakeStartAnswers(), std::vector<std::string>{answered + "7"});
    EXPECT_EQ(mine.Pdo, pdo);

    // Removed: the running device no longer answers, nor does the next one.
    KpPnpSetInstanceQueryInterfaceHandler(u"USB\\VID_1234&PID_ABCD\\20", nullptr, nullptr);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    INTERFACE record{};
    EXPECT_EQ(KpTestQueryInterface(top, &record), STATUS_NOT_SUPPORTED);
    ObDereferenceObject(top);
    ASSERT_EQ(KpPnpRestartDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(TakeStartAnswers(), std::vector<std::string>{unanswered});
    EXPECT_EQ(mine.Queries, 2);
    // The other instance's handler was left in place.
    ASSERT_EQ(KpPnpRestartDevice(KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\21")), STATUS_SUCCESS);
    EXPECT_EQ(TakeStartAnswers(), std::vector<std::string>{answered + "9"});
    KpPnpSetInstanceQueryInterfaceHandler(u"USB\\VID_1234&PID_ABCD\\21", nullptr, nullptr);
    EXPECT_EQ(other.Queries, 2);
}

TEST_F(PnpTest, AFilterThatAttachedToAnotherStackUnloadsWhenThatStackGoes) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() + TestDevice("18", true) + TestDevice("19", false));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    PDEVICE_OBJECT withFilter = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\18");
    PDEVICE_OBJECT running = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\19");
    // The filter puts itself on top of the running stack, as a master hooks a slave.
    PDRIVER_OBJECT filter = KpFindDriver(u"KpTestFilter");
    ASSERT_NE(filter, nullptr);
    ASSERT_EQ(filter->DriverExtension->AddDevice(filter, running), STATUS_SUCCESS);
    EXPECT_EQ(Stack(running).size(), 3u);

    KpIoTraceClear();
    ASSERT_EQ(KpPnpRemoveDevice(withFilter), STATUS_SUCCESS);
    EXPECT_EQ(KpFindDriver(u"KpTestFilter"), filter);  // still has a device elsewhere
    auto filterTrace = TraceOf(kKpTestFilterLabel);
    EXPECT_EQ(std::count(filterTrace.begin(), filterTrace.end(), "unload"), 0);

    ASSERT_EQ(KpPnpRemoveDevice(running), STATUS_SUCCESS);
    EXPECT_EQ(KpFindDriver(u"KpTestFilter"), nullptr);
    EXPECT_EQ(TraceOf(kKpTestFilterLabel).back(), "unload");
}

TEST_F(PnpTest, TheBusPublishesInterfacesTheDescriptionGivesTheDevice) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices());
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    KpPnpDeviceDescription description;
    description.InstancePath = u"USB\\VID_1234&PID_ABCD\\21";
    description.Service = u"KpTestFunction";
    description.BusInterfaces = {u"{5A0E1C2B-7F31-4D6A-9B1E-2C4D6E8F0A13}\\wave",
                                 u"{5a0e1c2b-7f31-4d6a-9b1e-2c4d6e8f0a12}\\wave"};
    ASSERT_EQ(KpPnpWriteDevice(description), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo;
    ASSERT_EQ(KpPnpAddDevice(description.InstancePath, &pdo), STATUS_SUCCESS);
    // The function driver's two plus the bus's two.
    EXPECT_EQ(KpPnpInterfaceLinks(pdo, true).size(), 4u);
    std::u16string link =
        u"\\??\\USB#VID_1234&PID_ABCD#21#{5a0e1c2b-7f31-4d6a-9b1e-2c4d6e8f0a13}\\wave";
    UNICODE_STRING name, alias;
    name.Buffer = link.data();
    name.Length = name.MaximumLength = static_cast<USHORT>(link.size() * 2);
    ASSERT_EQ(IoGetDeviceInterfaceAlias(&name, &KPTEST_ALIAS_CLASS, &alias), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(alias.Buffer, alias.Length / 2),
              u"\\??\\USB#VID_1234&PID_ABCD#21#{5a0e1c2b-7f31-4d6a-9b1e-2c4d6e8f0a12}\\wave");
    RtlFreeUnicodeString(&alias);
    // Not the alias of the function driver's interface: another reference string.
    EXPECT_EQ(IoGetDeviceInterfaceAlias(&name, &KPTEST_INTERFACE_CLASS, &alias),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(KpPnpRemoveDevice(pdo), STATUS_SUCCESS);

    description.InstancePath = u"USB\\VID_1234&PID_ABCD\\22";
    description.BusInterfaces = {u"not-a-guid"};
    ASSERT_EQ(KpPnpWriteDevice(description), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpAddDevice(description.InstancePath, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KpPnpFindPdo(description.InstancePath), nullptr);
}

TEST_F(PnpTest, BusExtensionsKeyedByAPdoGoWithThePdo) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() + TestDevice("17", false));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\17");
    PDRIVER_OBJECT bus = pdo->DriverObject;
    PVOID record = nullptr;
    ASSERT_EQ(IoAllocateDriverObjectExtension(bus, pdo, 16, &record), STATUS_SUCCESS);
    EXPECT_EQ(IoGetDriverObjectExtension(bus, pdo), record);
    PVOID key = pdo;
    ASSERT_EQ(KpPnpRemoveDevice(pdo), STATUS_SUCCESS);
    // A later PDO at the same address starts without the old record.
    EXPECT_EQ(IoGetDriverObjectExtension(bus, key), nullptr);
}

TEST_F(PnpTest, PowerRequestsPassDownTheStackToTheBus) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices() + TestDevice("15", true));
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\15");
    KpIoTraceClear();
    ULONG starts = KpPoStartNextPowerIrpCount();
    EXPECT_EQ(KpPnpSetDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(KpPoStartNextPowerIrpCount(), starts + 3);  // filter, function driver, bus
    EXPECT_EQ(TraceOf(kKpTestFilterLabel),
              (std::vector<std::string>{IrpText(IRP_MJ_POWER, IRP_MN_SET_POWER)}));
    EXPECT_EQ(TraceOf(kKpTestFunctionLabel),
              (std::vector<std::string>{IrpText(IRP_MJ_POWER, IRP_MN_SET_POWER)}));
}

struct Blocking {
    KEVENT Entered, Release;
    std::atomic<bool> Exited{false};
    std::atomic<bool> ExitedBeforeUnregisterReturned{false};
};

NTSTATUS BlockInCallback(PVOID, PVOID context) {
    auto blocking = static_cast<Blocking*>(context);
    KeSetEvent(&blocking->Entered, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&blocking->Release, Executive, KernelMode, FALSE, nullptr);
    blocking->Exited = true;
    return STATUS_SUCCESS;
}

TEST_F(PnpTest, UnregisteringWaitsForACallbackRunningOnAnotherThread) {
    TestMachine machine;
    machine.WriteRegistry(StandardServices());
    ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
    LambdaDriver listener;
    Blocking blocking;
    KeInitializeEvent(&blocking.Entered, NotificationEvent, FALSE);
    KeInitializeEvent(&blocking.Release, NotificationEvent, FALSE);
    GUID cls = KPTEST_INTERFACE_CLASS;
    PVOID handle;
    ASSERT_EQ(
        IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, &cls,
                                       listener.Driver(), BlockInCallback, &blocking, &handle),
        STATUS_SUCCESS);
    KpPnpDeviceDescription description;
    description.InstancePath = u"USB\\VID_1234&PID_ABCD\\16";
    description.Service = u"KpTestFunction";
    ASSERT_EQ(KpPnpWriteDevice(description), STATUS_SUCCESS);
    std::thread pnp(
        [] { EXPECT_EQ(KpPnpAddDevice(u"USB\\VID_1234&PID_ABCD\\16", nullptr), STATUS_SUCCESS); });
    KeWaitForSingleObject(&blocking.Entered, Executive, KernelMode, FALSE, nullptr);
    std::thread unregister([&] {
        EXPECT_EQ(IoUnregisterPlugPlayNotification(handle), STATUS_SUCCESS);
        blocking.ExitedBeforeUnregisterReturned = blocking.Exited.load();
    });
    KeSetEvent(&blocking.Release, IO_NO_INCREMENT, FALSE);
    unregister.join();
    pnp.join();
    EXPECT_TRUE(blocking.ExitedBeforeUnregisterReturned);
}

TEST(MachinePathTest, WindowsPathsMapIntoTheMachineFolderWithoutRegardToCase) {
    TestMachine machine;
    auto folder = machine.Folder();
    auto image = folder / "Windows" / "System32" / "drivers" / "KpTestFunction.sys";
    for (std::u16string path : {u"\\SystemRoot\\System32\\drivers\\KpTestFunction.sys",
                                u"%SystemRoot%\\system32\\DRIVERS\\kptestfunction.sys",
                                u"C:\\Windows\\System32\\drivers\\KPTESTFUNCTION.SYS",
                                u"\\??\\C:\\WINDOWS\\system32\\drivers\\KpTestFunction.sys",
                                u"System32\\drivers\\KpTestFunction.sys"}) {
        SCOPED_TRACE(Narrow(path));
        auto mapped = KpMapWindowsPath(path);
        ASSERT_TRUE(mapped.has_value());
        EXPECT_EQ(*mapped, image);
    }
    EXPECT_EQ(KpMapWindowsPath(u"C:\\Program Files\\New"), folder / "Program Files" / "New");
    EXPECT_FALSE(KpMapWindowsPath(u"D:\\Windows\\x.sys").has_value());
    EXPECT_FALSE(KpMapWindowsPath(u"drivers\\x.sys").has_value());
}

TEST(MachinePathTest, DotsAreResolvedInsideTheDrive) {
    TestMachine machine;
    auto folder = machine.Folder();
    const struct {
        std::u16string Path;
        std::filesystem::path Host;
    } kCases[] = {
        {u"C:\\..\\..\\..\\..\\..\\bin\\touch", folder / "bin" / "touch"},
        {u"C:\\Windows\\..\\..\\etc\\passwd", folder / "etc" / "passwd"},
        {u"\\SystemRoot\\..\\..\\x", folder / "x"},
        {u"System32\\..\\..\\..\\x", folder / "x"},
        {u"C:\\Program Files\\.\\a\\..\\b", folder / "Program Files" / "b"},
        {u"C:\\../../etc/passwd", folder / "etc" / "passwd"},
        {u"C:\\/etc\\passwd", folder / "etc" / "passwd"},
        {u"C:\\..", folder},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(Narrow(c.Path));
        auto mapped = KpMapWindowsPath(c.Path);
        ASSERT_TRUE(mapped.has_value());
        EXPECT_EQ(*mapped, c.Host);
    }
}

}  // namespace
}  // namespace kp::iotest
