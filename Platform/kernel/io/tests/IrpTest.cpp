// IRPs as a driver author expects them: completion order, invoke flags,
// STATUS_MORE_PROCESSING_REQUIRED, pending propagation, cancellation, buffer
// methods, leak reports and the bug checks of misuse.
#include <atomic>
#include <chrono>
#include <thread>

#include "IoTestSupport.h"
#include "kp/thread.h"

namespace kp::iotest {
namespace {

class IrpTest : public IoTest {};

struct Built {
    KEVENT Event;
    IO_STATUS_BLOCK Iosb{};
    PIRP Irp = nullptr;
};

// A synchronous request to the top of Device's stack.
void Build(Built& b, PDEVICE_OBJECT device, ULONG code = CTL_CODE(0x8000, 1, METHOD_NEITHER, 0)) {
    KeInitializeEvent(&b.Event, NotificationEvent, FALSE);
    b.Iosb.Status = STATUS_UNSUCCESSFUL;
    b.Irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, nullptr, 0, FALSE, &b.Event,
                                          &b.Iosb);
    ASSERT_NE(b.Irp, nullptr);
}

struct Record {
    std::vector<std::string> Calls;
    std::vector<PDEVICE_OBJECT> Devices;
    std::vector<BOOLEAN> Pending;
    std::vector<KIRQL> Irqls;
};

struct RoutineContext {
    Record* Log;
    std::string Name;
    NTSTATUS Result = STATUS_SUCCESS;
    bool MarkPending = true;
};

NTSTATUS Routine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto ctx = static_cast<RoutineContext*>(context);
    ctx->Log->Calls.push_back(ctx->Name);
    ctx->Log->Devices.push_back(device);
    ctx->Log->Pending.push_back(irp->PendingReturned);
    ctx->Log->Irqls.push_back(KeGetCurrentIrql());
    if (ctx->MarkPending && irp->PendingReturned &&
        ctx->Result != STATUS_MORE_PROCESSING_REQUIRED) {
        IoMarkIrpPending(irp);
    }
    return ctx->Result;
}

// A device that copies its location down with a completion routine.
Handler PassWithRoutine(RoutineContext* ctx, bool success = true, bool error = true,
                        bool cancel = true) {
    return [=](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Routine, ctx, success, error, cancel);
        return IoCallDriver(LambdaDriver::LowerOf(device), irp);
    };
}

TEST_F(IrpTest, CompletionRoutinesRunBottomUpWithTheDeviceOfTheirOwner) {
    LambdaDriver driver;
    Record log;
    RoutineContext middleCtx{&log, "middle"}, topCtx{&log, "top"};
    PDEVICE_OBJECT bottom =
        driver.Add([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS, 7); });
    PDEVICE_OBJECT middle = driver.Add(PassWithRoutine(&middleCtx), bottom);
    PDEVICE_OBJECT top = driver.Add(PassWithRoutine(&topCtx), middle);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(top->KpAttachedTo, middle);
    EXPECT_EQ(middle->AttachedDevice, top);

    Built b;
    Build(b, top);
    EXPECT_EQ(IoCallDriver(top, b.Irp), STATUS_SUCCESS);
    EXPECT_EQ(log.Calls, (std::vector<std::string>{"middle", "top"}));
    EXPECT_EQ(log.Devices, (std::vector<PDEVICE_OBJECT>{middle, top}));
    EXPECT_EQ(log.Pending, (std::vector<BOOLEAN>{FALSE, FALSE}));
    // A built request ends with its status block filled and its event set, pending or not.
    EXPECT_EQ(b.Iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(b.Iosb.Information, 7u);
    EXPECT_EQ(KeReadStateEvent(&b.Event), 1);
}

TEST_F(IrpTest, InvokeFlagsSelectRoutinesBySuccessErrorAndCancel) {
    LambdaDriver driver;
    Record log;
    RoutineContext onSuccess{&log, "success"}, onError{&log, "error"}, onCancel{&log, "cancel"};
    NTSTATUS result = STATUS_SUCCESS;
    bool cancelled = false;
    PDEVICE_OBJECT bottom = driver.Add([&](PDEVICE_OBJECT, PIRP irp) {
        irp->Cancel = cancelled;
        return CompleteIrp(irp, result);
    });
    PDEVICE_OBJECT a = driver.Add(PassWithRoutine(&onSuccess, true, false, false), bottom);
    PDEVICE_OBJECT b = driver.Add(PassWithRoutine(&onError, false, true, false), a);
    PDEVICE_OBJECT c = driver.Add(PassWithRoutine(&onCancel, false, false, true), b);

    for (auto [status, cancel, expected] :
         std::vector<std::tuple<NTSTATUS, bool, std::vector<std::string>>>{
             {STATUS_SUCCESS, false, {"success"}},
             {STATUS_TIMEOUT, false, {"success"}},        // informational: a success
             {STATUS_BUFFER_OVERFLOW, false, {"error"}},  // a warning is not NT_SUCCESS
             {STATUS_UNSUCCESSFUL, false, {"error"}},
             {STATUS_CANCELLED, true, {"error", "cancel"}}}) {
        SCOPED_TRACE(::testing::Message() << std::hex << status);
        log.Calls.clear();
        result = status;
        cancelled = cancel;
        Built built;
        Build(built, c);
        EXPECT_EQ(IoCallDriver(c, built.Irp), status);
        EXPECT_EQ(log.Calls, expected);
        EXPECT_EQ(built.Iosb.Status, status);
    }
}

TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
    LambdaDriver driver;
    Record log;
    RoutineContext hold{&log, "hold", STATUS_MORE_PROCESSING_REQUIRED}, topCtx{&log, "top"};
    PDEVICE_OBJECT bottom =
        driver.Add([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    PDEVICE_OBJECT middle = driver.Add(PassWithRoutine(&hold), bottom);
    PDEVICE_OBJECT top = driver.Add(PassWithRoutine(&topCtx), middle);

    Built b;
    Build(b, top);
    PIRP irp = b.Irp;
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(log.Calls, (std::vector<std::string>{"hold"}));
    EXPECT_EQ(KeReadStateEvent(&b.Event), 0);
    EXPECT_EQ(KpIoLiveIrpCount(), 1u);
    // The request now belongs to the middle driver, at its own location.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, middle);
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(log.Calls, (std::vector<std::string>{"hold", "top"}));
    EXPECT_EQ(b.Iosb.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(KeReadStateEvent(&b.Event), 1);
}

TEST_F(IrpTest, PendingPropagatesThroughSkippingDriversToTheRoutineAbove) {
    LambdaDriver driver;
    Record log;
    RoutineContext topCtx{&log, "top"};
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = driver.Add([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT skipper =
        driver.Add([](PDEVICE_OBJECT device, PIRP irp) { return PassDown(device, irp); }, bottom);
    PDEVICE_OBJECT top = driver.Add(PassWithRoutine(&topCtx), skipper);

    Built b;
    Build(b, top);
    PIRP irp = b.Irp;
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    ASSERT_EQ(held, irp);
    std::thread completer([&] { CompleteIrp(held, STATUS_SUCCESS, 3); });
    completer.join();
    EXPECT_EQ(KeWaitForSingleObject(&b.Event, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(log.Pending, (std::vector<BOOLEAN>{TRUE}));
    EXPECT_EQ(b.Iosb.Information, 3u);
}

TEST_F(IrpTest, CompletionAtDispatchLevelRunsRoutinesAtDispatchLevel) {
    LambdaDriver driver;
    Record log;
    RoutineContext topCtx{&log, "top"};
    PDEVICE_OBJECT bottom = driver.Add([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        CompleteIrp(irp, STATUS_SUCCESS);
        KeLowerIrql(old);
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT top = driver.Add(PassWithRoutine(&topCtx), bottom);
    Built b;
    Build(b, top);
    EXPECT_EQ(IoCallDriver(top, b.Irp), STATUS_PENDING);
    EXPECT_EQ(log.Irqls, (std::vector<KIRQL>{DISPATCH_LEVEL}));
    EXPECT_EQ(b.Iosb.Status, STATUS_SUCCESS);
}

NTSTATUS WaitingRoutine(PDEVICE_OBJECT, PIRP, PVOID context) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000;
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, &timeout);
    return STATUS_SUCCESS;
}

TEST_F(IrpTest, CompletionRoutineThatWaitsAtDispatchLevelIsCaught) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            LambdaDriver driver;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            PDEVICE_OBJECT bottom = driver.Add([](PDEVICE_OBJECT, PIRP irp) {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                CompleteIrp(irp, STATUS_SUCCESS);
                KeLowerIrql(old);
                return STATUS_SUCCESS;
            });
            PDEVICE_OBJECT top = driver.Add(
                [&](PDEVICE_OBJECT device, PIRP irp) {
                    IoCopyCurrentIrpStackLocationToNext(irp);
                    IoSetCompletionRoutine(irp, WaitingRoutine, &never, TRUE, TRUE, TRUE);
                    return IoCallDriver(LambdaDriver::LowerOf(device), irp);
                },
                bottom);
            Built b;
            Build(b, top);
            IoCallDriver(top, b.Irp);
        },
        "STOP: 0x0000000A");
}

TEST_F(IrpTest, StackLocationOverrunIsABugCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    LambdaDriver driver;
    PDEVICE_OBJECT bottom =
        driver.Add([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    // A driver that forwards without skipping or copying uses up a location per call.
    PDEVICE_OBJECT top =
        driver.Add([](PDEVICE_OBJECT device,
                      PIRP irp) { return IoCallDriver(LambdaDriver::LowerOf(device), irp); },
                   bottom);
    // Built for the bottom device alone: too few locations for the stack above it.
    EXPECT_DEATH(
        {
            Built b;
            Build(b, bottom);
            IoCallDriver(top, b.Irp);
        },
        "STOP: 0x00000035.*no stack location left");
    // Copying to a location that does not exist is caught before anything is written.
    PDEVICE_OBJECT copier = driver.Add(
        [](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(LambdaDriver::LowerOf(device), irp);
        },
        top);
    EXPECT_DEATH(
        {
            Built b;
            Build(b, bottom);
            IoCallDriver(copier, b.Irp);
        },
        "STOP: 0x00000035");
}

TEST_F(IrpTest, AllocatedIrpCompletedPastItsOwnerIsABugCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    LambdaDriver driver;
    PDEVICE_OBJECT device =
        driver.Add([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    // The owner of an IoAllocateIrp request must take it back with a completion
    // routine that returns STATUS_MORE_PROCESSING_REQUIRED.
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            IoCallDriver(device, irp);
        },
        "STOP: 0x000000C4.*IoAllocateIrp");
}

struct CancelState {
    KSPIN_LOCK Lock;
    PIRP Held = nullptr;
    int CancelCalls = 0;
};

CancelState* g_cancelState;

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    CancelState* state = g_cancelState;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    state->CancelCalls++;
    state->Held = nullptr;
    CompleteIrp(irp, STATUS_CANCELLED);
}

TEST_F(IrpTest, CancelRunsTheCancelRoutineOnceAndCompletesWithCancelled) {
    LambdaDriver driver;
    CancelState state;
    KeInitializeSpinLock(&state.Lock);
    Record log;
    RoutineContext topCtx{&log, "top"};
    PDEVICE_OBJECT bottom = driver.Add([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        state.Held = irp;
        IoSetCancelRoutine(irp, CancelHeld);
        return STATUS_PENDING;
    });
    g_cancelState = &state;
    PDEVICE_OBJECT top = driver.Add(PassWithRoutine(&topCtx), bottom);
    Built b;
    Build(b, top);
    PIRP irp = b.Irp;
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(state.CancelCalls, 1);
    EXPECT_EQ(b.Iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(log.Calls, (std::vector<std::string>{"top"}));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    g_cancelState = nullptr;

    // Without a cancel routine the request is only marked.
    PIRP plain = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(plain));
    EXPECT_TRUE(plain->Cancel);
    IoFreeIrp(plain);
}

TEST_F(IrpTest, LiveIrpsAndMdlsAreCountedAndDescribed) {
    char buffer[64];
    PIRP irp = IoAllocateIrp(3, FALSE);
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    ASSERT_NE(irp, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(KpIoLiveIrpCount(), 1u);
    EXPECT_EQ(KpIoLiveMdlCount(), 1u);
    std::string report = KpIoDescribeLiveObjects();
    EXPECT_NE(report.find("IRP"), std::string::npos) << report;
    EXPECT_NE(report.find("stack 3"), std::string::npos) << report;
    EXPECT_NE(report.find("MDL"), std::string::npos) << report;
    EXPECT_NE(report.find("64 bytes"), std::string::npos) << report;
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), static_cast<PVOID>(buffer));
    IoFreeMdl(mdl);
    IoFreeIrp(irp);
    EXPECT_EQ(KpIoDescribeLiveObjects(), "");
}

TEST_F(IrpTest, InjectedFailuresOfBuiltRequestsAndMdls) {
    LambdaDriver driver;
    PDEVICE_OBJECT device =
        driver.Add([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KpIoFailCall(KpFaultAllocateIrp, 2);
    PIRP first =
        IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb),
              nullptr);
    IoFreeIrp(first);
    char buffer[16];
    KpIoFailCall(KpFaultAllocateMdl, 1);
    EXPECT_EQ(IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr), nullptr);
}

TEST_F(IrpTest, KernelRequestsCarryBuffersByMethod) {
    LambdaDriver driver;
    struct Seen {
        PVOID System = nullptr, User = nullptr, Type3 = nullptr;
        PMDL Mdl = nullptr;
        ULONG Flags = 0;
        KPROCESSOR_MODE Mode = UserMode;
    } seen;
    PDEVICE_OBJECT device = driver.Add([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        seen = {irp->AssociatedIrp.SystemBuffer,
                irp->UserBuffer,
                stack->Parameters.DeviceIoControl.Type3InputBuffer,
                irp->MdlAddress,
                irp->Flags,
                irp->RequestorMode};
        ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
        switch (METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode)) {
            case METHOD_BUFFERED:
                // The input arrived in the system buffer; the output leaves through it.
                static_cast<char*>(irp->AssociatedIrp.SystemBuffer)[0] += 1;
                return CompleteIrp(irp, STATUS_SUCCESS, 2);
            case METHOD_OUT_DIRECT:
                memset(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), 'd', out);
                return CompleteIrp(irp, STATUS_SUCCESS, out);
            default:
                return CompleteIrp(irp, STATUS_SUCCESS);
        }
    });
    char in[4] = {'a', 'b', 'c', 'd'};
    char out[8] = {};
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x8000, 2, METHOD_BUFFERED, 0), device, in,
                                             sizeof in, out, sizeof out, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_NE(seen.System, static_cast<PVOID>(in));
    EXPECT_TRUE(seen.Flags & IRP_BUFFERED_IO);
    EXPECT_EQ(seen.Mode, KernelMode);
    EXPECT_EQ(std::string(out, 3), std::string("bb\0", 3));  // Information bytes only

    irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x8000, 3, METHOD_OUT_DIRECT, 0), device, in,
                                        sizeof in, out, sizeof out, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    ASSERT_NE(seen.Mdl, nullptr);
    EXPECT_EQ(seen.User, static_cast<PVOID>(out));
    EXPECT_EQ(std::string(out, 8), std::string(8, 'd'));

    irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x8000, 4, METHOD_NEITHER, 0), device, in,
                                        sizeof in, out, sizeof out, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(seen.Type3, static_cast<PVOID>(in));
    EXPECT_EQ(seen.User, static_cast<PVOID>(out));
    EXPECT_EQ(seen.System, nullptr);
}

TEST_F(IrpTest, SynchronousReadsAndWritesFollowTheDeviceBufferingFlag) {
    LambdaDriver driver;
    std::string written;
    auto handler = [&](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        ULONG length = stack->Parameters.Read.Length;
        char* data = (device->Flags & DO_BUFFERED_IO)
                         ? static_cast<char*>(irp->AssociatedIrp.SystemBuffer)
                         : static_cast<char*>(
                               MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        if (stack->MajorFunction == IRP_MJ_READ) {
            memset(data, 'r', length);
        } else {
            written.assign(data, length);
        }
        return CompleteIrp(irp, STATUS_SUCCESS, length);
    };
    for (ULONG flag : {DO_BUFFERED_IO, DO_DIRECT_IO}) {
        SCOPED_TRACE(flag);
        PDEVICE_OBJECT device = driver.Add(handler);
        device->Flags |= flag;
        char buffer[12] = "hello world";
        KEVENT event;
        IO_STATUS_BLOCK iosb;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, device, buffer, 11, nullptr, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
        EXPECT_EQ(written, "hello world");
        irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, 5, nullptr, &event, &iosb);
        EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
        EXPECT_EQ(std::string(buffer, 11), "rrrrr world");
        EXPECT_EQ(iosb.Information, 5u);
        driver.Remove(device);
    }
}

// A completion routine that sets the event its driver's unload path waits for
// is still running its last instructions when the waiter wakes: the loader's
// wait before it unmaps an image covers completion routines being called.
std::atomic<int> g_slowRoutineStage{0};

NTSTATUS SlowRoutine(PDEVICE_OBJECT, PIRP, PVOID) {
    g_slowRoutineStage = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    g_slowRoutineStage = 2;
    return STATUS_SUCCESS;
}

TEST_F(IrpTest, AnImageIsNotUnmappedWhileOneOfItsCompletionRoutinesRuns) {
    LambdaDriver driver;
    PDEVICE_OBJECT bottom =
        driver.Add([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    PDEVICE_OBJECT top = driver.Add(
        [](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, SlowRoutine, nullptr, TRUE, TRUE, TRUE);
            return IoCallDriver(LambdaDriver::LowerOf(device), irp);
        },
        bottom);
    g_slowRoutineStage = 0;
    Built b;
    Build(b, top);
    std::thread completer([&] { EXPECT_EQ(IoCallDriver(top, b.Irp), STATUS_SUCCESS); });
    while (g_slowRoutineStage == 0) std::this_thread::yield();
    // The routine lies in this test program, the image asked about.
    KpWaitForSystemThreadsOfImage(reinterpret_cast<const void*>(&SlowRoutine));
    EXPECT_EQ(g_slowRoutineStage, 2) << "the wait returned while the routine still ran";
    completer.join();
}

}  // namespace
}  // namespace kp::iotest
