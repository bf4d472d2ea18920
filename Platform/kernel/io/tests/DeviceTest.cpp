// Device objects, stacks, references, names and file objects, driver object
// extensions, work items and the WDM version switch.
#include <mutex>
#include <thread>

#include "IoTestSupport.h"
#include "kp/irql.h"

namespace kp::iotest {
namespace {

class DeviceTest : public IoTest {};

TEST_F(DeviceTest, AttachPublishesTheLowerLinkAndStackSizes) {
    LambdaDriver driver;
    auto complete = [](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT bottom = driver.Add(complete);
    EXPECT_EQ(bottom->StackSize, 1);
    EXPECT_TRUE(bottom->Flags & DO_DEVICE_INITIALIZING ? false : true);
    PDEVICE_OBJECT middle = driver.Add(complete, bottom);
    // Attaching to the bottom of a stack lands on its top.
    PDEVICE_OBJECT top = driver.Add(complete, bottom);
    EXPECT_EQ(top->KpAttachedTo, middle);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(bottom), top);

    LONG before = KpObjectReferenceCount(top);
    PDEVICE_OBJECT referenced = IoGetAttachedDeviceReference(bottom);
    EXPECT_EQ(referenced, top);
    EXPECT_EQ(KpObjectReferenceCount(top), before + 1);
    ObDereferenceObject(referenced);
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(top);
    EXPECT_EQ(lower, middle);
    ObDereferenceObject(lower);

    KpIoFailCall(KpFaultAttachDevice, 1);
    PDEVICE_OBJECT loose = driver.Add(complete);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(loose, bottom), nullptr);
    EXPECT_EQ(IoGetAttachedDevice(bottom), top);

    IoDetachDevice(middle);
    EXPECT_EQ(middle->AttachedDevice, nullptr);
    EXPECT_EQ(top->KpAttachedTo, nullptr);
}

// The attach hook runs on the attaching thread once the new device is the top
// of the stack and before IoAttachDeviceToDeviceStack returns: a request sent
// from it goes through the new device to the one below.
TEST_F(DeviceTest, TheAttachHookSeesTheNewTopBeforeTheAttachReturns) {
    struct Seen {
        ULONG Calls = 0;
        PDEVICE_OBJECT Attached = nullptr;
        PDEVICE_OBJECT Lower = nullptr;
        PDEVICE_OBJECT Top = nullptr;
        NTSTATUS Sent = STATUS_UNSUCCESSFUL;
    } seen;
    LambdaDriver driver;
    ULONG bottomCalls = 0;
    PDEVICE_OBJECT bottom = driver.Add([&](PDEVICE_OBJECT, PIRP irp) {
        ++bottomCalls;
        return CompleteIrp(irp, STATUS_SUCCESS);
    });
    KpIoSetAttachHook(
        [](PVOID context, PDEVICE_OBJECT attached, PDEVICE_OBJECT lower) {
            auto s = static_cast<Seen*>(context);
            ++s->Calls;
            s->Attached = attached;
            s->Lower = lower;
            s->Top = IoGetAttachedDevice(lower);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb = {};
            PIRP irp = IoBuildDeviceIoControlRequest(0x220000, attached, nullptr, 0, nullptr, 0,
                                                     FALSE, &event, &iosb);
            s->Sent = IoCallDriver(attached, irp);
        },
        &seen);
    PDEVICE_OBJECT top =
        driver.Add([](PDEVICE_OBJECT self, PIRP irp) { return PassDown(self, irp); }, bottom);
    KpIoSetAttachHook(nullptr, nullptr);
    EXPECT_EQ(seen.Calls, 1u);
    EXPECT_EQ(seen.Attached, top);
    EXPECT_EQ(seen.Lower, bottom);
    EXPECT_EQ(seen.Top, top);
    EXPECT_EQ(seen.Sent, STATUS_SUCCESS);
    EXPECT_EQ(bottomCalls, 1u);
    // Removed, it is called no more.
    driver.Add([](PDEVICE_OBJECT self, PIRP irp) { return PassDown(self, irp); }, bottom);
    EXPECT_EQ(seen.Calls, 1u);
}

TEST_F(DeviceTest, CreateDeviceFailureIsInjectable) {
    LambdaDriver driver;
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    KpIoFailCall(KpFaultCreateDevice, 1);
    EXPECT_EQ(IoCreateDevice(driver.Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
}

TEST_F(DeviceTest, ADeviceDeletedInsideItsDispatchLivesUntilTheDispatchReturns) {
    LambdaDriver driver;
    ULONG live = 0;
    PDEVICE_OBJECT device = driver.Add([&](PDEVICE_OBJECT self, PIRP irp) {
        IoDeleteDevice(self);
        live = KpIoLiveDeviceObjectCount();
        self->Flags |= DO_BUFFERED_IO;  // still valid memory
        return CompleteIrp(irp, STATUS_SUCCESS);
    });
    ULONG before = KpIoLiveDeviceObjectCount();
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
        nullptr, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    IoCallDriver(device, irp);
    EXPECT_EQ(live, before);
    EXPECT_EQ(KpIoLiveDeviceObjectCount(), before - 1);
    driver.Forget(device);
    IoFreeIrp(irp);
}

TEST_F(DeviceTest, DeletingADeviceStillAttachedBelowIsABugCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    LambdaDriver driver;
    auto complete = [](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT bottom = driver.Add(complete);
    PDEVICE_OBJECT top = driver.Add(complete, bottom);
    EXPECT_DEATH(IoDeleteDevice(top), "STOP: 0x000000C4.*IoDetachDevice first");
}

TEST_F(DeviceTest, ADeviceDeletedUnderAnAttachedOneStaysUntilItDetaches) {
    // The removal order of a stack: the lower driver deletes its device while the
    // upper one, still attached, has yet to detach.
    LambdaDriver driver;
    auto complete = [](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT bottom = driver.Add(complete);
    PDEVICE_OBJECT middle = driver.Add(complete, bottom);
    PDEVICE_OBJECT top = driver.Add(complete, middle);
    ULONG before = KpIoLiveDeviceObjectCount();
    IoDetachDevice(bottom);
    IoDeleteDevice(middle);
    driver.Forget(middle);
    EXPECT_EQ(KpIoLiveDeviceObjectCount(), before);
    EXPECT_TRUE(middle->KpDeleted);
    IoDetachDevice(middle);
    EXPECT_EQ(KpIoLiveDeviceObjectCount(), before - 1);
    (void)top;
}

TEST_F(DeviceTest, ADriverObjectTheLoaderDidNotMakeIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DRIVER_OBJECT handMade{};
    PDEVICE_OBJECT device;
    EXPECT_DEATH(IoCreateDevice(&handMade, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                 "STOP: 0x00000018.*not made by the loader");
}

TEST_F(DeviceTest, DriverObjectExtensionsAreKeyedZeroedAndUnique) {
    LambdaDriver driver;
    static int clientA, clientB;
    PVOID a = nullptr, again = nullptr, b = nullptr;
    EXPECT_EQ(IoAllocateDriverObjectExtension(driver.Driver(), &clientA, 24, &a), STATUS_SUCCESS);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::string(static_cast<char*>(a), 24), std::string(24, '\0'));
    EXPECT_EQ(IoAllocateDriverObjectExtension(driver.Driver(), &clientA, 24, &again),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(IoAllocateDriverObjectExtension(driver.Driver(), &clientB, 8, &b), STATUS_SUCCESS);
    EXPECT_NE(a, b);
    EXPECT_EQ(IoGetDriverObjectExtension(driver.Driver(), &clientA), a);
    EXPECT_EQ(IoGetDriverObjectExtension(driver.Driver(), &clientB), b);
    EXPECT_EQ(IoGetDriverObjectExtension(driver.Driver(), nullptr), nullptr);
}

TEST_F(DeviceTest, WdmVersionIsASwitch) {
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
    KpIoSetWdmVersion(1, 0x00);
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x10));
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x00));
    KpIoSetWdmVersion(1, 0x30);
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x30));
    EXPECT_FALSE(IoIsWdmVersionAvailable(2, 0));
}

// ---------------------------------------------------------------------------
// Names, file objects, create, cleanup and close
// ---------------------------------------------------------------------------
TEST_F(DeviceTest, DeviceObjectPointerOpensThroughALinkAndCloseGoesToTheTopAtThatTime) {
    LambdaDriver driver;
    std::vector<std::string> bottomSaw, laterSaw;
    std::u16string fileName;
    PDEVICE_OBJECT named = driver.Add(
        [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            bottomSaw.push_back(IrpText(stack->MajorFunction, 0));
            if (stack->MajorFunction == IRP_MJ_CREATE) {
                fileName.assign(stack->FileObject->FileName.Buffer,
                                stack->FileObject->FileName.Length / 2);
            }
            return CompleteIrp(irp, STATUS_SUCCESS);
        },
        nullptr, u"\\Device\\KpTestNamed");
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\??\\KpTestLink");
    RtlInitUnicodeString(&target, u"\\Device\\KpTestNamed");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\\\?\\kptestlink\\Ref");
    PFILE_OBJECT file;
    PDEVICE_OBJECT top;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(top, named);
    EXPECT_EQ(file->DeviceObject, named);
    EXPECT_EQ(fileName, u"\\Ref");
    EXPECT_EQ(bottomSaw,
              (std::vector<std::string>{IrpText(IRP_MJ_CREATE, 0), IrpText(IRP_MJ_CLEANUP, 0)}));

    // A device attached after the open sees the close of a file it never saw created.
    PDEVICE_OBJECT later = driver.Add(
        [&](PDEVICE_OBJECT device, PIRP irp) {
            laterSaw.push_back(IrpText(IoGetCurrentIrpStackLocation(irp)->MajorFunction, 0));
            return PassDown(device, irp);
        },
        named);
    ObDereferenceObject(file);
    EXPECT_EQ(laterSaw, (std::vector<std::string>{IrpText(IRP_MJ_CLOSE, 0)}));
    EXPECT_EQ(bottomSaw.back(), IrpText(IRP_MJ_CLOSE, 0));
    driver.Remove(later);

    RtlInitUnicodeString(&name, u"\\??\\NoSuchLink");
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceTest, FailedCreateSendsNeitherCleanupNorClose) {
    LambdaDriver driver;
    std::vector<UCHAR> saw;
    driver.Add(
        [&](PDEVICE_OBJECT, PIRP irp) {
            saw.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
            return CompleteIrp(irp, STATUS_ACCESS_DENIED);
        },
        nullptr, u"\\Device\\KpTestRefuses");
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\KpTestRefuses");
    PFILE_OBJECT file;
    PDEVICE_OBJECT top;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_ACCESS_DENIED);
    EXPECT_EQ(saw, (std::vector<UCHAR>{IRP_MJ_CREATE}));
}

TEST_F(DeviceTest, RelativeOpensCarryTheRelatedFileAndHandlesSendCleanup) {
    LambdaDriver driver;
    std::vector<std::pair<UCHAR, PFILE_OBJECT>> saw;
    PFILE_OBJECT related = nullptr;
    driver.Add(
        [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            saw.push_back({stack->MajorFunction, stack->FileObject});
            if (stack->MajorFunction == IRP_MJ_CREATE && stack->FileObject->RelatedFileObject) {
                related = stack->FileObject->RelatedFileObject;
            }
            return CompleteIrp(irp, STATUS_SUCCESS);
        },
        nullptr, u"\\Device\\KpTestFiles");
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK iosb;
    HANDLE parent, child;
    RtlInitUnicodeString(&name, u"\\Device\\KpTestFiles");
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ASSERT_EQ(ZwCreateFile(&parent, GENERIC_READ, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN, 0,
                           nullptr, 0),
              STATUS_SUCCESS);
    RtlInitUnicodeString(&name, u"pin");
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, parent, nullptr);
    ASSERT_EQ(ZwCreateFile(&child, GENERIC_READ, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN, 0,
                           nullptr, 0),
              STATUS_SUCCESS);
    ASSERT_EQ(saw.size(), 2u);
    PFILE_OBJECT parentFile = saw[0].second;
    EXPECT_EQ(related, parentFile);
    // Closing the parent's handle cleans it up; its close waits for the child,
    // which holds a reference on it.
    EXPECT_EQ(ZwClose(parent), STATUS_SUCCESS);
    EXPECT_EQ(saw.back(), (std::pair<UCHAR, PFILE_OBJECT>{IRP_MJ_CLEANUP, parentFile}));
    EXPECT_EQ(saw.size(), 3u);
    EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
    std::vector<UCHAR> tail;
    for (size_t i = 3; i < saw.size(); i++) tail.push_back(saw[i].first);
    EXPECT_EQ(tail, (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_CLOSE}));
    EXPECT_EQ(saw.back().second, parentFile);
}

// ---------------------------------------------------------------------------
// Work items
// ---------------------------------------------------------------------------
struct WorkLog {
    std::mutex Lock;
    std::vector<int> Order;
    std::vector<KIRQL> Irqls;
    std::vector<bool> OtherThread;
    std::vector<LONG> References;
    std::thread::id Caller;
};

struct WorkContext {
    WorkLog* Log;
    int Id;
    PIO_WORKITEM Item;
};

VOID WorkRoutine(PDEVICE_OBJECT device, PVOID context) {
    auto ctx = static_cast<WorkContext*>(context);
    {
        std::lock_guard<std::mutex> guard(ctx->Log->Lock);
        ctx->Log->Order.push_back(ctx->Id);
        ctx->Log->Irqls.push_back(KeGetCurrentIrql());
        ctx->Log->OtherThread.push_back(std::this_thread::get_id() != ctx->Log->Caller);
        ctx->Log->References.push_back(KpObjectReferenceCount(device));
    }
    IoFreeWorkItem(ctx->Item);  // allowed inside the routine
}

TEST_F(DeviceTest, WorkItemsRunInOrderAtPassiveLevelHoldingTheDevice) {
    LambdaDriver driver;
    PDEVICE_OBJECT device =
        driver.Add([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    KpIoSetWorkerThreadCount(1);  // one worker: a fixed order
    WorkLog log;
    log.Caller = std::this_thread::get_id();
    std::vector<WorkContext> contexts(5);
    LONG idle = KpObjectReferenceCount(device);
    for (int i = 0; i < 5; i++) {
        contexts[i] = {&log, i, IoAllocateWorkItem(device)};
        ASSERT_NE(contexts[i].Item, nullptr);
    }
    for (int i = 0; i < 5; i++) {
        IoQueueWorkItem(contexts[i].Item, WorkRoutine, i % 2 ? DelayedWorkQueue : CriticalWorkQueue,
                        &contexts[i]);
    }
    // While queued the driver cannot go.
    EXPECT_EQ(KpUnloadDriver(driver.Driver()), STATUS_DEVICE_BUSY);
    KpIoDrainWorkQueues();
    EXPECT_EQ(KpIoQueuedWorkItemCount(), 0u);
    EXPECT_EQ(log.Order.size(), 5u);
    for (size_t i = 0; i < log.Order.size(); i++) {
        EXPECT_EQ(log.Irqls[i], PASSIVE_LEVEL);
        EXPECT_TRUE(log.OtherThread[i]);
        EXPECT_GT(log.References[i], idle);
    }
    EXPECT_EQ(KpObjectReferenceCount(device), idle);
    KpIoFailCall(KpFaultAllocateWorkItem, 1);
    EXPECT_EQ(IoAllocateWorkItem(device), nullptr);
    KpIoSetWorkerThreadCount(2);
}

TEST_F(DeviceTest, TwoWorkersDrainEveryItem) {
    LambdaDriver driver;
    PDEVICE_OBJECT device =
        driver.Add([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    WorkLog log;
    std::vector<WorkContext> contexts(40);
    for (int i = 0; i < 40; i++) {
        contexts[i] = {&log, i, IoAllocateWorkItem(device)};
        IoQueueWorkItem(contexts[i].Item, WorkRoutine, CriticalWorkQueue, &contexts[i]);
    }
    KpIoDrainWorkQueues();
    std::vector<int> sorted = log.Order;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(sorted.size(), 40u);
    for (int i = 0; i < 40; i++) EXPECT_EQ(sorted[i], i);
}

}  // namespace
}  // namespace kp::iotest
